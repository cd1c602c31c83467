// WebSocket failure values (RFC 6455 section 7.4): every reason the decoder fails a connection,
// each with the close code the endpoint sends and a short message for the Close frame's reason
// and the logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace quillet::ws {

// The close codes this layer sends or reports (RFC 6455 section 7.4.1).
enum CloseCode : uint16_t {
  kCloseNormal = 1000,
  kCloseGoingAway = 1001,
  kCloseProtocolError = 1002,
  kCloseUnsupportedData = 1003,
  kCloseNoStatus = 1005,     // reported for a Close frame without a code; never sent
  kCloseAbnormal = 1006,     // reported when the connection dropped without Close; never sent
  kCloseInvalidData = 1007,  // a text message or close reason that is not UTF-8
  kClosePolicyViolation = 1008,
  kCloseMessageTooBig = 1009,
  kCloseMandatoryExtension = 1010,
  kCloseInternalError = 1011,
  kCloseTlsHandshake = 1015,  // reported only; never sent
};

// Whether `code` may travel in a Close frame: 1000-1003, 1007-1014 and 3000-4999. The codes
// 1004, 1005, 1006 and 1015 are reserved or only reported locally; the rest of 0-2999 is
// unassigned and 5000 and above is out of range. Taken as 32 bits so a wider number is never cut
// down to a valid code on its way in.
constexpr bool close_code_valid(uint32_t code) noexcept {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

// Why the decoder failed the connection.
enum class FailureKind : uint8_t {
  kReservedBits,              // RSV2 or RSV3, or RSV1 without an extension that uses it
  kRsv1OnContinuation,        // RSV1 on a continuation frame
  kRsv1OnControl,             // RSV1 on a control frame
  kReservedOpcode,            // opcodes 3-7 and 11-15
  kUnmaskedFrame,             // a client frame without a mask (server role)
  kMaskedFrame,               // a server frame with a mask (client role)
  kNonMinimalLength,          // a 16-bit length under 126 or a 64-bit length under 65536
  kLengthTopBit,              // a 64-bit length with its most significant bit set
  kControlTooLong,            // a control frame with more than 125 payload octets
  kControlFragmented,         // a control frame without FIN
  kContinuationWithoutStart,  // a continuation frame outside a fragmented message
  kMessageInterrupted,        // a text or binary frame inside a fragmented message
  kMessageTooBig,             // the message outgrew the size limit
  kInvalidUtf8,               // a text message that is not UTF-8
  kCloseOneOctet,             // a Close payload of exactly one octet
  kInvalidCloseCode,          // a Close code not allowed on the wire
  kInvalidCloseReason,        // a Close reason that is not UTF-8
};
inline constexpr size_t kFailureKindCount = size_t(FailureKind::kInvalidCloseReason) + 1;

struct FailureText {
  CloseCode code;
  std::string_view message;  // short enough for a Close reason (at most 123 octets)
};

// Indexed by FailureKind.
inline constexpr FailureText kFailureTexts[] = {
    {kCloseProtocolError, "reserved bits set"},
    {kCloseProtocolError, "RSV1 set on a continuation frame"},
    {kCloseProtocolError, "RSV1 set on a control frame"},
    {kCloseProtocolError, "reserved opcode"},
    {kCloseProtocolError, "frame from the client is not masked"},
    {kCloseProtocolError, "frame from the server is masked"},
    {kCloseProtocolError, "payload length not in its shortest encoding"},
    {kCloseProtocolError, "payload length has its top bit set"},
    {kCloseProtocolError, "control frame over 125 octets"},
    {kCloseProtocolError, "fragmented control frame"},
    {kCloseProtocolError, "continuation frame without a message"},
    {kCloseProtocolError, "new message inside a fragmented message"},
    {kCloseMessageTooBig, "message too big"},
    {kCloseInvalidData, "invalid UTF-8 in a text message"},
    {kCloseProtocolError, "close frame with a one-octet payload"},
    {kCloseProtocolError, "invalid close code"},
    {kCloseInvalidData, "invalid UTF-8 in a close reason"},
};
static_assert(std::size(kFailureTexts) == kFailureKindCount, "one row per failure kind");

struct Failure {
  FailureKind kind = FailureKind::kReservedBits;

  CloseCode close_code() const noexcept { return kFailureTexts[size_t(kind)].code; }
  std::string_view message() const noexcept { return kFailureTexts[size_t(kind)].message; }
  bool operator==(const Failure&) const = default;
};

}  // namespace quillet::ws
