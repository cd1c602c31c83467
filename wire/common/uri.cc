#include "wire/common/uri.h"

#include <array>

namespace quillet {
namespace {

// Byte classes of the URI grammar, one bit each in a 256-entry table.
enum : uint8_t {
  kPlain = 1 << 0,     // may stand anywhere in a URI as it is ('%' is checked on its own)
  kAlpha = 1 << 1,     // ALPHA
  kScheme = 1 << 2,    // ALPHA / DIGIT / "+" / "-" / "."
  kRegName = 1 << 3,   // unreserved / sub-delims / "%" (escapes were checked already)
  kUserinfo = 1 << 4,  // the reg-name bytes and ":"
  kHex = 1 << 5,       // HEXDIG
  kDigit = 1 << 6,     // DIGIT
};

constexpr bool is_one_of(unsigned c, std::string_view set) {
  return c < 0x80 && set.find(char(c)) != std::string_view::npos;
}

constexpr bool is_unreserved(unsigned c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         is_one_of(c, "-._~");
}

constexpr uint8_t classify(unsigned c) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  const bool digit = c >= '0' && c <= '9';
  const bool sub_delim = is_one_of(c, "!$&'()*+,;=");
  // The gen-delims except '#' (no fragments), and the bytes that clients leave unescaped in
  // paths and queries.
  const bool delim_or_tolerated = is_one_of(c, ":/?[]@") || is_one_of(c, "{}|\\^`");
  uint8_t bits = 0;
  if (is_unreserved(c) || sub_delim || delim_or_tolerated) bits |= kPlain;
  if (alpha) bits |= kAlpha;
  if (alpha || digit || is_one_of(c, "+-.")) bits |= kScheme;
  if (is_unreserved(c) || sub_delim || c == '%') bits |= kRegName | kUserinfo;
  if (c == ':') bits |= kUserinfo;
  if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) bits |= kHex;
  if (digit) bits |= kDigit;
  return bits;
}

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c)
    t[c] = classify(c);
  return t;
}

constexpr std::array<uint8_t, 256> kClasses = make_classes();

inline uint8_t byte_class(char c) {
  return kClasses[static_cast<unsigned char>(c)];
}

bool all_of_class(std::string_view text, uint8_t bit) {
  for (char c : text) {
    if (!(byte_class(c) & bit)) return false;
  }
  return true;
}

// Every byte is allowed somewhere in a URI and every '%' starts a full escape. This runs over
// every request target, so it checks four bytes per step while they are all plain.
bool bytes_allowed(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  for (;;) {
    while (n - i >= 4 && (kClasses[p[i]] & kClasses[p[i + 1]] & kClasses[p[i + 2]] &
                          kClasses[p[i + 3]] & kPlain)) {
      i += 4;
    }
    while (i < n && (kClasses[p[i]] & kPlain))
      ++i;
    if (i == n) return true;
    if (p[i] != '%' || n - i < 3 || !(kClasses[p[i + 1]] & kClasses[p[i + 2]] & kHex)) {
      return false;
    }
    i += 3;
  }
}

std::optional<UriError> check_scheme(std::string_view scheme) {
  if (scheme.empty()) return UriError::kSchemeMissing;
  if (scheme.size() > kMaxSchemeLength) return UriError::kSchemeTooLong;
  if (!(byte_class(scheme[0]) & kAlpha) || !all_of_class(scheme, kScheme)) {
    return UriError::kInvalidScheme;
  }
  return std::nullopt;
}

// What an empty port after ':' means.
enum class EmptyPort : uint8_t {
  kAbsent,   // absolute form: the scheme's default applies
  kInvalid,  // authority form: a CONNECT target must name its port
};

// Parses a non-empty authority into the authority fields of `uri`.
std::optional<UriError> parse_authority(std::string_view authority, EmptyPort empty_port,
                                        Uri* uri) {
  std::string_view rest = authority;
  const size_t at = authority.find('@');
  if (at != std::string_view::npos) {
    const std::string_view userinfo = authority.substr(0, at);
    if (!all_of_class(userinfo, kUserinfo)) return UriError::kInvalidAuthority;
    uri->userinfo = userinfo;
    uri->has_userinfo = true;
    rest = authority.substr(at + 1);
  }

  size_t host_end = 0;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || !is_ipv6_address(rest.substr(1, close - 1))) {
      return UriError::kInvalidAuthority;
    }
    host_end = close + 1;
    uri->host_kind = HostKind::kIPv6;
  } else {
    while (host_end < rest.size() && (byte_class(rest[host_end]) & kRegName))
      ++host_end;
    if (host_end == 0) return UriError::kInvalidAuthority;  // RFC 9110: no empty host
    uri->host_kind =
        is_ipv4_address(rest.substr(0, host_end)) ? HostKind::kIPv4 : HostKind::kRegName;
  }
  if (host_end < rest.size() && rest[host_end] != ':') return UriError::kInvalidAuthority;
  uri->host = rest.substr(0, host_end);
  if (host_end == rest.size()) return std::nullopt;

  const std::string_view digits = rest.substr(host_end + 1);
  if (digits.empty()) {
    if (empty_port == EmptyPort::kInvalid) return UriError::kInvalidPort;
    return std::nullopt;
  }
  uint32_t value = 0;
  for (char c : digits) {
    if (!(byte_class(c) & kDigit)) return UriError::kInvalidPort;
    value = value * 10 + uint32_t(c - '0');
    if (value > 0xFFFF) return UriError::kInvalidPort;  // never wraps, whatever the length
  }
  uri->port = uint16_t(value);
  return std::nullopt;
}

bool fail(UriError* error, UriError reason) {
  if (error != nullptr) *error = reason;
  return false;
}

constexpr std::string_view kReasons[] = {
    "invalid uri character", "invalid scheme", "invalid authority",
    "invalid port",          "invalid format", "scheme missing",
    "authority missing",     "path missing",   "path does not start with slash",
    "uri too long",          "empty string",   "scheme too long",
};
static_assert(std::size(kReasons) == size_t(UriError::kSchemeTooLong) + 1);

}  // namespace

std::string_view uri_error_reason(UriError error) {
  return kReasons[size_t(error)];
}

bool is_ipv4_address(std::string_view text) {
  const size_t n = text.size();
  size_t i = 0;
  for (int octets = 1;; ++octets) {
    const size_t start = i;
    unsigned value = 0;
    while (i < n && i - start < 3 && (byte_class(text[i]) & kDigit)) {
      value = value * 10 + unsigned(text[i] - '0');
      ++i;
    }
    const size_t len = i - start;
    if (len == 0 || value > 255 || (len > 1 && text[start] == '0')) return false;
    if (i == n) return octets == 4;
    if (text[i] != '.' || octets == 4) return false;
    ++i;
  }
}

bool is_ipv6_address(std::string_view text) {
  const size_t n = text.size();
  size_t i = 0;
  int groups = 0;  // 16-bit groups written out; an IPv4 tail counts as two
  bool compressed = false;
  if (n >= 2 && text[0] == ':' && text[1] == ':') {
    compressed = true;
    i = 2;
    if (i == n) return true;
  }
  for (;;) {
    size_t end = i;
    while (end < n && text[end] != ':')
      ++end;
    const std::string_view piece = text.substr(i, end - i);
    if (piece.find('.') != std::string_view::npos) {
      if (end != n || !is_ipv4_address(piece)) return false;  // only as the last piece
      groups += 2;
      break;
    }
    if (piece.empty() || piece.size() > 4 || !all_of_class(piece, kHex)) return false;
    ++groups;
    if (end == n) break;
    i = end + 1;
    if (i < n && text[i] == ':') {
      if (compressed) return false;  // "::" at most once
      compressed = true;
      if (++i == n) break;
    } else if (i == n) {
      return false;  // a single trailing ':'
    }
  }
  // "::" stands for at least one group of zeros.
  return compressed ? groups <= 7 : groups == 8;
}

bool is_host_field_value(std::string_view text) {
  if (text.empty() || text.size() > kMaxUriLength || !bytes_allowed(text)) return false;
  // A reg-name alone (no port, no brackets, no '@'), as most Host lines are: parse_authority
  // accepts every such text, so it need not run.
  if (all_of_class(text, kRegName)) return true;
  if (text.find('@') != std::string_view::npos) return false;
  Uri unused;
  return !parse_authority(text, EmptyPort::kAbsent, &unused);
}

bool is_origin_form(std::string_view text) {
  return !text.empty() && text.size() <= kMaxUriLength && text[0] == '/' && bytes_allowed(text);
}

bool parse_uri(std::string_view text, Uri* out, UriError* error) {
  if (text.empty()) return fail(error, UriError::kEmpty);
  if (text.size() > kMaxUriLength) return fail(error, UriError::kTooLong);
  if (!bytes_allowed(text)) return fail(error, UriError::kInvalidUriChar);

  Uri uri;
  if (text[0] == '/') {
    uri.form = UriForm::kOrigin;
    uri.path_and_query = text;
    *out = uri;
    return true;
  }
  if (text == "*") {
    uri.form = UriForm::kAsterisk;
    uri.path_and_query = text;
    *out = uri;
    return true;
  }
  if (text[0] == '?') return fail(error, UriError::kPathMissing);

  // `head` is everything before the path or query: "scheme://authority", or an authority.
  const size_t head_end = text.find_first_of("/?");
  const std::string_view head = text.substr(0, head_end);
  const size_t colon = head.find(':');

  if (colon != std::string_view::npos && text.substr(colon + 1, 2) == "//") {
    const std::string_view scheme = text.substr(0, colon);
    if (const auto bad = check_scheme(scheme)) return fail(error, *bad);
    const size_t begin = colon + 3;
    size_t end = text.find_first_of("/?", begin);
    if (end == std::string_view::npos) end = text.size();
    if (end == begin) return fail(error, UriError::kAuthorityMissing);
    uri.authority = text.substr(begin, end - begin);
    if (const auto bad = parse_authority(uri.authority, EmptyPort::kAbsent, &uri)) {
      return fail(error, *bad);
    }
    uri.form = UriForm::kAbsolute;
    uri.scheme = scheme;
    uri.path_and_query = text.substr(end);
    *out = uri;
    return true;
  }

  if (head_end == std::string_view::npos) {
    if (const auto bad = parse_authority(text, EmptyPort::kInvalid, &uri)) {
      return fail(error, *bad);
    }
    if (!uri.port) return fail(error, UriError::kInvalidFormat);
    uri.form = UriForm::kAuthority;
    uri.authority = text;
    *out = uri;
    return true;
  }

  // A path or query after something that is neither "scheme://authority" nor empty: name the
  // part that is missing as well as the text lets us tell.
  Uri probe;
  if (!parse_authority(head, EmptyPort::kInvalid, &probe) && probe.port) {
    return fail(error, UriError::kSchemeMissing);  // "host:port/path"
  }
  if (colon != std::string_view::npos) {
    if (const auto bad = check_scheme(head.substr(0, colon))) return fail(error, *bad);
    return fail(error, UriError::kAuthorityMissing);  // "scheme:path", no "//"
  }
  return fail(error, UriError::kPathNotSlash);  // a relative path
}

}  // namespace quillet
