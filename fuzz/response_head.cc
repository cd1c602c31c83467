// Response heads, answering a request method picked by the input: complete heads obey the
// framing table, interim responses are skipped, and a prefix of a head never fails where the
// whole head parses.
#include "fuzz/fuzz_check.h"
#include "wire/h1/head_parser.h"

#include <cstdint>
#include <string_view>

using namespace quillet;
using namespace quillet::h1;

namespace {

ParseOutcome parse_through_interim(std::string_view input, const RequestMethod* method,
                                   ResponseHead* out, size_t* skipped) {
  *skipped = 0;
  for (;;) {
    *out = ResponseHead{};
    ParseOutcome r = parse_response_head(input.substr(*skipped), method, ResponseLimits{}, out);
    if (r.status != ParseStatus::kInformational) return r;
    FUZZ_CHECK(r.consumed > 0);
    *skipped += r.consumed;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  RequestMethod recorded;
  const RequestMethod* method = &recorded;
  switch (data[0] % 6) {
    case 0:
      method = nullptr;
      break;
    case 1:
      recorded.method = Method::kGet;
      break;
    case 2:
      recorded.method = Method::kHead;
      break;
    case 3:
      recorded.method = Method::kConnect;
      break;
    case 4:
      recorded.method = Method::kPost;
      break;
    default:
      recorded.method = Method::kExtension;
      recorded.extension = "PROPFIND";
  }
  const size_t split = data[1];
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  ResponseHead head;
  size_t skipped = 0;
  const ParseOutcome whole = parse_through_interim(input, method, &head, &skipped);
  if (whole.status != ParseStatus::kComplete) return 0;

  FUZZ_CHECK(skipped + whole.consumed <= input.size());
  FUZZ_CHECK(head.status >= 100 && head.status <= 999);
  FUZZ_CHECK(head.status == 101 || head.status >= 200);
  const bool no_body = head.status == 101 || head.status == 204 || head.status == 304 ||
                       (method && method->is(Method::kHead)) ||
                       (method && method->is(Method::kConnect) && head.status / 100 == 2);
  if (no_body) FUZZ_CHECK(head.body_kind == BodyKind::kEmpty);
  if (head.is_upgrade)
    FUZZ_CHECK(head.status == 101 ||
               (method && method->is(Method::kConnect) && head.status / 100 == 2));
  if (head.body_kind == BodyKind::kLength)
    FUZZ_CHECK(head.content_length > 0 && head.content_length < kMaxContentLength);
  else
    FUZZ_CHECK(head.content_length == 0);
  if (head.body_kind == BodyKind::kChunked) FUZZ_CHECK(!head.http10);
  head.headers.for_each([&](std::string_view name, std::string_view value) {
    FUZZ_CHECK(is_valid_header_name(name));
    FUZZ_CHECK(is_valid_header_value(value));
  });

  // The final head parsed alone gives the same result; a prefix of it waits for more.
  const std::string_view final_head = input.substr(skipped, whole.consumed);
  ResponseHead again;
  const ParseOutcome exact = parse_response_head(final_head, method, ResponseLimits{}, &again);
  FUZZ_CHECK(exact.status == ParseStatus::kComplete && exact.consumed == whole.consumed);
  FUZZ_CHECK(again.status == head.status && again.body_kind == head.body_kind);
  FUZZ_CHECK(again.content_length == head.content_length && again.headers == head.headers);
  // Listed, it gives the same verdicts, and its fields fill the same map, lookups included.
  ResponseHead listed;
  const ParseOutcome as_list =
      parse_response_head(final_head, method, ResponseLimits{true}, &listed);
  FUZZ_CHECK(as_list.status == ParseStatus::kComplete && as_list.consumed == whole.consumed);
  FUZZ_CHECK(listed.fields_listed && listed.headers.empty());
  FUZZ_CHECK(listed.body_kind == head.body_kind && listed.keep_alive == head.keep_alive);
  FUZZ_CHECK(listed.content_length == head.content_length && listed.is_upgrade == head.is_upgrade);
  HeaderMap filled;
  FUZZ_CHECK(listed.fields.fill(&filled) && filled == head.headers);
  listed.fields.for_each([&](std::string_view name, std::string_view) {
    FUZZ_CHECK(listed.fields.first(name) == head.headers.first(name));
  });
  ResponseHead partial;
  const ParseOutcome prefix = parse_response_head(final_head.substr(0, split % whole.consumed),
                                                  method, ResponseLimits{}, &partial);
  FUZZ_CHECK(prefix.status == ParseStatus::kIncomplete);
  return 0;
}
