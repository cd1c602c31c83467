// HTTP/2 error values shared by the stream primitives and the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace quillet::h2 {

// The RFC 9113 section 7 error codes. Unscoped over uint32_t, so a code converts to the value
// that travels in RST_STREAM and GOAWAY without a cast.
enum ErrorCode : uint32_t {
  kNoError = 0x0,
  kProtocolError = 0x1,
  kInternalError = 0x2,
  kFlowControlError = 0x3,
  kSettingsTimeout = 0x4,
  kStreamClosed = 0x5,
  kFrameSizeError = 0x6,
  kRefusedStream = 0x7,
  kCancel = 0x8,
  kCompressionError = 0x9,
  kConnectError = 0xa,
  kEnhanceYourCalm = 0xb,
  kInadequateSecurity = 0xc,
  kHttp11Required = 0xd,
};
inline constexpr size_t kErrorCodeCount = size_t(kHttp11Required) + 1;

struct ErrorCodeText {
  const char* name;         // as the RFC spells it, e.g. "NO_ERROR"
  const char* description;  // the RFC's short text
};

// One row per code, in the order of `ErrorCode`.
inline constexpr ErrorCodeText kErrorCodeTexts[] = {
    {"NO_ERROR", "not a result of an error"},
    {"PROTOCOL_ERROR", "unspecific protocol error detected"},
    {"INTERNAL_ERROR", "unexpected internal error encountered"},
    {"FLOW_CONTROL_ERROR", "flow-control protocol violated"},
    {"SETTINGS_TIMEOUT", "settings ACK not received in timely manner"},
    {"STREAM_CLOSED", "received frame when stream half-closed"},
    {"FRAME_SIZE_ERROR", "frame with invalid size"},
    {"REFUSED_STREAM", "refused stream before processing any application logic"},
    {"CANCEL", "stream no longer needed"},
    {"COMPRESSION_ERROR", "unable to maintain the header compression context"},
    {"CONNECT_ERROR",
     "connection established in response to a CONNECT request was reset or abnormally closed"},
    {"ENHANCE_YOUR_CALM", "detected excessive load generating behavior"},
    {"INADEQUATE_SECURITY", "security properties do not meet minimum requirements"},
    {"HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"},
};
static_assert(std::size(kErrorCodeTexts) == kErrorCodeCount, "one row per error code");

// Whether `code` is one the RFC defines; a peer may send any other 32-bit value. Taken as 64
// bits so that a wider number is never cut down to a defined code on its way in.
inline constexpr bool known_error_code(uint64_t code) noexcept {
  return code < kErrorCodeCount;
}

// Local misuse of the HTTP/2 interface. The Python face is H2UserError, whose `kind` names
// these in snake case.
enum class UserKind : uint8_t {
  kInactiveStreamId,
  kUnexpectedFrameType,
  kPayloadTooBig,
  kRejected,
  kReleaseCapacityTooBig,
  kOverflowedStreamId,
  kMalformedHeaders,
  kMissingUriSchemeAndAuthority,
  kPollResetAfterSendResponse,
  kSendPingWhilePending,
  kSendSettingsWhilePending,
  kPeerDisabledServerPush,
  kInvalidInformationalStatusCode,
};
inline constexpr size_t kUserKindCount = size_t(UserKind::kInvalidInformationalStatusCode) + 1;

// Why a connection transition refused. Each kind is one exception of the Python face; `value`
// is the stream id or the refused number the message names, `reason` an error code.
enum class FailureKind : uint8_t {
  kFlowControl,                  // a connection window left its range: FLOW_CONTROL_ERROR
  kBadMaxFrameSize,              // a max frame size outside 16384..16777215
  kStreamIdsExhausted,           // no stream id left to open: REFUSED_STREAM
  kRequestHead,                  // the request head the caller built was refused
  kTooManyQueuedControlFrames,   // the peer keeps asking for replies nobody writes
  kUnexpectedFrameType,          // a second response head, or one on a finished send side
  kIdleStream,                   // a frame on a stream that was never opened
  kInvalidNewStreamId,           // a new peer stream whose id does not exceed every earlier one
  kUnexpectedData,               // DATA on a stream whose peer side does not stream
  kStream,                       // a stream error: reset the stream with `reason`
  kNoSpareHandle,                // a server opening a stream was given no handle for it
  kTooManyPendingResets,         // peer resets of streams not yet accepted: ENHANCE_YOUR_CALM
  kTooManyErrorResets,           // resets we sent for peer errors: ENHANCE_YOUR_CALM
  kDataFrameFlood,               // small DATA frames past the budget: ENHANCE_YOUR_CALM
  kGoAwayRaisedLastId,           // a GOAWAY whose last stream id exceeds an earlier one
  kConnectProtocolWithdrawn,     // SETTINGS_ENABLE_CONNECT_PROTOCOL back to 0 after 1
  kConnectProtocolNotAnnounced,  // an extended CONNECT to a peer that did not enable it
};
inline constexpr size_t kFailureKindCount = size_t(FailureKind::kConnectProtocolNotAnnounced) + 1;

struct Failure {
  FailureKind kind = FailureKind::kFlowControl;
  uint64_t value = 0;
  uint32_t reason = kNoError;
  bool operator==(const Failure&) const = default;
};

}  // namespace quillet::h2
