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

TEST(Base64, DecodesWhatItEncodes) {
  for (const char* text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"})
    EXPECT_EQ(decode_base64(base64(text)), text) << text;
  std::string all;
  for (int i = 0; i < 256; ++i)
    all.push_back(char(i));
  for (size_t n = 0; n <= all.size(); n += 37)
    EXPECT_EQ(decode_base64(base64(all.substr(0, n))), all.substr(0, n));
}

TEST(Base64, DecodeRefusesAllButTheCanonicalForm) {
  for (const char* text : {
           "Zg=",        // not a whole group
           "Zg",         // padding left out
           "Zh==",       // leftover bits not zero
           "Zm9=",       // leftover bits not zero
           "Z===",       // a group of one character
           "====",       // nothing but padding
           "Zg==Zg==",   // padding inside
           "Zm9v Zg==",  // whitespace
           "Zm9*",       // not in the alphabet
           "Zm-v",       // the URL alphabet
       })
    EXPECT_EQ(decode_base64(text), std::nullopt) << text;
}

}  // namespace
}  // namespace quillet
