// Runs side by side on one archive: runs that share a station take turns,
// --no-wait refuses, a killed run never blocks another; shards and the
// station and channel selection; a run stopped by a signal leaves a whole
// archive. Runs that must overlap are held with SIGSTOP at a known point
// instead of relying on how fast they are.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "convert/selection.h"
#include "support/localarchive.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ArchiveImage;
using testsupport::ExpectSameArchive;
using testsupport::LocalArchive;

constexpr auto kPatience = std::chrono::seconds(300);  // only against a hang

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// One volume of the stations one after the other, each as VolumePlan makes it.
std::string WriteStations(const std::string& path, const std::vector<std::string>& stations, int records,
                          const std::vector<std::string>& channels = {"BHZ", "BHN"}) {
  std::vector<unsigned char> all;
  for (const std::string& station : stations) {
    testsupport::VolumePlan plan;
    plan.station = station;
    plan.channels = channels;
    plan.records = records;
    plan.gapAfter = records;
    testsupport::WriteVolume(path, plan);
    const auto bytes = testsupport::ReadFileBytes(path);
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  testsupport::WriteFileBytes(path, all);
  return path;
}

std::vector<std::string> Codes(const char* prefix, int count) {
  std::vector<std::string> codes;
  for (int i = 1; i <= count; ++i) codes.push_back(prefix + std::string(i < 10 ? "0" : "") + std::to_string(i));
  return codes;
}

void ExpectCheckWhole(const LocalArchive& a) {
  const auto check = a.CheckCli();
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

// The archive after inputs are converted into an empty one; emptied again.
ArchiveImage CleanImage(const LocalArchive& a, const std::vector<std::string>& inputs) {
  const auto o = a.Convert(inputs);
  EXPECT_EQ(o.status, 0) << o.err;
  ArchiveImage image = a.Image();
  EXPECT_FALSE(image.files.empty());
  a.Wipe();
  return image;
}

// The process whose pid the lock file of station names: the run that took
// the lock last.
pid_t LockHolder(const LocalArchive& a, const std::string& station) {
  std::ifstream f(a.DataDir() + "/" + archive::kLockFolderName + "/" + station);
  long pid = 0;
  return f >> pid ? static_cast<pid_t>(pid) : 0;
}

bool AnyDataFile(const LocalArchive& a) {
  for (auto it = fs::recursive_directory_iterator(a.DataDir()); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == archive::kLockFolderName) it.disable_recursion_pending();
    if (std::error_code gone; it->is_regular_file(gone)) return true;
  }
  return false;
}

// A brevanto-cli run started without waiting for it; its standard error goes
// to a file the test reads while the run goes on.
class Child {
 public:
  Child(const LocalArchive& a, std::vector<std::string> args, const std::string& errFile) : m_ErrFile(errFile) {
    args.insert(args.begin(), {testsupport::CliPath(), "--vez-ini", a.Ini()});
    m_Pid = testsupport::StartProgram(args, errFile, false);
  }
  ~Child() {
    if (m_Pid > 0 && m_Status < 0) {
      ::kill(m_Pid, SIGKILL);
      ::waitpid(m_Pid, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return m_Pid; }
  std::string Err() const { return testsupport::ReadTextFile(m_ErrFile); }
  bool Ended() {
    int wstatus = 0;
    if (m_Status < 0 && ::waitpid(m_Pid, &wstatus, WNOHANG) == m_Pid) m_Status = wstatus;
    return m_Status >= 0;
  }
  // The raw wait status; a run that does not end is killed.
  int Wait() {
    if (!WaitUntil([&] { return Ended(); })) {
      ADD_FAILURE() << "process " << m_Pid << " did not end\n" << Err();
      ::kill(m_Pid, SIGKILL);
      WaitUntil([&] { return Ended(); });
    }
    return m_Status;
  }
  int ExitStatus() { return testsupport::ExitStatusOf(Wait()); }
  // Holds the run where it is (SIGSTOP); false when it had already ended.
  bool Hold() {
    if (Ended()) return false;
    ::kill(m_Pid, SIGSTOP);
    int wstatus = 0;
    if (::waitpid(m_Pid, &wstatus, WUNTRACED) != m_Pid) return false;
    if (WIFSTOPPED(wstatus)) return true;
    m_Status = wstatus;
    return false;
  }
  void Resume() const { ::kill(m_Pid, SIGCONT); }
  void Signal(int signal) const { ::kill(m_Pid, signal); }
  // Until standard error shows text; false when the run ended without it.
  bool WaitForErr(const std::string& text) {
    WaitUntil([&] { return Err().find(text) != std::string::npos || Ended(); });
    return Err().find(text) != std::string::npos;
  }
  // Whether the process has a handler for signal.
  bool Catches(int signal) const {
    std::ifstream status("/proc/" + std::to_string(m_Pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
  }

 private:
  std::string m_ErrFile;
  pid_t m_Pid = -1;
  int m_Status = -1;
};

// Whether any process holds an SQLite lock on the database file: its
// rollback-journal locks are fcntl locks on the bytes from 2^30 on.
bool DatabaseFileLocked(const LocalArchive& a) {
  const int fd = ::open(a.DatabaseFile().c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0x40000000;
  probe.l_len = 512;
  const bool locked = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return locked;
}

// A run on input held as soon as it has locked lastStation: it then holds
// every station of its input, and with its commits put off it has no
// database transaction open. Held while it reads what FILELIST holds, it
// would keep its read lock and time out every other run's commit, so it is
// let go on until it holds none.
std::unique_ptr<Child> StartHolder(const LocalArchive& a, const std::string& input, const std::string& lastStation) {
  auto holder = std::make_unique<Child>(a, std::vector<std::string>{"--commit-interval", "600000", input},
                                        a.Root() + "/holder.err");
  EXPECT_TRUE(WaitUntil([&] { return LockHolder(a, lastStation) == holder->Pid() || holder->Ended(); }));
  for (;;) {
    if (!holder->Hold()) {
      ADD_FAILURE() << "the holding run ended before it could be held: make its input larger\n" << holder->Err();
      return nullptr;
    }
    if (!DatabaseFileLocked(a)) return holder;
    holder->Resume();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::string Waiting(const std::string& station, pid_t holder) {
  return "waiting for another conversion of station " + station + " (process " + std::to_string(holder) + ")";
}

// ---------------------------------------------------------------------------

TEST(SideBySide, SameInputTwiceAtOnceTakesTurns) {
  auto a = LocalArchive::Sqlite();
  const auto stations = Codes("ST", 8);
  const std::string input = WriteStations(a->Root() + "/input.mseed", stations, 250);  // 2 MB
  const ArchiveImage clean = CleanImage(*a, {input});

  Child first(*a, {input}, a->Root() + "/first.err"), second(*a, {input}, a->Root() + "/second.err");
  // Whichever took the first station's lock is held there until the other waits for it.
  pid_t holder = 0;
  ASSERT_TRUE(WaitUntil([&] {
    holder = LockHolder(*a, stations.front());
    return holder == first.Pid() || holder == second.Pid() || (first.Ended() && second.Ended());
  }));
  Child& held = holder == first.Pid() ? first : second;
  Child& other = holder == first.Pid() ? second : first;
  ASSERT_TRUE(held.Hold()) << "ended before it could be held: make the input larger\n" << held.Err();
  EXPECT_TRUE(other.WaitForErr(Waiting(stations.front(), holder))) << other.Err();
  held.Resume();

  EXPECT_EQ(first.ExitStatus(), 0) << first.Err();
  EXPECT_EQ(second.ExitStatus(), 0) << second.Err();
  EXPECT_EQ(held.Err().find("waiting for another conversion"), std::string::npos) << held.Err();
  ExpectSameArchive(a->Image(), clean);
  ExpectCheckWhole(*a);
}

TEST(SideBySide, NoWaitRefusesAHeldStationAndOtherStationsGoOn) {
  auto a = LocalArchive::Sqlite();
  const auto stations = Codes("ST", 4);
  const std::string big = WriteStations(a->Root() + "/big.mseed", stations, 250);
  const std::string shared = WriteStations(a->Root() + "/shared.mseed", {"ST02"}, 20);
  const std::string elsewhere = WriteStations(a->Root() + "/elsewhere.mseed", {"OT01"}, 20);
  const ArchiveImage clean = CleanImage(*a, {big, elsewhere});

  auto holder = StartHolder(*a, big, stations.back());
  ASSERT_TRUE(holder);
  const ArchiveImage before = a->Image();
  const auto refused = a->Convert({"--no-wait", shared});
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_NE(refused.err.find("station ST02 is being converted by another run (process " +
                             std::to_string(holder->Pid()) + "); nothing converted"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(testsupport::ParseRunSummary(refused.err).result, "Station locked by another conversion") << refused.err;
  ExpectSameArchive(a->Image(), before);

  const auto other = a->Convert({"--no-wait", elsewhere});
  EXPECT_EQ(other.status, 0) << other.err;
  holder->Resume();
  EXPECT_EQ(holder->ExitStatus(), 0) << holder->Err();
  ExpectSameArchive(a->Image(), clean);
  ExpectCheckWhole(*a);
}

// The kernel drops the locks of a process however it ends.
TEST(SideBySide, KilledRunNeverBlocksTheOther) {
  for (const bool killHolder : {false, true}) {
    SCOPED_TRACE(killHolder ? "the holder killed" : "the waiting run killed");
    auto a = LocalArchive::Sqlite();
    const auto stations = Codes("ST", 4);
    const std::string big = WriteStations(a->Root() + "/big.mseed", stations, 250);
    const std::string shared = WriteStations(a->Root() + "/shared.mseed", {"ST01"}, 250);
    const ArchiveImage clean = CleanImage(*a, {big, shared});

    auto holder = StartHolder(*a, big, stations.back());
    ASSERT_TRUE(holder);
    Child waiter(*a, {shared}, a->Root() + "/waiter.err");
    ASSERT_TRUE(waiter.WaitForErr(Waiting("ST01", holder->Pid()))) << waiter.Err();
    Child& killed = killHolder ? *holder : waiter;
    Child& survivor = killHolder ? waiter : *holder;
    killed.Signal(SIGKILL);
    EXPECT_EQ(killed.ExitStatus(), 128 + SIGKILL);
    if (!killHolder) holder->Resume();
    EXPECT_EQ(survivor.ExitStatus(), 0) << survivor.Err();

    const auto rerun = a->Convert({killHolder ? big : shared});
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    ExpectCheckWhole(*a);
    ExpectSameArchive(a->Image(), clean);
  }
}

// "records converted N" and "not selected M" of a run's summary.
std::pair<long, long> RecordCounts(const std::string& err) {
  std::smatch m;
  static const std::regex converted(R"(records converted (\d+))"), notSelected(R"(; not selected (\d+))");
  long c = -1, n = 0;
  if (std::regex_search(err, m, converted)) c = std::stol(m[1]);
  if (std::regex_search(err, m, notSelected)) n = std::stol(m[1]);
  return {c, n};
}

TEST(Shards, EveryStationOnceForAnyShardCount) {
  auto a = LocalArchive::Sqlite();
  const auto stations = Codes("SH", 20);
  constexpr int kRecords = 10;  // per station, one channel
  const std::string input = WriteStations(a->Root() + "/input.mseed", stations, kRecords, {"BHZ"});
  const ArchiveImage whole = CleanImage(*a, {input});
  const long total = static_cast<long>(stations.size()) * kRecords;

  for (unsigned n = 1; n <= 5; ++n) {
    long converted = 0;
    for (unsigned k = 1; k <= n; ++k) {
      const std::string shard = std::to_string(k) + "/" + std::to_string(n);
      SCOPED_TRACE("--shard " + shard);
      long mine = 0;
      for (const std::string& s : stations) mine += convert::ShardOf(s.c_str(), n) == k ? kRecords : 0;
      const auto o = a->Convert({"--shard", shard, input});
      EXPECT_EQ(o.status, 0) << o.err;
      const auto [c, notSelected] = RecordCounts(o.err);
      EXPECT_EQ(c, mine) << o.err;
      EXPECT_EQ(notSelected, total - mine) << o.err;
      converted += c;
    }
    EXPECT_EQ(converted, total) << n << " shards";
    ExpectSameArchive(a->Image(), whole);
    a->Wipe();
  }
}

TEST(Shards, FourInParallelIntoOnePostgresArchive) {
  if (testsupport::RunProgram("/bin/sh", {"-c", "command -v parallel"}).status != 0)
    GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps installs it)";
  if (const std::string why = testsupport::Unavailable("postgres"); !why.empty()) GTEST_SKIP() << why;
  auto a = LocalArchive::On(testsupport::MakeTestDatabase({"postgres"}));
  std::string list;
  for (int part = 0; part < 4; ++part) {
    std::vector<std::string> stations;
    for (int s = 0; s < 5; ++s) stations.push_back("PA" + std::to_string(part) + std::to_string(s));
    list += WriteStations(a->Root() + "/part" + std::to_string(part) + ".mseed", stations, 60) + "\n";
  }
  const std::string inputs = a->Root() + "/inputs";
  testsupport::WriteFileBytes(inputs, std::vector<unsigned char>(list.begin(), list.end()));
  const ArchiveImage whole = CleanImage(*a, {"@" + inputs});

  // As the README shows it, with brevanto-cli of this build on PATH.
  const std::string bin = fs::path(testsupport::CliPath()).parent_path().string();
  const std::string command = "PATH=" + bin + ":$PATH parallel -j4 brevanto-cli -q --vez-ini " + a->Ini() +
                              " --shard {}/4 @" + inputs + " ::: 1 2 3 4";
  const auto o = testsupport::RunProgram("/bin/sh", {"-c", command}, {}, {{"ODBCINI", a->OdbcIni()}});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_EQ(o.out + o.err, "");
  ExpectSameArchive(a->Image(), whole);
  ExpectCheckWhole(*a);
}

TEST(Selection, StationsAndChannelsByCodeOrPattern) {
  auto a = LocalArchive::Sqlite();
  constexpr int kRecords = 5;
  const std::string input =
      WriteStations(a->Root() + "/input.mseed", {"AB1", "AB2", "XY1"}, kRecords, {"BHZ", "BHN", "LHZ"});
  const struct {
    std::vector<std::string> options;
    std::set<std::string> selected;  // STA|CH
  } cases[] = {
      {{"--stations", "AB1"}, {"AB1|BHZ", "AB1|BHN", "AB1|LHZ"}},
      {{"--stations", "XY1,AB2"}, {"AB2|BHZ", "AB2|BHN", "AB2|LHZ", "XY1|BHZ", "XY1|BHN", "XY1|LHZ"}},
      {{"--channels", "BH?"}, {"AB1|BHZ", "AB1|BHN", "AB2|BHZ", "AB2|BHN", "XY1|BHZ", "XY1|BHN"}},
      {{"--stations", "AB*", "--channels", "LHZ,BHN"}, {"AB1|LHZ", "AB1|BHN", "AB2|LHZ", "AB2|BHN"}},
      {{"--stations", "[AX]?1", "--channels", "*Z"}, {"AB1|BHZ", "AB1|LHZ", "XY1|BHZ", "XY1|LHZ"}},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& o : c.options) shown += o + " ";
    SCOPED_TRACE(shown);
    std::vector<std::string> args = c.options;
    args.push_back(input);
    const auto o = a->Convert(args);
    EXPECT_EQ(o.status, 0) << o.err;
    const auto [converted, notSelected] = RecordCounts(o.err);
    EXPECT_EQ(converted, static_cast<long>(c.selected.size()) * kRecords) << o.err;
    EXPECT_EQ(notSelected, (9 - static_cast<long>(c.selected.size())) * kRecords) << o.err;
    std::set<std::string> written;
    for (const std::string& row : a->Image().rows) {
      const size_t sta = row.find('|') + 1, ch = row.find('|', sta) + 1;
      written.insert(row.substr(sta, row.find('|', ch) - sta));
    }
    EXPECT_EQ(written, c.selected);
    a->Wipe();
  }
}

TEST(Stop, SignalInTheMiddleLeavesAWholeArchive) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    auto a = LocalArchive::Sqlite();
    // More input than the workers' queues take ahead of the writing.
    std::vector<std::string> inputs;
    for (const std::string& station : Codes("IN", 8))
      inputs.push_back(WriteStations(a->Root() + "/" + station + ".mseed", {station}, 400));
    const ArchiveImage clean = CleanImage(*a, inputs);

    Child run(*a, inputs, a->Root() + "/run.err");
    ASSERT_TRUE(WaitUntil([&] { return AnyDataFile(*a) || run.Ended(); }));
    ASSERT_TRUE(run.Hold()) << "ended before the signal: make the input larger\n" << run.Err();
    run.Signal(signal);
    run.Resume();
    const int wstatus = run.Wait();
    EXPECT_TRUE(WIFEXITED(wstatus)) << run.Err();
    EXPECT_EQ(testsupport::ExitStatusOf(wstatus), 128 + signal) << run.Err();
    EXPECT_NE(run.Err().find("\ninterrupted: the run was stopped before the end of its input\n"), std::string::npos)
        << run.Err();
    EXPECT_EQ(testsupport::ParseRunSummary(run.Err()).result, "Conversion interrupted") << run.Err();
    ExpectCheckWhole(*a);

    // The re-run completes the files the stop left, which keep the duration
    // they were created with.
    const auto rerun = a->Convert(inputs);
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    ExpectSameArchive(testsupport::WithoutDurations(a->Image()), testsupport::WithoutDurations(clean));
    ExpectCheckWhole(*a);
  }
}

// A run waiting for a station: the first signal ends the wait with nothing
// written, a second one ends the process at once, whichever of the two it is.
TEST(Stop, SecondSignalEndsAtOnce) {
  auto a = LocalArchive::Sqlite();
  const std::string big = WriteStations(a->Root() + "/big.mseed", {"ST01"}, 2000);
  const std::string shared = WriteStations(a->Root() + "/shared.mseed", {"ST01"}, 20);
  auto holder = StartHolder(*a, big, "ST01");
  ASSERT_TRUE(holder);
  const ArchiveImage before = a->Image();
  const std::vector<int> cases[] = {{SIGINT}, {SIGINT, SIGINT}, {SIGINT, SIGTERM}, {SIGTERM, SIGINT}};
  for (const auto& signals : cases) {
    SCOPED_TRACE(std::string(strsignal(signals[0])) +
                 (signals.size() > 1 ? std::string(", ") + strsignal(signals[1]) : ""));
    Child waiter(*a, {shared}, a->Root() + "/waiter.err");
    ASSERT_TRUE(waiter.WaitForErr(Waiting("ST01", holder->Pid()))) << waiter.Err();
    waiter.Signal(signals[0]);
    if (signals.size() > 1) {
      // Once the first signal has been handled, while the run still ends its wait.
      WaitUntil([&] { return waiter.Ended() || (!waiter.Catches(SIGINT) && !waiter.Catches(SIGTERM)); });
      if (!waiter.Ended()) waiter.Signal(signals[1]);
    }
    const int wstatus = waiter.Wait();
    if (signals.size() == 1) {
      EXPECT_TRUE(WIFEXITED(wstatus)) << waiter.Err();
      EXPECT_EQ(testsupport::ExitStatusOf(wstatus), 128 + signals[0]) << waiter.Err();
      EXPECT_NE(waiter.Err().find("\ninterrupted: "), std::string::npos) << waiter.Err();
    } else {
      EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signals[1]) << wstatus << "\n" << waiter.Err();
    }
  }
  ExpectSameArchive(a->Image(), before);
  holder->Resume();
  EXPECT_EQ(holder->ExitStatus(), 0) << holder->Err();
}

}  // namespace
