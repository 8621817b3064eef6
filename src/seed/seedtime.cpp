#include "seed/seedtime.h"

#include <cmath>

#include "seed/record.h"

namespace seed {
namespace {

constexpr int kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int kMonthLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr double kSecondsPerDay = 86400.0;
constexpr double kEpochFromYearOne = 62135596800.0;

// Integer division rounding toward minus infinity.
long FloorDiv(long a, long b) {
  long q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

bool IsLeapYear(int year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

void DayOfYearToMonthDay(int dayOfYear, int year, int& month, int& day) {
  month = 1;
  int rest = dayOfYear;
  while (month < 12) {
    int length = kMonthLength[month] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (rest <= length) break;
    rest -= length;
    ++month;
  }
  day = rest;
}

double DateToSeconds(int year, int month, int day, int hour, int minute, float seconds) {
  int m = month >= 1 && month <= 12 ? month : 1;
  long dayOfYear = kDaysBeforeMonth[m] + day + (IsLeapYear(year) && month > 2 ? 1 : 0);
  long leapDays = FloorDiv(year - 1969, 4) - FloorDiv(year - 1901, 100) + FloorDiv(year - 1601, 400);
  double days = static_cast<double>((year - 1970L) * 365 + leapDays + dayOfYear - 1);
  return days * kSecondsPerDay + hour * 3600.0 + minute * 60.0 + static_cast<double>(seconds);
}

void SecondsToDate(double t, int& year, int& month, int& day, int& hour, int& minute,
                   float& seconds) {
  // Only values a record's BTIME can produce are meaningful; anything else
  // breaks down as 1970-01-01 rather than overflowing the integer fields.
  if (!std::isfinite(t) || std::fabs(t) > 1e14) t = 0;
  double u = t + kEpochFromYearOne;
  double whole = std::trunc(u);
  double fraction = u - whole;
  double days = std::trunc(whole / kSecondsPerDay);
  double daySec = whole - days * kSecondsPerDay;
  hour = static_cast<int>(daySec / 3600.0);
  double rest = daySec - hour * 3600.0;
  minute = static_cast<int>(rest / 60.0);
  double sec = rest - minute * 60.0;
  seconds = static_cast<float>(static_cast<float>(sec) + static_cast<float>(fraction));

  long d = static_cast<long>(days);
  long p400 = d / 146097;
  long r = d - 146097 * p400;
  long p100 = r == 146096 ? 3 : r / 36524;
  r -= 36524 * p100;
  long p4 = r / 1461;
  r -= 1461 * p4;
  long p1 = r / 365;
  if (p1 == 4) p1 = 3;
  int dayOfYear = static_cast<int>(r - 365 * p1 + 1);
  year = static_cast<int>(400 * p400 + 100 * p100 + 4 * p4 + p1 + 1);
  DayOfYearToMonthDay(dayOfYear, year, month, day);
}

double StartTime(int year, int dayOfYear, int hour, int minute, int second, double fraction) {
  const float sec = static_cast<float>(fraction) + static_cast<float>(second);
  return DateToSeconds(year, 1, 1, hour, minute, sec) + (dayOfYear - 1) * 86400.0;
}

double RecordStartTime(const unsigned char* record) {
  return StartTime(Load16(record + kYear), Load16(record + kDayOfYear), record[kHour], record[kMinute],
                   record[kSecond], Load16(record + kTenThousandths) / 10000.0);
}

}  // namespace seed
