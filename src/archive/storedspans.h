#pragma once
// What the archive already holds for a channel: its data files as spans of
// samples. The writer asks before each segment, so that no sample time of a
// station and channel is stored twice, whatever a run is fed and however often.
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace odbc {
class Connection;
}

namespace archive {

struct StoredFile {
  std::string cpath;     // relative path, backslash form
  double tBegin = 0;     // time of its first sample
  double sps = 0;
  uint64_t samples = 0;  // as the file holds them
  double rowQty = -1;    // TQTY of its row; -1 when it has none
  bool thisRun = false;  // written by this run, which registers it itself
  // Found on disk without a row: tBegin is the second its name holds until
  // a segment that meets it shows where in that second its first sample lies.
  bool estimated = false;

  double Duration() const { return static_cast<double>(samples) * (1.0 / sps); }
  double End() const { return tBegin + Duration(); }
  // Its row is missing or describes fewer samples than the file holds.
  bool RowLags() const { return rowQty < 0 || std::llround(rowQty * sps) < static_cast<long long>(samples); }
};

// Samples [first, last) of a segment fall on samples [first + offset, last +
// offset) of file, within half a sample period. sameRate false: the file has
// another rate, so none of them can repeat it.
struct Overlay {
  size_t file = 0;
  size_t first = 0, last = 0;
  int64_t offset = 0;
  bool sameRate = true;
};

// Rates closer than one part in a million are one rate.
bool SameRate(double a, double b);

class CChannelHoldings {
 public:
  CChannelHoldings() = default;
  explicit CChannelHoldings(std::vector<StoredFile> files);

  // The stretches of a segment of count samples from begin at sps that fall
  // on stored samples, ordered by first and apart from each other.
  std::vector<Overlay> Overlaps(double begin, double sps, size_t count) const;
  // The file a segment starting at begin continues (within one sample
  // period, at the same rate), or null.
  StoredFile* Continued(double begin, double sps);
  // The file of a path whose first sample lies within a second or two of
  // begin (a file's name holds the second it starts in).
  StoredFile* Find(const std::string& cpath, double begin);
  StoredFile& Add(StoredFile file);
  void Extend(StoredFile& file, uint64_t samples);
  // Moves file i to its true start, keeping the order.
  void Place(size_t i, double tBegin);
  StoredFile& operator[](size_t i) { return m_Files[i]; }
  const std::vector<StoredFile>& Files() const { return m_Files; }

 private:
  // From the first file that could reach begin.
  std::vector<StoredFile>::const_iterator Reaching(double begin) const;
  std::vector<StoredFile> m_Files;  // ordered by tBegin
  double m_Longest = 0;             // the longest duration among them
};

// The times of a station and channel a run will write.
struct ChannelWindow {
  double begin = 0, end = 0;  // of the first sample and after the last
  double minSps = 0;          // the lowest rate among its records
};
using ChannelKey = std::pair<std::string, std::string>;  // station, channel
using HoldingsMap = std::map<ChannelKey, std::vector<StoredFile>>;

// The files FILELIST registers for these channels that may hold samples in
// their windows, each with the sample count its file holds now; rows whose
// file is gone are left out. One query per channel. For the stations in
// unlisted (an earlier run of theirs ended before it registered all it
// wrote), the station's folders are read as well, for files without a row.
HoldingsMap LoadHoldings(odbc::Connection& database, const std::string& dataDir,
                         const std::map<ChannelKey, ChannelWindow>& windows,
                         const std::set<std::string>& unlisted = {});

// The sample count of a data file from its size; false when it is not a
// regular file.
bool StoredSampleCount(const std::string& fullPath, uint64_t& samples);

// Reads count samples from sample index first of a data file, as the
// little-endian words they are on disk; false when they cannot be read.
bool ReadStoredSamples(const std::string& fullPath, uint64_t first, size_t count, uint32_t* out);

}  // namespace archive
