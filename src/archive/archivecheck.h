#pragma once
// The archive check: compares the data files under the data folder with the
// rows of FILELIST and lists every place where the two do not describe the
// same archive. Reads only; neither the files nor the table are changed.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace odbc {
class Connection;
}

namespace archive {

// The folder at the top of the data folder where runs keep their station locks.
inline constexpr const char* kLockFolderName = ".brevanto-lock";
// Likewise, where a follower keeps its resume state.
inline constexpr const char* kFollowFolderName = ".brevanto-follow";

enum class FindingKind {
  kMissingFile,     // a row whose data file is not there (or is not a regular file)
  kUnregistered,    // a data file without a row
  kBadSize,         // a file whose size is not 512 + 4 x samples
  kBadHeader,       // a file whose 512-byte header does not parse
  kNameMismatch,    // a header that disagrees with the file's name and folders
  kSampleCount,     // a row whose TQTY x SPS is not the file's sample count
  kRowMismatch,     // a row whose other values disagree with its file (STA, CH, SPS,
                    // TBEGIN, FOFF) or cannot describe any file (a path that leads
                    // out of the data folder, SPS not above 0)
  kDuplicateRow,    // a second (third, ...) row of one path
  kTemporaryFile,   // the writer's temporary file, left behind by an interrupted run
  kUnreadable,      // a file or folder that could not be read
  kOverlap,         // two data files of one station and channel share a sample time
};

// Stable lower-case name of a kind, as the command line prints it
// ("missing-file", "unregistered", ...).
const char* KindName(FindingKind kind);
// What a kind means, for the help; lines of at most 52 characters.
const char* KindMeaning(FindingKind kind);
inline constexpr FindingKind kAllFindingKinds[] = {
    FindingKind::kMissingFile,  FindingKind::kUnregistered, FindingKind::kBadSize,
    FindingKind::kBadHeader,    FindingKind::kNameMismatch, FindingKind::kSampleCount,
    FindingKind::kRowMismatch,  FindingKind::kDuplicateRow, FindingKind::kTemporaryFile,
    FindingKind::kUnreadable,   FindingKind::kOverlap};

struct Finding {
  FindingKind kind;
  std::string cpath;   // relative path, backslash form as in FILELIST
  std::string detail;  // one line, for the operator
};

struct CheckReport {
  std::vector<Finding> findings;  // sorted by cpath, then kind
  uint64_t rows = 0;              // FILELIST rows read
  uint64_t files = 0;             // regular files found under the data folder
  uint64_t samples = 0;           // samples in the files whose size is whole

  bool Whole() const { return findings.empty(); }
  size_t Count(FindingKind kind) const;
};

// The check could not be made at all: the data folder is missing or not a
// folder. Database errors (connection lost, no FILELIST) arrive as odbc::Error.
class CheckError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// dataDir: the archive data folder ([DATA] DIR of VEZ.ini, no trailing
// separator; empty stands for the root folder). database: an open
// connection to the archive's data source.
CheckReport CheckArchive(const std::string& dataDir, odbc::Connection& database);

// One line per finding, without a line end: "KIND CPATH: DETAIL".
std::string FormatFinding(const Finding& finding);

}  // namespace archive
