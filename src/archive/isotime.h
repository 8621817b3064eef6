#pragma once
// ISO 8601 UTC text of the converter's time value (seconds since 1970-01-01,
// proleptic Gregorian, no leap seconds), to the microsecond, and calendar
// steps for time axes. Independent of the single-precision seconds of the
// data file names.
#include <cstdint>
#include <string>

namespace archive {

struct CivilTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  int microsecond = 0;
};

// Days since 1970-01-01 of a calendar date, and back.
int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(int64_t days, int& year, int& month, int& day);

CivilTime CivilFromSeconds(double t);  // rounded to the microsecond
double SecondsFromCivil(const CivilTime& c);

// "2024-03-15T06:00:00.000000Z".
std::string FormatIsoTime(double t);
// "2024-03-15", "2024-03-15T06:00", "2024-03-15T06:00:00", with a fraction
// of a second and a trailing "Z" allowed; false for anything else.
bool ParseIsoTime(const std::string& text, double& t);

// A length of time for people: "3d 04:05:06", "00:00:00.01".
std::string FormatDuration(double seconds);

}  // namespace archive
