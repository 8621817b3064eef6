#pragma once
// What the archive holds per station and channel, from FILELIST rows alone:
// continuous spans, the gaps between them, overlaps, and the time covered
// within a window. Files that follow each other within one sample period
// make one span; a missing sample or more is a gap, a sample or more read
// twice an overlap.
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace archive {

// Window bounds; NaN where open.
struct TimeWindow {
  double from = NAN, to = NAN;
  bool Contains(double begin, double end) const {
    return !(end <= from) && !(begin >= to);  // NaN bounds compare false
  }
};

// One FILELIST row, the columns coverage needs.
struct CoverageRow {
  std::string station, channel;
  double sps = 0, tBegin = 0, tQty = 0;
};

struct CoverageSpan {
  double begin = 0, end = 0;
  double sps = 0;
  uint64_t files = 0;
  bool overlapping = false;  // shares a sample or more with another span
  double Seconds() const { return end - begin; }
};

struct CoverageInterval {
  double begin = 0, end = 0;
  double Seconds() const { return end - begin; }
};

struct ChannelCoverage {
  std::string station, channel;
  std::vector<CoverageSpan> spans;  // within the window, by begin
  std::vector<CoverageInterval> gaps;      // where no span is, the window's edges included
  std::vector<CoverageInterval> overlaps;  // where two spans are
  double covered = 0;  // seconds of the window with data
  std::vector<double> Rates() const;  // distinct sample rates, in order of appearance
  uint64_t Files() const;
};

struct Coverage {
  TimeWindow window;  // both bounds set: as asked, else the extent of the data
  std::vector<ChannelCoverage> channels;  // by station, then channel, in byte order
  uint64_t rows = 0;          // rows read
  uint64_t rowsUnusable = 0;  // without a positive rate or a length: left out
  double Seconds() const { return window.to - window.from; }
  double Percent(const ChannelCoverage& c) const { return Seconds() > 0 ? 100.0 * c.covered / Seconds() : 0.0; }
};

// Whether a piece starting at begin continues data that end at end: the two
// are less than one sample period apart, less what stored times may be off
// by (a thousandth of a period, at least 20 µs).
bool Continues(double end, double begin, double sps);

// Gathers rows, best in the order of station, channel and begin time (the
// order the reader asks the database for); rows out of that order are
// merged at Finish.
class CCoverageBuilder {
 public:
  explicit CCoverageBuilder(TimeWindow window = {}) : m_Window(window) {}
  void Add(const CoverageRow& row);
  void Add(const std::string& station, const std::string& channel, double sps, double tBegin, double tQty);
  Coverage Finish();

 private:
  struct Channel {
    std::vector<CoverageSpan> spans;
    size_t reacher = 0;              // the span that ends last
    std::vector<CoverageSpan> late;  // rows that came before the last one's begin
    double lastBegin = -INFINITY;
    // Extends the last span, or the one that ends last, or starts another.
    void Merge(const CoverageSpan& piece);
  };
  Channel& Find(const std::string& station, const std::string& channel);

  TimeWindow m_Window;
  std::map<std::pair<std::string, std::string>, Channel> m_Channels;
  std::pair<std::string, std::string> m_LastKey;
  Channel* m_Last = nullptr;
  uint64_t m_Rows = 0, m_Unusable = 0;
};

}  // namespace archive
