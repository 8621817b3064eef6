// The parallel pipeline and grouped registration: the archive must not
// depend on the number of jobs, registrations are grouped per path and
// committed when due, and a group lost to the database or to a killed run
// leaves an archive the check finds and a re-run repairs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/registration.h"
#include "convert/convertfromseed.h"
#include "convert/registering.h"
#include "convert/runsummary.h"
#include "platform/odbc.h"
#include "support/fakehost.h"
#include "support/localarchive.h"
#include "support/vezfile.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ArchiveImage;
using testsupport::ExpectSameArchive;
using testsupport::LocalArchive;
using testsupport::VolumePlan;
using Kind = FileRegistration::Kind;

// Polls until done() holds; false after limit.
bool Eventually(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string Lost(const std::string& cpath) { return "Data file " + cpath + ": written but not registered in FILELIST"; }

// ---------------------------------------------------------------------------
// The registrar against a stand-in for FILELIST.

std::string Show(const FileRegistration& r) {
  return std::string(r.kind == FileRegistration::kReplace ? "replace " : "update ") + r.cpath + " " + r.sta + " " +
         r.ch + " " + std::to_string(r.tBegin) + " " + std::to_string(r.tQty) + " " + std::to_string(r.sps) + " " +
         std::to_string(r.gain) + " " + std::to_string(r.dataType);
}

constexpr Kind R = FileRegistration::kReplace, U = FileRegistration::kUpdate;

FileRegistration Reg(const std::string& path, Kind kind, double tQty) {
  return FileRegistration{kind, path, "S" + path, "BHZ", 1712570400, tQty, 20, 1, 3};
}

// Records every call as a word of Trace, "!" marking one that threw. Set
// before use: Apply calls failApplyFrom (counted from 1) and the
// failApplyTimes - 1 after it throw, and so does every Commit when failCommit.
class CountingTarget final : public IFileListTarget {
 public:
  int failApplyFrom = 0, failApplyTimes = 0;
  bool failCommit = false;
  std::string sqlState = "HY000";

  void Begin() override {
    std::lock_guard lock(m_Mutex);
    Step("Begin", false);
    m_InTransaction = true;
  }
  void Apply(const FileRegistration& r) override {
    std::lock_guard lock(m_Mutex);
    ++m_Applies;
    Step("Apply", m_Applies >= failApplyFrom && m_Applies < failApplyFrom + failApplyTimes);
    (m_InTransaction ? m_Open : m_Committed).push_back(r);
  }
  void Commit() override {
    std::lock_guard lock(m_Mutex);
    Step("Commit", failCommit);
    m_Committed.insert(m_Committed.end(), m_Open.begin(), m_Open.end());
    ++m_Commits;
    End();
  }
  void Rollback() noexcept override {
    std::lock_guard lock(m_Mutex);
    Step("Rollback", false);
    End();
  }
  std::string Trace() const { return Locked(m_Trace); }
  std::vector<FileRegistration> Committed() const { return Locked(m_Committed); }
  int Commits() const { return Locked(m_Commits); }

 private:
  template <class T>
  T Locked(const T& member) const {
    std::lock_guard lock(m_Mutex);
    return member;
  }
  // Under m_Mutex.
  void Step(const char* what, bool fail) {
    m_Trace += (m_Trace.empty() ? "" : " ") + std::string(what) + (fail ? "!" : "");
    if (fail) throw odbc::Error("test", sqlState, 0, "refused by the test");
  }
  void End() {
    m_Open.clear();
    m_InTransaction = false;
  }
  mutable std::mutex m_Mutex;
  std::string m_Trace;
  std::vector<FileRegistration> m_Open, m_Committed;
  bool m_InTransaction = false;
  int m_Applies = 0, m_Commits = 0;
};

TEST(GroupedRegistration, KeepsTheNewestStatePerPathInOneTransaction) {
  const struct {
    const char* name;
    std::vector<FileRegistration> registered, applied;
  } cases[] = {
      {"a replace and its updates", {Reg("A", R, 1), Reg("A", U, 2), Reg("A", U, 3)}, {Reg("A", R, 3)}},
      {"updates alone", {Reg("A", U, 1), Reg("A", U, 2)}, {Reg("A", U, 2)}},
      {"a replace after an update", {Reg("A", U, 1), Reg("A", R, 2), Reg("A", U, 3)}, {Reg("A", R, 3)}},
      {"two paths", {Reg("A", R, 1), Reg("B", U, 5), Reg("A", U, 2), Reg("B", U, 6)}, {Reg("A", R, 2), Reg("B", U, 6)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CountingTarget target;
    {
      convert::CGroupedRegistration registrar(target, 1h, [](const std::string& line) { ADD_FAILURE() << line; });
      for (const auto& r : c.registered) registrar.Register(r);
      registrar.Flush();
      EXPECT_EQ(registrar.Commits(), 1u);
    }
    std::string expected = "Begin";
    std::vector<std::string> got, want;
    for (const auto& r : c.applied) {
      expected += " Apply";
      want.push_back(Show(r));
    }
    EXPECT_EQ(target.Trace(), expected + " Commit");
    for (const auto& r : target.Committed()) got.push_back(Show(r));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
  }
}

TEST(GroupedRegistration, CommitsWhenDueWhenAskedAndAtFlush) {
  CountingTarget target;
  std::vector<std::string> lost;
  auto registrar = std::make_unique<convert::CGroupedRegistration>(
      target, 1h, [&](const std::string& line) { lost.push_back(line); });
  registrar->Register(Reg("A", R, 1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(target.Trace(), "") << "committed before the interval without being asked";

  registrar->CommitSoon();
  EXPECT_TRUE(Eventually([&] { return target.Commits() == 1; })) << target.Trace();
  registrar->Register(Reg("B", R, 1));
  registrar->Flush();
  registrar->Flush();
  EXPECT_EQ(target.Trace(), "Begin Apply Commit Begin Apply Commit");

  // What is still pending when the registrar goes is lost, and named.
  registrar->Register(Reg("C", R, 1));
  registrar->Register(Reg("C", U, 2));
  registrar.reset();
  EXPECT_EQ(target.Commits(), 2);
  EXPECT_EQ(lost, std::vector<std::string>{Lost("C")});

  // With a short interval, nobody needs to ask.
  CountingTarget other;
  convert::CGroupedRegistration quick(other, 20ms, {});
  quick.Register(Reg("A", R, 1));
  EXPECT_TRUE(Eventually([&] { return other.Commits() == 1; })) << other.Trace();
}

TEST(GroupedRegistration, AFailedGroupIsRolledBackCountedAndNamed) {
  const auto times = [](int n, const std::string& words) {
    std::string t;
    for (int i = 0; i < n; ++i) t += (i ? " " : "") + words;
    return t;
  };
  const struct {
    const char* name;
    int failApplyFrom, failApplyTimes;
    bool failCommit;
    const char* sqlState;
    bool lost;
    std::string trace;
  } cases[] = {
      {"a statement fails", 2, 1, false, "HY000", true, "Begin Apply Apply! Rollback"},
      {"the commit fails", 0, 0, true, "HY000", true, "Begin Apply Apply Commit! Rollback"},
      {"a passing deadlock", 2, 1, false, "40001", false, "Begin Apply Apply! Rollback Begin Apply Apply Commit"},
      {"a lasting deadlock", 1, kTransientAttempts, false, "40001", true,
       times(kTransientAttempts, "Begin Apply! Rollback")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CountingTarget target;
    target.failApplyFrom = c.failApplyFrom;
    target.failApplyTimes = c.failApplyTimes;
    target.failCommit = c.failCommit;
    target.sqlState = c.sqlState;
    std::vector<std::string> lost;
    auto registrar = std::make_unique<convert::CGroupedRegistration>(
        target, 1h, [&](const std::string& line) { lost.push_back(line); });
    registrar->Register(Reg("A", R, 1));
    registrar->Register(Reg("A", U, 2));
    registrar->Register(Reg("B", U, 1));
    if (!c.lost) {
      EXPECT_NO_THROW(registrar->Flush());
      EXPECT_EQ(target.Trace(), c.trace);
      EXPECT_EQ(target.Committed().size(), 2u);
      registrar.reset();
      EXPECT_TRUE(lost.empty());
      continue;
    }
    try {
      registrar->Flush();
      ADD_FAILURE() << "Flush did not throw";
    } catch (const odbc::Error& e) {
      EXPECT_EQ(e.SqlState(), c.sqlState);
    }
    EXPECT_EQ(target.Trace(), c.trace);
    EXPECT_EQ(registrar->WritesNotRegistered(), 3u);
    EXPECT_EQ(registrar->FilesNotRegistered(), 2u);
    // Later writes are refused: each file counted once, the refused writes not at all.
    EXPECT_THROW(registrar->Register(Reg("C", R, 1)), odbc::Error);
    EXPECT_THROW(registrar->Register(Reg("A", U, 3)), odbc::Error);
    EXPECT_THROW(registrar->Flush(), odbc::Error);
    EXPECT_EQ(registrar->WritesNotRegistered(), 3u);
    EXPECT_EQ(registrar->FilesNotRegistered(), 3u);
    EXPECT_TRUE(lost.empty()) << "named before the run reported its error";
    registrar.reset();
    EXPECT_EQ(target.Trace(), c.trace) << "the database was used after the failure";
    EXPECT_TRUE(target.Committed().empty());
    std::sort(lost.begin(), lost.end());
    EXPECT_EQ(lost, (std::vector<std::string>{Lost("A"), Lost("B"), Lost("C")}));
  }
}

// Writers on several threads, groups committed while they write: every
// file ends with its final values, its first row made by a replace.
TEST(GroupedRegistration, WritersOnManyThreads) {
  constexpr int kThreads = 4, kPaths = 100, kUpdates = 3;
  CountingTarget target;
  convert::CGroupedRegistration registrar(target, 1ms, {});
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int p = 0; p < kPaths; ++p) {
        const std::string path = std::to_string(t) + "-" + std::to_string(p);
        registrar.Register(Reg(path, R, 1));
        for (int u = 2; u <= kUpdates + 1; ++u) registrar.Register(Reg(path, U, u));
      }
    });
  for (auto& w : writers) w.join();
  registrar.Flush();
  std::map<std::string, std::vector<FileRegistration>> byPath;
  for (const auto& r : target.Committed()) byPath[r.cpath].push_back(r);
  ASSERT_EQ(byPath.size(), static_cast<size_t>(kThreads * kPaths));
  for (const auto& [path, applied] : byPath) {
    EXPECT_EQ(applied.front().kind, R) << path;
    for (size_t i = 1; i < applied.size(); ++i) EXPECT_EQ(applied[i].kind, U) << path;
    EXPECT_EQ(applied.back().tQty, kUpdates + 1) << path;
  }
  EXPECT_EQ(target.Trace().find("Rollback"), std::string::npos);
}

TEST(StrictRegistration, EveryWriteIsAppliedAtOnce) {
  CountingTarget target;
  auto registrar = convert::MakeRegistrar(target, 0ms, {});
  for (const auto& r : {Reg("A", R, 1), Reg("A", U, 2), Reg("B", U, 1)}) {
    registrar->Register(r);
    EXPECT_EQ(Show(target.Committed().back()), Show(r));
  }
  registrar->Flush();
  EXPECT_EQ(target.Trace(), "Apply Apply Apply");
}

// ---------------------------------------------------------------------------
// Whole runs.

std::string Backslashed(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

// The data files under dataDir as FILELIST names them, without the
// temporary files of creations under way.
std::set<std::string> DataFiles(const std::string& dataDir) {
  std::set<std::string> files;
  for (auto it = fs::recursive_directory_iterator(dataDir); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename().string()[0] == '.') {
      it.disable_recursion_pending();  // the lock folder
      continue;
    }
    std::error_code gone;
    if (it->is_regular_file(gone)) files.insert(Backslashed(it->path().lexically_relative(dataDir).string()));
  }
  return files;
}

// The paths in FILELIST; throws when the database does not answer.
std::set<std::string> RowPaths(const std::string& connect) {
  odbc::Connection c;
  c.Open(connect);
  odbc::Statement select(c);
  select.Prepare("SELECT CPATH FROM FILELIST");
  select.Execute();
  std::set<std::string> paths;
  while (select.Fetch()) paths.insert(select.GetText(1));
  return paths;
}

// The diagnostics of a run without its closing summary, sorted.
std::vector<std::string> Diagnostics(const std::string& err) {
  static const std::regex summary(R"(^brevanto-cli: \d+ input files?: )");
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("brevanto-cli: ", 0) == 0 && !std::regex_search(line, summary)) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Several stations in one file, their records interleaved; a later volume
// that continues one of them; a station with gaps in a file of its own.
std::vector<std::string> WriteMultiStationInput(const std::string& dir) {
  const VolumePlan a{.station = "ST01", .channels = {"BHZ", "BHN", "BHE"}, .records = 150};
  const VolumePlan b{.station = "ST02", .channels = {"HHZ", "HHN"}, .records = 150, .sps = 40, .gapAfter = 70,
                     .gapSeconds = 3.3};
  const VolumePlan c{.station = "ST03", .channels = {"EHZ"}, .records = 150, .sps = 100, .gapAfter = 1000};
  VolumePlan later = a;
  later.start = a.start + 150 * 20 + 100;  // where a ends, after its gap
  later.gapAfter = 1000;
  const VolumePlan gaps{.station = "ST04", .channels = {"LHZ", "LHE"}, .records = 120, .sps = 50, .gapAfter = 40,
                        .gapSeconds = 7.25};
  std::vector<std::vector<unsigned char>> parts;
  for (const VolumePlan* p : {&a, &b, &c}) {
    testsupport::WriteVolume(dir + "/part.mseed", *p);
    parts.push_back(testsupport::ReadFileBytes(dir + "/part.mseed"));
  }
  std::vector<unsigned char> mixed;
  for (size_t at = 0; at < parts[0].size(); at += 512)
    for (const auto& part : parts)
      if (at < part.size()) mixed.insert(mixed.end(), part.begin() + at, part.begin() + at + 512);
  const std::vector<std::string> inputs{dir + "/mixed.mseed", dir + "/later.mseed", dir + "/gaps.mseed"};
  testsupport::WriteFileBytes(inputs[0], mixed);
  testsupport::WriteVolume(inputs[1], later);
  testsupport::WriteVolume(inputs[2], gaps);
  return inputs;
}

TEST(Pipeline, TheArchiveIsTheSameWhateverTheJobs) {
  auto archive = LocalArchive::Sqlite();
  struct InputSet {
    const char* name;
    std::vector<std::string> args;
  };
  std::vector<InputSet> sets{{"generated stations", WriteMultiStationInput(archive->Root())}};
  const fs::path seedDir = testsupport::SeedDataDir();
  if (!seedDir.empty()) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(seedDir))
      if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    files.insert(files.begin(), {"--quality", "DQRM"});
    sets.push_back({"every shared recording", files});
  }
  for (const InputSet& set : sets) {
    SCOPED_TRACE(set.name);
    ArchiveImage first;
    testsupport::ProgramOutcome firstRun;
    // nullptr: the default, the cores at hand.
    for (const char* jobs : {"1", "2", "8", static_cast<const char*>(nullptr)}) {
      SCOPED_TRACE(jobs ? std::string("--jobs ") + jobs : "default jobs");
      archive->Wipe();
      std::vector<std::string> args;
      if (jobs) args = {"--jobs", jobs};
      args.insert(args.end(), set.args.begin(), set.args.end());
      const auto o = archive->Convert(args);
      ASSERT_LE(o.status, 1) << o.err;
      const ArchiveImage image = archive->Image();
      if (firstRun.status < 0) {
        ASSERT_FALSE(image.files.empty());
        EXPECT_EQ(image.rows.size(), image.files.size());
        first = image;
        firstRun = o;
        continue;
      }
      EXPECT_EQ(o.status, firstRun.status);
      ExpectSameArchive(image, first);
      EXPECT_EQ(Diagnostics(o.err), Diagnostics(firstRun.err)) << o.err;
      const auto s = testsupport::ParseRunSummary(o.err), f = testsupport::ParseRunSummary(firstRun.err);
      EXPECT_EQ(std::vector<long>({s.samples, s.created, s.extended, s.registrations, s.rows, s.segmentsNotStored}),
                std::vector<long>({f.samples, f.created, f.extended, f.registrations, f.rows, f.segmentsNotStored}))
          << o.err;
    }
  }
  if (seedDir.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: only generated input compared";
}

// A run in this process with an interval of an hour, so that only the end
// of an input file commits before the end of the run. As the second input
// is about to be read, it waits until FILELIST holds a row for each data
// file written so far, the first input's, then calls then.
class SecondInputWatch : public testsupport::FakeHost {
 public:
  // then runs once the first group is committed; settled, where given, says
  // that the run has had the answer to its commit, too.
  SecondInputWatch(std::string connect, std::function<void()> then = {}, std::function<bool()> settled = {})
      : m_Connect(std::move(connect)), m_Then(std::move(then)), m_Settled(std::move(settled)) {
    recordTexts = false;
  }
  void InputStarted(size_t index, size_t, const std::string&) override {
    if (index != 1) return;
    committed = Eventually([&] {
      firstGroup = DataFiles(m_DataDir);
      try {
        return !firstGroup.empty() && RowPaths(m_Connect) == firstGroup && (!m_Settled || m_Settled());
      } catch (const odbc::Error&) {
        return false;  // busy
      }
    });
    if (m_Then) m_Then();
  }
  RunStats Convert(const LocalArchive& archive, const std::vector<std::string>& inputs, unsigned jobs,
                   const std::string& runConnect) {
    m_DataDir = archive.DataDir();
    CConvertFromSeed conv(this, archive.Ini());
    conv.SetConnectString(runConnect);
    conv.SetCommitInterval(1h);
    conv.SetJobs(jobs);
    for (const auto& in : inputs) conv.AddFile(in);
    EXPECT_EQ(conv.Start(), 0);
    EXPECT_TRUE(WaitDone());
    conv.Join();
    return conv.Stats();
  }
  std::set<std::string> firstGroup;
  bool committed = false;

 private:
  std::string m_Connect, m_DataDir;
  std::function<void()> m_Then;
  std::function<bool()> m_Settled;
};

std::vector<std::string> TwoStations(const std::string& dir, const std::string& first, const std::string& second) {
  const std::vector<std::string> inputs{dir + "/first.mseed", dir + "/second.mseed"};
  testsupport::WriteVolume(inputs[0], {.station = first});
  testsupport::WriteVolume(inputs[1], {.station = second, .start = VolumePlan().start + 600});
  return inputs;
}

// 100 sps, then the same channel at 20 sps from where it ended: in one run
// or in two, on one job or two, each rate gets files of its own, whose
// headers and rows carry it.
TEST(Pipeline, ARateChangeStartsAFileOfItsOwnRate) {
  auto archive = LocalArchive::Sqlite();
  const VolumePlan fast{.station = "ST01", .channels = {"BHZ"}, .records = 90, .sps = 100, .gapAfter = 1000};
  VolumePlan slow = fast;
  slow.records = 14;
  slow.sps = 20;
  slow.start = fast.start + 90 * 4;  // 2024-04-08 10:06:00, where fast ends
  const std::string fastFile = archive->Root() + "/fast.mseed", slowFile = archive->Root() + "/slow.mseed";
  testsupport::WriteVolume(fastFile, fast);
  testsupport::WriteVolume(slowFile, slow);
  const std::string report = "brevanto-cli: ST01 BHZ: rate 100 \u2192 20 sps at 2024-04-08 10:06:00";

  ArchiveImage first;
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    archive->Wipe();
    const auto o = archive->Convert({"--jobs", jobs, fastFile, slowFile});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> lines = Diagnostics(o.err);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), report), 1) << o.err;
    const auto files = testsupport::ReadVezTree(archive->DataDir());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].relative, "ST01/10/08042024-100000-BHZ.ST01");
    EXPECT_NE(files[0].header.find("SpS=100.000000\r\n"), std::string::npos) << files[0].header;
    EXPECT_EQ(files[0].samples.size(), 90u * 400);
    EXPECT_EQ(files[1].relative, "ST01/10/08042024-100600-BHZ.ST01");
    EXPECT_NE(files[1].header.find("SpS=20.000000\r\n"), std::string::npos) << files[1].header;
    EXPECT_EQ(files[1].samples.size(), 14u * 400);
    // The rows' SPS and TQTY against the headers and sizes.
    const auto check = archive->Check();
    EXPECT_TRUE(check.Whole()) << testsupport::Describe(check);
    if (first.files.empty())
      first = archive->Image();
    else
      ExpectSameArchive(archive->Image(), first);
  }

  archive->Wipe();
  for (const std::string& input : {fastFile, slowFile}) {
    const auto o = archive->Convert({input});
    EXPECT_EQ(o.status, 0) << o.err;
  }
  ExpectSameArchive(archive->Image(), first);
}

// Shortens the input to size bytes at the first progress notice, while the
// reader is in the middle of it.
class ShortenWhileRead : public testsupport::FakeHost {
 public:
  ShortenWhileRead(std::string path, off_t size) : m_Path(std::move(path)), m_Size(size) { recordTexts = false; }
  void Progress(size_t, size_t, uint64_t, uint64_t) override {
    if (m_Done) return;
    m_Done = true;
    EXPECT_EQ(::truncate(m_Path.c_str(), m_Size), 0) << std::strerror(errno);
  }

 private:
  std::string m_Path;
  off_t m_Size;
  bool m_Done = false;
};

// An input that another program shortens while it is read does not end the
// run quietly: what is left is converted, no byte past the new end, and the
// file counts as cut short.
TEST(Pipeline, AnInputShortenedWhileItIsReadIsCutShort) {
  auto archive = LocalArchive::Sqlite();
  const VolumePlan plan{.station = "SHR", .channels = {"BHZ"}, .records = 12000, .gapAfter = 1 << 30};
  const size_t recordBytes = testsupport::VolumeRecords(plan).front().size();
  const std::string input = archive->Root() + "/shrinking.mseed";
  constexpr off_t kRecordsLeft = 3000;
  // At a record boundary, and within a record.
  for (const off_t extra : {off_t{0}, off_t{100}}) {
    SCOPED_TRACE("bytes after the last whole record: " + std::to_string(extra));
    archive->Wipe();
    testsupport::WriteVolume(input, plan);
    const off_t size = kRecordsLeft * static_cast<off_t>(recordBytes) + extra;
    ShortenWhileRead host(input, size);
    CConvertFromSeed conv(&host, archive->Ini());
    conv.SetConnectString(archive->Connect());
    conv.AddFile(input);
    ASSERT_EQ(conv.Start(), 0);
    ASSERT_TRUE(host.WaitDone());
    conv.Join();
    const RunStats s = conv.Stats();
    EXPECT_EQ(s.filesCutShort, 1u);
    EXPECT_EQ(s.filesRead, 0u);
    EXPECT_EQ(s.store.samplesWritten, static_cast<uint64_t>(kRecordsLeft * plan.samplesPerRecord));
    size_t stored = 0;
    for (const auto& f : testsupport::ReadVezTree(archive->DataDir()))
      for (const float v : f.samples) stored += v != 0.0f;  // no sample of the generator is 0
    EXPECT_EQ(stored, static_cast<size_t>(kRecordsLeft * plan.samplesPerRecord));
    const std::string said = "cut short to " + std::to_string(size) + " bytes while it was read";
    EXPECT_TRUE(std::any_of(host.errors.begin(), host.errors.end(),
                            [&](const std::string& e) { return e.find(said) != std::string::npos; }))
        << testing::PrintToString(host.errors);
  }
}

// A run killed while creating a data file leaves its temporary file; the
// next run that holds the station removes it, and only there.
TEST(Pipeline, LeftoverTemporaryFilesOfLockedStationsAreRemoved) {
  auto archive = LocalArchive::Sqlite();
  const std::string input = archive->Root() + "/input.mseed";
  testsupport::WriteVolume(input, {.station = "LFT", .channels = {"BHZ"}, .records = 20});
  const std::string mine = archive->DataDir() + "/LFT/23/.08042024-230000-BHZ.LFT.a1B2c3";
  const std::string other = archive->DataDir() + "/OTH/10/.08042024-100000-BHZ.OTH.x9Y8z7";
  const std::string kept = archive->DataDir() + "/LFT/10/.notes";  // not the writer's
  // The killed run's marks on the stations it held.
  const std::string marks = archive->DataDir() + "/.brevanto-lock/";
  for (const std::string& path : {mine, other, kept, marks + "LFT.unfinished", marks + "OTH.unfinished"}) {
    fs::create_directories(fs::path(path).parent_path());
    testsupport::WriteFileBytes(path, std::vector<unsigned char>(700, 1));
  }
  const auto o = archive->Convert({input});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("brevanto-cli: " + mine + ": removed, the temporary file of a data file whose creation was "
                       "interrupted\n"),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(fs::exists(mine));
  EXPECT_TRUE(fs::exists(other)) << "another station's folder is another run's";
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_EQ(o.err.find(other), std::string::npos) << o.err;
}

TEST(Pipeline, TheEndOfEachInputFileCommits) {
  auto archive = LocalArchive::Sqlite();
  const std::string connect = archive->Connect() + "Timeout=20000;";
  const auto inputs = TwoStations(archive->Root(), "CMA", "CMB");
  for (unsigned jobs : {1u, 2u}) {
    SCOPED_TRACE("jobs " + std::to_string(jobs));
    archive->Wipe();
    SecondInputWatch host(connect);
    const RunStats stats = host.Convert(*archive, inputs, jobs, connect);
    EXPECT_TRUE(host.committed) << "the first input's rows were not committed before the second was read";
    for (const auto& path : host.firstGroup) EXPECT_EQ(path.rfind("CMA\\", 0), 0u) << path;
    EXPECT_EQ(host.texts.back(), "Data successfully converted") << testing::PrintToString(host.errors);
    EXPECT_FALSE(stats.AnyFailure());
    EXPECT_TRUE(archive->Check().Whole()) << testsupport::Describe(archive->Check());
  }
}

// The database server ends the run's session in the middle of a group: the
// first input's group was committed, the second input's is lost.
class ServerLostInGroup : public testsupport::DatabaseTest {};

TEST_P(ServerLostInGroup, TheLostGroupIsNamedFoundAndRepairedByARerun) {
  testsupport::TestDatabase& server = *db;
  const std::string losable = server.LosableConnect(), connect = server.connect;
  auto archive = LocalArchive::On(std::move(db));
  const auto inputs = TwoStations(archive->Root(), "GRA", "GRB");
  auto o = archive->Convert(inputs);
  ASSERT_EQ(o.status, 0) << o.err;
  const ArchiveImage clean = archive->Image();

  for (unsigned jobs : {1u, 2u}) {
    SCOPED_TRACE("jobs " + std::to_string(jobs));
    archive->Wipe();
    SecondInputWatch host(connect, [&] { server.EndLosableSessions(); }, [&] { return server.LosableSessionsIdle(); });
    const RunStats stats = host.Convert(*archive, inputs, jobs, losable);
    ASSERT_TRUE(host.committed);
    EXPECT_TRUE(stats.aborted);
    EXPECT_TRUE(stats.AnyFailure()) << "brevanto-cli would end with exit status 0";
    EXPECT_EQ(host.texts.back(), "VEZ Database write error");

    // Lost: the second input's files, and the first input's files that the
    // end of the run extended, unless those appends still waited for their
    // write when the run was abandoned.
    const std::set<std::string> files = DataFiles(archive->DataDir()), rows = RowPaths(connect);
    EXPECT_EQ(rows, host.firstGroup) << "the committed group changed";
    std::set<std::string> named;
    static const std::regex line("^Data file (.*): written but not registered in FILELIST$");
    std::smatch m;
    for (const std::string& e : host.errors)
      if (std::regex_match(e, m, line)) {
        EXPECT_TRUE(named.insert(m[1]).second) << "named twice: " << e;
      }
    for (const auto& path : files)
      if (!rows.count(path)) {
        EXPECT_TRUE(named.count(path)) << path << " has no row and is not named";
      }
    ASSERT_GT(files.size(), rows.size());
    EXPECT_GE(named.size(), files.size() - rows.size());
    EXPECT_EQ(stats.filesNotRegistered, named.size());
    EXPECT_EQ(stats.store.rowsOfRunFiles, rows.size()) << "the summary claims rows that FILELIST does not hold";
    const std::string summary = FormatSummary(stats, inputs.size(), host.texts.back());
    EXPECT_NE(summary.find("data files written but not registered " + std::to_string(named.size()) + "\n"),
              std::string::npos)
        << summary;

    const auto report = archive->Check();
    std::set<std::string> found;
    for (const auto& f : report.findings) {
      EXPECT_EQ(f.kind, rows.count(f.cpath) ? archive::FindingKind::kSampleCount : archive::FindingKind::kUnregistered)
          << archive::FormatFinding(f);
      found.insert(f.cpath);
    }
    EXPECT_EQ(found, named);
    EXPECT_EQ(archive->CheckCli().status, 1);

    o = archive->Convert(inputs);
    EXPECT_EQ(o.status, 0) << o.err;
    ExpectSameArchive(archive->Image(), clean);
    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Db, ServerLostInGroup,
                         ::testing::Values(testsupport::DbCase("postgres", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("postgres", testsupport::Shape::kKeyless),
                                           testsupport::DbCase("mariadb", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("mariadb", testsupport::Shape::kKeyless)),
                         testsupport::BackendName);

// brevanto-cli -v with its standard output in a small pipe that this process
// reads only until the first data file exists, then killed: the run cannot
// reach its end, where its only commit is, before the kill.
int KillAfterFirstDataFile(const LocalArchive& archive, const std::vector<std::string>& inputs) {
  std::vector<std::string> argv{testsupport::CliPath(), "-v", "--commit-interval", "3600000", "--vez-ini",
                                archive.Ini()};
  argv.insert(argv.end(), inputs.begin(), inputs.end());
  std::vector<char*> pointers = testsupport::ExecPointers(argv);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  ::fcntl(out[0], F_SETPIPE_SZ, 4096);
  const std::string errPath = archive.Root() + "/killed.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err, 2);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(out[1]);
  bool ended = false;
  const bool written = Eventually([&] {
    if (!DataFiles(archive.DataDir()).empty()) return true;
    pollfd p{out[0], POLLIN, 0};
    char buf[256];
    if (::poll(&p, 1, 10) > 0 && ::read(out[0], buf, sizeof buf) == 0) ended = true;
    return ended;
  });
  ::kill(pid, SIGKILL);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ::close(out[0]);
  EXPECT_TRUE(written && !ended) << "the run ended before a data file was seen:\n"
                                 << testsupport::ReadTextFile(errPath);
  return testsupport::ExitStatusOf(wstatus);
}

TEST(Pipeline, AKilledRunIsFoundByTheCheckAndRepairedByARerun) {
  auto archive = LocalArchive::Sqlite();
  const std::string input = archive->Root() + "/input.mseed";
  testsupport::WriteVolume(input, {.station = "KIL", .channels = {"BHZ", "BHN", "BHE"}, .records = 600});
  auto o = archive->Convert({input});
  ASSERT_EQ(o.status, 0) << o.err;
  const ArchiveImage clean = archive->Image();
  archive->Wipe();

  ASSERT_EQ(KillAfterFirstDataFile(*archive, {input}), 128 + SIGKILL);
  const ArchiveImage killed = archive->Image();
  EXPECT_FALSE(killed.files.empty());
  EXPECT_TRUE(killed.rows.empty()) << "committed before the end of its only input";
  const auto report = archive->Check();
  EXPECT_GT(report.Count(archive::FindingKind::kUnregistered) + report.Count(archive::FindingKind::kSampleCount), 0u);
  for (const auto& f : report.findings) {
    // A kill may also cut a write short, or leave the temporary file of a creation.
    EXPECT_TRUE(f.kind == archive::FindingKind::kUnregistered || f.kind == archive::FindingKind::kSampleCount ||
                f.kind == archive::FindingKind::kBadSize || f.kind == archive::FindingKind::kTemporaryFile)
        << archive::FormatFinding(f);
    // The operator's to remove.
    if (f.kind == archive::FindingKind::kTemporaryFile) {
      std::string local = f.cpath;
      std::replace(local.begin(), local.end(), '\\', '/');
      fs::remove(archive->DataDir() + "/" + local);
    }
  }
  EXPECT_EQ(archive->CheckCli().status, 1);

  o = archive->Convert({input});
  EXPECT_EQ(o.status, 0) << o.err;
  ExpectSameArchive(archive->Image(), clean);
  const auto check = archive->CheckCli();
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

}  // namespace
