// The HTTP/2 connection's streams, driven through a client and a server wired back to back:
// sending under the windows and the rotation, receiving, resets, capacity, GOAWAY and failure.
#include "tests/support/h2_peer.h"
#include "wire/h2/connection.h"
#include "wire/h2/hpack/encoder.h"
#include "wire/h2/preface.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace quillet::h2 {
namespace {

// A block that may stand in any place, for frames built here without one.
constexpr ReceivedShape kAnyShape{.request = true, .response = true, .trailers = true};

using test_support::client_config;
using test_support::install_counting_hooks;
using test_support::Obj;
using test_support::Peer;
using test_support::ref;
using test_support::server_config;

// The clock of the reset store, moved by hand.
Connection::Clock::time_point g_now{};
Connection::Clock::time_point test_now() {
  return g_now;
}

// Frame types and stream ids of `bytes`, as "DATA 1 16384 end", "RST 1 0", "WU 0 100" and so on.
std::vector<std::string> frames(std::string_view bytes) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (bytes.size() - pos >= 9) {
    const auto b = [&](size_t i) { return uint32_t(uint8_t(bytes[pos + i])); };
    const uint32_t len = b(0) << 16 | b(1) << 8 | b(2);
    const uint32_t sid = (b(5) << 24 | b(6) << 16 | b(7) << 8 | b(8)) & 0x7fffffff;
    const auto u32_at = [&](size_t i) {
      return b(9 + i) << 24 | b(10 + i) << 16 | b(11 + i) << 8 | b(12 + i);
    };
    std::string s;
    switch (b(3)) {
      case 0:
        s = "DATA " + std::to_string(sid) + " " + std::to_string(len) + (b(4) & 1 ? " end" : "");
        break;
      case 1:
        s = "HEADERS " + std::to_string(sid) + (b(4) & 1 ? " end" : "");
        break;
      case 3:
        s = "RST " + std::to_string(sid) + " " + std::to_string(u32_at(0));
        break;
      case 7:
        s = "GOAWAY " + std::to_string(u32_at(0) & 0x7fffffff) + " " + std::to_string(u32_at(4));
        break;
      case 8:
        s = "WU " + std::to_string(sid) + " " + std::to_string(u32_at(0));
        break;
      default:
        s = "type " + std::to_string(b(3));
    }
    out.push_back(s);
    pos += 9 + len;
  }
  return out;
}

using Frames = std::vector<std::string>;

ConnectionConfig with_windows(ConnectionConfig c, uint32_t stream, uint32_t connection) {
  c.initial_window_size = stream;
  c.connection_window = connection;
  return c;
}

// Each test has a client and a server whose handshake is done: the server's windows are large
// unless a test builds its own pair.
class Streams : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_counting_hooks());
    handshake(client, server);
  }

  static void handshake(Peer& c, Peer& s) {
    c.conn.begin(c);
    s.conn.begin(s);
    for (int i = 0; i < 3; ++i) {
      ASSERT_FALSE(s.receive(c.take()).failure);
      ASSERT_FALSE(c.receive(s.take()).failure);
    }
  }

  static hpack::PseudoHeaders post(std::string path = "/") {
    hpack::PseudoHeaders pseudo;
    pseudo.values[size_t(hpack::PseudoHeader::kMethod)] = "POST";
    pseudo.values[size_t(hpack::PseudoHeader::kScheme)] = "http";
    pseudo.values[size_t(hpack::PseudoHeader::kAuthority)] = "a";
    pseudo.values[size_t(hpack::PseudoHeader::kPath)] = std::move(path);
    return pseudo;
  }

  // A client request; `handle` becomes the stream's. The client sends the fields as given.
  uint32_t request(Peer& c, Obj& handle, bool end_stream = false,
                   const hpack::PseudoHeaders& pseudo = post(), const HeaderMap& fields = {}) {
    Connection::OpenRequest r;
    r.pseudo = &pseudo;
    r.fields = &fields;
    r.end_stream = end_stream;
    std::optional<uint32_t> id;
    EXPECT_TRUE(c.conn.try_claim_slot());
    EXPECT_FALSE(c.conn.open_stream(r, ref(handle), &id, bin));
    return id.value_or(0);
  }
  uint32_t request(Obj& handle, bool end_stream = false) {
    return request(client, handle, end_stream);
  }

  SendVerdict send(Peer& p, uint32_t sid, std::string_view data, bool end_stream = false) {
    return p.conn.send_data(sid, data, end_stream, bin);
  }

  void respond(Peer& s, uint32_t sid, bool end_stream) {
    hpack::PseudoHeaders pseudo;
    pseudo.values[size_t(hpack::PseudoHeader::kStatus)] = "200";
    SendVerdict v;
    ASSERT_FALSE(s.conn.send_response_head(sid, pseudo, HeaderMap(), end_stream, &v, bin));
  }
  void respond(uint32_t sid, bool end_stream) { respond(server, sid, end_stream); }

  // The handles' objects, kept by the fixture so that they outlive every connection of a test:
  // a connection releases what it still holds when it goes, after the test body's locals. The
  // bin goes first of all: it may hold handles of either peer's streams.
  // Peers of a test's own configuration are the fixture's too, for the same reason.
  Obj& obj(std::string name) { return objs_.emplace_back(std::move(name)); }
  Peer& peer(const ConnectionConfig& config) { return peers_.emplace_back(config); }

  std::deque<Obj> objs_;
  std::deque<Peer> peers_;
  Peer client{client_config()};
  Peer server{with_windows(server_config(), 1 << 20, 1 << 20)};
  HandleBin bin;
};

TEST_F(Streams, APayloadIsFramedUnderTheFrameSizeOneFramePerCall) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  const std::string body(40000, 'x');
  size_t offset = 0;
  std::vector<uint32_t> sent;
  for (int call = 0; call < 3; ++call) {
    const SendVerdict v = send(client, sid, std::string_view(body).substr(offset), true);
    EXPECT_EQ(v.flags & flag::kWake, flag::kWake);
    EXPECT_EQ(v.done, call == 2);
    sent.push_back(v.sent);
    offset += v.sent;
  }
  EXPECT_EQ(sent, (std::vector<uint32_t>{16384, 16384, 7232}));
  EXPECT_EQ(frames(client.take()),
            (Frames{"HEADERS 1", "DATA 1 16384", "DATA 1 16384", "DATA 1 7232 end"}));
  EXPECT_EQ(client.conn.stream(sid)->send_buffered, 40000u);
  EXPECT_EQ(client.conn.stream(sid)->state.phase(), Phase::kHalfClosedLocal);
}

// A call for many frames queues what the same calls for one frame each would, up to where one
// of them would queue nothing: through a stall on the connection window, the send buffer cap,
// and two streams taking turns.
TEST_F(Streams, ManyFramesPerCallQueueWhatOneFramePerCallDoes) {
  struct Run {
    std::string wire;
    std::vector<uint64_t> offsets;  // after each stream's drive
    size_t calls = 0;
  };
  const auto run = [this](uint32_t max_frames) {
    ConnectionConfig c = client_config();
    c.max_send_buf_size = 70000;
    Peer &client = peer(c), &server = peer(with_windows(server_config(), 1 << 20, 65535 * 2));
    handshake(client, server);
    client.take();
    Obj &a = obj("a"), &b = obj("b");
    const uint32_t first = request(client, a);
    const uint32_t second = request(client, b);
    const std::string body(150000, 'x');
    uint64_t offsets[2] = {0, 0};
    Run out;
    // Each stream in turn sends until a call queues nothing or its body is done.
    for (int round = 0; round < 6; ++round) {
      const uint32_t sid = round % 2 == 0 ? first : second;
      uint64_t& offset = offsets[round % 2];
      while (true) {
        const SendVerdict v = client.conn.send_data_frames(
            sid, std::string_view(body).substr(offset), true, max_frames, bin);
        ++out.calls;
        offset += v.sent;
        if (v.flags & flag::kCapacity) client.conn.next_capacity_wake();
        if (v.done || v.sent == 0 || v.stopped) break;
      }
      out.offsets.push_back(offset);
      if (round == 3) client.conn.credit_written();  // the transport took the bytes
    }
    out.wire = client.take();
    return out;
  };
  const Run one = run(1);
  const Run many = run(100);
  const Run two = run(2);
  EXPECT_EQ(many.wire, one.wire);
  EXPECT_EQ(many.offsets, one.offsets);
  EXPECT_EQ(two.wire, one.wire);
  EXPECT_GT(one.offsets.back(), 0u);
  EXPECT_LT(many.calls, two.calls);
  EXPECT_LT(two.calls, one.calls);
}

TEST_F(Streams, EmptySendsQueueEndStreamOnlyWhenAsked) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  client.take();
  SendVerdict v = send(client, sid, "", false);
  EXPECT_TRUE(v.done);
  EXPECT_EQ(v.flags, 0u);
  EXPECT_FALSE(client.conn.has_pending());
  // No window is consulted for END_STREAM alone.
  Settings zero;
  zero.initial_window_size = 0;
  Connection::SettingsResult result;
  ASSERT_FALSE(client.conn.recv_settings(false, zero, client, &result));
  client.take();
  v = send(client, sid, "", true);
  EXPECT_TRUE(v.done);
  EXPECT_EQ(frames(client.take()), Frames{"DATA 1 0 end"});
  v = send(client, sid, "more", false);
  EXPECT_EQ(v.stopped, Stop{});  // its END_STREAM went out: it sends no more
  EXPECT_EQ(send(client, 99, "x").stopped, Stop{});
}

TEST_F(Streams, AStallOnTheConnectionWindowResumesWithItsUpdate) {
  Peer &client = peer(client_config()),
       &server = peer(with_windows(server_config(), 1 << 20, 65535));
  handshake(client, server);
  Obj& a = obj("a");
  const uint32_t sid = request(client, a);
  const std::string body(100000, 'x');
  size_t offset = 0;
  for (int call = 0; call < 4; ++call)
    offset += send(client, sid, std::string_view(body).substr(offset)).sent;
  EXPECT_EQ(offset, 65535u);
  EXPECT_EQ(client.conn.conn_send_window(), 0u);
  const SendVerdict stalled = send(client, sid, std::string_view(body).substr(offset));
  EXPECT_EQ(stalled.sent, 0u);
  EXPECT_FALSE(stalled.done);
  EXPECT_FALSE(client.conn.next_capacity_wake());  // nobody can send yet

  // The server reads everything and gives the window back.
  Peer::Outcome got = server.receive(client.take());
  ASSERT_EQ(got.payloads.size(), 4u);
  for (const std::string& p : got.payloads)
    server.conn.release_capacity(sid, uint32_t(p.size()), bin);
  got = client.receive(server.take());
  ASSERT_FALSE(got.failure);
  ASSERT_FALSE(got.window_wakes.empty());
  EXPECT_EQ(got.window_wakes[0].size(), 1u);
  EXPECT_EQ(got.window_wakes[0][0].get(), &a);
  EXPECT_EQ(client.conn.next_capacity_wake().get(), &a);
  EXPECT_EQ(send(client, sid, std::string_view(body).substr(offset)).sent, 16384u);
}

TEST_F(Streams, TwoStreamsShareTheConnectionWindowInTurnsOfFourFrames) {
  Obj &a = obj("a"), &b = obj("b");
  const uint32_t first = request(a);
  const uint32_t second = request(b);
  const std::string body(200000, 'x');
  // `second` asks while `first` has the turn: it waits in line.
  EXPECT_EQ(send(client, first, body).sent, 16384u);
  SendVerdict v = send(client, second, body);
  EXPECT_EQ(v.sent, 0u);
  EXPECT_EQ(v.flags, 0u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(send(client, first, body).sent, 16384u);
  // Four frames: the turn passes, and the flags say so.
  v = send(client, first, body);
  EXPECT_EQ(v.sent, 0u);
  EXPECT_EQ(v.flags, flag::kCapacity);
  EXPECT_EQ(client.conn.next_capacity_wake().get(), &b);
  EXPECT_EQ(send(client, first, body).sent, 0u);  // not its turn now
  EXPECT_EQ(send(client, second, body).sent, 16384u);
}

TEST_F(Streams, CreditsOfSeveralBatchesWakeEachStreamOnce) {
  Obj &a = obj("a"), &b = obj("b");
  const uint32_t first = request(a);
  const uint32_t second = request(b);
  EXPECT_EQ(send(client, first, std::string(100, 'x'), true).sent, 100u);
  client.take();
  EXPECT_EQ(send(client, second, std::string(50, 'y')).sent, 50u);
  EXPECT_EQ(send(client, second, std::string(70, 'y')).sent, 70u);
  client.take();
  EXPECT_EQ(send(client, first, std::string(1, 'x')).stopped, Stop{});  // it ended
  const std::vector<Handle> woken = client.conn.credit_written();
  ASSERT_EQ(woken.size(), 2u);
  EXPECT_EQ(woken[0].get(), &a);
  EXPECT_EQ(woken[1].get(), &b);
  EXPECT_EQ(client.conn.stream(second)->send_buffered, 0u);
  EXPECT_TRUE(client.conn.credit_written().empty());
}

TEST_F(Streams, TheSendBufferCapLimitsWhatIsQueuedUntilCredited) {
  ConnectionConfig c = client_config();
  c.max_send_buf_size = 1000;
  Peer& client = peer(c);
  Obj& a = obj("a");
  const uint32_t sid = request(client, a);
  EXPECT_EQ(send(client, sid, std::string(5000, 'x')).sent, 1000u);
  EXPECT_EQ(send(client, sid, std::string(4000, 'x')).sent, 0u);
  client.take();
  client.conn.credit_written();
  EXPECT_EQ(send(client, sid, std::string(4000, 'x')).sent, 1000u);
}

TEST_F(Streams, AResponseThatEndsBeforeTheRequestBodyResetsTheStream) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  send(client, sid, "partial");
  Peer::Outcome got = server.receive(client.take());
  ASSERT_EQ(got.headers.size(), 1u);
  EXPECT_EQ(got.headers[0].kind, HeadersKind::kOpened);
  const Obj& stream = server.spares.back();
  respond(sid, false);
  const SendVerdict v = send(server, sid, "done", true);
  EXPECT_TRUE(v.done);
  EXPECT_EQ(v.handle.get(), &stream);
  EXPECT_EQ(v.reader_stop, (Stop{0u, false}));
  EXPECT_EQ(v.flags & flag::kWake, flag::kWake);
  EXPECT_EQ(frames(server.take()), (Frames{"HEADERS 1", "DATA 1 4 end", "RST 1 0"}));
  EXPECT_FALSE(server.conn.stream(sid));
  EXPECT_EQ(server.conn.num_streams(), 0u);
  // The client's DATA already on its way is ignored, not an error.
  EXPECT_TRUE(server.conn.in_reset_store(sid));
  got = server.receive(client.take());  // nothing, then more body below
  send(client, sid, "late");
  got = server.receive(client.take());
  EXPECT_FALSE(got.failure);
  EXPECT_TRUE(got.stream_errors.empty());
  EXPECT_TRUE(got.payloads.empty());
}

TEST_F(Streams, AResponseHeadIsSentOnce) {
  Obj& a = obj("a");
  const uint32_t sid = request(a, true);
  server.receive(client.take());
  respond(sid, false);
  hpack::PseudoHeaders pseudo;
  pseudo.values[size_t(hpack::PseudoHeader::kStatus)] = "200";
  SendVerdict v;
  EXPECT_EQ(server.conn.send_response_head(sid, pseudo, HeaderMap(), false, &v, bin),
            Failure{FailureKind::kUnexpectedFrameType});
  EXPECT_EQ(frames(server.take()), Frames{"HEADERS 1"});
  // A stream the peer reset meanwhile answers with its stop.
  Obj& b = obj("b");
  const uint32_t other = request(b, true);
  server.receive(client.take());
  ResetVerdict reset = client.conn.reset_stream(other, kCancel, Initiator::kUser, bin);
  EXPECT_EQ(reset.stop, (Stop{kCancel, false}));
  server.receive(client.take());
  EXPECT_EQ(server.conn.send_response_head(other, pseudo, HeaderMap(), false, &v, bin),
            std::nullopt);
  EXPECT_EQ(v.stopped, Stop{});  // reset and forgotten: nothing to report
  EXPECT_FALSE(server.conn.has_pending());
}

TEST_F(Streams, WritersCannotStartOnceReleased) {
  EXPECT_TRUE(client.conn.writer_start());
  EXPECT_FALSE(client.conn.release_writers());
  EXPECT_FALSE(client.conn.writer_start());
  EXPECT_TRUE(client.conn.writer_end());
  EXPECT_TRUE(client.conn.release_writers());
}

// --- receiving ---

TEST_F(Streams, FramesOnStreamsNeverOpenedAreConnectionErrors) {
  Connection::DataFrame data;
  data.stream_id = 3;
  data.flow_controlled_len = data.data_len = 1;
  RecvDataVerdict v;
  EXPECT_EQ(client.conn.recv_data(data, &v, bin), (Failure{FailureKind::kIdleStream, 3}));
  EXPECT_EQ(client.conn.conn_recv_available(), 65535);  // consumed and given back
  Connection::HeadersFrame head;
  head.shape = kAnyShape;
  head.stream_id = 2;
  RecvHeadersVerdict hv;
  EXPECT_EQ(server.conn.recv_headers(head, ref(server.spares.emplace_back("x")), &hv, bin),
            (Failure{FailureKind::kInvalidNewStreamId, 2}));
  head.stream_id = 5;
  ASSERT_FALSE(server.conn.recv_headers(head, ref(server.spares.emplace_back("y")), &hv, bin));
  head.stream_id = 3;
  EXPECT_EQ(server.conn.recv_headers(head, ref(server.spares.emplace_back("z")), &hv, bin),
            (Failure{FailureKind::kInvalidNewStreamId, 3}));
  EXPECT_EQ(server.conn.recv_headers(head, Handle(), &hv, bin),
            (Failure{FailureKind::kInvalidNewStreamId, 3}));
  head.stream_id = 7;
  EXPECT_EQ(server.conn.recv_headers(head, Handle(), &hv, bin),
            Failure{FailureKind::kNoSpareHandle});
  std::vector<Handle> wake;
  EXPECT_EQ(server.conn.recv_window_update(9, 1, &wake), (Failure{FailureKind::kIdleStream, 9}));
  PeerResetVerdict rv;
  EXPECT_EQ(client.conn.recv_reset(1, 0, &rv, bin), (Failure{FailureKind::kIdleStream, 1}));
}

TEST_F(Streams, AServerRefusesStreamsPastItsLimit) {
  ConnectionConfig c = server_config();
  c.max_concurrent_streams = 1;
  Peer &client = peer(client_config()), &server = peer(c);
  handshake(client, server);
  Obj &a = obj("a"), &b = obj("b");
  request(client, a, true);
  client.conn.apply_stream_limit(std::nullopt);  // a client that ignores the server's limit
  request(client, b, true);
  const Peer::Outcome got = server.receive(client.take());
  EXPECT_EQ(got.headers[0].kind, HeadersKind::kOpened);
  EXPECT_EQ(got.stream_errors, (std::vector<std::pair<uint32_t, uint32_t>>{{3, kRefusedStream}}));
  EXPECT_EQ(frames(server.take()), Frames{"RST 3 7"});
  EXPECT_EQ(server.conn.num_streams(), 1u);
}

TEST_F(Streams, PeerResetsOfUnacceptedStreamsAreCapped) {
  ConnectionConfig c = server_config();
  c.max_pending_accept_reset_streams = 2;
  Peer &client = peer(client_config()), &server = peer(c);
  handshake(client, server);
  Obj* h[3] = {&obj("a"), &obj("b"), &obj("c")};
  uint32_t ids[3];
  for (int i = 0; i < 3; ++i)
    ids[i] = request(client, *h[i]);
  server.receive(client.take());
  for (int i = 0; i < 2; ++i)
    client.conn.reset_stream(ids[i], kCancel, Initiator::kUser, bin);
  Peer::Outcome got = server.receive(client.take());
  ASSERT_FALSE(got.failure);
  ASSERT_EQ(got.resets.size(), 2u);
  EXPECT_TRUE(got.resets[0].notify_body);
  EXPECT_EQ(got.resets[0].stop, (Stop{kCancel, false}));
  server.conn.accepted(ids[0]);  // makes room again
  client.conn.reset_stream(ids[2], kCancel, Initiator::kUser, bin);
  EXPECT_FALSE(server.receive(client.take()).failure);

  PeerResetVerdict rv;
  Obj& d = obj("d");
  const uint32_t last = request(client, d);
  server.receive(client.take());
  EXPECT_EQ(server.conn.recv_reset(last, 8, &rv, bin), Failure{FailureKind::kTooManyPendingResets});
}

TEST_F(Streams, LocalErrorResetsAreCapped) {
  ConnectionConfig c = server_config();  // at most 1024 by default
  Peer& s = peer(c);
  ResetVerdict v;
  for (uint32_t i = 0; i < 1024; ++i)
    ASSERT_FALSE(s.conn.reset_on_error(2 * i + 1, 1, &v, bin));
  EXPECT_EQ(v.flags, flag::kWake);
  EXPECT_EQ(s.conn.reset_on_error(4097, 1, &v, bin), Failure{FailureKind::kTooManyErrorResets});
  EXPECT_EQ(s.conn.local_error_resets(), 1025u);
  c.max_local_error_reset_streams = std::nullopt;
  Peer& unlimited = peer(c);
  for (uint32_t i = 0; i < 3000; ++i)
    ASSERT_FALSE(unlimited.conn.reset_on_error(2 * i + 1, 1, &v, bin));
}

TEST_F(Streams, TheTwentyFirstResetOfAnUnacceptedStreamIsRefused) {
  Peer &client = peer(client_config()), &server = peer(server_config());  // 20 by default
  handshake(client, server);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 21; ++i)
    ids.push_back(request(client, obj("h" + std::to_string(i))));
  server.receive(client.take());
  for (int i = 0; i < 20; ++i)
    client.conn.reset_stream(ids[i], kCancel, Initiator::kUser, bin);
  ASSERT_FALSE(server.receive(client.take()).failure);
  PeerResetVerdict v;
  EXPECT_EQ(server.conn.recv_reset(ids[20], kCancel, &v, bin),
            Failure{FailureKind::kTooManyPendingResets});
  server.conn.accepted(ids[0]);
  EXPECT_FALSE(server.conn.recv_reset(ids[20], kCancel, &v, bin));
  EXPECT_EQ(v.stop, (Stop{kCancel, false}));
}

TEST_F(Streams, TheResetStoreForgetsAfterASecond) {
  g_now = Connection::Clock::time_point{};
  server.conn.set_clock(test_now);
  ResetVerdict v;
  ASSERT_FALSE(server.conn.reset_on_error(11, 1, &v, bin));
  EXPECT_TRUE(server.conn.in_reset_store(11));
  g_now += std::chrono::milliseconds(1001);
  EXPECT_TRUE(server.conn.in_reset_store(11));  // pruned only when another comes
  ASSERT_FALSE(server.conn.reset_on_error(13, 1, &v, bin));
  EXPECT_FALSE(server.conn.in_reset_store(11));
  for (uint32_t i = 0; i < 60; ++i)
    ASSERT_FALSE(server.conn.reset_on_error(101 + 2 * i, 1, &v, bin));
  EXPECT_TRUE(server.conn.in_reset_store(13));
  EXPECT_TRUE(server.conn.in_reset_store(197));   // the 49th after 13
  EXPECT_FALSE(server.conn.in_reset_store(199));  // full
}

TEST_F(Streams, ReleasedCapacityIsAnnouncedOnceWorthIt) {
  Obj& a = obj("a");
  Peer &client = peer(client_config()), &server = peer(server_config());  // 65535 windows
  handshake(client, server);
  const uint32_t sid = request(client, a);
  send(client, sid, std::string(40000, 'x'));
  send(client, sid, std::string(40000 - 16384, 'x'));
  server.receive(client.take());
  EXPECT_EQ(server.conn.stream(sid)->recv_unreleased, 32768u);
  EXPECT_EQ(server.conn.release_capacity(sid, 1, bin), 0u);
  EXPECT_EQ(server.conn.release_capacity(sid, 32766, bin), flag::kWake);
  EXPECT_EQ(frames(server.take()), (Frames{"WU 1 32767", "WU 0 32767"}));
  EXPECT_EQ(server.conn.stream(sid)->recv_unreleased, 1u);
  EXPECT_EQ(server.conn.release_capacity(99, 5, bin), 0u);
}

TEST_F(Streams, PaddingGoesBackToTheWindowsAtOnce) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  server.receive(client.take());
  Connection::DataFrame data;
  data.stream_id = sid;
  data.flow_controlled_len = 300;
  data.data_len = 10;
  RecvDataVerdict v;
  ASSERT_FALSE(server.conn.recv_data(data, &v, bin));
  EXPECT_TRUE(v.deliver);
  EXPECT_TRUE(v.budgeted);
  EXPECT_EQ(server.conn.stream(sid)->recv_unreleased, 10u);
  EXPECT_EQ(server.conn.stream(sid)->budget_charged, 246u);
  EXPECT_EQ(server.conn.stream(sid)->recv_window.available(), (1 << 20) - 10);
  EXPECT_EQ(server.conn.conn_recv_available(), (1 << 20) - 10);
  server.conn.release_data_frame(sid, 0, bin);
  server.conn.release_data_frame(sid, 256, bin);
  EXPECT_EQ(server.conn.stream(sid)->budget_charged, 246u);
  server.conn.release_data_frame(sid, 10, bin);
  EXPECT_EQ(server.conn.stream(sid)->budget_charged, 0u);
}

TEST_F(Streams, StreamErrorsInDataGiveTheConnectionWindowBack) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  server.receive(client.take());
  Connection::DataFrame data;
  data.stream_id = sid;
  data.flow_controlled_len = data.data_len = 5;
  // More than the declared length is checked by the caller's frame; here the stream window.
  ConnectionConfig c = server_config();
  c.initial_window_size = 0;
  c.connection_window = 1 << 20;
  Peer& tight = peer(c);
  tight.conn.begin(tight);
  Settings ack;
  Connection::SettingsResult sr;
  ASSERT_FALSE(tight.conn.recv_settings(true, ack, tight, &sr));
  Connection::HeadersFrame head;
  head.shape = kAnyShape;
  head.stream_id = 1;
  RecvHeadersVerdict hv;
  ASSERT_FALSE(tight.conn.recv_headers(head, ref(tight.spares.emplace_back("s")), &hv, bin));
  const int32_t before = tight.conn.conn_recv_available();
  RecvDataVerdict v;
  data.stream_id = 1;
  EXPECT_EQ(tight.conn.recv_data(data, &v, bin),
            (Failure{FailureKind::kStream, 1, kFlowControlError}));
  EXPECT_EQ(tight.conn.conn_recv_available(), before);
}

TEST_F(Streams, AConnectionWindowOverflowChangesNothing) {
  std::vector<Handle> wake;
  ASSERT_FALSE(
      client.conn.recv_window_update(0, kMaxWindowSize - client.conn.conn_send_window(), &wake));
  EXPECT_EQ(client.conn.conn_send_window(), kMaxWindowSize);
  EXPECT_EQ(client.conn.recv_window_update(0, 1, &wake), Failure{FailureKind::kFlowControl});
  EXPECT_EQ(client.conn.conn_send_window(), kMaxWindowSize);
}

TEST_F(Streams, DataAfterThePeersEndStreamIsAStreamError) {
  Obj& a = obj("a");
  const uint32_t sid = request(a, true);
  server.receive(client.take());
  respond(sid, false);
  Connection::DataFrame data;
  data.stream_id = sid;
  data.flow_controlled_len = data.data_len = 5;
  RecvDataVerdict v;
  EXPECT_EQ(server.conn.recv_data(data, &v, bin), (Failure{FailureKind::kUnexpectedData, sid}));
}

// --- GOAWAY and failure ---

TEST_F(Streams, AGoAwayMayNotRaiseItsLastStreamId) {
  Connection::GoAwayResult result;
  ASSERT_FALSE(client.conn.recv_go_away(7, 0, "", &result, bin));
  EXPECT_EQ(client.conn.recv_go_away(9, 0, "", &result, bin),
            Failure{FailureKind::kGoAwayRaisedLastId});
  EXPECT_EQ(client.conn.goaway_info()->last_stream_id, 7u);
  ASSERT_FALSE(client.conn.recv_go_away(5, 2, "bye", &result, bin));
  EXPECT_EQ(client.conn.goaway_info()->debug_data, "bye");
  EXPECT_TRUE(client.conn.is_closed());
}

TEST_F(Streams, AGoAwayAbortsTheClientsStreamsAboveItsLastId) {
  Obj &a = obj("a"), &b = obj("b"), &c = obj("c");
  request(a);
  request(b);
  request(c);
  Connection::GoAwayResult result;
  ASSERT_FALSE(client.conn.recv_go_away(3, 0, "", &result, bin));
  ASSERT_EQ(result.aborted.size(), 1u);
  EXPECT_EQ(result.aborted[0].handle.get(), &c);
  EXPECT_EQ(result.aborted[0].stop, (Stop{0u, true}));
  EXPECT_EQ(result.flags & flag::kSlotFreed, flag::kSlotFreed);
  EXPECT_EQ(client.conn.num_streams(), 2u);
  EXPECT_EQ(client.conn.num_open_streams(), 2u);
  std::optional<uint32_t> id;
  hpack::PseudoHeaders pseudo;
  HeaderMap fields;
  Connection::OpenRequest r{&pseudo, &fields};
  ASSERT_TRUE(client.conn.try_claim_slot());
  EXPECT_FALSE(client.conn.open_stream(r, Handle(), &id, bin));
  EXPECT_EQ(id, std::nullopt);
  EXPECT_EQ(client.conn.num_open_streams(), 2u);
}

TEST_F(Streams, TheGoAwayIsAnsweredOnceTheLastStreamEnds) {
  Obj& a = obj("a");
  const uint32_t sid = request(a, true);
  server.receive(client.take());
  Connection::GoAwayResult result;
  ASSERT_FALSE(client.conn.recv_go_away(kMaxStreamId, 0, "", &result, bin));
  EXPECT_EQ(client.conn.maybe_goaway_reply(), 0u);  // a graceful first GOAWAY
  ASSERT_FALSE(client.conn.recv_go_away(sid, 0, "", &result, bin));
  EXPECT_EQ(client.conn.maybe_goaway_reply(), 0u);  // a stream is left
  respond(sid, true);
  const Peer::Outcome got = client.receive(server.take());
  EXPECT_EQ(got.flags & (flag::kWake | flag::kConnDone), flag::kWake | flag::kConnDone);
  EXPECT_TRUE(client.conn.goaway_replied());
  EXPECT_EQ(client.conn.maybe_goaway_reply(), 0u);
  EXPECT_EQ(client.conn.conn_error().message, "connection closed: GOAWAY exchanged");
  EXPECT_EQ(frames(client.take()), Frames{"GOAWAY 0 0"});
}

TEST_F(Streams, TheFirstFailureStaysAndEveryStreamIsStopped) {
  Obj &a = obj("a"), &b = obj("b"), &exc = obj("exc");
  const uint32_t first = request(a);
  request(b);
  client.conn.reset_stream(first, kCancel, Initiator::kUser, bin);
  std::vector<StoppedStream> stopped = client.conn.fail(Handle(), "x", bin);
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].handle.get(), &b);
  EXPECT_EQ(stopped[0].stop, (Stop{std::nullopt, true}));
  EXPECT_TRUE(client.conn.fail(ref(exc), "y", bin).empty());
  EXPECT_EQ(client.conn.conn_error().message, "x");
  EXPECT_FALSE(client.conn.conn_error().exception);
  EXPECT_EQ(client.conn.num_streams(), 0u);
  EXPECT_FALSE(client.conn.writer_start());
  EXPECT_EQ(client.conn.send_goaway(1), flag::kWake);
  EXPECT_EQ(frames(client.take()).back(), "GOAWAY 0 1");
}

}  // namespace
}  // namespace quillet::h2

namespace quillet::h2 {
namespace {

TEST_F(Streams, HeadersOnAnOpenStreamFollowTheHeadThenTrailersOrder) {
  Obj& a = obj("a");
  const uint32_t sid = request(a, true);
  server.receive(client.take());
  RecvHeadersVerdict v;
  Connection::HeadersFrame head;
  head.shape = kAnyShape;
  head.stream_id = sid;
  head.status = 103;
  head.end_stream = true;
  EXPECT_EQ(client.conn.recv_headers(head, Handle(), &v, bin),
            (Failure{FailureKind::kStream, sid, kProtocolError}));
  head.end_stream = false;
  ASSERT_FALSE(client.conn.recv_headers(head, Handle(), &v, bin));
  EXPECT_EQ(v.kind, HeadersKind::kIgnored);  // a 1xx head is consumed
  EXPECT_FALSE(v.handle);
  head.status = 200;
  head.content_length = 3;
  ASSERT_FALSE(client.conn.recv_headers(head, Handle(), &v, bin));
  EXPECT_EQ(v.kind, HeadersKind::kHead);
  EXPECT_EQ(v.handle.get(), &a);
  // Trailers must end the stream, and only once the declared length arrived.
  Connection::HeadersFrame trailers;
  trailers.shape = kAnyShape;
  trailers.stream_id = sid;
  EXPECT_EQ(client.conn.recv_headers(trailers, Handle(), &v, bin),
            (Failure{FailureKind::kStream, sid, kProtocolError}));
  trailers.end_stream = true;
  EXPECT_EQ(client.conn.recv_headers(trailers, Handle(), &v, bin),
            (Failure{FailureKind::kStream, sid, kProtocolError}));
  Connection::DataFrame data;
  data.stream_id = sid;
  data.flow_controlled_len = data.data_len = 3;
  RecvDataVerdict dv;
  ASSERT_FALSE(client.conn.recv_data(data, &dv, bin));
  // Trailers with a pseudo-header field, or cut by our budget, are refused and change nothing.
  for (const bool over_size : {false, true}) {
    Connection::HeadersFrame refused = trailers;
    refused.shape.trailers = over_size;
    refused.over_size = over_size;
    EXPECT_EQ(client.conn.recv_headers(refused, Handle(), &v, bin),
              (Failure{FailureKind::kStream, sid, kProtocolError}));
  }
  ASSERT_FALSE(client.conn.recv_headers(trailers, Handle(), &v, bin));
  EXPECT_EQ(v.kind, HeadersKind::kTrailers);
  EXPECT_TRUE(v.eof);
  EXPECT_EQ(v.flags, flag::kSlotFreed);  // both sides are done: the slot is free
  EXPECT_EQ(client.conn.num_streams(), 0u);
  EXPECT_TRUE(client.conn.stream(sid));  // its 3 bytes are not released yet
  EXPECT_EQ(client.conn.release_capacity(sid, 3, bin), 0u);
  EXPECT_TRUE(client.conn.stream(sid));  // nor the budget charge of their small frame
  client.conn.release_data_frame(sid, 3, bin);
  EXPECT_FALSE(client.conn.stream(sid));
  // A stream the client forgot: STREAM_CLOSED.
  EXPECT_EQ(client.conn.recv_headers(trailers, Handle(), &v, bin),
            (Failure{FailureKind::kStream, sid, kStreamClosed}));
}

// A request with :protocol is malformed unless this server announced extended CONNECT.
TEST_F(Streams, ExtendedConnectOpensAStreamOnlyWhereAnnounced) {
  Connection::HeadersFrame head;
  head.shape.request = head.shape.extended_connect = true;
  head.stream_id = 1;
  RecvHeadersVerdict v;
  EXPECT_EQ(server.conn.recv_headers(head, ref(server.spares.emplace_back("x")), &v, bin),
            (Failure{FailureKind::kStream, 1, kProtocolError}));

  ConnectionConfig c = test_support::server_config();
  c.enable_connect_protocol = true;
  Peer announcing(c), other(test_support::client_config());
  handshake(other, announcing);
  ASSERT_FALSE(
      announcing.conn.recv_headers(head, ref(announcing.spares.emplace_back("y")), &v, bin));
  EXPECT_EQ(v.kind, HeadersKind::kOpened);
  EXPECT_EQ(announcing.conn.num_streams(), 1u);
}

// A client opens an extended CONNECT only to a server that enabled it; the refusal gives the
// slot back and queues nothing. A 2xx answer makes the stream a tunnel: its length field does
// not bound the DATA; another answer is a response like any other.
TEST_F(Streams, ExtendedConnectGoesOnlyToAServerThatEnabledIt) {
  hpack::PseudoHeaders pseudo = post();
  pseudo[hpack::PseudoHeader::kMethod] = "CONNECT";
  pseudo[hpack::PseudoHeader::kProtocol] = "websocket";
  const HeaderMap none;
  Connection::OpenRequest r;
  r.pseudo = &pseudo;
  r.fields = &none;
  std::optional<uint32_t> id;
  ASSERT_TRUE(client.conn.try_claim_slot());
  EXPECT_EQ(client.conn.open_stream(r, ref(obj("refused")), &id, bin),
            Failure{FailureKind::kConnectProtocolNotAnnounced});
  EXPECT_EQ(id, std::nullopt);
  EXPECT_EQ(client.conn.num_open_streams(), 0u);
  EXPECT_EQ(client.conn.num_streams(), 0u);
  EXPECT_FALSE(client.conn.has_pending());

  ConnectionConfig c = with_windows(server_config(), 1 << 20, 1 << 20);
  c.enable_connect_protocol = true;
  Peer& announcing = peer(c);
  Peer& other = peer(client_config());
  handshake(other, announcing);
  for (const uint32_t status : {200u, 403u}) {
    Obj& handle = obj("ws");
    const uint32_t sid = request(other, handle, false, pseudo);
    ASSERT_NE(sid, 0u);
    EXPECT_EQ(frames(other.take()), (Frames{"HEADERS " + std::to_string(sid)}));
    Connection::HeadersFrame head;
    head.shape = kAnyShape;
    head.stream_id = sid;
    head.status = status;
    head.content_length = 2;
    RecvHeadersVerdict v;
    ASSERT_FALSE(other.conn.recv_headers(head, Handle(), &v, bin));
    EXPECT_EQ(v.kind, HeadersKind::kHead);
    Connection::DataFrame data;
    data.stream_id = sid;
    data.flow_controlled_len = data.data_len = 5;
    RecvDataVerdict dv;
    if (status == 200) {
      EXPECT_FALSE(other.conn.recv_data(data, &dv, bin));
      EXPECT_FALSE(other.conn.recv_data(data, &dv, bin));
      EXPECT_EQ(phase_name(other.conn.stream(sid)->state.phase()), "Open");
    } else {
      EXPECT_EQ(other.conn.recv_data(data, &dv, bin),
                (Failure{FailureKind::kStream, sid, kProtocolError}));
    }
  }
}

TEST_F(Streams, AContentLengthViolationGivesTheConnectionWindowBack) {
  Obj& a = obj("a");
  const uint32_t sid = request(a, true);
  server.receive(client.take());
  Connection::HeadersFrame head;
  head.shape = kAnyShape;
  head.stream_id = sid;
  head.content_length = 2;
  RecvHeadersVerdict v;
  ASSERT_FALSE(client.conn.recv_headers(head, Handle(), &v, bin));
  const int32_t before = client.conn.conn_recv_available();
  Connection::DataFrame data;
  data.stream_id = sid;
  data.flow_controlled_len = data.data_len = 5;
  RecvDataVerdict dv;
  EXPECT_EQ(client.conn.recv_data(data, &dv, bin),
            (Failure{FailureKind::kStream, sid, kProtocolError}));
  EXPECT_EQ(client.conn.conn_recv_available(), before);
  EXPECT_FALSE(dv.deliver);
}

TEST_F(Streams, AResetReturnsWhatTheStreamHeldToTheConnection) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  send(client, sid, std::string(1000, 'x'));
  server.receive(client.take());
  EXPECT_EQ(server.conn.conn_recv_available(), (1 << 20) - 1000);
  PeerResetVerdict v;
  ASSERT_FALSE(server.conn.recv_reset(sid, kCancel, &v, bin));
  EXPECT_TRUE(v.notify_body);
  EXPECT_EQ(server.conn.conn_recv_available(), 1 << 20);
  EXPECT_FALSE(server.conn.stream(sid));
  EXPECT_EQ(server.conn.release_capacity(sid, 1000, bin), 0u);  // already reclaimed
  ASSERT_FALSE(server.conn.recv_reset(sid, kCancel, &v, bin));  // forgotten: nothing
  EXPECT_FALSE(v.handle);
}

TEST_F(Streams, AnEndedBodyClosedByTheReaderIsReleasedWithoutAReset) {
  Obj& a = obj("a");
  const uint32_t sid = request(a);
  send(client, sid, std::string(40000, 'x'), true);
  send(client, sid, std::string(40000 - 16384, 'x'), true);
  send(client, sid, std::string(40000 - 32768, 'x'), true);
  server.receive(client.take());
  ASSERT_TRUE(server.conn.stream(sid)->state.is_recv_end_stream());
  const ResetVerdict v = server.conn.aclose_body(sid, bin);
  EXPECT_FALSE(v.handle);
  EXPECT_EQ(server.conn.conn_recv_available(), 1 << 20);
  EXPECT_TRUE(server.take().empty() || frames(server.take()).empty());
}

TEST_F(Streams, ABodilessResponseMayDeclareALength) {
  for (const uint32_t status : {204u, 304u}) {
    Obj& a = obj("a");
    const uint32_t sid = request(a, true);
    Connection::HeadersFrame head;
    head.shape = kAnyShape;
    head.stream_id = sid;
    head.status = status;
    head.content_length = 10;
    RecvHeadersVerdict v;
    ASSERT_FALSE(client.conn.recv_headers(head, Handle(), &v, bin));
    Connection::DataFrame data;
    data.stream_id = sid;
    data.end_stream = true;
    RecvDataVerdict dv;
    EXPECT_EQ(client.conn.recv_data(data, &dv, bin), std::nullopt) << status;
    EXPECT_TRUE(dv.eof);
  }
}

TEST_F(Streams, FramesPastTheFinalGoAwayAreDropped) {
  server.conn.set_max_stream_id(1);
  std::vector<Handle> wake;
  EXPECT_FALSE(server.conn.recv_window_update(5, 1, &wake));
  PeerResetVerdict rv;
  EXPECT_FALSE(server.conn.recv_reset(5, 8, &rv, bin));
  Connection::DataFrame data;
  data.stream_id = 5;
  data.flow_controlled_len = data.data_len = 1;
  RecvDataVerdict dv;
  EXPECT_FALSE(server.conn.recv_data(data, &dv, bin));
  Connection::HeadersFrame head;
  head.shape = kAnyShape;
  head.stream_id = 5;
  RecvHeadersVerdict hv;
  EXPECT_FALSE(server.conn.recv_headers(head, Handle(), &hv, bin));
  EXPECT_EQ(hv.kind, HeadersKind::kIgnored);
  EXPECT_EQ(server.conn.num_streams(), 0u);
}

TEST_F(Streams, OurGoAwayIsAPromiseAboutTheStreamsAboveItsLastId) {
  Obj &a = obj("a"), &b = obj("b");
  request(a, true);
  server.receive(client.take());
  EXPECT_EQ(server.conn.send_goaway(kNoError), flag::kWake);
  EXPECT_EQ(server.conn.max_stream_id(), 1u);
  // A request the client sent before it saw the GOAWAY is not processed...
  request(b, true);
  const Peer::Outcome got = server.receive(client.take());
  ASSERT_EQ(got.headers.size(), 1u);
  EXPECT_EQ(got.headers[0].kind, HeadersKind::kIgnored);
  EXPECT_EQ(server.conn.last_processed_id(), 1u);
  // ...and no later GOAWAY names a higher id, the reply to the client's included.
  server.conn.set_last_processed_id(3);
  Connection::GoAwayResult result;
  ASSERT_FALSE(server.conn.recv_go_away(0, 0, "", &result, bin));
  respond(1, true);
  EXPECT_EQ(frames(server.take()), (Frames{"GOAWAY 1 0", "HEADERS 1 end", "GOAWAY 1 0"}));
}

// --- received blocks that are not the message their place calls for ---

TEST_F(Streams, AMalformedRequestResetsItsStreamAndTheNextIsServed) {
  using hpack::PseudoHeader;
  hpack::PseudoHeaders no_scheme = post(), with_status = post();
  no_scheme[PseudoHeader::kScheme].reset();
  with_status[PseudoHeader::kStatus] = "200";
  HeaderMap elsewhere;
  ASSERT_TRUE(elsewhere.append("host", "elsewhere"));
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  for (const hpack::PseudoHeaders& p : {no_scheme, post(""), post("/x y"), with_status})
    expected.emplace_back(request(client, obj("bad"), true, p), kProtocolError);
  expected.emplace_back(request(client, obj("bad"), true, post(), elsewhere), kProtocolError);
  const uint32_t good = request(client, obj("good"), true);
  const Peer::Outcome out = server.receive(client.take());
  ASSERT_FALSE(out.failure);
  EXPECT_EQ(out.stream_errors, expected);
  ASSERT_EQ(out.headers.size(), expected.size() + 1);
  EXPECT_EQ(out.headers.back().kind, HeadersKind::kOpened);
  EXPECT_EQ(out.headers.back().stream_id, good);
  EXPECT_EQ(server.conn.num_streams(), 1u);
  EXPECT_EQ(frames(server.take()), (Frames{"RST 1 1", "RST 3 1", "RST 5 1", "RST 7 1", "RST 9 1"}));
}

TEST_F(Streams, AResponseOutsideTheRulesIsAStreamErrorAtTheClient) {
  const uint32_t sid = request(obj("a"), true);
  ASSERT_FALSE(server.receive(client.take()).failure);
  hpack::PseudoHeaders no_status;
  no_status[hpack::PseudoHeader::kPath] = "/";
  SendVerdict v;
  ASSERT_FALSE(server.conn.send_response_head(sid, no_status, HeaderMap(), true, &v, bin));
  const Peer::Outcome out = client.receive(server.take());
  ASSERT_FALSE(out.failure);
  EXPECT_EQ(out.stream_errors, (std::vector<std::pair<uint32_t, uint32_t>>{{sid, kProtocolError}}));
}

// The list budget holds from the first byte, and a list past it says so instead of arriving cut.
TEST_F(Streams, AnOverSizeListIsMarkedBeforeTheAck) {
  ConnectionConfig c = server_config();
  c.max_header_list_size = 200;
  Peer& small = peer(c);
  small.conn.begin(small);  // no SETTINGS ACK from the client, ever
  HeaderMap fields;
  ASSERT_TRUE(fields.append("x-a", std::string(100, 'a')));
  ASSERT_TRUE(fields.append("x-forwarded-for", "10.0.0.1"));
  hpack::Encoder encoder;
  std::string block;
  encoder.encode(post(), fields, &block);
  std::string bytes(kClientPreface);
  ASSERT_FALSE(write_headers(1, block, true, kDefaultMaxFrameSize, &bytes));
  DecodeBatch batch;
  ASSERT_FALSE(small.decoder.decode(bytes, &batch));
  ASSERT_EQ(batch.events.size(), 1u);
  const HeaderBlock& received = *batch.events[0].block;
  EXPECT_TRUE(received.over_size);
  EXPECT_FALSE(received.fields.contains("x-forwarded-for"));
  EXPECT_TRUE(block_facts(received).over_size);
}

}  // namespace
}  // namespace quillet::h2
