#include "archive/archivecheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "archive/cpath.h"
#include "archive/datafilename.h"

namespace archive {
namespace {

std::string Format(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

class Checker {
 public:
  Checker(const ArchiveScan& scan, CheckReport& report) : m_Scan(scan), m_Report(report) {}

  void CheckWalk() {
    for (const WalkProblem& p : m_Scan.problems)
      Add(p.kind == WalkProblem::Kind::kUnreadable ? FindingKind::kUnreadable : FindingKind::kUnregistered, p.cpath,
          p.detail);
    for (const std::string& cpath : m_Scan.temporaries)
      Add(FindingKind::kTemporaryFile, cpath, "temporary file of an interrupted write");
    m_Report.files = m_Scan.files.size() + m_Scan.temporaries.size();
    for (const auto& [cpath, f] : m_Scan.files) CheckFile(cpath, f);
  }

  void CheckRows() {
    for (const auto& [cpath, of] : m_Scan.rows) {
      m_Report.rows += of.size();
      for (size_t n = 2; n <= of.size(); ++n)
        Add(FindingKind::kDuplicateRow, cpath,
            Format("row %zu of this path; registration takes the first (%s)", n, m_Scan.firstRowName.c_str()));
      const ScannedRow& row = of.front();
      if (LocalPath(cpath).empty()) {
        Add(FindingKind::kRowMismatch, cpath, "the path does not name a file inside the data folder");
        continue;
      }
      if (!(row.sps > 0) || !std::isfinite(row.sps)) {
        Add(FindingKind::kRowMismatch, cpath, Format("SPS %.17g is not a sample rate", row.sps));
      }
      if (row.foff != static_cast<int32_t>(kDataOffset))
        Add(FindingKind::kRowMismatch, cpath, Format("FOFF %d, not 512", row.foff));
      auto file = m_Scan.files.find(cpath);
      if (file == m_Scan.files.end()) {
        auto why = m_Scan.missing.find(cpath);
        Add(FindingKind::kMissingFile, cpath, why != m_Scan.missing.end() ? why->second.why : "no data file");
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
    for (const auto& [cpath, of] : m_Scan.rows) {
      const ScannedRow& row = of.front();
      auto file = m_Scan.files.find(cpath);
      if (file == m_Scan.files.end() || !(row.sps > 0) || !std::isfinite(row.sps) || !file->second.WholeSize() ||
          file->second.Samples() == 0)
        continue;
      const double h = 1.0 / row.sps;
      channels[{row.sta, row.ch}].push_back(
          {row.tBegin, row.tBegin + static_cast<double>(file->second.Samples()) * h, row.sps, &cpath});
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
  void Add(FindingKind kind, const std::string& cpath, std::string detail) {
    m_Report.findings.push_back({kind, cpath, std::move(detail)});
  }

  void CheckFile(const std::string& cpath, const ScannedFile& f) {
    if (!m_Scan.rows.count(cpath)) Add(FindingKind::kUnregistered, cpath, "no FILELIST row");
    if (!f.Readable()) {
      Add(FindingKind::kUnreadable, cpath, f.openError);
      return;
    }
    if (!f.WholeSize())
      Add(FindingKind::kBadSize, cpath,
          Format("%llu bytes, not 512 + 4 x samples", static_cast<unsigned long long>(f.size)));
    else
      m_Report.samples += f.Samples();
    if (f.header == ScannedFile::Header::kUnreadable) Add(FindingKind::kUnreadable, cpath, f.headerProblem);
    if (f.header == ScannedFile::Header::kBad) Add(FindingKind::kBadHeader, cpath, f.headerProblem);
    if (f.header == ScannedFile::Header::kGood && cpath != f.parsed.CPath())
      Add(FindingKind::kNameMismatch, cpath, "the header names " + f.parsed.CPath());
  }

  void CompareRow(const ScannedRow& row, const ScannedFile& f) {
    if (f.Readable() && f.WholeSize()) {
      const double registered = row.tQty * row.sps;
      if (!std::isfinite(registered) || std::llround(registered) != static_cast<long long>(f.Samples()))
        Add(FindingKind::kSampleCount, row.cpath,
            Format("TQTY %.17g x SPS %.17g = %.6f samples, the file holds %llu", row.tQty, row.sps, registered,
                   static_cast<unsigned long long>(f.Samples())));
    }
    if (!f.HasHeader()) return;
    const std::string detail = RowDisagreement(row, f.parsed);
    if (!detail.empty()) Add(FindingKind::kRowMismatch, row.cpath, detail + " disagree with the file");
  }

  const ArchiveScan& m_Scan;
  CheckReport& m_Report;
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

CheckReport CheckScan(const ArchiveScan& scan) {
  CheckReport report;
  Checker checker(scan, report);
  checker.CheckWalk();
  checker.CheckRows();
  checker.CheckOverlaps();
  checker.Finish();
  return report;
}

CheckReport CheckArchive(const std::string& dataDir, odbc::Connection& database) {
  return CheckScan(ScanArchive(dataDir, database));
}

std::string RowDisagreement(const ScannedRow& row, const DataHeader& h) {
  std::vector<std::string> wrong;
  if (row.sta != h.station) wrong.push_back("STA \"" + row.sta + "\" (file: " + h.station + ")");
  if (row.ch != h.channel) wrong.push_back("CH \"" + row.ch + "\" (file: " + h.channel + ")");
  // The header keeps six decimals.
  if (!(std::fabs(row.sps - h.sps) <= 5e-7 * std::max(1.0, std::fabs(h.sps))))
    wrong.push_back(Format("SPS %.17g (file: %f)", row.sps, h.sps));
  // The name holds the whole second of TBEGIN. Start times come from
  // record headers in ten-thousandths of a second, so a database that
  // hands doubles back to 15 digits cannot carry one across a second.
  const Calendar c = Breakdown(row.tBegin);
  if (c.year != h.year || c.month != h.month || c.day != h.day || c.hour != h.hour || c.minute != h.minute ||
      c.second != h.second)
    wrong.push_back(Format("TBEGIN %.6f (file starts %04d-%02d-%02d %02d:%02d:%02d)", row.tBegin, h.year, h.month,
                           h.day, h.hour, h.minute, h.second));
  std::string detail;
  for (const std::string& w : wrong) detail += (detail.empty() ? "" : ", ") + w;
  return detail;
}

std::string FormatFinding(const Finding& finding) {
  std::string line = std::string(KindName(finding.kind)) + " " + finding.cpath + ": " + finding.detail;
  // One finding, one line, and no terminal controls, whatever a path or a row holds.
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

}  // namespace archive
