// The ways an HPACK header block can fail to decode (RFC 7541). Each kind has one fixed name,
// which the frame layer puts into its connection error message. Three kinds mean that the
// input ended inside a representation; they are written "NeedMore(<kind>)" because a block
// continued in a later CONTINUATION frame may still complete the representation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet::h2::hpack {

enum class DecodeError : uint8_t {
  kInvalidTableIndex,      // index 0, or past the end of the dynamic table
  kInvalidHuffmanCode,     // EOS inside a string, or bad padding
  kInvalidMaxDynamicSize,  // a size update above the allowed maximum, or after a field
  kIntegerOverflow,        // an integer above 2^32 - 1
  // The input ended inside a representation:
  kUnexpectedEndOfStream,  // before a string's first octet
  kIntegerUnderflow,       // inside an integer's continuation octets
  kStringUnderflow,        // inside a string's octets
};
inline constexpr size_t kDecodeErrorCount = size_t(DecodeError::kStringUnderflow) + 1;

// Indexed by DecodeError.
inline constexpr std::array<std::string_view, kDecodeErrorCount> kDecodeErrorNames = {
    "InvalidTableIndex",
    "InvalidHuffmanCode",
    "InvalidMaxDynamicSize",
    "IntegerOverflow",
    "NeedMore(UnexpectedEndOfStream)",
    "NeedMore(IntegerUnderflow)",
    "NeedMore(StringUnderflow)",
};
static_assert(kDecodeErrorNames.size() == kDecodeErrorCount, "one name per decode error");

constexpr std::string_view decode_error_name(DecodeError error) {
  return kDecodeErrorNames[size_t(error)];
}

// Whether more bytes of the same block could complete the representation that failed.
constexpr bool is_need_more(DecodeError error) {
  return error >= DecodeError::kUnexpectedEndOfStream;
}

}  // namespace quillet::h2::hpack
