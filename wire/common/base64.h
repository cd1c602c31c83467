// Base64 in the standard alphabet ("+" and "/"), padded with "=" (RFC 4648 section 4), as the
// Basic credentials of a Proxy-Authorization value need it.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Appends the Base64 text of `bytes`: 4 characters for every 3 bytes, the last group padded.
void append_base64(std::string& out, std::string_view bytes);

inline std::string base64(std::string_view bytes) {
  std::string out;
  append_base64(out, bytes);
  return out;
}

}  // namespace quillet
