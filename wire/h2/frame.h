// The HTTP/2 frame layer (RFC 9113 sections 4 and 6): the decoder that turns received bytes into
// frame events, and the writers of every frame this side sends.
//
// The decoder is sans-IO: decode() takes any number of bytes, returns the events of every frame
// now complete, and keeps the bytes of an incomplete frame for the next call. A frame's length is
// checked against the receive limit as soon as its 9-byte header is in, before its payload is
// buffered. A header block is assembled from a HEADERS frame and its CONTINUATION frames through
// the connection's HPACK decoder. Connection errors are returned as a FrameError; stream errors
// become a kStreamError event in the frame's place, and decoding goes on.
//
// The events of one call share one buffer of payload bytes (DecodeBatch): DATA data and GOAWAY
// debug data are views into it, so they are copied once, by whoever turns them into objects.
//
// The writers append one frame (or a HEADERS frame and its CONTINUATION frames) to an output
// string, after validating what a peer would have to reject; a refusal appends nothing.
#pragma once

#include "wire/common/byte_buffer.h"
#include "wire/common/header_map.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/header_block.h"
#include "wire/h2/hpack/decoder.h"
#include "wire/h2/hpack/error.h"
#include "wire/h2/hpack/header_list.h"
#include "wire/h2/stream_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::h2 {

enum class FrameType : uint8_t {
  kData,
  kHeaders,
  kPriority,
  kRstStream,
  kSettings,
  kPushPromise,
  kPing,
  kGoAway,
  kWindowUpdate,
  kContinuation,
};
inline constexpr size_t kFrameTypeCount = size_t(FrameType::kContinuation) + 1;

inline constexpr size_t kFrameHeaderSize = 9;
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
inline constexpr uint32_t kMaxMaxFrameSize = 16777215;
// Whether `size` may be a SETTINGS_MAX_FRAME_SIZE: from the default up to 2^24-1.
inline constexpr bool valid_max_frame_size(uint64_t size) noexcept {
  return size >= kDefaultMaxFrameSize && size <= kMaxMaxFrameSize;
}
inline constexpr uint32_t kDefaultMaxHeaderListSize = 16777216;

// Flags (RFC 9113 section 6).
inline constexpr uint8_t kFlagEndStream = 0x1;
inline constexpr uint8_t kFlagAck = 0x1;
inline constexpr uint8_t kFlagEndHeaders = 0x4;
inline constexpr uint8_t kFlagPadded = 0x8;
inline constexpr uint8_t kFlagPriority = 0x20;

// The settings a SETTINGS frame carries, each absent unless the frame names it (the last value
// wins). enable_connect_protocol is SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441 section 3).
struct Settings {
  std::optional<uint32_t> header_table_size;
  std::optional<bool> enable_push;
  std::optional<uint32_t> max_concurrent_streams;
  std::optional<uint32_t> initial_window_size;
  std::optional<uint32_t> max_frame_size;
  std::optional<uint32_t> max_header_list_size;
  std::optional<bool> enable_connect_protocol;
  bool operator==(const Settings&) const = default;
};

enum class FrameEventKind : uint8_t {
  kData,
  kHeaders,
  kSettings,
  kWindowUpdate,
  kPing,
  kGoAway,
  kRstStream,
  kPriority,
  kStreamError,
};
inline constexpr size_t kFrameEventKindCount = size_t(FrameEventKind::kStreamError) + 1;

// A complete header block: the pseudo-header fields and the regular fields in received order.
struct HeaderBlock {
  hpack::PseudoHeaders pseudo;
  HeaderMap fields;
  // The list outgrew our header-list budget: fields past it were dropped, so the message must
  // not be taken as it stands.
  bool over_size = false;
};

// One decoded frame. Which fields mean something depends on the kind:
//   kData:         stream_id, flag (END_STREAM), bytes (the data), length (the payload length,
//                  padding included), padding (length minus the data's size)
//   kHeaders:      stream_id, flag (END_STREAM), block
//   kSettings:     flag (ACK), settings
//   kWindowUpdate: stream_id, code (the increment)
//   kPing:         flag (ACK), ping
//   kGoAway:       stream_id (the last stream id), code (the error code), bytes (debug data)
//   kRstStream:    stream_id, code (the error code)
//   kPriority:     stream_id
//   kStreamError:  stream_id, code (always PROTOCOL_ERROR)
struct FrameEvent {
  FrameEventKind kind = FrameEventKind::kData;
  bool flag = false;
  uint32_t stream_id = 0;
  uint32_t code = 0;
  uint32_t length = 0;
  uint32_t padding = 0;
  // Offset and size of the bytes within the batch's base.
  size_t bytes_offset = 0;
  size_t bytes_size = 0;
  std::array<char, 8> ping{};
  Settings settings;
  std::unique_ptr<HeaderBlock> block;
};

// What the connection acts on in a header block: its :status, the first content-length value as
// an unsigned decimal of at most 19 digits (anything else is invalid), the messages it may be,
// and whether it outgrew the budget.
struct BlockFacts {
  std::optional<uint32_t> status;
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  ReceivedShape shape;
  bool over_size = false;
  bool informational() const { return status && *status >= 100 && *status <= 199; }
};
BlockFacts block_facts(const HeaderBlock& block);

// The events of one decode call and the bytes their payloads view.
struct DecodeBatch {
  std::vector<FrameEvent> events;
  // Either the caller's input (valid as long as the caller keeps it) or `storage`.
  std::string_view base;
  std::string storage;

  std::string_view bytes(const FrameEvent& e) const {
    return base.substr(e.bytes_offset, e.bytes_size);
  }
};

// Why a frame failed to load (the frame's fields break its layout).
enum class LoadError : uint8_t {
  kBadFrameSize,
  kTooMuchPadding,
  kInvalidSettingValue,
  kInvalidWindowUpdateValue,
  kInvalidPayloadLength,
  kInvalidPayloadAckSettings,
  kInvalidStreamId,
  kMalformedMessage,
};
inline constexpr size_t kLoadErrorCount = size_t(LoadError::kMalformedMessage) + 1;

// Indexed by LoadError: the names the connection error's message carries.
inline constexpr std::string_view kLoadErrorNames[] = {
    "BadFrameSize",         "TooMuchPadding",
    "InvalidSettingValue",  "InvalidWindowUpdateValue",
    "InvalidPayloadLength", "InvalidPayloadAckSettings",
    "InvalidStreamId",      "MalformedMessage",
};
static_assert(std::size(kLoadErrorNames) == kLoadErrorCount, "one name per load error");

constexpr std::string_view load_error_name(LoadError e) {
  return kLoadErrorNames[size_t(e)];
}

// The connection errors the decoder finds.
enum class FrameErrorKind : uint8_t {
  kBadPreface,                  // PROTOCOL_ERROR
  kFrameTooLarge,               // FRAME_SIZE_ERROR
  kExpectedContinuation,        // PROTOCOL_ERROR
  kLoad,                        // PROTOCOL_ERROR, with a LoadError
  kPriorityStreamZero,          // PROTOCOL_ERROR
  kPushPromise,                 // PROTOCOL_ERROR
  kUnexpectedContinuation,      // PROTOCOL_ERROR
  kContinuationStreamMismatch,  // PROTOCOL_ERROR
  kTooManyContinuations,        // ENHANCE_YOUR_CALM
  kContinuationOverLimit,       // COMPRESSION_ERROR
  kHeaderListAbuse,             // ENHANCE_YOUR_CALM
  kHpack,                       // PROTOCOL_ERROR, with an hpack::DecodeError
};
inline constexpr size_t kFrameErrorKindCount = size_t(FrameErrorKind::kHpack) + 1;

struct FrameError {
  FrameErrorKind kind = FrameErrorKind::kBadPreface;
  LoadError load = LoadError::kBadFrameSize;                          // kLoad only
  hpack::DecodeError hpack = hpack::DecodeError::kInvalidTableIndex;  // kHpack only
  bool operator==(const FrameError&) const = default;
};

// The RFC 9113 error code a connection error carries.
uint32_t frame_error_reason(FrameErrorKind kind) noexcept;

enum class PrefaceMatch : uint8_t { kComplete, kIncomplete, kMismatch };

// Compares the first bytes of `data` with the client preface; bytes after it are ignored.
PrefaceMatch match_preface(std::string_view data) noexcept;

class FrameDecoder {
 public:
  // The server role expects the client preface before the first frame.
  explicit FrameDecoder(bool server) : preface_consumed_(!server) {}

  // Appends `input` and decodes every complete frame into `out` (cleared first). On a connection
  // error, the events of this call are dropped (the frames read are consumed) and the error is
  // returned; the caller must then fail the connection. `input` must stay alive and unchanged
  // for as long as `out` is used.
  [[nodiscard]] std::optional<FrameError> decode(std::string_view input, DecodeBatch* out);

  // The preface matcher on its own: buffers the bytes; once the preface is complete, the bytes
  // after it move to the read buffer. It does not mark the preface consumed for decode().
  PrefaceMatch feed_preface(std::string_view input);

  // Seeds the decoder with bytes another reader already took off the transport. While the
  // client preface is still expected they go through its check, and kComplete also marks it
  // consumed (the bytes after it stay as frame bytes); otherwise they join the read buffer and
  // the answer is kComplete.
  PrefaceMatch prime(std::string_view input);

  // Bytes of incomplete frames in the read buffer.
  size_t buffered() const noexcept { return read_.size(); }

  uint32_t max_frame_size() const noexcept { return max_frame_size_; }
  uint32_t max_header_list_size() const noexcept { return max_header_list_size_; }
  uint32_t max_continuation_frames() const noexcept { return max_continuation_frames_; }

  // The caller validates the range (16384..16777215).
  void set_max_frame_size(uint32_t size) noexcept;
  void set_max_header_list_size(uint32_t size) noexcept;
  void queue_max_table_size(uint32_t size) noexcept { hpack_.queue_max_table_size(size); }

  const hpack::Decoder& hpack() const noexcept { return hpack_; }
  bool block_pending() const noexcept { return pending_.has_value(); }

 private:
  struct Pending {
    // Spelled out: clang 14 does not see a nested class with member initializers as default
    // constructible inside std::optional.
    Pending() noexcept {}
    uint32_t stream_id = 0;
    bool end_stream = false;
    bool stream_error = false;  // a self-dependency: refused once the block is decoded
    uint32_t continuations = 0;
    std::string remainder;  // an incomplete trailing representation
  };

  std::optional<FrameError> decode_frame(uint8_t type, uint8_t flags, uint32_t stream_id,
                                         std::string_view payload, size_t payload_offset,
                                         std::vector<FrameEvent>* events);
  std::optional<FrameError> decode_headers(uint8_t flags, uint32_t stream_id,
                                           std::string_view payload,
                                           std::vector<FrameEvent>* events);
  std::optional<FrameError> decode_continuation(uint8_t flags, uint32_t stream_id,
                                                std::string_view payload,
                                                std::vector<FrameEvent>* events);
  // Decodes `fragment` into the pending block's list, keeping a need-more tail in its
  // remainder, and emits the block's event when `final`.
  std::optional<FrameError> decode_fragment(std::string_view fragment, bool final,
                                            std::vector<FrameEvent>* events);
  PrefaceMatch match_more(std::string_view input);
  void recompute_continuation_cap() noexcept;

  bool preface_consumed_;
  std::string preface_;  // at most the preface's 24 bytes
  ByteBuffer read_;
  uint32_t max_frame_size_ = kDefaultMaxFrameSize;
  uint32_t max_header_list_size_ = kDefaultMaxHeaderListSize;
  uint32_t max_continuation_frames_ = 1280;
  std::optional<Pending> pending_;
  hpack::HeaderAccumulator list_;  // the pending block's fields
  hpack::Decoder hpack_;
};

// Why a writer refused its arguments.
enum class WriteError : uint8_t {
  kStreamIdZero,           // DATA, HEADERS, RST_STREAM on stream 0
  kStreamIdTooLarge,       // a stream id of 2^31 or more
  kPayloadTooBig,          // DATA over the send max frame size
  kPingPayloadSize,        // PING data not 8 bytes
  kSettingsMaxFrameSize,   // outside 16384..16777215
  kSettingsInitialWindow,  // above 2^31 - 1
  kWindowIncrement,        // 0, or 2^31 or more
  kLastStreamIdTooLarge,   // GOAWAY last stream id of 2^31 or more
  kDebugDataTooLong,       // GOAWAY debug data past what a 24-bit length can carry
};
inline constexpr size_t kWriteErrorCount = size_t(WriteError::kDebugDataTooLong) + 1;

[[nodiscard]] std::optional<WriteError> write_data(uint32_t stream_id, std::string_view data,
                                                   bool end_stream, uint32_t max_frame_size,
                                                   std::string* out);
// `block` is a complete HPACK block; it is split into HEADERS and CONTINUATION frames of at most
// `max_frame_size` bytes each, END_HEADERS on the last.
[[nodiscard]] std::optional<WriteError> write_headers(uint32_t stream_id, std::string_view block,
                                                      bool end_stream, uint32_t max_frame_size,
                                                      std::string* out);
[[nodiscard]] std::optional<WriteError> write_rst_stream(uint32_t stream_id, uint32_t error_code,
                                                         std::string* out);
// The entries present, in id order 1 to 6.
[[nodiscard]] std::optional<WriteError> write_settings(const Settings& settings, std::string* out);
void write_settings_ack(std::string* out);
[[nodiscard]] std::optional<WriteError> write_ping(std::string_view payload, bool ack,
                                                   std::string* out);
[[nodiscard]] std::optional<WriteError> write_goaway(uint32_t last_stream_id, uint32_t error_code,
                                                     std::string_view debug_data, std::string* out);
[[nodiscard]] std::optional<WriteError> write_window_update(uint32_t stream_id, uint32_t increment,
                                                            std::string* out);

}  // namespace quillet::h2
