#include "wire/common/http_date.h"

#include <time.h>

#include <cstring>
#include <limits>

namespace quillet {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days from 0000-03-01 to 1970-01-01 in the proleptic Gregorian calendar. Counting years from
// March puts each leap day at the very end of its year.
constexpr int64_t kDaysFromMarch0000 = 719468;
constexpr int64_t kDaysPer400Years = 146097;
constexpr int64_t kDaysPer100Years = 36524;  // the fourth century of a cycle has one more
constexpr int64_t kDaysPer4Years = 1461;     // the last four of a century may have one fewer

// Days before the first of each month, for years counted from March.
constexpr int kDaysBeforeMonthFromMarch[12] = {0,   31,  61,  92,  122, 153,
                                               184, 214, 245, 275, 306, 337};

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && (a < 0) != (b < 0)) --q;
  return q;
}

struct CivilDate {
  int64_t year;
  int month;  // 1 to 12
  int day;    // 1 to 31
};

CivilDate civil_from_days(int64_t days_since_epoch) {
  const int64_t z = days_since_epoch + kDaysFromMarch0000;
  const int64_t cycle = floor_div(z, kDaysPer400Years);
  int64_t day = z - cycle * kDaysPer400Years;  // 0 to 146096
  int64_t century = day / kDaysPer100Years;
  if (century > 3) century = 3;  // the cycle's last day (a 29 February) ends century 3
  day -= century * kDaysPer100Years;
  const int64_t quad = day / kDaysPer4Years;
  day -= quad * kDaysPer4Years;
  int64_t year_in_quad = day / 365;
  if (year_in_quad > 3) year_in_quad = 3;  // the quad's last day is a 29 February
  day -= year_in_quad * 365;               // 0 (1 March) to 365 (29 February)
  int month_from_march = 11;
  while (kDaysBeforeMonthFromMarch[month_from_march] > day)
    --month_from_march;
  CivilDate date;
  date.year = cycle * 400 + century * 100 + quad * 4 + year_in_quad;
  date.day = int(day - kDaysBeforeMonthFromMarch[month_from_march]) + 1;
  date.month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  if (date.month <= 2) ++date.year;  // January and February end the year that began in March
  return date;
}

void put2(char* out, int value) {
  out[0] = char('0' + value / 10);
  out[1] = char('0' + value % 10);
}

bool later(const ClockInstant& a, const ClockInstant& b) {
  return a.seconds > b.seconds || (a.seconds == b.seconds && a.nanoseconds > b.nanoseconds);
}

}  // namespace

bool format_imf_fixdate(int64_t unix_seconds, char out[kImfFixdateLength]) {
  if (unix_seconds < kMinImfFixdateSeconds || unix_seconds > kMaxImfFixdateSeconds) return false;
  const int64_t days = floor_div(unix_seconds, kSecondsPerDay);
  const int second_of_day = int(unix_seconds - days * kSecondsPerDay);
  const CivilDate date = civil_from_days(days);
  const int weekday = int(days - floor_div(days, 7) * 7 + 4) % 7;  // 1970-01-01 was a Thursday
  const int year = int(date.year);

  // "Sun, 06 Nov 1994 08:49:37 GMT"
  std::memcpy(out, kDayNames[weekday], 3);
  out[3] = ',';
  out[4] = ' ';
  put2(out + 5, date.day);
  out[7] = ' ';
  std::memcpy(out + 8, kMonthNames[date.month - 1], 3);
  out[11] = ' ';
  put2(out + 12, year / 100);
  put2(out + 14, year % 100);
  out[16] = ' ';
  put2(out + 17, second_of_day / 3600);
  out[19] = ':';
  put2(out + 20, second_of_day / 60 % 60);
  out[22] = ':';
  put2(out + 23, second_of_day % 60);
  std::memcpy(out + 25, " GMT", 4);
  return true;
}

ClockInstant realtime_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ClockInstant now;
  now.seconds = int64_t(ts.tv_sec);
  now.nanoseconds = uint32_t(ts.tv_nsec);
  return now;
}

std::string_view HttpDateCache::at(ClockInstant now) {
  if (!rendered_ || later(now, next_update_)) {
    int64_t second = now.seconds;
    if (second < kMinImfFixdateSeconds) second = kMinImfFixdateSeconds;
    if (second > kMaxImfFixdateSeconds) second = kMaxImfFixdateSeconds;
    format_imf_fixdate(second, value_);
    rendered_ = true;
    next_update_ = now;
    if (now.seconds < std::numeric_limits<int64_t>::max()) ++next_update_.seconds;
  }
  return std::string_view(value_, kImfFixdateLength);
}

std::string_view cached_http_date() {
  thread_local HttpDateCache cache;
  return cache.at(realtime_now());
}

}  // namespace quillet
