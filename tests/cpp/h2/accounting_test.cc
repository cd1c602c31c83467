// Flow-control windows, the content-length tracker and the DATA-frame budget.
#include "wire/h2/content_length.h"
#include "wire/h2/data_frame_budget.h"
#include "wire/h2/flow_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace quillet::h2 {
namespace {

constexpr uint32_t kMax = 2147483647;
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// A window and capacity placed anywhere in the signed 32-bit range, through the operations.
FlowControl flow(int32_t window, int32_t available) {
  FlowControl f;
  auto move = [](int32_t target, auto up, auto down) {
    // At most two steps of at most 2^31 - 1 each reach any value from 0.
    int64_t left = target;
    while (left != 0) {
      const uint32_t step = uint32_t(std::min<int64_t>(left > 0 ? left : -left, kMax));
      EXPECT_EQ(left > 0 ? up(step) : down(step), FlowResult::kOk);
      left += left > 0 ? -int64_t(step) : int64_t(step);
    }
  };
  move(
      window, [&](uint32_t n) { return f.inc_window(n); },
      [&](uint32_t n) { return f.dec_send_window(n); });
  move(
      available, [&](uint32_t n) { return f.assign_capacity(n); },
      [&](uint32_t n) { return f.claim_capacity(n); });
  EXPECT_EQ(f.raw_window_size(), window);
  EXPECT_EQ(f.available(), available);
  return f;
}

TEST(FlowControl, EachOperationAtTheSigned32BitLimits) {
  using Fn = FlowResult (FlowControl::*)(uint32_t);
  struct Case {
    const char* name;
    Fn fn;
    int32_t window, available;  // before
    uint32_t size;
    FlowResult result;
    int32_t window_after, available_after;
  };
  const FlowResult ok = FlowResult::kOk, over = FlowResult::kOverflow,
                   big = FlowResult::kSizeTooLarge;
  const Case cases[] = {
      {"inc to the max", &FlowControl::inc_window, 0, 0, kMax, ok, int32_t(kMax), 0},
      {"inc past the max", &FlowControl::inc_window, 1, 0, kMax, over, 1, 0},
      {"inc from the min", &FlowControl::inc_window, kMin, 0, kMax, ok, -1, 0},
      {"inc by 2^31", &FlowControl::inc_window, kMin, 0, kMax + 1, big, kMin, 0},
      {"dec send to the min", &FlowControl::dec_send_window, -1, 0, kMax, ok, kMin, 0},
      {"dec send past the min", &FlowControl::dec_send_window, -2, 0, kMax, over, -2, 0},
      {"dec send by 2^32-1", &FlowControl::dec_send_window, 5, 0, 0xffffffff, big, 5, 0},
      {"assign to the max", &FlowControl::assign_capacity, 0, 1, kMax - 1, ok, 0, int32_t(kMax)},
      {"assign past the max", &FlowControl::assign_capacity, 0, 1, kMax, over, 0, 1},
      {"assign by 2^31", &FlowControl::assign_capacity, 0, 0, kMax + 1, big, 0, 0},
      {"claim to the min", &FlowControl::claim_capacity, 0, -1, kMax, ok, 0, kMin},
      {"claim past the min", &FlowControl::claim_capacity, 0, -2, kMax, over, 0, -2},
      {"claim by 2^31", &FlowControl::claim_capacity, 0, 0, kMax + 1, big, 0, 0},
      {"dec recv", &FlowControl::dec_recv_window, 100, 100, 40, ok, 60, 60},
      {"dec recv, window overflows", &FlowControl::dec_recv_window, -2, 0, kMax, over, -2, 0},
      // The bytes arrived: the window stays reduced when only the capacity overflows.
      {"dec recv, capacity overflows", &FlowControl::dec_recv_window, 0, -2, kMax, over,
       -int32_t(kMax), -2},
      {"dec recv by 2^31", &FlowControl::dec_recv_window, 0, 0, kMax + 1, big, 0, 0},
      {"send all", &FlowControl::send_data, int32_t(kMax), int32_t(kMax), kMax, ok, 0, 0},
      {"send past the window", &FlowControl::send_data, 5, 100, 10, over, 5, 100},
      {"send on a negative window", &FlowControl::send_data, -1, 100, 1, over, -1, 100},
      {"send 2^32-1", &FlowControl::send_data, int32_t(kMax), 0, 0xffffffff, over, int32_t(kMax),
       0},
      {"send 0 on a negative window", &FlowControl::send_data, -5, -5, 0, ok, -5, -5},
      {"send, capacity overflows", &FlowControl::send_data, 10, -int32_t(kMax), 2, over, 8,
       -int32_t(kMax)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlowControl f = flow(c.window, c.available);
    EXPECT_EQ((f.*c.fn)(c.size), c.result);
    EXPECT_EQ(f.raw_window_size(), c.window_after);
    EXPECT_EQ(f.available(), c.available_after);
  }
}

TEST(FlowControl, ReportedWindowAndUnavailableCapacity) {
  FlowControl fresh;
  EXPECT_EQ(fresh.window_size(), 0u);
  EXPECT_FALSE(fresh.has_unavailable());
  FlowControl negative = flow(-100, -200);
  EXPECT_EQ(negative.window_size(), 0u);  // never reported negative
  EXPECT_FALSE(negative.has_unavailable());
  EXPECT_TRUE(flow(10, 9).has_unavailable());
  EXPECT_FALSE(flow(10, 10).has_unavailable());
  EXPECT_EQ(flow(int32_t(kMax), 0).window_size(), kMax);
}

TEST(FlowControl, UnclaimedCapacityWaitsForHalfTheWindow) {
  struct Case {
    int32_t window, available;
    std::optional<uint32_t> want;
  };
  const Case cases[] = {
      {0, 0, std::nullopt},
      {25535, 25535, std::nullopt},
      {25535, 25535 + 12766, std::nullopt},  // 12766 < 25535 / 2 = 12767
      {25535, 25535 + 12767, 12767},
      {25535, 65535, 40000},
      {-7, -6, 1},  // a negative window's threshold is negative: any surplus is worth it
      {kMin, -1, kMax},
  };
  for (const Case& c : cases) {
    std::optional<uint32_t> got = 99;
    EXPECT_EQ(flow(c.window, c.available).unclaimed_capacity(&got), FlowResult::kOk);
    EXPECT_EQ(got, c.want) << c.window << " " << c.available;
  }
  std::optional<uint32_t> got;
  EXPECT_EQ(flow(-1, int32_t(kMax)).unclaimed_capacity(&got), FlowResult::kOverflow);
  EXPECT_EQ(got, std::nullopt);
}

TEST(ContentLength, CountsDownAndRefusesExcess) {
  ContentLength omitted;
  EXPECT_TRUE(omitted.dec(UINT64_MAX));
  EXPECT_TRUE(omitted.is_satisfied());
  EXPECT_FALSE(omitted.is_head());

  ContentLength declared;
  declared.set(10);
  EXPECT_TRUE(declared.dec(4));
  EXPECT_FALSE(declared.dec(7));
  EXPECT_EQ(declared.remaining(), 6u);
  EXPECT_FALSE(declared.is_satisfied());
  EXPECT_TRUE(declared.dec(6));
  EXPECT_TRUE(declared.is_satisfied());
  EXPECT_TRUE(declared.dec(0));
  EXPECT_FALSE(declared.dec(1));

  ContentLength huge;
  huge.set(UINT64_MAX);
  EXPECT_TRUE(huge.dec(UINT64_MAX));
  EXPECT_TRUE(huge.is_satisfied());

  ContentLength head(true);
  head.set(10);
  EXPECT_TRUE(head.is_head());
  EXPECT_FALSE(head.is_declared());
  EXPECT_TRUE(head.dec(0));
  EXPECT_FALSE(head.dec(1));
  EXPECT_TRUE(head.is_satisfied());
}

TEST(DataFrameBudget, MaximumFromConfigurationOrWindow) {
  struct Case {
    std::optional<uint32_t> configured, window;
    uint32_t want;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 32767},  // the default window 65535
      {std::nullopt, 51201, 25600},
      {std::nullopt, 51202, 25601},
      {std::nullopt, 0, 25600},
      {std::nullopt, 1048576, 524288},
      {std::nullopt, UINT32_MAX, UINT32_MAX / 2},
      {1000, 1048576, 1000},
      {0, std::nullopt, 0},
      {UINT32_MAX, std::nullopt, UINT32_MAX},
  };
  for (const Case& c : cases) {
    const DataFrameBudget b(c.configured, c.window);
    EXPECT_EQ(b.maximum(), c.want);
    EXPECT_EQ(b.available(), c.want);
    EXPECT_EQ(b.empty_frames(), 0u);
  }
}

TEST(DataFrameBudget, SmallFramesAreChargedAndReleasedUpToTheMaximum) {
  DataFrameBudget b(1000, std::nullopt);
  EXPECT_EQ(b.record(1), 255u);
  EXPECT_EQ(b.available(), 745u);
  EXPECT_EQ(b.record(1), 255u);
  EXPECT_EQ(b.record(1), 255u);
  EXPECT_EQ(b.available(), 235u);
  EXPECT_EQ(b.record(1), std::nullopt);  // 255 > 235: refused, nothing taken
  EXPECT_EQ(b.available(), 235u);
  EXPECT_EQ(b.record(21), 235u);  // exactly what is left
  EXPECT_EQ(b.available(), 0u);
  EXPECT_EQ(b.record(255), std::nullopt);  // even a charge of 1
  b.release(255);
  EXPECT_EQ(b.available(), 255u);
  EXPECT_EQ(b.record(256), 0u);  // a frame at the threshold neither costs nor earns
  EXPECT_EQ(b.available(), 255u);
  EXPECT_EQ(b.record(1256), 0u);  // earns 1000, capped at the maximum
  EXPECT_EQ(b.available(), 1000u);
  b.release(UINT32_MAX);
  EXPECT_EQ(b.available(), 1000u);
}

TEST(DataFrameBudget, ReleaseSaturatesAtTheLargestBudget) {
  DataFrameBudget b(UINT32_MAX, std::nullopt);
  EXPECT_EQ(b.record(UINT32_MAX), 0u);
  EXPECT_EQ(b.available(), UINT32_MAX);
  EXPECT_EQ(b.record(1), 255u);
  b.release(UINT32_MAX);
  EXPECT_EQ(b.available(), UINT32_MAX);
}

TEST(DataFrameBudget, TheHundredAndFirstEmptyFrameIsRefused) {
  DataFrameBudget b(std::nullopt, std::nullopt);
  for (uint32_t i = 0; i < kMaxRecvEmptyDataFrames; ++i)
    ASSERT_EQ(b.record(0), 0u) << i;
  EXPECT_EQ(b.empty_frames(), 100u);
  EXPECT_EQ(b.available(), 32767u);  // empty frames cost no budget
  EXPECT_EQ(b.record(0), std::nullopt);
  EXPECT_EQ(b.empty_frames(), 101u);  // counted all the same
  EXPECT_EQ(b.record(0), std::nullopt);
  EXPECT_EQ(b.empty_frames(), 102u);
  EXPECT_EQ(b.record(1), 255u);  // the budget itself is untouched
}

}  // namespace
}  // namespace quillet::h2
