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

// One or more ASCII digits with nothing else, fitting in 64 bits.
std::optional<uint64_t> parse_decimal(std::string_view text);

}  // namespace quillet::h1
