#pragma once
// The coverage timeline as a standalone SVG: one row per channel, bars where
// data are, gaps left empty, overlaps in a warning colour, a calendar time
// axis and a title. Bars less than a pixel apart are merged, so the size
// follows the picture's width, not the number of files.
#include "archive/coveragereport.h"
#include "archive/timeline.h"

namespace archive {

struct SvgLayout {
  static constexpr int kWidth = 1200;
  static constexpr int kLabelWidth = 150;  // station and channel labels left of the bars
  static constexpr int kRightMargin = 20;
  static constexpr int kTop = 60;          // title and subtitle
  static constexpr int kRowHeight = 18;
  static constexpr int kBarHeight = 12;
  static constexpr int kAxisHeight = 40;
  static constexpr int kMaxTicks = 12;

  static TimeAxis Axis(const Coverage& c) {
    return {c.window.from, c.window.to, kLabelWidth, kWidth - kLabelWidth - kRightMargin};
  }
  static int RowTop(size_t row) { return kTop + static_cast<int>(row) * kRowHeight; }
  static int Height(size_t rows) { return kTop + static_cast<int>(rows) * kRowHeight + kAxisHeight; }
};

// Colours shared with the dialog's window.
inline constexpr const char* kSpanColour = "#2f6fb0";
inline constexpr const char* kOverlapColour = "#e8590c";
inline constexpr const char* kRowColour = "#eef1f4";

class CSvgCoverageWriter : public ICoverageWriter {
 public:
  std::string Write(const Coverage& coverage, const std::string& archive) const override;
};

}  // namespace archive
