// brevanto-cli --follow over SDS day files that a writer process keeps
// appending to: through SIGKILL, SIGTERM, a batch run beside it and a
// missing or damaged state, the archive ends with every sample once.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
#include "convert/follow.h"
#include "support/dbfixture.h"
#include "support/fakehost.h"
#include "support/localarchive.h"
#include "support/seedgen.h"

namespace {

namespace fs = std::filesystem;
using testsupport::LocalArchive;
using Record = std::vector<unsigned char>;

constexpr int kStations = 10, kRecords = 50, kSamplesPerRecord = 400, kRate = 2;
constexpr uint64_t kSamples = (uint64_t{kStations} + 1) * 2 * kRecords * kSamplesPerRecord;
constexpr auto kPatience = std::chrono::seconds(120);  // only against a hang

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

struct Piece {
  Record bytes;
  std::string path;  // relative: YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY of the day it starts in
};

std::string SdsPath(const std::string& sta, const std::string& cha, int year, int day) {
  char name[96];
  std::snprintf(name, sizeof name, "XX.%s.00.%s.D.%04d.%03d", sta.c_str(), cha.c_str(), year, day);
  return std::to_string(year) + "/XX/" + sta + "/" + cha + ".D/" + name;
}

std::string SdsPathOf(const Record& r) {
  std::string sta(r.begin() + 8, r.begin() + 13), cha(r.begin() + 15, r.begin() + 18);
  sta.erase(sta.find_last_not_of(' ') + 1);
  return SdsPath(sta, cha, r[20] << 8 | r[21], r[22] << 8 | r[23]);
}

constexpr int64_t kStart = 1712620800 - 7200;  // 2024-04-08 22:00:00, day 99; 200 s a record
constexpr int kRecords3 = 2 * kRecords;

// miniSEED 3 records of one more station, 20 s each, Steim2.
std::vector<Piece> Stream3() {
  std::vector<Piece> pieces;
  for (int i = 0; i < kRecords3; ++i) {
    const int64_t second = 400 + i * 20;  // after midnight of day 99, minus 400 s offset
    seedgen::Header3 h;
    h.id = "FDSN:XX_FLV_00_B_H_Z";
    h.year = 2024;
    h.dayOfYear = second < 800 ? 99 : 100;
    const int64_t ofDay = (second < 800 ? 86400 - 800 + second : second - 800);
    h.hour = static_cast<int>(ofDay / 3600);
    h.minute = static_cast<int>(ofDay / 60 % 60);
    h.second = static_cast<int>(ofDay % 60);
    std::vector<int32_t> samples(kSamplesPerRecord);
    for (int k = 0; k < kSamplesPerRecord; ++k) samples[k] = 7000 + (i * kSamplesPerRecord + k) % 911;
    pieces.push_back({seedgen::EncodeRecord3(h, samples), SdsPath("FLV", "BHZ", 2024, h.dayOfYear)});
  }
  return pieces;
}

// 20 streams, two channels of each station, 200 s a record from 22:00 for
// close to three hours, and one miniSEED 3 stream, 20 s a record, across
// midnight; the streams interleaved record by record.
std::vector<Piece> Streams() {
  std::vector<std::vector<Piece>> streams;
  for (int s = 0; s < kStations; ++s) {
    testsupport::VolumePlan plan;
    plan.station = std::string("FL") + static_cast<char>('A' + s);
    plan.records = kRecords;
    plan.samplesPerRecord = kSamplesPerRecord;
    plan.gapAfter = kRecords;
    plan.start = kStart;
    plan.sps = kRate;
    plan.valueOffset = s * 100000;
    std::vector<Piece> pieces;
    for (Record& r : testsupport::VolumeRecords(plan)) pieces.push_back({r, SdsPathOf(r)});
    streams.push_back(std::move(pieces));
  }
  streams.push_back(Stream3());
  std::vector<Piece> all;
  for (size_t i = 0; i < streams[0].size(); ++i)
    for (const auto& stream : streams) all.push_back(stream[i]);
  return all;
}

void Append(const std::string& path, const unsigned char* data, size_t size) {
  fs::create_directories(fs::path(path).parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::_Exit(3);
  ::close(fd);
}

void AppendPiece(const std::string& root, const Piece& p) {
  Append(root + "/" + p.path, p.bytes.data(), p.bytes.size());
}

// Appends each record to its day file, a few milliseconds apart. A record
// of each format comes in two pieces; at another, the file it belongs to is
// replaced by a longer copy that holds it.
pid_t StartWriter(const std::string& root, const std::string& scratch, const std::vector<Piece>& pieces) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const size_t group = kStations + 1, split = pieces.size() / 3 / group * group;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Record& r = pieces[i].bytes;
    const std::string path = root + "/" + pieces[i].path;
    if (i == split || i == split + kStations) {
      Append(path, r.data(), 100);
      ::usleep(300000);
      Append(path, r.data() + 100, r.size() - 100);
    } else if (i == pieces.size() / 2 && fs::exists(path)) {
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
  std::sort(files.begin(), files.end());  // day by day, as a batch run is given them
  return files;
}

// The state file: its first line, then a line per file.
struct StateLine {
  uint64_t device = 0, inode = 0, offset = 0, size = 0;
  int64_t mtime = 0;
  std::string path;
};

std::vector<StateLine> ReadState(const std::string& stateFile, std::string& first) {
  std::ifstream in(stateFile);
  std::vector<StateLine> lines;
  std::string line;
  std::getline(in, first);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    StateLine l;
    fields >> l.device >> l.inode >> l.offset >> l.size >> l.mtime;
    fields.get();
    std::getline(fields, l.path);
    lines.push_back(l);
  }
  return lines;
}

// Whether the state has every input file converted to its end.
bool CaughtUp(const std::string& stateFile, const std::string& root) {
  std::string first;
  std::map<std::string, uint64_t> offsets;
  for (const StateLine& l : ReadState(stateFile, first)) offsets[l.path] = l.offset;
  for (const std::string& f : InputFiles(root))
    if (offsets[f] != fs::file_size(f)) return false;
  return true;
}

// A state three records behind the archive in every version 2 file, as a
// crash between a commit and the state's save leaves it.
void PullBack(const std::string& stateFile) {
  std::string text;
  std::vector<StateLine> lines = ReadState(stateFile, text);
  text += "\n";
  for (StateLine& l : lines) {
    if (l.path.find("/FLV/") == std::string::npos && l.offset >= 3 * 512) l.offset -= 3 * 512;
    text += std::to_string(l.device) + " " + std::to_string(l.inode) + " " + std::to_string(l.offset) + " " +
            std::to_string(l.size) + " " + std::to_string(l.mtime) + " " + l.path + "\n";
  }
  std::ofstream(stateFile) << text;
}

// brevanto-cli --follow, its standard error to a file.
class Follower {
 public:
  // With a poll of an hour, what inotify reports is all it sees.
  Follower(const LocalArchive& a, const std::string& root, const std::string& errFile, const std::string& poll = "1")
      : Follower(a.Ini(), root, errFile, {"--poll", poll, "--commit-interval", "100"}) {}
  // In folder, where ./brevanto.ini is read, unless it is empty.
  Follower(const std::string& vezIni, const std::string& root, const std::string& errFile,
           const std::vector<std::string>& options, const std::string& folder = "")
      : m_ErrFile(errFile) {
    std::vector<std::string> args{testsupport::CliPath(), "--vez-ini", vezIni, "--follow"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(root);
    if (!folder.empty()) args.insert(args.begin(), {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", folder});
    m_Pid = testsupport::StartProgram(args, errFile, true);
  }
  void Signal(int signal) const { ::kill(m_Pid, signal); }
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

// The input folder and the archive of a test.
class FollowFolders {
 protected:
  void Make(std::unique_ptr<LocalArchive> archive) {
    m_Archive = std::move(archive);
    fs::create_directories(Root());
  }
  std::string Root() const { return m_Input / "sds"; }
  std::string StateFile() const { return m_Archive->DataDir() + "/" + archive::kFollowFolderName + "/state"; }
  std::string ErrFile() const { return m_Input / "follow.err"; }

  testsupport::TempDir m_Input;
  std::unique_ptr<LocalArchive> m_Archive;
};

class FollowTest : public ::testing::Test, protected FollowFolders {
 protected:
  void SetUp() override { Make(LocalArchive::Sqlite()); }
};

// On each database the archive may use.
class Following : public testsupport::DatabaseTest, protected FollowFolders {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (!IsSkipped()) Make(LocalArchive::On(std::move(db)));
  }
};

TEST_P(Following, EverySampleOnceThroughKillsAndABatchRunBeside) {
  const std::vector<Piece> records = Streams();
  auto follower = std::make_unique<Follower>(*m_Archive, Root(), ErrFile(), "3600");
  const pid_t writer = StartWriter(Root(), m_Input.Path().string(), records);
  // Killed at two points while the writer goes on, each time restarted.
  for (int kill = 0; kill < 2; ++kill) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250 + 200 * kill));
    EXPECT_EQ(follower->Stop(SIGKILL), 128 + SIGKILL);
    follower = std::make_unique<Follower>(*m_Archive, Root(), ErrFile(), "3600");
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

// SIGTERM ends following with status 0; a restart with a state behind the
// archive, or without a usable one, stores nothing twice.
TEST_P(Following, RestartWithoutUsableStateStoresNothingTwice) {
  const std::vector<Piece> records = Streams();
  const size_t half = records.size() / 2;
  for (size_t i = 0; i < half; ++i) AppendPiece(Root(), records[i]);
  for (const std::string state : {"behind", "missing", "damaged"}) {
    SCOPED_TRACE(state);
    Follower follower(*m_Archive, Root(), ErrFile());
    ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
    EXPECT_EQ(follower.Stop(SIGTERM), 0) << follower.Err();
    if (state == "behind")
      PullBack(StateFile());
    else if (state == "missing")
      fs::remove(StateFile());
    else
      std::ofstream(StateFile()) << "brevanto-follow 1\n12 not a line\n";
  }
  Follower follower(*m_Archive, Root(), ErrFile());
  for (size_t i = half; i < records.size(); ++i) AppendPiece(Root(), records[i]);
  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
  EXPECT_EQ(follower.Stop(SIGTERM), 0);
  EXPECT_NE(follower.Err().find("is damaged; every file is read from its start"), std::string::npos) << follower.Err();
  ExpectEverySampleOnce(*m_Archive);
}

INSTANTIATE_TEST_SUITE_P(Db, Following, testsupport::EachBackend(), testsupport::BackendName);

}  // namespace

namespace {

// Refused before anything is followed: the archive's own files would be read as input.
TEST_F(FollowTest, FoldersMissingOrSharingTheDataFolderAreRefused) {
  fs::create_directories(m_Archive->DataDir());
  for (const std::string& folder :
       {m_Input / "missing", m_Archive->DataDir(), m_Archive->Root(), m_Archive->DataDir() + "/FLA"}) {
    SCOPED_TRACE(folder);
    fs::create_directories(folder == m_Input / "missing" ? m_Input.Path() : fs::path(folder));
    const testsupport::ProgramOutcome o =
        testsupport::RunProgram(testsupport::CliPath(), {"--vez-ini", m_Archive->Ini(), "--follow", Root(), folder});
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find(folder), std::string::npos) << o.err;
  }
}

}  // namespace

namespace {

// The driver in this process: its status line counts what came since the
// last one and names the age of the partial record that still waits.
TEST_F(FollowTest, StatusLineCountsRecordsAndTheWaitingPartialRecord) {
  const std::vector<Piece> records = Streams();
  AppendPiece(Root(), records[0]);
  Append(Root() + "/" + records[0].path, records[2 * (kStations + 1)].bytes.data(), 100);  // the next one, in part
  testsupport::FakeHost host;
  CConvertFromSeed converter(&host, m_Archive->Ini());
  converter.SetConnectString(m_Archive->Connect());
  convert::FollowSettings settings;
  settings.folders = {Root()};
  settings.poll = std::chrono::seconds(1);
  settings.statusEvery = std::chrono::seconds(1);
  convert::CFollower follower(converter, settings);
  bool followed = false;
  std::thread thread([&] { followed = follower.Run(); });
  const auto line = [&] {
    std::lock_guard<std::mutex> lock(host.mutex);
    for (const std::string& e : host.errors)
      if (e.find("following 1 files: 1 records, 400 samples converted") != std::string::npos &&
          e.find("oldest unconverted byte: none") == std::string::npos)
        return true;
    return false;
  };
  const bool seen = WaitUntil(line);
  converter.RequestStop();
  thread.join();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(followed);
  EXPECT_EQ(converter.Stats().samples, uint64_t{kSamplesPerRecord});
}

}  // namespace

namespace {

uint64_t SamplesOf(const std::vector<Piece>& pieces, size_t from, size_t to, const std::string& only = "") {
  uint64_t n = 0;
  for (size_t i = from; i < to; ++i)
    if (pieces[i].path.find(only) != std::string::npos) n += kSamplesPerRecord;
  return n;
}

// SIGHUP between rounds: a VEZ.ini that names no usable folder keeps the
// old settings, brevanto.ini's change included; once it is right, the
// selection that brevanto.ini gives takes effect on the records after it.
TEST_F(FollowTest, SighupReadsTheSettingsAgainOrKeepsTheOldOnes) {
  const std::vector<Piece> records = Streams();
  const fs::path folder = m_Input / "cwd";
  fs::create_directories(folder);
  const std::string vezIni = folder / "VEZ.ini", programIni = folder / "brevanto.ini";
  const auto vez = [&](const std::string& dir) { std::ofstream(vezIni) << "[DATA]\nDIR=" << dir << "\n"; };
  vez(m_Archive->DataDir());
  std::ofstream(programIni) << "[FOLLOW]\nSTATIONS=FLA\n";
  Follower follower(vezIni, Root(), ErrFile(), {"--poll", "1", "-q"}, folder);
  const auto count = [&](const std::string& text) {
    const std::string err = follower.Err();
    size_t n = 0;
    for (size_t at = 0; (at = err.find(text, at)) != std::string::npos; at += text.size()) ++n;
    return n;
  };
  const auto stored = [&] { return m_Archive->Check().samples; };
  const size_t third = records.size() / 3;

  for (size_t i = 0; i < third; ++i) AppendPiece(Root(), records[i]);
  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
  EXPECT_EQ(stored(), SamplesOf(records, 0, third, "/FLA/"));

  std::ofstream(programIni) << "[FOLLOW]\n";
  vez(m_Input / "no-such-folder");
  follower.Signal(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] { return count("the old ones kept") == 1; })) << follower.Err();
  EXPECT_NE(follower.Err().find("no-such-folder"), std::string::npos) << follower.Err();
  for (size_t i = third; i < 2 * third; ++i) AppendPiece(Root(), records[i]);
  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
  EXPECT_EQ(stored(), SamplesOf(records, 0, 2 * third, "/FLA/"));

  vez(m_Archive->DataDir());
  follower.Signal(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] { return count("settings read again") == 1; })) << follower.Err();
  for (size_t i = 2 * third; i < records.size(); ++i) AppendPiece(Root(), records[i]);
  ASSERT_TRUE(WaitUntil([&] { return CaughtUp(StateFile(), Root()); })) << follower.Err();
  EXPECT_EQ(follower.Stop(SIGTERM), 0) << follower.Err();
  const archive::CheckReport report = m_Archive->Check();
  EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
  EXPECT_EQ(report.samples, SamplesOf(records, 0, 2 * third, "/FLA/") + SamplesOf(records, 2 * third, records.size()));
}

}  // namespace
