#pragma once
// The registering stage: the one writer of FILELIST during a run.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/registration.h"

namespace convert {

// Registrations grouped into transactions. A row lags its data file by at
// most the interval and the time of a commit: what is pending is committed
// once its oldest registration has waited the interval, when asked (the end
// of an input file) and at Flush. Pending registrations are kept per path, the newest state
// winning: a Replace followed by Updates becomes one delete and one insert
// with the final values.
class CGroupedRegistration final : public IRegistrar {
 public:
  // report receives one line per data file whose registration is lost.
  CGroupedRegistration(IFileListTarget& target, std::chrono::milliseconds interval, ReportLine report);
  // Stops the committer; what is still pending is not committed (Flush
  // first). Names the data files whose registration was lost, after the
  // run has reported the error that lost them.
  ~CGroupedRegistration() override;

  void Register(const FileRegistration& r) override;
  void CommitSoon() override;
  void Flush() override;
  uint64_t WritesNotRegistered() const override;
  uint64_t FilesNotRegistered() const override;
  uint64_t FilesWithoutRow() const override;
  // Transactions committed so far.
  uint64_t Commits() const;

 private:
  struct Pending {
    FileRegistration latest;
    bool replace = false;  // a Replace came since the last commit
    uint64_t writes = 0;
  };
  using Group = std::vector<Pending>;
  void Committer();
  void CommitGroup(const Group& group);
  // Counts the group's files as written but not registered.
  void Lose(const Group& group);

  IFileListTarget& m_Target;
  const std::chrono::milliseconds m_Interval;
  CLostFiles m_Lost;

  mutable std::mutex m_Mutex;
  std::condition_variable m_Wake, m_Committed;
  Group m_Pending;
  std::unordered_map<std::string, size_t> m_Index;  // path -> m_Pending
  std::chrono::steady_clock::time_point m_OldestPending;  // arrival of m_Pending's first
  bool m_Soon = false, m_Committing = false, m_Stop = false;
  std::exception_ptr m_Failure;
  uint64_t m_Commits = 0;
  std::unordered_set<std::string> m_CommittedPaths, m_LostWithoutRow;
  std::thread m_Thread;
};

// The registrar for a commit interval: 0 registers every write at once.
std::unique_ptr<IRegistrar> MakeRegistrar(IFileListTarget& target, std::chrono::milliseconds interval,
                                          ReportLine report);

}  // namespace convert
