#include "archive/archiverepair.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "archive/cpath.h"
#include "archive/datafilename.h"
#include "archive/filelist.h"
#include "archive/registration.h"
#include "platform/odbc.h"
#include "seed/record.h"

namespace archive {
namespace {

std::string Format(const char* format, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string TimeText(double t) {
  const Calendar c = Breakdown(t);
  return Format("%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
}

// A path in a station's folder, which that station's lock covers.
bool InStationFolder(const std::string& cpath) {
  const size_t end = cpath.find('\\');
  return end != std::string::npos && end > 0 && seed::IsSafeCode(cpath.substr(0, end).c_str());
}

std::string_view StationPart(const std::string& cpath) {
  return std::string_view(cpath).substr(0, cpath.find('\\'));
}

using Key = std::pair<FindingKind, std::string>;

class Planner {
 public:
  Planner(const ArchiveScan& scan, const RepairOptions& options, RepairPlan& plan)
      : m_Scan(scan), m_Options(options), m_Plan(plan) {
    m_Plan.after = scan;
  }

  bool Selected(const std::string& cpath) const {
    return !m_Options.selects || m_Options.selects(StationOf(cpath));
  }

  void Problems() {
    for (const WalkProblem& p : m_Scan.problems) {
      if (p.kind == WalkProblem::Kind::kNotRegular)
        Leave(FindingKind::kUnregistered, p.cpath, "not a regular file: links are not followed");
      else
        Leave(FindingKind::kUnreadable, p.cpath, "the repair cannot read it either");
    }
  }

  void Temporaries() {
    for (const std::string& cpath : m_Scan.temporaries) {
      if (!Selected(cpath) || !Lockable(FindingKind::kTemporaryFile, cpath)) continue;
      Act(ActionKind::kTemporaryRemoved, cpath, "temporary file removed " + cpath);
      std::erase(m_Plan.after.temporaries, cpath);
    }
  }

  void Files() {
    for (const auto& [cpath, f] : m_Scan.files)
      if (Selected(cpath)) File(cpath, f);
  }

  void Rows() {
    std::vector<std::string> gone;
    uint64_t selectedRows = 0;
    for (const auto& [cpath, of] : m_Scan.rows) {
      if (!Selected(cpath)) continue;
      selectedRows += of.size();
      if (!Lockable(FindingKind::kDuplicateRow, cpath)) {
        Leave(FindingKind::kMissingFile, cpath, "the path is in no station's folder");
        Leave(FindingKind::kRowMismatch, cpath, "the path is in no station's folder");
        continue;
      }
      if (of.size() > 1) {
        Act(ActionKind::kDuplicatesDeleted, cpath,
            Format("rows deleted %s: %zu more rows of this path; the first (%s) is kept", cpath.c_str(),
                   of.size() - 1, m_Scan.firstRowName.c_str()));
        m_Plan.after.rows[cpath].resize(1);
        Change(cpath).row = of.front();
      }
      if (m_Scan.files.count(cpath)) continue;
      const auto why = m_Scan.missing.find(cpath);
      if (why == m_Scan.missing.end() || !why->second.absent) {
        Leave(FindingKind::kMissingFile, cpath, "something other than a data file is at its path");
      } else if (!m_Options.dropMissing) {
        Leave(FindingKind::kMissingFile, cpath, "--drop-missing deletes rows whose file is gone");
      } else {
        gone.push_back(cpath);
      }
    }
    Drop(gone, selectedRows);
  }

  void Finish() {
    const CheckReport after = CheckScan(m_Plan.after);
    for (const Finding& f : after.findings) {
      if (!Selected(f.cpath)) continue;
      const auto reason = m_Reasons.find({f.kind, f.cpath});
      m_Plan.left.push_back({f, reason != m_Reasons.end() ? reason->second : DefaultReason(f.kind)});
    }
    // By station, in the order in which their locks and transactions come.
    auto byStation = [](const std::string& a, const std::string& b) {
      const std::string_view sa = StationPart(a), sb = StationPart(b);
      return sa != sb ? sa < sb : a < b;
    };
    std::stable_sort(m_Plan.actions.begin(), m_Plan.actions.end(),
                     [&](const RepairAction& a, const RepairAction& b) { return byStation(a.cpath, b.cpath); });
    std::set<std::string> stations;
    for (RepairAction& a : m_Plan.actions) {
      stations.insert(StationOf(a.cpath));
      for (char& c : a.text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    m_Plan.stations.assign(stations.begin(), stations.end());
    for (auto& [key, change] : m_Changes) m_Plan.rowChanges.push_back(std::move(change));
  }

 private:
  static std::string DefaultReason(FindingKind kind) {
    switch (kind) {
      case FindingKind::kOverlap: return "no program can tell which of the two files is right";
      case FindingKind::kNameMismatch:
      case FindingKind::kRowMismatch: return "no program can tell which side is right";
      case FindingKind::kBadHeader: return "no program can tell what the header should say";
      case FindingKind::kUnreadable: return "the repair cannot read it either";
      default: return "the repair does not mend this";
    }
  }

  void Act(ActionKind kind, const std::string& cpath, std::string text, uint64_t newSize = 0) {
    m_Plan.actions.push_back({kind, cpath, std::move(text), newSize});
  }
  void Leave(FindingKind kind, const std::string& cpath, std::string reason) {
    m_Reasons.emplace(Key{kind, cpath}, std::move(reason));
  }
  RowChange& Change(const std::string& cpath) {
    RowChange& c = m_Changes[{StationOf(cpath), cpath}];
    if (c.cpath.empty()) {
      c.cpath = cpath;
      const auto of = m_Scan.rows.find(cpath);
      c.rowsBefore = of == m_Scan.rows.end() ? 0 : of->second.size();
    }
    return c;
  }

  bool Lockable(FindingKind kind, const std::string& cpath) {
    if (InStationFolder(cpath)) return true;
    Leave(kind, cpath, "the path is in no station's folder");
    return false;
  }

  void File(const std::string& cpath, const ScannedFile& f) {
    const bool hasRow = m_Scan.rows.count(cpath) > 0;
    if (!Lockable(FindingKind::kUnregistered, cpath)) {
      for (FindingKind k : {FindingKind::kBadSize, FindingKind::kBadHeader, FindingKind::kNameMismatch})
        Leave(k, cpath, "the path is in no station's folder");
      return;
    }
    if (!f.HasHeader()) {
      const char* why = !f.Readable() ? "it cannot be read"
                        : f.header == ScannedFile::Header::kShort ? "it is shorter than a header"
                                                                  : "its header does not say what it holds";
      for (FindingKind k : {FindingKind::kUnregistered, FindingKind::kBadSize, FindingKind::kSampleCount})
        Leave(k, cpath, std::string("not a data file that can be mended: ") + why);
      return;
    }
    ScannedFile& after = m_Plan.after.files[cpath];
    if (!f.WholeSize()) {
      after.size = f.size - (f.size - kDataOffset) % 4;
      Act(ActionKind::kFileCut, cpath,
          Format("file cut %s: %llu → %llu bytes, its last whole sample", cpath.c_str(),
                 static_cast<unsigned long long>(f.size), static_cast<unsigned long long>(after.size)),
          after.size);
    }
    const DataHeader& h = f.parsed;
    if (cpath != h.CPath()) {
      Leave(FindingKind::kUnregistered, cpath, "its header names another path; no program can tell which is right");
      Leave(FindingKind::kSampleCount, cpath, "its header names another path");
      return;
    }
    const uint64_t samples = after.Samples();
    if (!hasRow) {
      ScannedRow r;
      r.sta = h.station;
      r.ch = h.channel;
      r.sps = h.sps;
      r.cpath = cpath;
      r.gain = 1;
      r.dataType = 3;
      r.creater = "BREVANTO";
      r.tBegin = h.StartSecond();
      r.tQty = static_cast<double>(samples) * (1.0 / r.sps);
      r.foff = static_cast<int32_t>(kDataOffset);
      r.ldDate = NowTimestamp();
      Act(ActionKind::kRowInserted, cpath,
          Format("row inserted %s: STA %s, CH %s, SPS %f, TQTY %.2f; TBEGIN %s, the whole second of the header "
                 "and name (the fraction is not known)",
                 cpath.c_str(), r.sta.c_str(), r.ch.c_str(), r.sps, r.tQty, TimeText(r.tBegin).c_str()));
      m_Plan.after.rows[cpath] = {r};
      Change(cpath).row = r;
      return;
    }
    ScannedRow r = m_Scan.rows.at(cpath).front();
    if (const std::string wrong = RowDisagreement(r, h); !wrong.empty()) {
      Leave(FindingKind::kSampleCount, cpath, "the row disagrees with its file on more (" + wrong + ")");
      Leave(FindingKind::kRowMismatch, cpath, "no program can tell which side is right");
      return;
    }
    std::string changed;
    if (std::llround(r.tQty * r.sps) != static_cast<long long>(samples) || !std::isfinite(r.tQty * r.sps)) {
      const double tQty = static_cast<double>(samples) * (1.0 / r.sps);
      changed = Format("TQTY %.2f → %.2f", r.tQty, tQty);
      r.tQty = tQty;
    }
    if (r.foff != static_cast<int32_t>(kDataOffset)) {
      changed += Format("%sFOFF %d → 512", changed.empty() ? "" : ", ", r.foff);
      r.foff = static_cast<int32_t>(kDataOffset);
    }
    if (changed.empty()) return;
    r.ldDate = NowTimestamp();
    Act(ActionKind::kRowUpdated, cpath, "row updated " + cpath + ": " + changed);
    m_Plan.after.rows[cpath].front() = r;
    Change(cpath).row = r;
  }

  void Drop(const std::vector<std::string>& gone, uint64_t selectedRows) {
    if (gone.empty()) return;
    const uint64_t n = gone.size();
    std::string refused;
    if (m_Options.dropMissingCount >= 0) {
      if (n != static_cast<uint64_t>(m_Options.dropMissingCount))
        refused = Format("--drop-missing=%ld names another count than the %llu rows whose file is gone",
                         m_Options.dropMissingCount, static_cast<unsigned long long>(n));
    } else if (n > kDropMissingMost || n * 100 > selectedRows * kDropMissingPercent) {
      refused = Format("%llu of %llu rows have no file, more than %llu %% or %llu: is the data folder mounted? "
                       "--drop-missing=%llu deletes them",
                       static_cast<unsigned long long>(n), static_cast<unsigned long long>(selectedRows),
                       static_cast<unsigned long long>(kDropMissingPercent),
                       static_cast<unsigned long long>(kDropMissingMost), static_cast<unsigned long long>(n));
    }
    if (!refused.empty()) {
      m_Plan.dropRefused = refused;
      for (const std::string& cpath : gone) Leave(FindingKind::kMissingFile, cpath, "--drop-missing refused");
      return;
    }
    for (const std::string& cpath : gone) {
      Act(ActionKind::kRowDropped, cpath, "row deleted " + cpath + ": no data file");
      m_Plan.after.rows.erase(cpath);
      m_Plan.after.missing.erase(cpath);
      Change(cpath).row.reset();
    }
  }

  const ArchiveScan& m_Scan;
  const RepairOptions& m_Options;
  RepairPlan& m_Plan;
  std::map<Key, std::string> m_Reasons;
  std::map<std::pair<std::string, std::string>, RowChange> m_Changes;  // by station, then path
};

void SetFields(CFileList& target, const ScannedRow& r) {
  target.m_STA = r.sta;
  target.m_SPS = r.sps;
  target.m_GAIN = r.gain;
  target.m_CPATH = r.cpath;
  target.m_DATATYPE = r.dataType;
  target.m_CH = r.ch;
  target.m_CREATER = r.creater;
  // A row without LDDATE gets one: no database takes the year 0.
  target.m_LDDATE = r.ldDate.year > 0 ? r.ldDate : NowTimestamp();
  target.m_TBEGIN = r.tBegin;
  target.m_TQTY = r.tQty;
  target.m_FOFF = r.foff;
}

void Insert(CFileList& target, const ScannedRow& r) {
  target.AddNew();
  SetFields(target, r);
  target.Update();
}

// Each deletion takes the first row of the path, the row registration uses;
// the row kept goes back in with its values, so it is the first again.
void ApplyRowChange(odbc::Connection& database, const RowChange& c) {
  CFileList target(&database);
  if (c.rowsBefore == 1 && c.row) {
    SetFields(target, *c.row);
    if (!target.UpdateFirst() && !target.HasRow(c.cpath)) Insert(target, *c.row);
    return;
  }
  for (size_t i = 0; i < c.rowsBefore; ++i) target.DeleteFirst(c.cpath);
  if (c.row) Insert(target, *c.row);
}

bool ApplyToFile(const ArchiveScan& scan, const RepairAction& a, std::string& problem) {
  const std::string full = scan.Full(a.cpath);
  if (a.kind == ActionKind::kTemporaryRemoved) {
    if (::unlink(full.c_str()) == 0 || errno == ENOENT) return true;
    problem = full + ": cannot remove: " + std::strerror(errno);
    return false;
  }
  const int fd = ::open(full.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(a.newSize)) == 0 && ::close(fd) == 0) return true;
  problem = full + ": cannot cut: " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return false;
}

}  // namespace

size_t RepairPlan::Count(ActionKind kind) const {
  return static_cast<size_t>(
      std::count_if(actions.begin(), actions.end(), [kind](const RepairAction& a) { return a.kind == kind; }));
}

RepairPlan PlanRepair(const ArchiveScan& scan, const RepairOptions& options) {
  RepairPlan plan;
  Planner planner(scan, options, plan);
  planner.Problems();
  planner.Temporaries();
  planner.Files();
  planner.Rows();
  planner.Finish();
  return plan;
}

void ApplyRepair(const RepairPlan& plan, const ArchiveScan& scan, odbc::Connection& database,
                 const std::function<void(const RepairAction&)>& done,
                 const std::function<void(const RepairAction&, const std::string&)>& failed) {
  auto change = plan.rowChanges.begin();
  auto action = plan.actions.begin();
  for (const std::string& station : plan.stations) {
    auto inStation = [&](const std::string& cpath) { return StationPart(cpath) == station; };
    const auto firstAction = action;
    while (action != plan.actions.end() && inStation(action->cpath)) ++action;
    std::vector<const RepairAction*> rowActions;
    // The files first: a row then describes the file as it is.
    for (auto a = firstAction; a != action; ++a) {
      if (a->kind != ActionKind::kFileCut && a->kind != ActionKind::kTemporaryRemoved) {
        rowActions.push_back(&*a);
        continue;
      }
      std::string problem;
      if (ApplyToFile(scan, *a, problem))
        done(*a);
      else
        failed(*a, problem);
    }
    const auto firstChange = change;
    while (change != plan.rowChanges.end() && inStation(change->cpath)) ++change;
    if (firstChange == change) continue;
    for (int attempt = 1;; ++attempt) {
      try {
        database.Begin();
        for (auto c = firstChange; c != change; ++c) ApplyRowChange(database, *c);
        database.Commit();
        break;
      } catch (const odbc::Error& e) {
        database.Rollback();
        if (!IsTransient(e) || attempt == kTransientAttempts) throw;
      }
      BackOff(attempt);
    }
    for (const RepairAction* a : rowActions) done(*a);
  }
}

std::string FormatLeftover(const Leftover& left) {
  std::string line = "left " + FormatFinding(left.finding) + "; " + left.reason;
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

}  // namespace archive
