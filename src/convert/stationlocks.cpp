#include "convert/stationlocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace convert {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

// 1 locked, 0 held by another run, -1 error (errno set).
int TryLock(int fd) {
  struct flock lock = WholeFile(F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return 1;
  return errno == EACCES || errno == EAGAIN ? 0 : -1;
}

// The process a holder wrote into the lock file; 0 when unknown.
pid_t HolderOf(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// A holder writes its process just after it takes the lock: give it a moment.
pid_t SettledHolderOf(int fd) {
  pid_t pid = HolderOf(fd);
  for (int i = 0; pid == 0 && i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pid = HolderOf(fd);
  }
  return pid;
}

void WriteHolder(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0)) {}
}

}  // namespace

CStationLocks::Result CStationLocks::Acquire(const std::set<std::string>& stations, bool wait,
                                             const WaitNotice& notice, const std::atomic<bool>* stop,
                                             std::string& busyStation, pid_t& holder, std::string& problem) {
  const std::string folder = m_DataDir + "/" + kLockFolder;
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    problem = folder + ": cannot create the lock folder: " + std::strerror(errno);
    return Result::kFailed;
  }
  // std::set keeps the codes in byte order: the one order every run takes them in.
  for (const std::string& station : stations) {
    const std::string path = folder + "/" + station;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      problem = path + ": cannot open the lock file: " + std::strerror(errno);
      Release();
      return Result::kFailed;
    }
    m_Held.push_back(fd);
    m_Stations.push_back(station);
    bool noticed = false;
    for (;;) {
      const int got = TryLock(fd);
      if (got == 1) break;
      if (got < 0) {
        problem = path + ": cannot lock: " + std::strerror(errno);
        Release();
        return Result::kFailed;
      }
      if (!wait || (stop && stop->load())) {
        busyStation = station;
        holder = SettledHolderOf(fd);
        Release();
        return wait ? Result::kStopped : Result::kBusy;
      }
      if (!noticed && notice) notice(station, SettledHolderOf(fd));
      noticed = true;
      // Polled rather than blocking, so that a stop request ends the wait.
      std::this_thread::sleep_for(kPollInterval);
    }
    WriteHolder(fd);
  }
  return Result::kLocked;
}

void CStationLocks::Release() noexcept {
  for (int fd : m_Held) ::close(fd);
  m_Held.clear();
  m_Stations.clear();
}

std::string CStationLocks::MarkPath(const std::string& station) const {
  return m_DataDir + "/" + kLockFolder + "/" + station + ".unfinished";
}

std::set<std::string> CStationLocks::BeginWriting() {
  std::set<std::string> marked;
  for (const std::string& station : m_Stations) {
    const std::string path = MarkPath(station);
    if (::access(path.c_str(), F_OK) == 0) marked.insert(station);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
  }
  return marked;
}

void CStationLocks::FinishedWriting(const std::set<std::string>& unfinished) noexcept {
  for (const std::string& station : m_Stations)
    if (!unfinished.count(station)) ::unlink(MarkPath(station).c_str());
}

}  // namespace convert
