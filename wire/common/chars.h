// Byte classes of the HTTP grammar, as 256-entry tables.
#pragma once

#include <array>
#include <cstdint>

namespace quillet::chars {

namespace detail {

constexpr bool is_tchar(unsigned c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

template <class Pred>
constexpr std::array<bool, 256> table(Pred pred) {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < 256; ++c)
    t[c] = pred(c);
  return t;
}

}  // namespace detail

// tchar of RFC 9110 section 5.6.2: letters, digits and ! # $ % & ' * + - . ^ _ ` | ~
inline constexpr std::array<bool, 256> kToken = detail::table(detail::is_tchar);

// A byte allowed in a field value: HTAB, SP to '~', and 0x80 to 0xFF.
inline constexpr std::array<bool, 256> kFieldValue =
    detail::table([](unsigned c) { return c == '\t' || (c >= 0x20 && c != 0x7F); });

// A byte allowed in a request-target: 0x21 to 0x7E and 0x80 to 0xFF.
inline constexpr std::array<bool, 256> kTarget =
    detail::table([](unsigned c) { return c > 0x20 && c != 0x7F; });

inline bool token(char c) {
  return kToken[static_cast<unsigned char>(c)];
}
inline bool field_value(char c) {
  return kFieldValue[static_cast<unsigned char>(c)];
}
inline bool target(char c) {
  return kTarget[static_cast<unsigned char>(c)];
}

// A value made only of HTAB and 0x20 to 0x7E: the values whose comma-separated tokens count.
inline bool visible_ascii_or_space(char c) {
  const auto u = static_cast<unsigned char>(c);
  return c == '\t' || (u >= 0x20 && u < 0x7F);
}

}  // namespace quillet::chars
