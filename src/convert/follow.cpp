#include "convert/follow.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "archive/registration.h"
#include "archive/storedspans.h"
#include "convert/convertfromseed.h"
#include "convert/handover.h"
#include "convert/leftovers.h"
#include "convert/reading.h"
#include "convert/registering.h"
#include "convert/stationlocks.h"

namespace fs = std::filesystem;

namespace convert {
namespace {

constexpr const char* kStateMagic = "brevanto-follow 1";
constexpr size_t kRoundBytes = 32u << 20;  // read per round, so that memory stays bounded
constexpr auto kSlice = std::chrono::milliseconds(200);  // how soon a stop is seen while waiting
constexpr auto kSettle = std::chrono::milliseconds(50);
constexpr auto kLongestBackoff = std::chrono::milliseconds(60000);
constexpr uint32_t kWatchMask =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool SameIdentity(const FollowedFile& f, const struct stat& st) {
  return f.device == static_cast<uint64_t>(st.st_dev) && f.inode == static_cast<uint64_t>(st.st_ino);
}

}  // namespace

FollowState LoadFollowState(const std::string& path, std::string& problem) {
  FollowState state;
  std::ifstream in(path);
  if (!in) return state;  // none yet
  std::string line;
  if (!std::getline(in, line) || line != kStateMagic) {
    problem = path + ": not a follow state; every file is read from its start";
    return {};
  }
  for (size_t number = 2; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    FollowedFile f;
    std::string name;
    fields >> f.device >> f.inode >> f.offset >> f.size >> f.mtimeNs;
    if (!fields || fields.get() != ' ' || !std::getline(fields, name) || name.empty() || f.offset > f.size) {
      problem = path + ": line " + std::to_string(number) + " is damaged; every file is read from its start";
      return {};
    }
    state[name] = f;
  }
  return state;
}

bool SaveFollowState(const std::string& path, const FollowState& state, std::string& problem) {
  const std::string temporary = path + ".tmp";
  std::string text = std::string(kStateMagic) + "\n";
  for (const auto& [name, f] : state) {
    if (name.find('\n') != std::string::npos) continue;  // such a file is read again after a restart
    text += std::to_string(f.device) + " " + std::to_string(f.inode) + " " + std::to_string(f.offset) + " " +
            std::to_string(f.size) + " " + std::to_string(f.mtimeNs) + " " + name + "\n";
  }
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    problem = temporary + ": cannot create: " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  // A rename that reaches the disk before the contents would leave an empty state after a power cut.
  const bool written = done == text.size() && ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    problem = temporary + ": cannot write: " + std::strerror(written ? errno : err);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

struct CFollower::Chunk {
  std::string path;
  FollowedFile after;  // the file's state once these records are registered
  std::vector<std::vector<unsigned char>> records;
  std::vector<Framed> frames;
};

CFollower::CFollower(CConvertFromSeed& converter, FollowSettings settings)
    : m_Converter(converter), m_Settings(std::move(settings)) {
  for (std::string& folder : m_Settings.folders) folder = fs::absolute(folder).lexically_normal().string();
  for (std::string& folder : m_Settings.folders)
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  m_StatePath = m_Settings.statePath.empty()
                    ? converter.m_DataDir + "/" + kFollowFolder + "/state"
                    : m_Settings.statePath;
  m_Inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

CFollower::~CFollower() {
  if (m_Inotify >= 0) ::close(m_Inotify);
}

bool CFollower::Stopping() const { return m_Converter.StopRequested(); }

void CFollower::Watch(const std::string& folder) {
  if (m_Inotify < 0 || !m_Watched.insert(folder).second) return;
  const int wd = ::inotify_add_watch(m_Inotify, folder.c_str(), kWatchMask);
  if (wd >= 0) m_Watches[wd] = folder;  // else the poll still sees it
}

bool CFollower::Followable(const std::string& name) const {
  return name[0] != '.' &&
         (m_Settings.include.empty() || ::fnmatch(m_Settings.include.c_str(), name.c_str(), 0) == 0);
}

void CFollower::Look(const std::string& path, const struct stat& st) {
  m_Sizes[path] = static_cast<uint64_t>(st.st_size);
  auto [entry, added] = m_State.try_emplace(path);
  FollowedFile& f = entry->second;
  if (!added && SameIdentity(f, st) && static_cast<uint64_t>(st.st_size) >= f.offset) return;
  if (!added)
    m_Converter.Error("%s: %s; read again from its start", path.c_str(),
                      SameIdentity(f, st) ? "shorter than the part already converted" : "replaced by another file");
  f = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, 0, 0};
}

bool CFollower::Walk(const std::string& top, std::set<std::string>& seen) {
  Watch(top);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      // Hidden folders are the archive's or other programs' own (locks, states).
      if (name[0] == '.') {
        it.disable_recursion_pending();
        continue;
      }
      Watch(it->path().string());
      continue;
    }
    if (!S_ISREG(st.st_mode) || !Followable(name)) continue;
    const std::string path = it->path().string();
    seen.insert(path);
    Look(path, st);
  }
  return !ec;
}

void CFollower::Discover() {
  const auto now = std::chrono::steady_clock::now();
  // Without inotify, or where it cannot see (NFS, a folder it could not
  // watch, events lost), the poll's whole walk finds what changed.
  if (m_WalkAll || m_Inotify < 0 || now - m_LastWalk >= m_Settings.poll) {
    std::set<std::string> seen;
    bool complete = true;
    for (const std::string& top : m_Settings.folders) complete = Walk(top, seen) && complete;
    // A folder that could not be read whole (NFS gone for a moment) drops nothing.
    if (complete) std::erase_if(m_State, [&](const auto& entry) { return !seen.count(entry.first); });
    std::erase_if(m_Sizes, [&](const auto& entry) { return !m_State.count(entry.first); });
    m_LastWalk = now;
    m_WalkAll = false;
    m_Changed.clear();
    m_NewFolders.clear();
    return;
  }
  std::set<std::string> seen;
  for (const std::string& folder : m_NewFolders) Walk(folder, seen);
  for (const std::string& path : m_Changed) {
    struct stat st {};
    if (seen.count(path)) continue;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        m_State.erase(path);
        m_Sizes.erase(path);
      }
    } else if (S_ISDIR(st.st_mode)) {
      Walk(path, seen);
    } else if (S_ISREG(st.st_mode) && Followable(fs::path(path).filename().string())) {
      Look(path, st);
    }
  }
  m_Changed.clear();
  m_NewFolders.clear();
}

bool CFollower::ReadNew(const std::string& path, const FollowedFile& file, Chunk& chunk, size_t budget) {
  chunk.path = path;
  chunk.after = file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // gone meanwhile: the next look drops it
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !SameIdentity(file, st) || static_cast<uint64_t>(st.st_size) <= file.offset)
    return false;
  int32_t recLen = 0;
  off_t failedAt = 0;
  const long first = FindFirstRecord(fd, m_Converter.m_Quality.c_str(), recLen, failedAt);
  if (first < 0) {
    m_Converter.Error("%s: read error at byte %lld: %s", path.c_str(), static_cast<long long>(failedAt),
                      std::strerror(errno));
    return false;
  }
  if (recLen == 0) return false;  // no whole record yet
  const uint64_t start = std::max<uint64_t>(file.offset, static_cast<uint64_t>(first));
  if (::lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) return false;
  RecordReader reader(fd, start);
  std::span<unsigned char> record;
  Framed framed;
  uint64_t end = start, bytes = 0;
  int got;
  while ((got = reader.Next(record, recLen, framed)) == 1) {
    // A record running past the end is still being written.
    if (framed.damage == seed::Damage::kTruncated) break;
    bytes += record.size();
    chunk.records.emplace_back(record.begin(), record.end());
    chunk.frames.push_back(framed);
    end = reader.Offset();
    if (bytes >= budget) break;
  }
  if (got == 0) end = reader.Offset();
  if (got < 0)
    m_Converter.Error("%s: read error at byte %llu: %s", path.c_str(), static_cast<unsigned long long>(end),
                      std::strerror(errno));
  if (end == file.offset) return false;
  chunk.after.offset = end;
  chunk.after.size = static_cast<uint64_t>(st.st_size);
  chunk.after.mtimeNs = MtimeNs(st);
  return true;
}

bool CFollower::Lock(CStationLocks& locks, const std::set<std::string>& stations) {
  CConvertFromSeed& c = m_Converter;
  std::string busy, problem;
  pid_t holder = 0;
  auto notice = [&c](const std::string& station, pid_t pid) {
    c.Error("waiting for another conversion of station %s%s", station.c_str(),
            pid > 0 ? (" (process " + std::to_string(pid) + ")").c_str() : "");
  };
  switch (locks.Acquire(stations, true, notice, &c.m_StopRequested, busy, holder, problem)) {
    case CStationLocks::Result::kLocked:
      return true;
    case CStationLocks::Result::kFailed:
      c.Error("%s; tried again later", problem.c_str());
      break;
    default:
      break;
  }
  return false;
}

bool CFollower::Convert(std::vector<Chunk>& chunks) {
  CConvertFromSeed& c = m_Converter;
  c.m_Streams = CStreamRule{};
  std::vector<unsigned char> copy;
  for (const Chunk& chunk : chunks)
    for (size_t i = 0; i < chunk.records.size(); ++i)
      if (chunk.frames[i].damage == seed::Damage::kNone && !chunk.frames[i].tooShort) {
        copy = chunk.records[i];  // the header is read in place; the original is read again below
        NoteRecord(*chunk.frames[i].format, copy.data(), copy.size(), c.m_Quality.c_str(), c.m_Selection,
                   c.m_Streams);
      }
  const std::set<std::string> stations = c.m_Streams.Stations();
  CStationLocks locks(c.m_DataDir);
  std::shared_ptr<const archive::HoldingsMap> holdings;
  const bool useDatabase = c.m_Database.IsOpen();
  if (!stations.empty()) {
    // Input stays unread while another run holds a station: nothing is dropped.
    if (!Lock(locks, stations)) return false;
    const std::set<std::string> unfinished = locks.BeginWriting();
    if (useDatabase) {
      try {
        holdings = std::make_shared<const archive::HoldingsMap>(
            archive::LoadHoldings(c.m_Database, c.m_DataDir, c.m_Streams.Windows(), unfinished));
      } catch (const std::exception& e) {
        c.Error("VEZ Database read error: cannot read what FILELIST holds: %s", e.what());
        m_Backoff = std::max(m_Backoff, std::chrono::milliseconds(1000));
        return false;
      }
    }
    RemoveLeftovers(c.m_DataDir, unfinished, [&c](const std::string& line) { c.Error("%s", line.c_str()); });
  }
  CFileListTarget fileList(c.m_Database);
  std::unique_ptr<IRegistrar> registrar;
  if (useDatabase)
    registrar = MakeRegistrar(fileList, c.m_CommitInterval, [&c](const std::string& line) { c.Error("%s", line.c_str()); });
  // Followed files go on growing: a new data file is allocated over its whole span.
  std::unique_ptr<IHandOver> handOver = MakeHandOver(
      {useDatabase ? &c.m_Database : nullptr, registrar.get(), c.m_DataDir, c.m_Jobs, holdings, nullptr});
  bool ok = true;
  try {
    for (size_t index = 0; index < chunks.size(); ++index) {
      const Chunk& chunk = chunks[index];
      c.m_FileName = chunk.path;
      RecordJob job;
      job.input = index;
      for (size_t i = 0; i < chunk.records.size(); ++i) {
        const Framed& framed = chunk.frames[i];
        unsigned char* record = const_cast<unsigned char*>(chunk.records[i].data());
        c.m_RecordOffset = framed.offset;
        if (framed.tooShort) {
          c.ShortRecord(framed.offset, static_cast<int>(chunk.records[i].size()), static_cast<char>(record[seed::kQuality]));
        } else if (framed.damage != seed::Damage::kNone) {
          c.CountDamaged(framed);
        } else if (c.AcceptRecord(*framed.format, record, chunk.records[i].size(), job)) {
          handOver->Deliver(job, record);
          c.Converted(job);
        }
      }
      handOver->EndOfInput(index);
      c.ReportUndecoded();
      c.ReportRefused();
    }
    handOver->Finish();
    if (registrar) registrar->Flush();
  } catch (const std::exception& e) {
    const size_t failed = handOver->FailedInput();
    const bool database = dynamic_cast<const odbc::Error*>(&e) != nullptr;
    c.Error("%s while converting %s: %s; it is read again", database ? "VEZ Database write error" : "Conversion error",
            failed < chunks.size() ? chunks[failed].path.c_str() : c.m_FileName.c_str(), e.what());
    handOver->Abandon();
    c.m_Stats.recordsConverted -= handOver->RecordsDropped();
    c.m_Stats.samples -= handOver->SamplesDropped();
    if (database) m_Backoff = std::max(m_Backoff, std::chrono::milliseconds(1000));
    ok = false;
  }
  c.m_Stats.store += handOver->Stats();
  handOver.reset();
  if (registrar) {
    c.m_Stats.store.rowsRegistered -= registrar->WritesNotRegistered();
    ok = ok && registrar->FilesNotRegistered() == 0;
    registrar.reset();
  }
  // Marks stay where rows may be missing: the next round looks for such files.
  if (ok && !stations.empty()) locks.FinishedWriting();
  return ok;
}

bool CFollower::Round() {
  Discover();
  std::vector<Chunk> chunks;
  size_t budget = kRoundBytes;
  for (const auto& [path, file] : m_State) {
    if (budget == 0 || Stopping()) break;
    // Only files seen to have grown are opened: a round costs what changed.
    if (const auto size = m_Sizes.find(path); size == m_Sizes.end() || size->second <= file.offset) continue;
    Chunk chunk;
    if (!ReadNew(path, file, chunk, budget)) continue;
    for (const auto& r : chunk.records) budget -= std::min(budget, r.size());
    chunks.push_back(std::move(chunk));
  }
  if (chunks.empty()) {
    Save();  // files dropped or reset
    return false;
  }
  // The state advances only over what is committed; a failed round is read again.
  if (!Convert(chunks)) return false;
  for (const Chunk& chunk : chunks)
    if (auto it = m_State.find(chunk.path); it != m_State.end()) {
      it->second = chunk.after;
      uint64_t& size = m_Sizes[chunk.path];
      size = std::max(size, chunk.after.size);
    }
  Save();
  return budget == 0;  // more waiting to be read
}

void CFollower::Save() {
  if (m_Saved && *m_Saved == m_State) return;
  std::string problem;
  if (SaveFollowState(m_StatePath, m_State, problem))
    m_Saved = m_State;
  else
    m_Converter.Error("%s", problem.c_str());
}

bool CFollower::Drain() {
  alignas(inotify_event) char buf[16384];
  bool changed = false;
  for (ssize_t n; (n = ::read(m_Inotify, buf, sizeof buf)) > 0;) {
    for (char* at = buf; at < buf + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + e->len;
      changed = true;
      const auto watch = m_Watches.find(e->wd);
      if (e->mask & IN_IGNORED) {
        if (watch != m_Watches.end()) {
          m_Watched.erase(watch->second);
          m_Watches.erase(watch);
        }
        m_WalkAll = true;
        continue;
      }
      // A folder gone or moved takes its files along, and leaves watches
      // that name it by its old path: the whole walk sets both right.
      if ((e->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) || watch == m_Watches.end() ||
          ((e->mask & IN_ISDIR) && (e->mask & (IN_DELETE | IN_MOVED_FROM)))) {
        m_WalkAll = true;
        continue;
      }
      if (e->len == 0 || e->name[0] == '.') continue;
      const std::string path = watch->second + "/" + e->name;
      if (e->mask & IN_ISDIR)
        m_NewFolders.insert(path);
      else
        m_Changed.insert(path);
    }
  }
  return changed;
}

void CFollower::Wait(std::chrono::milliseconds longest) {
  const auto until = std::chrono::steady_clock::now() + longest;
  while (!Stopping() && !RereadRequested() && std::chrono::steady_clock::now() < until) {
    if (m_Inotify < 0) {
      std::this_thread::sleep_for(kSlice);
      continue;
    }
    pollfd p{m_Inotify, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    if (Drain()) {
      // A writer's burst of appends is taken in one round rather than one each.
      std::this_thread::sleep_for(kSettle);
      Drain();
      return;
    }
  }
}

bool CFollower::Reconnect() {
  CConvertFromSeed& c = m_Converter;
  Wait(m_Backoff);  // a change seen earlier cuts it short: the database is then tried sooner
  if (Stopping()) return false;
  c.m_Database.Close();
  try {
    c.m_Database.Open(c.m_ConnectString, 15);
    m_Backoff = std::chrono::milliseconds(0);
    return true;
  } catch (const std::exception& e) {
    c.Error("VEZ Database open error: %s; tried again in %lld s", e.what(),
            static_cast<long long>(std::min(m_Backoff * 2, kLongestBackoff).count() / 1000));
    m_Backoff = std::min(m_Backoff * 2, kLongestBackoff);
    return false;
  }
}

std::string CFollower::FoldersProblem(const std::string& dataDir) const {
  std::error_code ec;
  const fs::path data = fs::weakly_canonical(dataDir, ec);
  for (const std::string& folder : m_Settings.folders) {
    if (!fs::is_directory(folder, ec)) return folder + ": not a folder";
    // The archive's own files would be searched for records in every round.
    const fs::path followed = fs::weakly_canonical(folder, ec);
    const auto within = [](const fs::path& inner, const fs::path& outer) {
      const auto [o, i] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
      return o == outer.end();
    };
    if (within(data, followed) || within(followed, data))
      return folder + ": shares files with the data folder " + dataDir;
  }
  return {};
}

std::string CFollower::MakeStateFolder(const std::string& dataDir) const {
  if (!m_Settings.statePath.empty()) return {};
  const std::string folder = dataDir + "/" + kFollowFolder;
  if (::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) return {};
  return folder + ": cannot create the state folder: " + std::strerror(errno);
}

bool CFollower::RereadRequested() const {
  return m_Settings.rereadRequested && m_Settings.reread &&
         m_Settings.rereadRequested->load(std::memory_order_relaxed);
}

void CFollower::Reread() {
  m_Settings.rereadRequested->store(false, std::memory_order_relaxed);
  CConvertFromSeed& c = m_Converter;
  FollowReread next;
  std::string problem;
  if (!m_Settings.reread(next, problem) || !(problem = FolderProblem(next.dataDir)).empty() ||
      !(problem = FoldersProblem(next.dataDir)).empty() || !(problem = MakeStateFolder(next.dataDir)).empty()) {
    c.Error("settings not read again: %s; the old ones kept", problem.c_str());
    return;
  }
  // Rounds end with everything committed and saved, so the state goes on
  // unchanged in the new folder: no input is read twice or left out.
  if (next.dataDir != c.m_DataDir && m_Settings.statePath.empty()) {
    m_StatePath = next.dataDir + "/" + kFollowFolder + "/state";
    m_Saved.reset();
  }
  c.m_DataDir = next.dataDir;
  c.m_CommitInterval = next.commitInterval;
  c.m_Selection = next.selection;
  Save();
  c.Error("settings read again: data folder %s, commit interval %lld ms, %s", c.m_DataDir.c_str(),
          static_cast<long long>(next.commitInterval.count()),
          next.selection.SelectsAll() ? "every record selected" : "records selected");
}

void CFollower::Account() {
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [path, file] : m_State) {
    const auto size = m_Sizes.find(path);
    if (size != m_Sizes.end() && size->second > file.offset)
      m_PendingSince.try_emplace(path, now);
    else
      m_PendingSince.erase(path);
  }
  std::erase_if(m_PendingSince, [&](const auto& entry) { return !m_State.count(entry.first); });
  if (m_Settings.statusEvery.count() == 0 || now - m_LastLine < m_Settings.statusEvery) return;
  const RunStats& stats = m_Converter.m_Stats;
  std::string oldest = "none";
  if (!m_PendingSince.empty()) {
    auto first = now;
    for (const auto& entry : m_PendingSince) first = std::min(first, entry.second);
    oldest = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - first).count()) + " s old";
  }
  m_Converter.Error("following %zu files: %llu records, %llu samples converted since the last line; "
                    "oldest unconverted byte: %s",
                    m_State.size(), static_cast<unsigned long long>(stats.recordsConverted - m_LineRecords),
                    static_cast<unsigned long long>(stats.samples - m_LineSamples), oldest.c_str());
  m_LastLine = now;
  m_LineRecords = stats.recordsConverted;
  m_LineSamples = stats.samples;
}

bool CFollower::Run() {
  CConvertFromSeed& c = m_Converter;
  c.m_Stats = RunStats{};
  if (!c.m_VezIniProblem.empty()) {
    c.Error("%s", c.m_VezIniProblem.c_str());
    c.m_Stats.dataFolderRefused = true;
    return false;
  }
  std::string problem = FoldersProblem(c.m_DataDir);
  if (problem.empty()) problem = MakeStateFolder(c.m_DataDir);
  if (!problem.empty()) {
    c.Error("%s; nothing followed", problem.c_str());
    return false;
  }
  m_State = LoadFollowState(m_StatePath, problem);
  if (!problem.empty()) c.Error("%s", problem.c_str());
  if (!c.m_ConnectString.empty() && !c.OpenDatabase()) return false;
  while (!Stopping()) {
    if (RereadRequested()) Reread();
    if (m_Backoff.count() > 0) {
      if (!Reconnect()) continue;
    }
    const bool more = Round();
    Account();
    if (!more && m_Backoff.count() == 0) Wait(std::chrono::duration_cast<std::chrono::milliseconds>(m_Settings.poll));
  }
  c.m_Database.Close();
  return true;
}

}  // namespace convert
