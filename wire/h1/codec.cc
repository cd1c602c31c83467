#include "wire/h1/codec.h"

#include "wire/h2/preface.h"

#include <cstring>

namespace quillet::h1 {
namespace {}  // namespace

std::optional<uint16_t> automatic_status(ParseKind kind) {
  switch (kind) {
    case ParseKind::kMethod:
    case ParseKind::kVersion:
    case ParseKind::kUri:
    case ParseKind::kHeaderToken:
    case ParseKind::kContentLengthInvalid:
    case ParseKind::kTransferEncodingInvalid:
    case ParseKind::kTransferEncodingUnexpected:
    case ParseKind::kHostMissing:
    case ParseKind::kHostInvalid:
      return 400;
    case ParseKind::kTransferEncodingUnsupported:
      return 501;
    case ParseKind::kUriTooLong:
      return 414;
    case ParseKind::kTooLarge:
      return 431;
    case ParseKind::kVersionH2:
    case ParseKind::kStatus:
    case ParseKind::kInternal:
      return std::nullopt;
  }
  return std::nullopt;
}

HeadProgress* Codec::progress_for(ScanRole role) {
  // Nothing buffered, nothing checked; and a progress is only good for the role that made it.
  if (buffer_.empty() || scan_role_ != role) scan_ = {};
  scan_role_ = role;
  return &scan_;
}

HeadResult Codec::receive_request_head(std::string_view data, RequestHead* head, ParseKind* error) {
  HeadProgress* progress = progress_for(ScanRole::kRequest);
  // With nothing buffered the head is parsed straight from `data`, and only what follows it is
  // kept: the common case of a whole head in one read copies no head bytes.
  const bool direct = buffer_.empty();
  if (!direct) buffer_.append(data);
  const std::string_view bytes = direct ? data : buffer_.view();
  if (bytes.empty()) return HeadResult::kNone;
  const ParseOutcome outcome = parse_request_head(
      bytes,
      RequestLimits{config_.max_headers, config_.ignore_invalid_headers, config_.fields_as_list},
      head, progress);
  head_bytes_scanned_ += outcome.scanned;
  ParseKind kind = outcome.error;
  switch (outcome.status) {
    case ParseStatus::kComplete:
      if (direct) {
        buffer_.append(data.substr(outcome.consumed));
        scan_ = {};
      } else {
        consume_head(outcome.consumed);
      }
      method_ = RequestMethod{head->method, head->method_token};
      trailers_permitted_ = head->allow_trailers;
      return HeadResult::kHead;
    case ParseStatus::kIncomplete:
      if (direct) buffer_.append(data);
      if (bytes.size() < config_.max_buf_size) return HeadResult::kNone;
      kind = ParseKind::kTooLarge;
      break;
    case ParseStatus::kError:
    case ParseStatus::kInformational:  // not produced for requests
      if (direct) buffer_.append(data);
      break;
  }
  // An HTTP/2 client that talks to us as if we spoke HTTP/2 gets no HTTP/1 answer.
  if (bytes.size() >= h2::kClientPreface.size() &&
      bytes.substr(0, h2::kClientPreface.size()) == h2::kClientPreface) {
    kind = ParseKind::kVersionH2;
  }
  parse_error_status_ = automatic_status(kind);
  *error = kind;
  return HeadResult::kError;
}

HeadResult Codec::receive_response_head(std::string_view data, ResponseHead* head,
                                        ParseKind* error) {
  HeadProgress* progress = progress_for(ScanRole::kResponse);
  buffer_.append(data);
  const RequestMethod* method = method_ ? &*method_ : nullptr;
  while (!buffer_.empty()) {
    const std::string_view bytes = buffer_.view();
    const ParseOutcome outcome =
        parse_response_head(bytes, method, ResponseLimits{config_.fields_as_list}, head, progress);
    head_bytes_scanned_ += outcome.scanned;
    switch (outcome.status) {
      case ParseStatus::kComplete:
        consume_head(outcome.consumed);
        judge_received_response(*head);
        return HeadResult::kHead;
      case ParseStatus::kInformational:
        consume_head(outcome.consumed);  // a 1xx interim response is dropped
        continue;
      case ParseStatus::kIncomplete:
        if (bytes.size() < config_.max_buf_size) return HeadResult::kNone;
        *error = ParseKind::kTooLarge;
        return HeadResult::kError;
      case ParseStatus::kError:
        *error = outcome.error;
        return HeadResult::kError;
    }
  }
  return HeadResult::kNone;
}

void Codec::judge_received_response(const ResponseHead& head) {
  response_close_delimited_ = head.body_kind == BodyKind::kClose;
  // A request body still owed when the answer came leaves the server mid-message: whatever we
  // send next would be read as the rest of it.
  response_is_last_ = !head.keep_alive || head.is_upgrade || response_close_delimited_ ||
                      request_connection_close_ || !body_is_eof();
}

bool Codec::encode_request(const RequestLine& line, HeaderMap& headers, bool http10,
                           const BodySpec& body, std::string* out) {
  std::optional<EncodedRequest> encoded = h1::encode_request(line, headers, http10, body, out);
  if (!encoded) return false;
  method_ = RequestMethod{line.method, line.method == Method::kExtension ? line.method_token : ""};
  request_connection_close_ = encoded->connection_close;
  encoder_ = std::move(encoded->framing);
  return true;
}

std::optional<UserKind> Codec::encode_response(StatusCode status, bool keep_alive, bool http10,
                                               const BodySpec& body, const HeaderMap& headers,
                                               std::string* out) {
  ResponseOptions options;
  options.status = status;
  options.keep_alive = keep_alive;
  options.http10 = http10;
  options.body = body;
  options.title_case = config_.title_case_headers;
  options.date_header = config_.date_header;
  options.request_method = method_ ? &*method_ : nullptr;
  BodyFraming framing;
  if (std::optional<UserKind> failure = h1::encode_response(options, headers, out, &framing)) {
    return failure;
  }
  response_is_last_ = framing.last_message;
  response_close_delimited_ = framing.kind == BodyFraming::Kind::kClose;
  encoder_ = std::move(framing);
  return std::nullopt;
}

void Codec::reset() {
  scan_ = {};
  encoder_.reset();
  request_connection_close_ = false;
  method_.reset();
  parse_error_status_.reset();
  trailers_permitted_ = true;
}

}  // namespace quillet::h1
