#include "wire/h2/flow_control.h"

namespace quillet::h2 {
namespace {

// value += delta, unless the sum leaves the signed 32-bit range.
[[nodiscard]] bool checked_add(int32_t& value, int32_t delta) {
  int32_t sum;
  if (__builtin_add_overflow(value, delta, &sum)) return false;
  value = sum;
  return true;
}

[[nodiscard]] bool checked_sub(int32_t& value, int32_t delta) {
  int32_t difference;
  if (__builtin_sub_overflow(value, delta, &difference)) return false;
  value = difference;
  return true;
}

FlowResult result(bool ok) {
  return ok ? FlowResult::kOk : FlowResult::kOverflow;
}

}  // namespace

FlowResult FlowControl::unclaimed_capacity(std::optional<uint32_t>* out) const {
  out->reset();
  if (window_size_ >= available_) return FlowResult::kOk;
  int32_t unclaimed = available_;
  if (!checked_sub(unclaimed, window_size_)) return FlowResult::kOverflow;
  const int32_t threshold = window_size_ / 2;
  if (unclaimed >= threshold) *out = uint32_t(unclaimed);
  return FlowResult::kOk;
}

std::optional<uint32_t> FlowControl::take_update() {
  std::optional<uint32_t> increment;
  if (unclaimed_capacity(&increment) != FlowResult::kOk || !increment) return std::nullopt;
  window_size_ = available_;  // window + increment, which unclaimed_capacity() kept in range
  return increment;
}

FlowResult FlowControl::claim_capacity(uint32_t capacity) {
  if (capacity > kMaxWindowSize) return FlowResult::kSizeTooLarge;
  return result(checked_sub(available_, int32_t(capacity)));
}

FlowResult FlowControl::assign_capacity(uint32_t capacity) {
  if (capacity > kMaxWindowSize) return FlowResult::kSizeTooLarge;
  return result(checked_add(available_, int32_t(capacity)));
}

FlowResult FlowControl::inc_window(uint32_t size) {
  if (size > kMaxWindowSize) return FlowResult::kSizeTooLarge;
  return result(checked_add(window_size_, int32_t(size)));
}

FlowResult FlowControl::dec_send_window(uint32_t size) {
  if (size > kMaxWindowSize) return FlowResult::kSizeTooLarge;
  return result(checked_sub(window_size_, int32_t(size)));
}

bool FlowControl::can_shift(int64_t delta) const {
  const int64_t size = int64_t(window_size_) + delta;
  const int64_t available = int64_t(available_) + delta;
  return size >= INT32_MIN && size <= INT32_MAX && available >= INT32_MIN && available <= INT32_MAX;
}

void FlowControl::shift(int64_t delta) {
  window_size_ = int32_t(int64_t(window_size_) + delta);
  available_ = int32_t(int64_t(available_) + delta);
}

FlowResult FlowControl::dec_recv_window(uint32_t size) {
  if (size > kMaxWindowSize) return FlowResult::kSizeTooLarge;
  if (!checked_sub(window_size_, int32_t(size))) return FlowResult::kOverflow;
  return result(checked_sub(available_, int32_t(size)));
}

FlowResult FlowControl::send_data(uint32_t size) {
  if (size == 0) return FlowResult::kOk;
  if (window_size_ < 0 || size > uint32_t(window_size_)) return FlowResult::kOverflow;
  window_size_ -= int32_t(size);  // cannot overflow: 0 <= size <= window_size_
  return result(checked_sub(available_, int32_t(size)));
}

}  // namespace quillet::h2
