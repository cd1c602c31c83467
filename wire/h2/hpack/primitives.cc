#include "wire/h2/hpack/primitives.h"

#include "wire/h2/hpack/huffman.h"

#include <cstring>
#include <new>

namespace quillet::h2::hpack {
namespace {

// 4 continuation octets carry 28 bits, so only the fifth can take a value past 2^32 - 1.
constexpr unsigned kMaxContinuations = 5;

// The longest text write_string codes in one pass, into room for its longest coding.
constexpr size_t kOnePassLength = 256;

// The octets write_integer takes for `value`.
size_t integer_size(unsigned prefix_bits, uint64_t value) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  if (value < max_prefix) return 1;
  size_t n = 2;
  for (value -= max_prefix; value >= 0x80; value >>= 7)
    ++n;
  return n;
}

// write_integer into room for integer_size octets.
void put_integer(char* at, uint8_t pattern, unsigned prefix_bits, uint64_t value) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  if (value < max_prefix) {
    *at = char(pattern | uint8_t(value));
    return;
  }
  *at++ = char(pattern | uint8_t(max_prefix));
  for (value -= max_prefix; value >= 0x80; value >>= 7)
    *at++ = char(uint8_t(value & 0x7f) | 0x80);
  *at = char(uint8_t(value));
}

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
    // Room for twice the coded length, as huffman_decode needs; on a 32-bit build an input of
    // more than half the address space cannot have it.
    if (octets.size() > SIZE_MAX / 2) throw std::bad_alloc();
    if (scratch->size() < 2 * octets.size()) scratch->resize(2 * octets.size());
    size_t decoded = 0;
    if (!huffman_decode(octets, scratch->data(), &decoded)) return DecodeError::kInvalidHuffmanCode;
    *text = std::string_view(scratch->data(), decoded);
  } else {
    *text = octets;
  }
  *pos = p + length;
  return std::nullopt;
}

namespace detail {

void write_long_integer(std::string* out, uint8_t pattern, uint32_t prefix, uint64_t value) {
  out->push_back(char(pattern | uint8_t(prefix)));
  value -= prefix;
  while (value >= 0x80) {
    out->push_back(char(uint8_t(value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(char(uint8_t(value)));
}

}  // namespace detail

void write_string(std::string* out, std::string_view text) {
  if (text.empty()) {
    out->push_back('\0');
    return;
  }
  // The coded length goes first but is only known once the text is coded: the coding is written
  // after a length prefix wide enough for the longest possible coding, then moved up to follow
  // the prefix the actual length needs, which is rarely shorter. That is cheaper than a pass
  // over the text to count its bits first. Not for a long text, though: the output (often a
  // buffer the connection keeps) would keep room for nearly four times its length.
  if (text.size() > kOnePassLength) {
    const uint64_t size = huffman_encoded_size(text);
    write_integer(out, 0x80, 7, size);
    huffman_encode(text, size, out);
    return;
  }
  const uint64_t most = huffman_max_size(text.size());
  const size_t room = integer_size(7, most);
  const size_t start = out->size();
  if (most > SIZE_MAX - start - room) throw std::bad_alloc();
  out->resize(start + room + size_t(most));
  char* const at = out->data() + start;
  const size_t coded = huffman_encode(text, at + room);
  const size_t prefix = integer_size(7, coded);
  if (prefix < room) std::memmove(at + prefix, at + room, coded);
  put_integer(at, 0x80, 7, coded);
  out->resize(start + prefix + coded);
}

}  // namespace quillet::h2::hpack
