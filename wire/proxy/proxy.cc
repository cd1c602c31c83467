#include "wire/proxy/proxy.h"

#include "wire/common/base64.h"
#include "wire/common/text.h"
#include "wire/common/uri.h"

namespace quillet::proxy {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_socks(std::string_view scheme) {
  return scheme == "socks4" || scheme == "socks4a" || scheme == "socks5" || scheme == "socks5h";
}

// Appends the longest well-formed UTF-8 prefix of `bytes[i...]` that makes one character, or
// U+FFFD for the maximal ill-formed subpart there; returns the index after what it consumed.
size_t append_utf8_or_replacement(std::string& out, std::string_view bytes, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  if (lead < 0x80) {
    out += char(lead);
    return i + 1;
  }
  size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  }
  size_t k = i + 1;
  for (size_t taken = 0; need != 0 && taken < need; ++taken, ++k) {
    const unsigned char lo = taken == 0 ? low : 0x80, hi = taken == 0 ? high : 0xBF;
    if (k >= bytes.size() || at(k) < lo || at(k) > hi) {
      out += "\xEF\xBF\xBD";
      return k;
    }
  }
  if (need == 0) {
    out += "\xEF\xBF\xBD";
    return i + 1;
  }
  out.append(bytes.substr(i, k - i));
  return k;
}

std::optional<IpAddress> parse_ipv4(std::string_view text) {
  if (!is_ipv4_address(text)) return std::nullopt;
  IpAddress address;
  size_t octet = 0;
  unsigned value = 0;
  for (const char c : text) {
    if (c == '.') {
      address.bytes[octet++] = uint8_t(value);
      value = 0;
    } else {
      value = value * 10 + unsigned(c - '0');
    }
  }
  address.bytes[octet] = uint8_t(value);
  return address;
}

// Reads the ":"-separated groups of an already validated IPv6 half into `groups`; an IPv4 tail
// counts as two groups. Returns the number of groups written.
size_t read_groups(std::string_view half, uint16_t* groups) {
  size_t count = 0;
  while (!half.empty()) {
    const size_t colon = half.find(':');
    const std::string_view piece = half.substr(0, colon);
    if (piece.find('.') != std::string_view::npos) {
      const std::optional<IpAddress> v4 = parse_ipv4(piece);
      groups[count++] = uint16_t(v4->bytes[0] << 8 | v4->bytes[1]);
      groups[count++] = uint16_t(v4->bytes[2] << 8 | v4->bytes[3]);
    } else {
      unsigned value = 0;
      for (const char c : piece)
        value = value * 16 + unsigned(hex_value(c));
      groups[count++] = uint16_t(value);
    }
    if (colon == std::string_view::npos) break;
    half.remove_prefix(colon + 1);
  }
  return count;
}

std::optional<IpAddress> parse_ipv6(std::string_view text) {
  if (!is_ipv6_address(text)) return std::nullopt;
  uint16_t groups[8] = {};
  const size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    read_groups(text, groups);
  } else {
    uint16_t tail[8] = {};
    read_groups(text.substr(0, gap), groups);
    const size_t tail_count = read_groups(text.substr(gap + 2), tail);
    for (size_t k = 0; k < tail_count; ++k)
      groups[8 - tail_count + k] = tail[k];
  }
  IpAddress address;
  address.v6 = true;
  for (size_t k = 0; k < 8; ++k) {
    address.bytes[2 * k] = uint8_t(groups[k] >> 8);
    address.bytes[2 * k + 1] = uint8_t(groups[k] & 0xFF);
  }
  return address;
}

std::string_view trim(std::string_view text) {
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && space(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && space(text.back()))
    text.remove_suffix(1);
  return text;
}

bool ends_with_ignore_case(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         equals_ignore_case(text.substr(text.size() - suffix.size()), suffix);
}

std::optional<Proxy> parse_as_written(std::string_view text) {
  Uri uri;
  if (!parse_uri(text, &uri, nullptr)) return std::nullopt;
  // "*" is the wildcard of a no-proxy list ("every host"), never the name of a proxy.
  if (uri.form != UriForm::kAbsolute || uri.host.empty() || uri.host == "*") return std::nullopt;
  // Schemes are case-insensitive (RFC 3986): "HTTP://p:3128" is an HTTP proxy, written in the
  // proxy URI in lower case.
  std::string scheme(uri.scheme);
  for (char& c : scheme)
    c = ascii_lower(c);
  const bool http_like = scheme == "http" || scheme == "https";
  if (!http_like && !is_socks(scheme)) return std::nullopt;

  Proxy proxy;
  proxy.uri.reserve(scheme.size() + uri.host.size() + 10);
  proxy.uri += scheme;
  proxy.uri += "://";
  proxy.uri += uri.host;
  if (uri.port) {
    proxy.uri += ':';
    append_decimal(proxy.uri, *uri.port);
  }
  proxy.uri += '/';

  if (uri.has_userinfo) {
    const size_t colon = uri.userinfo.find(':');
    std::string user = decode_userinfo_part(uri.userinfo.substr(0, colon));
    std::string password = colon == std::string_view::npos
                               ? std::string()
                               : decode_userinfo_part(uri.userinfo.substr(colon + 1));
    if (http_like) {
      proxy.auth = AuthKind::kBasic;
      user += ':';
      user += password;
      proxy.basic = "Basic ";
      append_base64(proxy.basic, user);
    } else {
      proxy.auth = AuthKind::kRaw;
      proxy.user = std::move(user);
      proxy.password = std::move(password);
    }
  }
  return proxy;
}

}  // namespace

std::string decode_userinfo_part(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      bytes += char(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();)
    i = append_utf8_or_replacement(out, bytes, i);
  return out;
}

std::optional<Proxy> parse_proxy_url(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.find("://") != std::string_view::npos) return parse_as_written(text);
  // No scheme: an HTTP proxy. The URI grammar would read "host:port" as an authority form and
  // "user:pw@host:port" as a scheme "user", so the text is read behind "http://" instead.
  // A scheme followed by a path ("http:/h") is no authority, not a host named "http".
  const size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon + 1 < text.size() && text[colon + 1] == '/') {
    return std::nullopt;
  }
  if (text.size() > kMaxUriLength) return std::nullopt;
  std::string with_scheme = "http://";
  with_scheme += text;
  return parse_as_written(with_scheme);
}

bool IpNetwork::contains(const IpAddress& address) const {
  if (address.v6 != base.v6) return false;
  const size_t whole = prefix / 8;
  for (size_t k = 0; k < whole; ++k) {
    if (address.bytes[k] != base.bytes[k]) return false;
  }
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const uint8_t mask = uint8_t(0xFF << (8 - rest));
  return (address.bytes[whole] & mask) == base.bytes[whole];
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return parse_ipv6(text);
  return parse_ipv4(text);
}

std::optional<IpNetwork> parse_ip_network(std::string_view text) {
  const size_t slash = text.find('/');
  std::optional<IpAddress> address = parse_ip_address(text.substr(0, slash));
  if (!address) return std::nullopt;
  const unsigned max = address->v6 ? 128 : 32;
  unsigned prefix = max;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    prefix = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      prefix = prefix * 10 + unsigned(c - '0');
    }
    if (prefix > max) return std::nullopt;
  }
  IpNetwork network;
  network.base = *address;
  network.prefix = uint8_t(prefix);
  // Clear the host bits, so that "10.1.2.3/8" is the network 10.0.0.0/8.
  for (unsigned bit = prefix; bit < max; ++bit)
    network.base.bytes[bit / 8] &= uint8_t(~(0x80u >> (bit % 8)));
  return network;
}

bool domain_pattern_matches(std::string_view pattern, std::string_view host) {
  if (pattern == "*") return true;
  if (equals_ignore_case(host, pattern)) return true;
  if (!pattern.empty() && pattern.front() == '.') {
    if (equals_ignore_case(host, pattern.substr(1))) return true;
    if (ends_with_ignore_case(host, pattern)) return true;
  }
  return ends_with_ignore_case(host, pattern) && host.size() > pattern.size() &&
         host[host.size() - pattern.size() - 1] == '.';
}

NoProxyList NoProxyList::parse(std::string_view text) {
  NoProxyList list;
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view piece = trim(text.substr(0, comma));
    if (!piece.empty()) {
      if (std::optional<IpNetwork> network = parse_ip_network(piece)) {
        list.ips_.push_back(*network);
      } else {
        if (piece == "*") list.all_ = true;
        list.domains_.emplace_back(piece);
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

bool NoProxyList::covers(std::string_view host) const {
  // "*" first: it means every host, and an IP literal would otherwise only see the IP list.
  if (all_) return true;
  while (!host.empty() && host.front() == '[')
    host.remove_prefix(1);
  while (!host.empty() && host.back() == ']')
    host.remove_suffix(1);
  if (const std::optional<IpAddress> address = parse_ip_address(host)) {
    for (const IpNetwork& network : ips_) {
      if (network.contains(*address)) return true;
    }
    return false;
  }
  for (const std::string& pattern : domains_) {
    if (domain_pattern_matches(pattern, host)) return true;
  }
  return false;
}

ProxyMatcher ProxyMatcher::build(const ProxySettings& settings) {
  const auto parse = [](const std::optional<std::string_view>& text) -> std::optional<Proxy> {
    if (!text || text->empty()) return std::nullopt;
    return parse_proxy_url(*text);
  };
  ProxyMatcher matcher;
  const std::optional<Proxy> all = parse(settings.all);
  matcher.http_ = parse(settings.http);
  if (!matcher.http_) matcher.http_ = all;
  matcher.https_ = parse(settings.https);
  if (!matcher.https_) matcher.https_ = all;
  if (settings.no) matcher.no_proxy_ = NoProxyList::parse(*settings.no);
  return matcher;
}

Route ProxyMatcher::route(std::string_view url) const {
  Uri uri;
  if (!parse_uri(url, &uri, nullptr) || uri.host.empty()) return Route::kDirect;
  Route route;
  if (equals_ignore_case(uri.scheme, "http")) {
    route = Route::kHttp;
    if (!http_) return Route::kDirect;
  } else if (equals_ignore_case(uri.scheme, "https")) {
    route = Route::kHttps;
    if (!https_) return Route::kDirect;
  } else {
    return Route::kDirect;
  }
  return no_proxy_.covers(uri.host) ? Route::kDirect : route;
}

}  // namespace quillet::proxy
