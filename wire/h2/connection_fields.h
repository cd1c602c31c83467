// The fields that only mean something to one HTTP/1 connection and that HTTP/2 therefore
// refuses in both directions (RFC 9113 section 8.2.2): a received list holding one is
// malformed, and a head this side sends may not carry one. te is the exception that may pass,
// with the value "trailers" alone.
#pragma once

#include <array>
#include <string_view>

namespace quillet::h2 {

inline constexpr std::array<std::string_view, 5> kConnectionSpecificNames{
    "connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade"};

// The one value te may have.
inline constexpr std::string_view kTeTrailers = "trailers";

// Whether a field (its name in lower case) is one HTTP/2 refuses.
constexpr bool is_connection_specific(std::string_view lower_name,
                                      std::string_view value) noexcept {
  if (lower_name == "te") return value != kTeTrailers;
  for (const std::string_view name : kConnectionSpecificNames)
    if (lower_name == name) return true;
  return false;
}

}  // namespace quillet::h2
