#include "wire/ws/sha1.h"

#include <cstring>

namespace quillet::ws {
namespace {

constexpr uint32_t rotl(uint32_t x, unsigned n) noexcept {
  return (x << n) | (x >> (32 - n));
}

}  // namespace

void Sha1::reset() noexcept {
  h_[0] = 0x67452301;
  h_[1] = 0xEFCDAB89;
  h_[2] = 0x98BADCFE;
  h_[3] = 0x10325476;
  h_[4] = 0xC3D2E1F0;
  buffered_ = 0;
  total_ = 0;
}

void Sha1::block(const uint8_t* p) noexcept {
  uint32_t w[80];
  for (size_t t = 0; t < 16; ++t)
    w[t] = uint32_t(p[4 * t]) << 24 | uint32_t(p[4 * t + 1]) << 16 | uint32_t(p[4 * t + 2]) << 8 |
           uint32_t(p[4 * t + 3]);
  for (size_t t = 16; t < 80; ++t)
    w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (size_t t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);  // Ch
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;  // Parity
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);  // Maj
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t temp = rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = temp;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
}

void Sha1::update(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t n = bytes.size();
  total_ += n;
  if (buffered_ > 0) {
    const size_t take = n < 64 - buffered_ ? n : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    n -= take;
    if (buffered_ < 64) return;
    block(buffer_);
    buffered_ = 0;
  }
  for (; n >= 64; p += 64, n -= 64)
    block(p);
  if (n > 0) std::memcpy(buffer_, p, n);
  buffered_ = n;
}

Sha1Digest Sha1::finish() noexcept {
  // Padding (FIPS 180-4 section 5.1.1): a 1 bit, zeros to 56 mod 64, the length in bits.
  const uint64_t bits = total_ * 8;
  uint8_t tail[72] = {0x80};
  const size_t zeros = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (size_t i = 0; i < 8; ++i)
    tail[zeros + i] = uint8_t(bits >> (56 - 8 * i));
  update(std::string_view(reinterpret_cast<const char*>(tail), zeros + 8));
  Sha1Digest out;
  for (size_t i = 0; i < 5; ++i) {
    out[4 * i] = uint8_t(h_[i] >> 24);
    out[4 * i + 1] = uint8_t(h_[i] >> 16);
    out[4 * i + 2] = uint8_t(h_[i] >> 8);
    out[4 * i + 3] = uint8_t(h_[i]);
  }
  reset();
  return out;
}

Sha1Digest sha1(std::string_view bytes) noexcept {
  Sha1 h;
  h.update(bytes);
  return h.finish();
}

}  // namespace quillet::ws
