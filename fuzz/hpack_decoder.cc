// The HPACK decoder over a sequence of header blocks (representations built from fuzzed parts,
// or raw bytes) with changes of the allowed table size between them. Two decoders take the same
// blocks: one whole, one in fuzzed fragments, each need-more tail handed back at the front of
// the next fragment as the frame layer does. Properties: both end every block with the same
// outcome (error kind included), the same header list (pseudo-header fields, fields in order,
// size and flags) and the same dynamic table; the table never holds more than its maximum,
// its size is the sum of its entries, and its maximum never exceeds what was once allowed;
// whole representations never claim more octets than the fragment has; every field in the
// list is a lower-case token name with a valid value. Besides, the whole input taken as one
// Huffman-coded string decodes as a plain walk of the code, one bit at a time, decodes it.
#include "fuzz/fuzz_check.h"
#include "fuzz/hpack_tables.h"
#include "tests/support/huffman_bit_decoder.h"
#include "wire/common/chars.h"
#include "wire/h2/hpack/decoder.h"
#include "wire/h2/hpack/huffman.h"
#include "wire/h2/hpack/primitives.h"

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

constexpr uint32_t kListSizes[] = {0, 40, 100, 4096, 65536, UINT32_MAX};
constexpr uint32_t kTableSizes[] = {0, 1, 32, 100, 4096, 65536, UINT32_MAX};

const std::string_view kNames[] = {"x-a",     "accept",     "cookie", ":path",      ":method",
                                   ":status", ":authority", ":bogus", "connection", "te",
                                   "Upper",   "",           "a\"b",   "sp ace",     "x-a"};
const std::string_view kValues[] = {"",         "v",        "200", "GET",  "/",
                                    "trailers", "1",        "G T", "\r",   "\x7f",
                                    "\xc3\xa9", "\xff\xfe", "x00", "/\x01"};

std::string pick_text(FuzzedDataProvider& in, const std::string_view* pool, size_t n) {
  if (in.ConsumeIntegralInRange<int>(0, 3) != 0)
    return std::string(pool[in.ConsumeIntegralInRange<size_t>(0, n - 1)]);
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return std::string(3000, 'z');
  return in.ConsumeRandomLengthString(16);
}

// A string literal, Huffman-coded or raw (the encoder only writes the former).
void put_string(FuzzedDataProvider& in, std::string* out, std::string_view text) {
  if (in.ConsumeBool()) {
    write_string(out, text);
  } else {
    write_integer(out, 0x00, 7, text.size());
    out->append(text);
  }
}

uint32_t index_value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegral<uint32_t>();
    case 1:
      return in.ConsumeIntegralInRange<uint32_t>(62, 80);  // the dynamic table
    default:
      return in.ConsumeIntegralInRange<uint32_t>(0, 61);
  }
}

// One representation of RFC 7541 section 6 with fuzzed parts.
void put_representation(FuzzedDataProvider& in, std::string* out) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:  // indexed
      write_integer(out, 0x80, 7, index_value(in));
      return;
    case 1:  // a size update
      write_integer(
          out, 0x20, 5,
          in.ConsumeBool() ? in.PickValueInArray(kTableSizes) : in.ConsumeIntegral<uint32_t>());
      return;
    case 2:  // a bare integer prefix that runs long or overflows
      out->push_back(char(0xff));
      for (int i = in.ConsumeIntegralInRange<int>(0, 6); i > 0; --i)
        out->push_back(char(in.ConsumeIntegral<uint8_t>() | 0x80));
      out->push_back(char(in.ConsumeIntegral<uint8_t>() & 0x7f));
      return;
    default: {  // a literal: with indexing, without, never indexed
      static constexpr uint8_t kPatterns[] = {0x40, 0x00, 0x10};
      static constexpr unsigned kPrefixes[] = {6, 4, 4};
      const int kind = in.ConsumeIntegralInRange<int>(0, 2);
      const bool by_index = in.ConsumeBool();
      write_integer(out, kPatterns[kind], kPrefixes[kind], by_index ? index_value(in) % 80 : 0);
      if (!by_index) put_string(in, out, pick_text(in, kNames, std::size(kNames)));
      put_string(in, out, pick_text(in, kValues, std::size(kValues)));
      return;
    }
  }
}

std::string block(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeRandomLengthString(48);
  std::string out;
  for (int i = in.ConsumeIntegralInRange<int>(0, 8); i > 0; --i)
    put_representation(in, &out);
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0 && !out.empty())
    out.resize(in.ConsumeIntegralInRange<size_t>(0, out.size() - 1));  // cut short
  return out;
}

struct Outcome {
  DecodeStatus status = DecodeStatus::kComplete;
  std::optional<DecodeError> error;
  bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(const DecodeResult& r) {
  Outcome o{r.status, std::nullopt};
  if (r.status == DecodeStatus::kFailed) o.error = r.error;
  return o;
}

void check_result(const DecodeResult& r, std::string_view fragment) {
  FUZZ_CHECK(r.consumed <= fragment.size());
  if (r.status != DecodeStatus::kFailed && r.status != DecodeStatus::kAbuse)
    FUZZ_CHECK(r.consumed == fragment.size());
}

// The whole block in one call.
Outcome decode_whole(Decoder& d, std::string_view b, uint32_t max_list, HeaderAccumulator* list) {
  const DecodeResult r = d.decode(b, max_list, list);
  check_result(r, b);
  return outcome_of(r);
}

// The block in fragments: a need-more failure on any fragment but the last keeps its tail for
// the next one; any other failure, or abuse, ends the block.
Outcome decode_split(Decoder& d, std::string_view b, const std::vector<size_t>& cuts,
                     uint32_t max_list, HeaderAccumulator* list) {
  std::string remainder;
  size_t pos = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const bool last = i == cuts.size();
    const size_t end = last ? b.size() : std::min(b.size(), pos + cuts[i]);
    std::string fragment = std::move(remainder);
    remainder.clear();
    fragment.append(b.substr(pos, end - pos));
    pos = end;
    const DecodeResult r = d.decode(fragment, max_list, list);
    check_result(r, fragment);
    if (r.status == DecodeStatus::kAbuse) return outcome_of(r);
    if (r.status == DecodeStatus::kFailed) {
      if (last || !is_need_more(r.error)) return outcome_of(r);
      remainder = fragment.substr(r.consumed);
    }
    if (last) return outcome_of(r);
  }
  return {};
}

std::vector<std::pair<std::string, std::string>> fields_of(const HeaderAccumulator& list) {
  std::vector<std::pair<std::string, std::string>> out;
  list.fields().for_each([&](std::string_view name, std::string_view value) {
    const bool lower_token = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return chars::token(c) && !(c >= 'A' && c <= 'Z');
    });
    FUZZ_CHECK(lower_token);
    FUZZ_CHECK(
        std::all_of(value.begin(), value.end(), [](char c) { return chars::field_value(c); }));
    out.emplace_back(name, value);
  });
  return out;
}

void check_table(const DynamicTable& t, uint32_t largest_allowed) {
  uint64_t sum = 0;
  for (size_t i = 0; i < t.count(); ++i)
    sum += entry_size(t.name(i), t.value(i));
  FUZZ_CHECK(sum == t.size());
  FUZZ_CHECK(t.size() <= t.max_size());
  FUZZ_CHECK(t.max_size() <= largest_allowed);
}

void check_huffman(std::string_view coded) {
  static const test_support::BitDecoder walk;
  std::string decoded;
  const bool ok = huffman_decode(coded, &decoded);
  const std::optional<std::string> expected = walk.decode(coded);
  FUZZ_CHECK(ok == expected.has_value());
  if (ok) FUZZ_CHECK(decoded == *expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_huffman(std::string_view(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider in(data, size);
  Decoder whole;
  Decoder split;
  uint32_t largest_allowed = kDefaultTableSize;
  HeaderAccumulator list_whole;
  HeaderAccumulator list_split;
  for (int step = 0; step < 32 && in.remaining_bytes() > 0; ++step) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      const uint32_t max = in.PickValueInArray(kTableSizes);
      whole.queue_max_table_size(max);
      split.queue_max_table_size(max);
      largest_allowed = std::max(largest_allowed, max);
      continue;
    }
    const uint32_t max_list = in.PickValueInArray(kListSizes);
    std::vector<size_t> cuts;
    for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; --i)
      cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, 12));
    const std::string b = block(in);
    list_whole.clear();
    list_split.clear();
    const Outcome a = decode_whole(whole, b, max_list, &list_whole);
    const Outcome c = decode_split(split, b, cuts, max_list, &list_split);
    FUZZ_CHECK(a == c);
    FUZZ_CHECK(whole.allowed_max_table_size() == split.allowed_max_table_size());
    check_table(whole.table(), largest_allowed);
    FUZZ_CHECK(same_table(whole.table(), split.table()));
    if (a.status == DecodeStatus::kFailed || a.status == DecodeStatus::kAbuse) break;
    FUZZ_CHECK(list_whole.pseudo() == list_split.pseudo());
    FUZZ_CHECK(fields_of(list_whole) == fields_of(list_split));
    FUZZ_CHECK(list_whole.list_size() == list_split.list_size());
    FUZZ_CHECK(list_whole.malformed() == list_split.malformed());
    FUZZ_CHECK(list_whole.over_size() == list_split.over_size());
    FUZZ_CHECK((a.status == DecodeStatus::kMalformed) == list_whole.malformed());
  }
  return 0;
}
