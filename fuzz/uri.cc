// The URI grammar: a parsed URI's parts are views into the text that put it back together
// exactly, parse again to the same parts, and agree with the address recognisers; the
// recognisers agree with the proxy matcher's address parser.
#include "wire/common/uri.h"
#include "fuzz/fuzz_check.h"
#include "wire/proxy/proxy.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace quillet;

namespace {

bool inside(std::string_view part, std::string_view text) {
  return part.empty() ||
         (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The two address parsers of the code base agree.
  const auto ip = proxy::parse_ip_address(text);
  FUZZ_CHECK(is_ipv4_address(text) == (ip.has_value() && !ip->v6));
  FUZZ_CHECK(is_ipv6_address(text) == (ip.has_value() && ip->v6));

  Uri uri;
  UriError error = UriError::kEmpty;
  if (!parse_uri(text, &uri, &error)) {
    FUZZ_CHECK(!uri_error_reason(error).empty());
    return 0;
  }
  FUZZ_CHECK(!text.empty() && text.size() <= kMaxUriLength);
  for (std::string_view part :
       {uri.scheme, uri.authority, uri.userinfo, uri.host, uri.path_and_query})
    FUZZ_CHECK(inside(part, text));

  std::string rebuilt;
  switch (uri.form) {
    case UriForm::kOrigin:
      FUZZ_CHECK(uri.host_kind == HostKind::kNone && uri.scheme.empty());
      FUZZ_CHECK(uri.path_and_query.size() && uri.path_and_query[0] == '/');
      rebuilt = std::string(uri.path_and_query);
      break;
    case UriForm::kAsterisk:
      FUZZ_CHECK(text == "*");
      rebuilt = "*";
      break;
    case UriForm::kAuthority:
      FUZZ_CHECK(uri.port.has_value());
      rebuilt = std::string(uri.authority);
      break;
    case UriForm::kAbsolute:
      FUZZ_CHECK(!uri.scheme.empty() && uri.scheme.size() <= kMaxSchemeLength);
      rebuilt = std::string(uri.scheme) + "://" + std::string(uri.authority) +
                std::string(uri.path_and_query);
      break;
  }
  FUZZ_CHECK(rebuilt == text);

  if (uri.form == UriForm::kAbsolute || uri.form == UriForm::kAuthority) {
    FUZZ_CHECK(!uri.host.empty());
    // The authority is userinfo "@" host [":" port], in that order.
    std::string_view rest = uri.authority;
    if (uri.has_userinfo) {
      FUZZ_CHECK(rest.substr(0, uri.userinfo.size()) == uri.userinfo);
      FUZZ_CHECK(rest.size() > uri.userinfo.size() && rest[uri.userinfo.size()] == '@');
      rest.remove_prefix(uri.userinfo.size() + 1);
    }
    FUZZ_CHECK(rest.substr(0, uri.host.size()) == uri.host);
    rest.remove_prefix(uri.host.size());
    FUZZ_CHECK(rest.empty() || rest[0] == ':');
    if (uri.port) FUZZ_CHECK(rest.size() > 1);
  }
  switch (uri.host_kind) {
    case HostKind::kIPv4:
      FUZZ_CHECK(is_ipv4_address(uri.host));
      break;
    case HostKind::kIPv6:
      FUZZ_CHECK(uri.host.size() > 2 && uri.host.front() == '[' && uri.host.back() == ']');
      FUZZ_CHECK(is_ipv6_address(uri.host.substr(1, uri.host.size() - 2)));
      break;
    case HostKind::kRegName:
      FUZZ_CHECK(!is_ipv4_address(uri.host));
      break;
    case HostKind::kNone:
      FUZZ_CHECK(uri.form == UriForm::kOrigin || uri.form == UriForm::kAsterisk);
  }

  Uri again;
  FUZZ_CHECK(parse_uri(rebuilt, &again, nullptr));
  // Compare by offsets: the second parse views a different string.
  FUZZ_CHECK(again.form == uri.form && again.host_kind == uri.host_kind && again.port == uri.port);
  FUZZ_CHECK(again.host == uri.host && again.path_and_query == uri.path_and_query);
  return 0;
}
