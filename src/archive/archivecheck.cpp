#include "archive/archivecheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "archive/cpath.h"
#include "archive/datafilename.h"
#include "archive/filelisttable.h"
#include "platform/odbc.h"
#include "seed/record.h"

namespace archive {
namespace {

constexpr size_t kHeaderBytes = 512;

struct Row {
  std::string sta, cpath, ch;
  double sps = 0, tBegin = 0, tQty = 0;
  int32_t foff = 0;
};

// What a data file's header says.
struct Header {
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  double sps = 0;
  std::string station, channel;
  std::string FileName() const {
    return DataFileName(Calendar{year, month, day, hour, minute, second}, channel, station);
  }
};

std::string Format(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

bool IsCode(const std::string& s) { return !s.empty() && seed::IsSafeCode(s.c_str()); }

// "KEY=" followed by three integers in the writer's format, and nothing else.
// Widths in format are minimums (a year may have five digits).
bool ParseNumbers(const std::string& line, const char* key, const char* format, int& a, int& b, int& c) {
  const size_t n = std::strlen(key);
  if (line.compare(0, n, key) != 0) return false;
  const std::string value = line.substr(n);
  if (value.size() > 32 || value.find_first_not_of("0123456789 ") != std::string::npos) return false;
  if (std::sscanf(value.c_str(), "%d %d %d", &a, &b, &c) != 3) return false;
  return Format(format, a, b, c) == value;
}

// Parses the header block; on failure why says what is wrong.
bool ParseHeader(const unsigned char* block, Header& h, std::string& why) {
  const char* text = reinterpret_cast<const char*>(block);
  const size_t length = strnlen(text, kHeaderBytes);
  if (length == kHeaderBytes) {
    why = "no zero byte ends the header text";
    return false;
  }
  for (size_t i = length + 1; i < kHeaderBytes; ++i) {
    if (block[i] != ' ') {
      why = Format("byte %zu after the header text is not a blank", i);
      return false;
    }
  }
  std::string all(text, length);
  if (all.size() < 2 || all.compare(all.size() - 2, 2, "\r\n") != 0) {
    why = "the header text does not end with CR LF";
    return false;
  }
  all.resize(all.size() - 2);
  std::vector<std::string> lines;
  for (size_t begin = 0;;) {
    const size_t end = all.find("\r\n", begin);
    lines.push_back(all.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) break;
    begin = end + 2;
  }
  if (lines.size() != 10) {
    why = Format("%zu header lines instead of 10", lines.size());
    return false;
  }
  auto bad = [&](int n) {
    why = "header line " + std::to_string(n) + " \"" + lines[static_cast<size_t>(n - 1)] + "\"";
    for (char& ch : why)
      if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7f) ch = '?';
    return false;
  };
  if (lines[0] != "[VEZ4.0]") return bad(1);
  if (lines[1] != "Data offset=512") return bad(2);
  if (!ParseNumbers(lines[2], "Start time=", "%02d %02d %02d", h.hour, h.minute, h.second) || h.hour > 23 ||
      h.minute > 59 || h.second > 60)
    return bad(3);
  if (!ParseNumbers(lines[3], "Start date=", "%02d %02d %04d", h.day, h.month, h.year) || h.day < 1 ||
      h.day > 31 || h.month < 1 || h.month > 12)
    return bad(4);
  int dh, dm, ds;
  if (!ParseNumbers(lines[4], "Time duration=", "%02d %02d %02d", dh, dm, ds)) return bad(5);
  if (lines[5] != "Data Type=FLOAT") return bad(6);
  {
    const std::string& l = lines[6];
    if (l.compare(0, 4, "SpS=") != 0) return bad(7);
    const std::string value = l.substr(4);
    char* end = nullptr;
    h.sps = std::strtod(value.c_str(), &end);
    if (value.empty() || *end || !std::isfinite(h.sps) || h.sps <= 0 || Format("%f", h.sps) != value)
      return bad(7);
  }
  if (lines[7].compare(0, 5, "Gain=") != 0 || lines[7].size() == 5 ||
      lines[7].find_first_not_of("-0123456789", 5) != std::string::npos)
    return bad(8);
  if (lines[8].compare(0, 8, "Station=") != 0 || !IsCode(h.station = lines[8].substr(8))) return bad(9);
  {
    const std::string& l = lines[9];
    if (l.size() < 12 || l.compare(0, 10, "Channels=\"") != 0 || l.back() != '"' ||
        !IsCode(h.channel = l.substr(10, l.size() - 11)))
      return bad(10);
  }
  return true;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class Checker {
 public:
  Checker(std::string dataDir, CheckReport& report) : m_Dir(std::move(dataDir)), m_Report(report) {
    if (m_Dir.empty()) m_Dir = "/";
  }

  void ReadRows(odbc::Connection& database) {
    const FileListTable& table = CheckFileListTable(database);
    std::string columns;
    for (FileListColumn c : {kSta, kSps, kCpath, kCh, kTBegin, kTQty, kFoff})
      columns += (columns.empty() ? "" : ", ") + table.Column(c);
    odbc::Statement select(database);
    select.Prepare("SELECT " + columns + " FROM " + table.Table() + table.FirstRow().Order());
    select.Execute();
    std::map<std::string, uint64_t> seen;
    while (select.Fetch()) {
      Row r;
      r.sta = Unpadded(select.GetText(1));
      r.sps = select.GetDouble(2);
      r.cpath = Unpadded(select.GetText(3));
      r.ch = Unpadded(select.GetText(4));
      r.tBegin = select.GetDouble(5);
      r.tQty = select.GetDouble(6);
      r.foff = select.GetInt(7);
      ++m_Report.rows;
      const uint64_t n = ++seen[r.cpath];
      if (n > 1)
        Add(FindingKind::kDuplicateRow, r.cpath,
            Format("row %llu of this path; registration takes the first (%s)", static_cast<unsigned long long>(n),
                   table.FirstRow().Name().c_str()));
      m_Rows.emplace(r.cpath, r);
    }
    select.CloseCursor();
  }

  void WalkFiles() {
    struct stat st {};
    if (::stat(m_Dir.c_str(), &st) != 0) throw CheckError(Errno(("data folder " + m_Dir).c_str()));
    if (!S_ISDIR(st.st_mode)) throw CheckError("data folder " + m_Dir + " is not a folder");
    Walk("", "");
  }

  void CheckRows() {
    for (const auto& [cpath, row] : m_Rows) {
      const std::string local = LocalPath(cpath);
      if (local.empty()) {
        Add(FindingKind::kRowMismatch, cpath, "the path does not name a file inside the data folder");
        continue;
      }
      if (!(row.sps > 0) || !std::isfinite(row.sps)) {
        Add(FindingKind::kRowMismatch, cpath, Format("SPS %.17g is not a sample rate", row.sps));
      }
      if (row.foff != 512) Add(FindingKind::kRowMismatch, cpath, Format("FOFF %d, not 512", row.foff));
      auto file = m_Files.find(cpath);
      if (file == m_Files.end()) {
        struct stat st {};
        const std::string full = Full(local);
        if (::lstat(full.c_str(), &st) != 0)
          Add(FindingKind::kMissingFile, cpath, Errno("no data file"));
        else
          Add(FindingKind::kMissingFile, cpath, "not a regular file");
        continue;
      }
      CompareRow(row, file->second);
    }
  }

  // Spans from the rows' TBEGIN and SPS and the files' sample counts.
  void CheckOverlaps() {
    struct Span {
      double begin, end, sps;
      const std::string* cpath;
    };
    std::map<std::pair<std::string, std::string>, std::vector<Span>> channels;
    for (const auto& [cpath, row] : m_Rows) {
      auto file = m_Files.find(cpath);
      if (file == m_Files.end() || !(row.sps > 0) || !std::isfinite(row.sps) || file->second.samples == 0) continue;
      const double h = 1.0 / row.sps;
      channels[{row.sta, row.ch}].push_back(
          {row.tBegin, row.tBegin + static_cast<double>(file->second.samples) * h, row.sps, &cpath});
    }
    for (auto& [key, spans] : channels) {
      std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
      // Each span against the one reaching furthest before it.
      const Span* reach = nullptr;
      for (const Span& s : spans) {
        // Sample times within half a period of each other are one.
        if (reach && s.begin < reach->end - 0.5 / std::max(s.sps, reach->sps)) {
          const Calendar from = Breakdown(s.begin), to = Breakdown(std::min(s.end, reach->end));
          Add(FindingKind::kOverlap, *s.cpath,
              Format("shares %04d-%02d-%02d %02d:%02d:%02d to %02d:%02d:%02d with %s", from.year, from.month,
                     from.day, from.hour, from.minute, from.second, to.hour, to.minute, to.second,
                     reach->cpath->c_str()));
        }
        if (!reach || s.end > reach->end) reach = &s;
      }
    }
  }

  void Finish() {
    std::stable_sort(m_Report.findings.begin(), m_Report.findings.end(), [](const Finding& a, const Finding& b) {
      return a.cpath != b.cpath ? a.cpath < b.cpath : a.kind < b.kind;
    });
  }

 private:
  struct File {
    bool wholeSize = false;
    uint64_t samples = 0;
    bool haveHeader = false;
    Header header;
  };

  void Add(FindingKind kind, const std::string& cpath, std::string detail) {
    m_Report.findings.push_back({kind, cpath, std::move(detail)});
  }

  std::string Full(const std::string& local) const {
    return m_Dir.back() == '/' ? m_Dir + local : m_Dir + "/" + local;
  }

  // local: '/'-separated path below the data folder; cpath: the same with backslashes.
  void Walk(const std::string& local, const std::string& cpath) {
    const std::string dirPath = local.empty() ? m_Dir : Full(local);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dirPath.c_str()), ::closedir);
    if (!dir) {
      Add(FindingKind::kUnreadable, cpath, Errno("cannot read the folder"));
      return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      // The converter's station locks and a follower's state are not part of the archive.
      const bool own = local.empty() && (name == kLockFolderName || name == kFollowFolderName);
      if (name != "." && name != ".." && !own) names.push_back(name);
    }
    if (errno != 0) Add(FindingKind::kUnreadable, cpath, Errno("cannot read the folder"));
    dir.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string childLocal = local.empty() ? name : local + "/" + name;
      const std::string childCpath = cpath.empty() ? name : cpath + "\\" + name;
      struct stat st {};
      if (::lstat(Full(childLocal).c_str(), &st) != 0) {
        Add(FindingKind::kUnreadable, childCpath, Errno("cannot examine"));
      } else if (S_ISDIR(st.st_mode)) {
        Walk(childLocal, childCpath);
      } else if (S_ISREG(st.st_mode)) {
        ++m_Report.files;
        CheckFile(childLocal, childCpath, name);
      } else {
        // Links are not followed: they could lead out of the archive.
        Add(FindingKind::kUnregistered, childCpath, "not a regular file");
      }
    }
  }

  // The writer's ".NAME.XXXXXX" beside the file it was about to become.
  static bool IsTemporary(const std::string& name) { return IsTemporaryName(name); }

  void CheckFile(const std::string& local, const std::string& cpath, const std::string& name) {
    if (IsTemporary(name)) {
      Add(FindingKind::kTemporaryFile, cpath, "temporary file of an interrupted write");
      return;
    }
    if (!m_Rows.count(cpath)) Add(FindingKind::kUnregistered, cpath, "no FILELIST row");

    File& f = m_Files[cpath];
    const int fd = ::open(Full(local).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      Add(FindingKind::kUnreadable, cpath, Errno("cannot open"));
      if (fd >= 0) ::close(fd);
      return;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < kHeaderBytes || (size - kHeaderBytes) % 4 != 0) {
      Add(FindingKind::kBadSize, cpath,
          Format("%llu bytes, not 512 + 4 x samples", static_cast<unsigned long long>(size)));
    } else {
      f.wholeSize = true;
      f.samples = (size - kHeaderBytes) / 4;
      m_Report.samples += f.samples;
    }
    if (size >= kHeaderBytes) {
      unsigned char block[kHeaderBytes];
      ssize_t got = 0;
      do got = ::pread(fd, block, sizeof block, 0);
      while (got < 0 && errno == EINTR);
      if (got != static_cast<ssize_t>(sizeof block)) {
        if (got >= 0) errno = EIO;
        Add(FindingKind::kUnreadable, cpath, Errno("cannot read the header"));
      } else {
        std::string why;
        if (ParseHeader(block, f.header, why)) {
          f.haveHeader = true;
          CheckName(cpath, f.header);
        } else {
          Add(FindingKind::kBadHeader, cpath, why);
        }
      }
    }
    ::close(fd);
  }

  void CheckName(const std::string& cpath, const Header& h) {
    const std::string expected = h.station + "\\" + HourFolder(h.hour) + "\\" + h.FileName();
    if (cpath != expected) Add(FindingKind::kNameMismatch, cpath, "the header names " + expected);
  }

  void CompareRow(const Row& row, const File& f) {
    if (f.wholeSize) {
      const double registered = row.tQty * row.sps;
      if (!std::isfinite(registered) || std::llround(registered) != static_cast<long long>(f.samples))
        Add(FindingKind::kSampleCount, row.cpath,
            Format("TQTY %.17g x SPS %.17g = %.6f samples, the file holds %llu", row.tQty, row.sps, registered,
                   static_cast<unsigned long long>(f.samples)));
    }
    if (!f.haveHeader) return;
    const Header& h = f.header;
    std::vector<std::string> wrong;
    if (row.sta != h.station) wrong.push_back("STA \"" + row.sta + "\" (file: " + h.station + ")");
    if (row.ch != h.channel) wrong.push_back("CH \"" + row.ch + "\" (file: " + h.channel + ")");
    // The header keeps six decimals.
    if (!(std::fabs(row.sps - h.sps) <= 5e-7 * std::max(1.0, std::fabs(h.sps))))
      wrong.push_back(Format("SPS %.17g (file: %f)", row.sps, h.sps));
    // The name holds the whole second of TBEGIN. Start times come from
    // record headers in ten-thousandths of a second, so a database that
    // hands doubles back to 15 digits cannot carry one across a second.
    const bool timeAgrees = DataFileName(Breakdown(row.tBegin), h.channel, h.station) == h.FileName();
    if (!timeAgrees) wrong.push_back(Format("TBEGIN %.6f (file starts %04d-%02d-%02d %02d:%02d:%02d)", row.tBegin,
                                            h.year, h.month, h.day, h.hour, h.minute, h.second));
    if (wrong.empty()) return;
    std::string detail;
    for (const std::string& w : wrong) detail += (detail.empty() ? "" : ", ") + w;
    Add(FindingKind::kRowMismatch, row.cpath, detail + " disagree with the file");
  }

  std::string m_Dir;
  CheckReport& m_Report;
  std::map<std::string, Row> m_Rows;    // first row of each path
  std::map<std::string, File> m_Files;  // regular data files by path
};

}  // namespace

const char* KindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kMissingFile: return "missing-file";
    case FindingKind::kUnregistered: return "unregistered";
    case FindingKind::kBadSize: return "bad-size";
    case FindingKind::kBadHeader: return "bad-header";
    case FindingKind::kNameMismatch: return "name-mismatch";
    case FindingKind::kSampleCount: return "sample-count";
    case FindingKind::kRowMismatch: return "row-mismatch";
    case FindingKind::kDuplicateRow: return "duplicate-row";
    case FindingKind::kTemporaryFile: return "temporary-file";
    case FindingKind::kUnreadable: return "unreadable";
    case FindingKind::kOverlap: return "overlap";
  }
  return "unknown";
}

const char* KindMeaning(FindingKind kind) {
  switch (kind) {
    case FindingKind::kMissingFile: return "a row whose data file is not there";
    case FindingKind::kUnregistered: return "a data file without a row";
    case FindingKind::kBadSize: return "a file whose size is not 512 + 4 x samples";
    case FindingKind::kBadHeader: return "a header that does not parse as [VEZ4.0]";
    case FindingKind::kNameMismatch: return "a header whose station, channel or start time\ndisagrees with the file's name or folders";
    case FindingKind::kSampleCount: return "a row whose TQTY x SPS is not the file's sample\ncount";
    case FindingKind::kRowMismatch: return "a row whose STA, CH, SPS, TBEGIN or FOFF disagrees\nwith its file, or whose CPATH leads out of the\ndata folder";
    case FindingKind::kDuplicateRow: return "a second row of one path";
    case FindingKind::kTemporaryFile: return "a writer's temporary file (.NAME.XXXXXX) left by\nan interrupted run";
    case FindingKind::kUnreadable: return "a file or folder that could not be read";
    case FindingKind::kOverlap: return "two data files of one station and channel\nthat share a sample time";
  }
  return "";
}

size_t CheckReport::Count(FindingKind kind) const {
  return static_cast<size_t>(
      std::count_if(findings.begin(), findings.end(), [kind](const Finding& f) { return f.kind == kind; }));
}

CheckReport CheckArchive(const std::string& dataDir, odbc::Connection& database) {
  CheckReport report;
  Checker checker(dataDir, report);
  checker.ReadRows(database);
  checker.WalkFiles();
  checker.CheckRows();
  checker.CheckOverlaps();
  checker.Finish();
  return report;
}

std::string FormatFinding(const Finding& finding) {
  std::string line = std::string(KindName(finding.kind)) + " " + finding.cpath + ": " + finding.detail;
  // One finding, one line, and no terminal controls, whatever a path or a row holds.
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

}  // namespace archive
