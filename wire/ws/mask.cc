#include "wire/ws/mask.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define QUILLET_WS_X86 1
#include <immintrin.h>
#endif

namespace quillet::ws {
namespace {

// The key as it lines up with a run of `N` octets that starts at `phase`.
template <size_t N>
std::array<uint8_t, N> key_pattern(MaskKey key, size_t phase) noexcept {
  std::array<uint8_t, N> out;
  for (size_t i = 0; i < N; ++i)
    out[i] = key[(phase + i) & 3];
  return out;
}

// Eight octets at a time; a run of eight keeps the phase, so the tail starts where it began.
size_t mask_words(char* dst, const char* src, size_t n, MaskKey key, size_t phase) noexcept {
  phase &= 3;
  const std::array<uint8_t, 8> pattern = key_pattern<8>(key, phase);
  uint64_t k;
  std::memcpy(&k, pattern.data(), 8);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    w ^= k;
    std::memcpy(dst + i, &w, 8);
  }
  return mask_copy_reference(dst + i, src + i, n - i, key, phase);
}

#ifdef QUILLET_WS_X86
__attribute__((target("sse2"))) size_t mask_sse2(char* dst, const char* src, size_t n, MaskKey key,
                                                 size_t phase) noexcept {
  phase &= 3;
  const std::array<uint8_t, 16> pattern = key_pattern<16>(key, phase);
  const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pattern.data()));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_xor_si128(w, k));
  }
  return mask_words(dst + i, src + i, n - i, key, phase);
}

__attribute__((target("avx2"))) size_t mask_avx2(char* dst, const char* src, size_t n, MaskKey key,
                                                 size_t phase) noexcept {
  phase &= 3;
  const std::array<uint8_t, 32> pattern = key_pattern<32>(key, phase);
  const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern.data()));
  size_t i = 0;
  // Two registers per round: long payloads are the ones worth the wide path.
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_xor_si256(a, k));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), _mm256_xor_si256(b, k));
  }
  for (; i + 32 <= n; i += 32) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_xor_si256(w, k));
  }
  return mask_words(dst + i, src + i, n - i, key, phase);
}
#endif

using MaskFn = size_t (*)(char*, const char*, size_t, MaskKey, size_t) noexcept;

bool available(MaskPath path) noexcept {
  switch (path) {
    case MaskPath::kBytes:
    case MaskPath::kWords:
      return true;
    case MaskPath::kSse2:
#ifdef QUILLET_WS_X86
      __builtin_cpu_init();
      return __builtin_cpu_supports("sse2");
#else
      return false;
#endif
    case MaskPath::kAvx2:
#ifdef QUILLET_WS_X86
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
  }
  return false;
}

MaskFn function_of(MaskPath path) noexcept {
  switch (path) {
    case MaskPath::kBytes:
      return mask_copy_reference;
    case MaskPath::kWords:
      return mask_words;
    case MaskPath::kSse2:
#ifdef QUILLET_WS_X86
      return mask_sse2;
#else
      return mask_words;
#endif
    case MaskPath::kAvx2:
#ifdef QUILLET_WS_X86
      return mask_avx2;
#else
      return mask_words;
#endif
  }
  return mask_words;
}

MaskPath best_path() noexcept {
  if (available(MaskPath::kAvx2)) return MaskPath::kAvx2;
  if (available(MaskPath::kSse2)) return MaskPath::kSse2;
  return MaskPath::kWords;
}

struct Chosen {
  MaskPath path;
  MaskFn fn;
};

const Chosen& chosen() noexcept {
  static const Chosen c{best_path(), function_of(best_path())};
  return c;
}

}  // namespace

size_t mask_copy_reference(char* dst, const char* src, size_t n, MaskKey key,
                           size_t phase) noexcept {
  for (size_t i = 0; i < n; ++i)
    dst[i] = char(uint8_t(src[i]) ^ key[(phase + i) & 3]);
  return (phase + n) & 3;
}

size_t mask_copy(char* dst, const char* src, size_t n, MaskKey key, size_t phase) noexcept {
  if (n < 32) return mask_words(dst, src, n, key, phase);
  return chosen().fn(dst, src, n, key, phase);
}

bool mask_path_available(MaskPath path) noexcept {
  return available(path);
}

MaskPath mask_path_in_use() noexcept {
  return chosen().path;
}

size_t mask_copy_with(MaskPath path, char* dst, const char* src, size_t n, MaskKey key,
                      size_t phase) noexcept {
  if (!available(path)) path = MaskPath::kWords;
  return function_of(path)(dst, src, n, key, phase);
}

}  // namespace quillet::ws
