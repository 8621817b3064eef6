// The archive check: a converted archive is whole, and every kind of damage
// to its files or rows is found, named and put on the right path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/archivecheck.h"
#include "platform/odbc.h"
#include "support/dbfixture.h"
#include "support/localarchive.h"

namespace {

namespace fs = std::filesystem;
using archive::FindingKind;
using testsupport::LocalArchive;

const std::string kFirst = "FLT\\10\\08042024-100000-BHZ.FLT";  // the first data file of BHZ

using Found = std::set<std::pair<FindingKind, std::string>>;

Found Kinds(const archive::CheckReport& report) {
  Found found;
  for (const auto& f : report.findings) found.emplace(f.kind, f.cpath);
  return found;
}

std::string Local(std::string cpath) {
  for (char& c : cpath)
    if (c == '\\') c = '/';
  return cpath;
}

// Overwrites bytes of a file in place.
void Patch(const std::string& path, long offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << path;
}

class ArchiveCheck : public testsupport::DatabaseTest {
 public:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    archive = LocalArchive::On(std::move(db));
    input = archive->Root() + "/input.mseed";
    testsupport::WriteVolume(input, testsupport::VolumePlan{});
  }

  // A fresh conversion of the volume.
  void Convert() {
    archive->Wipe();
    const auto o = archive->Convert({input});
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_TRUE(fs::is_regular_file(File())) << File();
  }
  std::string File() const { return archive->DataDir() + "/" + Local(kFirst); }

  std::unique_ptr<LocalArchive> archive;
  std::string input;
};

TEST_P(ArchiveCheck, ConvertedArchiveIsWhole) {
  Convert();
  const auto report = archive->Check();
  EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
  // Two channels, each: 31 records before the gap, then a file that takes
  // 8 segments of 24 records past an hour, then the remaining 27 records.
  EXPECT_EQ(report.rows, 6u);
  EXPECT_EQ(report.files, 6u);
  EXPECT_EQ(report.samples, 2u * 250 * 400);
}

TEST_P(ArchiveCheck, EveryDamageIsFoundOnItsPath) {
  const std::string second = "FLT\\10\\08042024-100001-BHZ.FLT";  // one second later
  const std::string where = "CPATH = 'FLT\\10\\08042024-100000-BHZ.FLT'";
  const std::string sameRow =
      "INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, TBEGIN, TQTY, FOFF) "
      "SELECT STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, TBEGIN, TQTY, FOFF FROM FILELIST WHERE " + where;
  const struct Case {
    const char* name;
    std::function<void(ArchiveCheck&)> damage;
    Found expected;
  } cases[] = {
      {"file removed", [](ArchiveCheck& t) { fs::remove(t.File()); }, {{FindingKind::kMissingFile, kFirst}}},
      {"row deleted", [&](ArchiveCheck& t) { t.archive->Exec("DELETE FROM FILELIST WHERE " + where); },
       {{FindingKind::kUnregistered, kFirst}}},
      {"two bytes appended",
       [](ArchiveCheck& t) { std::ofstream(t.File(), std::ios::app | std::ios::binary) << "xy"; },
       {{FindingKind::kBadSize, kFirst}}},
      {"one whole sample appended",
       [](ArchiveCheck& t) { std::ofstream(t.File(), std::ios::app | std::ios::binary) << "abcd"; },
       {{FindingKind::kSampleCount, kFirst}}},
      {"cut inside the header", [](ArchiveCheck& t) { fs::resize_file(t.File(), 100); },
       {{FindingKind::kBadSize, kFirst}}},
      {"cut to the header", [](ArchiveCheck& t) { fs::resize_file(t.File(), 512); },
       {{FindingKind::kSampleCount, kFirst}}},
      {"other format tag", [](ArchiveCheck& t) { Patch(t.File(), 0, "[VEZ3.0]"); },
       {{FindingKind::kBadHeader, kFirst}}},
      {"garbage after the header text", [](ArchiveCheck& t) { Patch(t.File(), 500, "\x01"); },
       {{FindingKind::kBadHeader, kFirst}}},
      {"header of another station",
       // "Station=FLT" begins after 9 lines; the header names FLU, the row FLT.
       [](ArchiveCheck& t) {
         const auto bytes = testsupport::ReadFileBytes(t.File());
         const std::string text(bytes.begin(), bytes.begin() + 512);
         Patch(t.File(), static_cast<long>(text.find("Station=FLT") + 10), "U");
       },
       {{FindingKind::kNameMismatch, kFirst}, {FindingKind::kRowMismatch, kFirst}}},
      {"file renamed, row kept",
       [&](ArchiveCheck& t) { fs::rename(t.File(), t.archive->DataDir() + "/" + Local(second)); },
       {{FindingKind::kMissingFile, kFirst},
        {FindingKind::kUnregistered, second},
        {FindingKind::kNameMismatch, second}}},
      {"TQTY one sample long", [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET TQTY = TQTY + 0.05 WHERE " + where); },
       {{FindingKind::kSampleCount, kFirst}}},
      {"TQTY off by less than half a sample",
       [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET TQTY = TQTY + 0.02 WHERE " + where); }, {}},
      {"SPS zero", [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET SPS = 0 WHERE " + where); },
       {{FindingKind::kSampleCount, kFirst}, {FindingKind::kRowMismatch, kFirst}}},
      {"other STA", [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET STA = 'XYZ' WHERE " + where); },
       {{FindingKind::kRowMismatch, kFirst}}},
      {"TBEGIN a second late",
       [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET TBEGIN = TBEGIN + 1 WHERE " + where); },
       {{FindingKind::kRowMismatch, kFirst}}},
      {"FOFF zero", [&](ArchiveCheck& t) { t.archive->Exec("UPDATE FILELIST SET FOFF = 0 WHERE " + where); },
       {{FindingKind::kRowMismatch, kFirst}}},
      {"row repeated", [&](ArchiveCheck& t) { t.archive->Exec(sameRow); }, {{FindingKind::kDuplicateRow, kFirst}}},
      {"row leading out of the data folder",
       [](ArchiveCheck& t) {
         t.archive->Exec("INSERT INTO FILELIST (STA, SPS, CPATH, CH, TBEGIN, TQTY, FOFF) "
                         "VALUES ('FLT', 20, '..\\..\\etc\\passwd', 'BHZ', 0, 0, 512)");
       },
       {{FindingKind::kRowMismatch, "..\\..\\etc\\passwd"}}},
      {"temporary file left behind",
       [](ArchiveCheck& t) {
         std::ofstream(t.archive->DataDir() + "/FLT/10/.08042024-100000-BHZ.FLT.a1B2c3") << "partial";
       },
       {{FindingKind::kTemporaryFile, "FLT\\10\\.08042024-100000-BHZ.FLT.a1B2c3"}}},
      {"link in the data folder",
       [](ArchiveCheck& t) { fs::create_symlink("/etc/passwd", t.archive->DataDir() + "/FLT/link"); },
       {{FindingKind::kUnregistered, "FLT\\link"}}},
      {"other file in the data folder",
       [](ArchiveCheck& t) { std::ofstream(t.archive->DataDir() + "/notes.txt") << "notes\n"; },
       {{FindingKind::kUnregistered, "notes.txt"}, {FindingKind::kBadSize, "notes.txt"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Convert();
    if (HasFatalFailure()) return;
    c.damage(*this);
    const auto report = archive->Check();
    EXPECT_EQ(Kinds(report), c.expected) << testsupport::Describe(report);
    EXPECT_EQ(report.Whole(), c.expected.empty());
    for (const auto& f : report.findings) EXPECT_FALSE(f.detail.empty()) << archive::KindName(f.kind);
  }
}

// The number lines as the writer formats them: widths are minimums, and no
// zero pads beyond them.
TEST(ArchiveScan, HeaderNumbersMustBeAsTheWriterWritesThem) {
  auto header = [](const std::string& time, const std::string& date) {
    std::string text = "[VEZ4.0]\r\nData offset=512\r\nStart time=" + time + "\r\nStart date=" + date +
                       "\r\nTime duration=00 20 40\r\nData Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\n"
                       "Station=FLT\r\nChannels=\"BHZ\"\r\n";
    std::vector<unsigned char> block(512, ' ');
    std::copy(text.begin(), text.end(), block.begin());
    block[text.size()] = 0;
    return block;
  };
  const struct {
    const char *time, *date;
    bool good;
  } cases[] = {
      {"10 00 00", "08 04 2024", true},   {"23 59 60", "31 12 12024", true}, {"7 08 09", "08 04 2024", false},
      {"007 08 09", "08 04 2024", false}, {"10 00 00 ", "08 04 2024", false}, {"10  00 00", "08 04 2024", false},
      {"10 00 0x", "08 04 2024", false},  {"10 00 00", "08 04 024", false},   {"24 00 00", "08 04 2024", false},
      {"10 00 00", "08 13 2024", false},  {"10 00 00", "08 04 02024", false}, {"10 00", "08 04 2024", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.time) + " / " + c.date);
    archive::DataHeader h;
    std::string why;
    EXPECT_EQ(archive::ParseDataHeader(header(c.time, c.date).data(), h, why), c.good) << why;
    if (c.good) {
      EXPECT_EQ(h.CPath().substr(0, 7), "FLT\\" + std::string(c.time, 2) + "\\");
    }
  }
}

TEST_P(ArchiveCheck, ArchiveThatCannotBeReadThrows) {
  Convert();
  fs::rename(archive->DataDir(), archive->Root() + "/moved");
  EXPECT_THROW(archive->Check(), archive::CheckError);
  fs::rename(archive->Root() + "/moved", archive->DataDir());
  archive->Exec("DROP TABLE FILELIST");
  EXPECT_THROW(archive->Check(), odbc::Error);
}

INSTANTIATE_TEST_SUITE_P(Db, ArchiveCheck, testsupport::AllBackends(), testsupport::BackendName);

}  // namespace

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ArchiveCheckCli, FindingsOnStandardOutputAndExitStatus) {
  auto archive = LocalArchive::Sqlite();
  const std::string input = archive->Root() + "/input.mseed";
  testsupport::WriteVolume(input, testsupport::VolumePlan{});
  auto o = archive->Convert({input});
  ASSERT_EQ(o.status, 0) << o.err;

  o = archive->CheckCli();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "brevanto-cli: archive whole: 6 FILELIST rows, 6 data files, 200000 samples; 0 findings\n");
  EXPECT_TRUE(o.err.empty()) << o.err;
  o = testsupport::RunProgram(testsupport::CliPath(), {"--check", "-q", "--vez-ini", archive->Ini()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(o.out.empty()) << o.out;

  fs::remove(archive->DataDir() + "/" + Local(kFirst));
  archive->Exec("UPDATE FILELIST SET TQTY = TQTY * 2 WHERE CH = 'BHN'");
  for (const bool quiet : {false, true}) {
    std::vector<std::string> args{"--check", "--vez-ini", archive->Ini()};
    if (quiet) args.push_back("-q");
    o = testsupport::RunProgram(testsupport::CliPath(), args);
    EXPECT_EQ(o.status, 1) << o.err;
    const auto lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 5u) << o.out;
    // Sorted by path; BHN's three rows claim twice their samples.
    EXPECT_EQ(lines[0].rfind("sample-count FLT\\10\\08042024-100000-BHN.FLT: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("missing-file " + kFirst + ": ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("sample-count FLT\\10\\08042024-101200-BHN.FLT: ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("sample-count FLT\\11\\08042024-111600-BHN.FLT: ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], "brevanto-cli: archive NOT whole: 6 FILELIST rows, 5 data files, 187600 samples; 4 findings");
  }
}

// Each case stops before anything is compared; none may pass for a whole archive.
TEST(ArchiveCheckCli, ArchiveThatCannotBeReadExitsThree) {
  auto archive = LocalArchive::Sqlite();
  const std::string noVez = archive->Root() + "/other-odbc.ini";
  std::ofstream(noVez) << "[OTHER]\nDriver=SQLite3\nDatabase=" << archive->Root() << "/other.db\n";
  std::ofstream(archive->Root() + "/nodir.ini") << "[DATA]\nDIRECTORY=" << archive->DataDir() << "\n";
  std::ofstream(archive->Root() + "/elsewhere.ini") << "[DATA]\nDIR=" << archive->Root() << "/nowhere\n";
  const struct {
    const char* name;
    std::string ini;
    std::string odbcIni;  // empty: the archive's own
    std::string mentions;
  } cases[] = {
      {"no VEZ.ini", archive->Root() + "/missing.ini", "", "missing.ini"},
      {"no DIR in VEZ.ini", archive->Root() + "/nodir.ini", "", "DIR"},
      {"no data folder", archive->Root() + "/elsewhere.ini", "", "nowhere"},
      {"no data source VEZ", archive->Ini(), noVez, "VEZ Database"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::EnvOverrides env;
    if (!c.odbcIni.empty()) env = {{"ODBCINI", c.odbcIni}, {"ODBCSYSINI", archive->Root()}};
    const auto o = testsupport::RunProgram(testsupport::CliPath(), {"--check", "--vez-ini", c.ini}, {}, env);
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
    EXPECT_TRUE(o.out.empty()) << o.out;
  }
  EXPECT_FALSE(fs::exists(archive->Root() + "/other.db"));
  archive->Exec("DROP TABLE FILELIST");
  const auto o = archive->CheckCli();
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_NE(o.err.find("FILELIST"), std::string::npos) << o.err;
}

TEST(ArchiveCheckCli, CheckTakesNoInputsAndNoConversionOptions) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--check", "a.mseed"}, {"--check", "--quality", "D"}, {"--check", "-v"}, {"--check", "@list"}}) {
    SCOPED_TRACE(args[1]);
    const auto o = testsupport::RunProgram(testsupport::CliPath(), args);
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("usage: brevanto-cli"), std::string::npos) << o.err;
  }
}

// Every real recording, each into an archive of its own: the archive must
// come out whole, whatever rates, code lengths, years and overlaps the
// recordings bring. (One run over all of them is not whole: channels of one
// code from different recordings join at the first record's rate.)
TEST(ArchiveCheckCli, RealRecordingsMakeWholeArchives) {
  const auto seedDir = testsupport::SeedDataDir();
  if (seedDir.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  auto archive = LocalArchive::Sqlite();
  uint64_t files = 0;
  for (const auto& e : fs::directory_iterator(seedDir)) {
    if (!e.is_regular_file() || e.path().extension() == ".md") continue;
    SCOPED_TRACE(e.path().filename().string());
    archive->Wipe();
    const auto o = archive->Convert({"--quality", "DQRM", e.path().string()});
    EXPECT_LE(o.status, 1) << o.err;
    const auto report = archive->Check();
    EXPECT_TRUE(report.Whole()) << testsupport::Describe(report);
    EXPECT_EQ(report.rows, report.files);
    files += report.files;
  }
  EXPECT_GT(files, 50u);
}

}  // namespace
