// Helpers shared by the HPACK tests.
#pragma once

#include <string>
#include <string_view>

namespace quillet::h2::hpack::test {

// "82 86 8441" -> the octets; spaces are ignored.
inline std::string hex(std::string_view text) {
  std::string out;
  int nibbles = 0;
  unsigned byte = 0;
  for (const char c : text) {
    if (c == ' ') continue;
    const unsigned v = c <= '9' ? unsigned(c - '0') : unsigned(c - 'a' + 10);
    byte = byte << 4 | v;
    if (++nibbles % 2 == 0) {
      out.push_back(char(byte));
      byte = 0;
    }
  }
  return out;
}

}  // namespace quillet::h2::hpack::test
