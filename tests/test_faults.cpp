// Faults around a run: the data folder missing or not writable, the file
// system refusing writes in the middle of a run, the database unreachable at
// the start or its server stopped and restarted between runs. Every run must
// end in order with the right status text and exit status, claim no more
// than it did, leave an archive the check finds whole, and a re-run once the
// fault is gone must give the files and rows of a clean run.
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/odbc.h"
#include "support/localarchive.h"
#include "support/vezfile.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ArchiveImage;
using testsupport::ExpectSameArchive;
using testsupport::LocalArchive;
using testsupport::ProgramOutcome;
using testsupport::RunSummary;

constexpr uid_t kUnprivileged = 65534;  // nobody
constexpr gid_t kUnprivilegedGroup = 65534;
constexpr const char* kConverted = "Data successfully converted";
constexpr const char* kWithErrors = "Data converted with errors";
constexpr const char* kOpenError = "VEZ Database open error";

std::string Why(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// In the child: root ignores folder permissions, so a run meant to meet them
// gives up root first. Nothing to do for anyone else.
std::string DropRoot() {
  if (::geteuid() != 0) return {};
  if (::setgroups(0, nullptr) != 0) return Why("setgroups");
  if (::setresgid(kUnprivilegedGroup, kUnprivilegedGroup, kUnprivilegedGroup) != 0) return Why("setresgid");
  if (::setresuid(kUnprivileged, kUnprivileged, kUnprivileged) != 0) return Why("setresuid");
  return {};
}

// The files of the archive belong to whoever runs the converter.
void GiveAway(const std::string& path) {
  if (::geteuid() != 0) return;
  ASSERT_EQ(::lchown(path.c_str(), kUnprivileged, kUnprivilegedGroup), 0) << Why(path.c_str());
  if (!fs::is_directory(fs::symlink_status(path))) return;
  for (const auto& e : fs::recursive_directory_iterator(path))
    ASSERT_EQ(::lchown(e.path().c_str(), kUnprivileged, kUnprivilegedGroup), 0) << Why(e.path().c_str());
}

// Empty when a child can give up root here (or need not).
std::string CannotDropRoot() {
  const auto o = testsupport::RunProgram("/bin/true", {}, DropRoot);
  return o.status == 0 ? std::string() : "cannot run a child as an unprivileged user: " + o.err;
}

// Writes past limit bytes of a file fail with EFBIG instead of ending the
// process: to the writer, a file system that has run full.
std::function<std::string()> FileSizeLimit(rlim_t limit) {
  return [limit]() -> std::string {
    if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return Why("signal");
    const rlimit r{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &r) != 0) return Why("setrlimit");
    return {};
  };
}

std::string Show(const ProgramOutcome& o) { return "exit status " + std::to_string(o.status) + "\n" + o.err; }

// What the run says it did is what the archive holds: the archive, empty
// before the run, holds exactly the files and samples the run claims.
void ExpectClaimsHold(const ProgramOutcome& o, const LocalArchive& a, long samplesIn) {
  const RunSummary s = testsupport::ParseRunSummary(o.err);
  ASSERT_TRUE(s.found) << o.err;
  const auto report = a.Check();
  EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
  EXPECT_EQ(s.samples, samplesIn);
  EXPECT_EQ(static_cast<long>(report.samples), s.samples - s.samplesNotStored) << o.err;
  EXPECT_EQ(static_cast<long>(report.files), s.created) << o.err;
  EXPECT_EQ(s.registrations, s.created + s.extended) << o.err;
  EXPECT_EQ(static_cast<long>(report.rows), s.rows) << o.err;
  EXPECT_EQ(s.segmentsNotStored > 0, s.samplesNotStored > 0);
}

class Faults : public ::testing::TestWithParam<testsupport::DbCase> {
 protected:
  void SetUp() override {
    archive = LocalArchive::Sqlite(GetParam().shape);
    input = archive->Root() + "/input.mseed";
    testsupport::WriteVolume(input, plan);
    ::chmod(input.c_str(), 0644);
    // The same conversion without any fault.
    const auto o = archive->Convert({input});
    ASSERT_EQ(o.status, 0) << o.err;
    clean = archive->Image();
    ASSERT_EQ(clean.files.size(), 6u);
    archive->Wipe();
  }

  // The re-run once the fault is gone.
  void ExpectReRunConverges(const std::function<std::string()>& setup = {}) {
    const auto o = archive->Convert({input}, setup);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(testsupport::ParseRunSummary(o.err).result, kConverted) << o.err;
    const auto report = archive->Check();
    EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
    ExpectSameArchive(archive->Image(), clean);
    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }

  long Samples() const { return static_cast<long>(plan.channels.size()) * plan.records * plan.samplesPerRecord; }

  testsupport::VolumePlan plan;
  std::unique_ptr<LocalArchive> archive;
  std::string input;
  ArchiveImage clean;
};

TEST_P(Faults, DataFolderMissing) {
  fs::remove(archive->DataDir());
  const auto o = archive->Convert({input});
  EXPECT_EQ(o.status, 3) << Show(o);
  EXPECT_NE(o.err.find("VEZ data folder not found: " + archive->DataDir()), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(archive->DataDir())) << "the run made the data folder itself";
  EXPECT_TRUE(archive->Image().rows.empty());

  const auto check = archive->CheckCli();
  EXPECT_EQ(check.status, 3) << check.err;
  EXPECT_NE(check.err.find(archive->DataDir()), std::string::npos) << check.err;

  fs::create_directory(archive->DataDir());
  ExpectReRunConverges();
}

TEST_P(Faults, DataFolderReadOnly) {
  if (const auto why = CannotDropRoot(); !why.empty()) GTEST_SKIP() << why;
  GiveAway(archive->DataDir());
  GiveAway(archive->Root() + "/db");
  GiveAway(archive->OdbcIni());
  fs::permissions(archive->DataDir(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto o = archive->Convert({input}, DropRoot);
  EXPECT_EQ(o.status, 3) << Show(o);
  EXPECT_NE(o.err.find("VEZ data folder not writable: " + archive->DataDir()), std::string::npos) << o.err;
  EXPECT_TRUE(archive->Image().files.empty());
  EXPECT_TRUE(archive->Image().rows.empty());
  // The check only reads.
  const auto check = testsupport::RunProgram(testsupport::CliPath(), {"--check", "--vez-ini", archive->Ini()}, DropRoot);
  EXPECT_EQ(check.status, 0) << check.out << check.err;

  fs::permissions(archive->DataDir(), fs::perms::owner_write, fs::perm_options::add);
  ExpectReRunConverges(DropRoot);
}

// An hour folder left read-only (by another program, a restore, a full
// quota): the files of that hour cannot be created, the rest of the run goes on.
TEST_P(Faults, HourFolderReadOnly) {
  if (const auto why = CannotDropRoot(); !why.empty()) GTEST_SKIP() << why;
  const std::string hour = archive->DataDir() + "/FLT/10";
  fs::create_directories(hour);
  GiveAway(archive->DataDir());
  GiveAway(archive->Root() + "/db");
  GiveAway(archive->OdbcIni());
  fs::permissions(hour, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto o = archive->Convert({input}, DropRoot);
  EXPECT_EQ(o.status, 1) << Show(o);
  const RunSummary s = testsupport::ParseRunSummary(o.err);
  EXPECT_EQ(s.result, kWithErrors) << o.err;
  EXPECT_NE(o.err.find("Permission denied"), std::string::npos) << o.err;
  EXPECT_GT(s.segmentsNotStored, 0) << o.err;
  ExpectClaimsHold(o, *archive, Samples());
  // What could be stored went where a clean run puts it: the files of hour 11.
  const auto image = archive->Image();
  for (const auto& [name, bytes] : image.files) {
    EXPECT_EQ(name.rfind("FLT/11/", 0), 0u) << name;
    ASSERT_TRUE(clean.files.count(name)) << name << ": a file a clean run does not make";
    EXPECT_TRUE(clean.files.at(name) == bytes) << name;
  }
  EXPECT_EQ(image.files.size(), 2u);

  fs::permissions(hour, fs::perms::owner_write, fs::perm_options::add);
  ExpectReRunConverges(DropRoot);
}

// The file system runs full in the middle of the run: appends to the second
// file of each channel fail first; with the lower limit every file fails.
TEST_P(Faults, FileSystemFull) {
  const struct {
    const char* name;
    rlim_t limit;
    long filesStored;
  } cases[] = {
      // A file of one segment is 38912 bytes, of two 77312, of three 115712.
      {"full after two segments of a file", 100000, 6},
      {"full from the start", 30000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    archive->Wipe();
    const auto o = archive->Convert({input}, FileSizeLimit(c.limit));
    EXPECT_EQ(o.status, 1) << Show(o);
    const RunSummary s = testsupport::ParseRunSummary(o.err);
    EXPECT_EQ(s.result, kWithErrors) << o.err;
    EXPECT_NE(o.err.find("File too large"), std::string::npos) << o.err;
    EXPECT_GT(s.segmentsNotStored, 0);
    ExpectClaimsHold(o, *archive, Samples());
    const auto image = archive->Image();
    EXPECT_EQ(static_cast<long>(image.files.size()), c.filesStored);
    // Whatever was stored is where a clean run puts it and begins as there.
    for (const auto& [name, bytes] : image.files) {
      ASSERT_TRUE(clean.files.count(name)) << name << ": a file a clean run does not make";
      EXPECT_LE(bytes.size(), c.limit);
      EXPECT_EQ(clean.files.at(name).compare(0, bytes.size(), bytes), 0) << name;
    }
    for (auto it = fs::recursive_directory_iterator(archive->DataDir()); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path().filename() == archive::kLockFolderName) {
        it.disable_recursion_pending();
        continue;
      }
      EXPECT_NE(it->path().filename().string()[0], '.') << "temporary file left: " << it->path();
    }
    ExpectReRunConverges();
  }
}

TEST_P(Faults, DatabaseUnreachableAtStart) {
  const std::string db = archive->Root() + "/db";
  fs::rename(db, archive->Root() + "/db-away");
  const auto o = archive->Convert({input});
  EXPECT_EQ(o.status, 3) << Show(o);
  const RunSummary s = testsupport::ParseRunSummary(o.err);
  EXPECT_EQ(s.result, kOpenError) << o.err;
  EXPECT_EQ(s.created + s.extended + s.registrations + s.rows + s.samples, 0) << o.err;
  EXPECT_TRUE(fs::is_empty(archive->DataDir())) << "data files written without a database";
  EXPECT_FALSE(fs::exists(db)) << "a database was made in its place";
  const auto check = archive->CheckCli();
  EXPECT_EQ(check.status, 3) << check.err;
  EXPECT_TRUE(check.out.empty()) << check.out;

  fs::rename(archive->Root() + "/db-away", db);
  ExpectReRunConverges();
}

INSTANTIATE_TEST_SUITE_P(Db, Faults,
                         ::testing::Values(testsupport::DbCase("sqlite", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("sqlite", testsupport::Shape::kKeyless)),
                         testsupport::BackendName);

// ---------------------------------------------------------------------------
// A database server of this test's own, stopped and started at will; the
// shared server of the other tests is never touched.

// Each server backend's script and the data source keys that name its server.
struct ServerKind {
  const char* script;    // start|stop|env DIR, as scripts/pg-cluster
  const char* variable;  // the connection string that "env" prints
  const char* program;   // the server program that must be installed
  std::vector<const char*> keys;  // what odbc.ini takes from the connection string
};

const ServerKind& KindOf(const std::string& backend) {
  static const ServerKind postgres{"pg-cluster", "BREVANTO_PG_CONNECT", "/usr/lib/postgresql/15/bin/initdb",
                                   {"Driver", "Servername", "Port", "Database"}};
  static const ServerKind mariadb{"mariadb-server", "BREVANTO_MARIADB_CONNECT", "/usr/sbin/mariadbd",
                                  {"Driver", "Socket", "Database"}};
  return backend == "postgres" ? postgres : mariadb;
}

class PrivateServer {
 public:
  PrivateServer(const std::string& backend, testsupport::Shape shape)
      : m_Kind(KindOf(backend)), m_Dir(m_Tmp.Path().string() + "/db") {
    if (::access(m_Kind.program, X_OK) != 0) {
      m_Problem = std::string("no server program ") + m_Kind.program;
      return;
    }
    // The server's own user must reach its folder.
    fs::permissions(m_Tmp.Path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    if (!(m_Started = Start())) return;
    const auto env = Script("env");
    std::smatch m;
    if (env.status != 0 || !std::regex_search(env.out, m, std::regex(std::string(m_Kind.variable) + "='([^']*)'"))) {
      m_Problem = std::string(m_Kind.script) + " env failed: " + env.err;
      return;
    }
    m_Connect = m[1];
    if (shape != testsupport::Shape::kKeyed) {
      odbc::Connection c;
      c.Open(m_Connect);
      c.ExecuteDirect("DROP TABLE FILELIST");
      testsupport::RunSqlScript(c, testsupport::SchemaScript(backend, shape));
    }
  }
  ~PrivateServer() {
    if (m_Started) Stop();
  }

  const std::string& Problem() const { return m_Problem; }
  const std::string& Connect() const { return m_Connect; }
  // No user or password: the run's connection string brings them, and
  // psqlODBC leaks a password given twice.
  testsupport::DataSourceScope::Keys Keys() const {
    testsupport::DataSourceScope::Keys keys;
    for (const auto& [key, value] : testsupport::ParseConnectionString(m_Connect))
      for (const char* wanted : m_Kind.keys)
        if (key == wanted) keys.emplace_back(key, value);
    return keys;
  }

  bool Start() {
    const auto o = Script("start");
    if (o.status != 0) m_Problem = std::string(m_Kind.script) + " start failed: " + o.err;
    return o.status == 0;
  }
  bool Stop() {
    const auto o = Script("stop");
    EXPECT_EQ(o.status, 0) << o.err;
    return o.status == 0;
  }

 private:
  ProgramOutcome Script(const char* command) const {
    return testsupport::RunProgram(std::string(BREVANTO_SOURCE_DIR "/scripts/") + m_Kind.script, {command, m_Dir});
  }

  const ServerKind& m_Kind;
  testsupport::TempDir m_Tmp;
  std::string m_Dir;
  std::string m_Connect;
  std::string m_Problem;
  bool m_Started = false;
};

class ServerFaults : public ::testing::TestWithParam<testsupport::DbCase> {
 protected:
  void SetUp() override {
    server = std::make_unique<PrivateServer>(GetParam().backend, GetParam().shape);
    if (!server->Problem().empty()) GTEST_SKIP() << "no private server: " << server->Problem();
    archive = LocalArchive::OnServer(server->Connect(), server->Keys());
    // Two stations in two volumes, converted in two runs.
    testsupport::VolumePlan second = plan;
    second.station = "FLU";
    second.start += 600;
    inputs = {archive->Root() + "/first.mseed", archive->Root() + "/second.mseed"};
    testsupport::WriteVolume(inputs[0], plan);
    testsupport::WriteVolume(inputs[1], second);
    for (const auto* in : {&inputs[0], &inputs[1]}) {
      const auto o = archive->Convert({*in});
      ASSERT_EQ(o.status, 0) << o.err;
    }
    clean = archive->Image();
    ASSERT_EQ(clean.files.size(), 12u);
    archive->Wipe();
  }
  void TearDown() override {
    archive.reset();
    server.reset();
  }

  void ExpectLikeCleanRuns() {
    const auto report = archive->Check();
    EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
    ExpectSameArchive(archive->Image(), clean);
    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }

  void ExpectOpenErrorAndNothingWritten(const ProgramOutcome& o, const ArchiveImage& before) {
    EXPECT_EQ(o.status, 3) << Show(o);
    const RunSummary s = testsupport::ParseRunSummary(o.err);
    EXPECT_EQ(s.result, kOpenError) << o.err;
    EXPECT_EQ(s.created + s.extended + s.registrations + s.rows + s.samples, 0) << o.err;
    std::vector<std::string> files;
    for (const auto& f : testsupport::ReadVezTree(archive->DataDir())) files.push_back(f.relative);
    std::vector<std::string> expected;
    for (const auto& [name, bytes] : before.files) expected.push_back(name);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected) << "data files written without a database";
    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, 3) << check.err;
  }

  testsupport::VolumePlan plan;
  std::unique_ptr<PrivateServer> server;
  std::unique_ptr<LocalArchive> archive;
  std::vector<std::string> inputs;
  ArchiveImage clean;
};

TEST_P(ServerFaults, ServerStoppedAndRestartedBetweenRuns) {
  auto o = archive->Convert({inputs[0]});
  ASSERT_EQ(o.status, 0) << o.err;
  const ArchiveImage afterFirst = archive->Image();

  ASSERT_TRUE(server->Stop());
  o = archive->Convert({inputs[1]});
  ExpectOpenErrorAndNothingWritten(o, afterFirst);

  ASSERT_TRUE(server->Start());
  o = archive->Convert({inputs[1]});
  EXPECT_EQ(o.status, 0) << Show(o);
  EXPECT_EQ(testsupport::ParseRunSummary(o.err).result, kConverted) << o.err;
  ExpectLikeCleanRuns();

  // A restart alone between two runs costs nothing: each run connects anew.
  archive->Wipe();
  o = archive->Convert({inputs[0]});
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_TRUE(server->Stop());
  ASSERT_TRUE(server->Start());
  o = archive->Convert({inputs[1]});
  EXPECT_EQ(o.status, 0) << Show(o);
  ExpectLikeCleanRuns();
}

TEST_P(ServerFaults, ServerUnreachableAtStart) {
  ASSERT_TRUE(server->Stop());
  auto o = archive->Convert({inputs[0], inputs[1]});
  ExpectOpenErrorAndNothingWritten(o, {});

  ASSERT_TRUE(server->Start());
  for (const std::string& in : inputs) {
    o = archive->Convert({in});
    EXPECT_EQ(o.status, 0) << Show(o);
  }
  ExpectLikeCleanRuns();
}

// A follower whose server stops keeps its input unread: the state does not
// pass what was committed, and once the server is back, after retries with
// a growing pause, every sample is in the archive once.
// FILELIST's keys play no part in waiting: keyed tables only.
class FollowerServerFaults : public ServerFaults {};

TEST_P(FollowerServerFaults, FollowerWaitsOutAStoppedServer) {
  const std::vector<std::vector<unsigned char>> records = testsupport::VolumeRecords(plan);
  const testsupport::TempDir input;
  const std::string file = input.Path().string() + "/in/FLT.mseed", err = input.Path().string() + "/follow.err";
  const std::string state = archive->DataDir() + "/.brevanto-follow/state";
  fs::create_directories(fs::path(file).parent_path());
  const auto append = [&](size_t from, size_t to) {
    std::vector<unsigned char> bytes;
    for (size_t i = from; i < to; ++i) bytes.insert(bytes.end(), records[i].begin(), records[i].end());
    std::ofstream(file, std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
  };
  // The offset the state holds for the file, 0 without one.
  const auto offset = [&]() -> uint64_t {
    if (!fs::exists(state)) return 0;
    std::istringstream lines(testsupport::ReadTextFile(state));
    std::string line;
    std::getline(lines, line);
    uint64_t device = 0, inode = 0, at = 0;
    return std::getline(lines, line) && std::istringstream(line) >> device >> inode >> at ? at : 0;
  };
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
  };
  const size_t half = records.size() / 2;
  append(0, half);
  const pid_t follower = testsupport::StartProgram(
      {testsupport::CliPath(), "--vez-ini", archive->Ini(), "--follow", "--poll", "1", "--commit-interval", "100",
       fs::path(file).parent_path().string()},
      err, false);
  ASSERT_TRUE(waitFor([&] { return offset() == fs::file_size(file); })) << testsupport::ReadTextFile(err);

  ASSERT_TRUE(server->Stop());
  const uint64_t committed = offset();
  append(half, records.size());
  const auto retries = [&] {
    const std::string text = testsupport::ReadTextFile(err);
    size_t n = 0;
    for (size_t at = 0; (at = text.find("VEZ Database open error", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_TRUE(waitFor([&] { return retries() >= 1; })) << testsupport::ReadTextFile(err);
  EXPECT_EQ(offset(), committed);

  ASSERT_TRUE(server->Start());
  EXPECT_TRUE(waitFor([&] { return offset() == fs::file_size(file); })) << testsupport::ReadTextFile(err);
  ::kill(follower, SIGTERM);
  int wstatus = 0;
  ASSERT_EQ(::waitpid(follower, &wstatus, 0), follower);
  EXPECT_EQ(testsupport::ExitStatusOf(wstatus), 0) << testsupport::ReadTextFile(err);
  const auto report = archive->Check();
  EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
  EXPECT_EQ(report.samples, records.size() * static_cast<uint64_t>(plan.samplesPerRecord));
}

INSTANTIATE_TEST_SUITE_P(Db, ServerFaults,
                         ::testing::Values(testsupport::DbCase("postgres", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("postgres", testsupport::Shape::kKeyless),
                                           testsupport::DbCase("mariadb", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("mariadb", testsupport::Shape::kKeyless)),
                         testsupport::BackendName);

INSTANTIATE_TEST_SUITE_P(Db, FollowerServerFaults,
                         ::testing::Values(testsupport::DbCase("postgres", testsupport::Shape::kKeyed),
                                           testsupport::DbCase("mariadb", testsupport::Shape::kKeyed)),
                         testsupport::BackendName);

}  // namespace
