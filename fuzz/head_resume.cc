// A codec receiving heads in pieces: each receive call, which goes on from where the previous one
// stopped, gives exactly what a fresh codec gives when handed everything buffered at once (the
// result, the error kind, the automatic status, the head, the bytes left buffered), for either
// role, through pipelined heads, interim responses, errors and retries with no new bytes.
#include "fuzz/fuzz_check.h"
#include "wire/h1/codec.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace quillet;
using namespace quillet::h1;

namespace {

struct Call {
  HeadResult result;
  ParseKind error = ParseKind::kInternal;
  std::optional<uint16_t> status;
  size_t buffered = 0;
  RequestHead request;
  ResponseHead response;
};

void record_method(Codec& codec, std::string_view method) {
  if (method.empty()) return;
  RequestLine line;
  RequestLineError line_error;
  UriError uri_error;
  FUZZ_CHECK(make_request_line(method, "/", &line, &line_error, &uri_error));
  HeaderMap headers;
  std::string out;
  FUZZ_CHECK(codec.encode_request(line, headers, false, BodySpec{}, &out));
}

Call receive(Codec& codec, bool server, std::string_view data) {
  Call call;
  call.result = server ? codec.receive_request_head(data, &call.request, &call.error)
                       : codec.receive_response_head(data, &call.response, &call.error);
  call.status = codec.parse_error_status();
  call.buffered = codec.buffered();
  return call;
}

bool same_request(const RequestHead& a, const RequestHead& b) {
  return a.method == b.method && a.method_token == b.method_token && a.target == b.target &&
         a.headers == b.headers && a.body_kind == b.body_kind &&
         a.content_length == b.content_length && a.keep_alive == b.keep_alive &&
         a.expect_continue == b.expect_continue && a.is_upgrade == b.is_upgrade &&
         a.http10 == b.http10 && a.allow_trailers == b.allow_trailers;
}

bool same_response(const ResponseHead& a, const ResponseHead& b) {
  return a.status == b.status && a.headers == b.headers && a.body_kind == b.body_kind &&
         a.content_length == b.content_length && a.keep_alive == b.keep_alive &&
         a.is_upgrade == b.is_upgrade && a.http10 == b.http10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t mode = in.ConsumeIntegral<uint8_t>();
  const bool server = (mode & 1) != 0;
  CodecConfig config;
  config.max_buf_size = kMinMaxBufSize;
  config.ignore_invalid_headers = (mode & 2) != 0;
  if (mode & 4) config.max_headers = mode >> 4;
  static constexpr std::string_view kMethods[] = {"", "GET", "HEAD", "CONNECT"};
  const std::string_view method = server ? "" : kMethods[(mode >> 3) & 3];
  std::vector<size_t> reads;
  const size_t read_count = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t k = 0; k < read_count; ++k)
    reads.push_back(in.ConsumeIntegralInRange<size_t>(0, 64));
  const std::string input = in.ConsumeRemainingBytesAsString();

  Codec codec(config);
  record_method(codec, method);
  std::string pending;  // what `codec` holds
  size_t at = 0;
  for (size_t k = 0; k <= reads.size(); ++k) {
    // The last read takes the rest; an empty read retries on what is buffered.
    const size_t n = k < reads.size() ? std::min(reads[k], input.size() - at) : input.size() - at;
    const std::string_view piece = std::string_view(input).substr(at, n);
    at += n;
    pending.append(piece);
    Codec fresh(config);
    record_method(fresh, method);
    const Call expected = receive(fresh, server, pending);
    const Call got = receive(codec, server, piece);
    FUZZ_CHECK(got.result == expected.result);
    FUZZ_CHECK(got.buffered == expected.buffered);
    if (got.result == HeadResult::kError) {
      FUZZ_CHECK(got.error == expected.error);
      FUZZ_CHECK(got.status == expected.status);
    }
    if (got.result == HeadResult::kHead) {
      FUZZ_CHECK(server ? same_request(got.request, expected.request)
                        : same_response(got.response, expected.response));
    }
    pending.erase(0, pending.size() - got.buffered);
  }
  return 0;
}
