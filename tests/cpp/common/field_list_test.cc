#include "wire/common/field_list.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quillet {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const FieldList& list) {
  Pairs out;
  list.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

Pairs pairs_of(const HeaderMap& map) {
  Pairs out;
  map.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

// A list of distinct names iterates as the map filled from it does; a repeated name (in any
// case) is noticed, since the map would group its values.
TEST(FieldList, DistinctNamesIterateAsTheirMap) {
  const Pairs cases[] = {
      {},
      {{"Host", "x"}},
      {{"Host", "x"}, {"Accept", "*/*"}, {"sec-fetch-site", "none"}, {"sec-fetch-mode", "cors"}},
      {{"a", "1"}, {"b", "2"}, {"A", "3"}},
      {{"x-long-header-name-one", "1"}, {"X-LONG-HEADER-NAME-ONE", ""}},
      {{"cookie", "a=1"}, {"host", "h"}, {"cookie", "b=2"}},
  };
  for (const Pairs& fields : cases) {
    FieldList list;
    bool repeats = false;
    for (size_t i = 0; i < fields.size(); ++i) {
      list.add(fields[i].first, fields[i].second);
      for (size_t j = 0; j < i; ++j)
        repeats |= equals_ignore_case(fields[i].first, fields[j].first);
    }
    HeaderMap map;
    ASSERT_TRUE(list.fill(&map));
    HeaderMap appended;
    for (const auto& [n, v] : fields)
      ASSERT_TRUE(appended.append(n, v));
    EXPECT_EQ(map, appended);
    EXPECT_EQ(pairs_of(map), pairs_of(appended));  // same order too
    EXPECT_EQ(list.size(), fields.size());
    EXPECT_EQ(list.distinct(), !repeats);
    if (list.distinct()) {
      EXPECT_EQ(pairs_of(list), pairs_of(map));
    }
  }
}

TEST(FieldList, RandomNamesAgreeWithTheMap) {
  std::mt19937 rng(99);
  const std::string letters = "abcAB-";
  for (int round = 0; round < 3000; ++round) {
    FieldList list;
    HeaderMap appended;
    for (int k = int(rng() % 40); k > 0; --k) {
      std::string name(1 + rng() % 4, 'a');
      for (char& c : name)
        c = letters[rng() % letters.size()];
      const std::string value(rng() % 3, 'v');
      list.add(name, value);
      ASSERT_TRUE(appended.append(name, value));
    }
    const bool distinct = appended.name_count() == appended.size();
    ASSERT_EQ(list.distinct(), distinct);
    HeaderMap map;
    ASSERT_TRUE(list.fill(&map));
    ASSERT_EQ(pairs_of(map), pairs_of(appended));
    if (distinct) {
      ASSERT_EQ(pairs_of(list), pairs_of(appended));
    }
  }
}

// Names are folded a word at a time: every token byte, in names of every length up to five
// words, at every offset, comes out as the byte-by-byte fold gives it.
TEST(FieldList, NamesOfEveryLengthFoldAsBytes) {
  std::string tokens;
  for (int c = 0; c < 256; ++c) {
    if (chars::token(char(c))) tokens.push_back(char(c));
  }
  std::mt19937 rng(7);
  for (size_t length = 1; length <= 40; ++length) {
    for (int round = 0; round < 50; ++round) {
      std::string name(length, 'x');
      for (char& c : name)
        c = tokens[rng() % tokens.size()];
      std::string lower = name;
      for (char& c : lower)
        c = ascii_lower(c);
      FieldList list;
      list.add(name, "v");
      ASSERT_EQ(pairs_of(list), (Pairs{{lower, "v"}})) << name;
    }
  }
}

// Thousands of names that collide in the filter stop being compared once the budget is spent:
// the list then says "not distinct", which only costs its reader a map.
TEST(FieldList, LookAlikeNamesEndInTheConservativeAnswer) {
  FieldList list;
  for (int k = 0; k < 3000; ++k) {
    std::string name = "x-" + std::to_string(100000 + k) + "-y";
    list.add(name, "v");
  }
  EXPECT_FALSE(list.distinct());
  HeaderMap map;
  ASSERT_TRUE(list.fill(&map));
  EXPECT_EQ(map.name_count(), 3000u);
  list.clear();
  EXPECT_TRUE(list.empty());
  list.add("a", "1");
  EXPECT_TRUE(list.distinct());
}

// A lookup reads the list as it is, repeated names or not, and gives what the map filled from it
// gives: the first value in wire order, found in any case, absent for names that differ from a
// stored one only in length (longer, shorter, a prefix) or in one byte (a byte above 0x7F too).
TEST(FieldList, FirstAgreesWithTheMap) {
  const Pairs fields = {
      {"Server", "nginx"},   {"Set-Cookie", "a=1"}, {"x-a-rather-long-header-name", "long"},
      {"set-cookie", "b=2"}, {"Empty", ""},         {"SET-COOKIE", "c=3"},
  };
  FieldList list;
  for (const auto& [n, v] : fields)
    list.add(n, v);
  ASSERT_FALSE(list.distinct());
  HeaderMap map;
  ASSERT_TRUE(list.fill(&map));
  const std::string_view asked[] = {
      "server",
      "SERVER",
      "sErVeR",
      "set-cookie",
      "Set-Cookie",
      "x-a-rather-long-header-name",
      "X-A-RATHER-LONG-HEADER-NAME",
      "empty",
      "serve",
      "servers",
      "s",
      "set-cookiex",
      "x-a-rather-long-header-namf",
      "y-a-rather-long-header-name",
      "x-a-rather-long-header-nam",
      "content-encoding",
      "\200erver",
      "server\x80",
      "x-a-rather\x80long-header-name",
      "x-a-rather-long-header-nam\x80",
  };
  for (std::string_view name : asked) {
    EXPECT_EQ(list.first(name), map.first(name)) << name;
    EXPECT_EQ(list.contains(name), map.contains(name)) << name;
  }
  EXPECT_EQ(list.first("SET-cookie"), std::optional<std::string_view>("a=1"));
  EXPECT_EQ(list.first("empty"), std::optional<std::string_view>(""));
  EXPECT_FALSE(list.first("serve").has_value());

  FieldList empty;
  EXPECT_FALSE(empty.first("server").has_value());
  EXPECT_FALSE(empty.contains(""));
  list.clear();
  EXPECT_FALSE(list.contains("server"));
}

TEST(FieldList, RandomLookupsAgreeWithTheMap) {
  std::mt19937 rng(5);
  const std::string letters = "abAB-";
  auto random_name = [&] {
    std::string name(1 + rng() % 12, 'a');
    for (char& c : name)
      c = letters[rng() % letters.size()];
    return name;
  };
  for (int round = 0; round < 2000; ++round) {
    FieldList list;
    for (int k = int(rng() % 20); k > 0; --k)
      list.add(random_name(), std::to_string(k));
    HeaderMap map;
    ASSERT_TRUE(list.fill(&map));
    for (int q = 0; q < 10; ++q) {
      const std::string name = random_name();
      ASSERT_EQ(list.first(name), map.first(name)) << name;
    }
  }
}

}  // namespace
}  // namespace quillet
