// SHA-1 (FIPS 180-4 section 6.1), for the Sec-WebSocket-Accept value of the opening handshake,
// where it serves as a fixed transform and not for security.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet::ws {

using Sha1Digest = std::array<uint8_t, 20>;

class Sha1 {
 public:
  Sha1() noexcept { reset(); }
  void reset() noexcept;
  void update(std::string_view bytes) noexcept;
  // The digest of everything updated since the last reset; the hash is reset after.
  Sha1Digest finish() noexcept;

 private:
  void block(const uint8_t* p) noexcept;

  uint32_t h_[5];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;  // octets hashed, mod 2^64
};

Sha1Digest sha1(std::string_view bytes) noexcept;

}  // namespace quillet::ws
