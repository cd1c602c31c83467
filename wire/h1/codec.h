// One HTTP/1 connection's codec state, for both roles: the read buffer that outlives each
// message (so pipelined bytes are never lost), the recorded request method, the retained body
// framing and the verdicts of the last parse or encode. The Python H1Codec guards one with its
// lock and converts values at the boundary.
#pragma once

#include "wire/common/byte_buffer.h"
#include "wire/h1/error.h"
#include "wire/h1/head.h"
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
  size_t max_buf_size = kDefaultMaxBufSize;
};

// The automatic status a server answers a failed request head with, if any.
std::optional<uint16_t> automatic_status(ParseKind kind);

enum class HeadResult : uint8_t { kHead, kNone, kError };

class Codec {
 public:
  explicit Codec(const CodecConfig& config) : config_(config) {}

  const CodecConfig& config() const { return config_; }

  // Appends `data` to the read buffer and parses one head from its front. kHead removes the head's
  // bytes from the buffer; kNone and kError leave the buffer as it is (a response parse drops
  // the informational heads it skips). A failed request head records its automatic status.
  HeadResult receive_request_head(std::string_view data, RequestHead* head, ParseKind* error);
  HeadResult receive_response_head(std::string_view data, ResponseHead* head, ParseKind* error);

  std::optional<uint16_t> parse_error_status() const { return parse_error_status_; }

  // Starts the next message: the recorded method, the body framing and the automatic status go;
  // the read buffer and the response verdicts stay.
  void reset();

  void feed(std::string_view data) { buffer_.append(data); }
  std::string take_body() { return buffer_.take(); }
  size_t buffered() const { return buffer_.size(); }

  const std::optional<RequestMethod>& recorded_method() const { return method_; }
  bool trailers_permitted() const { return trailers_permitted_; }

 private:
  CodecConfig config_;
  ByteBuffer buffer_;
  std::optional<RequestMethod> method_;
  std::optional<uint16_t> parse_error_status_;
  bool trailers_permitted_ = true;
};

}  // namespace quillet::h1
