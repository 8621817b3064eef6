// The archive repair: every finding made by hand in a converted archive is
// mended or left with a reason, a dry run changes nothing, --drop-missing
// refuses to empty the index, a killed run is mended to the rows its files
// would have had, a lost FILELIST is rebuilt, and a held station is waited for.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "convert/stationlocks.h"
#include "platform/odbc.h"
#include "support/localarchive.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ArchiveImage;
using testsupport::ExpectSameArchive;
using testsupport::LocalArchive;
using testsupport::ProgramOutcome;

const std::string kFirst = "FLT\\10\\08042024-100000-BHZ.FLT";
const std::string kWhere = "CPATH = 'FLT\\10\\08042024-100000-BHZ.FLT'";

std::string Local(std::string cpath) {
  for (char& c : cpath)
    if (c == '\\') c = '/';
  return cpath;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The rows with LDDATE, which the image leaves out: a dry run keeps even that.
std::vector<std::string> RowsWithDates(const LocalArchive& archive) {
  odbc::Connection c;
  c.Open(archive.Connect());
  odbc::Statement select(c);
  select.Prepare("SELECT CPATH, LDDATE, TQTY FROM FILELIST");
  select.Execute();
  std::vector<std::string> rows;
  while (select.Fetch()) {
    const std::string cpath = select.GetText(1), date = select.GetText(2);
    rows.push_back(cpath + "|" + date + "|" + std::to_string(select.GetDouble(3)));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

class ArchiveRepair : public testsupport::DatabaseTest {
 public:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    archive = LocalArchive::On(std::move(db));
    input = archive->Root() + "/input.mseed";
    testsupport::WriteVolume(input, testsupport::VolumePlan{});
  }
  void Convert() {
    archive->Wipe();
    const auto o = archive->Convert({input});
    ASSERT_EQ(o.status, 0) << o.err;
  }
  ProgramOutcome Repair(const std::vector<std::string>& options = {}) const {
    std::vector<std::string> args{"--repair", "--vez-ini", archive->Ini()};
    args.insert(args.end(), options.begin(), options.end());
    return testsupport::RunProgram(testsupport::CliPath(), args);
  }
  std::string File(const std::string& cpath = kFirst) const { return archive->DataDir() + "/" + Local(cpath); }

  std::unique_ptr<LocalArchive> archive;
  std::string input;
};

TEST_P(ArchiveRepair, EachFindingIsMendedOrLeftAndADryRunChangesNothing) {
  const std::string sameRow =
      "INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF) "
      "SELECT STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF FROM FILELIST WHERE " + kWhere;
  const std::string temporary = "FLT\\10\\.08042024-100000-BHZ.FLT.a1B2c3";
  enum Outcome { kClean, kWhole, kLeft };  // whole as the conversion left it, whole otherwise, findings left
  const struct Case {
    const char* name;
    std::function<void(ArchiveRepair&)> damage;
    std::vector<std::string> options;
    Outcome outcome;
    std::vector<std::string> lines;  // beginnings of the lines before the summary, in order
  } cases[] = {
      {"row deleted", [&](ArchiveRepair& t) { t.archive->Exec("DELETE FROM FILELIST WHERE " + kWhere); }, {}, kClean,
       {"row inserted " + kFirst + ": STA FLT, CH BHZ, SPS 20.000000, TQTY 620.00; TBEGIN 2024-04-08 10:00:00, the "
        "whole second"}},
      {"TQTY lags", [&](ArchiveRepair& t) { t.archive->Exec("UPDATE FILELIST SET TQTY = 1200 WHERE " + kWhere); }, {},
       kClean, {"row updated " + kFirst + ": TQTY 1200.00 → 620.00"}},
      {"FOFF zero", [&](ArchiveRepair& t) { t.archive->Exec("UPDATE FILELIST SET FOFF = 0 WHERE " + kWhere); }, {},
       kClean, {"row updated " + kFirst + ": FOFF 0 → 512"}},
      {"row repeated twice", [&](ArchiveRepair& t) { t.archive->Exec(sameRow); t.archive->Exec(sameRow); }, {},
       kClean, {"rows deleted " + kFirst + ": 3 more rows of this path; the first ("}},
      {"part of a sample appended",
       [](ArchiveRepair& t) { std::ofstream(t.File(), std::ios::app | std::ios::binary) << "xy"; }, {}, kClean,
       {"file cut " + kFirst + ": 50114 → 50112 bytes"}},
      {"a sample and a half appended, row deleted",
       [&](ArchiveRepair& t) {
         std::ofstream(t.File(), std::ios::app | std::ios::binary) << "abcdef";
         t.archive->Exec("DELETE FROM FILELIST WHERE " + kWhere);
       },
       {}, kWhole, {"file cut " + kFirst + ": 50118 → 50116 bytes", "row inserted " + kFirst + ": STA FLT, CH BHZ, SPS 20.000000, TQTY 620.05"}},
      {"temporary file", [&](ArchiveRepair& t) { std::ofstream(t.File(temporary)) << "partial"; }, {}, kClean,
       {"temporary file removed " + temporary}},
      {"file removed", [](ArchiveRepair& t) { fs::remove(t.File()); }, {}, kLeft,
       {"left missing-file " + kFirst + ": no data file: No such file or directory; --drop-missing deletes"}},
      {"file removed, --drop-missing: 1 of 6 rows is too many", [](ArchiveRepair& t) { fs::remove(t.File()); },
       {"--drop-missing"}, kLeft, {"left missing-file " + kFirst + ": no data file: No such file or directory; --drop-missing refused"}},
      {"file removed, --drop-missing=1", [](ArchiveRepair& t) { fs::remove(t.File()); }, {"--drop-missing=1"}, kWhole,
       {"row deleted " + kFirst + ": no data file"}},
      {"file removed, --drop-missing=2 names another count", [](ArchiveRepair& t) { fs::remove(t.File()); },
       {"--drop-missing=2"}, kLeft, {"left missing-file " + kFirst}},
      {"other STA", [&](ArchiveRepair& t) { t.archive->Exec("UPDATE FILELIST SET STA = 'XYZ', TQTY = 1 WHERE " + kWhere); },
       {}, kLeft,
       {"left sample-count " + kFirst + ": TQTY 1 x SPS 20",
        "left row-mismatch " + kFirst + ": STA \"XYZ\" (file: FLT) disagree with the file; no program can tell"}},
      {"header of another station",
       [](ArchiveRepair& t) {
         const auto bytes = testsupport::ReadFileBytes(t.File());
         const std::string text(bytes.begin(), bytes.begin() + 512);
         std::fstream f(t.File(), std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(static_cast<long>(text.find("Station=FLT") + 10));
         f << "U";
       },
       {}, kLeft, {"left name-mismatch " + kFirst, "left row-mismatch " + kFirst}},
      {"overlapping copy",
       [](ArchiveRepair& t) {
         fs::copy_file(t.File(), t.File("FLT\\10\\08042024-100010-BHZ.FLT"));
         // Its header still names 10:00:00: a name-mismatch, and no row.
       },
       {}, kLeft,
       {"left unregistered FLT\\10\\08042024-100010-BHZ.FLT: no FILELIST row; its header names another path",
        "left name-mismatch FLT\\10\\08042024-100010-BHZ.FLT: the header names " + kFirst}},
      {"a file in no station's folder", [](ArchiveRepair& t) { std::ofstream(t.archive->DataDir() + "/notes.txt") << "x"; },
       {}, kLeft,
       {"left unregistered notes.txt: no FILELIST row; the path is in no station's folder",
        "left bad-size notes.txt: 1 bytes, not 512 + 4 x samples; the path is in no station's folder"}},
      {"a link in a station's folder",
       [](ArchiveRepair& t) { fs::create_symlink("/etc/passwd", t.archive->DataDir() + "/FLT/link"); }, {}, kLeft,
       {"left unregistered FLT\\link: not a regular file; not a regular file: links are not followed"}},
      {"FILELIST lost", [](ArchiveRepair& t) { t.archive->Exec("DELETE FROM FILELIST"); }, {}, kClean,
       std::vector<std::string>(6, "row inserted FLT\\1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Convert();
    if (HasFatalFailure()) return;
    const ArchiveImage clean = archive->Image();
    c.damage(*this);
    const ArchiveImage damaged = archive->Image();
    const auto damagedRows = RowsWithDates(*archive);

    std::vector<std::string> dryOptions = c.options;
    dryOptions.push_back("--dry-run");
    const auto dry = Repair(dryOptions);
    EXPECT_EQ(dry.status, c.outcome == kLeft ? 1 : 0) << dry.out << dry.err;
    ExpectSameArchive(archive->Image(), damaged);
    EXPECT_EQ(RowsWithDates(*archive), damagedRows);

    const auto o = Repair(c.options);
    EXPECT_EQ(o.status, c.outcome == kLeft ? 1 : 0) << o.out << o.err;
    auto lines = Lines(o.out), dryLines = Lines(dry.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(c.outcome == kLeft ? "archive NOT whole" : "archive whole"), std::string::npos)
        << lines.back();
    lines.pop_back();
    dryLines.pop_back();
    EXPECT_EQ(lines, dryLines) << "a dry run prints the same lines";
    ASSERT_EQ(lines.size(), c.lines.size()) << o.out;
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(c.lines[i], 0), 0u) << lines[i];

    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, c.outcome == kLeft ? 1 : 0) << check.out;
    if (c.outcome == kClean) ExpectSameArchive(archive->Image(), clean);
    if (c.outcome == kLeft) ExpectSameArchive(archive->Image(), damaged);
    // Mended, and nothing more to do.
    if (c.outcome != kLeft) {
      EXPECT_EQ(Repair().out, "brevanto-cli: repaired: nothing to do; 0 findings left; archive whole\n");
    }
  }
}

TEST_P(ArchiveRepair, DropMissingNeverEmptiesTheIndexOfAnEmptyDataFolder) {
  Convert();
  ASSERT_FALSE(HasFatalFailure());
  const ArchiveImage before = archive->Image();
  for (const auto& e : fs::directory_iterator(archive->DataDir())) fs::remove_all(e.path());
  const auto o = Repair({"--drop-missing"});
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.err.find("6 of 6 rows have no file"), std::string::npos) << o.err;
  EXPECT_EQ(archive->Image().rows, before.rows);
}

// A run killed between its commits leaves files whose rows lag or are
// missing; the repair gives each file the row the run would have given it,
// and a re-run afterwards completes the archive as one clean run.
TEST_P(ArchiveRepair, AKilledRunIsMendedToTheRowsOfItsFiles) {
  testsupport::WriteVolume(input, {.station = "KIL", .channels = {"BHZ", "BHN", "BHE"}, .records = 600});
  Convert();
  ASSERT_FALSE(HasFatalFailure());
  const ArchiveImage clean = archive->Image();
  archive->Wipe();

  // -v into a small pipe read only until the first data file is there: the
  // run cannot reach its end, where its only commit is, before the kill.
  std::vector<std::string> argv{testsupport::CliPath(), "-v", "--commit-interval", "3600000", "--vez-ini",
                                archive->Ini(), input};
  std::vector<char*> pointers = testsupport::ExecPointers(argv);
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ::fcntl(out[0], F_SETPIPE_SZ, 4096);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(null, 2);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(out[1]);
  auto dataFiles = [&] {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(archive->DataDir()))
      n += e.is_regular_file() && e.path().string().find(".brevanto-lock") == std::string::npos;
    return n;
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool ended = false;
  while (!ended && dataFiles() == 0 && std::chrono::steady_clock::now() < until) {
    pollfd p{out[0], POLLIN, 0};
    char buf[256];
    if (::poll(&p, 1, 10) > 0 && ::read(out[0], buf, sizeof buf) == 0) ended = true;
  }
  ::kill(pid, SIGKILL);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ::close(out[0]);
  ASSERT_FALSE(ended) << "the run ended before it was killed";
  ASSERT_EQ(archive->CheckCli().status, 1);
  const std::string mark = archive->DataDir() + "/.brevanto-lock/KIL.unfinished";
  EXPECT_TRUE(fs::exists(mark)) << "the killed run marked its station";

  const auto o = Repair();
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_EQ(archive->CheckCli().status, 0);
  // Each file as the kill left it has the clean run's row, but for the
  // samples it holds.
  std::map<std::string, std::string> cleanRows;
  for (const std::string& row : clean.rows) cleanRows[row.substr(0, row.find('|'))] = row;
  const ArchiveImage mended = archive->Image();
  ASSERT_EQ(mended.rows.size(), mended.files.size());
  for (const std::string& row : mended.rows) {
    const std::string cpath = row.substr(0, row.find('|'));
    const std::string& bytes = mended.files.at(Local(cpath));
    const std::string& want = cleanRows.at(cpath);
    ASSERT_EQ(clean.files.at(Local(cpath)).compare(0, bytes.size(), bytes), 0) << cpath;
    // cpath|sta|ch|sps|tbegin|tqty|...
    std::vector<std::string> fields;
    std::stringstream in(want);
    for (std::string f; std::getline(in, f, '|');) fields.push_back(f);
    char tQty[40];
    std::snprintf(tQty, sizeof tQty, "%.17g", static_cast<double>((bytes.size() - 512) / 4) * (1.0 / 20));
    fields[5] = tQty;
    std::string expected;
    for (const std::string& f : fields) expected += (expected.empty() ? "" : "|") + f;
    EXPECT_EQ(row, expected);
  }
  EXPECT_FALSE(fs::exists(mark)) << "the station is whole again";
  const auto rerun = archive->Convert({input});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  ExpectSameArchive(archive->Image(), clean);
}

TEST_P(ArchiveRepair, WaitsForARunThatHoldsAStation) {
  Convert();
  ASSERT_FALSE(HasFatalFailure());
  const ArchiveImage clean = archive->Image();
  archive->Exec("DELETE FROM FILELIST WHERE " + kWhere);
  convert::CStationLocks held(archive->DataDir());
  std::string busy, problem;
  pid_t holder = 0;
  ASSERT_EQ(held.Acquire({"FLT"}, false, {}, nullptr, busy, holder, problem), convert::CStationLocks::Result::kLocked);

  const auto refused = Repair({"--no-wait"});
  EXPECT_EQ(refused.status, 3) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("station FLT is being converted by another run"), std::string::npos) << refused.err;

  ProgramOutcome o;
  std::atomic<bool> done{false};
  std::thread repair([&] {
    o = Repair();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(done);
  EXPECT_EQ(archive->Image().rows.size(), clean.rows.size() - 1) << "repaired while the station was held";
  held.Release();
  repair.join();
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.err.find("waiting for station FLT"), std::string::npos) << o.err;
  ExpectSameArchive(archive->Image(), clean);
}

TEST_P(ArchiveRepair, StationsLimitTheRepair) {
  testsupport::WriteVolume(input, {.station = "ONE", .records = 40});
  const std::string two = archive->Root() + "/two.mseed";
  testsupport::WriteVolume(two, {.station = "TWO", .records = 40});
  archive->Wipe();
  ASSERT_EQ(archive->Convert({input, two}).status, 0);
  archive->Exec("DELETE FROM FILELIST");
  const auto o = Repair({"--stations", "TW?"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  for (const std::string& row : archive->Image().rows) EXPECT_EQ(row.rfind("TWO\\", 0), 0u) << row;
  EXPECT_EQ(archive->CheckCli().status, 1);
}

INSTANTIATE_TEST_SUITE_P(Db, ArchiveRepair, testsupport::AllBackends(), testsupport::BackendName);

// Real recordings, with start times in fractions of a second: a FILELIST
// rebuilt from the files alone is the original but for those fractions.
TEST(ArchiveRepairCli, RebuildGivesTheRowsOfRealRecordingsButForFractions) {
  const auto seedDir = testsupport::SeedDataDir();
  if (seedDir.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  auto archive = LocalArchive::Sqlite();
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(seedDir)) {
    if (!e.is_regular_file() || e.path().extension() == ".md") continue;
    SCOPED_TRACE(e.path().filename().string());
    archive->Wipe();
    if (archive->Convert({"--quality", "DQRM", e.path().string()}).status > 1) continue;
    auto whole = [](std::vector<std::string> rows) {
      for (std::string& row : rows) {
        // cpath|sta|ch|sps|TBEGIN|...
        size_t at = 0;
        for (int i = 0; i < 4; ++i) at = row.find('|', at) + 1;
        const size_t end = row.find('|', at);
        char second[40];
        std::snprintf(second, sizeof second, "%.17g", std::floor(std::stod(row.substr(at, end - at))));
        row.replace(at, end - at, second);
      }
      std::sort(rows.begin(), rows.end());
      return rows;
    };
    const ArchiveImage original = archive->Image();
    archive->Exec("DELETE FROM FILELIST");
    const auto o = testsupport::RunProgram(testsupport::CliPath(), {"--repair", "-q", "--vez-ini", archive->Ini()});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(whole(archive->Image().rows), whole(original.rows));
    files += original.files.size();
  }
  EXPECT_GT(files, 50u);
}

TEST(ArchiveRepairCli, RepairOptionsGoTogether) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--repair", "a.mseed"}, {"--repair", "--check"}, {"--dry-run"}, {"--drop-missing", "a.mseed"},
           {"--repair", "--drop-missing=x"}, {"--repair", "--channels", "BHZ"}, {"--repair", "-v"}}) {
    SCOPED_TRACE(args.back());
    const auto o = testsupport::RunProgram(testsupport::CliPath(), args);
    EXPECT_EQ(o.status, 2) << o.err;
  }
}

}  // namespace
