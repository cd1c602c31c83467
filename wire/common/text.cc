#include "wire/common/text.h"

#include <cstdint>
#include <cstring>

namespace quillet {
namespace {

// Length of the well-formed UTF-8 sequence starting at `p` (at most `n` bytes available), or 0
// when the bytes there are not one (RFC 3629: no overlongs, no surrogates, at most U+10FFFF).
size_t utf8_sequence_length(const unsigned char* p, size_t n) {
  const unsigned char b0 = p[0];
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return len;
}

void append_hex_escape(std::string& out, unsigned char b) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b >= 0x80) {
      const size_t len = utf8_sequence_length(p + i, n - i);
      if (len == 0) {
        append_hex_escape(out, b);
        ++i;
      } else {
        out.append(text.data() + i, len);
        i += len;
      }
      continue;
    }
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          append_hex_escape(out, b);
        } else {
          out += char(b);
        }
    }
    ++i;
  }
  out += '"';
}

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {  // eight ASCII bytes
        i += 8;
        continue;
      }
    }
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t len = utf8_sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void append_decimal(std::string& out, unsigned long long value) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0)
    out += digits[--n];
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace quillet
