#pragma once
// The command line of brevanto-cli.
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert/selection.h"

namespace cli {

constexpr const char* kProgram = "brevanto-cli";

enum ExitStatus {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitArchive = 3,
};
// --check and --repair: 0 the archive is whole (afterwards), 1 findings
// (remain), 2 usage, 3 the archive could not be read (VEZ.ini, data folder,
// database or FILELIST).

// The connection a conversion run, the check and the repair open.
constexpr const char* kArchiveConnect = "DSN=VEZ;UID=VEZ;PWD=QKT;";
constexpr int kLoginTimeoutSeconds = 15;

struct Options {
  std::string vezIni;
  std::string quality = "DQ";
  bool quiet = false;
  bool verbose = false;
  bool help = false;
  bool version = false;
  bool check = false;  // --check: examine the archive instead of converting
  bool coverage = false;  // --coverage: report what FILELIST holds instead of converting
  bool follow = false;    // --follow: the files are folders whose files are followed
  long pollSeconds = 10;  // of --follow
  std::string include;    // --include GLOB of --follow; empty: every file
  std::string state;      // --state FILE of --follow; empty: in the data folder
  double from = NAN, to = NAN;  // --from, --to of --coverage; NaN where not given
  std::string format = "text";  // of --coverage
  std::string output;           // --output of --coverage; empty: standard output
  bool repair = false;  // --repair: mend what the check finds
  bool dryRun = false;  // --dry-run: the repair's lines, nothing changed
  bool dropMissing = false;
  long dropMissingCount = -1;  // --drop-missing=N
  unsigned jobs = 0;   // 0: the default, the cores this process may use (at most 8)
  long commitMs = -1;  // -1: COMMIT_MS of ./brevanto.ini, else the default
  bool noWait = false;
  std::string stations, channels, locations, networks;  // comma-separated codes or patterns
  unsigned shard = 1, shards = 1;
  std::vector<std::string> files;  // in command-line order, list files expanded in place
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws UsageError. Stops at -h or -V, which need nothing else.
Options ParseArguments(int argc, const char* const* argv);

// The records a conversion or a follower takes, as the options choose them.
convert::CSelection SelectionOf(const Options& o);

// The input paths of a list file: one a line, blank lines and lines starting
// with # left out. Throws UsageError when the file cannot be read.
std::vector<std::string> ReadListFile(const std::string& path);

// Quality indicators the converter knows: D, Q, R and M.
bool IsValidQuality(const std::string& codes);

std::string ShortUsage();
std::string HelpText();

}  // namespace cli
