#include "wire/common/header_map.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quillet {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const HeaderMap& m) {
  Pairs out;
  m.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

std::vector<std::string> names_of(const HeaderMap& m) {
  std::vector<std::string> out;
  m.for_each_name([&](std::string_view n) { out.emplace_back(n); });
  return out;
}

std::vector<std::string> values_of(const HeaderMap& m, std::string_view name) {
  std::vector<std::string> out;
  m.for_each_value(name, [&](std::string_view v) { out.emplace_back(v); });
  return out;
}

// prefix + decimal i (built by appending: GCC 12 misreports `"literal" + std::string`)
std::string numbered(std::string prefix, size_t i) {
  prefix += std::to_string(i);
  return prefix;
}

std::string lower(std::string s) {
  for (char& c : s)
    c = ascii_lower(c);
  return s;
}

TEST(HeaderName, LengthAndTokenCharacters) {
  EXPECT_FALSE(is_valid_header_name(""));
  EXPECT_TRUE(is_valid_header_name("a"));
  EXPECT_TRUE(is_valid_header_name(std::string(65535, 'a')));
  EXPECT_FALSE(is_valid_header_name(std::string(65536, 'a')));
  EXPECT_TRUE(is_valid_header_name("!#$%&'*+-.^_`|~09azAZ"));
  for (std::string_view bad : {"a b", "a:b", "a\tb", "(a)", "a\"", "caf\xc3\xa9", "a\x7f"})
    EXPECT_FALSE(is_valid_header_name(bad)) << bad;
}

TEST(HeaderValue, FieldBytes) {
  EXPECT_TRUE(is_valid_header_value(""));
  EXPECT_TRUE(is_valid_header_value("text/html; q=0.9\t, x"));
  EXPECT_TRUE(is_valid_header_value("\x80\xff"));
  for (int c = 0; c < 256; ++c) {
    const std::string one(1, char(c));
    const bool ok = c == '\t' || (c >= 0x20 && c != 0x7f);
    EXPECT_EQ(is_valid_header_value(one), ok) << c;
  }
}

// The checks take names four bytes and values eight bytes at a time; one byte anywhere in a
// text of any length decides as the byte-by-byte grammar does.
TEST(HeaderValue, WideChecksAgreeWithTheGrammar) {
  const std::string bytes("a\t\x1f \x7e\x7f\x80\xff\0-:", 11);
  std::mt19937 rng(5);
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 40, 'a');
    for (size_t k = rng() % 3; k > 0 && !text.empty(); --k)
      text[rng() % text.size()] = bytes[rng() % bytes.size()];
    bool value = true;
    bool name = !text.empty();
    for (const char c : text) {
      value = value && chars::field_value(c);
      name = name && chars::token(c);
    }
    ASSERT_EQ(is_valid_header_value(text), value) << round;
    ASSERT_EQ(is_valid_header_name(text), name) << round;
  }
}

TEST(HeaderMap, KeepsEntryOrderAndChainsValuesOfOneName) {
  HeaderMap m;
  EXPECT_TRUE(m.empty());
  ASSERT_TRUE(m.append("a", "1"));
  ASSERT_TRUE(m.append("b", "2"));
  ASSERT_TRUE(m.append("A", "3"));
  ASSERT_TRUE(m.append("c", ""));
  EXPECT_EQ(pairs_of(m), (Pairs{{"a", "1"}, {"a", "3"}, {"b", "2"}, {"c", ""}}));
  EXPECT_EQ(m.size(), 4u);
  EXPECT_EQ(m.name_count(), 3u);
  EXPECT_EQ(values_of(m, "a"), (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(m.first("a"), "1");
  EXPECT_EQ(m.first("c"), "");
  EXPECT_EQ(m.first("d"), std::nullopt);
  EXPECT_TRUE(values_of(m, "d").empty());
}

TEST(HeaderMap, FoldsNamesAndIgnoresCaseInLookups) {
  HeaderMap m;
  ASSERT_TRUE(m.append("Content-Type", "text/plain"));
  ASSERT_TRUE(m.append("X-A-Rather-Long-Header-NAME", "1"));
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"content-type", "x-a-rather-long-header-name"}));
  EXPECT_EQ(m.first("CONTENT-TYPE"), "text/plain");
  EXPECT_TRUE(m.contains("x-a-rather-long-header-name"));
  EXPECT_TRUE(m.contains("X-A-RATHER-LONG-HEADER-Name"));
  EXPECT_FALSE(m.contains("X-A-RATHER-LONG-HEADER-Nam"));
  EXPECT_FALSE(m.contains("content-typf"));
}

// Every token character, alone and at each position of a name longer than a machine word, folds
// to ascii_lower of itself and stays distinct from every other: no two of ^ and ~, _ and DEL,
// or ` and @ may meet under the folding.
TEST(HeaderMap, FoldingIsExactForEveryTokenCharacter) {
  std::vector<std::string> names;
  for (int c = 0; c < 256; ++c) {
    if (!chars::kToken[c]) continue;
    names.emplace_back(1, char(c));
    for (size_t at = 0; at < 17; at += 4) {
      std::string n(17, '-');
      n[at] = char(c);
      names.push_back(n);
    }
  }
  HeaderMap m;
  std::vector<std::string> expected;  // distinct lower-case names in first-seen order
  std::set<std::string> seen;
  for (const std::string& n : names) {
    ASSERT_TRUE(m.append(n, n));
    if (seen.insert(lower(n)).second) expected.push_back(lower(n));
  }
  EXPECT_EQ(names_of(m), expected);
  for (const std::string& n : names) {
    EXPECT_TRUE(m.contains(n)) << n;
    EXPECT_EQ(m.first(n), m.first(lower(n))) << n;
  }
}

TEST(HeaderMap, RemovalMovesTheLastEntryIntoTheGap) {
  HeaderMap m;
  for (const char* n : {"a", "b", "c", "d"})
    ASSERT_TRUE(m.append(n, n));
  ASSERT_TRUE(m.append("d", "d2"));
  ASSERT_TRUE(m.append("b", "b2"));
  EXPECT_TRUE(m.remove("B"));
  EXPECT_EQ(pairs_of(m), (Pairs{{"a", "a"}, {"d", "d"}, {"d", "d2"}, {"c", "c"}}));
  EXPECT_EQ(m.size(), 4u);
  EXPECT_FALSE(m.remove("b"));
  EXPECT_TRUE(m.remove("c"));  // the last entry: nothing moves
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(values_of(m, "d"), (std::vector<std::string>{"d", "d2"}));
  EXPECT_TRUE(m.remove("a"));
  EXPECT_TRUE(m.remove("d"));
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(m.contains("d"));
  ASSERT_TRUE(m.append("e", "1"));  // an emptied map is reusable
  EXPECT_EQ(pairs_of(m), (Pairs{{"e", "1"}}));
}

TEST(HeaderMap, ReplaceKeepsThePositionAndDropsTheChain) {
  HeaderMap m;
  ASSERT_TRUE(m.append("a", "1"));
  ASSERT_TRUE(m.append("b", "2"));
  ASSERT_TRUE(m.append("a", "3"));
  ASSERT_TRUE(m.append("a", "4"));
  ASSERT_TRUE(m.replace("A", "5"));
  EXPECT_EQ(pairs_of(m), (Pairs{{"a", "5"}, {"b", "2"}}));
  EXPECT_EQ(m.size(), 2u);
  ASSERT_TRUE(m.append("a", "6"));  // a chain grows again after replacement
  ASSERT_TRUE(m.replace("c", "7"));
  EXPECT_EQ(pairs_of(m), (Pairs{{"a", "5"}, {"a", "6"}, {"b", "2"}, {"c", "7"}}));
}

TEST(HeaderMap, EqualityComparesTheValueListOfEachName) {
  HeaderMap a, b;
  EXPECT_EQ(a, b);
  ASSERT_TRUE(a.append("x", "1"));
  ASSERT_TRUE(a.append("y", "2"));
  ASSERT_TRUE(a.append("x", "3"));
  ASSERT_TRUE(b.append("Y", "2"));
  ASSERT_TRUE(b.append("X", "1"));
  ASSERT_TRUE(b.append("x", "3"));
  EXPECT_EQ(a, b);  // name order does not matter
  HeaderMap c;
  ASSERT_TRUE(c.append("x", "3"));
  ASSERT_TRUE(c.append("x", "1"));
  ASSERT_TRUE(c.append("y", "2"));
  EXPECT_NE(a, c);  // value order within a name does
  HeaderMap d = a;
  ASSERT_TRUE(d.append("z", ""));
  EXPECT_NE(a, d);
  EXPECT_NE(d, a);
  HeaderMap e = a;
  ASSERT_TRUE(e.append("x", "4"));
  EXPECT_NE(a, e);
  HeaderMap f;  // same counts, one value moved to another name
  ASSERT_TRUE(f.append("x", "1"));
  ASSERT_TRUE(f.append("y", "2"));
  ASSERT_TRUE(f.append("y", "3"));
  EXPECT_NE(a, f);
}

TEST(HeaderMap, CopiesAreIndependentAndMovesEmptyTheSource) {
  HeaderMap a;
  ASSERT_TRUE(a.append("a", "1"));
  ASSERT_TRUE(a.append("a", "2"));
  HeaderMap b = a;
  ASSERT_TRUE(b.append("a", "3"));
  ASSERT_TRUE(b.replace("b", "4"));
  EXPECT_EQ(pairs_of(a), (Pairs{{"a", "1"}, {"a", "2"}}));
  HeaderMap c = std::move(b);
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move): a moved-from map is empty
  EXPECT_FALSE(b.contains("a"));
  ASSERT_TRUE(b.append("z", "9"));
  EXPECT_EQ(pairs_of(b), (Pairs{{"z", "9"}}));
  EXPECT_EQ(pairs_of(c), (Pairs{{"a", "1"}, {"a", "2"}, {"a", "3"}, {"b", "4"}}));
  c = std::move(a);
  EXPECT_EQ(pairs_of(c), (Pairs{{"a", "1"}, {"a", "2"}}));
  a = c;
  c.clear();
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(a.size(), 2u);
}

TEST(HeaderMap, IndexDoublesWhenThreeQuartersAreUsed) {
  HeaderMap m;
  EXPECT_EQ(m.index_slots(), 0u);
  ASSERT_TRUE(m.append("n0", ""));
  EXPECT_EQ(m.index_slots(), 32u);
  for (int i = 1; i < 24; ++i)
    ASSERT_TRUE(m.append(numbered("n", i), ""));
  EXPECT_EQ(m.index_slots(), 32u);
  ASSERT_TRUE(m.append("n0", "chained values take no slot"));
  EXPECT_EQ(m.index_slots(), 32u);
  ASSERT_TRUE(m.append("n24", ""));
  EXPECT_EQ(m.index_slots(), 64u);
}

TEST(HeaderMap, FullMapRefusesEveryInsertionAndStaysUnchanged) {
  HeaderMap m;
  for (size_t i = 0; i < HeaderMap::kMaxNames; ++i) {
    ASSERT_FALSE(m.full());
    ASSERT_TRUE(m.append(numbered("h", i), "v"));
  }
  EXPECT_EQ(HeaderMap::kMaxNames, 24576u);
  EXPECT_EQ(m.index_slots(), HeaderMap::kMaxIndexSlots);
  EXPECT_TRUE(m.full());
  const HeaderMap before = m;
  EXPECT_FALSE(m.append("new", "v"));
  EXPECT_FALSE(m.append("h0", "w"));  // even when the name is present
  EXPECT_FALSE(m.replace("h1", "w"));
  EXPECT_FALSE(m.replace("new", "w"));
  EXPECT_EQ(m.size(), HeaderMap::kMaxNames);
  EXPECT_EQ(pairs_of(m), pairs_of(before));
  for (size_t i = 0; i < HeaderMap::kMaxNames; i += 997)
    EXPECT_EQ(m.first(numbered("H", i)), "v");
  EXPECT_TRUE(m.remove("h7"));  // one free place again
  EXPECT_TRUE(m.append("new", "v"));
  EXPECT_FALSE(m.append("other", "v"));
}

// append_hashed is append for a caller that already holds the lower-case name and its hash:
// mixed with the other operations, it leaves the same map as append, and its entries are found
// by lookups in any case and by append itself (one entry per name, however it was added).
TEST(HeaderMap, AppendHashedActsAsAppend) {
  std::mt19937 rng(7541);
  HeaderMap hashed;
  HeaderMap plain;
  for (int step = 0; step < 4000; ++step) {
    const std::string lower = numbered("x-name-", rng() % 40);
    std::string mixed = lower;
    for (char& c : mixed)
      if (c >= 'a' && c <= 'z' && (rng() & 1)) c = char(c - 'a' + 'A');
    ASSERT_EQ(HeaderMap::hash_of(lower), HeaderMap::hash_of(mixed));
    const std::string value = numbered("v", step);
    switch (rng() % 6) {
      case 0:
      case 1:
        ASSERT_TRUE(hashed.append_hashed(lower, HeaderMap::hash_of(lower), value));
        ASSERT_TRUE(plain.append(mixed, value));
        break;
      case 2:
        ASSERT_TRUE(hashed.append(mixed, value));
        ASSERT_TRUE(plain.append(lower, value));
        break;
      case 3:
        ASSERT_TRUE(hashed.replace(mixed, value));
        ASSERT_TRUE(plain.replace(lower, value));
        break;
      default:
        ASSERT_EQ(hashed.remove(mixed), plain.remove(lower));
        break;
    }
    ASSERT_EQ(pairs_of(hashed), pairs_of(plain)) << step;
    ASSERT_EQ(hashed.first(mixed), plain.first(lower));
  }
  HeaderMap full;
  for (size_t i = 0; i < HeaderMap::kMaxNames; ++i)
    ASSERT_TRUE(full.append(numbered("h", i), "v"));
  EXPECT_FALSE(full.append_hashed("h0", HeaderMap::hash_of("h0"), "w"));
  EXPECT_EQ(full.size(), HeaderMap::kMaxNames);
}

// The chain and arena garbage left by many replacements and removals is reclaimed without
// disturbing what is live.
TEST(HeaderMap, ChurnKeepsContentsIntact) {
  HeaderMap m;
  const std::string big(300, 'x');
  ASSERT_TRUE(m.append("keep", "k"));
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(m.append("chain", big + std::to_string(i)));
    ASSERT_TRUE(m.append("keep", std::to_string(round)));
    ASSERT_TRUE(m.replace("chain", numbered("r", round)));
    ASSERT_TRUE(m.remove("chain"));
  }
  std::vector<std::string> keep{"k"};
  for (int round = 0; round < 50; ++round)
    keep.push_back(std::to_string(round));
  EXPECT_EQ(values_of(m, "keep"), keep);
  EXPECT_EQ(m.size(), 51u);
}

// A plain model of the same semantics: entries in order, each with its value list.
class Model {
 public:
  void append(const std::string& name, const std::string& value) {
    auto* e = find(name);
    if (e) {
      e->second.push_back(value);
    } else {
      entries_.push_back({lower(name), {value}});
    }
  }
  void replace(const std::string& name, const std::string& value) {
    auto* e = find(name);
    if (e) {
      e->second = {value};
    } else {
      entries_.push_back({lower(name), {value}});
    }
  }
  bool remove(const std::string& name) {
    auto* e = find(name);
    if (!e) return false;
    *e = entries_.back();
    entries_.pop_back();
    return true;
  }
  Pairs pairs() const {
    Pairs out;
    for (const auto& [n, vs] : entries_)
      for (const auto& v : vs)
        out.emplace_back(n, v);
    return out;
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> entries_;

 private:
  std::pair<std::string, std::vector<std::string>>* find(const std::string& name) {
    for (auto& e : entries_)
      if (e.first == lower(name)) return &e;
    return nullptr;
  }
};

TEST(HeaderMap, RandomOperationsMatchAPlainModel) {
  std::mt19937 rng(20240611);
  std::vector<std::string> names;
  for (int i = 0; i < 120; ++i)
    names.push_back(numbered("Name-", i * 7919) + (i % 3 ? "-LONGER-SUFFIX" : ""));
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto random_case = [&](std::string s) {
    for (char& c : s)
      if (rng() & 1) c = ascii_lower(c);
    return s;
  };
  HeaderMap m;
  Model model;
  for (int step = 0; step < 20000; ++step) {
    // a narrow name range early on makes chains; the wide one later makes growth and removal
    const std::string name = random_case(names[pick(step < 5000 ? 12 : names.size())]);
    const std::string value(pick(200), char('a' + pick(26)));
    switch (pick(10)) {
      case 0:
      case 1:
      case 2:
      case 3:
        ASSERT_TRUE(m.append(name, value));
        model.append(name, value);
        break;
      case 4:
      case 5:
        ASSERT_TRUE(m.replace(name, value));
        model.replace(name, value);
        break;
      case 6:
      case 7:
      case 8:
        ASSERT_EQ(m.remove(name), model.remove(name));
        break;
      default:
        if (pick(50) == 0) {
          m.clear();
          model.entries_.clear();
        }
        break;
    }
    const Pairs expected = model.pairs();
    ASSERT_EQ(pairs_of(m), expected) << "step " << step;
    ASSERT_EQ(m.size(), expected.size());
    ASSERT_EQ(m.name_count(), model.entries_.size());
    if (step % 97 == 0) {
      // a map built in another order with the same value lists is equal; one more value is not
      HeaderMap rebuilt;
      for (auto it = model.entries_.rbegin(); it != model.entries_.rend(); ++it)
        for (const auto& v : it->second)
          ASSERT_TRUE(rebuilt.append(it->first, v));
      ASSERT_EQ(m, rebuilt);
      for (const auto& [n, vs] : model.entries_) {
        ASSERT_EQ(m.first(random_case(n)), vs.front());
        ASSERT_EQ(values_of(m, n), vs);
      }
      ASSERT_TRUE(rebuilt.append("extra", ""));
      ASSERT_NE(m, rebuilt);
    }
  }
}

}  // namespace
}  // namespace quillet
