// The examples of RFC 7541 Appendix C: each block decodes to its documented header list and
// leaves the documented table, and our encoder's blocks for the same lists decode back to them.
#include "tests/cpp/h2/hpack_support.h"
#include "wire/h2/hpack/primitives.h"

#include <gtest/gtest.h>

namespace quillet::h2::hpack {
namespace {

using test::Fields;
using test::hex;

struct Example {
  std::string_view block;
  Fields list;
  Fields table;  // newest first
  uint32_t table_size;
};

struct Sequence {
  const char* name;
  uint32_t table_max;
  std::vector<Example> blocks;
};

const Fields kRequest1 = {
    {":method", "GET"}, {":scheme", "http"}, {":path", "/"}, {":authority", "www.example.com"}};
const Fields kRequest2 = {{":method", "GET"},
                          {":scheme", "http"},
                          {":path", "/"},
                          {":authority", "www.example.com"},
                          {"cache-control", "no-cache"}};
const Fields kRequest3 = {{":method", "GET"},
                          {":scheme", "https"},
                          {":path", "/index.html"},
                          {":authority", "www.example.com"},
                          {"custom-key", "custom-value"}};
const Fields kRequestTable1 = {{":authority", "www.example.com"}};
const Fields kRequestTable2 = {{"cache-control", "no-cache"}, {":authority", "www.example.com"}};
const Fields kRequestTable3 = {{"custom-key", "custom-value"},
                               {"cache-control", "no-cache"},
                               {":authority", "www.example.com"}};

const std::string kDate1 = "Mon, 21 Oct 2013 20:13:21 GMT";
const std::string kDate2 = "Mon, 21 Oct 2013 20:13:22 GMT";
const std::string kLocation = "https://www.example.com";
const std::string kCookie = "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1";
const Fields kResponse1 = {
    {":status", "302"}, {"cache-control", "private"}, {"date", kDate1}, {"location", kLocation}};
const Fields kResponse2 = {
    {":status", "307"}, {"cache-control", "private"}, {"date", kDate1}, {"location", kLocation}};
const Fields kResponse3 = {
    {":status", "200"},      {"cache-control", "private"}, {"date", kDate2},
    {"location", kLocation}, {"content-encoding", "gzip"}, {"set-cookie", kCookie}};
const Fields kResponseTable1 = {
    {"location", kLocation}, {"date", kDate1}, {"cache-control", "private"}, {":status", "302"}};
const Fields kResponseTable2 = {
    {":status", "307"}, {"location", kLocation}, {"date", kDate1}, {"cache-control", "private"}};
const Fields kResponseTable3 = {
    {"set-cookie", kCookie}, {"content-encoding", "gzip"}, {"date", kDate2}};

const std::vector<Sequence>& sequences() {
  static const std::vector<Sequence> all = {
      {"C.2.1",
       4096,
       {{"400a 6375 7374 6f6d 2d6b 6579 0d63 7573 746f 6d2d 6865 6164 6572",
         {{"custom-key", "custom-header"}},
         {{"custom-key", "custom-header"}},
         55}}},
      {"C.2.2", 4096, {{"040c 2f73 616d 706c 652f 7061 7468", {{":path", "/sample/path"}}, {}, 0}}},
      {"C.2.3",
       4096,
       {{"1008 7061 7373 776f 7264 0673 6563 7265 74", {{"password", "secret"}}, {}, 0}}},
      {"C.2.4", 4096, {{"82", {{":method", "GET"}}, {}, 0}}},
      {"C.3",
       4096,
       {{"8286 8441 0f77 7777 2e65 7861 6d70 6c65 2e63 6f6d", kRequest1, kRequestTable1, 57},
        {"8286 84be 5808 6e6f 2d63 6163 6865", kRequest2, kRequestTable2, 110},
        {"8287 85bf 400a 6375 7374 6f6d 2d6b 6579 0c63 7573 746f 6d2d 7661 6c75 65", kRequest3,
         kRequestTable3, 164}}},
      {"C.4",
       4096,
       {{"8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff", kRequest1, kRequestTable1, 57},
        {"8286 84be 5886 a8eb 1064 9cbf", kRequest2, kRequestTable2, 110},
        {"8287 85bf 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf", kRequest3, kRequestTable3,
         164}}},
      {"C.5",
       256,
       {{"4803 3330 3258 0770 7269 7661 7465 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 "
         "2032 303a 3133 3a32 3120 474d 546e 1768 7474 7073 3a2f 2f77 7777 2e65 7861 6d70 "
         "6c65 2e63 6f6d",
         kResponse1, kResponseTable1, 222},
        {"4803 3330 37c1 c0bf", kResponse2, kResponseTable2, 222},
        {"88c1 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a 3133 3a32 3220 474d "
         "54c0 5a04 677a 6970 7738 666f 6f3d 4153 444a 4b48 514b 425a 584f 5157 454f 5049 "
         "5541 5851 5745 4f49 553b 206d 6178 2d61 6765 3d33 3630 303b 2076 6572 7369 6f6e "
         "3d31",
         kResponse3, kResponseTable3, 215}}},
      {"C.6",
       256,
       {{"4882 6402 5885 aec3 771a 4b61 96d0 7abe 9410 54d4 44a8 2005 9504 0b81 66e0 82a6 "
         "2d1b ff6e 919d 29ad 1718 63c7 8f0b 97c8 e9ae 82ae 43d3",
         kResponse1, kResponseTable1, 222},
        {"4883 640e ffc1 c0bf", kResponse2, kResponseTable2, 222},
        {"88c1 6196 d07a be94 1054 d444 a820 0595 040b 8166 e084 a62d 1bff c05a 839b d9ab "
         "77ad 94e7 821d d7f2 e6c7 b335 dfdf cd5b 3960 d5af 2708 7f36 72c1 ab27 0fb5 291f "
         "9587 3160 65c0 03ed 4ee5 b106 3d50 07",
         kResponse3, kResponseTable3, 215}}},
  };
  return all;
}

// A decoder whose table maximum is already `table_max`, as the examples assume: the peer's
// size update reaches it ahead of the first example block.
Decoder decoder_with_table(uint32_t table_max) {
  Decoder d;
  std::string update;
  write_integer(&update, 0x20, 5, table_max);
  HeaderAccumulator none;
  EXPECT_EQ(d.decode(update, test::kNoLimit, &none).status, DecodeStatus::kComplete);
  return d;
}

TEST(HpackRfcExamples, DecodeToTheDocumentedListsAndTables) {
  for (const Sequence& seq : sequences()) {
    Decoder d = decoder_with_table(seq.table_max);
    for (size_t i = 0; i < seq.blocks.size(); ++i) {
      const Example& ex = seq.blocks[i];
      HeaderAccumulator list;
      const DecodeResult r = d.decode(hex(ex.block), test::kNoLimit, &list);
      ASSERT_EQ(r.status, DecodeStatus::kComplete) << seq.name << " block " << i;
      EXPECT_EQ(r.consumed, hex(ex.block).size());
      EXPECT_EQ(test::fields_of(list), test::normalised(ex.list)) << seq.name << " " << i;
      EXPECT_EQ(test::entries_of(d.table()), ex.table) << seq.name << " " << i;
      EXPECT_EQ(d.table().size(), ex.table_size) << seq.name << " " << i;
    }
  }
}

TEST(HpackRfcExamples, OurEncodingOfTheListsDecodesBack) {
  for (const Sequence& seq : sequences()) {
    Encoder e;
    e.update_max_table_size(seq.table_max);
    Decoder d;
    for (const Example& ex : seq.blocks) {
      HeaderAccumulator list;
      const std::string block = test::encode(e, ex.list);
      ASSERT_EQ(d.decode(block, test::kNoLimit, &list).status, DecodeStatus::kComplete);
      EXPECT_EQ(test::fields_of(list), test::normalised(ex.list)) << seq.name;
      EXPECT_EQ(test::entries_of(d.table()), test::entries_of(e.table())) << seq.name;
    }
  }
}

}  // namespace
}  // namespace quillet::h2::hpack
