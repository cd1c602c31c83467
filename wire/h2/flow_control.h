// Flow-control window arithmetic for one direction of one stream or of the connection
// (RFC 9113 section 6.9), in checked signed 32-bit arithmetic.
//
// `window_size` is the window the peer knows about; `available` is the capacity assigned and not
// yet used. Either may go negative (a SETTINGS change may shrink a send window below what is in
// flight, RFC 9113 section 6.9.2), but neither ever leaves the signed 32-bit range: an operation
// that would take it out is refused as a FLOW_CONTROL_ERROR.
#pragma once

#include <cstdint>
#include <optional>

namespace quillet::h2 {

// The largest legal window and window change (RFC 9113 section 6.9.1).
inline constexpr uint32_t kMaxWindowSize = 0x7fffffff;
// The window every stream starts with until SETTINGS_INITIAL_WINDOW_SIZE says otherwise, and
// the connection's, which only WINDOW_UPDATE changes (RFC 9113 section 6.9.2).
inline constexpr uint32_t kDefaultInitialWindowSize = 65535;
inline constexpr uint32_t kDefaultConnectionWindow = kDefaultInitialWindowSize;

enum class FlowResult : uint8_t {
  kOk,
  kSizeTooLarge,  // a size above kMaxWindowSize: refused before any arithmetic, nothing changed
  kOverflow,      // FLOW_CONTROL_ERROR (see each method for what changed)
};

class FlowControl {
 public:
  FlowControl() = default;
  // A window of `size` bytes with `available` of capacity (each capped at kMaxWindowSize).
  explicit FlowControl(uint32_t size) : FlowControl(size, size) {}
  FlowControl(uint32_t size, uint32_t available)
      : window_size_(int32_t(size > kMaxWindowSize ? kMaxWindowSize : size)),
        available_(int32_t(available > kMaxWindowSize ? kMaxWindowSize : available)) {}

  int32_t raw_window_size() const { return window_size_; }
  // The window, or 0 while it is negative.
  uint32_t window_size() const { return window_size_ < 0 ? 0 : uint32_t(window_size_); }
  int32_t available() const { return available_; }
  // Part of a non-negative window is not assigned as capacity.
  bool has_unavailable() const { return window_size_ >= 0 && window_size_ > available_; }

  // How much window to give back to the peer in a WINDOW_UPDATE: the capacity assigned beyond
  // the window, once it is at least half the window; nullopt while it is not worth an update.
  // kOverflow when the difference leaves the signed 32-bit range.
  FlowResult unclaimed_capacity(std::optional<uint32_t>* out) const;

  // The WINDOW_UPDATE worth sending now: when unclaimed_capacity() finds one, the window grows
  // to the capacity and the increment is returned; otherwise nothing changes.
  std::optional<uint32_t> take_update();

  // Each changes one value and leaves everything unchanged when it fails.
  [[nodiscard]] FlowResult claim_capacity(uint32_t capacity);   // available -= capacity
  [[nodiscard]] FlowResult assign_capacity(uint32_t capacity);  // available += capacity
  [[nodiscard]] FlowResult inc_window(uint32_t size);           // window_size += size
  [[nodiscard]] FlowResult dec_send_window(uint32_t size);      // window_size -= size
  // Whether both the window and the capacity stay in range when moved by `delta`.
  bool can_shift(int64_t delta) const;
  // Moves the window and the capacity together by `delta`, as a change of the initial window
  // size does. Requires can_shift(delta): a connection checks every stream before it moves any.
  void shift(int64_t delta);

  // Received DATA: window_size -= size, then available -= size. The bytes arrived whether or not
  // they fit, so the peer's window has shrunk by them: when only the second step overflows, the
  // window stays reduced.
  [[nodiscard]] FlowResult dec_recv_window(uint32_t size);

  // Sent DATA of `size` bytes: needs window_size >= size, else kOverflow with nothing changed;
  // then window_size -= size and available -= size (when only the second overflows, the window
  // stays reduced, as above). A size of 0 changes nothing.
  [[nodiscard]] FlowResult send_data(uint32_t size);

 private:
  int32_t window_size_ = 0;
  int32_t available_ = 0;
};

}  // namespace quillet::h2
