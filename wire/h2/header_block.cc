#include "wire/h2/header_block.h"

#include "wire/common/chars.h"
#include "wire/common/http_date.h"
#include "wire/common/text.h"
#include "wire/h2/connection_fields.h"

#include <string>

namespace quillet::h2 {
namespace {

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text)
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
    std::optional<std::string_view> authority, std::optional<std::string_view> protocol,
    hpack::PseudoHeaders* out, UriError* uri_error) {
  using hpack::PseudoHeader;
  if (!is_token(method)) return RequestBlockError::kMethod;
  if (protocol) {
    if (method != "CONNECT") return RequestBlockError::kProtocolWithoutConnect;
    // The values come from the HTTP Upgrade Token registry: tokens (RFC 8441 section 4).
    if (!is_token(*protocol)) return RequestBlockError::kProtocol;
  }
  Uri uri;
  if (!parse_uri(target, &uri, uri_error)) return RequestBlockError::kUri;
  // An extended CONNECT names its resource as any request does; only a tunnel names its end.
  const bool connect = method == "CONNECT" && !protocol;
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
    if (protocol) pseudo[PseudoHeader::kProtocol] = std::string(*protocol);
  }
  *out = std::move(pseudo);
  return std::nullopt;
}

std::optional<ResponseBlockError> build_response_head(uint32_t status, bool date, HeaderMap* fields,
                                                      hpack::PseudoHeaders* out) {
  if (status < 100 || status > 999) return ResponseBlockError::kStatus;
  if (date && !fields->contains("date") && !fields->append("date", cached_http_date()))
    return ResponseBlockError::kFieldsFull;
  *out = {};
  (*out)[hpack::PseudoHeader::kStatus] = std::to_string(status);
  return std::nullopt;
}

bool send_headers_allowed(const HeaderMap& fields) noexcept {
  for (const std::string_view name : kConnectionSpecificNames)
    if (fields.contains(name)) return false;
  bool allowed = true;
  fields.for_each_value("te", [&](std::string_view value) {
    allowed = allowed && !is_connection_specific("te", value);
  });
  return allowed;
}

}  // namespace quillet::h2

namespace quillet::h2 {
namespace {

using hpack::PseudoHeader;

// A :path of an "http" or "https" request (RFC 9113 section 8.3.1): an absolute path (with its
// query), or "*" for OPTIONS; never empty, and no space or fragment, which no request target
// holds.
bool path_allowed(std::string_view path, std::string_view method) {
  if (path.empty()) return false;
  if (path == "*") return method == "OPTIONS";
  if (path[0] != '/') return false;
  return path.find_first_of(" \t#") == std::string_view::npos;
}

bool request_shape(const hpack::PseudoHeaders& pseudo, const HeaderMap& fields) {
  const auto& method = pseudo[PseudoHeader::kMethod];
  const auto& scheme = pseudo[PseudoHeader::kScheme];
  const auto& authority = pseudo[PseudoHeader::kAuthority];
  const auto& path = pseudo[PseudoHeader::kPath];
  const bool extended = pseudo[PseudoHeader::kProtocol].has_value();
  if (!method || pseudo[PseudoHeader::kStatus]) return false;
  if (*method == "CONNECT" && !extended) {
    // A tunnel names its far end and nothing else (section 8.5).
    if (!authority || scheme || path) return false;
  } else {
    // :protocol belongs to an extended CONNECT alone (RFC 8441 section 4).
    if (extended && (*method != "CONNECT" || !authority)) return false;
    if (!scheme || !path || !path_allowed(*path, *method)) return false;
    // An http or https target names its host, in :authority or Host.
    if ((*scheme == "http" || *scheme == "https") && !authority && !fields.contains("host"))
      return false;
  }
  // Host may repeat :authority but not name another host (section 8.3.1).
  bool host_agrees = true;
  if (authority) {
    fields.for_each_value("host", [&](std::string_view host) {
      host_agrees = host_agrees && equals_ignore_case(host, *authority);
    });
  }
  return host_agrees;
}

bool response_shape(const hpack::PseudoHeaders& pseudo) {
  for (size_t h = 0; h < hpack::kPseudoHeaderCount; ++h) {
    if (pseudo.values[h].has_value() != (PseudoHeader(h) == PseudoHeader::kStatus)) return false;
  }
  return true;
}

bool no_pseudo(const hpack::PseudoHeaders& pseudo) {
  for (const auto& value : pseudo.values)
    if (value) return false;
  return true;
}

// Every content-length field names the same length (RFC 9110 section 8.6).
bool lengths_agree(const HeaderMap& fields) {
  std::optional<std::string_view> first;
  bool agree = true;
  fields.for_each_value("content-length", [&](std::string_view value) {
    if (!first) first = value;
    agree = agree && value == *first;
  });
  return agree;
}

}  // namespace

ReceivedShape received_shape(const hpack::PseudoHeaders& pseudo, const HeaderMap& fields) {
  ReceivedShape shape;
  if (!lengths_agree(fields)) return shape;
  shape.request = request_shape(pseudo, fields);
  shape.extended_connect = shape.request && pseudo[PseudoHeader::kProtocol].has_value();
  shape.response = response_shape(pseudo);
  shape.trailers = no_pseudo(pseudo);
  return shape;
}

}  // namespace quillet::h2
