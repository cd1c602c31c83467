#include "wire/common/base64.h"

#include <array>
#include <cstdint>

namespace quillet {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kNotInAlphabet = 0xFF;
// The value of each character of the alphabet; kNotInAlphabet for the others.
constexpr std::array<uint8_t, 256> kValues = [] {
  std::array<uint8_t, 256> t{};
  t.fill(kNotInAlphabet);
  for (uint8_t i = 0; i < 64; ++i)
    t[uint8_t(kAlphabet[i])] = i;
  return t;
}();
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

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t chars = last ? 4 - pad : 4;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      uint32_t v = 0;
      if (j < chars) {
        v = kValues[static_cast<unsigned char>(text[i + j])];
        if (v == kNotInAlphabet) return std::nullopt;
      }
      group = group << 6 | v;
    }
    // One padding character leaves 2 bits over, two leave 4: they must be zero.
    if (last && pad > 0 && (group & (pad == 1 ? 0xFFu : 0xFFFFu)) != 0) return std::nullopt;
    const char bytes[3] = {char(group >> 16), char(group >> 8), char(group)};
    out.append(bytes, 3 - (last ? pad : 0));
  }
  return out;
}

}  // namespace quillet
