// brevanto-cli as a program: its arguments, exit statuses, summary and
// terminal output, run against local archives.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "convert/archivesettings.h"
#include "convert/selection.h"
#include "support/localarchive.h"
#include "support/seedgen.h"
#include "support/testsupport.h"


namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

const std::string kCli = BREVANTO_BINARY_DIR "/bin/brevanto-cli";
constexpr int kTimeoutMs = 120000;

using Env = testsupport::EnvOverrides;

using Outcome = testsupport::ProgramOutcome;

Outcome Run(const std::string& program, const std::vector<std::string>& args, const Env& env = {}) {
  if (::access(program.c_str(), X_OK) != 0) {
    ADD_FAILURE() << program << " is missing (build the brevanto-cli target)";
    return {};
  }
  Outcome o = testsupport::RunProgram(program, args, {}, env);
  if (o.err.find("[killed: did not finish]") != std::string::npos) ADD_FAILURE() << program << " did not finish";
  return o;
}

Outcome RunCli(const std::vector<std::string>& args, const Env& env = {}) { return Run(kCli, args, env); }

// Runs the program on a pseudo-terminal of the given width; everything it
// writes comes back in out.
Outcome RunCliOnTerminal(const std::vector<std::string>& args, const Env& env, unsigned short columns) {
  std::vector<std::string> all = args;
  all.insert(all.begin(), kCli);
  std::vector<std::string> envStrings = testsupport::EnvironmentWith(env);
  std::vector<char*> argv = testsupport::ExecPointers(all), envp = testsupport::ExecPointers(envStrings);
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = columns;
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
  if (pid < 0) throw std::runtime_error("forkpty");
  if (pid == 0) {
    ::execve(kCli.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  Outcome o;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    int n = ::poll(&p, 1, kTimeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << "brevanto-cli did not finish on the terminal";
      break;
    }
    char buf[65536];
    ssize_t got = ::read(master, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EIO once the child has closed the terminal
    o.out.append(buf, static_cast<size_t>(got));
  }
  ::close(master);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  o.status = testsupport::ExitStatusOf(wstatus);
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string WhichProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    fs::path p = fs::path(dir) / name;
    if (::access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  ASSERT_TRUE(f.good()) << path;
}

// The figures of the closing summary.
struct Summary {
  bool found = false;
  long inputs = -1, read = -1, failed = -1, cutShort = 0;
  long converted = -1, notData = -1, emptyCode = -1, unsafeCode = -1;
  long samples = -1, created = -1, extended = -1, registrations = -1, rows = -1;
  long segmentsNotStored = -1, samplesNotStored = -1;
  std::string result;
};

Summary ParseSummary(const std::string& err) {
  Summary s;
  std::smatch m;
  static const std::regex head(R"(brevanto-cli: (\d+) input files?: (\d+) read, (\d+) failed)");
  static const std::regex cutShort(R"(input files?: .*, (\d+) cut short)");
  static const std::regex records(
      R"(records converted (\d+); skipped: (\d+) not data or quality not accepted, (\d+) empty code, (\d+) unsafe code)");
  static const std::regex files(
      R"(samples (\d+); data files created (\d+), extended (\d+); FILELIST registrations (\d+), rows of this run's files (\d+))");
  static const std::regex segments(R"(segments not stored (\d+) \((\d+) samples\))");
  static const std::regex result(R"(result: ([^\r\n]*))");
  if (!std::regex_search(err, m, head)) return s;
  s.found = true;
  s.inputs = std::stol(m[1]);
  s.read = std::stol(m[2]);
  s.failed = std::stol(m[3]);
  if (std::regex_search(err, m, cutShort)) s.cutShort = std::stol(m[1]);
  if (std::regex_search(err, m, records)) {
    s.converted = std::stol(m[1]);
    s.notData = std::stol(m[2]);
    s.emptyCode = std::stol(m[3]);
    s.unsafeCode = std::stol(m[4]);
  }
  if (std::regex_search(err, m, files)) {
    s.samples = std::stol(m[1]);
    s.created = std::stol(m[2]);
    s.extended = std::stol(m[3]);
    s.registrations = std::stol(m[4]);
    s.rows = std::stol(m[5]);
  }
  if (std::regex_search(err, m, segments)) {
    s.segmentsNotStored = std::stol(m[1]);
    s.samplesNotStored = std::stol(m[2]);
  }
  if (std::regex_search(err, m, result)) s.result = m[1];
  return s;
}

std::string SeedFile(const std::string& name) { return (testsupport::SeedDataDir() / name).string(); }

#define REQUIRE_SEED_DATA()                                                                     \
  if (testsupport::SeedDataDir().empty())                                                       \
  GTEST_SKIP() << "no SEED test data: ../shared/testdata/seed beside the checkout is missing " \
                  "and BREVANTO_TESTDATA is not set"

// A local archive made by scripts/make-archive in a temporary folder.
class Archive {
 public:
  Archive() : m_Root(m_Tmp.Path() / "archive") {
    const std::string script = BREVANTO_SOURCE_DIR "/scripts/make-archive";
    if (::access(script.c_str(), X_OK) != 0) {
      m_Problem = script + " is missing";
      return;
    }
    Outcome o = Run(script, {m_Root.string()});
    if (o.status != 0) m_Problem = "make-archive failed: " + o.err;
  }
  const std::string& Problem() const { return m_Problem; }
  std::string Ini() const { return (m_Root / "VEZ.ini").string(); }
  fs::path DataDir() const { return m_Root / "data"; }
  Env Environment() const { return {{"ODBCINI", (m_Root / "odbc.ini").string()}}; }
  std::string Tmp(const std::string& name) const { return m_Tmp / name; }

  // Rows of a query on the archive's database, columns separated by '|'.
  std::vector<std::string> Query(const std::string& sql) const {
    static const std::string sqlite = WhichProgram("sqlite3");
    if (sqlite.empty()) {
      ADD_FAILURE() << "the sqlite3 command is needed to read FILELIST";
      return {};
    }
    Outcome o = Run(sqlite, {"-batch", (m_Root / "vez.db").string(), sql});
    EXPECT_EQ(o.status, 0) << o.err;
    return Lines(o.out);
  }

  // Data files in the data folder, without the writer's temporary files.
  std::vector<fs::path> DataFiles() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(DataDir()))
      if (e.is_regular_file() && e.path().parent_path().filename() != archive::kLockFolderName)
        files.push_back(e.path());
    return files;
  }

  // Converts with the archive's configuration and data source.
  Outcome Convert(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--vez-ini", Ini()});
    return RunCli(args, Environment());
  }

 private:
  TempDir m_Tmp;
  fs::path m_Root;
  std::string m_Problem;
};

#define REQUIRE_ARCHIVE(archive) \
  if (!(archive).Problem().empty()) GTEST_SKIP() << "no local archive: " << (archive).Problem()

// ---------------------------------------------------------------------------

TEST(CliUsage, BadCommandLinesExitTwoWithUsage) {
  const struct {
    std::vector<std::string> args;
    std::string mentions;
  } cases[] = {
      {{}, "no input file"},
      {{"--vez-ini", "/nonexistent.ini"}, "no input file"},
      {{"--bogus", "a.mseed"}, "--bogus"},
      {{"-x", "a.mseed"}, "-x"},
      {{"--quality", "DX", "a.mseed"}, "DX"},
      {{"--quality", "dq", "a.mseed"}, "dq"},
      {{"--quality=", "a.mseed"}, "--quality"},
      {{"a.mseed", "--quality"}, "--quality"},
      {{"a.mseed", "--vez-ini"}, "--vez-ini"},
      {{"-q", "-v", "a.mseed"}, "-q"},
      {{"@/nonexistent/list.txt"}, "/nonexistent/list.txt"},
      {{"--follow"}, "needs a folder"},
      {{"--follow", "--check", "d"}, "--follow excludes"},
      {{"--follow", "--no-wait", "d"}, "--no-wait"},
      {{"--follow", "--poll", "0", "d"}, "--poll"},
      {{"--poll", "5", "a.mseed"}, "belong to --follow"},
      {{"--state", "s", "a.mseed"}, "belong to --follow"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "'" + a + "' ";
    SCOPED_TRACE(shown);
    Outcome o = RunCli(c.args);
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("usage: brevanto-cli"), std::string::npos) << o.err;
    EXPECT_TRUE(o.out.empty()) << o.out;
  }
}

TEST(CliUsage, HelpListsEveryExitStatusAndVersionIsExact) {
  for (const std::string flag : {"-h", "--help"}) {
    Outcome o = RunCli({flag});
    EXPECT_EQ(o.status, 0) << flag;
    EXPECT_NE(o.out.find("Exit status"), std::string::npos) << o.out;
    for (const std::string code : {"0", "1", "2", "3"})
      EXPECT_TRUE(std::regex_search(o.out, std::regex("\n  " + code + "  \\S"))) << "exit status " << code;
    for (const std::string option : {"--vez-ini", "--quality", "@LISTFILE", "-q", "-v", "-V"})
      EXPECT_NE(o.out.find(option), std::string::npos) << option;
  }
  for (const std::string flag : {"-V", "--version"}) {
    Outcome o = RunCli({flag});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, std::string("brevanto-cli ") + BREVANTO_VERSION + "\n");
    EXPECT_TRUE(o.err.empty()) << o.err;
  }
}

// Each case must stop before any data file or database is touched; each
// names its problem in one exact line.
TEST(CliArchive, ArchiveThatCannotBeOpenedExitsThree) {
  REQUIRE_SEED_DATA();
  TempDir tmp;
  const std::string data = tmp / "data";
  fs::create_directory(data);
  WriteText(tmp / "good.ini", "[DATA]\nDIR=" + data + "/\n");
  WriteText(tmp / "nodir.ini", "[DATA]\nDIRECTORY=" + data + "\n");
  WriteText(tmp / "elsewhere.ini", "[DATA]\nDIR=" + (tmp / "nowhere") + "\n");
  WriteText(tmp / "file.ini", "[DATA]\nDIR=" + (tmp / "good.ini") + "\n");
  // A data folder that is empty or leads to the root folder would put the archive into /.
  WriteText(tmp / "empty.ini", "[DATA]\nDIR=\n");
  WriteText(tmp / "blank.ini", "[DATA]\nDIR=\"   \"\n");
  WriteText(tmp / "root.ini", "[DATA]\nDIR=/\n");
  std::string up = data;
  for (size_t i = 0; i < data.size(); ++i) up += "/..";
  WriteText(tmp / "up.ini", "[DATA]\nDIR=" + up + "\n");
  // Without --vez-ini: the user's configuration folder, else /etc/VEZ.ini.
  fs::create_directories(tmp / "xdg");
  fs::create_directories(tmp / "home/.config");
  fs::create_directories(tmp / "empty");
  WriteText(tmp / "xdg/VEZ.ini", "[DATA]\nDIR=" + (tmp / "xdg-nowhere") + "\n");
  WriteText(tmp / "home/.config/VEZ.ini", "[DATA]\nDIR=" + (tmp / "home-nowhere") + "\n");
  // A data source file without VEZ; the system-wide one is kept out as well.
  WriteText(tmp / "odbc.ini", "[OTHER]\nDriver=SQLite3\nDatabase=" + (tmp / "other.db") + "\n");
  const Env noVez = {{"ODBCINI", tmp / "odbc.ini"}, {"ODBCSYSINI", tmp.Path().string()}};
  const Env xdg = {{"XDG_CONFIG_HOME", tmp / "xdg"}, {"HOME", tmp / "home"}};
  const Env home = {{"XDG_CONFIG_HOME", ""}, {"HOME", tmp / "home"}};
  const Env neither = {{"XDG_CONFIG_HOME", tmp / "empty"}, {"HOME", tmp / "home"}};
  const bool systemIni = fs::exists(kSystemVezIni);

  const struct {
    std::vector<std::string> args;
    Env env;
    std::string line;  // of standard error
  } cases[] = {
      {{"--vez-ini", tmp / "missing.ini"}, noVez, "VEZ.ini not found: " + (tmp / "missing.ini")},
      {{"--check", "--vez-ini", tmp / "missing.ini"}, noVez, "VEZ.ini not found: " + (tmp / "missing.ini")},
      {{"--vez-ini", tmp / "nodir.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "nodir.ini") + " (key DIR of section [DATA])"},
      {{"--check", "--vez-ini", tmp / "nodir.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "nodir.ini") + " (key DIR of section [DATA])"},
      {{"--vez-ini", tmp / "empty.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "empty.ini") + " (key DIR of section [DATA] is empty)"},
      {{"--vez-ini", tmp / "blank.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "blank.ini") + " (key DIR of section [DATA] is empty)"},
      {{"--vez-ini", tmp / "root.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "root.ini") + " (key DIR of section [DATA] names the root folder: /)"},
      {{"--vez-ini", tmp / "up.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "up.ini") + " (key DIR of section [DATA] names the root folder: " + up +
           ")"},
      {{"--check", "--vez-ini", tmp / "root.ini"}, noVez,
       "No VEZ data folder set in " + (tmp / "root.ini") + " (key DIR of section [DATA] names the root folder: /)"},
      {{"--vez-ini", tmp / "elsewhere.ini"}, noVez, "VEZ data folder not found: " + (tmp / "nowhere")},
      {{"--vez-ini", tmp / "file.ini"}, noVez, "VEZ data folder is not a folder: " + (tmp / "good.ini")},
      {{}, xdg, "VEZ data folder not found: " + (tmp / "xdg-nowhere")},
      {{}, home, "VEZ data folder not found: " + (tmp / "home-nowhere")},
      {{"--vez-ini", tmp / "elsewhere.ini"}, xdg, "VEZ data folder not found: " + (tmp / "nowhere")},
      {{}, neither, systemIni ? "" : std::string("VEZ.ini not found: ") + kSystemVezIni},
      {{"--vez-ini", tmp / "good.ini"}, noVez,
       "VEZ Database open error: cannot connect with \"DSN=VEZ;UID=VEZ;PWD=***;\": [IM002] "},
      {{"--vez-ini", tmp / "good.ini"}, noVez,
       "Data source VEZ not found: it is looked up in " + (tmp / "odbc.ini") + " (named by ODBCINI) and " +
           (tmp / "odbc.ini") + " (the system's)"},
  };
  for (const auto& c : cases) {
    if (c.line.empty()) continue;  // this machine has a system-wide VEZ.ini
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "--check") == args.end()) args.push_back(SeedFile("gaps.mseed"));
    std::string shown;
    for (const auto& a : args) shown += "'" + a + "' ";
    SCOPED_TRACE(shown);
    Env env = c.env;
    env.insert(noVez.begin(), noVez.end());
    Outcome o = RunCli(args, env);
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(("\n" + o.err).find("\nbrevanto-cli: " + c.line), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(data)) << "the data folder was written to";
    for (const char* folder : {"nowhere", "xdg-nowhere", "home-nowhere"}) EXPECT_FALSE(fs::exists(tmp / folder));
    EXPECT_FALSE(fs::exists(tmp / "other.db"));
    EXPECT_FALSE(fs::exists("/BGLD") || fs::exists("/.brevanto-lock")) << "the root folder was written to";
  }
  Outcome o = RunCli({"--vez-ini", tmp / "good.ini", SeedFile("gaps.mseed")}, noVez);
  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.result, "VEZ Database open error");
  EXPECT_EQ(s.read, 0);
  EXPECT_EQ(s.converted, 0);
}

// gaps.mseed: 128 records of BW BGLD EHE at 200 sps, 127 of 412 samples and
// the last of 404, in four stretches parted by three gaps (after records 0,
// 2 and 4), all within one hour: one data file per stretch.
TEST(CliRun, GoodRunSummaryMatchesArchive) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  Outcome o = archive.Convert({SeedFile("gaps.mseed")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(o.out.empty()) << o.out;
  EXPECT_EQ(o.err.find('\r'), std::string::npos) << "status line drawn off a terminal";
  EXPECT_EQ(o.err.find('\a'), std::string::npos);

  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.inputs, 1);
  EXPECT_EQ(s.read, 1);
  EXPECT_EQ(s.failed, 0);
  EXPECT_EQ(s.converted, 128);
  EXPECT_EQ(s.notData + s.emptyCode + s.unsafeCode, 0);
  EXPECT_EQ(s.samples, 127 * 412 + 404);
  EXPECT_EQ(s.created, 4);
  // The last stretch (123 records, 50668 samples) reaches its file in
  // pieces of at most 9900 samples, 24 records each: 6 pieces, 5 appended.
  EXPECT_EQ(s.extended, 5);
  EXPECT_EQ(s.registrations, s.created + s.extended);
  EXPECT_EQ(s.rows, 4);
  EXPECT_EQ(s.segmentsNotStored, 0);
  EXPECT_EQ(s.result, "Data successfully converted");

  // The archive itself: one FILELIST row per data file, every row's file
  // present and as long as its registered duration says.
  const auto rows = archive.Query("SELECT STA, CH, CPATH, SPS, TQTY FROM FILELIST ORDER BY TBEGIN;");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(archive.DataFiles().size(), 4u);
  double registeredSamples = 0;
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    std::vector<std::string> f;
    std::istringstream in(row);
    for (std::string field; std::getline(in, field, '|');) f.push_back(field);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0], "BGLD");
    EXPECT_EQ(f[1], "EHE");
    std::string local = f[2];
    for (char& c : local)
      if (c == '\\') c = '/';
    const fs::path file = archive.DataDir() / local;
    ASSERT_TRUE(fs::is_regular_file(file)) << file;
    const double samples = std::stod(f[3]) * std::stod(f[4]);
    EXPECT_NEAR(static_cast<double>(fs::file_size(file)), 512 + 4 * samples, 4.0);
    registeredSamples += samples;
  }
  EXPECT_NEAR(registeredSamples, static_cast<double>(s.samples), 1.0);
}

TEST(CliRun, MissingInputFailsAloneAndTheOthersAreConverted) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  const std::string missing = archive.Tmp("not-there.mseed");
  Outcome o = archive.Convert({SeedFile("gaps.mseed"), missing, SeedFile("1T_MONN_00_EDH.mseed")});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_TRUE(std::regex_search(o.err, std::regex("brevanto-cli: " + missing + ": .*No such file")))
      << o.err;
  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.inputs, 3);
  EXPECT_EQ(s.read, 2);
  EXPECT_EQ(s.failed, 1);
  EXPECT_EQ(s.converted, 128 + 4);
  EXPECT_EQ(s.result, "Data converted with errors");
  EXPECT_EQ(archive.Query("SELECT DISTINCT STA FROM FILELIST ORDER BY STA;"),
            (std::vector<std::string>{"BGLD", "MONN"}));
}

// An interrupted copy: the file ends 100 bytes into its last record.
TEST(CliRun, FileCutShortNamesTheLostBytesAndFailsTheRun) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  auto bytes = testsupport::ReadFileBytes(SeedFile("gaps.mseed"));
  bytes.resize(bytes.size() - 512 + 100);
  const std::string cut = archive.Tmp("cut.mseed");
  testsupport::WriteFileBytes(cut, bytes);
  Outcome o = archive.Convert({cut});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find(cut + ": the last 100 bytes, from byte " + std::to_string(127 * 512) +
                       ", are not a whole 512-byte record"),
            std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("brevanto-cli: 1 input file: 0 read, 0 failed, 1 cut short\n"), std::string::npos) << o.err;
  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.cutShort, 1);
  EXPECT_EQ(s.converted, 127);
  EXPECT_EQ(s.result, "Data converted with errors");
}

// Codes are case-sensitive: a selection that meets no record of any input is
// a mistake, not a run with nothing to do; a shard without a station is not.
TEST(CliRun, SelectionsThatMatchNothingFailNamingTheValue) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  const unsigned otherShard = convert::ShardOf("BGLD", 2) == 1 ? 2 : 1;
  const struct {
    std::vector<std::string> args;
    int status;
    long created;
    std::string line;  // of standard error
  } cases[] = {
      {{"--stations", "bgld"}, 1, 0, "brevanto-cli: --stations bgld matched no record\n"},
      {{"--stations", "BGLD,NOSUCH"}, 1, 4, "brevanto-cli: --stations NOSUCH matched no record\n"},
      {{"--stations", "B*", "--channels", "EHE,BH?"}, 1, 4, "brevanto-cli: --channels BH? matched no record\n"},
      {{"--stations", "BGLD", "--channels", "EH?"}, 0, 4, ""},
      {{"--shard", std::to_string(otherShard) + "/2"}, 0, 0, "  no station of the input falls into this shard\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    SCOPED_TRACE(args[0] + " " + args[1]);
    fs::remove_all(archive.DataDir());
    fs::create_directory(archive.DataDir());
    archive.Query("DELETE FROM FILELIST;");
    args.push_back(SeedFile("gaps.mseed"));
    const Outcome o = archive.Convert(args);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.line), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("matched no record") != std::string::npos, c.status != 0) << o.err;
    EXPECT_EQ(ParseSummary(o.err).created, c.created) << o.err;
  }
}

// A 128-byte record among 512-byte ones: read at 512 bytes it would swallow
// the start of the next record. It is named, and the records after it are read.
TEST(CliRun, ARecordTooShortForTheLoopIsNamedAndFailsTheRun) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  auto bytes = testsupport::ReadFileBytes(SeedFile("gaps.mseed"));
  seedgen::Header h;
  h.station = "SHORT";
  h.recordLength = 128;
  const auto shortRecord = seedgen::EncodeRecord(h, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  ASSERT_EQ(shortRecord.size(), 128u);
  bytes.insert(bytes.begin() + 3 * 512, shortRecord.begin(), shortRecord.end());
  const std::string input = archive.Tmp("short.mseed");
  testsupport::WriteFileBytes(input, bytes);
  const Outcome o = archive.Convert({input});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("brevanto-cli: " + input + ": record at byte 1536 not converted: its length of 128 bytes is "
                       "shorter than any the reader takes\n"),
            std::string::npos)
      << o.err;
  const Summary s = ParseSummary(o.err);
  EXPECT_EQ(s.converted, 128) << o.err;
  EXPECT_EQ(s.samples, 127 * 412 + 404);
  EXPECT_NE(o.err.find(", 1 too short to be read\n"), std::string::npos) << o.err;
}

// A volume of log records only holds nothing to convert, and nothing failed.
TEST(CliRun, AFileOfOnlyLogRecordsIsNamedInTheSummary) {
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 3; ++i) {
    seedgen::Header h;
    h.channel = "LOG";
    h.encoding = 0;
    h.sampleCount = 20;
    const std::string text = "GPS clock locked    ";
    const auto record = seedgen::Record(h, std::vector<unsigned char>(text.begin(), text.end()));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  const std::string input = archive.Tmp("log.mseed");
  testsupport::WriteFileBytes(input, bytes);
  const Outcome o = archive.Convert({input});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("\n  " + input + ": only log records, no data\n"), std::string::npos) << o.err;
  EXPECT_TRUE(archive.DataFiles().empty());
}

// A plain file where the station's folder belongs: no data file can be made.
// Each channel's first failure is reported in full, the rest of the channel
// in one line at the end, and the counts add up to the summary's.
TEST(CliRun, DataFileErrorsNameThePathOncePerChannelAndFailTheRun) {
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  testsupport::VolumePlan plan;  // FLT BHZ and BHN, 250 records of 400 samples each
  const std::string input = archive.Tmp("volume.mseed");
  testsupport::WriteVolume(input, plan);
  WriteText((archive.DataDir() / "FLT").string(), "in the way\n");
  Outcome o = archive.Convert({input});
  EXPECT_EQ(o.status, 1) << o.err;

  const std::string folder = (archive.DataDir() / "FLT").string();
  static const std::regex first("brevanto-cli: Data file " + folder +
                                R"(/\d\d/\S+: cannot create: Not a directory; (\d+) samples of FLT (BH[ZN]) not stored)");
  static const std::regex rest(R"(brevanto-cli: FLT (BH[ZN]): (\d+) more segments, ([\d ]+) samples not stored: Not a directory)");
  std::map<std::string, long> firsts, segments, samples;
  for (const std::string& line : Lines(o.err)) {
    std::smatch m;
    if (std::regex_match(line, m, first)) {
      EXPECT_EQ(firsts.count(m[2]), 0u) << "second full report of " << m[2];
      firsts[m[2]] = std::stol(m[1]);
    } else if (std::regex_match(line, m, rest)) {
      EXPECT_EQ(segments.count(m[1]), 0u) << line;
      segments[m[1]] = std::stol(m[2]);
      std::string digits = m[3];
      std::erase(digits, ' ');
      samples[m[1]] = std::stol(digits);
      EXPECT_EQ(firsts.count(m[1]), 1u) << "summed up before its first report: " << line;
    } else {
      EXPECT_EQ(line.find("Data file"), std::string::npos) << line;
    }
  }
  ASSERT_EQ(firsts.size(), 2u) << o.err;
  ASSERT_EQ(segments.size(), 2u) << o.err;
  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.read, 1);
  EXPECT_EQ(s.converted, 2 * plan.records);
  EXPECT_EQ(s.created, 0);
  EXPECT_EQ(s.registrations, 0);
  EXPECT_EQ(s.rows, 0);
  EXPECT_EQ(s.segmentsNotStored, 2 + segments["BHZ"] + segments["BHN"]);
  EXPECT_EQ(s.samplesNotStored, 2L * plan.records * plan.samplesPerRecord);
  EXPECT_EQ(s.samplesNotStored, firsts["BHZ"] + firsts["BHN"] + samples["BHZ"] + samples["BHN"]);
  EXPECT_EQ(s.result, "Data converted with errors");
  EXPECT_TRUE(archive.Query("SELECT * FROM FILELIST;").empty());
}

// Every input that yields nothing fails the run, with its reason in one line.
TEST(CliRun, InputsThatYieldNothingFail) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  auto marked = [&](char quality) {
    auto bytes = testsupport::ReadFileBytes(SeedFile("gaps.mseed"));
    for (size_t r = 0; r * 512 < bytes.size(); ++r) bytes[r * 512 + 6] = static_cast<unsigned char>(quality);
    const std::string path = archive.Tmp(std::string("all-") + quality + ".mseed");
    testsupport::WriteFileBytes(path, bytes);
    return path;
  };
  const std::string text = archive.Tmp("notes.txt"), empty = archive.Tmp("empty.mseed");
  WriteText(text, "not SEED at all\n");
  WriteText(empty, "");
  const std::string allR = marked('R'), allQ = marked('Q'), missing = archive.Tmp("not-there.mseed");
  const struct {
    std::vector<std::string> args;
    std::string line;
    long withoutRecords;
  } cases[] = {
      {{text}, text + ": no SEED data record found", 1},
      {{empty}, empty + ": no SEED data record found", 1},
      {{allR}, allR + ": only records of quality R found; --quality DQR converts them", 1},
      {{"--quality", "D", allQ}, allQ + ": only records of quality Q found; --quality DQ converts them", 1},
      {{SeedFile("various_noise_records.mseed")},
       SeedFile("various_noise_records.mseed") + ": only records of quality M found; --quality DQM converts them", 1},
      {{missing}, missing + ": cannot open: No such file or directory", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome o = archive.Convert(c.args);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(("\n" + o.err).find("\nbrevanto-cli: " + c.line + "\n"), std::string::npos) << o.err;
    const Summary s = ParseSummary(o.err);
    ASSERT_TRUE(s.found) << o.err;
    EXPECT_EQ(s.read, 0);
    EXPECT_EQ(s.failed, 1);
    EXPECT_EQ(o.err.find(" without a data record of an accepted quality)") != std::string::npos, c.withoutRecords > 0)
        << o.err;
    EXPECT_EQ(s.result, "Data converted with errors");
  }
  EXPECT_TRUE(archive.DataFiles().empty());
}

TEST(CliRun, QuietPrintsNothingUnlessSomethingFailed) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  Outcome ok = archive.Convert({"-q", SeedFile("1T_MONN_00_EDH.mseed")});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out + ok.err, "");

  const std::string missing = archive.Tmp("not-there.mseed");
  Outcome bad = archive.Convert({"-q", missing});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(missing), std::string::npos) << bad.err;
  EXPECT_TRUE(ParseSummary(bad.err).found) << bad.err;
}

// Records 10 to 13 of a copy of gaps.mseed are marked R (raw).
TEST(CliRun, QualityDecidesWhichRecordsAreConverted) {
  REQUIRE_SEED_DATA();
  const struct {
    std::vector<std::string> quality;
    long converted, skipped;
  } cases[] = {
      {{}, 124, 4},
      {{"--quality", "DQ"}, 124, 4},
      {{"--quality", "DR"}, 128, 0},
      {{"--quality=DQRM"}, 128, 0},
      // Reading starts at the first accepted record, record 10.
      {{"--quality", "R"}, 4, 114},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality.empty() ? "default" : c.quality.back());
    Archive archive;
    REQUIRE_ARCHIVE(archive);
    auto bytes = testsupport::ReadFileBytes(SeedFile("gaps.mseed"));
    for (size_t r = 10; r <= 13; ++r) bytes[r * 512 + 6] = 'R';
    const std::string input = archive.Tmp("marked.mseed");
    testsupport::WriteFileBytes(input, bytes);

    std::vector<std::string> args = c.quality;
    args.push_back(input);
    Outcome o = archive.Convert(args);
    EXPECT_EQ(o.status, 0) << o.err;
    const Summary s = ParseSummary(o.err);
    ASSERT_TRUE(s.found) << o.err;
    EXPECT_EQ(s.converted, c.converted);
    EXPECT_EQ(s.notData, c.skipped);
  }
}

// various_noise_records.mseed holds only M records (four stations NV30-NV33).
TEST(CliRun, DataCentreModifiedRecordsNeedTheirQuality) {
  REQUIRE_SEED_DATA();
  {
    Archive archive;
    REQUIRE_ARCHIVE(archive);
    Outcome o = archive.Convert({SeedFile("various_noise_records.mseed")});
    const Summary s = ParseSummary(o.err);
    ASSERT_TRUE(s.found) << o.err;
    EXPECT_EQ(s.converted, 0);
    EXPECT_TRUE(archive.Query("SELECT * FROM FILELIST;").empty());
    EXPECT_TRUE(archive.DataFiles().empty());
  }
  {
    Archive archive;
    REQUIRE_ARCHIVE(archive);
    Outcome o = archive.Convert({"--quality", "DQRM", SeedFile("various_noise_records.mseed")});
    const Summary s = ParseSummary(o.err);
    ASSERT_TRUE(s.found) << o.err;
    EXPECT_GE(s.converted, 1);
    EXPECT_LE(s.converted, 4);
    const auto stations = archive.Query("SELECT DISTINCT STA FROM FILELIST;");
    ASSERT_FALSE(stations.empty());
    for (const std::string& sta : stations) EXPECT_TRUE(std::regex_match(sta, std::regex("NV3[0-3]"))) << sta;
  }
}

TEST(CliRun, ListFilesExpandInPlace) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  const std::string list = archive.Tmp("inputs.txt");
  WriteText(list, "# " + archive.Tmp("commented-out.mseed") + "\n\n   \n" + SeedFile("gaps.mseed") +
                      "\r\n");
  Outcome o = archive.Convert({"-v", SeedFile("1T_MONN_00_EDH.mseed"), "@" + list});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("commented-out"), std::string::npos) << o.err;
  const Summary s = ParseSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  EXPECT_EQ(s.inputs, 2);
  EXPECT_EQ(s.converted, 4 + 128);

  // Command-line order: the MONN file's records first, then the listed file's.
  std::string order;
  for (const std::string& line : Lines(o.out)) {
    const char station = line.rfind("MONN::", 0) == 0 ? 'M' : line.rfind("BGLD::", 0) == 0 ? 'B' : 0;
    if (station && (order.empty() || order.back() != station)) order += station;
  }
  EXPECT_EQ(order, "MB");
}

TEST(CliOutput, VerboseOffTerminalPrintsEveryStatusTextOnItsOwnLine) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  Outcome o = archive.Convert({"-v", SeedFile("gaps.mseed")});
  EXPECT_EQ(o.status, 0) << o.err;
  const auto lines = Lines(o.out);
  ASSERT_EQ(lines.size(), 129u) << o.out;
  static const std::regex record(R"(BGLD::EHE Time=\d+\.\d{6} DT=\d+\.\d{6} Counts=(\d+) beg=64)");
  long counts = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, record)) << lines[i];
    counts += std::stol(m[1]);
  }
  EXPECT_EQ(lines.back(), "Data successfully converted");
  EXPECT_EQ(counts, 127 * 412 + 404);
  EXPECT_EQ(o.out.find('\r'), std::string::npos);
  EXPECT_EQ(o.err.find('\r'), std::string::npos);
  EXPECT_TRUE(ParseSummary(o.err).found) << o.err;
}

// What a terminal was shown: the texts drawn after "\r" and before the
// clear-to-end sequence.
std::vector<std::string> DrawnStatusLines(const std::string& screen) {
  std::vector<std::string> drawn;
  static const std::regex line("\r([^\r\n\x1b]+)\x1b\\[K");
  for (auto it = std::sregex_iterator(screen.begin(), screen.end(), line); it != std::sregex_iterator(); ++it)
    drawn.push_back((*it)[1]);
  return drawn;
}

TEST(CliOutput, TerminalShowsOneStatusLineRewrittenInPlace) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  constexpr unsigned short kColumns = 60;
  Outcome o = RunCliOnTerminal({"--vez-ini", archive.Ini(), SeedFile("gaps.mseed")},
                               archive.Environment(), kColumns);
  EXPECT_EQ(o.status, 0) << o.out;
  const auto drawn = DrawnStatusLines(o.out);
  ASSERT_FALSE(drawn.empty()) << o.out;
  for (const std::string& line : drawn) {
    EXPECT_NE(line.find("1/1"), std::string::npos) << line;
    EXPECT_LT(line.size(), kColumns) << "wider than the terminal: " << line;
  }
  // Cleared before the summary, which then starts at the left margin.
  EXPECT_NE(o.out.find("\r\x1b[Kbrevanto-cli: 1 input file: 1 read, 0 failed"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("result: Data successfully converted"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find('\a'), std::string::npos) << "beep on a successful run";
}

TEST(CliOutput, TerminalErrorsStartOnTheirOwnLineAndBeep) {
  REQUIRE_SEED_DATA();
  Archive archive;
  REQUIRE_ARCHIVE(archive);
  const std::string missing = archive.Tmp("not-there.mseed");
  Outcome o = RunCliOnTerminal({"--vez-ini", archive.Ini(), SeedFile("gaps.mseed"), missing},
                               archive.Environment(), 80);
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find('\a'), std::string::npos) << o.out;
  const size_t error = o.out.find("brevanto-cli: " + missing);
  ASSERT_NE(error, std::string::npos) << o.out;
  const std::string before = o.out.substr(0, error);
  EXPECT_TRUE(before.empty() || before.back() == '\n' || before.ends_with("\r\x1b[K"))
      << "error written into the status line: " << o.out;
  EXPECT_NE(o.out.find("\r\x1b[Kbrevanto-cli: 2 input files: 1 read, 1 failed"), std::string::npos)
      << o.out;
}

}  // namespace
