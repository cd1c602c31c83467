// HTTP/2 error values shared by the stream primitives and the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::h2 {

// RFC 9113 section 7 error codes the rules raise by name.
inline constexpr uint32_t kProtocolError = 0x1;
inline constexpr uint32_t kFlowControlError = 0x3;
inline constexpr uint32_t kRefusedStream = 0x7;
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

// Why a connection transition refused. Each kind is one exception of the Python face.
enum class FailureKind : uint8_t {
  kFlowControl,                 // a window left the signed 32-bit range: FLOW_CONTROL_ERROR
  kBadMaxFrameSize,             // a max frame size outside 16384..16777215 (`value`)
  kStreamIdsExhausted,          // no stream id left to open: REFUSED_STREAM
  kRequestHead,                 // the request head the caller built was refused
  kTooManyQueuedControlFrames,  // the peer keeps asking for replies nobody writes
};
inline constexpr size_t kFailureKindCount = size_t(FailureKind::kTooManyQueuedControlFrames) + 1;

struct Failure {
  FailureKind kind = FailureKind::kFlowControl;
  uint64_t value = 0;
  bool operator==(const Failure&) const = default;
};

}  // namespace quillet::h2
