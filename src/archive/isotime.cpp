#include "archive/isotime.h"

#include <cmath>
#include <cstdio>

namespace archive {

// Howard Hinnant's days_from_civil / civil_from_days.
int64_t DaysFromCivil(int year, int month, int day) {
  const int64_t y = static_cast<int64_t>(year) - (month <= 2);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

CivilTime CivilFromSeconds(double t) {
  CivilTime c;
  if (!std::isfinite(t)) return c;
  const double us = std::round(t * 1e6);
  // Beyond +-10^14 s the calendar is meaningless and the cast would overflow.
  if (std::fabs(us) > 1e20) return c;
  const auto micros = static_cast<int64_t>(us);
  int64_t secs = micros / 1000000, frac = micros % 1000000;
  if (frac < 0) frac += 1000000, --secs;
  int64_t days = secs / 86400, rest = secs % 86400;
  if (rest < 0) rest += 86400, --days;
  CivilFromDays(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(rest / 3600);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.second = static_cast<int>(rest % 60);
  c.microsecond = static_cast<int>(frac);
  return c;
}

double SecondsFromCivil(const CivilTime& c) {
  return static_cast<double>(DaysFromCivil(c.year, c.month, c.day)) * 86400.0 + c.hour * 3600.0 + c.minute * 60.0 +
         c.second + c.microsecond / 1e6;
}

std::string FormatIsoTime(double t) {
  const CivilTime c = CivilFromSeconds(t);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", c.year, c.month, c.day, c.hour, c.minute,
                c.second, c.microsecond);
  return text;
}

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

bool ParseIsoTime(const std::string& text, double& t) {
  std::string s = text;
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
  CivilTime c;
  if (!Digits(s, 0, 4, c.year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, c.month) || s[7] != '-' ||
      !Digits(s, 8, 2, c.day))
    return false;
  if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > DaysInMonth(c.year, c.month)) return false;
  size_t at = 10;
  if (at < s.size()) {
    if ((s[at] != 'T' && s[at] != 't' && s[at] != ' ') || !Digits(s, at + 1, 2, c.hour) || s.size() < at + 6 ||
        s[at + 3] != ':' || !Digits(s, at + 4, 2, c.minute))
      return false;
    at += 6;
    if (at < s.size()) {
      if (s[at] != ':' || !Digits(s, at + 1, 2, c.second)) return false;
      at += 3;
    }
    if (c.hour > 23 || c.minute > 59 || c.second > 59) return false;
  }
  double fraction = 0;
  if (at < s.size()) {
    if (s[at] != '.' || at + 1 == s.size() || s.size() - at > 10) return false;
    double scale = 0.1;
    for (size_t i = at + 1; i < s.size(); ++i, scale /= 10) {
      if (s[i] < '0' || s[i] > '9') return false;
      fraction += (s[i] - '0') * scale;
    }
  }
  t = SecondsFromCivil(c) + fraction;
  return true;
}

std::string FormatDuration(double seconds) {
  if (!std::isfinite(seconds)) return "?";
  const bool negative = seconds < 0;
  const double us = std::round(std::fabs(seconds) * 1e6);
  if (us > 9e18) return negative ? "-?" : "?";
  const auto micros = static_cast<uint64_t>(us);
  const uint64_t secs = micros / 1000000, frac = micros % 1000000;
  char text[64];
  int n;
  if (secs >= 86400)
    n = std::snprintf(text, sizeof text, "%s%llud %02u:%02u:%02u", negative ? "-" : "",
                      static_cast<unsigned long long>(secs / 86400), static_cast<unsigned>(secs / 3600 % 24),
                      static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60));
  else
    n = std::snprintf(text, sizeof text, "%s%02u:%02u:%02u", negative ? "-" : "", static_cast<unsigned>(secs / 3600),
                      static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60));
  std::string out(text, static_cast<size_t>(n));
  if (frac) {
    char f[16];
    std::snprintf(f, sizeof f, ".%06u", static_cast<unsigned>(frac));
    std::string digits = f;
    digits.erase(digits.find_last_not_of('0') + 1);
    out += digits;
  }
  return out;
}

}  // namespace archive
