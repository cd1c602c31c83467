#include "wire/common/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet {
namespace {

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, HighBytesUseTheWholeAlphabet) {
  EXPECT_EQ(base64(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(base64(std::string("\0\0\0", 3)), "AAAA");
  EXPECT_EQ(base64(std::string("\xff", 1)), "/w==");
}

TEST(Base64, AppendsAfterExistingText) {
  std::string out = "Basic ";
  append_base64(out, "Aladdin:open sesame");
  EXPECT_EQ(out, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

}  // namespace
}  // namespace quillet
