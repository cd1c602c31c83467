// Allocation failure in the middle of a transition: wire/ throws std::bad_alloc, and whatever it
// keeps must still be safe to use afterwards. A program of its own, because it replaces the
// global operator new: the n-th allocation after arming throws.
#include "wire/h2/frame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

long g_countdown = -1;  // allocations left before the failure; -1: disarmed

void* allocate(std::size_t size) {
  if (g_countdown >= 0 && g_countdown-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace quillet::h2 {
namespace {

std::string ping(char fill) {
  return std::string("\0\0\x08\x06\0\0\0\0\0", 9) + std::string(8, fill);
}

// The decoder reads a read in place from the caller's bytes; a failure while it does so must
// not leave it holding a view of them, which would outlive the caller's buffer.
TEST(AllocationFailure, TheFrameDecoderKeepsNoViewOfTheCallersBytes) {
  FrameDecoder decoder(false);
  std::string input = ping('a') + ping('b') + std::string(4, 'x');  // and a partial header
  DecodeBatch batch;
  g_countdown = 0;  // the first allocation: the first event
  EXPECT_THROW(EXPECT_FALSE(decoder.decode(input, &batch)), std::bad_alloc);
  g_countdown = -1;
  EXPECT_EQ(decoder.buffered(), 0u);
  // The caller's buffer changes (or goes); the decoder reads only what it is given next.
  input.assign(input.size(), '\xff');
  const std::optional<FrameError> error = decoder.decode(ping('c'), &batch);
  ASSERT_FALSE(error.has_value());
  ASSERT_EQ(batch.events.size(), 1u);
  EXPECT_EQ(std::string(batch.events[0].ping.data(), 8), std::string(8, 'c'));
}

// An HPACK table insertion that cannot have its memory (a longer ring, a larger buffer, the
// copy of a name that views the table) leaves the entries as they were, at every allocation it
// makes, and the table keeps working once memory returns.
TEST(AllocationFailure, AnHpackTableInsertionLeavesTheTableAsItWas) {
  using Entries = std::vector<std::pair<std::string, std::string>>;
  const auto entries_of = [](const hpack::DynamicTable& t) {
    Entries out;
    for (size_t i = 0; i < t.count(); ++i)
      out.emplace_back(t.name(i), t.value(i));
    return out;
  };
  for (long fail_at = 0;; ++fail_at) {
    hpack::DynamicTable table(4096);
    for (int i = 0; i < 16; ++i)  // a full ring and a buffer with little to spare
      ASSERT_TRUE(table.insert("x-a-longer-field-name", std::string(10 + i, 'v')));
    const Entries before = entries_of(table);
    const uint32_t size = table.size();
    g_countdown = fail_at;
    bool threw = false;
    try {
      // The name views the oldest entry, which this insertion evicts.
      EXPECT_TRUE(table.insert(table.name(15), std::string(3000, 'w')));
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    g_countdown = -1;
    if (!threw) {
      EXPECT_EQ(table.name(0), "x-a-longer-field-name");
      EXPECT_GE(fail_at, 3);  // the copied name, the ring and the buffer were all needed
      break;
    }
    EXPECT_EQ(entries_of(table), before) << fail_at;
    EXPECT_EQ(table.size(), size);
    ASSERT_TRUE(table.insert("x-after", "1"));
    EXPECT_EQ(table.name(0), "x-after");
  }
}

}  // namespace
}  // namespace quillet::h2
