// The decoder: table indexes and size updates, the field rules, the header-list budget, and
// blocks that arrive in pieces.
#include "tests/cpp/h2/hpack_support.h"
#include "wire/h2/connection_fields.h"
#include "wire/h2/header_block.h"
#include "wire/h2/hpack/primitives.h"
#include "wire/h2/hpack/static_table.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace quillet::h2::hpack {
namespace {

using test::Fields;
using test::hex;
using test::kNoLimit;

// Representations written by hand, with raw (not Huffman-coded) strings.
std::string raw(std::string_view s) {
  std::string out;
  write_integer(&out, 0x00, 7, s.size());
  out.append(s);
  return out;
}
std::string indexed(uint32_t index) {
  std::string out;
  write_integer(&out, 0x80, 7, index);
  return out;
}
std::string size_update(uint32_t max) {
  std::string out;
  write_integer(&out, 0x20, 5, max);
  return out;
}
// With incremental indexing (0x40) or without (0x00), and a literal name.
std::string literal(std::string_view name, std::string_view value, uint8_t pattern = 0x40) {
  return std::string(1, char(pattern)) + raw(name) + raw(value);
}
std::string literal_indexed_name(uint32_t index, std::string_view value, bool indexing) {
  std::string out;
  write_integer(&out, indexing ? 0x40 : 0x00, indexing ? 6 : 4, index);
  return out + raw(value);
}

struct Outcome {
  DecodeResult result;
  HeaderAccumulator list;
};

Outcome run(Decoder& d, std::string_view block, uint32_t max_list_size = kNoLimit) {
  Outcome r;
  r.result = d.decode(block, max_list_size, &r.list);
  return r;
}

// Blocks that fail the connection, each alone on a fresh decoder.
TEST(HpackDecoder, ConnectionErrors) {
  const std::pair<std::string, DecodeError> cases[] = {
      {indexed(0), DecodeError::kInvalidTableIndex},
      {indexed(62), DecodeError::kInvalidTableIndex},  // the dynamic table is empty
      {literal_indexed_name(62, "v", false), DecodeError::kInvalidTableIndex},
      {hex("ff 81ffffff 0f"), DecodeError::kIntegerOverflow},  // 2^32
      {hex("40 0161 81ff"), DecodeError::kInvalidHuffmanCode},
      {indexed(2) + size_update(100), DecodeError::kInvalidMaxDynamicSize},
      {size_update(4097), DecodeError::kInvalidMaxDynamicSize},
  };
  for (const auto& [block, error] : cases) {
    Decoder d;
    const DecodeResult r = run(d, block).result;
    EXPECT_EQ(r.status, DecodeStatus::kFailed) << test::hex_of(block);
    EXPECT_EQ(r.error, error) << test::hex_of(block);
  }
}

// Fields at the edge of the rules: accepted, or refused as a malformed block (a stream error).
TEST(HpackDecoder, AcceptedAndMalformedFields) {
  const std::pair<std::string, DecodeStatus> cases[] = {
      {literal(":status", "999"), DecodeStatus::kComplete},
      {literal(":path", "/caf\xc3\xa9"), DecodeStatus::kComplete},
      {literal(":protocol", "websocket"), DecodeStatus::kComplete},
      {literal(std::string(65535, 'a'), ""), DecodeStatus::kComplete},
      {literal("!#$%&'*+-.^_`|~09az", "a\t \x80\xff~"), DecodeStatus::kComplete},
      {literal("te", "trailers"), DecodeStatus::kComplete},
      {literal("te", "Trailers"), DecodeStatus::kMalformed},
      {literal("te", "trailers, deflate"), DecodeStatus::kMalformed},
      {literal("x-a", "1") + indexed(2), DecodeStatus::kMalformed},  // pseudo after regular
      {indexed(2) + indexed(3), DecodeStatus::kMalformed},           // repeated
      // A field that breaks the field rules refuses its message, not the connection.
      {literal(":status", "099"), DecodeStatus::kMalformed},
      {literal(":status", "20"), DecodeStatus::kMalformed},
      {literal(":status", "2000"), DecodeStatus::kMalformed},
      {literal(":foo", "x"), DecodeStatus::kMalformed},
      {literal(":method", "GE T"), DecodeStatus::kMalformed},
      {literal(":method", ""), DecodeStatus::kMalformed},
      {literal(":path", "/\xff"), DecodeStatus::kMalformed},
      {literal(":path", "/a "), DecodeStatus::kMalformed},
      {literal(":authority", "\th"), DecodeStatus::kMalformed},
      {literal(std::string(65536, 'a'), ""), DecodeStatus::kMalformed},
      {literal("X-Upper", "v"), DecodeStatus::kMalformed},
      {literal("a\"", "v"), DecodeStatus::kMalformed},
      {literal("", "v"), DecodeStatus::kMalformed},
      {literal("a b", "v"), DecodeStatus::kMalformed},
      {literal("a:b", "v"), DecodeStatus::kMalformed},
      {literal("caf\xc3\xa9", "v"), DecodeStatus::kMalformed},
      {literal("x-a", "a\rb"), DecodeStatus::kMalformed},
      {literal("x-a", std::string("\0", 1)), DecodeStatus::kMalformed},
      {literal("x-a", "\x7f"), DecodeStatus::kMalformed},
      {literal("x-a", " v"), DecodeStatus::kMalformed},
      {literal("x-a", "v\t"), DecodeStatus::kMalformed},
      {literal("x-a", " "), DecodeStatus::kMalformed},
      {literal("x-a", "a \tb"), DecodeStatus::kComplete},
  };
  for (const auto& [block, status] : cases) {
    Decoder d;
    EXPECT_EQ(run(d, block).result.status, status) << test::hex_of(block);
  }
  Decoder d;
  const Outcome repeated = run(d, indexed(2) + literal("x-a", "1") + indexed(3) + indexed(62));
  EXPECT_EQ(test::fields_of(repeated.list),
            (Fields{{":method", "GET"}, {"x-a", "1"}, {"x-a", "1"}}));
}

// What a block comes to, for comparing two ways of sending the same fields.
struct Verdict {
  DecodeStatus status;
  std::optional<DecodeError> error;
  Fields fields;
  bool operator==(const Verdict&) const = default;
};

Verdict verdict_of(Decoder& d, std::string_view block) {
  const Outcome r = run(d, block);
  const bool failed = r.result.status == DecodeStatus::kFailed;
  return {r.result.status, failed ? std::optional(r.result.error) : std::nullopt,
          test::fields_of(r.list)};
}

// The decoder keeps with each table entry what the field rules made of it, and knows the same
// of the static entries, so that a field the table spells again is not checked again. Whether a
// field arrives by index, by a name from the table with a new value, or fully literal, the block
// comes to the same: the same fields, the same malformed verdict, the same connection error.
TEST(HpackDecoder, FieldsFromTheTableComeToWhatTheirLiteralsDo) {
  const Fields fields = {
      {"x-a", "1"},        {"te", "trailers"},
      {"te", "gzip"},      {"connection", "close"},
      {"", "v"},           {"\"", "v"},
      {"x-\"q\"", "v"},    {":path", "/x"},
      {":path", "/a\rb"},  {":authority", ""},
      {":status", "200"},  {":method", "GET"},
      {":scheme", "\x01"}, {":protocol", "ws\x7f"},
  };
  const std::string_view new_values[] = {"v2",        "",     "200",  "GET",
                                         "/\xc3\xa9", "a\rb", "\xff", "G T"};
  for (const std::string_view before : {"", "x-first"}) {  // pseudo-headers after a field
    const std::string opening = before.empty() ? "" : literal(before, "1", 0x00);
    for (const auto& [name, value] : fields) {
      Decoder literal_only;
      const Verdict expected = verdict_of(literal_only, opening + literal(name, value, 0x00));
      Decoder d;
      ASSERT_NE(run(d, literal(name, value)).result.status, DecodeStatus::kFailed);
      EXPECT_EQ(verdict_of(d, opening + indexed(62)), expected) << name << " " << value;
      for (const std::string_view v : new_values) {
        Decoder fresh;
        EXPECT_EQ(verdict_of(d, opening + literal_indexed_name(62, v, false)),
                  verdict_of(fresh, opening + literal(name, v, 0x00)))
            << name << " " << v;
      }
      // A name taken from the table goes on to the entry the field makes.
      Decoder chained;
      ASSERT_NE(run(chained, literal(name, value)).result.status, DecodeStatus::kFailed);
      ASSERT_NE(run(chained, literal_indexed_name(62, "200", true)).result.status,
                DecodeStatus::kFailed);
      Decoder fresh;
      EXPECT_EQ(verdict_of(chained, indexed(62)), verdict_of(fresh, literal(name, "200", 0x00)))
          << name;
    }
  }
  size_t complete = 0;  // all but transfer-encoding, a connection-specific field
  for (uint32_t i = 1; i <= kStaticTableSize; ++i) {
    const StaticEntry& e = static_entry(i);
    Decoder d;
    Decoder literal_only;
    const Verdict by_index = verdict_of(d, indexed(i));
    EXPECT_EQ(by_index, verdict_of(literal_only, literal(e.name, e.value, 0x00))) << i;
    complete += by_index.status == DecodeStatus::kComplete &&
                by_index.fields == Fields{{std::string(e.name), std::string(e.value)}};
    for (const std::string_view v : new_values) {
      Decoder fresh;
      EXPECT_EQ(verdict_of(d, literal_indexed_name(i, v, false)),
                verdict_of(fresh, literal(e.name, v, 0x00)))
          << i << " " << v;
    }
  }
  EXPECT_EQ(complete, kStaticTableSize - 1);
}

// Values are checked eight octets at a time: a forbidden octet is found at every position of a
// word and of the tail after the last whole word, and the one allowed control, HTAB, passes.
TEST(HpackDecoder, ValueRuleHoldsAtEveryPosition) {
  for (size_t length = 1; length <= 19; ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (int b = 0; b < 256; ++b) {
        std::string value(length, 'v');
        value[at] = char(b);
        const bool allowed = b == '\t' || (b >= 0x20 && b != 0x7f);
        Decoder d;
        const DecodeResult r = run(d, literal("x-a", value, 0x00)).result;
        // SP and HTAB are allowed inside a value, not at its ends.
        const bool edge = (b == ' ' || b == '\t') && (at == 0 || at + 1 == length);
        ASSERT_EQ(r.status, allowed && !edge ? DecodeStatus::kComplete : DecodeStatus::kMalformed)
            << length << " " << at << " " << b;
      }
    }
  }
}

TEST(HpackDecoder, DynamicIndexesFollowInsertions) {
  Decoder d;
  Outcome r = run(d, indexed(61) + literal("x-a", "1") + indexed(62));
  ASSERT_EQ(r.result.status, DecodeStatus::kComplete);
  EXPECT_EQ(test::fields_of(r.list),
            (Fields{{"www-authenticate", ""}, {"x-a", "1"}, {"x-a", "1"}}));
  EXPECT_EQ(run(d, indexed(63)).result.error, DecodeError::kInvalidTableIndex);
}

TEST(HpackDecoder, SizeUpdatesComeFirstAndStayWithinTheAllowedMaximum) {
  Decoder d;
  ASSERT_EQ(run(d, literal("x-a", "1") + literal("x-b", "2")).result.status,
            DecodeStatus::kComplete);
  // Two updates at the start: the first evicts everything, the second sets the maximum.
  ASSERT_EQ(run(d, size_update(0) + size_update(4096) + indexed(2)).result.status,
            DecodeStatus::kComplete);
  EXPECT_EQ(d.table().count(), 0u);
  EXPECT_EQ(d.table().max_size(), 4096u);

  // A local change takes effect at the next fragment; queued twice, the larger counts.
  Decoder q;
  q.queue_max_table_size(100);
  EXPECT_EQ(q.allowed_max_table_size(), 4096u);
  EXPECT_EQ(run(q, size_update(101)).result.error, DecodeError::kInvalidMaxDynamicSize);
  EXPECT_EQ(run(q, size_update(100)).result.status, DecodeStatus::kComplete);
  EXPECT_EQ(q.table().max_size(), 100u);
  q.queue_max_table_size(100);
  q.queue_max_table_size(4096);
  EXPECT_EQ(run(q, size_update(4096)).result.status, DecodeStatus::kComplete);
  q.queue_max_table_size(8000);
  q.queue_max_table_size(50);
  EXPECT_EQ(run(q, size_update(8000)).result.status, DecodeStatus::kComplete);
}

TEST(HpackDecoder, EvictionAndAnEntryLargerThanTheTable) {
  Decoder d;
  const std::string v30(30, 'v');  // entries of 3 + 30 + 32 = 65 octets
  ASSERT_EQ(run(d, size_update(130) + literal("x-a", v30) + literal("x-b", v30)).result.status,
            DecodeStatus::kComplete);
  EXPECT_EQ(d.table().size(), 130u);
  ASSERT_EQ(run(d, literal("x-c", v30)).result.status, DecodeStatus::kComplete);
  EXPECT_EQ(test::entries_of(d.table()), (Fields{{"x-c", v30}, {"x-b", v30}}));
  // The new entry may name the entry its insertion evicts.
  const std::string w29(29, 'w');
  ASSERT_EQ(run(d, literal_indexed_name(63, w29, true)).result.status, DecodeStatus::kComplete);
  EXPECT_EQ(test::entries_of(d.table()), (Fields{{"x-b", w29}, {"x-c", v30}}));
  const Outcome big = run(d, literal("x-d", std::string(100, 'v')));
  EXPECT_EQ(test::fields_of(big.list), (Fields{{"x-d", std::string(100, 'v')}}));
  EXPECT_EQ(d.table().count(), 0u);
  EXPECT_EQ(d.table().size(), 0u);
}

// The table's octets lie end to end in one buffer that is moved back to its start and grows
// as entries come and go. Against a plain list, through random insertions (names and values
// that view entries of the table among them, some larger than the table) and changes of the
// maximum, it holds the same entries and size, and evicts them oldest first.
TEST(HpackDynamicTable, MatchesAPlainListThroughMovesAndGrowth) {
  std::mt19937 rng(2024);
  DynamicTable table(4096);
  Fields model;  // newest first
  Fields evicted;
  Fields expected_evicted;
  uint64_t model_size = 0;
  const auto hook = [&](uint64_t, std::string_view name, EntryNote) {
    evicted.emplace_back(std::string(name), "");
  };
  const auto evict_model = [&](uint64_t limit) {
    while (model_size > limit) {
      model_size -= entry_size(model.back().first, model.back().second);
      expected_evicted.emplace_back(model.back().first, "");
      model.pop_back();
    }
  };
  const auto text = [&](size_t most) {
    std::string s(rng() % (most + 1), 'a');
    for (char& c : s)
      c = char('a' + rng() % 26);
    return s;
  };
  for (int step = 0; step < 6000; ++step) {
    if (rng() % 50 == 0) {
      const uint32_t sizes[] = {0, 64, 300, 4096, 20000};
      const uint32_t max = sizes[rng() % std::size(sizes)];
      table.set_max_size(max, hook);
      evict_model(max);
    } else {
      const bool big = rng() % 40 == 0;
      std::string_view name;
      std::string_view value;
      std::string name_text = text(big ? 3000 : 12);
      std::string value_text = text(big ? 6000 : 60);
      name = name_text;
      value = value_text;
      if (table.count() > 0 && rng() % 3 == 0) name = table.name(rng() % table.count());
      if (table.count() > 0 && rng() % 8 == 0) value = table.value(rng() % table.count());
      const std::string n(name);
      const std::string v(value);
      const uint64_t size = entry_size(n, v);
      const bool inserted = table.insert(name, value, hook);
      if (size > table.max_size()) {
        evict_model(0);
        ASSERT_FALSE(inserted);
      } else {
        evict_model(table.max_size() - size);
        model.insert(model.begin(), {n, v});
        model_size += size;
        ASSERT_TRUE(inserted);
      }
    }
    ASSERT_EQ(test::entries_of(table), model) << step;
    ASSERT_EQ(table.size(), model_size);
    ASSERT_EQ(evicted, expected_evicted);
  }
}

// A pseudo-header value with a control byte is refused like any malformed field, so that no
// CR, LF or NUL reaches a request target; the block is still decoded to its end.
TEST(HpackDecoder, PseudoHeaderValuesFollowTheValueRule) {
  for (std::string_view name : {":authority", ":path", ":scheme", ":protocol"}) {
    for (const char c : {'\r', '\n', '\0', '\x7f', '\x01'}) {
      Decoder d;
      std::string value = "/a";
      value += c;
      const Outcome r = run(d, literal(name, value) + literal("x-after", "1"));
      EXPECT_EQ(r.result.status, DecodeStatus::kMalformed) << name << " " << int(c);
      EXPECT_EQ(test::fields_of(r.list), (Fields{{"x-after", "1"}}));
      EXPECT_EQ(d.table().count(), 2u);  // both insertions happened
    }
    Decoder tab;
    EXPECT_EQ(run(tab, literal(name, "/a\tb")).result.status, DecodeStatus::kComplete);
  }
}

// A name that is no field name makes the block malformed, and decoding goes on so that the
// table stays in step; a later reference to the inserted entry is malformed again.
TEST(HpackDecoder, NamesOutsideTheRulesAreMalformed) {
  for (std::string_view name : {"", "\"", "x-\"quoted\"", "X-Upper", ":foo"}) {
    Decoder d;
    const Outcome r = run(d, literal(name, "v") + literal("x-b", "2") + indexed(63) + indexed(62));
    EXPECT_EQ(r.result.status, DecodeStatus::kMalformed);
    EXPECT_EQ(test::fields_of(r.list), (Fields{{"x-b", "2"}, {"x-b", "2"}}));
    EXPECT_EQ(test::entries_of(d.table()), (Fields{{"x-b", "2"}, {std::string(name), "v"}}));
  }
}

// One list decides both directions: what makes a received block malformed is what a head this
// side sends may not carry (in any case of the name).
TEST(HpackDecoder, ConnectionSpecificFieldsAreMalformedButDecoded) {
  std::vector<std::pair<std::string_view, std::string_view>> refused;
  for (std::string_view name : kConnectionSpecificNames)
    refused.emplace_back(name, "keep-alive");
  refused.emplace_back("te", "gzip");
  refused.emplace_back("te", "trailers, gzip");
  refused.emplace_back("te", "Trailers");
  for (const auto& [name, value] : refused) {
    Decoder d;
    const Outcome r = run(d, indexed(2) + literal(name, value) + literal("x-a", "1"));
    EXPECT_EQ(r.result.status, DecodeStatus::kMalformed) << name << ": " << value;
    EXPECT_EQ(test::fields_of(r.list), (Fields{{":method", "GET"}, {"x-a", "1"}}));
    EXPECT_EQ(d.table().count(), 2u);

    HeaderMap sent;
    ASSERT_TRUE(sent.append("x-a", "1"));
    std::string capitalized(name);
    capitalized[0] = char(capitalized[0] - 'a' + 'A');
    ASSERT_TRUE(sent.append(capitalized, value));
    EXPECT_FALSE(send_headers_allowed(sent)) << name << ": " << value;
  }

  Decoder d;
  EXPECT_EQ(run(d, indexed(2) + literal("te", "trailers")).result.status, DecodeStatus::kComplete);
  HeaderMap sent;
  ASSERT_TRUE(sent.append("TE", "trailers"));
  EXPECT_TRUE(send_headers_allowed(sent));
}

TEST(HpackDecoder, ListBudgetDropsFieldsThenAbuseStopsDecoding) {
  const std::string field = literal("x-a", "12345");  // 3 + 5 + 32 = 40 octets
  Decoder d;
  const Outcome r = run(d, indexed(8) + field + field + field, 100);  // 42, 82, 122, 162
  EXPECT_EQ(r.result.status, DecodeStatus::kComplete);
  EXPECT_EQ(test::fields_of(r.list), (Fields{{":status", "200"}, {"x-a", "12345"}}));
  EXPECT_TRUE(r.list.over_size());
  EXPECT_EQ(r.list.list_size(), 162u);

  // A field that brings the size to exactly the budget is dropped: the list must stay below.
  Decoder exact;
  EXPECT_EQ(run(exact, field + literal("x-b", std::string(25, 'v')), 100).list.fields().size(), 1u);

  // Past four times the budget: abuse, and nothing after that field is decoded.
  Decoder a;
  std::string block;
  for (int i = 0; i < 10; ++i)  // 400: not yet over
    block += field;
  const Outcome at_limit = run(a, block, 100);
  EXPECT_EQ(at_limit.result.status, DecodeStatus::kComplete);
  const Outcome over = run(a, block + literal("x-z", "1") + literal("x-y", "1"), 100);
  EXPECT_EQ(over.result.status, DecodeStatus::kAbuse);
  EXPECT_TRUE(over.list.abuse());
  EXPECT_EQ(a.table().name(0), "x-z");
}

// A list cleared for the next block keeps the memory of its pseudo-header values, never the
// values: each block shows exactly its own, whatever the previous one held or dropped.
TEST(HpackDecoder, AClearedListShowsOnlyTheNextBlocksPseudoHeaders) {
  Decoder d;
  HeaderAccumulator list;
  const std::string long_path = "/" + std::string(400, 'p');  // more than a list keeps
  const std::pair<std::string, Fields> blocks[] = {
      {literal(":method", "GET", 0x00) + literal(":path", "/first/path/of/the/connection", 0x00) +
           literal(":authority", "news.example.org", 0x00),
       {{":method", "GET"},
        {":authority", "news.example.org"},
        {":path", "/first/path/of/the/connection"}}},
      {literal(":status", "204", 0x00), {{":status", "204"}}},
      {literal(":path", "/b", 0x00) + literal(":method", "POST", 0x00),
       {{":method", "POST"}, {":path", "/b"}}},
      {literal(":path", long_path, 0x00), {{":path", long_path}}},
      {literal(":path", "/c", 0x00), {{":path", "/c"}}},
      {literal(":path", std::string(50, 'x'), 0x00), {}},  // over the budget: dropped
      {literal(":method", "GET", 0x00), {{":method", "GET"}}},
  };
  for (const auto& [block, fields] : blocks) {
    list.clear();
    const uint32_t budget = fields.empty() ? 60 : kNoLimit;
    ASSERT_EQ(d.decode(block, budget, &list).status, DecodeStatus::kComplete);
    EXPECT_EQ(test::fields_of(list), fields);
  }
}

TEST(HpackDecoder, BudgetRunsOnAcrossFragmentsOfOneBlock) {
  const std::string field = literal("x-a", "12345");
  Decoder d;
  HeaderAccumulator list;
  EXPECT_EQ(d.decode(field + field, 100, &list).status, DecodeStatus::kComplete);
  EXPECT_EQ(d.decode(field, 100, &list).status, DecodeStatus::kComplete);
  EXPECT_EQ(list.list_size(), 120u);
  EXPECT_EQ(list.fields().size(), 2u);
  list.clear();
  EXPECT_EQ(d.decode(field, 100, &list).status, DecodeStatus::kComplete);
  EXPECT_EQ(list.fields().size(), 1u);
}

// A block means the same however it is cut into fragments: a size update after a field is
// refused also when a later fragment (a CONTINUATION frame) opens with it.
TEST(HpackDecoder, SizeUpdateAfterAFieldIsRefusedInALaterFragment) {
  Decoder d;
  HeaderAccumulator list;
  EXPECT_EQ(d.decode(indexed(6), kNoLimit, &list).status, DecodeStatus::kComplete);
  const DecodeResult r = d.decode(size_update(6), kNoLimit, &list);
  EXPECT_EQ(r.status, DecodeStatus::kFailed);
  EXPECT_EQ(r.error, DecodeError::kInvalidMaxDynamicSize);
  list.clear();  // the next block may open with one
  EXPECT_EQ(d.decode(size_update(6), kNoLimit, &list).status, DecodeStatus::kComplete);
  EXPECT_EQ(d.table().max_size(), 6u);
}

// Cut anywhere, a block reports which part of a representation is missing, keeps what it
// decoded, and completes once the rest arrives, with the same list and table as in one piece.
TEST(HpackDecoder, BlockCutAtEveryOctet) {
  const std::string long_value(300, 'q');  // a length with continuation octets
  const std::string block =
      size_update(200) + indexed(2) + hex("4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf") +
      literal("x-long", long_value, 0x00) + literal("x-a", "1", 0x10) + indexed(62);
  Decoder whole;
  const Outcome expected = run(whole, block);
  ASSERT_EQ(expected.result.status, DecodeStatus::kComplete);
  std::set<DecodeError> seen;
  for (size_t cut = 0; cut <= block.size(); ++cut) {
    Decoder d;
    HeaderAccumulator list;
    const DecodeResult first = d.decode(block.substr(0, cut), kNoLimit, &list);
    if (first.status == DecodeStatus::kFailed) {
      ASSERT_TRUE(is_need_more(first.error)) << cut;
      seen.insert(first.error);
    } else {
      ASSERT_EQ(first.status, DecodeStatus::kComplete);
      ASSERT_EQ(first.consumed, cut);
    }
    const std::string rest = block.substr(first.consumed);
    ASSERT_EQ(d.decode(rest, kNoLimit, &list).status, DecodeStatus::kComplete) << cut;
    EXPECT_EQ(test::fields_of(list), test::fields_of(expected.list)) << cut;
    EXPECT_EQ(test::entries_of(d.table()), test::entries_of(whole.table())) << cut;
  }
  EXPECT_EQ(seen,
            (std::set<DecodeError>{DecodeError::kUnexpectedEndOfStream,
                                   DecodeError::kIntegerUnderflow, DecodeError::kStringUnderflow}));
}

}  // namespace
}  // namespace quillet::h2::hpack
