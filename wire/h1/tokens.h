// Header-value tokens: the comma-separated pieces of a value, trimmed of SP and HTAB and compared
// ignoring ASCII case. A value with any byte outside HTAB and 0x20 to 0x7E has no tokens.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::h1 {

// Removes leading and trailing SP and HTAB.
std::string_view trim_whitespace(std::string_view text);

// Whether `value` has a token equal to `token` (lower-case ASCII) ignoring case.
bool has_token(std::string_view value, std::string_view token);

// Whether the last token of `value` equals `token` (lower-case ASCII) ignoring case.
bool last_token_is(std::string_view value, std::string_view token);

// The transfer codings of a request, its Transfer-Encoding lines read as one list (RFC 9110
// section 5.3). Empty elements are skipped, except the last: "chunked," does not end in chunked.
class CodingList {
 public:
  enum class Verdict : uint8_t {
    kChunked,      // chunked, once and last, and nothing else
    kInvalid,      // chunked missing, not last or repeated, or a value with no tokens: 400
    kUnsupported,  // chunked once and last after a coding we do not implement: 501
  };
  void add_line(std::string_view value);
  Verdict verdict() const;

 private:
  uint32_t chunked_ = 0;
  bool other_ = false;
  bool opaque_ = false;
  bool last_chunked_ = false;
};

// One or more ASCII digits with nothing else, fitting in 64 bits.
std::optional<uint64_t> parse_decimal(std::string_view text);

}  // namespace quillet::h1
