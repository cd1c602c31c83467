// Request heads: any bytes parse to a head, need more, or fail with a kind; never more. A
// complete head's fields obey the framing rules, and feeding the same head in two steps (a
// prefix first) never fails where the whole head parses. Fields left as a list fill the same
// map, and, when the list says its names are distinct, iterate in the map's order.
#include "fuzz/fuzz_check.h"
#include "wire/h1/head_parser.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace quillet;
using namespace quillet::h1;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  RequestLimits limits;
  // The first byte picks the limits: rarely a small header limit, sometimes lenient lines.
  const uint8_t mode = data[0];
  if (mode & 0x80) limits.max_headers = mode & 0x0F;
  limits.ignore_invalid_headers = (mode & 0x40) != 0;
  const size_t split = data[1];
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  RequestHead head;
  const ParseOutcome whole = parse_request_head(input, limits, &head);
  FUZZ_CHECK(whole.status != ParseStatus::kInformational);
  if (whole.status != ParseStatus::kComplete) return 0;

  FUZZ_CHECK(whole.consumed > 0 && whole.consumed <= input.size());
  FUZZ_CHECK(input[whole.consumed - 1] == '\n');
  switch (head.body_kind) {
    case BodyKind::kEmpty:
      FUZZ_CHECK(head.content_length == 0);
      break;
    case BodyKind::kLength:
      FUZZ_CHECK(head.content_length > 0 && head.content_length < kMaxContentLength);
      break;
    case BodyKind::kChunked:
      // A chunked request never keeps a Content-Length beside it.
      FUZZ_CHECK(!head.headers.contains("content-length"));
      FUZZ_CHECK(!head.http10);
      break;
    case BodyKind::kClose:
      FUZZ_CHECK(false);  // never for a request
  }
  size_t content_lengths = 0;
  size_t hosts = 0;
  head.headers.for_each([&](std::string_view name, std::string_view value) {
    FUZZ_CHECK(is_valid_header_name(name));
    FUZZ_CHECK(is_valid_header_value(value));
    if (name == "content-length") ++content_lengths;
    if (name == "host") ++hosts;
  });
  FUZZ_CHECK(content_lengths <= 1);
  // One Host line, required from HTTP/1.1 on; CONNECT names an authority, "*" is for OPTIONS.
  FUZZ_CHECK(hosts == 1 || (hosts == 0 && head.http10));
  if (head.method == Method::kConnect) {
    FUZZ_CHECK(head.is_upgrade || head.http10);
    FUZZ_CHECK(!head.target.empty() && head.target[0] != '/' && head.target != "*");
  }
  if (head.target == "*") FUZZ_CHECK(head.method == Method::kOptions);

  // The head alone parses to the same length; every prefix of it waits for more bytes.
  RequestHead again;
  const ParseOutcome exact = parse_request_head(input.substr(0, whole.consumed), limits, &again);
  FUZZ_CHECK(exact.status == ParseStatus::kComplete && exact.consumed == whole.consumed);
  FUZZ_CHECK(again.target == head.target && again.headers == head.headers);
  FUZZ_CHECK(again.body_kind == head.body_kind && again.content_length == head.content_length);
  FUZZ_CHECK(again.keep_alive == head.keep_alive);
  RequestLimits listing = limits;
  listing.fields_as_list = true;
  RequestHead listed;
  const ParseOutcome as_list = parse_request_head(input, listing, &listed);
  FUZZ_CHECK(as_list.status == ParseStatus::kComplete && as_list.consumed == whole.consumed);
  if (listed.fields_listed) {
    FUZZ_CHECK(listed.headers.empty());
    HeaderMap filled;
    FUZZ_CHECK(listed.fields.fill(&filled));
    FUZZ_CHECK(filled == head.headers && filled.size() == listed.fields.size());
    if (listed.fields.distinct()) {
      std::vector<std::pair<std::string_view, std::string_view>> in_map;
      head.headers.for_each(
          [&](std::string_view n, std::string_view v) { in_map.emplace_back(n, v); });
      size_t k = 0;
      listed.fields.for_each([&](std::string_view n, std::string_view v) {
        FUZZ_CHECK(k < in_map.size() && in_map[k] == std::make_pair(n, v));
        ++k;
      });
      FUZZ_CHECK(k == in_map.size());
    }
  } else {
    FUZZ_CHECK(listed.headers == head.headers);
  }

  const size_t cut = split % whole.consumed;
  RequestHead partial;
  const ParseOutcome prefix = parse_request_head(input.substr(0, cut), limits, &partial);
  FUZZ_CHECK(prefix.status == ParseStatus::kIncomplete);
  return 0;
}
