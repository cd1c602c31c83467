// HTTP/1 server connection state driven by any sequence of transitions, with fuzzed request
// bytes: pipelined heads, bodies read or drained, 100-continue, watcher reads and completions,
// upgrade and CONNECT, detach, shutdown and close. The objects it holds are counted stand-ins.
// Checked after every step: closed is final and implies not reusable, upgraded implies closed;
// a watcher slot is parked only while it exists; the current seq never runs ahead of the heads
// accepted; the transport is taken out at most once; and when the state and every bin are gone,
// every reference the state took was released exactly once.
#include "wire/h1/server_state.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/server_cores.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

using namespace quillet;
using namespace quillet::h1;
using quillet::h1::test_support::Obj;
using quillet::h1::test_support::PlainCores;
using quillet::h1::test_support::ref;

namespace {

constexpr uint16_t kStatuses[] = {100, 101, 200, 204, 206, 304, 404, 500, 999};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = test_support::install_counting_hooks();
  FUZZ_CHECK(installed);
  FuzzedDataProvider in(data, size);
  std::deque<Obj> objects;  // stable addresses; each starts with its owner's one reference
  Obj& transport = objects.emplace_back();
  auto obj = [&]() -> Obj& { return objects.emplace_back(); };
  {
    const bool keep_alive = in.ConsumeBool();
    const bool half_close = in.ConsumeBool();
    const bool with_transport = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    Codec codec(CodecConfig{.date_header = false});
    PlainCores cores(codec);
    HandleBin bin;
    auto state = std::make_unique<ServerState>(with_transport ? ref(transport) : Handle(),
                                               keep_alive, half_close);
    uint64_t accepted = 0;
    int transport_taken = 0;
    auto taken = [&](const Handle& h) {
      if (h.get() == &transport) ++transport_taken;
    };
    auto pick_seq = [&]() -> uint64_t {
      switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
          return 0;
        case 1:
          return state->seq() + 1;
        case 2:
          return state->seq() - 1;
        default:
          return state->seq();
      }
    };
    auto current_decoder = [&]() -> Obj* {
      Handle d = state->decoder_ref();
      Obj* o = static_cast<Obj*>(d.get());
      return o != nullptr && o->decoder ? o : nullptr;
    };

    while (in.remaining_bytes() > 0) {
      switch (in.ConsumeIntegralInRange<int>(0, 25)) {
        case 0: {
          ServerState::Next n = state->begin_read(cores, bin);
          if (n.step == NextStep::kClose) taken(n.object);
          break;
        }
        case 1: {
          ServerState::Next n = state->drain_done(cores, in.ConsumeBool(), bin);
          if (n.step == NextStep::kClose) taken(n.object);
          break;
        }
        case 2: {  // a read's bytes: often a head, sometimes anything
          std::string bytes = in.ConsumeBool() ? in.ConsumeRandomLengthString(256)
                                               : "POST /" + in.ConsumeRandomLengthString(8) +
                                                     " HTTP/1.1\r\nHost: a\r\n" +
                                                     in.ConsumeRandomLengthString(96) + "\r\n\r\n";
          RequestHead head;
          ParseKind error;
          uint64_t seq = 0;
          Obj& d = obj();
          if (state->accept_head(cores, bytes, ref(d), &head, &error, &seq, bin) ==
              HeadResult::kHead) {
            ++accepted;
            FUZZ_CHECK(seq == accepted);
          }
          break;
        }
        case 3:
          taken(state->fail_read());
          break;
        case 4:
          state->stop_serving();
          break;
        case 5: {
          ServerState::Closing c = state->mark_closed();
          taken(c.transport);
          FUZZ_CHECK(state->closed());
          break;
        }
        case 6:
          state->mark_unusable();
          break;
        case 7:
          state->try_send_continue(pick_seq());
          break;
        case 8:
          state->begin_body_read(pick_seq());
          break;
        case 9:
          state->end_body_read(pick_seq(), in.ConsumeBool());
          break;
        case 10:
          if (Obj* d = current_decoder()) {  // the body reader reads a piece
            d->decoder->feed(in.ConsumeRandomLengthString(64));
            if (in.ConsumeBool()) d->decoder->mark_eof();
            std::string body;
            d->decoder->decode_into(&body);
          }
          break;
        case 11: {
          ServerState::ResponseHead r;
          r.status = *StatusCode::from(
              kStatuses[in.ConsumeIntegralInRange<size_t>(0, std::size(kStatuses) - 1)]);
          r.body.chunked = in.ConsumeBool();
          if (in.ConsumeBool()) r.body.content_length = in.ConsumeIntegralInRange<uint64_t>(0, 9);
          r.want = in.ConsumeBool();
          HeaderMap headers;
          if (in.ConsumeBool()) FUZZ_CHECK(headers.append("connection", "close"));
          if (in.ConsumeBool()) FUZZ_CHECK(headers.append("content-length", "3"));
          r.headers = &headers;
          Obj& done = obj();
          std::string out;
          const ServerState::Responded res =
              state->respond_head(cores, pick_seq(), r, ref(done), &out, bin);
          FUZZ_CHECK(res.verdict == RequestVerdict::kOk || (!res.armed && out.empty()));
          if (res.armed) FUZZ_CHECK(state->has_watcher());
          break;
        }
        case 12: {
          ServerState::Finished f = state->finish_response(cores, pick_seq());
          taken(f.transport);
          if (f.switched) FUZZ_CHECK(state->upgraded() && f.leftover);
          break;
        }
        case 13:
          taken(state->fail_response(pick_seq()));
          FUZZ_CHECK(state->closed());
          break;
        case 14: {
          ServerState::Detached d = state->detach(cores, pick_seq(), bin);
          taken(d.transport);
          if (d.verdict == RequestVerdict::kOk) FUZZ_CHECK(state->upgraded() && d.leftover);
          break;
        }
        case 15:
          state->close_window(pick_seq());
          break;
        case 16:
          taken(state->request_shutdown());
          FUZZ_CHECK(!state->reusable());
          break;
        case 17:
          state->unpark_idle_read();
          break;
        case 18: {
          const uint64_t seq = pick_seq();
          const std::optional<bool> now = state->peer_closed_now(seq);
          if (now && *now) FUZZ_CHECK(state->peer_closed_flag(seq));
          break;
        }
        case 19: {
          Obj& done = obj();
          const bool had = state->has_watcher();
          if (state->arm_watcher(cores, pick_seq(), ref(done), in.ConsumeBool(), in.ConsumeBool(),
                                 bin)) {
            FUZZ_CHECK(!had && state->watcher_parked());
          }
          break;
        }
        case 20: {
          Obj& task = obj();
          Handle back = state->store_watcher_handle(ref(task));
          FUZZ_CHECK(!back || back.get() == &task);
          break;
        }
        case 21: {  // the watcher's read ends: bytes, end of input, or an error
          const int kind = in.ConsumeIntegralInRange<int>(0, 2);
          Handle read;
          size_t read_size = 0;
          Handle error;
          if (kind == 0) {
            Obj& r = obj();
            r.bytes = in.ConsumeRandomLengthString(64);
            read_size = r.bytes.size();
            read = ref(r);
          } else if (kind == 1) {
            Obj& r = obj();  // b""
            read = ref(r);
          } else {
            error = ref(obj());
          }
          if (state->watcher_completed(std::move(read), read_size, std::move(error), bin)) {
            FUZZ_CHECK(!state->reusable() && !state->response_done());
          }
          break;
        }
        case 22:
          state->watcher_aborted();
          break;
        case 23: {
          Handle task = state->take_watcher_handle();
          break;
        }
        case 24: {
          ServerState::WatcherResult result = state->take_watcher_result(bin);
          break;
        }
        case 25:
          state->clear(bin);
          break;
      }
      bin.drain();
      // The connection's life only moves forward, and its flags agree.
      FUZZ_CHECK(!state->closed() || !state->reusable());
      FUZZ_CHECK(!state->upgraded() || state->closed());
      FUZZ_CHECK(!state->watcher_parked() || state->has_watcher());
      FUZZ_CHECK(state->seq() == accepted);
      FUZZ_CHECK(transport_taken <= 1);
      for (const Obj& o : objects)
        FUZZ_CHECK(o.refs >= 1);
    }
    state.reset();
  }
  for (const Obj& o : objects)
    FUZZ_CHECK(o.refs == 1);
  return 0;
}
