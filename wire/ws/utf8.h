// Incremental UTF-8 validation (RFC 3629) for text messages that arrive in fragments and in
// pieces of fragments.
//
// The validator fails at the first octet after which no continuation could make the text valid:
// an octet that never appears in UTF-8 (C0, C1, F5-FF), a continuation octet where none is
// expected, a lead octet where a continuation is expected, and the second octet of an overlong
// form (E0 80-9F, F0 80-8F), of a surrogate (ED A0-BF) or of a code point above 10FFFF (F4 90-BF).
// A sequence cut short is not a failure until the text ends (`complete`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet::ws {

class Utf8Validator {
 public:
  // Feeds more octets of the text. False once the text can no longer be valid (and from then on).
  [[nodiscard]] bool feed(std::string_view bytes) noexcept;
  // Whether the octets fed so far are valid UTF-8 as a whole: no failure, no sequence cut short.
  bool complete() const noexcept { return state_ == kAccept; }
  bool failed() const noexcept { return state_ == kReject; }
  void reset() noexcept { state_ = kAccept; }

  // The states: between sequences, inside one (with the range its next octet must fall in), and
  // failed for good.
  enum State : uint8_t {
    kAccept,
    kTail1,    // one continuation octet to go, 80-BF
    kTail2,    // two to go, next 80-BF
    kTail2E0,  // two to go after E0, next A0-BF (no overlong)
    kTail2ED,  // two to go after ED, next 80-9F (no surrogate)
    kTail3,    // three to go, next 80-BF
    kTail3F0,  // three to go after F0, next 90-BF (no overlong)
    kTail3F4,  // three to go after F4, next 80-8F (nothing above 10FFFF)
    kReject,
  };
  static constexpr size_t kStateCount = size_t(kReject) + 1;

 private:
  uint8_t state_ = kAccept;
};

// Whether `text` is valid UTF-8, with the validator's rules.
bool valid_utf8(std::string_view text) noexcept;

// The length of the longest prefix of `text`, at most `limit` octets, that does not cut a
// multi-octet sequence of valid UTF-8 `text` in two.
size_t utf8_prefix(std::string_view text, size_t limit) noexcept;

}  // namespace quillet::ws
