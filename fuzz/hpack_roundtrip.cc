// The HPACK encoder and decoder of the two ends of one connection, through a sequence of header
// lists (valid pseudo-header fields and fields, names and values partly fuzzed) and changes of
// the table size as a SETTINGS exchange makes them (both ends learn each value; sometimes two
// arrive before the next block). Each block is decoded in fuzzed fragments, need-more tails
// carried over. Properties: every block decodes, not malformed, to exactly the pseudo-header
// fields and the fields (in the map's order) that were encoded; after every block the two
// dynamic tables hold the same entries under the same maximum, which never exceeds the
// encoder's cap or the last size both ends agreed on.
#include "fuzz/fuzz_check.h"
#include "fuzz/hpack_tables.h"
#include "wire/common/chars.h"
#include "wire/common/header_map.h"
#include "wire/h2/hpack/decoder.h"
#include "wire/h2/hpack/encoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace quillet;
using namespace quillet::h2::hpack;

namespace {

constexpr uint32_t kTableSizes[] = {0, 1, 31, 32, 64, 100, 256, 1000, 4095, 4096, 8192, UINT32_MAX};

const std::string_view kNames[] = {"accept",        "accept-encoding",
                                   "cookie",        "set-cookie",
                                   "authorization", "content-length",
                                   "date",          "x-request-id",
                                   "user-agent",    "te",
                                   "x-a",           "etag",
                                   "cache-control", "content-type"};
const std::string_view kValues[] = {"",     "*/*",     "gzip, deflate", "a=1; b=2", "trailers",
                                    "0",    "1234",    "text/html",     "in  side", "\xc3\xa9\xff",
                                    "a\tb", "no-cache"};
const std::string_view kMethods[] = {"GET", "POST", "HEAD", "CONNECT", "M-SEARCH", "x"};
const std::string_view kPaths[] = {"/", "/index.html", "/a?b=c", "*", "/\xc3\xa9"};
const std::string_view kStatuses[] = {"200", "204", "304", "404", "500", "100", "999"};

template <class Keep>
std::string filtered(std::string text, Keep keep) {
  std::erase_if(text, [&](char c) { return !keep(c); });
  return text;
}

// A name the decoder takes as a field: a lower-case token, not one HTTP/2 forbids.
std::string name(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 3) != 0) return std::string(in.PickValueInArray(kNames));
  std::string n = filtered(in.ConsumeRandomLengthString(20),
                           [](char c) { return chars::token(c) && !(c >= 'A' && c <= 'Z'); });
  if (n.empty() || n == "connection" || n == "keep-alive" || n == "proxy-connection" ||
      n == "transfer-encoding" || n == "upgrade" || n == "te")
    return "x-" + n;
  return n;
}

std::string value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: {
      // A received value may not start or end with SP or HTAB.
      std::string v =
          filtered(in.ConsumeRandomLengthString(40), [](char c) { return chars::field_value(c); });
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.pop_back();
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.erase(0, 1);
      return v;
    }
    case 1:  // too large for a table slot, or large enough to evict everything
      return std::string(in.ConsumeIntegralInRange<size_t>(2000, 5000), 'v');
    default:
      return std::string(in.PickValueInArray(kValues));
  }
}

// A pseudo-header value of the text kinds: visible ASCII, as a request target would be.
std::string text(FuzzedDataProvider& in, const std::string_view* pool, size_t n) {
  if (in.ConsumeIntegralInRange<int>(0, 3) != 0)
    return std::string(pool[in.ConsumeIntegralInRange<size_t>(0, n - 1)]);
  return filtered(in.ConsumeRandomLengthString(30), [](char c) { return c > 0x20 && c < 0x7f; });
}

PseudoHeaders pseudo(FuzzedDataProvider& in) {
  PseudoHeaders p;
  if (in.ConsumeBool()) {
    p[PseudoHeader::kStatus] = std::string(in.PickValueInArray(kStatuses));
    return p;
  }
  std::string method(in.PickValueInArray(kMethods));
  p[PseudoHeader::kMethod] = method;
  if (method != "CONNECT" || in.ConsumeBool()) {
    p[PseudoHeader::kScheme] = in.ConsumeBool() ? "https" : "http";
    p[PseudoHeader::kPath] = text(in, kPaths, std::size(kPaths));
  }
  if (in.ConsumeBool()) p[PseudoHeader::kAuthority] = text(in, kPaths, 1) + "example.com:443";
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) p[PseudoHeader::kProtocol] = "websocket";
  return p;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields pairs(const HeaderMap& map) {
  Fields out;
  map.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Encoder encoder;
  Decoder decoder;
  HeaderAccumulator list;
  uint32_t agreed = kDefaultTableSize;  // the last size both ends learnt
  for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
    for (int changes = in.ConsumeIntegralInRange<int>(-4, 2); changes > 0; --changes) {
      agreed = in.PickValueInArray(kTableSizes);
      decoder.queue_max_table_size(agreed);
      encoder.update_max_table_size(agreed);
    }
    const PseudoHeaders p = pseudo(in);
    HeaderMap fields;
    for (int i = in.ConsumeIntegralInRange<int>(0, 12); i > 0; --i) {
      const std::string n = name(in);
      std::string v = value(in);
      if (n == "te") v = "trailers";
      if (!fields.append(n, v)) return 0;
    }
    std::string block;
    encoder.encode(p, fields, &block);

    std::vector<size_t> cuts;
    for (int i = in.ConsumeIntegralInRange<int>(0, 5); i > 0; --i)
      cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, 64));
    list.clear();
    std::string remainder;
    size_t pos = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const bool last = i == cuts.size();
      const size_t end = last ? block.size() : std::min(block.size(), pos + cuts[i]);
      std::string fragment = std::move(remainder);
      remainder.clear();
      fragment.append(block, pos, end - pos);
      pos = end;
      const DecodeResult r = decoder.decode(fragment, UINT32_MAX, &list);
      if (r.status == DecodeStatus::kFailed && !last && is_need_more(r.error)) {
        remainder = fragment.substr(r.consumed);
        continue;
      }
      FUZZ_CHECK(r.status == DecodeStatus::kComplete);
    }
    FUZZ_CHECK(list.pseudo() == p);
    FUZZ_CHECK(pairs(list.fields()) == pairs(fields));
    FUZZ_CHECK(same_table(encoder.table(), decoder.table()));
    FUZZ_CHECK(encoder.table().max_size() == std::min(agreed, kEncoderTableCap));
    FUZZ_CHECK(encoder.table().size() <= encoder.table().max_size());
  }
  return 0;
}
