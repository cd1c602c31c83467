#include "wire/h2/data_frame_budget.h"

#include <algorithm>

namespace quillet::h2 {
namespace {

uint32_t budget_maximum(std::optional<uint32_t> configured,
                        std::optional<uint32_t> connection_window) {
  if (configured) return *configured;
  const uint32_t window = connection_window.value_or(kDefaultConnectionWindow);
  // Half the window once that beats the floor: 51201 / 2 is 25600, the floor itself.
  return window > 2 * kDefaultDataFrameBudget + 1 ? window / 2 : kDefaultDataFrameBudget;
}

}  // namespace

DataFrameBudget::DataFrameBudget(std::optional<uint32_t> configured,
                                 std::optional<uint32_t> connection_window)
    : maximum_(budget_maximum(configured, connection_window)), available_(maximum_) {}

std::optional<uint32_t> DataFrameBudget::record(uint32_t payload_len) {
  if (payload_len == 0) {
    const uint32_t before = empty_frames_;
    // Saturates, so that no number of calls can wrap the count back under the allowance.
    if (empty_frames_ != UINT32_MAX) ++empty_frames_;
    if (before >= kMaxRecvEmptyDataFrames) return std::nullopt;
    return 0;
  }
  if (payload_len < kDataFrameOverheadThreshold) {
    const uint32_t charge = kDataFrameOverheadThreshold - payload_len;
    if (available_ < charge) return std::nullopt;
    available_ -= charge;
    return charge;
  }
  refill(payload_len - kDataFrameOverheadThreshold);
  return 0;
}

void DataFrameBudget::refill(uint32_t amount) {
  // In 64 bits the sum cannot wrap; capped at the maximum (itself a 32-bit value) it is what a
  // sum saturating at 2^32 - 1 and then capped gives.
  const uint64_t sum = uint64_t(available_) + amount;
  available_ = uint32_t(std::min<uint64_t>(sum, maximum_));
}

}  // namespace quillet::h2
