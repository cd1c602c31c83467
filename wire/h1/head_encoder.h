// The HTTP/1 head encoder: request heads (client side) and response heads (server side). Encoding
// a head also decides how the body that follows is framed, and for a response whether the
// connection closes after it.
#pragma once

#include "wire/common/header_map.h"
#include "wire/common/uri.h"
#include "wire/h1/error.h"
#include "wire/h1/head.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::h1 {

// How the body of an encoded message is framed.
struct BodyFraming {
  enum class Kind : uint8_t { kLength, kChunked, kClose };
  Kind kind = Kind::kLength;
  uint64_t length = 0;                     // kLength: the bytes still to send
  bool has_allow_list = false;             // kChunked: the message declared trailer fields
  std::vector<std::string> trailer_names;  // lower case, from the message's `trailer` fields
  bool last_message = false;               // the connection closes after this message
};

// What the caller says about the body: `chunked` (unknown length) wins over `content_length`;
// neither means no body.
struct BodySpec {
  bool chunked = false;
  std::optional<uint64_t> content_length;

  bool unknown() const { return chunked; }
  bool known() const { return !chunked && content_length.has_value(); }
  bool none() const { return !chunked && !content_length.has_value(); }
};

// A request line checked ahead of encoding: the method token and the target in normal form.
struct RequestLine {
  Method method = Method::kGet;
  std::string method_token;  // the token as given (standard or extension)
  std::string target;
};

enum class RequestLineError : uint8_t { kMethod, kUrl };

// Checks `method` (a token) and `url` (the shared URI grammar) and writes the target in its
// normal form. On failure `error` says which, and `uri_error` the URI parser's reason.
bool make_request_line(std::string_view method, std::string_view url, RequestLine* line,
                       RequestLineError* error, UriError* uri_error);

struct EncodedRequest {
  BodyFraming framing;
  bool connection_close = false;  // the caller's headers had a close token on a connection field
};

// Writes a request head into `out`. `headers` is the encoder's own copy and is changed. Empty,
// with nothing written, when `headers` cannot take a field the head needs (it already holds
// HeaderMap::kMaxNames names).
[[nodiscard]] std::optional<EncodedRequest> encode_request(const RequestLine& line,
                                                           HeaderMap& headers, bool http10,
                                                           const BodySpec& body, std::string* out);

// A response status code: three digits, 100 to 999. Made only through `from`, so that no
// encoder can be handed anything else and write a malformed status line.
class StatusCode {
 public:
  static constexpr std::optional<StatusCode> from(uint64_t value) {
    if (value < 100 || value > 999) return std::nullopt;
    return StatusCode(uint16_t(value));
  }
  static constexpr StatusCode ok() { return StatusCode(200); }
  constexpr uint16_t value() const { return value_; }

 private:
  constexpr explicit StatusCode(uint16_t value) : value_(value) {}
  uint16_t value_;
};

struct ResponseOptions {
  StatusCode status = StatusCode::ok();
  bool keep_alive = true;
  bool http10 = false;
  BodySpec body;
  bool title_case = false;
  bool date_header = true;
  const RequestMethod* request_method = nullptr;  // the request this answers, if recorded
};

// Writes a response head into `out` and decides its framing. Fails with an H1 user error
// (unsupported_status_code, unexpected_header), leaving `out` to be discarded.
std::optional<UserKind> encode_response(const ResponseOptions& options, const HeaderMap& headers,
                                        std::string* out, BodyFraming* framing);

// The canonical reason phrase of a status ("<none>" for a code without one).
std::string_view reason_phrase(uint16_t status);

// A declared length in header values: every comma-separated item of every value, trimmed, is
// the same run of digits.
class LengthFields {
 public:
  void add(std::string_view value);
  bool seen() const { return seen_; }
  // The length when every item agreed, else nothing.
  std::optional<uint64_t> length() const {
    return seen_ && valid_ ? std::optional<uint64_t>(length_) : std::nullopt;
  }

 private:
  bool seen_ = false;
  bool valid_ = true;
  uint64_t length_ = 0;
};

}  // namespace quillet::h1
