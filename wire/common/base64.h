// Base64 in the standard alphabet ("+" and "/"), padded with "=" (RFC 4648 section 4), as the
// Basic credentials of a Proxy-Authorization value and the WebSocket handshake's key need it.
#pragma once

#include <optional>
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

// The bytes `text` encodes, in the canonical form only: whole groups of four characters, "="
// only as the padding of the last group, and the bits the padding leaves over all zero
// (RFC 4648 section 3.5). Anything else, whitespace included, is refused.
std::optional<std::string> decode_base64(std::string_view text);

}  // namespace quillet
