// The encoder: its choice of representation, the further values of a name, table size
// announcements, and random header lists that must decode to what went in.
#include "tests/cpp/h2/hpack_support.h"
#include "wire/h2/hpack/primitives.h"

#include <gtest/gtest.h>

#include <random>

namespace quillet::h2::hpack {
namespace {

using test::Fields;
using test::hex;
using test::kNoLimit;

std::string str(std::string_view s) {
  std::string out;
  write_string(&out, s);
  return out;
}

// Decodes `block` in one piece and checks that it is complete.
Fields decode_ok(Decoder& d, std::string_view block) {
  HeaderAccumulator list;
  const DecodeResult r = d.decode(block, kNoLimit, &list);
  EXPECT_EQ(r.status, DecodeStatus::kComplete);
  return test::fields_of(list);
}

TEST(HpackEncoder, RepresentationOfOneField) {
  const std::pair<Fields, std::string> cases[] = {
      {{{":method", "GET"}}, hex("82")},
      {{{":method", "POST"}}, hex("83")},
      {{{":path", "/"}}, hex("84")},
      {{{":path", "/index.html"}}, hex("85")},
      {{{":scheme", "http"}}, hex("86")},
      {{{":scheme", "https"}}, hex("87")},
      {{{":status", "200"}}, hex("88")},
      {{{":status", "500"}}, hex("8e")},
      {{{"accept-encoding", "gzip, deflate"}}, hex("90")},
      // Never indexed: a literal with the static name, never inserted.
      {{{":path", "/x"}}, hex("04") + str("/x")},
      {{{"authorization", "Basic x"}}, hex("0f08") + str("Basic x")},
      {{{"set-cookie", "a=b"}}, hex("0f28") + str("a=b")},
      // Inserted, named by the static index or literally.
      {{{":method", "PUT"}}, hex("42") + str("PUT")},
      {{{":authority", "h"}}, hex("41") + str("h")},
      {{{"accept-encoding", "br"}}, hex("50") + str("br")},
      {{{":protocol", "websocket"}}, hex("40") + str(":protocol") + str("websocket")},
      {{{"x-custom", ""}}, hex("40") + str("x-custom") + hex("00")},
  };
  for (const auto& [fields, expected] : cases) {
    Encoder e;
    EXPECT_EQ(test::encode(e, fields), expected) << fields[0].first << ": " << fields[0].second;
    const bool inserted = expected[0] & 0x40;
    EXPECT_EQ(e.table().count(), inserted ? 1u : 0u) << fields[0].first;
  }
  EXPECT_EQ(str("a"), hex("811f"));  // Huffman-coded even when no shorter
}

TEST(HpackEncoder, DynamicEntriesAreFoundAgain) {
  Encoder e;
  const Fields custom = {{"x-custom", "a"}};
  EXPECT_EQ(test::encode(e, custom), hex("40") + str("x-custom") + str("a"));
  EXPECT_EQ(test::encode(e, custom), hex("be"));
  // Another value of the name takes the name from the entry, as it stands before insertion.
  EXPECT_EQ(test::encode(e, {{"x-custom", "b"}}), hex("7e") + str("b"));
  EXPECT_EQ(test::encode(e, {{"x-custom", "a"}, {"x-other", ""}}).substr(0, 1), hex("bf"));
}

TEST(HpackEncoder, NeverIndexedFieldsStayOutOfTheTable) {
  for (std::string_view name :
       {"age", "authorization", "content-length", "cookie", "etag", "if-modified-since",
        "if-none-match", "location", "set-cookie", ":path"}) {
    Encoder e;
    Decoder d;
    const Fields fields = {{std::string(name), "/secret"}};
    const std::string first = test::encode(e, fields);
    EXPECT_EQ(test::encode(e, fields), first) << name;
    EXPECT_EQ(first[0] & 0xf0, 0) << name;  // literal without indexing
    EXPECT_EQ(e.table().count(), 0u) << name;
    EXPECT_EQ(decode_ok(d, first), fields);
  }
}

TEST(HpackEncoder, FieldsOverThreeQuartersOfTheTableAreNotIndexed) {
  Encoder e;
  const std::string fits(3072 - 32 - 5, 'v');  // entry size 3072: 4 x 3072 = 3 x 4096
  test::encode(e, {{"x-big", fits}});
  EXPECT_EQ(e.table().count(), 1u);
  EXPECT_EQ(test::encode(e, {{"x-big", fits + "v"}}), hex("00") + str("x-big") + str(fits + "v"));
  EXPECT_EQ(test::encode(e, {{"user-agent", fits + "v"}}), hex("0f2b") + str(fits + "v"));
  EXPECT_EQ(e.table().count(), 1u);
  e.update_max_table_size(100);  // 75 octets fit, 76 do not
  test::encode(e, {{"x-a", std::string(40, 'v')}});
  EXPECT_EQ(e.table().count(), 1u);
  test::encode(e, {{"x-a", std::string(41, 'v')}});
  EXPECT_EQ(e.table().count(), 1u);
  EXPECT_EQ(e.table().value(0), std::string(40, 'v'));
}

// Further values of a name are literals that name it by index. When the first value was just
// inserted, the index is that of the new entry: the index the name had before has moved on.
TEST(HpackEncoder, FurtherValuesNameTheEntryTheFirstValueMade) {
  Encoder e;
  Decoder d;
  const Fields first = {{"x-multi", "a"}, {"x-other", "b"}};  // x-multi ends up at 63
  EXPECT_EQ(decode_ok(d, test::encode(e, first)), first);
  const Fields second = {{"x-multi", "c"}, {"x-multi", "d"}, {"x-multi", "e"}};
  const std::string block = test::encode(e, second);
  EXPECT_EQ(block, hex("7f00") + str("c") + hex("0f2f") + str("d") + hex("0f2f") + str("e"));
  EXPECT_EQ(decode_ok(d, block), second);
  // The first value found in the table: its index holds, nothing was inserted.
  const Fields third = {{"x-other", "b"}, {"x-other", "z"}};
  const std::string third_block = test::encode(e, third);
  EXPECT_EQ(third_block, hex("bf") + hex("0f30") + str("z"));
  EXPECT_EQ(decode_ok(d, third_block), third);
  // A static name is named by its static index; a literal that was not inserted, literally.
  const std::string huge(4000, 'h');
  const Fields fourth = {{"accept", "1"}, {"accept", "2"}, {"x-huge", huge}, {"x-huge", "2"}};
  const std::string fourth_block = test::encode(e, fourth);
  EXPECT_EQ(fourth_block, hex("53") + str("1") + hex("0f04") + str("2") + hex("00") +
                              str("x-huge") + str(huge) + hex("00") + str("x-huge") + str("2"));
  EXPECT_EQ(decode_ok(d, fourth_block), fourth);
}

TEST(HpackEncoder, TableSizeChangesAreAnnouncedInTheNextBlock) {
  struct Case {
    std::vector<uint32_t> updates;
    std::string_view announced;
    uint32_t max_after;
  };
  const Case cases[] = {
      {{}, "", 4096},
      {{8192}, "", 4096},  // capped at 4096, which the table already has
      {{100}, "3f45", 100},
      {{0}, "20", 0},
      {{100, 50}, "3f13", 50},
      {{100, 4096}, "3f45 3fe11f", 4096},  // the shrink must reach the peer first
      {{100, 4096, 200}, "3f45 3fa901", 200},
      {{100, 4096, 50}, "3f13", 50},
      {{5000, 100}, "3f45", 100},
  };
  for (const Case& c : cases) {
    Encoder e;
    Decoder d;
    for (const uint32_t v : c.updates)
      e.update_max_table_size(v);
    const std::string block = test::encode(e, {});
    EXPECT_EQ(block, hex(c.announced)) << c.announced;
    EXPECT_EQ(e.table().max_size(), c.max_after);
    decode_ok(d, block);
    EXPECT_EQ(d.table().max_size(), c.max_after);
    EXPECT_EQ(test::encode(e, {}), "");  // announced once
  }
  // A growth pending from a smaller table is replaced, not paired.
  Encoder e;
  e.update_max_table_size(100);
  test::encode(e, {});
  e.update_max_table_size(200);
  e.update_max_table_size(300);
  EXPECT_EQ(test::encode(e, {}), hex("3f8d02"));
  // A shrink evicts what no longer fits.
  test::encode(e, {{"x-a", "1"}, {"x-b", "2"}});
  e.update_max_table_size(40);
  test::encode(e, {});
  EXPECT_EQ(test::entries_of(e.table()), (Fields{{"x-b", "2"}}));
}

// The index finds what a scan of the table finds, through insertions, evictions and shrinks.
// (A lost entry would not corrupt a block, only waste table space, so the round trips below
// could not tell.)
TEST(HpackTableIndex, AgreesWithAScanOfTheTable) {
  std::mt19937 rng(42);
  DynamicTable table(kEncoderTableCap);
  TableIndex index;
  index.prepare();
  const auto evict = [&](uint64_t number, std::string_view name, EntryNote note) {
    ASSERT_EQ(note.name_hash, HeaderMap::hash_of(name));
    index.remove(number, note.name_hash);
  };
  const std::string values[] = {"", "a", "b", std::string(100, 'v'), std::string(900, 'w')};
  for (int step = 0; step < 20000; ++step) {
    if (rng() % 100 == 0) {
      table.set_max_size(rng() % (kEncoderTableCap + 1), evict);
    } else {
      if (rng() % 200 == 0) table.set_max_size(kEncoderTableCap, evict);
      const std::string name = "n" + std::to_string(rng() % 30);
      const EntryNote note{HeaderMap::hash_of(name), 0};
      if (table.insert(name, values[rng() % std::size(values)], evict, note))
        index.add_newest(table);
    }
    if (step % 7 != 0) continue;
    for (int n = 0; n < 31; ++n) {  // n30 is never in the table
      const std::string name = "n" + std::to_string(n);
      for (const std::string& value : values) {
        TableIndex::Match scan;
        for (size_t i = table.count(); i-- > 0;) {
          if (table.name(i) != name) continue;
          scan.name = i;
          if (table.value(i) == value) scan.exact = i;
        }
        const TableIndex::Match found = index.find(table, name, HeaderMap::hash_of(name), value);
        ASSERT_EQ(found.name, scan.name) << step << " " << name;
        ASSERT_EQ(found.exact, scan.exact) << step << " " << name;
      }
    }
  }
}

// --- Random header lists ------------------------------------------------------------------------

class ListMaker {
 public:
  explicit ListMaker(uint32_t seed) : rng_(seed) {
    for (int i = 0; i < 12; ++i)
      name_pool_.push_back(random_name());
    for (int i = 0; i < 20; ++i)
      value_pool_.push_back(random_value());
  }

  Fields list() {
    Fields out;
    const char* methods[] = {"GET", "POST", "PUT"};
    if (one_in(2)) out.emplace_back(":method", methods[rng_() % 3]);
    if (one_in(2)) out.emplace_back(":scheme", one_in(2) ? "https" : "ftp");
    // Pseudo-header values must be UTF-8: names from the pool serve.
    if (one_in(2)) out.emplace_back(":authority", pick(name_pool_));
    if (one_in(2)) out.emplace_back(":path", one_in(2) ? "/" : "/" + pick(name_pool_));
    if (one_in(4)) out.emplace_back(":protocol", "websocket");
    if (one_in(3)) out.emplace_back(":status", std::to_string(100 + rng_() % 900));
    const int fields = int(rng_() % 12);
    for (int i = 0; i < fields; ++i) {
      static const char* kStatic[] = {"accept",        "cookie",      "user-agent",
                                      "date",          "location",    "accept-encoding",
                                      "authorization", "content-type"};
      std::string name = one_in(3)   ? kStatic[rng_() % std::size(kStatic)]
                         : one_in(2) ? pick(name_pool_)
                                     : random_name();
      std::string value = one_in(2) ? pick(value_pool_) : random_value();
      const int values = one_in(4) ? 1 + int(rng_() % 3) : 1;
      for (int v = 0; v < values; ++v)
        out.emplace_back(name, v == 0 ? value : random_value());
    }
    return out;
  }

  // A table size change now and then, sometimes two in a row.
  std::vector<uint32_t> size_changes() {
    std::vector<uint32_t> out;
    while (one_in(5)) {
      const uint32_t sizes[] = {0, 1, 40, 100, 256, 1000, 4096, 8192, uint32_t(rng_() % 5000)};
      out.push_back(sizes[rng_() % std::size(sizes)]);
    }
    return out;
  }

  std::mt19937& rng() { return rng_; }

 private:
  bool one_in(unsigned n) { return rng_() % n == 0; }
  const std::string& pick(const std::vector<std::string>& pool) {
    return pool[rng_() % pool.size()];
  }
  std::string random_name() {
    static constexpr std::string_view kChars =
        "abcdefghijklmnopqrstuvwxyz0123456789-_.!#$%&'*+^`|~";
    std::string name = "x-";
    for (size_t n = 1 + rng_() % 20; n > 0; --n)
      name += kChars[rng_() % kChars.size()];
    return name;
  }
  std::string random_value() {
    const size_t n = one_in(20) ? 500 + rng_() % 3000 : rng_() % 30;
    std::string value(n, ' ');
    for (char& c : value) {
      const unsigned r = rng_() % 224;  // HTAB, 0x20 to 0x7e, 0x80 to 0xff
      c = char(r == 0 ? '\t' : r < 96 ? 0x1f + r : 0x80 + (r - 96));
    }
    // A received value may not start or end with SP or HTAB.
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.front() = 'a';
    if (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.back() = 'z';
    return value;
  }

  std::mt19937 rng_;
  std::vector<std::string> name_pool_;
  std::vector<std::string> value_pool_;
};

TEST(HpackEncoder, RandomListsDecodeToTheirInput) {
  for (uint32_t connection = 0; connection < 30; ++connection) {
    ListMaker maker(connection);
    Encoder e;
    Decoder d;
    for (int block_no = 0; block_no < 100; ++block_no) {
      for (const uint32_t v : maker.size_changes()) {
        e.update_max_table_size(v);
        d.queue_max_table_size(v);
      }
      const Fields input = maker.list();
      const std::string block = test::encode(e, input);
      // Received in up to three fragments, as HEADERS and CONTINUATION frames bring it.
      HeaderAccumulator list;
      std::string pending;
      size_t at = 0;
      for (int piece = 0; piece < 3; ++piece) {
        const size_t n = piece == 2 ? block.size() - at : maker.rng()() % (block.size() - at + 1);
        pending += block.substr(at, n);
        at += n;
        const DecodeResult r = d.decode(pending, kNoLimit, &list);
        if (piece < 2 && r.status == DecodeStatus::kFailed && is_need_more(r.error)) {
          pending.erase(0, r.consumed);
          continue;
        }
        ASSERT_EQ(r.status, DecodeStatus::kComplete)
            << connection << " " << block_no << " " << decode_error_name(r.error);
        pending.clear();
      }
      ASSERT_EQ(test::fields_of(list), test::normalised(input)) << connection << " " << block_no;
      ASSERT_EQ(test::entries_of(d.table()), test::entries_of(e.table()));
      ASSERT_EQ(d.table().max_size(), e.table().max_size());
    }
  }
}

}  // namespace
}  // namespace quillet::h2::hpack
