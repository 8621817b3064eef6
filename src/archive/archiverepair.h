#pragma once
// The archive repair: mends what the check finds where the files say what is
// right, and leaves the rest to the operator with a reason. A plan is made
// from one scan and changes nothing; applying it changes the files first,
// then the rows, in one transaction per station.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archivecheck.h"
#include "archive/archivescan.h"

namespace odbc {
class Connection;
}

namespace archive {

// At most this share of the rows, and this many, go with --drop-missing
// unless the operator names the count: an unmounted data folder must not
// empty the index.
inline constexpr uint64_t kDropMissingPercent = 10;
inline constexpr uint64_t kDropMissingMost = 1000;

struct RepairOptions {
  bool dropMissing = false;
  long dropMissingCount = -1;  // --drop-missing=N: exactly N rows may go; -1: the limits
  // The stations (folders below the data folder) repaired; empty: all.
  std::function<bool(const std::string& station)> selects;
};

enum class ActionKind {
  kRowUpdated,        // the first row follows its file
  kRowInserted,       // a file without a row gets one from its header
  kDuplicatesDeleted, // the rows after the first of a path
  kRowDropped,        // the rows of a path whose file is gone (--drop-missing)
  kFileCut,           // a file cut back to its last whole sample
  kTemporaryRemoved,  // a writer's temporary file
};

struct RepairAction {
  ActionKind kind;
  std::string cpath;
  std::string text;  // the line for the operator
  uint64_t newSize = 0;  // kFileCut
};

// What becomes of one path's rows: the rows there are now (rowsBefore) are
// replaced by row, or deleted when there is none. rowsBefore 1 and a row
// is an update of the first row.
struct RowChange {
  std::string cpath;
  size_t rowsBefore = 0;
  std::optional<ScannedRow> row;
};

// A finding the repair leaves to the operator, and why.
struct Leftover {
  Finding finding;
  std::string reason;
};

struct RepairPlan {
  std::vector<RepairAction> actions;  // by path
  std::vector<RowChange> rowChanges;  // by path
  std::vector<std::string> stations;  // that the plan changes, in byte order
  std::string dropRefused;            // why --drop-missing deletes nothing, or empty
  ArchiveScan after;                  // the archive as the plan leaves it
  std::vector<Leftover> left;         // its findings in the selected stations

  bool LeavesWhole() const { return left.empty(); }
  size_t Count(ActionKind kind) const;
};

RepairPlan PlanRepair(const ArchiveScan& scan, const RepairOptions& options);

// Carries the plan out. done is called for each action carried out, failed
// for one that could not be (with the reason); a station's row actions are
// reported once its transaction is committed. Throws odbc::Error when a
// station's rows cannot be written; its transaction is then rolled back and
// the stations after it are not touched.
void ApplyRepair(const RepairPlan& plan, const ArchiveScan& scan, odbc::Connection& database,
                 const std::function<void(const RepairAction&)>& done,
                 const std::function<void(const RepairAction&, const std::string&)>& failed);

// "left KIND CPATH: DETAIL; REASON", one line.
std::string FormatLeftover(const Leftover& left);

}  // namespace archive
