// The incremental UTF-8 validator: where it fails, that a cut anywhere changes nothing, and a
// differential check against a decoder written from the code-point rules of RFC 3629.
#include "wire/ws/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace quillet::ws {
namespace {

// Decodes code point by code point: the shortest form, no surrogates, nothing above 10FFFF.
bool reference_valid(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = uint8_t(s[i]);
    size_t n;
    uint32_t cp;
    if (b < 0x80) {
      n = 1, cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (size_t k = 1; k < n; ++k) {
      const uint8_t c = uint8_t(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The index of the octet at which feeding `s` one octet at a time fails, if it does.
std::optional<size_t> fails_at(std::string_view s) {
  Utf8Validator v;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!v.feed(s.substr(i, 1))) return i;
  }
  return std::nullopt;
}

struct Case {
  std::string_view text;
  std::optional<size_t> fails_at;  // nothing: no octet fails
  bool complete;                   // valid as a whole
};

TEST(Utf8, BoundaryCases) {
  const Case cases[] = {
      {"", std::nullopt, true},
      {"plain ascii", std::nullopt, true},
      {"\xc2\x80", std::nullopt, true},          // U+0080, the first two-octet
      {"\xdf\xbf", std::nullopt, true},          // U+07FF
      {"\xe0\xa0\x80", std::nullopt, true},      // U+0800
      {"\xed\x9f\xbf", std::nullopt, true},      // U+D7FF, just below the surrogates
      {"\xee\x80\x80", std::nullopt, true},      // U+E000, just above
      {"\xef\xbf\xbf", std::nullopt, true},      // U+FFFF
      {"\xf0\x90\x80\x80", std::nullopt, true},  // U+10000
      {"\xf4\x8f\xbf\xbf", std::nullopt, true},  // U+10FFFF, the last
      {"\xce\xba\xe1\xbd\xb9\xcf\x83\xce\xbc\xce\xb5", std::nullopt, true},
      {"\xc0\x80", 0, false},          // overlong NUL
      {"\xc1\xbf", 0, false},          // overlong U+007F
      {"\xe0\x9f\xbf", 1, false},      // overlong U+07FF
      {"\xf0\x8f\xbf\xbf", 1, false},  // overlong U+FFFF
      {"\xed\xa0\x80", 1, false},      // U+D800
      {"\xed\xbf\xbf", 1, false},      // U+DFFF
      {"\xf4\x90\x80\x80", 1, false},  // U+110000
      {"\xf5\x80\x80\x80", 0, false},
      {"\xfe", 0, false},
      {"\xff", 0, false},
      {"\x80", 0, false},  // a lone continuation
      {"a\xbf", 1, false},
      {"\xc2\x41", 1, false},  // a sequence cut by ASCII
      {"\xe1\x80\x41", 2, false},
      {"\xf1\x80\x80\xc2", 3, false},  // ... and by a new lead
      {"\xc2", std::nullopt, false},   // cut short by the end
      {"\xe1\x80", std::nullopt, false},
      {"\xf0\x90\x80", std::nullopt, false},
      {"0123456789abcdef\x80", 16, false},  // after whole words of ASCII
      {"0123456\xc3\xa9"
       "89abcdefgh\xff",
       19, false},  // ASCII around a sequence in one word
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(fails_at(c.text), c.fails_at);
    EXPECT_EQ(valid_utf8(c.text), c.complete);
    EXPECT_EQ(reference_valid(c.text), c.complete);
    // Fed whole, or cut in two anywhere, the validator ends the same.
    for (size_t cut = 0; cut <= c.text.size(); ++cut) {
      Utf8Validator v;
      const bool first = v.feed(c.text.substr(0, cut));
      const bool second = first && v.feed(c.text.substr(cut));
      EXPECT_EQ(second, !c.fails_at.has_value()) << cut;
      EXPECT_EQ(v.complete(), c.complete) << cut;
      EXPECT_EQ(v.failed(), c.fails_at.has_value()) << cut;
    }
  }
}

TEST(Utf8, AgreesWithTheReferenceOnEveryShortSequence) {
  // Every string of one and two octets, and every three-octet string that starts with a lead.
  std::string s;
  for (unsigned a = 0; a < 256; ++a) {
    s.assign(1, char(a));
    ASSERT_EQ(valid_utf8(s), reference_valid(s)) << a;
    for (unsigned b = 0; b < 256; ++b) {
      s.assign({char(a), char(b)});
      ASSERT_EQ(valid_utf8(s), reference_valid(s)) << a << " " << b;
      if (a < 0xC0) continue;
      for (unsigned c = 0; c < 256; ++c) {
        s.assign({char(a), char(b), char(c)});
        ASSERT_EQ(valid_utf8(s), reference_valid(s)) << a << " " << b << " " << c;
      }
    }
  }
  // Four-octet forms around every boundary of the second octet, the others valid.
  for (unsigned a = 0xF0; a < 0x100; ++a) {
    for (unsigned b = 0x70; b < 0xD0; ++b) {
      s.assign({char(a), char(b), char(0x80), char(0xBF)});
      ASSERT_EQ(valid_utf8(s), reference_valid(s)) << a << " " << b;
    }
  }
}

TEST(Utf8, FailsOnlyOnceNoContinuationCanHelp) {
  // A prefix the validator accepts can always be completed; one it refuses never can. Checked by
  // trying every third octet after every two-octet start of a sequence.
  for (unsigned a = 0xC2; a <= 0xF4; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::string prefix{char(a), char(b)};
      Utf8Validator v;
      const bool accepted = v.feed(prefix);
      bool completable = false;
      // A fourth octet, when one is needed, can only be a continuation: 80 stands for them all.
      for (unsigned c = 0; c < 256 && !completable; ++c)
        completable = reference_valid(prefix) || reference_valid(prefix + char(c)) ||
                      reference_valid(prefix + char(c) + char(0x80));
      EXPECT_EQ(accepted, completable) << a << " " << b;
    }
  }
}

TEST(Utf8, PrefixNeverCutsASequence) {
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";  // 1, 2, 3, 4, 1 octets
  const size_t boundaries[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 11, 11};
  for (size_t limit = 0; limit < std::size(boundaries); ++limit)
    EXPECT_EQ(utf8_prefix(text, limit), boundaries[limit]) << limit;
}

}  // namespace
}  // namespace quillet::ws
