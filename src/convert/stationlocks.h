#pragma once
// Runs that share a station never interleave: a run holds a lock for every
// station it writes into, one lock file per station in the hidden folder
// .brevanto-lock at the top of the data folder. The locks are open file
// description locks (fcntl), which the kernel drops when the process dies
// and which reach across NFS. Every run takes all of its locks before it
// writes anything, in byte order of the station codes, so that no two runs
// can each hold what the other waits for.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "archive/archivecheck.h"

namespace convert {

inline constexpr const char* kLockFolder = archive::kLockFolderName;

class CStationLocks {
 public:
  explicit CStationLocks(std::string dataDir) : m_DataDir(std::move(dataDir)) {}
  ~CStationLocks() { Release(); }
  CStationLocks(const CStationLocks&) = delete;
  CStationLocks& operator=(const CStationLocks&) = delete;

  enum class Result { kLocked, kBusy, kStopped, kFailed };
  // Called once for each lock found held, before waiting for it (holder 0
  // when its process is not known).
  using WaitNotice = std::function<void(const std::string& station, pid_t holder)>;
  // Locks every station. A station held by another run is waited for, or
  // with wait false ends the attempt (kBusy, holder set). stop ends a wait
  // (kStopped). kFailed: the lock folder or a lock file could not be made
  // (problem says why). Anything but kLocked releases what was taken.
  Result Acquire(const std::set<std::string>& stations, bool wait, const WaitNotice& notice,
                 const std::atomic<bool>* stop, std::string& busyStation, pid_t& holder, std::string& problem);
  void Release() noexcept;

  // A run marks its stations before it writes and clears the marks once all
  // it wrote is registered: a mark found means that an earlier run ended
  // (was killed, lost its database) with files that may have no row. Returns
  // the stations so marked, and marks all locked ones.
  std::set<std::string> BeginWriting();
  void FinishedWriting() noexcept { FinishedWriting({}); }
  // Clears the marks of the locked stations but those in unfinished.
  void FinishedWriting(const std::set<std::string>& unfinished) noexcept;

 private:
  std::string MarkPath(const std::string& station) const;
  std::string m_DataDir;
  std::vector<int> m_Held;
  std::vector<std::string> m_Stations;  // of m_Held
};

}  // namespace convert
