// HTTP/2 error values shared by the stream primitives and the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::h2 {

// RFC 9113 section 7 error codes the rules raise by name.
inline constexpr uint32_t kProtocolError = 0x1;
inline constexpr uint32_t kFlowControlError = 0x3;
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

}  // namespace quillet::h2
