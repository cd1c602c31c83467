// The HTTP/2 connection state: the handshake, settings in both directions, PING, the bound on
// queued replies, stream slots and opening, the pending output and the held handles.
#include "wire/h2/connection.h"
#include "tests/support/h2_peer.h"
#include "wire/h2/preface.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::h2 {
namespace {

using test_support::client_config;
using test_support::install_counting_hooks;
using test_support::Obj;
using test_support::Peer;
using test_support::ref;
using test_support::server_config;

// The frames of `bytes` (after the client preface, if it comes first) in a compact form.
std::vector<std::string> frames(std::string_view bytes) {
  if (bytes.substr(0, kClientPreface.size()) == kClientPreface)
    bytes.remove_prefix(kClientPreface.size());
  FrameDecoder d(false);
  d.set_max_frame_size(kMaxMaxFrameSize);
  DecodeBatch batch;
  std::vector<std::string> out;
  if (d.decode(bytes, &batch)) return {"decode error"};
  for (const FrameEvent& e : batch.events) {
    std::string s;
    switch (e.kind) {
      case FrameEventKind::kSettings: {
        s = e.flag ? "SETTINGS ack" : "SETTINGS";
        const Settings& v = e.settings;
        auto add = [&s](const char* name, const std::optional<uint32_t>& value) {
          if (value) s += std::string(" ") + name + "=" + std::to_string(*value);
        };
        add("mcs", v.max_concurrent_streams);
        add("iws", v.initial_window_size);
        add("mfs", v.max_frame_size);
        add("mhls", v.max_header_list_size);
        if (v.enable_push) s += *v.enable_push ? " push=1" : " push=0";
        if (v.enable_connect_protocol) s += *v.enable_connect_protocol ? " ecp=1" : " ecp=0";
        break;
      }
      case FrameEventKind::kWindowUpdate:
        s = "WINDOW_UPDATE " + std::to_string(e.stream_id) + " " + std::to_string(e.code);
        break;
      case FrameEventKind::kPing:
        s = std::string(e.flag ? "PING ack " : "PING ") + std::string(e.ping.data(), 8);
        break;
      case FrameEventKind::kGoAway:
        s = "GOAWAY " + std::to_string(e.stream_id) + " " + std::to_string(e.code);
        break;
      case FrameEventKind::kHeaders:
        s = "HEADERS " + std::to_string(e.stream_id) + (e.flag ? " end" : "");
        break;
      case FrameEventKind::kData:
      case FrameEventKind::kRstStream:
      case FrameEventKind::kPriority:
      case FrameEventKind::kStreamError:
        s = "other";
        break;
    }
    out.push_back(s);
  }
  return out;
}

using Frames = std::vector<std::string>;

class Connection_ : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(install_counting_hooks()); }

  // A GET request head; `peer` opens it on a freshly claimed slot.
  static std::optional<uint32_t> open(Peer& peer, Obj& handle, bool end_stream = true) {
    hpack::PseudoHeaders pseudo;
    pseudo.values[size_t(hpack::PseudoHeader::kMethod)] = "GET";
    pseudo.values[size_t(hpack::PseudoHeader::kScheme)] = "http";
    pseudo.values[size_t(hpack::PseudoHeader::kAuthority)] = "example.com";
    pseudo.values[size_t(hpack::PseudoHeader::kPath)] = "/";
    HeaderMap fields;
    Connection::OpenRequest request;
    request.pseudo = &pseudo;
    request.fields = &fields;
    request.end_stream = end_stream;
    std::optional<uint32_t> id;
    HandleBin bin;
    EXPECT_TRUE(peer.conn.try_claim_slot());
    EXPECT_EQ(peer.conn.open_stream(request, ref(handle), &id, bin), std::nullopt);
    return id;
  }

  // Both sides begin and exchange everything until nothing is left to send.
  static void handshake(Peer& client, Peer& server) {
    client.conn.begin(client);
    server.conn.begin(server);
    exchange(client, server);
  }

  static void exchange(Peer& client, Peer& server) {
    for (int round = 0; round < 4; ++round) {
      ASSERT_FALSE(server.receive(client.take()).failure);
      ASSERT_FALSE(client.receive(server.take()).failure);
    }
  }
};

TEST_F(Connection_, BeginQueuesThePrefaceOurSettingsAndTheConnectionWindow) {
  ConnectionConfig c = client_config();
  c.initial_window_size = 1 << 20;
  c.max_frame_size = 32768;
  c.max_header_list_size = 65536;
  c.connection_window = 1048576;
  c.max_concurrent_streams = 7;  // a client does not announce it
  c.enable_push = false;
  Peer client(c);
  client.conn.begin(client);
  const std::string out = client.take();
  ASSERT_EQ(out.substr(0, kClientPreface.size()), kClientPreface);
  EXPECT_EQ(frames(out),
            (Frames{"SETTINGS iws=1048576 mfs=32768 mhls=65536 push=0", "WINDOW_UPDATE 0 983041"}));
  EXPECT_EQ(client.conn.conn_recv_available(), 1048576);

  client.conn.begin(client);
  EXPECT_TRUE(client.take().empty());
}

TEST_F(Connection_, AServerAnnouncesItsStreamLimitAndNoPreface) {
  ConnectionConfig c = server_config();
  c.max_concurrent_streams = 7;
  c.connection_window = 70000;  // 4465 more is below half the window: no update yet
  Peer server(c);
  server.conn.begin(server);
  EXPECT_EQ(frames(server.take()), (Frames{"SETTINGS mcs=7 iws=65535 mfs=16384 mhls=16777216"}));
  EXPECT_EQ(server.conn.conn_recv_available(), 70000);
  EXPECT_EQ(server.conn.conn_recv_advertised(), 65535);
}

// Extended CONNECT (RFC 8441): a server that takes it says so in its SETTINGS, a client learns
// it from them, and once said it may not be taken back.
TEST_F(Connection_, ExtendedConnectIsAnnouncedLearnedAndNeverWithdrawn) {
  ConnectionConfig c = server_config();
  c.enable_connect_protocol = true;
  Peer server(c), client(client_config());
  server.conn.begin(server);
  client.conn.begin(client);
  EXPECT_EQ(frames(server.take()), (Frames{"SETTINGS iws=65535 mfs=16384 mhls=16777216 ecp=1"}));
  EXPECT_FALSE(client.conn.peer_enable_connect_protocol());

  Settings off, on;
  off.enable_connect_protocol = false;
  on.enable_connect_protocol = true;
  Connection::SettingsResult result;
  ASSERT_FALSE(client.conn.recv_settings(false, off, client, &result));
  EXPECT_FALSE(client.conn.peer_enable_connect_protocol());
  ASSERT_FALSE(client.conn.recv_settings(false, on, client, &result));
  EXPECT_TRUE(client.conn.peer_enable_connect_protocol());
  ASSERT_FALSE(client.conn.recv_settings(false, Settings{}, client, &result));  // not named: kept
  ASSERT_FALSE(client.conn.recv_settings(false, on, client, &result));
  EXPECT_EQ(client.conn.recv_settings(false, off, client, &result),
            Failure{FailureKind::kConnectProtocolWithdrawn});
  EXPECT_TRUE(client.conn.peer_enable_connect_protocol());

  // A client does not announce it, whatever its configuration says.
  ConnectionConfig cc = client_config();
  cc.enable_connect_protocol = true;
  Peer other(cc);
  other.conn.begin(other);
  EXPECT_FALSE(other.conn.enable_connect_protocol());
}

TEST_F(Connection_, TheHandshakeAcknowledgesBothSidesOnce) {
  Peer client(client_config()), server(server_config());
  client.conn.begin(client);
  server.conn.begin(server);
  Peer::Outcome at_server = server.receive(client.take());
  ASSERT_EQ(at_server.settings.size(), 1u);
  EXPECT_TRUE(at_server.settings[0].initial);
  EXPECT_EQ(at_server.settings[0].flags, flag::kWake);
  Peer::Outcome at_client = client.receive(server.take());
  ASSERT_EQ(at_client.settings.size(), 2u);  // the server's SETTINGS, then its ACK of ours
  EXPECT_TRUE(at_client.settings[0].initial);
  EXPECT_EQ(frames(client.take()), Frames{"SETTINGS ack"});

  // A later SETTINGS is not the first; an unsolicited ACK changes nothing.
  Settings again;
  again.header_table_size = 0;
  Connection::SettingsResult result;
  ASSERT_FALSE(client.conn.recv_settings(false, again, client, &result));
  EXPECT_FALSE(result.initial);
  ASSERT_FALSE(client.conn.recv_settings(true, {}, client, &result));
  EXPECT_EQ(result.flags, 0u);
  EXPECT_EQ(frames(client.take()), Frames{"SETTINGS ack"});
}

TEST_F(Connection_, OurLimitsHoldFromBeginWithoutWaitingForTheAck) {
  ConnectionConfig c = server_config();
  c.max_frame_size = 32768;
  c.max_header_list_size = 1000;
  Peer server(c);
  EXPECT_EQ(server.decoder.max_frame_size(), 16384u);
  EXPECT_EQ(server.decoder.max_continuation_frames(), 1280u);
  server.conn.begin(server);
  // A peer may send frames of our size right behind its ACK, in the same read; and one that
  // never acknowledges is held to our header-list budget and the caps derived from it.
  EXPECT_EQ(server.decoder.max_frame_size(), 32768u);
  EXPECT_EQ(server.decoder.max_header_list_size(), 1000u);
  EXPECT_EQ(server.decoder.max_continuation_frames(), 5u);
  Connection::SettingsResult result;
  ASSERT_FALSE(server.conn.recv_settings(true, {}, server, &result));
  EXPECT_EQ(server.decoder.max_frame_size(), 32768u);
  EXPECT_EQ(server.decoder.max_header_list_size(), 1000u);
}

TEST_F(Connection_, OurInitialWindowReplacesTheDefaultOnStreamsAtTheAck) {
  Obj a("a");
  ConnectionConfig c = client_config();
  c.initial_window_size = 16384;
  Peer client(c), server(server_config());
  client.conn.begin(client);
  server.conn.begin(server);
  ASSERT_FALSE(client.receive(server.take()).failure);  // the server's SETTINGS, not its ACK
  const auto sid = open(client, a);
  ASSERT_TRUE(sid);
  EXPECT_EQ(client.conn.stream(*sid)->recv_window.available(), 65535);
  exchange(client, server);
  EXPECT_EQ(client.conn.stream(*sid)->recv_window.available(), 16384);
  EXPECT_EQ(client.conn.stream(*sid)->recv_window.raw_window_size(), 16384);
  EXPECT_EQ(client.conn.local_initial_window(), 16384u);
}

TEST_F(Connection_, APeerInitialWindowChangeMovesTheSendWindowsOfStreamsThatMaySend) {
  Obj a("a"), b("b");
  Peer client(client_config()), server(server_config());
  handshake(client, server);
  const auto open_id = open(client, a, false);
  const auto closed_id = open(client, b);  // half-closed (local): it sends no more DATA
  ASSERT_TRUE(open_id && closed_id);

  Settings lower;
  lower.initial_window_size = 0;
  Connection::SettingsResult result;
  ASSERT_FALSE(client.conn.recv_settings(false, lower, client, &result));
  EXPECT_TRUE(result.wake_windows.empty());
  EXPECT_EQ(client.conn.stream(*open_id)->send_window.raw_window_size(), 0);
  EXPECT_EQ(client.conn.stream(*closed_id)->send_window.raw_window_size(), 65535);
  EXPECT_EQ(client.conn.conn_send_window(), 65535u);  // not an initial window

  Settings raise;
  raise.initial_window_size = 100000;
  ASSERT_FALSE(client.conn.recv_settings(false, raise, client, &result));
  ASSERT_EQ(result.wake_windows.size(), 1u);
  EXPECT_EQ(result.wake_windows[0].get(), &a);
  EXPECT_EQ(client.conn.stream(*open_id)->send_window.available(), 100000);
  EXPECT_EQ(client.conn.peer_initial_window_size(), 100000u);

  // The same value again is no change: nobody to wake.
  ASSERT_FALSE(client.conn.recv_settings(false, raise, client, &result));
  EXPECT_TRUE(result.wake_windows.empty());
}

TEST_F(Connection_, ARefusedSettingsFrameChangesNothing) {
  Peer client(client_config());
  Settings bad;
  bad.max_frame_size = 16383;
  bad.header_table_size = 0;
  Connection::SettingsResult result;
  EXPECT_EQ(client.conn.recv_settings(false, bad, client, &result),
            (Failure{FailureKind::kBadMaxFrameSize, 16383}));
  EXPECT_FALSE(client.conn.has_pending());
  EXPECT_EQ(client.conn.peer_header_table_size(), 4096u);

  Settings good;
  good.max_frame_size = kMaxMaxFrameSize;
  good.max_concurrent_streams = 3;
  ASSERT_FALSE(client.conn.recv_settings(false, good, client, &result));
  EXPECT_EQ(client.conn.peer_max_frame_size(), kMaxMaxFrameSize);
  EXPECT_EQ(client.conn.stream_limit(), 3u);
  EXPECT_EQ(result.flags, flag::kWake | flag::kSlotFreed);
}

TEST_F(Connection_, AServerKeepsThePeerStreamLimitWithoutLimitingItself) {
  Peer server(server_config());
  Settings limit;
  limit.max_concurrent_streams = 1;
  Connection::SettingsResult result;
  ASSERT_FALSE(server.conn.recv_settings(false, limit, server, &result));
  EXPECT_EQ(result.flags, flag::kWake);
  EXPECT_EQ(server.conn.peer_max_concurrent_streams(), 1u);
  EXPECT_EQ(server.conn.stream_limit(), std::nullopt);
}

TEST_F(Connection_, RepliesQueuedBetweenTwoTakesAreBounded) {
  Peer server(server_config());
  uint32_t flags = 0;
  Connection::SettingsResult result;
  for (uint32_t i = 0; i + 1 < kMaxQueuedReplies; ++i)
    ASSERT_FALSE(server.conn.recv_ping(false, "12345678", &flags));
  ASSERT_FALSE(server.conn.recv_settings(false, {}, server, &result));  // the 10000th
  const size_t queued = server.conn.pending_size();
  EXPECT_EQ(server.conn.recv_ping(false, "12345678", &flags),
            Failure{FailureKind::kTooManyQueuedControlFrames});
  EXPECT_EQ(server.conn.recv_settings(false, {}, server, &result),
            Failure{FailureKind::kTooManyQueuedControlFrames});
  EXPECT_EQ(server.conn.pending_size(), queued);
  // An acknowledgement of a PING needs no reply and is never refused.
  EXPECT_FALSE(server.conn.recv_ping(true, "12345678", &flags));

  // Once the driver writes, the peer may ask again.
  server.take();
  EXPECT_FALSE(server.conn.recv_ping(false, "12345678", &flags));
}

TEST_F(Connection_, APingIsAnsweredWithItsPayload) {
  Peer client(client_config());
  uint32_t flags = 0;
  ASSERT_FALSE(client.conn.recv_ping(false, "abcdefgh", &flags));
  EXPECT_EQ(flags, flag::kWake);
  EXPECT_EQ(frames(client.take()), Frames{"PING ack abcdefgh"});
}

TEST_F(Connection_, TheShutdownPingAckEndsTheFirstPhaseOnlyOnAGracefulServer) {
  Peer client(client_config()), server(server_config());
  uint32_t flags = 0;
  ASSERT_FALSE(client.conn.recv_ping(true, kShutdownPing, &flags));
  EXPECT_EQ(flags, 0u);
  ASSERT_FALSE(server.conn.recv_ping(true, kShutdownPing, &flags));
  EXPECT_EQ(flags, 0u);
  EXPECT_FALSE(server.conn.shutdown_final());

  EXPECT_EQ(server.conn.begin_graceful_shutdown(), flag::kWake);
  EXPECT_EQ(server.conn.begin_graceful_shutdown(), 0u);
  EXPECT_EQ(frames(server.take()), (Frames{"GOAWAY 2147483647 0", "PING SHUTDOWN"}));
  ASSERT_FALSE(server.conn.recv_ping(true, "SHUTDOWX", &flags));
  EXPECT_EQ(flags, 0u);

  server.conn.set_last_processed_id(7);
  ASSERT_FALSE(server.conn.recv_ping(true, kShutdownPing, &flags));
  EXPECT_EQ(flags, flag::kWake | flag::kStopAccepting);
  EXPECT_TRUE(server.conn.shutdown_final());
  EXPECT_EQ(server.conn.max_stream_id(), 7u);
  EXPECT_EQ(frames(server.take()), Frames{"GOAWAY 7 0"});
  // Phase 2 runs once.
  ASSERT_FALSE(server.conn.recv_ping(true, kShutdownPing, &flags));
  EXPECT_EQ(flags, 0u);
}

TEST_F(Connection_, StreamSlotsFollowTheLimit) {
  Peer client(client_config());
  client.conn.apply_stream_limit(1);
  EXPECT_TRUE(client.conn.try_claim_slot());
  EXPECT_FALSE(client.conn.can_open());
  EXPECT_FALSE(client.conn.try_claim_slot());
  client.conn.release_slot_count();
  EXPECT_TRUE(client.conn.try_claim_slot());
  client.conn.apply_stream_limit(0);  // below the count: nothing more until streams close
  EXPECT_FALSE(client.conn.try_claim_slot());
  EXPECT_EQ(client.conn.num_open_streams(), 1u);
  client.conn.apply_stream_limit(std::nullopt);
  EXPECT_TRUE(client.conn.try_claim_slot());
  client.conn.release_slot_count();
  client.conn.release_slot_count();
  client.conn.release_slot_count();  // never below 0
  EXPECT_EQ(client.conn.num_open_streams(), 0u);
}

TEST_F(Connection_, StreamIdsIncreaseUntilTheSpaceIsExhausted) {
  Obj a("a"), b("b"), c("c");
  Peer client(client_config());
  EXPECT_EQ(open(client, a), 1u);
  EXPECT_EQ(open(client, a), 3u);
  client.conn.set_next_stream_id(kMaxStreamId);
  EXPECT_EQ(open(client, b), kMaxStreamId);
  EXPECT_EQ(client.conn.num_streams(), 3u);
  EXPECT_EQ(frames(client.take()).size(), 3u);

  hpack::PseudoHeaders pseudo;
  HeaderMap fields;
  Connection::OpenRequest request;
  request.pseudo = &pseudo;
  request.fields = &fields;
  std::optional<uint32_t> id;
  const uint32_t claimed = client.conn.num_open_streams();
  ASSERT_TRUE(client.conn.try_claim_slot());
  {
    HandleBin bin;
    EXPECT_EQ(client.conn.open_stream(request, ref(c), &id, bin),
              Failure{FailureKind::kStreamIdsExhausted});
    EXPECT_EQ(c.refs, 2);  // binned, not yet released
  }
  EXPECT_EQ(c.refs, 1);
  EXPECT_EQ(id, std::nullopt);
  EXPECT_EQ(client.conn.num_open_streams(), claimed);
  EXPECT_FALSE(client.conn.has_pending());
}

TEST_F(Connection_, ARefusedHeadGivesTheSlotBack) {
  Obj a("a");
  Peer client(client_config());
  hpack::PseudoHeaders pseudo;
  HeaderMap fields;
  Connection::OpenRequest request;
  request.pseudo = &pseudo;
  request.fields = &fields;
  request.head_refused = true;
  std::optional<uint32_t> id;
  ASSERT_TRUE(client.conn.try_claim_slot());
  HandleBin bin;
  EXPECT_EQ(client.conn.open_stream(request, ref(a), &id, bin), Failure{FailureKind::kRequestHead});
  EXPECT_EQ(client.conn.num_open_streams(), 0u);
  EXPECT_EQ(client.conn.next_stream_id(), 1u);
  EXPECT_EQ(client.conn.num_streams(), 0u);
}

TEST_F(Connection_, TheSpareBufferIsTheNextPendingBuffer) {
  Peer client(client_config());
  client.conn.begin(client);
  std::string first = client.take();
  ASSERT_FALSE(first.empty());
  first.reserve(1 << 16);
  const char* storage = first.data();
  client.conn.give_back_spare(std::move(first));
  // The buffer in place when the batch came back is taken next; the spare takes its place.
  uint32_t flags;
  ASSERT_FALSE(client.conn.recv_ping(false, "12345678", &flags));
  EXPECT_EQ(frames(client.take()), Frames{"PING ack 12345678"});
  ASSERT_FALSE(client.conn.recv_ping(false, "87654321", &flags));
  const std::string third = client.take();
  EXPECT_EQ(third.data(), storage);
  EXPECT_EQ(frames(third), Frames{"PING ack 87654321"});
  bool stopping = true;
  EXPECT_TRUE(client.conn.take_pending(&stopping).empty());
  EXPECT_FALSE(stopping);
  client.conn.stop_pump();
  client.conn.take_pending(&stopping);
  EXPECT_TRUE(stopping);
}

TEST_F(Connection_, TaskHandlesAreHandedOutOnceAndClearedOnRequest) {
  Obj read("read"), pump("pump"), other("other"), stream("stream");
  Peer client(client_config());
  {
    HandleBin bin;
    client.conn.store_task_handles(ref(other), ref(other), bin);
    client.conn.store_task_handles(ref(read), ref(pump), bin);
    EXPECT_EQ(bin.size(), 2u);
  }
  EXPECT_EQ(other.refs, 1);
  Handle taken = client.conn.take_read_handle();
  EXPECT_EQ(taken.get(), &read);
  EXPECT_FALSE(client.conn.take_read_handle());
  ASSERT_TRUE(open(client, stream));
  std::vector<void*> seen;
  client.conn.visit_handles([&seen](void* p) {
    seen.push_back(p);
    return 0;
  });
  EXPECT_EQ(seen, (std::vector<void*>{&pump, &stream}));
  {
    HandleBin bin;
    client.conn.clear_handles(bin);
  }
  EXPECT_EQ(pump.refs, 1);
  EXPECT_EQ(stream.refs, 1);
}

}  // namespace
}  // namespace quillet::h2
