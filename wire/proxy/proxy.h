// Proxy selection: which proxy, if any, a client request to a given URL goes through.
//
// A ProxyMatcher is built once from the proxy settings (the environment's or explicit strings)
// and then only read, so it needs no lock. Nothing here fails loudly: a proxy string that does
// not parse is no proxy, a URL that does not parse goes direct.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::proxy {

enum class AuthKind : uint8_t {
  kNone,   // the proxy URL carried no user information
  kBasic,  // an HTTP or HTTPS proxy: `basic` is the Proxy-Authorization value
  kRaw,    // a SOCKS proxy: `user` and `password` for its own handshake
};

// One parsed proxy URL.
struct Proxy {
  // scheme "://" host [":" port] "/": user information, path and query dropped.
  std::string uri;
  AuthKind auth = AuthKind::kNone;
  std::string basic;     // "Basic " and the Base64 of user ":" password (kBasic only)
  std::string user;      // decoded, invalid UTF-8 replaced by U+FFFD (kRaw only)
  std::string password;  // "" when none was given (kRaw only)

  bool operator==(const Proxy&) const = default;
};

// Parses a proxy URL. Schemes http, https, socks4, socks4a, socks5 and socks5h (exact lower
// case); a text without "://" is read as if "http://" stood before it, so "host:port",
// "user:pw@host:port" and a bare "host" all name an HTTP proxy. Gives nothing for an empty or
// unusable text.
std::optional<Proxy> parse_proxy_url(std::string_view text);

// Percent-decodes `text` (escapes are assumed already checked) and replaces every byte sequence
// that is not well-formed UTF-8 by U+FFFD, one replacement per maximal ill-formed subpart.
std::string decode_userinfo_part(std::string_view text);

// An IPv4 address (`v6` false, the first 4 bytes used) or an IPv6 address.
struct IpAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
};

// An address and a prefix length (32 or 128 for a single address). Bits past the prefix are
// cleared when the network is parsed.
struct IpNetwork {
  IpAddress base;
  uint8_t prefix = 0;

  // True for an address of the same family whose first `prefix` bits equal the base's. The
  // families never mix: an IPv4-mapped IPv6 address is not inside an IPv4 network.
  bool contains(const IpAddress& address) const;
};

// Dotted-decimal IPv4 (no leading zeros) or RFC 4291 IPv6 text without brackets or zone.
std::optional<IpAddress> parse_ip_address(std::string_view text);
// An address, or an address "/" a decimal prefix length of at most 32 (IPv4) or 128 (IPv6).
std::optional<IpNetwork> parse_ip_network(std::string_view text);

// Whether the no-proxy domain pattern `pattern` covers `host` (ASCII letter case ignored).
bool domain_pattern_matches(std::string_view pattern, std::string_view host);

// The hosts that bypass the proxies.
class NoProxyList {
 public:
  NoProxyList() = default;
  // Splits at every ",", trims white space around each piece; IP addresses and networks go to
  // the IP list, every other non-empty piece to the domain list as written.
  static NoProxyList parse(std::string_view text);

  // `host` as a URI holds it (IPv6 in brackets). "*" covers every host, IP literals included;
  // an IP literal is otherwise compared with the IP list only, a name with the domain list only.
  bool covers(std::string_view host) const;

  bool empty() const { return !all_ && ips_.empty() && domains_.empty(); }
  const std::vector<IpNetwork>& ips() const { return ips_; }
  const std::vector<std::string>& domains() const { return domains_; }

 private:
  bool all_ = false;  // a "*" piece
  std::vector<IpNetwork> ips_;
  std::vector<std::string> domains_;
};

// Which of the matcher's proxies a destination takes.
enum class Route : uint8_t { kDirect, kHttp, kHttps };

// Settings as strings; an empty or absent string is unset.
struct ProxySettings {
  std::optional<std::string_view> all = std::nullopt;
  std::optional<std::string_view> http = std::nullopt;
  std::optional<std::string_view> https = std::nullopt;
  std::optional<std::string_view> no = std::nullopt;
};

class ProxyMatcher {
 public:
  ProxyMatcher() = default;
  // The http proxy is the parsed http string, else the parsed all string; the same for https.
  static ProxyMatcher build(const ProxySettings& settings);

  // The route of a request to `url`: direct when the URL does not parse, has no host, is in the
  // no-proxy list, has a scheme other than http and https (letter case ignored), or its
  // scheme's proxy is unset.
  Route route(std::string_view url) const;

  const std::optional<Proxy>& http() const { return http_; }
  const std::optional<Proxy>& https() const { return https_; }
  const NoProxyList& no_proxy() const { return no_proxy_; }

 private:
  std::optional<Proxy> http_;
  std::optional<Proxy> https_;
  NoProxyList no_proxy_;
};

}  // namespace quillet::proxy
