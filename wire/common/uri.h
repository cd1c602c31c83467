// The URI grammar shared by the HTTP/1 head parser and encoder, the HTTP/2 codec, uri_parts and
// the proxy matcher (RFC 3986 as applied to HTTP request targets and dialling).
//
// Accepted forms: absolute (scheme "://" authority [path-and-query]), authority alone
// ("host:port"), origin (a path starting with "/", with an optional "?query"), and asterisk
// ("*"). The scheme is at most 64 characters; the whole URI at most 65534 bytes; a port is
// decimal digits and must fit in 16 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet {

inline constexpr size_t kMaxUriLength = 65534;
inline constexpr size_t kMaxSchemeLength = 64;

// Why a URI did not parse.
enum class UriError : uint8_t {
  kInvalidUriChar,      // "invalid uri character"
  kInvalidScheme,       // "invalid scheme"
  kInvalidAuthority,    // "invalid authority"
  kInvalidPort,         // "invalid port"
  kInvalidFormat,       // "invalid format"
  kSchemeMissing,       // "scheme missing"
  kAuthorityMissing,    // "authority missing"
  kPathMissing,         // "path missing"
  kPathNotSlash,        // "path does not start with slash"
  kTooLong,             // "uri too long"
  kEmpty,               // "empty string"
  kSchemeTooLong,       // "scheme too long"
};

// The reason text of an error, as quoted above.
std::string_view uri_error_reason(UriError error);

enum class UriForm : uint8_t { kOrigin, kAbsolute, kAuthority, kAsterisk };

// A parsed URI: views into the parsed text.
struct Uri {
  UriForm form = UriForm::kOrigin;
  std::string_view scheme;          // empty when the URI has none
  std::string_view authority;       // as written, user information included; empty when none
  std::string_view userinfo;        // before the first "@" of the authority; empty when none
  bool has_userinfo = false;
  std::string_view host;            // as written (IPv6 brackets kept); empty when no authority
  std::optional<uint16_t> port;     // the explicit port, when the authority has one
  std::string_view path_and_query;  // path and "?query" as written; empty when none
};

// --- implementation to follow; the interface other code relies on: ---
// bool parse_uri(std::string_view text, Uri* out, UriError* error);

}  // namespace quillet
