// Proxy settings and destinations: a matcher built from any strings routes any URL without
// failing; parsed proxies are normalised (parsing their URI again gives the same URI), decoded
// credentials are well-formed UTF-8, and networks contain their own base address.
#include "wire/proxy/proxy.h"
#include "fuzz/fuzz_check.h"
#include "wire/common/uri.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <string>

using namespace quillet;
using namespace quillet::proxy;

namespace {

bool valid_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = s[i];
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const unsigned char d = s[i + k];
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

void check_proxy(const std::optional<Proxy>& p) {
  if (!p) return;
  FUZZ_CHECK(p->uri.size() > 4 && p->uri.back() == '/');
  FUZZ_CHECK(p->uri.find("://") != std::string::npos);
  auto again = parse_proxy_url(p->uri);
  FUZZ_CHECK(again.has_value() && again->uri == p->uri && again->auth == AuthKind::kNone);
  switch (p->auth) {
    case AuthKind::kNone:
      FUZZ_CHECK(p->basic.empty() && p->user.empty() && p->password.empty());
      break;
    case AuthKind::kBasic:
      FUZZ_CHECK(p->basic.rfind("Basic ", 0) == 0);
      break;
    case AuthKind::kRaw:
      FUZZ_CHECK(valid_utf8(p->user) && valid_utf8(p->password));
  }
}

// decode_userinfo_part expects its escapes checked, as the URI grammar does first.
bool escapes_checked(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == '%' && (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
                        !std::isxdigit(static_cast<unsigned char>(s[i + 2]))))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string all = in.ConsumeRandomLengthString(120);
  const std::string http = in.ConsumeRandomLengthString(120);
  const std::string no = in.ConsumeRandomLengthString(200);
  const std::string url = in.ConsumeRandomLengthString(200);
  const std::string rest = in.ConsumeRemainingBytesAsString();

  ProxySettings settings;
  if (!all.empty()) settings.all = all;
  if (!http.empty()) settings.http = http;
  if (!no.empty()) settings.no = no;
  const ProxyMatcher matcher = ProxyMatcher::build(settings);
  check_proxy(matcher.http());
  check_proxy(matcher.https());

  const Route route = matcher.route(url);
  Uri uri;
  if (!parse_uri(url, &uri, nullptr) || uri.host.empty()) FUZZ_CHECK(route == Route::kDirect);
  if (route == Route::kHttp) FUZZ_CHECK(matcher.http().has_value());
  if (route == Route::kHttps) FUZZ_CHECK(matcher.https().has_value());

  for (const IpNetwork& net : matcher.no_proxy().ips()) {
    FUZZ_CHECK(net.prefix <= (net.base.v6 ? 128 : 32));
    FUZZ_CHECK(net.contains(net.base));
  }
  if (auto net = parse_ip_network(rest)) FUZZ_CHECK(net->contains(net->base));
  if (escapes_checked(rest)) FUZZ_CHECK(valid_utf8(decode_userinfo_part(rest)));
  domain_pattern_matches(no, url);
  return 0;
}
