// The WebSocket frame layer (RFC 6455 section 5): the decoder that turns received octets into
// messages and control frames, and the writers of frames and Close payloads.
//
// The decoder is sans-IO and incremental: decode() takes any number of octets and returns the
// events of every message and control frame now complete; how the octets were cut makes no
// difference to the events or to the failure. Every rule is checked as soon as the octets that
// break it are in: a frame header as it completes (role, reserved bits and opcodes, length
// encoding, control-frame shape, fragmentation order, the message size limit, before any of the
// payload is kept), a text message octet by octet as it is unmasked (so invalid UTF-8 fails at
// the first octet that cannot become valid, across fragments), a Close payload once complete.
//
// Payloads are unmasked while they are copied, once, into the batch: the data of the messages
// completed in one call lie in `Batch::data`, the payloads of its control frames in
// `Batch::control`, and each event views its own. A message that spans calls is kept by the
// decoder in between and handed over whole (moved, not copied, when it is the first message the
// call completes). With `DecoderOptions::leave_in_input`, a message that needs no copy to be
// checked is not copied at all: its event views the input, still masked, and the caller unmasks
// it once, straight into the object it hands on (Batch::copy_payload).
#pragma once

#include "wire/ws/error.h"
#include "wire/ws/mask.h"
#include "wire/ws/utf8.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::ws {

enum class Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

constexpr bool is_control(Opcode op) noexcept {
  return (uint8_t(op) & 0x8) != 0;
}

inline constexpr size_t kMaxControlPayload = 125;
inline constexpr size_t kMaxFrameHeaderSize = 14;
inline constexpr uint64_t kDefaultMaxMessageSize = 16 * 1024 * 1024;

enum class Role : uint8_t { kServer, kClient };

enum class EventKind : uint8_t { kText, kBinary, kPing, kPong, kClose };
inline constexpr size_t kEventKindCount = size_t(EventKind::kClose) + 1;

// One complete message or control frame.
//   kText, kBinary: the message's data (text is valid UTF-8 unless `compressed`), and whether its
//                   first frame had RSV1 (permessage-deflate: the data is still compressed)
//   kPing, kPong:   the application data
//   kClose:         close_code (kCloseNoStatus for an empty payload) and the reason
struct Event {
  EventKind kind = EventKind::kText;
  bool compressed = false;
  uint16_t close_code = 0;
  // The payload's place in the batch's `data` (messages) or `control` (control frames), or in
  // the call's input when `in_input`.
  size_t offset = 0;
  size_t size = 0;
  // A message left in the input (DecoderOptions::leave_in_input), masked with `key` when
  // `masked`.
  bool in_input = false;
  bool masked = false;
  MaskKey key{};
  bool operator==(const Event&) const = default;
};

// The events of one decode call and the octets they view; reused from call to call, so its
// buffers keep their capacity.
struct Batch {
  std::vector<Event> events;
  std::string data;
  std::string control;
  // The input of the call, which the events left in it view: valid while the caller's input is.
  std::string_view input;

  // The payload's octets as they lie: still masked for a masked event left in the input.
  std::string_view payload(const Event& e) const {
    if (e.in_input) return input.substr(e.offset, e.size);
    const std::string& base =
        e.kind == EventKind::kText || e.kind == EventKind::kBinary ? data : control;
    return std::string_view(base).substr(e.offset, e.size);
  }
  // Writes the payload's `e.size` octets, unmasked, to `dst`.
  void copy_payload(const Event& e, char* dst) const noexcept;
  std::string payload_copy(const Event& e) const {
    std::string out(e.size, '\0');
    copy_payload(e, out.data());
    return out;
  }
  void clear() noexcept {
    events.clear();
    data.clear();
    control.clear();
    input = {};
  }
};

struct DecoderOptions {
  Role role = Role::kServer;
  // The largest message (the sum of its frames' payloads, as received) taken; a larger one fails
  // with kMessageTooBig as soon as a frame header announces it.
  uint64_t max_message_size = kDefaultMaxMessageSize;
  // RSV1 on the first frame of a message: negotiated by permessage-deflate.
  bool allow_rsv1 = false;
  // A message of one frame whose payload is wholly in the input and needs no UTF-8 check
  // (binary, or compressed) is left there: its event is `in_input`, and the caller takes it out
  // with Batch::copy_payload before its input goes. Saves one copy of every such message.
  bool leave_in_input = false;
};

class Decoder {
 public:
  explicit Decoder(const DecoderOptions& options = {}) noexcept : options_(options) {}

  // Decodes `input` and appends the events completed by it to `out` (cleared first). On a
  // failure, the events before the failing octet stay in `out` and the failure is returned; the
  // decoder then takes nothing more, and every later call returns the same failure. After a
  // Close frame, the octets that follow are not decoded (closed() is true). Allocation failure
  // throws std::bad_alloc; the decoder cannot be used after that.
  [[nodiscard]] std::optional<Failure> decode(std::string_view input, Batch* out);

  bool closed() const noexcept { return closed_; }
  const std::optional<Failure>& failure() const noexcept { return failure_; }
  // Whether a fragmented message is in progress.
  bool in_message() const noexcept { return message_open_; }
  // Octets of the message in progress held by the decoder (not counting a current frame header).
  size_t buffered() const noexcept { return message_.size(); }

  const DecoderOptions& options() const noexcept { return options_; }
  // Takes effect from the next frame header.
  void set_max_message_size(uint64_t size) noexcept { options_.max_message_size = size; }
  void set_allow_rsv1(bool allow) noexcept { options_.allow_rsv1 = allow; }

 private:
  enum class Phase : uint8_t { kHeader, kPayload };

  // Checks the complete header at `h` and sets up its frame.
  std::optional<Failure> start_frame(const uint8_t* h, Batch* out);
  // Right after start_frame: a whole message that can stay in the input is emitted as it lies,
  // and `*pos` moves past it.
  void leave_in_input(size_t available, size_t* pos, Batch* out);
  // The frame's whole payload is in: emits what it completes.
  std::optional<Failure> end_frame(Batch* out);
  // Unmasks `n` payload octets into their place and checks them.
  std::optional<Failure> take_payload(const char* src, size_t n, Batch* out);
  // The data of the message in progress so far, wherever it is kept.
  std::string& message_buffer(Batch* out) noexcept { return in_batch_ ? out->data : message_; }
  // Moves the part of the message in progress that lies in the batch to the decoder's buffer.
  void keep_message(Batch* out);

  DecoderOptions options_;
  Phase phase_ = Phase::kHeader;
  bool closed_ = false;
  std::optional<Failure> failure_;

  // The header being read when it arrived in pieces.
  uint8_t header_[kMaxFrameHeaderSize] = {};
  size_t header_size_ = 0;

  // The current frame.
  Opcode opcode_ = Opcode::kContinuation;
  bool fin_ = false;
  bool masked_ = false;
  MaskKey key_{};
  size_t mask_phase_ = 0;
  uint64_t remaining_ = 0;
  std::string control_;  // a control frame's payload so far (at most 125 octets)

  // The message in progress.
  bool message_open_ = false;
  bool message_text_ = false;
  bool message_compressed_ = false;
  uint64_t message_size_ = 0;
  // Its data lies in the batch from `batch_start_` while it began in this call, and in
  // `message_` otherwise.
  bool in_batch_ = false;
  size_t batch_start_ = 0;
  std::string message_;
  Utf8Validator utf8_;
};

// --- writing ---

enum class WriteError : uint8_t {
  kControlTooLong,      // a control payload over 125 octets
  kControlFragmented,   // a control frame without FIN
  kRsv1OnControl,       // RSV1 asked for on a control frame
  kRsv1OnContinuation,  // RSV1 asked for on a continuation frame
  kInvalidCloseCode,    // a code that may not travel in a Close frame
  kReasonWithoutCode,   // a Close reason with no code
  kInvalidCloseReason,  // a Close reason that is not UTF-8
  kBufferTooSmall,      // the caller's buffer cannot hold the frame
};
inline constexpr size_t kWriteErrorCount = size_t(WriteError::kBufferTooSmall) + 1;

// Indexed by WriteError.
inline constexpr std::string_view kWriteErrorMessages[] = {
    "control frame payload over 125 octets",
    "control frame must not be fragmented",
    "RSV1 on a control frame",
    "RSV1 on a continuation frame",
    "close code not allowed on the wire",
    "close reason without a close code",
    "close reason is not valid UTF-8",
    "buffer too small for the frame",
};
static_assert(std::size(kWriteErrorMessages) == kWriteErrorCount, "one message per write error");

constexpr std::string_view write_error_message(WriteError e) {
  return kWriteErrorMessages[size_t(e)];
}

struct FrameHead {
  Opcode opcode = Opcode::kText;
  bool fin = true;
  bool rsv1 = false;
  // Set for the client role: the payload is masked with it.
  std::optional<MaskKey> mask = std::nullopt;
};

// The size of the header a frame of `payload_size` octets takes: 2, 4 or 10 octets, 4 more when
// masked.
constexpr size_t frame_header_size(uint64_t payload_size, bool masked) noexcept {
  return (payload_size < 126 ? 2 : payload_size < 65536 ? 4 : 10) + (masked ? 4 : 0);
}

// Writes the header of a frame with a payload of `payload_size` octets (the length in its
// shortest encoding) to `dst`, which has room for kMaxFrameHeaderSize octets. Returns its size.
// The head is not checked: write_frame does that.
size_t write_frame_header(const FrameHead& head, uint64_t payload_size, char* dst) noexcept;

// Whether a frame of `payload_size` octets may go out with `head`: what write_frame refuses.
[[nodiscard]] std::optional<WriteError> check_frame_head(const FrameHead& head,
                                                         uint64_t payload_size) noexcept;

// Appends one frame: its header and the payload, masked when the head has a key. A refusal
// appends nothing.
[[nodiscard]] std::optional<WriteError> write_frame(const FrameHead& head, std::string_view payload,
                                                    std::string* out);
// The same into the caller's `dst` of `capacity` octets; `*written` gets the frame's size.
[[nodiscard]] std::optional<WriteError> write_frame(const FrameHead& head, std::string_view payload,
                                                    char* dst, size_t capacity, size_t* written);

// The longest Close reason, in octets: the code takes 2 of the control frame's 125.
inline constexpr size_t kMaxCloseReason = kMaxControlPayload - 2;

// Appends a Close payload: nothing without a code, else the code and the reason cut to at most
// 123 octets without splitting a UTF-8 sequence. The code must be valid on the wire and the
// reason valid UTF-8 (and empty without a code).
[[nodiscard]] std::optional<WriteError> write_close_payload(std::optional<uint16_t> code,
                                                            std::string_view reason,
                                                            std::string* out);

}  // namespace quillet::ws
