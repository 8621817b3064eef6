// brevanto-cli --follow over SDS day files that a writer process keeps
// appending to: through SIGKILL, SIGTERM, a batch run beside it and a
// missing or damaged state, the archive ends with every sample once.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/archivecheck.h"
#include "support/localarchive.h"

namespace {

namespace fs = std::filesystem;
using testsupport::LocalArchive;
using Record = std::vector<unsigned char>;

constexpr int kStations = 5, kRecords = 40, kSamplesPerRecord = 400;
constexpr uint64_t kSamples = uint64_t{kStations} * 2 * kRecords * kSamplesPerRecord;
constexpr auto kPatience = std::chrono::seconds(120);  // only against a hang

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string Code(const Record& r, size_t at, size_t width) {
  std::string s(r.begin() + static_cast<long>(at), r.begin() + static_cast<long>(at + width));
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

// YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY of the day the record starts in.
std::string SdsPath(const std::string& root, const Record& r) {
  const int year = r[20] << 8 | r[21], day = r[22] << 8 | r[23];
  const std::string net = Code(r, 18, 2), sta = Code(r, 8, 5), loc = Code(r, 13, 2), cha = Code(r, 15, 3);
  char name[96];
  std::snprintf(name, sizeof name, "%s.%s.%s.%s.D.%04d.%03d", net.c_str(), sta.c_str(), loc.c_str(), cha.c_str(), year,
                day);
  return root + "/" + std::to_string(year) + "/" + net + "/" + sta + "/" + cha + ".D/" + name;
}

// Two channels of each station, 20 s a record, across midnight; stations interleaved record by record.
std::vector<Record> Streams() {
  std::vector<std::vector<Record>> perStation;
  for (int s = 0; s < kStations; ++s) {
    testsupport::VolumePlan plan;
    plan.station = std::string("FL") + static_cast<char>('A' + s);
    plan.records = kRecords;
    plan.samplesPerRecord = kSamplesPerRecord;
    plan.gapAfter = kRecords;
    plan.start = 1712620800 - 400;  // 2024-04-08 23:53:20
    plan.valueOffset = s * 100000;
    perStation.push_back(testsupport::VolumeRecords(plan));
  }
  std::vector<Record> all;
  for (size_t i = 0; i < perStation[0].size(); ++i)
    for (const auto& station : perStation) all.push_back(station[i]);
  return all;
}

void Append(const std::string& path, const unsigned char* data, size_t size) {
  fs::create_directories(fs::path(path).parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::_Exit(3);
  ::close(fd);
}

// Appends each record to its day file, a few milliseconds apart. One record
// comes in two pieces; at another, the file it belongs to is replaced by a
// longer copy that holds it.
pid_t StartWriter(const std::string& root, const std::string& scratch, const std::vector<Record>& records) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    const std::string path = SdsPath(root, r);
    if (i == records.size() / 3) {
      Append(path, r.data(), 100);
      ::usleep(300000);
      Append(path, r.data() + 100, r.size() - 100);
    } else if (i == records.size() / 2 && fs::exists(path)) {
      const std::string copy = scratch + "/copy";
      fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
      Append(copy, r.data(), r.size());
      fs::rename(copy, path);
    } else {
      Append(path, r.data(), r.size());
    }
    ::usleep(4000);
  }
  std::_Exit(0);
}

std::vector<std::string> InputFiles(const std::string& root, const std::string& containing = "") {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().string().find(containing) != std::string::npos)
      files.push_back(e.path().string());
  return files;
}

// Whether the state has every input file converted to its end.
bool CaughtUp(const std::string& stateFile, const std::string& root) {
  std::ifstream in(stateFile);
  std::string line;
  std::map<std::string, uint64_t> offsets;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    uint64_t device, inode, offset, size;
    int64_t mtime;
    std::string path;
    fields >> device >> inode >> offset >> size >> mtime;
    fields.get();
    std::getline(fields, path);
    offsets[path] = offset;
  }
  for (const std::string& f : InputFiles(root))
    if (offsets[f] != fs::file_size(f)) return false;
  return true;
}

// brevanto-cli --follow, its standard error to a file.
class Follower {
 public:
  Follower(const LocalArchive& a, const std::string& root, const std::string& errFile) : m_ErrFile(errFile) {
    std::vector<std::string> args{testsupport::CliPath(), "--vez-ini", a.Ini(), "--follow", "--poll", "1",
                                  "--commit-interval", "100", root};
    std::vector<char*> argv = testsupport::ExecPointers(args);
    const int in = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    m_Pid = ::fork();
    if (m_Pid == 0) {
      ::dup2(in, 0);
      ::dup2(in, 1);
      ::dup2(err, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in);
    ::close(err);
  }
  ~Follower() {
    if (m_Pid > 0) Stop(SIGKILL);
  }
  // The exit status after signal.
  int Stop(int signal) {
    ::kill(m_Pid, signal);
    int wstatus = 0;
    ::waitpid(m_Pid, &wstatus, 0);
    m_Pid = -1;
    return testsupport::ExitStatusOf(wstatus);
  }
  std::string Err() const { return testsupport::ReadTextFile(m_ErrFile); }

 private:
  std::string m_ErrFile;
  pid_t m_Pid = -1;
};

void ExpectEverySampleOnce(const LocalArchive& a) {
  const archive::CheckReport report = a.Check();
  EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
  EXPECT_EQ(report.samples, kSamples);
}

class FollowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Archive = LocalArchive::Sqlite();
    fs::create_directories(Root());
  }
  std::string Root() const { return m_Input / "sds"; }
  std::string StateFile() const {
    return m_Archive->DataDir() + "/" + archive::kFollowFolderName + "/state";
  }
  std::string ErrFile() const { return m_Input / "follow.err"; }

  testsupport::TempDir m_Input;
  std::unique_ptr<LocalArchive> m_Archive;
};

TEST_F(FollowTest, EverySampleOnceThroughKillsAndABatchRunBeside) {
  const std::vector<Record> records = Streams();
  auto follower = std::make_unique<Follower>(*m_Archive, Root(), ErrFile());
  const pid_t writer = StartWriter(Root(), m_Input.Path().string(), records);
  // Killed at two points while the writer goes on, each time restarted.
  for (int kill = 0; kill < 2; ++kill) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250 + 200 * kill));
    EXPECT_EQ(follower->Stop(SIGKILL), 128 + SIGKILL);
    follower = std::make_unique<Follower>(*m_Archive, Root(), ErrFile());
  }
  // A batch run of two stations beside the follower; a file it meets in mid-record is cut short (1).
  std::vector<std::string> batch = InputFiles(Root(), "/FLA/");
  for (const std::string& f : InputFiles(Root(), "/FLB/")) batch.push_back(f);
  batch.insert(batch.begin(), {"-q", "--stations", "FLA,FLB"});
  const int batchStatus = m_Archive->Convert(batch).status;
  EXPECT_TRUE(batchStatus == 0 || batchStatus == 1) << batchStatus;
  int wstatus = 0;
  ASSERT_EQ(::waitpid(writer, &wstatus, 0), writer);
  ASSERT_EQ(testsupport::ExitStatusOf(wstatus), 0);

  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower->Err();
  EXPECT_EQ(follower->Stop(SIGTERM), 0) << follower->Err();
  ExpectEverySampleOnce(*m_Archive);
  EXPECT_EQ(m_Archive->CheckCli().status, 0);

  // One batch run over the final files stores the same samples.
  m_Archive->Wipe();
  std::vector<std::string> all = InputFiles(Root());
  all.insert(all.begin(), "-q");
  const testsupport::ProgramOutcome run = m_Archive->Convert(all);
  EXPECT_EQ(run.status, 0) << run.err;
  ExpectEverySampleOnce(*m_Archive);
}

// SIGTERM ends following with status 0; a restart without a usable state
// reads every file from its start and stores nothing twice.
TEST_F(FollowTest, RestartWithoutUsableStateStoresNothingTwice) {
  const std::vector<Record> records = Streams();
  const size_t half = records.size() / 2;
  for (size_t i = 0; i < half; ++i) Append(SdsPath(Root(), records[i]), records[i].data(), records[i].size());
  for (const char* state : {"missing", "damaged"}) {
    SCOPED_TRACE(state);
    Follower follower(*m_Archive, Root(), ErrFile());
    ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
    EXPECT_EQ(follower.Stop(SIGTERM), 0) << follower.Err();
    if (std::string(state) == "missing")
      fs::remove(StateFile());
    else
      std::ofstream(StateFile()) << "brevanto-follow 1\n12 not a line\n";
  }
  Follower follower(*m_Archive, Root(), ErrFile());
  for (size_t i = half; i < records.size(); ++i) Append(SdsPath(Root(), records[i]), records[i].data(), records[i].size());
  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
  EXPECT_EQ(follower.Stop(SIGTERM), 0);
  EXPECT_NE(follower.Err().find("is damaged; every file is read from its start"), std::string::npos) << follower.Err();
  ExpectEverySampleOnce(*m_Archive);
}

}  // namespace
