#include "wire/common/http_date.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

namespace quillet {
namespace {

std::string render(int64_t seconds) {
  char out[kImfFixdateLength];
  if (!format_imf_fixdate(seconds, out)) return "<refused>";
  return std::string(out, kImfFixdateLength);
}

// The C library's rendering of the same instant.
std::string libc_render(int64_t seconds) {
  const time_t t = time_t(seconds);
  tm parts{};
  if (gmtime_r(&t, &parts) == nullptr) return "<gmtime failed>";
  char day_month[16], clock[16];
  strftime(day_month, sizeof day_month, "%a, %d %b", &parts);
  strftime(clock, sizeof clock, "%H:%M:%S", &parts);
  char out[64];
  std::snprintf(out, sizeof out, "%s %04d %s GMT", day_month, parts.tm_year + 1900, clock);
  return out;
}

TEST(ImfFixdate, KnownInstants) {
  EXPECT_EQ(render(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(render(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(render(951827696), "Tue, 29 Feb 2000 12:34:56 GMT");
  EXPECT_EQ(render(4107542399), "Sun, 28 Feb 2100 23:59:59 GMT");  // 2100 is no leap year
  EXPECT_EQ(render(4107542400), "Mon, 01 Mar 2100 00:00:00 GMT");
  EXPECT_EQ(render(253402300799), "Fri, 31 Dec 9999 23:59:59 GMT");
}

TEST(ImfFixdate, BeforeTheEpochDownToYearOne) {
  EXPECT_EQ(render(-1), "Wed, 31 Dec 1969 23:59:59 GMT");
  EXPECT_EQ(render(-2203891200), "Thu, 01 Mar 1900 00:00:00 GMT");
  EXPECT_EQ(render(-11670994677), "Tue, 29 Feb 1600 01:02:03 GMT");
  EXPECT_EQ(render(kMinImfFixdateSeconds), "Mon, 01 Jan 0001 00:00:00 GMT");
}

TEST(ImfFixdate, RefusesWhatFourDigitsCannotHold) {
  char out[kImfFixdateLength];
  std::fill(std::begin(out), std::end(out), 'x');
  for (int64_t t : {kMaxImfFixdateSeconds + 1, kMinImfFixdateSeconds - 1,
                    std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()}) {
    EXPECT_FALSE(format_imf_fixdate(t, out)) << t;
  }
  EXPECT_EQ(std::string(out, kImfFixdateLength), std::string(kImfFixdateLength, 'x'));
}

TEST(ImfFixdate, AgreesWithTheCLibrary) {
  static_assert(sizeof(time_t) >= 8, "the comparison needs a 64-bit time_t");
  // Every day of the three centuries around 1900 and 2000, at a varying time of day.
  const int64_t from = -2208988800;  // 1900-01-01
  for (int64_t day = 0; day < 3 * 36525; ++day) {
    const int64_t t = from + day * 86400 + (day * 7919) % 86400;
    ASSERT_EQ(render(t), libc_render(t)) << t;
  }
  // The whole range, in uneven steps.
  for (int64_t t = kMinImfFixdateSeconds; t <= kMaxImfFixdateSeconds; t += 7777777 + t % 1000) {
    ASSERT_EQ(render(t), libc_render(t)) << t;
  }
}

TEST(HttpDateCache, RendersAgainOnlyAfterOneWholeSecond) {
  HttpDateCache cache;
  EXPECT_EQ(cache.at({100, 999999999}), "Thu, 01 Jan 1970 00:01:40 GMT");
  // the next update is one second later, not the start of the next whole second
  EXPECT_EQ(cache.next_update().seconds, 101);
  EXPECT_EQ(cache.next_update().nanoseconds, 999999999u);
  EXPECT_EQ(cache.at({101, 500}), "Thu, 01 Jan 1970 00:01:40 GMT");
  EXPECT_EQ(cache.at({101, 999999999}), "Thu, 01 Jan 1970 00:01:40 GMT");  // not later yet
  EXPECT_EQ(cache.at({102, 0}), "Thu, 01 Jan 1970 00:01:42 GMT");
  EXPECT_EQ(cache.next_update().seconds, 103);
  EXPECT_EQ(cache.next_update().nanoseconds, 0u);
  // a clock stepped backwards is not "later": the value stays until the clock passes again
  EXPECT_EQ(cache.at({50, 0}), "Thu, 01 Jan 1970 00:01:42 GMT");
}

TEST(HttpDateCache, ClampsInstantsOutsideTheCalendar) {
  HttpDateCache low;
  EXPECT_EQ(low.at({std::numeric_limits<int64_t>::min(), 0}), "Mon, 01 Jan 0001 00:00:00 GMT");
  HttpDateCache high;
  EXPECT_EQ(high.at({kMaxImfFixdateSeconds + 1, 0}), "Fri, 31 Dec 9999 23:59:59 GMT");
  EXPECT_EQ(high.at({std::numeric_limits<int64_t>::max(), 5}), "Fri, 31 Dec 9999 23:59:59 GMT");
  EXPECT_EQ(high.next_update().seconds, std::numeric_limits<int64_t>::max());
}

TEST(HttpDateCache, ThreadValueFollowsTheClock) {
  // time() may read a coarser clock that lags the real-time one by a tick: use the fine one
  const auto seconds_now = [] {
    using namespace std::chrono;
    return int64_t(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
  };
  const int64_t before = seconds_now();
  const std::string value(cached_http_date());
  const int64_t after = seconds_now();
  // the cached value may lag the clock by up to one second
  bool matched = false;
  for (int64_t t = before - 1; t <= after; ++t)
    matched = matched || value == render(t);
  EXPECT_TRUE(matched) << value;
}

}  // namespace
}  // namespace quillet
