// Small text helpers shared by error messages and reprs.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Appends `text` to `out` enclosed in double quotes. Inside the quotes a double quote or a
// backslash gets a backslash before it; tab, CR and LF become \t, \r and \n; every other byte
// below 0x20, DEL and every byte that does not start or continue a well-formed UTF-8 sequence is
// written as \xNN. Well-formed non-ASCII UTF-8 is kept as it is, so the result is valid UTF-8
// whatever `text` holds.
void append_quoted(std::string& out, std::string_view text);

inline std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

// Whether `text` is well-formed UTF-8 (RFC 3629).
bool is_valid_utf8(std::string_view text);

// Appends the decimal digits of `value`.
void append_decimal(std::string& out, unsigned long long value);

// Lower-cases ASCII letters; other bytes are left alone.
constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}

// Compares two byte strings ignoring ASCII letter case.
bool equals_ignore_case(std::string_view a, std::string_view b);

}  // namespace quillet
