// The Date header value: IMF-fixdate (RFC 9110 section 5.6.7), such as
// "Sun, 06 Nov 1994 08:49:37 GMT", rendered from the real-time clock at most about once per
// second per thread.
//
// Range: the proleptic Gregorian calendar, extended backwards from 1970 down to year 0001
// (a clock set before 1970 is still rendered truthfully). Years before 0001 and from 10000 on
// do not fit the four-digit year: the formatter refuses them and the cache clamps the instant
// to the nearest end of the range, "Mon, 01 Jan 0001 00:00:00 GMT" or
// "Fri, 31 Dec 9999 23:59:59 GMT", so a Date value is always well formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet {

inline constexpr size_t kImfFixdateLength = 29;
inline constexpr int64_t kMinImfFixdateSeconds = -62135596800;  // 0001-01-01T00:00:00Z
inline constexpr int64_t kMaxImfFixdateSeconds = 253402300799;  // 9999-12-31T23:59:59Z

// Writes the 29 bytes of `unix_seconds` (seconds since 1970-01-01T00:00:00Z, leap seconds not
// counted) into `out`. Returns false, leaving `out` untouched, outside
// [kMinImfFixdateSeconds, kMaxImfFixdateSeconds].
bool format_imf_fixdate(int64_t unix_seconds, char out[kImfFixdateLength]);

// An instant of the real-time clock since the Unix epoch; `nanoseconds` is 0 to 999999999.
struct ClockInstant {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
};

// Reads the real-time clock.
ClockInstant realtime_now();

// One thread's Date value: the last rendering and the instant after which it is stale.
class HttpDateCache {
 public:
  // The value at `now`. It is re-rendered (from the whole second of `now`, clamped into the
  // range above) when nothing was rendered yet or `now` is later than the next-update instant,
  // which then becomes `now` plus exactly one second. The view stays valid as long as the
  // cache; its bytes change on a later re-rendering.
  std::string_view at(ClockInstant now);

  ClockInstant next_update() const { return next_update_; }

 private:
  char value_[kImfFixdateLength] = {};
  bool rendered_ = false;
  ClockInstant next_update_;
};

// The calling thread's Date value now (its own thread_local HttpDateCache). The view stays
// valid for the life of the thread; copy the bytes before the thread asks again.
std::string_view cached_http_date();

}  // namespace quillet
