// Equality of the short strings HPACK compares all the time (names and values against table
// entries), inline and a word at a time: a library call per comparison costs more than the
// comparison of a typical header name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillet::h2::hpack {

inline bool same_octets(std::string_view a, std::string_view b) {
  size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  for (; n >= 8; p += 8, q += 8, n -= 8) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) return false;
  }
  if (n >= 4) {  // the first and the last four, which overlap for fewer than eight
    uint32_t x[2];
    uint32_t y[2];
    std::memcpy(&x[0], p, 4);
    std::memcpy(&x[1], p + n - 4, 4);
    std::memcpy(&y[0], q, 4);
    std::memcpy(&y[1], q + n - 4, 4);
    return x[0] == y[0] && x[1] == y[1];
  }
  // One to three octets: the first, the middle and the last cover them all.
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

}  // namespace quillet::h2::hpack
