// Shared by the fuzz targets: a failed property aborts, so libFuzzer records the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// `all` cut into pieces of the fuzzed `sizes` (each at most what is left), then the rest.
inline std::vector<std::string_view> cut_in_pieces(std::string_view all,
                                                   const std::vector<size_t>& sizes) {
  std::vector<std::string_view> pieces;
  size_t pos = 0;
  for (const size_t n : sizes) {
    const size_t take = std::min(n, all.size() - pos);
    pieces.push_back(all.substr(pos, take));
    pos += take;
  }
  pieces.push_back(all.substr(pos));
  return pieces;
}
