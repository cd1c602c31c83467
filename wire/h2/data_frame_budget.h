// A budget against floods of small DATA frames. Flow control bounds payload bytes, not frames:
// a peer that cuts its data into tiny frames would make the connection buffer one chunk per
// frame while staying inside every window. Each small frame is charged what it costs beyond its
// payload, the charge comes back once its chunk is consumed, and large frames earn budget back.
#pragma once

#include "wire/h2/flow_control.h"

#include <cstdint>
#include <optional>

namespace quillet::h2 {

// A frame with less payload than this costs the difference.
inline constexpr uint32_t kDataFrameOverheadThreshold = 256;
// The smallest budget chosen without a configured one.
inline constexpr uint32_t kDefaultDataFrameBudget = 25600;
// Empty DATA frames allowed over a connection's lifetime.
inline constexpr uint32_t kMaxRecvEmptyDataFrames = 100;

class DataFrameBudget {
 public:
  // `configured` when given; otherwise half the connection receive window, but never less than
  // kDefaultDataFrameBudget.
  DataFrameBudget(std::optional<uint32_t> configured, std::optional<uint32_t> connection_window);

  uint32_t available() const { return available_; }
  uint32_t maximum() const { return maximum_; }
  uint32_t empty_frames() const { return empty_frames_; }

  // Charges one received DATA frame. Returns the charge to release() once its chunk has been
  // consumed, or nullopt when the peer is flooding (ENHANCE_YOUR_CALM): the budget cannot pay
  // for the frame (nothing changes), or this is an empty frame past the lifetime allowance (it
  // is counted all the same).
  [[nodiscard]] std::optional<uint32_t> record(uint32_t payload_len);

  // Gives a charge back, never past the maximum.
  void release(uint32_t charge) { refill(charge); }

 private:
  void refill(uint32_t amount);

  uint32_t maximum_;
  uint32_t available_;
  uint32_t empty_frames_ = 0;
};

}  // namespace quillet::h2
