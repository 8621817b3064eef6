#pragma once
// Following files that another program keeps appending records to: the
// whole records that came since the last look are converted through the
// same stages as a run (hand-over, registrar), in short rounds that take a
// station's lock only while they write and commit its records. What is
// converted and registered is kept as a resume state, so that a restart,
// also after a crash, goes on where the last committed round ended.
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/archivecheck.h"
#include "convert/selection.h"

class CConvertFromSeed;

namespace convert {

class CStationLocks;

// The folder at the top of the data folder that holds the default state.
inline constexpr const char* kFollowFolder = archive::kFollowFolderName;

// One followed file, as far as its records are converted and registered.
struct FollowedFile {
  uint64_t device = 0, inode = 0;
  uint64_t offset = 0;  // every whole record before it is in the archive
  uint64_t size = 0;    // of the file when offset was reached
  int64_t mtimeNs = 0;  // likewise
  bool operator==(const FollowedFile&) const = default;
};
using FollowState = std::map<std::string, FollowedFile>;  // by path

// A state that is missing reads as empty. One that cannot be parsed reads
// as empty too, with problem set: every file is then read from its start,
// which the archive's one copy of every sample makes safe.
FollowState LoadFollowState(const std::string& path, std::string& problem);
// Written to a temporary file beside path, synced, then renamed over it.
bool SaveFollowState(const std::string& path, const FollowState& state, std::string& problem);

// The settings a follower takes again when asked to (SIGHUP).
struct FollowReread {
  std::string dataDir;
  std::chrono::milliseconds commitInterval{0};
  CSelection selection;
};

struct FollowSettings {
  std::vector<std::string> folders;
  std::string include;    // glob on the file name; empty: every file
  std::string statePath;  // empty: the default state in the data folder
  std::chrono::seconds poll{10};
  // How often a status line reports what was done; 0: never.
  std::chrono::seconds statusEvery{60};
  // Set, from a signal handler for one, to have the settings read again
  // between rounds: reread fills them in, or says why it cannot (the old
  // ones are then kept). Null: never.
  std::atomic<bool>* rereadRequested = nullptr;
  std::function<bool(FollowReread&, std::string& problem)> reread;
};

class CFollower {
 public:
  CFollower(CConvertFromSeed& converter, FollowSettings settings);
  ~CFollower();
  CFollower(const CFollower&) = delete;
  CFollower& operator=(const CFollower&) = delete;

  // Follows until the converter is asked to stop; then what was read is
  // written, committed and saved. False when following could not begin
  // (data folder, database, state folder).
  bool Run();
  const std::string& StatePath() const { return m_StatePath; }

 private:
  struct Chunk;  // the new whole records of one file
  // Why the folders cannot be followed into dataDir: one is missing, or
  // holds or lies in it; empty when they can.
  std::string FoldersProblem(const std::string& dataDir) const;
  // The default state's folder in dataDir; why it cannot be made, or empty.
  std::string MakeStateFolder(const std::string& dataDir) const;
  bool RereadRequested() const;
  // Between rounds: the data folder, commit interval and selection read
  // again, used only when all of them are usable.
  void Reread();
  void Watch(const std::string& folder);
  // Folders, files and their identities as they are now; resets the files
  // replaced or cut shorter, drops those gone. The whole tree every poll
  // interval, else only what inotify named since the last look.
  void Discover();
  // Walks top, noting its files in seen; false when it could not be read whole.
  bool Walk(const std::string& top, std::set<std::string>& seen);
  // A regular file found at path: taken up, or reset when replaced or cut shorter.
  void Look(const std::string& path, const struct stat& st);
  bool Followable(const std::string& name) const;
  // Notes what the queued inotify events name; true when there were any.
  bool Drain();
  // The records of a file after its offset, up to the last whole one.
  bool ReadNew(const std::string& path, const FollowedFile& file, Chunk& chunk, size_t budget);
  // One round: false when nothing was there to read.
  bool Round();
  // Waits for the stations' locks; false when stopped or they cannot be taken.
  bool Lock(CStationLocks& locks, const std::set<std::string>& stations);
  // Locks, writes, commits; true when all of it is registered.
  bool Convert(std::vector<Chunk>& chunks);
  // Sleeps until inotify sees a change, the poll interval passed or a stop.
  void Wait(std::chrono::milliseconds longest);
  bool Reconnect();
  void Save();
  bool Stopping() const;
  // Notes which files hold bytes not yet converted, and since when; the
  // status line when it is due.
  void Account();

  CConvertFromSeed& m_Converter;
  FollowSettings m_Settings;
  std::string m_StatePath;
  FollowState m_State;
  std::optional<FollowState> m_Saved;  // as last written
  int m_Inotify = -1;
  std::map<int, std::string> m_Watches;  // descriptor -> folder
  std::set<std::string> m_Watched;
  // What inotify named since the last look, or that only a whole walk will do.
  std::set<std::string> m_Changed, m_NewFolders;
  bool m_WalkAll = true;
  std::chrono::steady_clock::time_point m_LastWalk{};
  std::chrono::milliseconds m_Backoff{0};  // after a database error
  std::map<std::string, uint64_t> m_Sizes;  // by path, at the last look
  std::map<std::string, std::chrono::steady_clock::time_point> m_PendingSince;  // by path
  std::chrono::steady_clock::time_point m_LastLine = std::chrono::steady_clock::now();
  uint64_t m_LineRecords = 0, m_LineSamples = 0;  // the totals at the last line
};

}  // namespace convert
