// The URI grammar shared by the HTTP/1 head parser and encoder, the HTTP/2 codec, uri_parts and
// the proxy matcher (RFC 3986 as applied to HTTP request targets and dialling).
//
// Accepted forms: absolute (scheme "://" authority [path-and-query]), authority alone
// ("host:port"), origin (a path starting with "/", with an optional "?query"), and asterisk
// ("*"). The scheme is at most 64 characters; the whole URI at most 65534 bytes; a port is
// decimal digits and must fit in 16 bits.
//
// Boundary rules (see docs/architecture.md, "URI grammar", for the reasons):
// - Bytes are checked first, over the whole text: a control byte, SP, DEL, '"', '<', '>', '#'
//   or any byte from 0x80 up is "invalid uri character", and so is a '%' not followed by two
//   hex digits. A fragment is therefore refused: it never belongs in a request target, and a
//   client strips it before it asks for the parts of a URL. Percent-escapes are checked, never
//   decoded.
// - Paths and queries take the characters of RFC 3986 ('[' and ']' included) plus six that
//   browsers and other clients send unescaped: '{', '}', '|', '\', '^' and '`'.
// - The authority splits at its first '@' into user information and host. User information
//   takes unreserved, sub-delims, ':' and escapes. The host is a bracketed IPv6 address (no
//   zone, no "v" future form), or a registered name made of unreserved, sub-delims and
//   escapes (a dotted-decimal name is flagged as IPv4). An empty host is refused.
// - Port: decimal digits whose value fits in 16 bits (leading zeros allowed; 0 allowed). An
//   empty port after ':' means "no port" in the absolute form (RFC 9110 counts "http://h:/"
//   equal to "http://h/"), but is an invalid port in the authority form, which needs one.
// - The authority form needs a port: a bare "host" is "invalid format". A text starting with
//   "//" is an origin-form path, never a network-path reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet {

inline constexpr size_t kMaxUriLength = 65534;
inline constexpr size_t kMaxSchemeLength = 64;

// Why a URI did not parse.
enum class UriError : uint8_t {
  kInvalidUriChar,    // "invalid uri character": a byte no URI may hold, or a broken escape
  kInvalidScheme,     // "invalid scheme": not ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
  kInvalidAuthority,  // "invalid authority": bad user information, host or brackets
  kInvalidPort,       // "invalid port": not decimal digits, or above 65535
  kInvalidFormat,     // "invalid format": an authority form without a port ("host")
  kSchemeMissing,     // "scheme missing": "://host/...", or "host:port/..." with no scheme
  kAuthorityMissing,  // "authority missing": "scheme://" with nothing before the path, or
                      // "scheme:..." without "//" (such as "mailto:a/b")
  kPathMissing,       // "path missing": a query with no path before it ("?q")
  kPathNotSlash,      // "path does not start with slash": a relative path ("a/b", "a?q")
  kTooLong,           // "uri too long": more than kMaxUriLength bytes
  kEmpty,             // "empty string"
  kSchemeTooLong,     // "scheme too long": more than kMaxSchemeLength characters
};

// The reason text of an error, as quoted above.
std::string_view uri_error_reason(UriError error);

enum class UriForm : uint8_t { kOrigin, kAbsolute, kAuthority, kAsterisk };

enum class HostKind : uint8_t {
  kNone,     // no authority
  kRegName,  // a registered name (including dotted numbers that are not an IPv4 address)
  kIPv4,     // four dotted decimal octets, 0 to 255, no leading zeros
  kIPv6,     // a bracketed IPv6 address
};

// A parsed URI: views into the parsed text. Empty views mean "none".
struct Uri {
  UriForm form = UriForm::kOrigin;
  std::string_view scheme;
  // As written, user information included.
  std::string_view authority;
  // Before the first "@" of the authority; `has_userinfo` tells "u@h" from "@h" and "h".
  std::string_view userinfo;
  bool has_userinfo = false;
  // As written: letter case kept, escapes not decoded, IPv6 brackets kept.
  std::string_view host;
  HostKind host_kind = HostKind::kNone;
  // The explicit port, when the authority has one.
  std::optional<uint16_t> port;
  // The path and "?query" as written; "*" for the asterisk form.
  std::string_view path_and_query;
};

// Parses `text` into `*out` (written only on success). On failure returns false and, when
// `error` is not null, stores the reason there.
bool parse_uri(std::string_view text, Uri* out, UriError* error);

// Whether parse_uri(text) succeeds with the origin form, which nearly every request-target has:
// the same checks without filling a Uri.
bool is_origin_form(std::string_view text);

// A Host field value (RFC 9110 section 7.2): uri-host [":" port], with the host rules above
// (no user information, no empty host; an empty port is allowed, as RFC 3986 allows it).
bool is_host_field_value(std::string_view text);

// RFC 3986 IPv6address (without brackets or zone) and IPv4address (dotted decimal, no leading
// zeros).
bool is_ipv6_address(std::string_view text);
bool is_ipv4_address(std::string_view text);

}  // namespace quillet
