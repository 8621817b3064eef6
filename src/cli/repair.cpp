#include "cli/repair.h"

#include <dirent.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "archive/archiverepair.h"
#include "archive/filelisttable.h"
#include "convert/archivesettings.h"
#include "convert/selection.h"
#include "convert/stationlocks.h"
#include "platform/odbc.h"
#include "platform/odbchint.h"
#include "seed/record.h"

namespace cli {
namespace {

// Lock attempts before the repair gives up on a folder tree that keeps growing.
constexpr int kLockRounds = 5;

// The station folders at the top of the data folder.
std::set<std::string> StationFolders(const std::string& dataDir, const archive::RepairOptions& ro) {
  std::set<std::string> stations;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dataDir.empty() ? "/" : dataDir.c_str()), ::closedir);
  if (!dir) return stations;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (!name.empty() && seed::IsSafeCode(name.c_str()) && (!ro.selects || ro.selects(name))) stations.insert(name);
  }
  return stations;
}

const char* Plural(size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

std::string Summary(const archive::RepairPlan& plan, bool dryRun, size_t failures) {
  using archive::ActionKind;
  std::string text = std::string(kProgram) + (dryRun ? ": dry run, nothing changed:" : ": repaired:");
  const struct {
    ActionKind kind;
    const char *one, *many;
  } kinds[] = {
      {ActionKind::kRowUpdated, "row updated", "rows updated"},
      {ActionKind::kRowInserted, "row inserted", "rows inserted"},
      {ActionKind::kDuplicatesDeleted, "path's duplicate rows deleted", "paths' duplicate rows deleted"},
      {ActionKind::kRowDropped, "row without a file deleted", "rows without a file deleted"},
      {ActionKind::kFileCut, "file cut", "files cut"},
      {ActionKind::kTemporaryRemoved, "temporary file removed", "temporary files removed"},
  };
  bool any = false;
  for (const auto& k : kinds) {
    const size_t n = plan.Count(k.kind);
    if (n == 0) continue;
    text += (any ? ", " : " ") + std::to_string(n) + " " + Plural(n, k.one, k.many);
    any = true;
  }
  if (!any) text += " nothing to do";
  if (failures) text += "; " + std::to_string(failures) + Plural(failures, " action failed", " actions failed");
  const size_t left = plan.left.size();
  text += "; " + std::to_string(left) + Plural(left, " finding", " findings") + " left; archive ";
  text += dryRun ? (plan.LeavesWhole() ? "would be whole" : "would NOT be whole")
                 : (plan.LeavesWhole() && failures == 0 ? "whole" : "NOT whole");
  return text;
}

void PrintPlanned(const archive::RepairPlan& plan) {
  for (const archive::RepairAction& a : plan.actions) std::printf("%s\n", a.text.c_str());
}

// Takes the locks of every station the repair may change, then reads the
// archive under them; a plan that reaches beyond them is made again.
bool LockAndPlan(const Options& o, const std::string& dataDir, const archive::RepairOptions& ro,
                 odbc::Connection& database, convert::CStationLocks& locks, archive::ArchiveScan& scan,
                 archive::RepairPlan& plan, int& status) {
  std::set<std::string> want = StationFolders(dataDir, ro);
  for (int round = 1; round <= kLockRounds; ++round) {
    std::string busy, problem;
    pid_t holder = 0;
    const auto notice = [](const std::string& station, pid_t pid) {
      std::fprintf(stderr, "%s: waiting for station %s, which another run is converting%s\n", kProgram,
                   station.c_str(), pid ? (" (process " + std::to_string(pid) + ")").c_str() : "");
    };
    switch (locks.Acquire(want, !o.noWait, notice, nullptr, busy, holder, problem)) {
      case convert::CStationLocks::Result::kLocked: break;
      case convert::CStationLocks::Result::kBusy:
      case convert::CStationLocks::Result::kStopped:
        std::fprintf(stderr, "%s: station %s is being converted by another run%s; nothing repaired\n", kProgram,
                     busy.c_str(), holder ? (" (process " + std::to_string(holder) + ")").c_str() : "");
        status = kExitArchive;
        return false;
      case convert::CStationLocks::Result::kFailed:
        std::fprintf(stderr, "%s: cannot repair the archive: %s\n", kProgram, problem.c_str());
        status = kExitArchive;
        return false;
    }
    scan = archive::ScanArchive(dataDir, database);
    plan = archive::PlanRepair(scan, ro);
    const size_t before = want.size();
    want.insert(plan.stations.begin(), plan.stations.end());
    if (want.size() == before) return true;
    locks.Release();
  }
  std::fprintf(stderr, "%s: cannot repair the archive: its stations changed %d times while it was locked\n",
               kProgram, kLockRounds);
  status = kExitArchive;
  return false;
}

int RepairArchive(const Options& o, const std::string& dataDir, odbc::Connection& database) {
  archive::RepairOptions ro;
  ro.dropMissing = o.dropMissing;
  ro.dropMissingCount = o.dropMissingCount;
  if (!o.stations.empty()) {
    convert::CSelection selection;
    selection.SetStations(o.stations);
    ro.selects = [selection](const std::string& station) { return selection.Selects("", station.c_str(), "", ""); };
  }
  archive::ArchiveScan scan;
  archive::RepairPlan plan;
  size_t failures = 0;
  // A dry run reads only, as the check does, and takes no locks.
  if (o.dryRun) {
    scan = archive::ScanArchive(dataDir, database);
    plan = archive::PlanRepair(scan, ro);
    PrintPlanned(plan);
  } else {
    convert::CStationLocks locks(dataDir);
    int status = kExitOk;
    if (!LockAndPlan(o, dataDir, ro, database, locks, scan, plan, status)) return status;
    // The repair writes no data file, so an interrupted one leaves no file
    // without a row that was not there before: it takes no marks of its own.
    archive::ApplyRepair(
        plan, scan, database, [](const archive::RepairAction& a) { std::printf("%s\n", a.text.c_str()); },
        [&failures](const archive::RepairAction& a, const std::string& problem) {
          std::printf("failed: %s: %s\n", a.text.c_str(), problem.c_str());
          ++failures;
        });
    // The marks of killed runs go where no file is left without a row: those
    // stations are whole again.
    std::set<std::string> unfinished;
    for (const archive::Leftover& l : plan.left)
      if (l.finding.kind == archive::FindingKind::kUnregistered) unfinished.insert(archive::StationOf(l.finding.cpath));
    locks.FinishedWriting(unfinished);
  }
  if (!plan.dropRefused.empty()) std::fprintf(stderr, "%s: --drop-missing: %s\n", kProgram, plan.dropRefused.c_str());
  for (const archive::Leftover& l : plan.left) std::printf("%s\n", archive::FormatLeftover(l).c_str());
  const bool whole = plan.LeavesWhole() && failures == 0;
  if (!o.quiet || !whole) std::printf("%s\n", Summary(plan, o.dryRun, failures).c_str());
  return whole ? kExitOk : kExitFailed;
}

}  // namespace

int Repair(const Options& o) {
  if (const std::string problem = VezIniProblem(o.vezIni); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitArchive;
  }
  const std::string dataDir = ReadDataDir(o.vezIni);
  try {
    odbc::Connection database;
    database.Open(kArchiveConnect, kLoginTimeoutSeconds);
    for (const std::string& w : archive::CheckFileListTable(database).Warnings())
      std::fprintf(stderr, "%s: %s\n", kProgram, w.c_str());
    return RepairArchive(o, dataDir, database);
  } catch (const archive::CheckError& e) {
    std::fprintf(stderr, "%s: cannot repair the archive: %s\n", kProgram, e.what());
  } catch (const odbc::Error& e) {
    std::fprintf(stderr, "%s: cannot repair the archive: VEZ Database error: %s\n", kProgram, e.what());
    if (const std::string hint = odbc::ConnectHint(e.SqlState(), kArchiveConnect); !hint.empty())
      std::fprintf(stderr, "%s: %s\n", kProgram, hint.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: cannot repair the archive: %s\n", kProgram, e.what());
  }
  return kExitArchive;
}

}  // namespace cli
