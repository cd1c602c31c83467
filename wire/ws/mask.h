// Masking (RFC 6455 section 5.3): octet i of a payload is XORed with octet i mod 4 of the
// frame's masking key; masking and unmasking are the same operation.
//
// A payload often arrives in pieces, so every function takes the phase (the payload offset, mod
// 4, of the first octet it is given) and returns the phase that follows its last octet.
//
// `mask_copy` is the fast path: it works eight octets at a time, or 16 or 32 with SSE2 or AVX2
// when the processor has them (checked once, at the first call). `mask_copy_reference` is the
// plain octet loop it must agree with; `mask_copy_with` runs one chosen path, for the tests that
// compare them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillet::ws {

// The four key octets in wire order.
using MaskKey = std::array<uint8_t, 4>;

// Writes `n` octets of `src`, masked, to `dst`, starting at key octet `phase` (0-3); `dst` may
// be `src` itself (unmasking in place) but must not overlap it otherwise. Returns (phase + n) % 4.
size_t mask_copy(char* dst, const char* src, size_t n, MaskKey key, size_t phase) noexcept;

inline size_t mask_in_place(char* data, size_t n, MaskKey key, size_t phase) noexcept {
  return mask_copy(data, data, n, key, phase);
}

// The octet-at-a-time loop: the reference the fast paths are checked against.
size_t mask_copy_reference(char* dst, const char* src, size_t n, MaskKey key,
                           size_t phase) noexcept;

enum class MaskPath : uint8_t { kBytes, kWords, kSse2, kAvx2 };
inline constexpr size_t kMaskPathCount = size_t(MaskPath::kAvx2) + 1;

// Whether this build and this processor can run `path`.
bool mask_path_available(MaskPath path) noexcept;
// The path mask_copy takes for long payloads.
MaskPath mask_path_in_use() noexcept;
// mask_copy through `path`; an unavailable path falls back to kWords.
size_t mask_copy_with(MaskPath path, char* dst, const char* src, size_t n, MaskKey key,
                      size_t phase) noexcept;

}  // namespace quillet::ws
