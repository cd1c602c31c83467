// Received DATA checked against a declared content-length (RFC 9113 section 8.1.1).
#pragma once

#include <cstdint>

namespace quillet::h2 {

class ContentLength {
 public:
  // A response to a HEAD request carries no body, whatever length it declares.
  explicit ContentLength(bool is_head = false) : kind_(is_head ? Kind::kHead : Kind::kOmitted) {}

  bool is_head() const { return kind_ == Kind::kHead; }
  bool is_declared() const { return kind_ == Kind::kRemaining; }
  // Bytes still expected; 0 unless a length was declared.
  uint64_t remaining() const { return remaining_; }

  // The declared length; a HEAD response keeps expecting nothing.
  void set(uint64_t value) {
    if (kind_ == Kind::kHead) return;
    kind_ = Kind::kRemaining;
    remaining_ = value;
  }

  // Counts one DATA payload of `len` bytes. False when it goes past what may arrive (the stream
  // is then reset with PROTOCOL_ERROR); nothing changes then.
  [[nodiscard]] bool dec(uint64_t len) {
    switch (kind_) {
      case Kind::kOmitted:
        return true;
      case Kind::kHead:
        return len == 0;
      case Kind::kRemaining:
        if (len > remaining_) return false;
        remaining_ -= len;
        return true;
    }
    return false;
  }

  // False while declared bytes are still missing: END_STREAM now is a violation.
  bool is_satisfied() const { return kind_ != Kind::kRemaining || remaining_ == 0; }

 private:
  enum class Kind : uint8_t { kOmitted, kHead, kRemaining };
  Kind kind_;
  uint64_t remaining_ = 0;
};

}  // namespace quillet::h2
