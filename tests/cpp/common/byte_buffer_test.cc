#include "wire/common/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet {
namespace {

TEST(ByteBuffer, ConsumesFromTheFrontAndCompacts) {
  ByteBuffer b;
  b.append("hello ");
  b.append("world");
  b.consume(6);
  EXPECT_EQ(b.view(), "world");
  b.append("!");
  EXPECT_EQ(b.view(), "world!");
  EXPECT_EQ(b.take(), "world!");
  EXPECT_TRUE(b.empty());
}

TEST(ByteBuffer, LentBytesAreReadInPlaceUntilKept) {
  std::string owner = "abcdef";
  ByteBuffer b;
  b.lend(owner);
  EXPECT_TRUE(b.lending());
  EXPECT_EQ(b.view().data(), owner.data());  // no copy
  b.consume(2);
  EXPECT_EQ(b.view(), "cdef");
  b.keep_lent();
  EXPECT_FALSE(b.lending());
  owner.assign("XXXXXX");  // the owner may change its bytes now
  EXPECT_EQ(b.view(), "cdef");
}

TEST(ByteBuffer, AppendingToLentBytesKeepsThemFirst) {
  std::string owner = "abc";
  ByteBuffer b;
  b.lend(owner);
  b.consume(1);
  b.append("de");
  EXPECT_FALSE(b.lending());
  owner.assign("XXX");
  EXPECT_EQ(b.view(), "bcde");
}

TEST(ByteBuffer, LendingToAFullBufferAppends) {
  std::string owner = "cd";
  ByteBuffer b;
  b.append("ab");
  b.lend(owner);
  EXPECT_FALSE(b.lending());
  EXPECT_EQ(b.view(), "abcd");
}

TEST(ByteBuffer, ConsumingAllLentBytesEndsTheLoan) {
  std::string owner = "xy";
  ByteBuffer b;
  b.lend(owner);
  b.consume(2);
  EXPECT_FALSE(b.lending());
  EXPECT_TRUE(b.empty());
  std::string taken_owner = "pq";
  b.lend(taken_owner);
  EXPECT_EQ(b.take(), "pq");
  EXPECT_TRUE(b.empty());
}

}  // namespace
}  // namespace quillet
