// HTTP/1 client connection state driven by any sequence of transitions. The objects it holds
// are counted references to numbered stand-ins; the properties: the transport is handed out
// at most once and never after an upgrade took it, the first stored error stays, a closed state
// refuses new watchers and writers, and once everything is dropped every reference taken was
// released exactly once.
#include "wire/h1/client_state.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>

using namespace quillet;
using namespace quillet::h1;

namespace {

// Live references per stand-in object; the objects themselves are just distinct addresses.
std::map<uintptr_t, long>& counts() {
  static std::map<uintptr_t, long> c;
  return c;
}
void retain(void* p) {
  ++counts()[reinterpret_cast<uintptr_t>(p)];
}
void release(void* p) {
  long& n = counts()[reinterpret_cast<uintptr_t>(p)];
  FUZZ_CHECK(n > 0);  // never released more often than retained
  --n;
}

uintptr_t g_next_id = 16;

// A new stand-in object with one reference, owned by the returned Handle.
Handle fresh() {
  g_next_id += 16;
  void* p = reinterpret_cast<void*>(g_next_id);
  retain(p);
  return Handle::adopt(p);
}

bool is(const Handle& h, uintptr_t id) {
  return reinterpret_cast<uintptr_t>(h.get()) == id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = Handle::install_hooks(retain, release);
  FUZZ_CHECK(installed);
  FuzzedDataProvider in(data, size);
  counts().clear();
  {
    HandleBin bin;  // emptied at the end of the run, as a caller empties it after unlocking
    Handle transport = fresh();
    const uintptr_t transport_id = reinterpret_cast<uintptr_t>(transport.get());
    ClientState state(std::move(transport));
    int transport_handed_out = 0;
    bool upgraded = false;
    uintptr_t first_error = 0;
    auto handed = [&](const Handle& h) {
      if (!is(h, transport_id)) return;
      FUZZ_CHECK(!upgraded || transport_handed_out == 0);
      ++transport_handed_out;
    };
    while (in.remaining_bytes() > 0) {
      switch (in.ConsumeIntegralInRange<int>(0, 18)) {
        case 0:
          state.try_begin_exchange();
          break;
        case 1:
          state.end_exchange();
          break;
        case 2:
          state.exchange_started();
          break;
        case 3:
          state.writer_done();
          break;
        case 4: {
          Handle error = in.ConsumeBool() ? fresh() : Handle();
          const uintptr_t id = reinterpret_cast<uintptr_t>(error.get());
          if (first_error == 0 && id != 0) first_error = id;
          Handle out = state.fail(std::move(error), bin);
          handed(out);
          bin.add(std::move(out));
          break;
        }
        case 5: {
          Handle out = state.close_now();
          handed(out);
          bin.add(std::move(out));
          break;
        }
        case 6: {
          ClientState::Closing c = state.mark_closed();
          handed(c.transport);
          bin.add(std::move(c.transport));
          bin.add(std::move(c.watcher_done));
          bin.add(std::move(c.writer));
          break;
        }
        case 7: {
          Handle out = state.upgrade();
          handed(out);
          if (is(out, transport_id)) upgraded = true;
          bin.add(std::move(out));
          break;
        }
        case 8: {
          const bool was_closed = state.closed();
          Handle refused = state.store_writer(fresh(), bin);
          FUZZ_CHECK(was_closed == static_cast<bool>(refused));
          bin.add(std::move(refused));
          break;
        }
        case 9:
          bin.add(state.take_writer());
          break;
        case 10: {
          const bool could = !state.is_dead() && state.transport_ref() && !state.has_watcher();
          FUZZ_CHECK(state.arm_watcher(fresh(), bin) == could);
          break;
        }
        case 11:
          bin.add(state.store_watcher_handle(fresh()));
          break;
        case 12: {
          Handle read = in.ConsumeBool() ? fresh() : Handle();
          const size_t read_size = read ? in.ConsumeIntegralInRange<size_t>(0, 2) : 0;
          Handle error = in.ConsumeBool() ? fresh() : Handle();
          ClientState::WatchOutcome o =
              state.watcher_completed(std::move(read), read_size, std::move(error), bin);
          FUZZ_CHECK(o.verdict == WatchVerdict::kIdleEof || !o.transport);
          handed(o.transport);
          bin.add(std::move(o.transport));
          break;
        }
        case 13:
          state.watcher_aborted();
          break;
        case 14:
          bin.add(state.take_watcher_handle());
          break;
        case 15: {
          ClientState::WatcherResult r = state.take_watcher_result(bin);
          bin.add(std::move(r.data));
          bin.add(std::move(r.error));
          break;
        }
        case 16:
          bin.add(state.transport_ref());
          break;
        case 17: {
          Handle e = state.error_ref();
          FUZZ_CHECK(first_error == 0 ? !e : is(e, first_error));
          bin.add(std::move(e));
          break;
        }
        case 18:
          bin.add(state.watcher_done());
          break;
      }
      FUZZ_CHECK(transport_handed_out <= 1);
      if (upgraded) FUZZ_CHECK(state.closed() && state.upgraded());
    }
  }  // the state and the bin are gone: every reference must be back
  for (const auto& [id, n] : counts())
    FUZZ_CHECK(n == 0);
  return 0;
}
