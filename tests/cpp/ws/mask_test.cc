// Masking: every fast path against the octet loop, at every length up to 300, every alignment
// and every key phase, in place and copying; and a payload masked in pieces.
#include "wire/ws/mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::ws {
namespace {

constexpr MaskKey kKey = {0x9d, 0x01, 0xe7, 0x5a};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = char(i * 131 + 7);
  return s;
}

TEST(WsMask, EveryPathAgreesWithTheOctetLoop) {
  const std::string input = pattern(300 + 16);
  // The entry point the codec uses, then each wide path on its own.
  const auto run = [](size_t p, char* dst, const char* src, size_t n, size_t phase) {
    if (p == 0) return mask_copy(dst, src, n, kKey, phase);
    return mask_copy_with(MaskPath(p), dst, src, n, kKey, phase);
  };
  size_t paths = 0;
  for (size_t p = 0; p < kMaskPathCount; ++p) {
    if (p != 0 && !mask_path_available(MaskPath(p))) continue;
    ++paths;
    for (size_t n = 0; n <= 300; ++n) {
      for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t phase = 0; phase < 4; ++phase) {
          std::string expected(n + 32, '#');
          const size_t end_phase =
              mask_copy_reference(expected.data() + offset, input.data() + offset, n, kKey, phase);
          ASSERT_EQ(end_phase, (phase + n) % 4);
          // Copying, into a buffer whose octets around the target must stay as they were.
          std::string copied(n + 32, '#');
          ASSERT_EQ(run(p, copied.data() + offset, input.data() + offset, n, phase), end_phase);
          ASSERT_EQ(copied, expected) << p << " n=" << n << " offset=" << offset << " " << phase;
          // In place.
          std::string in_place(n + 32, '#');
          in_place.replace(offset, n, input, offset, n);
          ASSERT_EQ(run(p, in_place.data() + offset, in_place.data() + offset, n, phase),
                    end_phase);
          ASSERT_EQ(in_place, expected) << p << " n=" << n << " offset=" << offset << " " << phase;
        }
      }
    }
  }
  EXPECT_GE(paths, 2u);
#if defined(__x86_64__) || defined(__i386__)
  // Every processor that runs the x86-64 builds has SSE2, in 32-bit mode too.
  EXPECT_TRUE(mask_path_available(MaskPath::kSse2));
  EXPECT_NE(mask_path_in_use(), MaskPath::kWords);
#endif
  EXPECT_TRUE(mask_path_available(mask_path_in_use()));
}

TEST(WsMask, PiecesCarryThePhase) {
  const std::string input = pattern(1000);
  std::string whole(input.size(), '\0');
  mask_copy_reference(whole.data(), input.data(), input.size(), kKey, 0);
  // Cut at awkward places, each piece through the dispatching entry point.
  for (const size_t step : {1, 3, 5, 31, 33, 64, 127, 999}) {
    std::string pieces = input;
    size_t phase = 0;
    for (size_t at = 0; at < pieces.size(); at += step) {
      const size_t n = std::min(step, pieces.size() - at);
      phase = mask_in_place(pieces.data() + at, n, kKey, phase);
    }
    EXPECT_EQ(pieces, whole) << step;
  }
  // Masking twice gives the input back.
  std::string twice = whole;
  mask_in_place(twice.data(), twice.size(), kKey, 0);
  EXPECT_EQ(twice, input);
}

}  // namespace
}  // namespace quillet::ws
