#include "wire/common/base64.h"

#include <cstdint>

namespace quillet {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

void append_base64(std::string& out, std::string_view bytes) {
  const size_t n = bytes.size();
  const size_t start = out.size();
  out.resize(start + (n + 2) / 3 * 4);
  char* dst = out.data() + start;
  const auto byte = [&](size_t i) { return uint32_t(static_cast<unsigned char>(bytes[i])); };
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    *dst++ = kAlphabet[group >> 18];
    *dst++ = kAlphabet[(group >> 12) & 63];
    *dst++ = kAlphabet[(group >> 6) & 63];
    *dst++ = kAlphabet[group & 63];
  }
  if (i == n) return;
  // One or two bytes left: two or three characters, then padding to a whole group of four.
  const bool two = i + 2 == n;
  const uint32_t group = byte(i) << 16 | (two ? byte(i + 1) << 8 : 0);
  *dst++ = kAlphabet[group >> 18];
  *dst++ = kAlphabet[(group >> 12) & 63];
  *dst++ = two ? kAlphabet[(group >> 6) & 63] : '=';
  *dst++ = '=';
}

}  // namespace quillet
