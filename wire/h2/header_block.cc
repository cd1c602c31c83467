#include "wire/h2/header_block.h"

#include "wire/common/chars.h"

#include <string>

namespace quillet::h2 {
namespace {

bool is_method(std::string_view method) {
  if (method.empty()) return false;
  for (const char c : method)
    if (!chars::token(c)) return false;
  return true;
}

// A scheme as the URI grammar allows it (at most 64 scheme characters); http and https as such.
std::optional<UriError> check_scheme(std::string_view scheme) {
  if (scheme == "http" || scheme == "https") return std::nullopt;
  if (scheme.find(':') != std::string_view::npos) return UriError::kInvalidScheme;
  Uri uri;
  UriError error = UriError::kInvalidScheme;
  if (!parse_uri(std::string(scheme) + "://h", &uri, &error)) return error;
  return std::nullopt;
}

// A URI authority: optional user information, a host (IPv6 in brackets), an optional port.
std::optional<UriError> check_authority(std::string_view authority) {
  Uri uri;
  UriError error = UriError::kInvalidAuthority;
  if (!parse_uri("http://" + std::string(authority), &uri, &error)) return error;
  if (uri.authority.size() != authority.size()) return UriError::kInvalidAuthority;
  return std::nullopt;
}

}  // namespace

std::optional<RequestBlockError> build_request_pseudo(
    std::string_view method, std::string_view target, std::optional<std::string_view> scheme,
    std::optional<std::string_view> authority, hpack::PseudoHeaders* out, UriError* uri_error) {
  using hpack::PseudoHeader;
  if (!is_method(method)) return RequestBlockError::kMethod;
  Uri uri;
  if (!parse_uri(target, &uri, uri_error)) return RequestBlockError::kUri;
  const bool connect = method == "CONNECT";
  std::string_view use_scheme;
  std::string_view use_authority;
  if (!uri.scheme.empty() && !uri.authority.empty()) {
    use_scheme = uri.scheme;
    use_authority = uri.authority;
  } else {
    // An authority-form target names the authority itself (the CONNECT case); the
    // connection's would name the proxy or the origin instead of the tunnel's end.
    const bool own_authority = uri.form == UriForm::kAuthority;
    if ((!scheme && !connect) || (!authority && !own_authority) ||
        (!own_authority && (!scheme || !authority)))
      return RequestBlockError::kBarePath;
    if (scheme) {
      if (const auto error = check_scheme(*scheme)) {
        *uri_error = *error;
        return RequestBlockError::kUri;
      }
      use_scheme = *scheme;
    }
    if (own_authority) {
      use_authority = uri.authority;
    } else {
      if (const auto error = check_authority(*authority)) {
        *uri_error = *error;
        return RequestBlockError::kUri;
      }
      use_authority = *authority;
    }
  }
  hpack::PseudoHeaders pseudo;
  pseudo[PseudoHeader::kMethod] = std::string(method);
  if (connect) {
    pseudo[PseudoHeader::kAuthority] = std::string(use_authority);
  } else {
    pseudo[PseudoHeader::kScheme] = std::string(use_scheme);
    std::string_view path =
        uri.form == UriForm::kAuthority ? std::string_view() : uri.path_and_query;
    if (path.empty()) path = method == "OPTIONS" ? "*" : "/";
    pseudo[PseudoHeader::kPath] = std::string(path);
    if (!use_authority.empty()) pseudo[PseudoHeader::kAuthority] = std::string(use_authority);
  }
  *out = std::move(pseudo);
  return std::nullopt;
}

bool build_response_pseudo(uint32_t status, hpack::PseudoHeaders* out) {
  if (status < 100 || status > 999) return false;
  *out = {};
  (*out)[hpack::PseudoHeader::kStatus] = std::to_string(status);
  return true;
}

bool send_headers_allowed(const HeaderMap& fields) noexcept {
  static constexpr std::string_view kForbidden[] = {"connection", "transfer-encoding", "upgrade",
                                                    "keep-alive", "proxy-connection"};
  for (const std::string_view name : kForbidden)
    if (fields.contains(name)) return false;
  bool allowed = true;
  fields.for_each_value("te",
                        [&](std::string_view value) { allowed = allowed && value == "trailers"; });
  return allowed;
}

}  // namespace quillet::h2
