// HTTP/2 error values shared by the stream primitives and the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::h2 {

// RFC 9113 section 7 error codes the rules raise by name.
inline constexpr uint32_t kNoError = 0x0;
inline constexpr uint32_t kProtocolError = 0x1;
inline constexpr uint32_t kFlowControlError = 0x3;
inline constexpr uint32_t kStreamClosed = 0x5;
inline constexpr uint32_t kRefusedStream = 0x7;
inline constexpr uint32_t kCancel = 0x8;
inline constexpr uint32_t kEnhanceYourCalm = 0xb;

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
  kFlowControl,                 // a connection window left its range: FLOW_CONTROL_ERROR
  kBadMaxFrameSize,             // a max frame size outside 16384..16777215
  kStreamIdsExhausted,          // no stream id left to open: REFUSED_STREAM
  kRequestHead,                 // the request head the caller built was refused
  kTooManyQueuedControlFrames,  // the peer keeps asking for replies nobody writes
  kUnexpectedFrameType,         // a second response head, or one on a finished send side
  kIdleStream,                  // a frame on a stream that was never opened
  kInvalidNewStreamId,          // a new peer stream whose id does not exceed every earlier one
  kUnexpectedData,              // DATA on a stream whose peer side does not stream
  kStream,                      // a stream error: reset the stream with `reason`
  kNoSpareHandle,               // a server opening a stream was given no handle for it
  kTooManyPendingResets,        // peer resets of streams not yet accepted: ENHANCE_YOUR_CALM
  kTooManyErrorResets,          // resets we sent for peer errors: ENHANCE_YOUR_CALM
  kDataFrameFlood,              // small DATA frames past the budget: ENHANCE_YOUR_CALM
  kGoAwayRaisedLastId,          // a GOAWAY whose last stream id exceeds an earlier one
};
inline constexpr size_t kFailureKindCount = size_t(FailureKind::kGoAwayRaisedLastId) + 1;

struct Failure {
  FailureKind kind = FailureKind::kFlowControl;
  uint64_t value = 0;
  uint32_t reason = 0;
  bool operator==(const Failure&) const = default;
};

}  // namespace quillet::h2
