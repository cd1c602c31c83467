#include "wire/h2/hpack/primitives.h"

#include "wire/h2/hpack/huffman.h"

#include <new>

namespace quillet::h2::hpack {
namespace {

// 4 continuation octets carry 28 bits, so only the fifth can take a value past 2^32 - 1.
constexpr unsigned kMaxContinuations = 5;

}  // namespace

namespace detail {

std::optional<DecodeError> read_long_integer(std::string_view in, size_t* pos, uint32_t prefix,
                                             uint32_t* value) {
  size_t p = *pos + 1;
  uint64_t v = prefix;
  for (unsigned n = 0;; ++n) {
    if (p == in.size()) return DecodeError::kIntegerUnderflow;
    const uint8_t b = uint8_t(in[p++]);
    if (n + 1 == kMaxContinuations && (b & 0x80)) return DecodeError::kIntegerOverflow;
    v += uint64_t(b & 0x7f) << (7 * n);
    if (!(b & 0x80)) break;
  }
  if (v > kMaxInteger) return DecodeError::kIntegerOverflow;
  *value = uint32_t(v);
  *pos = p;
  return std::nullopt;
}

}  // namespace detail

std::optional<DecodeError> read_string(std::string_view in, size_t* pos, std::string* scratch,
                                       std::string_view* text) {
  size_t p = *pos;
  if (p == in.size()) return DecodeError::kUnexpectedEndOfStream;
  const bool huffman = uint8_t(in[p]) & 0x80;
  uint32_t length = 0;
  if (const auto error = read_integer(in, &p, 7, &length)) return error;
  if (length > in.size() - p) return DecodeError::kStringUnderflow;
  const std::string_view octets = in.substr(p, length);
  if (huffman) {
    // Room for twice the coded length, as huffman_decode needs; on a 32-bit build a length
    // near 2^32 cannot have it.
    if (length > (SIZE_MAX - 1) / 2) throw std::bad_alloc();
    if (scratch->size() < size_t(2) * length) scratch->resize(size_t(2) * length);
    size_t decoded = 0;
    if (!huffman_decode(octets, scratch->data(), &decoded)) return DecodeError::kInvalidHuffmanCode;
    *text = std::string_view(scratch->data(), decoded);
  } else {
    *text = octets;
  }
  *pos = p + length;
  return std::nullopt;
}

void write_integer(std::string* out, uint8_t pattern, unsigned prefix_bits, uint64_t value) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  if (value < max_prefix) {
    out->push_back(char(pattern | uint8_t(value)));
    return;
  }
  out->push_back(char(pattern | uint8_t(max_prefix)));
  value -= max_prefix;
  while (value >= 0x80) {
    out->push_back(char(uint8_t(value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(char(uint8_t(value)));
}

void write_string(std::string* out, std::string_view text) {
  if (text.empty()) {
    out->push_back('\0');
    return;
  }
  const uint64_t size = huffman_encoded_size(text);
  write_integer(out, 0x80, 7, size);
  huffman_encode(text, size, out);
}

}  // namespace quillet::h2::hpack
