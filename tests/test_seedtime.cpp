#include <gtest/gtest.h>

#include <cmath>

#include "seed/record.h"
#include "seed/seedtime.h"
#include "support/seedgen.h"

namespace {

struct Breakdown {
  int year, month, day, hour, minute;
  float seconds;
};

Breakdown Split(double t) {
  Breakdown b{};
  seed::SecondsToDate(t, b.year, b.month, b.day, b.hour, b.minute, b.seconds);
  return b;
}

double StartOf(int year, int doy, int h, int m, int s, int frac) {
  seedgen::Header hdr;
  hdr.year = year;
  hdr.dayOfYear = doy;
  hdr.hour = h;
  hdr.minute = m;
  hdr.second = s;
  hdr.tenThousandths = frac;
  auto rec = seedgen::Record(hdr, {});
  seed::HeaderToHostOrder(rec.data(), false);
  return seed::RecordStartTime(rec.data());
}

TEST(RecordStartTime, KnownBtimes) {
  EXPECT_EQ(StartOf(2011, 1, 0, 0, 0, 0), 1293840000.0);
  EXPECT_EQ(StartOf(2012, 60, 12, 30, 15, 5000), 1330518615.5);
  // Day 0 is the last day of the year before; hour 24 and second 60 carry.
  EXPECT_EQ(StartOf(2011, 0, 0, 0, 0, 0), 1293840000.0 - 86400);
  EXPECT_EQ(StartOf(2011, 1, 24, 0, 0, 0), 1293840000.0 + 86400);
  EXPECT_EQ(StartOf(2011, 1, 0, 0, 60, 0), 1293840060.0);
}

TEST(RecordStartTime, SecondsPassThroughSinglePrecision) {
  // 59.9999 is not a float; the value carried is the float nearest to it.
  const double t = StartOf(2011, 1, 0, 0, 59, 9999);
  EXPECT_EQ(t - 1293840000.0, 59.999900817871094);
  EXPECT_EQ(StartOf(2008, 1, 0, 0, 0, 650), 1199145600.0 + static_cast<double>(0.065f));
}

TEST(SecondsToDate, KnownValues) {
  struct Case {
    double t;
    Breakdown want;
  } cases[] = {
      {1293840000.0, {2011, 1, 1, 0, 0, 0.0f}},
      {1330518615.5, {2012, 2, 29, 12, 30, 15.5f}},
      {978220800.0, {2000, 12, 31, 0, 0, 0.0f}},   // day 366 of a 400-year leap year
      {4107456000.0, {2100, 2, 28, 0, 0, 0.0f}},   // 2100 is not a leap year
      {3725.5, {1970, 1, 1, 1, 2, 5.5f}},          // a span below one day
      {951782400.0, {2000, 2, 29, 0, 0, 0.0f}},
      {4107542400.0, {2100, 3, 1, 0, 0, 0.0f}},
      {-86400.0, {1969, 12, 31, 0, 0, 0.0f}},
      {1299308889.75, {2011, 3, 5, 7, 8, 9.75f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.t);
    Breakdown b = Split(c.t);
    EXPECT_EQ(b.year, c.want.year);
    EXPECT_EQ(b.month, c.want.month);
    EXPECT_EQ(b.day, c.want.day);
    EXPECT_EQ(b.hour, c.want.hour);
    EXPECT_EQ(b.minute, c.want.minute);
    EXPECT_EQ(b.seconds, c.want.seconds);
  }
}

TEST(SecondsToDate, FractionJustBelowAWholeSecondStaysBelow) {
  Breakdown b = Split(1299308889.999);
  EXPECT_EQ(static_cast<int>(b.seconds), 9);
  EXPECT_LT(b.seconds, 10.0f);
}

TEST(Calendar, LeapYearRules) {
  struct {
    int year;
    bool leap;
  } cases[] = {{1600, true}, {1700, false}, {1900, false}, {2000, true}, {2004, true},
               {2011, false}, {2012, true}, {2100, false}, {2400, true}, {1996, true}};
  for (auto c : cases) EXPECT_EQ(seed::IsLeapYear(c.year), c.leap) << c.year;
}

TEST(Calendar, DayOfYearAtMonthEdges) {
  struct {
    int doy, year, month, day;
  } cases[] = {{1, 2011, 1, 1},    {31, 2011, 1, 31},  {32, 2011, 2, 1},   {59, 2011, 2, 28},
               {60, 2011, 3, 1},   {60, 2012, 2, 29},  {61, 2012, 3, 1},   {365, 2011, 12, 31},
               {366, 2012, 12, 31}, {366, 2000, 12, 31}, {60, 1900, 3, 1},  {60, 2100, 3, 1}};
  for (auto c : cases) {
    int month = 0, day = 0;
    seed::DayOfYearToMonthDay(c.doy, c.year, month, day);
    EXPECT_EQ(month, c.month) << c.doy << "/" << c.year;
    EXPECT_EQ(day, c.day) << c.doy << "/" << c.year;
  }
}

TEST(Calendar, DateToSecondsAtCenturyBoundaries) {
  EXPECT_EQ(seed::DateToSeconds(1970, 1, 1, 0, 0, 0.0f), 0.0);
  EXPECT_EQ(seed::DateToSeconds(2000, 3, 1, 0, 0, 0.0f), 951868800.0);
  EXPECT_EQ(seed::DateToSeconds(2100, 3, 1, 0, 0, 0.0f), 4107542400.0);
  EXPECT_EQ(seed::DateToSeconds(1900, 3, 1, 0, 0, 0.0f), -2203891200.0);
  EXPECT_EQ(seed::DateToSeconds(1969, 12, 31, 23, 59, 59.0f), -1.0);
}

// Every day from 1970 to 2100 at a few times of day goes there and back.
TEST(Calendar, RoundTripEveryDay1970To2100) {
  const double end = seed::DateToSeconds(2101, 1, 1, 0, 0, 0.0f);
  const int times[] = {0, 1, 3599, 43200 + 1234, 86399};
  int failures = 0;
  int expectYear = 1970, expectDoy = 1;
  for (double day = 0; day * 86400 < end; ++day) {
    for (int s : times) {
      const double t = day * 86400 + s;
      Breakdown b = Split(t);
      const double back = seed::DateToSeconds(b.year, b.month, b.day, b.hour, b.minute, b.seconds);
      if (back != t && ++failures < 5) ADD_FAILURE() << "t=" << t << " came back as " << back;
    }
    Breakdown b = Split(day * 86400);
    int month = 0, dom = 0;
    seed::DayOfYearToMonthDay(expectDoy, expectYear, month, dom);
    if ((b.year != expectYear || b.month != month || b.day != dom) && ++failures < 5)
      ADD_FAILURE() << "day " << day << " gave " << b.year << "-" << b.month << "-" << b.day;
    if (++expectDoy > (seed::IsLeapYear(expectYear) ? 366 : 365)) {
      expectDoy = 1;
      ++expectYear;
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(expectYear, 2101);
}

}  // namespace
