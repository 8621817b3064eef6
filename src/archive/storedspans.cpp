#include "archive/storedspans.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cerrno>
#include <cmath>
#include <set>

#include "archive/cpath.h"
#include "archive/datafilename.h"
#include "archive/filelisttable.h"
#include "platform/odbc.h"
#include "seed/seedtime.h"

namespace archive {
namespace {

constexpr uint64_t kHeaderBytes = 512;
// A file takes appends until it holds more than an hour; the last one adds
// at most a whole segment.
constexpr double kLongestFileSeconds = 3600;
constexpr double kLongestSegmentSamples = 9900;

// The longest a stored file that reaches into a window can be, for a
// channel whose lowest rate is minSps.
double Reach(double minSps) {
  return kLongestFileSeconds + kLongestSegmentSamples / std::min(1.0, std::max(minSps, 1e-6)) + 1;
}

}  // namespace

bool SameRate(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(std::fabs(a), std::fabs(b)); }

CChannelHoldings::CChannelHoldings(std::vector<StoredFile> files) : m_Files(std::move(files)) {
  std::stable_sort(m_Files.begin(), m_Files.end(),
                   [](const StoredFile& a, const StoredFile& b) { return a.tBegin < b.tBegin; });
  for (const StoredFile& f : m_Files) m_Longest = std::max(m_Longest, f.Duration());
}

std::vector<StoredFile>::const_iterator CChannelHoldings::Reaching(double begin) const {
  return std::lower_bound(m_Files.begin(), m_Files.end(), begin - m_Longest - 1,
                          [](const StoredFile& f, double t) { return f.tBegin < t; });
}

std::vector<Overlay> CChannelHoldings::Overlaps(double begin, double sps, size_t count) const {
  std::vector<Overlay> found;
  const double h = 1.0 / sps;
  const double end = begin + static_cast<double>(count) * h;
  for (auto it = Reaching(begin); it != m_Files.end(); ++it) {
    const size_t f = static_cast<size_t>(it - m_Files.begin());
    const StoredFile& file = *it;
    if (file.samples == 0 || !(file.sps > 0)) continue;
    if (file.tBegin >= end) break;
    // Sample times a stored sample is within half a period of; a file whose
    // start is known to the second only may begin up to a second later.
    // Between two rates, the shorter period decides what is one time.
    const double slack = file.estimated ? 1.0 : 0.0;
    const double near = 0.5 * std::min(h, 1.0 / file.sps);
    const double from = file.tBegin - near, to = file.End() - (1.0 / file.sps) + near + slack;
    if (to < begin) continue;
    Overlay o;
    o.file = f;
    o.sameRate = SameRate(file.sps, sps);
    if (o.sameRate && !file.estimated) {
      o.offset = std::llround((begin - file.tBegin) * sps);
      o.first = static_cast<size_t>(std::max<int64_t>(0, -o.offset));
      o.last = static_cast<size_t>(
          std::clamp<int64_t>(static_cast<int64_t>(file.samples) - o.offset, 0, static_cast<int64_t>(count)));
    } else {
      o.first = static_cast<size_t>(std::max(0.0, std::ceil((from - begin) * sps)));
      o.last = static_cast<size_t>(std::clamp(std::floor((to - begin) * sps) + 1, 0.0, static_cast<double>(count)));
    }
    if (o.first < o.last) found.push_back(o);
  }
  // Files of one channel may overlap one another (archives from before this
  // rule): a sample falls on the first of them only.
  std::sort(found.begin(), found.end(), [](const Overlay& a, const Overlay& b) { return a.first < b.first; });
  std::vector<Overlay> apart;
  size_t covered = 0;
  for (Overlay o : found) {
    if (o.last <= covered) continue;
    o.first = std::max(o.first, covered);
    covered = o.last;
    apart.push_back(o);
  }
  return apart;
}

StoredFile* CChannelHoldings::Continued(double begin, double sps) {
  for (auto it = Reaching(begin); it != m_Files.end() && it->tBegin <= begin; ++it)
    if (SameRate(it->sps, sps) && std::fabs(it->End() - begin) <= 1.0 / sps)
      return &m_Files[static_cast<size_t>(it - m_Files.begin())];
  return nullptr;
}

StoredFile* CChannelHoldings::Find(const std::string& cpath, double begin) {
  auto it = std::lower_bound(m_Files.begin(), m_Files.end(), begin - 2,
                             [](const StoredFile& f, double t) { return f.tBegin < t; });
  for (; it != m_Files.end() && it->tBegin <= begin + 2; ++it)
    if (it->cpath == cpath) return &*it;
  return nullptr;
}

StoredFile& CChannelHoldings::Add(StoredFile file) {
  m_Longest = std::max(m_Longest, file.Duration());
  auto at = std::upper_bound(m_Files.begin(), m_Files.end(), file.tBegin,
                             [](double t, const StoredFile& f) { return t < f.tBegin; });
  return *m_Files.insert(at, std::move(file));
}

void CChannelHoldings::Place(size_t i, double tBegin) {
  StoredFile file = std::move(m_Files[i]);
  m_Files.erase(m_Files.begin() + static_cast<std::ptrdiff_t>(i));
  file.tBegin = tBegin;
  file.estimated = false;
  Add(std::move(file));
}

void CChannelHoldings::Extend(StoredFile& file, uint64_t samples) {
  file.samples += samples;
  m_Longest = std::max(m_Longest, file.Duration());
}

bool StoredSampleCount(const std::string& fullPath, uint64_t& samples) {
  struct stat st {};
  if (::stat(fullPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto size = static_cast<uint64_t>(st.st_size);
  samples = size < kHeaderBytes ? 0 : (size - kHeaderBytes) / 4;
  return true;
}

bool ReadStoredSamples(const std::string& fullPath, uint64_t first, size_t count, uint32_t* out) {
  const int fd = ::open(fullPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  auto* p = reinterpret_cast<char*>(out);
  size_t left = 4 * count;
  auto at = static_cast<off_t>(kHeaderBytes + 4 * first);
  bool ok = true;
  while (left > 0) {
    const ssize_t n = ::pread(fd, p, left, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
      break;
    }
    p += n;
    at += n;
    left -= static_cast<size_t>(n);
  }
  const int err = errno;
  ::close(fd);
  errno = err;
  return ok;
}

namespace {

// The start second a data file's name holds ("DDMMYYYY-hhmmss-..."), or
// false when it is no data file name.
bool NameSecond(const std::string& name, double& t) {
  int day, month, year, hour, minute, second;
  char dash1, dash2;
  if (name.size() < 17 || std::sscanf(name.c_str(), "%2d%2d%4d%c%2d%2d%2d%c", &day, &month, &year, &dash1, &hour,
                                      &minute, &second, &dash2) != 8 || dash1 != '-' || dash2 != '-')
    return false;
  t = seed::DateToSeconds(year, month, day, hour, minute, static_cast<float>(second));
  return true;
}

// Files of a station's channels in their windows that have no row among held.
void AddUnlisted(const std::string& dataDir, const std::string& station,
                 const std::map<ChannelKey, ChannelWindow>& windows, HoldingsMap& held) {
  for (const auto& [key, w] : windows) {
    if (key.first != station) continue;
    const std::string suffix = DataFileName(Calendar{2000, 1, 1, 0, 0, 0}, key.second, station).substr(16);
    std::set<std::string> known;
    for (const StoredFile& f : held[key]) known.insert(f.cpath);
    for (int hour = 0; hour < 24; ++hour) {
      const std::string folder = HourFolder(hour);
      const std::string path = dataDir + "/" + station + "/" + folder;
      std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
      if (!dir) continue;
      while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        double t = 0;
        if (name.size() != 16 + suffix.size() || name.compare(16, std::string::npos, suffix) != 0 ||
            !NameSecond(name, t) || t < w.begin - Reach(w.minSps) || t >= w.end)
          continue;
        StoredFile f;
        f.cpath = station + "\\" + folder + "\\" + name;
        if (known.count(f.cpath) || !StoredSampleCount(path + "/" + name, f.samples)) continue;
        f.tBegin = t;
        f.sps = w.minSps;
        f.estimated = true;
        held[key].push_back(std::move(f));
      }
    }
  }
}

}  // namespace

HoldingsMap LoadHoldings(odbc::Connection& database, const std::string& dataDir,
                         const std::map<ChannelKey, ChannelWindow>& windows, const std::set<std::string>& unlisted) {
  const FileListTable& table = CheckFileListTable(database);
  // By station, channel and a range of TBEGIN: what the shipped index answers.
  odbc::Statement& select = database.Prepared(
      "SELECT " + table.Column(kCpath) + ", " + table.Column(kTBegin) + ", " + table.Column(kTQty) + ", " +
      table.Column(kSps) + " FROM " + table.Table() + " WHERE " + table.Column(kSta) + " = ? AND " +
      table.Column(kCh) + " = ? AND " + table.Column(kTBegin) + " >= ? AND " + table.Column(kTBegin) + " < ?" +
      table.FirstRow().Order());
  HoldingsMap holdings;
  for (const auto& [key, w] : windows) {
    select.SetParam(1, key.first);
    select.SetParam(2, key.second);
    select.SetParam(3, w.begin - Reach(w.minSps));
    select.SetParam(4, w.end);
    select.Execute();
    std::set<std::string> seen;  // the first row of a path is the one registration keeps
    while (select.Fetch()) {
      StoredFile f;
      f.cpath = Unpadded(select.GetText(1));
      f.tBegin = select.GetDouble(2);
      f.rowQty = select.GetDouble(3);
      f.sps = select.GetDouble(4);
      if (!seen.insert(f.cpath).second || !(f.sps > 0) || !std::isfinite(f.sps)) continue;
      const std::string local = LocalPath(f.cpath);
      if (local.empty() || !StoredSampleCount(dataDir + "/" + local, f.samples)) continue;
      holdings[key].push_back(std::move(f));
    }
    select.CloseCursor();
  }
  for (const std::string& station : unlisted) AddUnlisted(dataDir, station, windows, holdings);
  return holdings;
}

}  // namespace archive
