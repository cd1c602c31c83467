// One HTTP/1 connection's codec state, for both roles: the read buffer that outlives each
// message (so pipelined bytes are never lost), the recorded request method, the retained body
// framing and the verdicts of the last parse or encode. The Python H1Codec guards one with its
// lock and converts values at the boundary.
#pragma once

#include "wire/common/byte_buffer.h"
#include "wire/h1/error.h"
#include "wire/h1/head.h"
#include "wire/h1/head_encoder.h"
#include "wire/h1/head_parser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h1 {

inline constexpr size_t kMinMaxBufSize = 8192;
inline constexpr size_t kDefaultMaxBufSize = 8192 + 100 * 4096;

struct CodecConfig {
  size_t max_headers = kDefaultMaxHeaders;
  bool ignore_invalid_headers = false;
  bool title_case_headers = false;
  bool date_header = true;
  // Heads may leave their fields in RequestHead::fields or ResponseHead::fields (see
  // RequestLimits and ResponseLimits).
  bool fields_as_list = false;
  size_t max_buf_size = kDefaultMaxBufSize;
};

// The automatic status a server answers a failed request head with, if any: 400, 414, 431, or
// 501 for a transfer coding we do not implement.
std::optional<uint16_t> automatic_status(ParseKind kind);

enum class HeadResult : uint8_t { kHead, kNone, kError };

class Codec {
 public:
  explicit Codec(const CodecConfig& config) : config_(config) {}

  const CodecConfig& config() const { return config_; }

  // Appends `data` to the read buffer and parses one head from its front. kHead removes the head's
  // bytes from the buffer; kNone and kError leave the buffer as it is (a response parse drops
  // the informational heads it skips). A failed request head records its automatic status.
  // An incomplete head is checked once: each call goes on from where the last one stopped.
  HeadResult receive_request_head(std::string_view data, RequestHead* head, ParseKind* error);
  HeadResult receive_response_head(std::string_view data, ResponseHead* head, ParseKind* error);

  std::optional<uint16_t> parse_error_status() const { return parse_error_status_; }

  // Starts the next message: the recorded method, the body framing and the automatic status go;
  // the read buffer and the response verdicts stay.
  void reset();

  void feed(std::string_view data) { buffer_.append(data); }
  std::string take_body() {
    scan_ = {};
    return buffer_.take();
  }
  size_t buffered() const { return buffer_.size(); }

  // The bytes the head parser has walked over since construction (ParseOutcome::scanned): a
  // measure of the parse work for tests and benchmarks.
  uint64_t head_bytes_scanned() const { return head_bytes_scanned_; }

  // Encodes a request head (client side): records the method and keeps the body framing.
  // `headers` is the encoder's own copy. False, with nothing written or recorded, when `headers`
  // cannot take the fields the head needs.
  [[nodiscard]] bool encode_request(const RequestLine& line, HeaderMap& headers, bool http10,
                                    const BodySpec& body, std::string* out);

  // Encodes a response head (server side) for the recorded request; on success keeps the body
  // framing and the two response verdicts. A failure changes nothing.
  std::optional<UserKind> encode_response(StatusCode status, bool keep_alive, bool http10,
                                          const BodySpec& body, const HeaderMap& headers,
                                          std::string* out);

  const std::optional<RequestMethod>& recorded_method() const { return method_; }
  bool trailers_permitted() const { return trailers_permitted_; }
  const std::optional<BodyFraming>& body_framing() const { return encoder_; }
  // The framing of the message in flight, for framing its body chunks (nullptr: none).
  BodyFraming* body_encoder() { return encoder_ ? &*encoder_ : nullptr; }
  // Takes the framing away: the body is being finished.
  std::optional<BodyFraming> take_body_encoder() {
    std::optional<BodyFraming> taken = std::move(encoder_);
    encoder_.reset();
    return taken;
  }
  // No body bytes are to be sent: no framing, or a length framing with nothing left.
  bool body_is_eof() const {
    return !encoder_ || (encoder_->kind == BodyFraming::Kind::kLength && encoder_->length == 0);
  }
  bool request_connection_close() const { return request_connection_close_; }
  // The connection serves no further request after the last response head, encoded or received.
  // Encoded (server side): the head carries the last-message flag (no keep-alive, a close
  // token, a switch); a close-delimited body is reported apart, and the server reuses the
  // connection only when neither holds. Received (client side): the response does not keep the
  // connection alive, switches protocols or runs to the close, or it answers a request that
  // asked to close or whose body had not all gone out: the client's reuse rule, but for bytes
  // that follow the body.
  bool response_is_last() const { return response_is_last_; }
  // The last response head, encoded or received, ends its body by closing the connection.
  bool response_close_delimited() const { return response_close_delimited_; }

 private:
  enum class ScanRole : uint8_t { kRequest, kResponse };

  // The progress of the head being checked at the front of the buffer, for `role`; started over
  // whenever bytes leave the front of the buffer.
  HeadProgress* progress_for(ScanRole role);
  // Records the client's reuse verdicts on a response head just received.
  void judge_received_response(const ResponseHead& head);
  void consume_head(size_t n) {
    buffer_.consume(n);
    scan_ = {};
  }

  CodecConfig config_;
  ByteBuffer buffer_;
  HeadProgress scan_;
  uint64_t head_bytes_scanned_ = 0;
  std::optional<RequestMethod> method_;
  std::optional<uint16_t> parse_error_status_;
  bool trailers_permitted_ = true;
  ScanRole scan_role_ = ScanRole::kRequest;  // the role scan_ was made for (here it fills padding)
  std::optional<BodyFraming> encoder_;       // the body framing of the message being sent
  bool request_connection_close_ = false;
  bool response_is_last_ = false;
  bool response_close_delimited_ = false;
};

}  // namespace quillet::h1
