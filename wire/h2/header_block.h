// The rules for the header blocks this side sends (RFC 9113 section 8.3): the request
// pseudo-header fields from a method, a target and the connection's scheme and authority; the
// response :status; and the check for fields HTTP/2 forbids (section 8.2.2).
#pragma once

#include "wire/common/header_map.h"
#include "wire/common/uri.h"
#include "wire/h2/hpack/header_list.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::h2 {

enum class RequestBlockError : uint8_t {
  kMethod,                  // not an HTTP method token
  kUri,                     // the target, the scheme or the authority breaks the URI grammar
  kBarePath,                // an origin-form target on a connection without scheme and authority
  kProtocol,                // a :protocol value that is not a token
  kProtocolWithoutConnect,  // :protocol on a method other than CONNECT
};

// Builds the request pseudo-header fields. A target with its own scheme and authority ignores
// the connection's; otherwise both must be given (an authority-form target brings its own
// authority, and CONNECT needs no scheme). CONNECT carries only :method and :authority.
// With `protocol`, the request is an extended CONNECT (RFC 8441 section 4): the method must be
// CONNECT, and the block carries :protocol with :scheme, :path and :authority like any request.
// On kUri, `*uri_error` says why.
[[nodiscard]] std::optional<RequestBlockError> build_request_pseudo(
    std::string_view method, std::string_view target, std::optional<std::string_view> scheme,
    std::optional<std::string_view> authority, std::optional<std::string_view> protocol,
    hpack::PseudoHeaders* out, UriError* uri_error);

enum class ResponseBlockError : uint8_t {
  kStatus,      // the status is not 100 to 999
  kFieldsFull,  // no room in `fields` for the Date field
};

// Builds a response's :status and, when `date` is set and `fields` has no Date field, adds the
// current one (RFC 9110 section 6.6.1), as the HTTP/1 head encoder does. On failure neither
// `fields` nor `*out` changed.
[[nodiscard]] std::optional<ResponseBlockError> build_response_head(uint32_t status, bool date,
                                                                    HeaderMap* fields,
                                                                    hpack::PseudoHeaders* out);

// Whether `fields` may be sent: none of the connection-specific fields, and te only with the
// value "trailers" (every value, not only the first).
bool send_headers_allowed(const HeaderMap& fields) noexcept;

// What a received header block may be, by the message rules of RFC 9113 sections 8.1 and 8.3
// (the field rules were applied while decoding). A block that is none of what its place in the
// stream calls for is a malformed message: a stream error, never a connection error.
struct ReceivedShape {
  bool request = false;           // a request head (RFC 8441 extended CONNECT included)
  bool extended_connect = false;  // a request head with :protocol (RFC 8441 section 4)
  bool response = false;          // a response head, informational or final
  bool trailers = false;          // a trailer section: no pseudo-header field
};
ReceivedShape received_shape(const hpack::PseudoHeaders& pseudo, const HeaderMap& fields);

// Only the exact token "HEAD".
inline bool method_is_head(std::string_view method) noexcept {
  return method == "HEAD";
}

}  // namespace quillet::h2
