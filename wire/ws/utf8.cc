#include "wire/ws/utf8.h"

#include <array>
#include <cstring>

namespace quillet::ws {
namespace {

using S = Utf8Validator::State;

// Octet classes: what an octet may be, as far as the next state depends on it.
enum Class : uint8_t {
  kAscii,   // 00-7F
  kCont80,  // 80-8F
  kCont90,  // 90-9F
  kContA0,  // A0-BF
  kNever,   // C0, C1, F5-FF
  kLead2,   // C2-DF
  kLeadE0,  // E0
  kLead3,   // E1-EC, EE, EF
  kLeadED,  // ED
  kLeadF0,  // F0
  kLead4,   // F1-F3
  kLeadF4,  // F4
};
constexpr size_t kClassCount = size_t(kLeadF4) + 1;

constexpr Class class_of(unsigned c) {
  if (c < 0x80) return kAscii;
  if (c < 0x90) return kCont80;
  if (c < 0xA0) return kCont90;
  if (c < 0xC0) return kContA0;
  if (c < 0xC2) return kNever;
  if (c < 0xE0) return kLead2;
  if (c == 0xE0) return kLeadE0;
  if (c == 0xED) return kLeadED;
  if (c < 0xF0) return kLead3;
  if (c == 0xF0) return kLeadF0;
  if (c < 0xF4) return kLead4;
  if (c == 0xF4) return kLeadF4;
  return kNever;
}

constexpr S next_state(S state, Class c) {
  const bool cont = c == kCont80 || c == kCont90 || c == kContA0;
  switch (state) {
    case S::kAccept:
      switch (c) {
        case kAscii:
          return S::kAccept;
        case kLead2:
          return S::kTail1;
        case kLeadE0:
          return S::kTail2E0;
        case kLead3:
          return S::kTail2;
        case kLeadED:
          return S::kTail2ED;
        case kLeadF0:
          return S::kTail3F0;
        case kLead4:
          return S::kTail3;
        case kLeadF4:
          return S::kTail3F4;
        case kCont80:
        case kCont90:
        case kContA0:
        case kNever:
          return S::kReject;
      }
      return S::kReject;
    case S::kTail1:
      return cont ? S::kAccept : S::kReject;
    case S::kTail2:
      return cont ? S::kTail1 : S::kReject;
    case S::kTail2E0:
      return c == kContA0 ? S::kTail1 : S::kReject;
    case S::kTail2ED:
      return c == kCont80 || c == kCont90 ? S::kTail1 : S::kReject;
    case S::kTail3:
      return cont ? S::kTail2 : S::kReject;
    case S::kTail3F0:
      return c == kCont90 || c == kContA0 ? S::kTail2 : S::kReject;
    case S::kTail3F4:
      return c == kCont80 ? S::kTail2 : S::kReject;
    case S::kReject:
      return S::kReject;
  }
  return S::kReject;
}

constexpr std::array<uint8_t, 256> kClasses = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c)
    t[c] = class_of(c);
  return t;
}();

// Indexed by state * kClassCount + class.
constexpr std::array<uint8_t, Utf8Validator::kStateCount* kClassCount> kNext = [] {
  std::array<uint8_t, Utf8Validator::kStateCount * kClassCount> t{};
  for (size_t s = 0; s < Utf8Validator::kStateCount; ++s)
    for (size_t c = 0; c < kClassCount; ++c)
      t[s * kClassCount + c] = next_state(S(s), Class(c));
  return t;
}();
static_assert(kNext.size() == size_t(S::kReject + 1) * kClassCount, "one row per state");

constexpr uint64_t kHighBits = 0x8080808080808080ull;

}  // namespace

bool Utf8Validator::feed(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  uint8_t state = state_;
  while (p != end) {
    if (state == kAccept) {
      // Runs of ASCII, eight octets at a time, between sequences.
      while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & kHighBits) break;
        p += 8;
      }
      if (p == end) break;
    }
    state = kNext[state * kClassCount + kClasses[uint8_t(*p)]];
    ++p;
    if (state == kReject) break;
  }
  state_ = state;
  return state != kReject;
}

bool valid_utf8(std::string_view text) noexcept {
  Utf8Validator v;
  return v.feed(text) && v.complete();
}

size_t utf8_prefix(std::string_view text, size_t limit) noexcept {
  if (text.size() <= limit) return text.size();
  size_t n = limit;
  // Back over continuation octets to the start of the sequence that crosses the limit.
  while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80)
    --n;
  return n;
}

}  // namespace quillet::ws
