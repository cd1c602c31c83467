#include "wire/common/text.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(quoted("http://a b/"), "\"http://a b/\"");
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted("\t\r\n"), "\"\\t\\r\\n\"");
  EXPECT_EQ(quoted(std::string_view("\0\x1f\x7f", 3)), "\"\\x00\\x1f\\x7f\"");
}

TEST(Quoted, KeepsWellFormedUtf8AndEscapesTheRest) {
  EXPECT_EQ(quoted("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(quoted("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
  // a lone continuation byte, a truncated sequence, an overlong form and a surrogate
  EXPECT_EQ(quoted("\x80"), "\"\\x80\"");
  EXPECT_EQ(quoted("\xc3"), "\"\\xc3\"");
  EXPECT_EQ(quoted("\xc0\xaf"), "\"\\xc0\\xaf\"");
  EXPECT_EQ(quoted("\xed\xa0\x80"), "\"\\xed\\xa0\\x80\"");
  EXPECT_EQ(quoted("\xf4\x90\x80\x80"), "\"\\xf4\\x90\\x80\\x80\"");
}

TEST(Decimal, AppendsEdgeValues) {
  std::string out;
  append_decimal(out, 0);
  out += ' ';
  append_decimal(out, 18446744073709551615ull);
  EXPECT_EQ(out, "0 18446744073709551615");
}

TEST(IgnoreCase, ComparesAsciiLettersOnly) {
  EXPECT_TRUE(equals_ignore_case("Content-Length", "content-length"));
  EXPECT_FALSE(equals_ignore_case("a", "ab"));
  EXPECT_FALSE(equals_ignore_case("\xc3\xa9", "\xc3\x89"));
}

}  // namespace
}  // namespace quillet
