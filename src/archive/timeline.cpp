#include "archive/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "archive/isotime.h"

namespace archive {
namespace {

constexpr double kMinute = 60, kHour = 3600, kDay = 86400;

std::string Label(double t, const char* format) {
  const CivilTime c = CivilFromSeconds(t);
  char text[40];
  const std::string f = format;
  if (f == "time")
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", c.hour, c.minute, c.second);
  else if (f == "hour")
    std::snprintf(text, sizeof text, "%02d-%02d %02d:%02d", c.month, c.day, c.hour, c.minute);
  else if (f == "day")
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", c.year, c.month, c.day);
  else if (f == "month")
    std::snprintf(text, sizeof text, "%04d-%02d", c.year, c.month);
  else
    std::snprintf(text, sizeof text, "%04d", c.year);
  return text;
}

template <typename Interval, typename Files>
std::vector<PixelBar> Bars(const std::vector<Interval>& intervals, const TimeAxis& axis, Files files) {
  std::vector<PixelBar> bars;
  for (const Interval& s : intervals) {
    const double x0 = axis.X(s.begin);
    const double x1 = std::max(axis.X(s.end), x0 + 1.0);
    if (!bars.empty() && x0 < bars.back().x1 + 1.0) {
      PixelBar& b = bars.back();
      b.x1 = std::max(b.x1, x1);
      b.end = std::max(b.end, s.end);
      ++b.spans;
      b.files += files(s);
      continue;
    }
    bars.push_back({x0, x1, s.begin, s.end, 1, files(s)});
  }
  return bars;
}

}  // namespace

std::vector<AxisTick> AxisTicks(double from, double to, int maxTicks) {
  std::vector<AxisTick> ticks;
  const double length = to - from;
  if (!(length > 0) || maxTicks < 1 || !std::isfinite(length)) return ticks;
  const auto fits = [&] { return ticks.size() <= static_cast<size_t>(maxTicks); };
  static const double kSteps[] = {1,          2,         5,         10,       15,       30,        kMinute,
                                  2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute, kHour, 2 * kHour,
                                  3 * kHour,  6 * kHour, 12 * kHour, kDay,     2 * kDay, 7 * kDay,  14 * kDay};
  for (double step : kSteps) {
    if (length / step > maxTicks + 1) continue;
    const char* format = step < kMinute ? "time" : step < kDay ? "hour" : "day";
    // Weeks begin on Monday: 1970-01-05 was one.
    const double origin = step == 7 * kDay || step == 14 * kDay ? 4 * kDay : 0;
    ticks.clear();
    for (double t = std::ceil((from - origin) / step) * step + origin; t <= to && fits(); t += step)
      ticks.push_back({t, Label(t, format)});
    if (fits()) return ticks;
  }
  // Months and years: calendar steps.
  const CivilTime start = CivilFromSeconds(from);
  static const int kMonthSteps[] = {1, 2, 3, 6, 12, 24, 60, 120, 240, 600, 1200, 6000, 12000};
  for (int stepMonths : kMonthSteps) {
    ticks.clear();
    int64_t index = static_cast<int64_t>(start.year) * 12 + (start.month - 1);
    index = (index + stepMonths - 1) / stepMonths * stepMonths;
    for (; fits(); index += stepMonths) {
      CivilTime c;
      c.year = static_cast<int>(index / 12);
      c.month = static_cast<int>(index % 12) + 1;
      const double t = SecondsFromCivil(c);
      if (t < from) continue;
      if (t > to) break;
      ticks.push_back({t, Label(t, stepMonths < 12 ? "month" : "year")});
    }
    if (fits()) return ticks;
  }
  ticks.clear();
  return ticks;
}

std::vector<PixelBar> SpanBars(const std::vector<CoverageSpan>& spans, const TimeAxis& axis) {
  return Bars(spans, axis, [](const CoverageSpan& s) { return s.files; });
}

std::vector<PixelBar> IntervalBars(const std::vector<CoverageInterval>& intervals, const TimeAxis& axis) {
  return Bars(intervals, axis, [](const CoverageInterval&) { return uint64_t{0}; });
}

}  // namespace archive
