// The two primitive types of HPACK (RFC 7541 section 5): integers with an N-bit prefix and
// string literals with their H (Huffman) bit. Readers work on a block held in memory and a
// position in it; a reader that fails leaves the position where it was, so a representation
// cut short by the end of a frame can be read again once the block goes on.
#pragma once

#include "wire/h2/hpack/error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h2::hpack {

// Integers above this are refused, so that every length and index fits a uint32_t and a size_t
// on a 32-bit build.
inline constexpr uint32_t kMaxInteger = UINT32_MAX;

namespace detail {
// read_integer past a full prefix: the continuation octets.
[[nodiscard]] std::optional<DecodeError> read_long_integer(std::string_view in, size_t* pos,
                                                           uint32_t prefix, uint32_t* value);
}  // namespace detail

// Reads the integer whose prefix is the low `prefix_bits` (1 to 8) bits of in[*pos], which must
// exist. At most five continuation octets follow a full prefix; a value above kMaxInteger, or a
// fifth continuation octet that announces a sixth, is kIntegerOverflow, and input that ends
// among the continuation octets is kIntegerUnderflow. Most integers of a block (indexes, short
// lengths) fit their prefix, so that case is decided here, inline.
[[nodiscard]] inline std::optional<DecodeError> read_integer(std::string_view in, size_t* pos,
                                                             unsigned prefix_bits,
                                                             uint32_t* value) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  const uint32_t v = uint8_t(in[*pos]) & max_prefix;
  if (v != max_prefix) {
    *value = v;
    ++*pos;
    return std::nullopt;
  }
  return detail::read_long_integer(in, pos, max_prefix, value);
}

// Reads a string literal at in[*pos]. A raw string is a view into `in`; a Huffman-coded one is
// decoded into *scratch and viewed there (the scratch only grows, so that its memory is reused
// without being cleared or filled each time; its size says nothing about the text). Errors: no
// octet at *pos (kUnexpectedEndOfStream), the length's integer errors, a length past the end of
// `in` (kStringUnderflow), a bad Huffman code (kInvalidHuffmanCode).
[[nodiscard]] std::optional<DecodeError> read_string(std::string_view in, size_t* pos,
                                                     std::string* scratch, std::string_view* text);

namespace detail {
// write_integer past a full prefix.
void write_long_integer(std::string* out, uint8_t pattern, uint32_t prefix, uint64_t value);
}  // namespace detail

// Appends `value` with a `prefix_bits` prefix; `pattern` holds the representation's bits above
// the prefix. The one-octet case (most indexes and short lengths) is written here, inline.
inline void write_integer(std::string* out, uint8_t pattern, unsigned prefix_bits, uint64_t value) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  if (value < max_prefix) {
    out->push_back(char(pattern | uint8_t(value)));
    return;
  }
  detail::write_long_integer(out, pattern, max_prefix, value);
}

// Appends a string literal: the empty string as the single octet 0x00, any other string
// Huffman-coded, even where the coding is longer than the raw octets (one code path, and the
// common header texts always shrink).
void write_string(std::string* out, std::string_view text);

}  // namespace quillet::h2::hpack
