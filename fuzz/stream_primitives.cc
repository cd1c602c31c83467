// The HTTP/2 stream primitives driven by any sequence of operations. Properties: a refused
// stream transition leaves the state as it was; a closed stream changes only through a peer
// reset of a stream with queued frames or a local reset; the predicates agree with each other
// and with the state; the window arithmetic agrees with the same arithmetic done in 64 bits and
// never leaves the signed 32-bit range; the budget stays between 0 and its maximum and counts
// every empty frame; the content-length never counts up.
#include "fuzz/fuzz_check.h"
#include "wire/h2/content_length.h"
#include "wire/h2/data_frame_budget.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/stream_state.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>

using namespace quillet::h2;

namespace {

void check_predicates(const StreamState& s) {
  FUZZ_CHECK(s.is_closed() == (s.describe().rfind("Closed", 0) == 0));
  FUZZ_CHECK(s.is_idle() == (s.describe() == "Idle"));
  FUZZ_CHECK(!s.is_reset() || s.is_closed());
  FUZZ_CHECK(!(s.is_send_streaming() && s.is_send_closed()));
  FUZZ_CHECK(!(s.is_recv_streaming() && s.is_recv_headers()));
  FUZZ_CHECK(!(s.is_remote_reset() && s.is_local_error()));
  FUZZ_CHECK(s.is_scheduled_reset() == s.scheduled_reset().has_value());
  FUZZ_CHECK(!s.is_scheduled_reset() || s.is_local_error());
  const RecvCheck recv = s.ensure_recv_open();
  FUZZ_CHECK((recv == RecvCheck::kScheduledReset) == s.is_scheduled_reset());
  FUZZ_CHECK(recv != RecvCheck::kOpen || !s.is_closed());
  FUZZ_CHECK(recv != RecvCheck::kFailed || (s.is_closed() && s.cause() == Cause::kError));
  FUZZ_CHECK(!s.is_recv_end_stream() || recv != RecvCheck::kOpen);
}

void step_stream(FuzzedDataProvider& fdp, StreamState& s) {
  const std::string before = s.describe();
  const bool was_closed = s.is_closed();
  bool accepted = true;
  bool may_rewrite_closed = false;
  const bool a = fdp.ConsumeBool(), b = fdp.ConsumeBool();
  switch (fdp.ConsumeIntegralInRange(0, 11)) {
    case 0:
      accepted = s.send_open(a);
      break;
    case 1:
      accepted = s.recv_open(a, b) != RecvOpen::kRefused;
      break;
    case 2:
      accepted = s.reserve_remote();
      break;
    case 3:
      accepted = s.reserve_local();
      break;
    case 4:
      accepted = s.recv_close();
      break;
    case 5:
      s.recv_reset(fdp.ConsumeIntegralInRange<uint32_t>(0, kMaxStreamId),
                   fdp.ConsumeIntegral<uint32_t>(), a);
      may_rewrite_closed = a;
      break;
    case 6:
      s.recv_eof();
      break;
    case 7:
      s.fail(StreamError::go_away(fdp.ConsumeRandomLengthString(8), fdp.ConsumeIntegral<uint32_t>(),
                                  Initiator(a + b)));
      break;
    case 8:
      accepted = s.send_close();
      break;
    case 9:
      s.set_reset(fdp.ConsumeIntegralInRange<uint32_t>(0, kMaxStreamId),
                  fdp.ConsumeIntegral<uint32_t>(), Initiator(a + b));
      may_rewrite_closed = true;
      break;
    case 10:
      accepted = s.set_scheduled_reset(fdp.ConsumeIntegral<uint32_t>());
      FUZZ_CHECK(accepted == !was_closed);
      break;
    default:
      break;
  }
  if (!accepted) FUZZ_CHECK(s.describe() == before);
  if (was_closed) {
    FUZZ_CHECK(s.is_closed());
    if (!may_rewrite_closed) FUZZ_CHECK(s.describe() == before);
  }
  check_predicates(s);
}

bool in_range(int64_t v) {
  return v >= INT32_MIN && v <= INT32_MAX;
}

void step_flow(FuzzedDataProvider& fdp, FlowControl& f) {
  const int64_t w = f.raw_window_size(), c = f.available();
  const uint32_t size = fdp.ConsumeBool() ? fdp.ConsumeIntegral<uint32_t>()
                                          : fdp.ConsumeIntegralInRange<uint32_t>(0, 70000);
  const int64_t n = size;
  const bool too_large = size > kMaxWindowSize;
  int64_t want_w = w, want_c = c;
  FlowResult want = FlowResult::kOk, got = FlowResult::kOk;
  auto expect = [&](int64_t new_w, int64_t new_c) {
    // A size error first, then each step in order; a failed step stops there.
    if (too_large) return void(want = FlowResult::kSizeTooLarge);
    if (!in_range(new_w)) return void(want = FlowResult::kOverflow);
    want_w = new_w;
    if (!in_range(new_c)) return void(want = FlowResult::kOverflow);
    want_c = new_c;
  };
  switch (fdp.ConsumeIntegralInRange(0, 6)) {
    case 0:
      got = f.claim_capacity(size);
      expect(w, c - n);
      break;
    case 1:
      got = f.assign_capacity(size);
      expect(w, c + n);
      break;
    case 2:
      got = f.inc_window(size);
      expect(w + n, c);
      break;
    case 3:
      got = f.dec_send_window(size);
      expect(w - n, c);
      break;
    case 4:
      got = f.dec_recv_window(size);
      expect(w - n, c - n);
      break;
    case 5:
      got = f.send_data(size);
      if (size != 0) {
        if (n > w) {
          want = FlowResult::kOverflow;
        } else {
          want_w = w - n;
          if (in_range(c - n)) {
            want_c = c - n;
          } else {
            want = FlowResult::kOverflow;
          }
        }
      }
      break;
    default: {
      std::optional<uint32_t> unclaimed;
      got = f.unclaimed_capacity(&unclaimed);
      if (c > w && !in_range(c - w)) want = FlowResult::kOverflow;
      if (unclaimed) FUZZ_CHECK(int64_t(*unclaimed) == c - w && c - w >= w / 2);
      break;
    }
  }
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(f.raw_window_size() == want_w);
  FUZZ_CHECK(f.available() == want_c);
  FUZZ_CHECK(f.window_size() == (want_w < 0 ? 0 : uint32_t(want_w)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  StreamState stream;
  FlowControl flow;
  std::optional<uint32_t> configured, window;
  if (fdp.ConsumeBool()) configured = fdp.ConsumeIntegral<uint32_t>();
  if (fdp.ConsumeBool()) window = fdp.ConsumeIntegral<uint32_t>();
  DataFrameBudget budget(configured, window);
  ContentLength length(fdp.ConsumeBool());
  while (fdp.remaining_bytes() > 0) {
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
      case 0:
        step_stream(fdp, stream);
        break;
      case 1:
        step_flow(fdp, flow);
        break;
      case 2: {
        const uint32_t empties = budget.empty_frames(), before = budget.available();
        const uint32_t payload = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange(0u, 300u)
                                                   : fdp.ConsumeIntegral<uint32_t>();
        if (fdp.ConsumeBool()) {
          const std::optional<uint32_t> charge = budget.record(payload);
          FUZZ_CHECK(budget.empty_frames() == empties + (payload == 0 ? 1u : 0u));
          if (!charge) FUZZ_CHECK(payload == 0 || budget.available() == before);
          if (charge) FUZZ_CHECK(budget.available() == before - *charge || payload >= 256);
        } else {
          budget.release(payload);
          FUZZ_CHECK(budget.available() >= before);
        }
        FUZZ_CHECK(budget.available() <= budget.maximum());
        break;
      }
      default: {
        const uint64_t before = length.remaining();
        const uint64_t n = fdp.ConsumeIntegral<uint64_t>() >> fdp.ConsumeIntegralInRange(0, 63);
        if (fdp.ConsumeBool() && !length.is_declared()) {
          length.set(n);
          FUZZ_CHECK(length.is_head() || length.remaining() == n);
        } else {
          const bool ok = length.dec(n);
          FUZZ_CHECK(length.remaining() == (ok && length.is_declared() ? before - n : before));
        }
        break;
      }
    }
  }
  return 0;
}
