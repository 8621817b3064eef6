#pragma once
// The geometry of a coverage timeline, shared by the SVG writer and the
// dialog's window: where a time falls on a row, axis ticks suited to the
// window, and bars merged down to what a pixel can show.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/coverage.h"

namespace archive {

// Maps the window onto [left, left + width) pixels.
struct TimeAxis {
  double from = 0, to = 1;
  double left = 0, width = 1;
  double X(double t) const { return to > from ? left + (t - from) / (to - from) * width : left; }
  double T(double x) const { return width > 0 ? from + (x - left) / width * (to - from) : from; }
};

struct AxisTick {
  double t = 0;
  std::string label;
};

// Calendar-aligned ticks from seconds to years, at most maxTicks of them.
std::vector<AxisTick> AxisTicks(double from, double to, int maxTicks);

// A bar in pixels: one span, or neighbours merged where they are less than a
// pixel apart.
struct PixelBar {
  double x0 = 0, x1 = 0;
  double begin = 0, end = 0;  // times of the spans merged
  uint64_t spans = 0, files = 0;
};

// Bars of time-ordered intervals with files (spans), at least a pixel wide.
std::vector<PixelBar> SpanBars(const std::vector<CoverageSpan>& spans, const TimeAxis& axis);
std::vector<PixelBar> IntervalBars(const std::vector<CoverageInterval>& intervals, const TimeAxis& axis);

}  // namespace archive
