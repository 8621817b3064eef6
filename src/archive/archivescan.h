#pragma once
// The archive as its tools read it: every FILELIST row, and every file under
// the data folder with its size and parsed header. The check, the repair and
// the coverage work on one scan; the scan itself changes nothing.
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace odbc {
class Connection;
}

namespace archive {

inline constexpr uint64_t kDataOffset = 512;

// A FILELIST row, all eleven columns.
struct ScannedRow {
  std::string sta, cpath, ch, creater;
  double sps = 0, tBegin = 0, tQty = 0;
  int32_t gain = 0, dataType = 0, foff = 0;
  SQL_TIMESTAMP_STRUCT ldDate{};
};

// What a data file's header says.
struct DataHeader {
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  double sps = 0;
  std::string station, channel;
  std::string cpath;  // "STA\HH\NAME": where a file of this header belongs
  std::string FileName() const;
  const std::string& CPath() const { return cpath; }
  // The start second as a time value: the header holds no fraction.
  double StartSecond() const;
};

struct ScannedFile {
  uint64_t size = 0;
  std::string openError;  // empty when it could be opened
  enum class Header { kShort, kUnreadable, kBad, kGood } header = Header::kShort;
  std::string headerProblem;  // for kUnreadable and kBad
  DataHeader parsed;          // for kGood

  bool WholeSize() const { return size >= kDataOffset && (size - kDataOffset) % 4 == 0; }
  uint64_t Samples() const { return size >= kDataOffset ? (size - kDataOffset) / 4 : 0; }
  bool Readable() const { return openError.empty(); }
  bool HasHeader() const { return Readable() && header == Header::kGood; }
};

// A problem of the walk itself, at a path: a folder that could not be read,
// an entry that is neither folder nor regular file.
struct WalkProblem {
  enum class Kind { kUnreadable, kNotRegular } kind;
  std::string cpath, detail;
};

struct ArchiveScan {
  std::string dataDir;        // "/" for the root folder
  std::string firstRowName;   // how registration finds the first row of a path
  // By CPATH (padding removed), each path's rows in the order in which the
  // first is the one registration updates and deletes.
  std::map<std::string, std::vector<ScannedRow>> rows;
  // Regular files below the data folder, the writer's temporaries aside.
  std::map<std::string, ScannedFile> files;
  std::vector<std::string> temporaries;  // the writer's ".NAME.XXXXXX"
  std::vector<WalkProblem> problems;
  // Of row paths without a file: why (the lstat error, "not a regular file"),
  // and whether nothing at all is there.
  struct Missing {
    std::string why;
    bool absent = false;
  };
  std::map<std::string, Missing> missing;

  uint64_t RowCount() const;
  // "/data/ST01/00/NAME" of a CPATH that LocalPath accepts.
  std::string Full(const std::string& cpath) const;
};

// The folder at the top of the data folder where runs keep their station locks.
inline constexpr const char* kLockFolderName = ".brevanto-lock";
// Likewise, where a follower keeps its resume state.
inline constexpr const char* kFollowFolderName = ".brevanto-follow";

// The archive could not be read at all: the data folder is missing or not a
// folder. Database errors (connection lost, no FILELIST) arrive as odbc::Error.
class CheckError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// dataDir: the archive data folder (no trailing separator; empty stands for
// the root folder). Throws CheckError when the data folder is missing or not
// a folder, odbc::Error for the database and FILELIST.
ArchiveScan ScanArchive(const std::string& dataDir, odbc::Connection& database);

// The station folder a CPATH lies in: its first part, or empty.
std::string StationOf(const std::string& cpath);

// Parses a 512-byte header block; on failure why says what is wrong.
bool ParseDataHeader(const unsigned char* block, DataHeader& header, std::string& why);

}  // namespace archive
