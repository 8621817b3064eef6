#pragma once
// The converter's one time value: a double of seconds since 1970-01-01
// 00:00:00, proleptic Gregorian, no time zone, no leap seconds. The seconds
// within a minute pass through single precision on the way in and out;
// that rounding is part of the archive's file names and headers.
namespace seed {

bool IsLeapYear(int year);
void DayOfYearToMonthDay(int dayOfYear, int year, int& month, int& day);
double DateToSeconds(int year, int month, int day, int hour, int minute, float seconds);
void SecondsToDate(double t, int& year, int& month, int& day, int& hour, int& minute,
                   float& seconds);
// The start of a record from its fields; fraction: of a second, below 1.
double StartTime(int year, int dayOfYear, int hour, int minute, int second, double fraction);
// From the BTIME of a record whose header is already in host order.
double RecordStartTime(const unsigned char* record);

}  // namespace seed
