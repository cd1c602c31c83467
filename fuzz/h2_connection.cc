// Two HTTP/2 connection states, a client and a server, wired back to back and driven by any
// sequence of steps: requests and responses with bodies and trailers, resets from either side,
// capacity released by the application, the bytes between them delivered in fuzzed pieces or
// replaced by fuzzed frames, the graceful shutdown, GOAWAY and failure. Checked after every step:
// the stream count is the number of records whose close bookkeeping has not run, no stream
// buffers more than its cap, the connection send window stays within its range; and when both
// states and every bin are gone, every reference either took was released exactly once.
#include "fuzz/fuzz_check.h"
#include "tests/support/h2_peer.h"
#include "wire/h2/connection.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using namespace quillet;
using namespace quillet::h2;
using quillet::h2::test_support::Obj;
using TestPeer = quillet::h2::test_support::Peer;
using quillet::h2::test_support::ref;

namespace {

constexpr uint32_t kWindows[] = {0, 1, 100, 16384, 65535, 1 << 20, kMaxWindowSize};
constexpr uint32_t kReasons[] = {0, 1, 2, 3, 5, 7, 8, 11, 0xffffffff};

ConnectionConfig config(FuzzedDataProvider& in, bool server) {
  ConnectionConfig c;
  c.server = server;
  c.initial_window_size = in.PickValueInArray(kWindows);
  c.connection_window = in.PickValueInArray(kWindows);
  c.max_frame_size = in.ConsumeBool() ? kDefaultMaxFrameSize : kMaxMaxFrameSize;
  c.max_header_list_size = in.ConsumeIntegralInRange<uint32_t>(0, 1 << 17);
  c.max_send_buf_size = in.ConsumeIntegralInRange<uint32_t>(0, 1 << 18);
  if (in.ConsumeBool()) c.max_concurrent_streams = in.ConsumeIntegralInRange<uint32_t>(0, 8);
  c.max_pending_accept_reset_streams = in.ConsumeIntegralInRange<uint32_t>(0, 4);
  c.max_local_error_reset_streams = in.ConsumeIntegralInRange<uint32_t>(0, 16);
  if (in.ConsumeBool()) c.data_frame_budget = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
  return c;
}

void check(const Connection& c) {
  uint32_t counted = 0;
  for (const StreamRecord& r : c.streams()) {
    if (!r.close_counted) ++counted;
    FUZZ_CHECK(r.close_counted == r.state.is_closed());
    FUZZ_CHECK(r.send_buffered <= c.max_send_buf_size());
  }
  FUZZ_CHECK(counted == c.num_streams());
  FUZZ_CHECK(c.conn_send_window() <= kMaxWindowSize);
}

// One side as its driver sees it: whether it still runs, and the stream ids it knows.
struct Side {
  explicit Side(ConnectionConfig c) : peer(std::make_unique<TestPeer>(c)) {}
  std::unique_ptr<TestPeer> peer;
  bool failed = false;
  std::vector<uint32_t> ids;

  uint32_t pick(FuzzedDataProvider& in) const {
    if (ids.empty() || in.ConsumeIntegralInRange<int>(0, 7) == 0)
      return in.ConsumeIntegralInRange<uint32_t>(0, 9);
    return ids[in.ConsumeIntegralInRange<size_t>(0, ids.size() - 1)];
  }

  // Delivers what `from` queued, in fuzzed pieces; a connection error ends this side as a
  // driver would end it.
  void receive_from(Side& from, FuzzedDataProvider& in) {
    bool stopping = false;
    std::string bytes = from.peer->conn.take_pending(&stopping);
    size_t pos = 0;
    while (pos < bytes.size() && !failed) {
      const size_t n = in.ConsumeIntegralInRange<size_t>(1, bytes.size() - pos);
      absorb(peer->receive(std::string_view(bytes).substr(pos, n)));
      pos += n;
    }
    if (in.ConsumeBool()) from.peer->conn.give_back_spare(std::move(bytes));
  }

  void absorb(const TestPeer::Outcome& out) {
    for (const RecvHeadersVerdict& v : out.headers) {
      if (v.kind == HeadersKind::kOpened) ids.push_back(v.stream_id);
    }
    if (out.decode_error || out.failure) fail();
  }

  void fail() {
    if (failed) return;
    failed = true;
    peer->conn.send_goaway(kProtocolError);
    const std::vector<StoppedStream> stopped = peer->conn.fail(Handle(), "closed", peer->bin);
    for (const StoppedStream& s : stopped)
      FUZZ_CHECK(s.handle && s.stop.conn);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = test_support::install_counting_hooks();
  FUZZ_CHECK(installed);
  FuzzedDataProvider in(data, size);
  std::deque<Obj> objects;  // stable addresses; each starts with its owner's one reference
  {
    Side client(config(in, false));
    Side server(config(in, true));
    client.peer->conn.begin(*client.peer);
    server.peer->conn.begin(*server.peer);
    HandleBin bin;
    const std::string body(1 << 17, 'b');
    HeaderMap trailers;
    if (!trailers.append("x-t", "1")) return 0;
    hpack::PseudoHeaders request;
    request.values[size_t(hpack::PseudoHeader::kMethod)] = "POST";
    request.values[size_t(hpack::PseudoHeader::kScheme)] = "http";
    request.values[size_t(hpack::PseudoHeader::kAuthority)] = "a";
    request.values[size_t(hpack::PseudoHeader::kPath)] = "/";
    hpack::PseudoHeaders response;
    response.values[size_t(hpack::PseudoHeader::kStatus)] = "200";
    const HeaderMap no_fields;

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
      Side& side = in.ConsumeBool() ? client : server;
      Side& other = &side == &client ? server : client;
      Connection& c = side.peer->conn;
      switch (in.ConsumeIntegralInRange<int>(0, 12)) {
        case 0: {  // a request
          if (!client.peer->conn.try_claim_slot()) break;
          Connection::OpenRequest r{&request, &no_fields, in.ConsumeBool()};
          std::optional<uint32_t> id;
          if (!client.peer->conn.open_stream(r, ref(objects.emplace_back()), &id, bin) && id)
            client.ids.push_back(*id);
          break;
        }
        case 1: {  // DATA
          const size_t n = in.ConsumeIntegralInRange<size_t>(0, body.size());
          const SendVerdict v = c.send_data(side.pick(in), std::string_view(body).substr(0, n),
                                            in.ConsumeBool(), bin);
          FUZZ_CHECK(v.sent <= n);
          if (v.flags & flag::kCapacity) Handle woken = c.next_capacity_wake();
          break;
        }
        case 2: {  // a response head
          SendVerdict v;
          const bool refused = server.peer->conn
                                   .send_response_head(server.pick(in), response, no_fields,
                                                       in.ConsumeBool(), &v, bin)
                                   .has_value();
          FUZZ_CHECK(!refused || !v.done);
          break;
        }
        case 3:
          c.send_trailers(side.pick(in), trailers, bin);
          break;
        case 4:
          c.reset_stream(side.pick(in), in.PickValueInArray(kReasons),
                         Initiator(in.ConsumeIntegralInRange<int>(0, 2)), bin);
          break;
        case 5: {  // the application consumes
          const uint32_t sid = side.pick(in);
          c.release_capacity(sid, in.ConsumeIntegralInRange<uint32_t>(0, 1 << 17), bin);
          c.release_data_frame(sid, in.ConsumeIntegralInRange<uint32_t>(0, 300), bin);
          break;
        }
        case 6:
          if (!side.failed && !other.failed) side.receive_from(other, in);
          break;
        case 7: {
          std::vector<Handle> woken = c.credit_written();
          break;
        }
        case 8:
          server.peer->conn.begin_graceful_shutdown();
          break;
        case 9:  // fuzzed frames in place of the peer's
          if (!side.failed) {
            side.absorb(side.peer->receive(
                in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64))));
          }
          break;
        case 10:
          if (in.ConsumeBool()) {
            side.fail();
          } else {
            c.send_goaway(in.PickValueInArray(kReasons));
          }
          break;
        case 11:
          c.aclose_body(side.pick(in), bin);
          c.accepted(side.pick(in));
          break;
        case 12: {
          ResetVerdict v;
          if (c.reset_on_error(side.pick(in), in.PickValueInArray(kReasons), &v, bin)) side.fail();
          break;
        }
      }
      check(client.peer->conn);
      check(server.peer->conn);
      bin.drain();
    }
    // Whatever the states still hold goes back; then every handle the server made for the
    // peer's streams has only its owner's reference left.
    for (Side* s : {&client, &server}) {
      const std::vector<StoppedStream> stopped = s->peer->conn.fail(Handle(), "end", bin);
      s->peer->conn.clear_handles(bin);
    }
    bin.drain();
    client.peer->bin.drain();
    server.peer->bin.drain();
    for (const Obj& o : server.peer->spares)
      FUZZ_CHECK(o.refs == 1);
  }
  for (const Obj& o : objects)
    FUZZ_CHECK(o.refs == 1);
  return 0;
}
