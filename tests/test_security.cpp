// Input that tries to leave the data folder or to reach the database as SQL,
// and data folders that are awkward to name: nothing may be written outside
// the data folder, nothing executed in the database, and a path too long for
// the file system must fail with a report rather than land somewhere else.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/archivecheck.h"
#include "convert/convertfromseed.h"
#include "platform/ini.h"
#include "support/dbfixture.h"
#include "support/fakehost.h"
#include "support/seedgen.h"
#include "support/vezfile.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using testsupport::FakeHost;

// Walks below an open folder entry by entry, so that trees deeper than the
// system's path limit can be listed and removed. visit(relative path, is a
// folder, parent folder, name) comes after a folder's contents.
template <typename Visit>
void WalkBelow(int dirFd, const std::string& prefix, Visit&& visit) {
  const int own = ::dup(dirFd);
  DIR* d = own >= 0 ? ::fdopendir(own) : nullptr;
  if (!d) {
    ADD_FAILURE() << "cannot list " << prefix;
    if (own >= 0) ::close(own);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d))
    if (std::string n = e->d_name; n != "." && n != "..") names.push_back(n);
  ::closedir(d);
  for (const std::string& name : names) {
    struct stat st {};
    const bool isDir = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    if (isDir) {
      const int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        WalkBelow(sub, rel, visit);
        ::close(sub);
      }
    }
    visit(rel, isDir, dirFd, name);
  }
}

// Every path below root, relative to it; folders end in '/'.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> paths;
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << root;
    return paths;
  }
  // The station locks of runs are not part of the archive.
  WalkBelow(fd, "", [&](const std::string& rel, bool isDir, int, const std::string&) {
    if (rel.find(archive::kLockFolderName) == std::string::npos) paths.insert(isDir ? rel + "/" : rel);
  });
  ::close(fd);
  return paths;
}

// Removes everything below root, however deep.
void RemoveBelow(const fs::path& root) {
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  WalkBelow(fd, "", [](const std::string&, bool isDir, int parent, const std::string& name) {
    ::unlinkat(parent, name.c_str(), isDir ? AT_REMOVEDIR : 0);
  });
  ::close(fd);
}

// A record of 40 Steim2 samples from the given header, codes written raw
// (blank-filled to their width) so that any byte can be placed in them.
Bytes RecordWithCodes(const std::string& station, const std::string& channel, const std::string& network = "XX",
                      const std::string& location = "00", int minute = 0) {
  seedgen::Header h;
  h.station = station;
  h.channel = channel;
  h.network = network;
  h.location = location;
  h.minute = minute;
  std::vector<int32_t> samples(40);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int32_t>(i) * 3 - 50;
  return seedgen::EncodeRecord(h, samples);
}

struct RunResult {
  FakeHost host;
  RunStats stats;
};

// An archive whose data folder is `data` below a folder of the test's own;
// the input file and VEZ.ini lie beside the data folder.
class Archive {
 public:
  explicit Archive(const std::string& dataName = "data") : data(m_Dir.Path() / "outer" / dataName) {
    fs::create_directories(data);
    ini = (m_Dir.Path() / "VEZ.ini").string();
    EXPECT_TRUE(platform::WritePrivateProfileString("DATA", "DIR", data.string(), ini));
  }

  void Convert(const std::string& connect, const Bytes& input, RunResult& run, const std::string& inputName = "input.mseed") {
    const std::string path = (m_Dir.Path() / inputName).string();
    testsupport::WriteFileBytes(path, input);
    testsupport::DiagCapture diag;
    CConvertFromSeed conv(&run.host, ini);
    conv.SetConnectString(connect);
    conv.AddFile(path);
    ASSERT_EQ(conv.Start(), 0);
    ASSERT_TRUE(run.host.WaitDone());
    conv.Join();
    run.stats = conv.Stats();
    diagnostics = diag.messages;
  }

  // Nothing but the data folder below "outer", and beside it only what the
  // test put there.
  void ExpectNothingOutsideData(const std::string& inputName = "input.mseed") const {
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(m_Dir.Path())) top.insert(e.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"outer", "VEZ.ini", inputName}));
    std::set<std::string> outer;
    for (const auto& e : fs::directory_iterator(m_Dir.Path() / "outer")) outer.insert(e.path().filename().string());
    EXPECT_EQ(outer, (std::set<std::string>{data.filename().string()}));
  }

  const fs::path& Root() const { return m_Dir.Path(); }

 private:
  testsupport::TempDir m_Dir;

 public:
  fs::path data;
  std::string ini;
  std::vector<std::string> diagnostics;
};

class Security : public testsupport::DatabaseTest {
 protected:
  // FILELIST is still there, with the columns the registration uses, and
  // holds exactly the rows of the data files.
  void ExpectFileListMatches(const fs::path& data) {
    std::vector<testsupport::FileListRow> rows;
    ASSERT_NO_THROW(rows = db->Rows()) << "FILELIST no longer readable";
    const auto files = testsupport::ReadVezTree(data.string());
    ASSERT_EQ(rows.size(), files.size());
    std::set<std::string> paths;
    for (const auto& f : files) {
      std::string p = f.relative;
      std::replace(p.begin(), p.end(), '/', '\\');
      paths.insert(p);
    }
    for (const auto& r : rows) EXPECT_TRUE(paths.count(r.cpath)) << r.cpath;
  }
};

TEST_P(Security, CodesThatTryToLeaveTheDataFolderAreRefused) {
  struct Case {
    std::string station, channel;
  };
  const std::vector<Case> hostile = {
      {"..", "BHZ"},        {"../..", "BHZ"},   {"A/B", "BHZ"},       {"/", "BHZ"},        {"/etc", "BHZ"},
      {"..\\..", "BHZ"},    {"A\\B", "BHZ"},    {".", "BHZ"},         {"ABC", ".."},       {"ABC", "../"},
      {"ABC", "/"},         {"ABC", "\\"},      {"ABC", "A/"},        {"\x01" "AB", "BHZ"}, {"AB\n", "BHZ"},
      {"A\tB", "BHZ"},      {"\x1b[2J", "BHZ"}, {"ABC", "\x7f" "HZ"}, {"\xc3\x84" "B", "BHZ"},
      {"~", "BHZ"},         {"A*", "BHZ"},      {"$HOME", "BHZ"},     {"A:B", "BHZ"},      {"ABC", std::string("B\0Z", 3)},
  };
  Archive archive;
  Bytes input;
  int minute = 0;
  for (const Case& c : hostile) {
    const Bytes r = RecordWithCodes(c.station, c.channel, "XX", "00", minute++);
    input.insert(input.end(), r.begin(), r.end());
  }
  // One good record, so that the run has something to store.
  const Bytes good = RecordWithCodes("GOOD", "BHZ");
  input.insert(input.end(), good.begin(), good.end());

  RunResult run;
  archive.Convert(db->connect, input, run);
  // "ABC" + "B\0Z" is the channel "B", a safe code; every other case is refused.
  EXPECT_EQ(run.stats.recordsUnsafeCode, hostile.size() - 1);
  EXPECT_EQ(run.stats.recordsConverted, 2u);
  EXPECT_EQ(run.host.texts.back(), "Data converted with errors");
  // That record is the last hostile one, at minute 23.
  EXPECT_EQ(Tree(archive.data), (std::set<std::string>{"ABC/", "ABC/00/", "ABC/00/01012011-002300-  B.ABC", "GOOD/",
                                                        "GOOD/00/", "GOOD/00/01012011-000000-BHZ.GOOD"}));
  archive.ExpectNothingOutsideData();
  ExpectFileListMatches(archive.data);
  // The reports show the codes, with bytes that could drive a terminal escaped.
  ASSERT_EQ(run.host.errors.size(), hostile.size() - 1);
  for (const std::string& e : run.host.errors) {
    EXPECT_TRUE(std::none_of(e.begin(), e.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; }))
        << e;
  }
  EXPECT_TRUE(std::any_of(run.host.errors.begin(), run.host.errors.end(),
                          [](const std::string& e) { return e.find("\\x1B[2J") != std::string::npos; }));
}

TEST_P(Security, NetworkAndLocationCodesNeverReachAPath) {
  Archive archive;
  Bytes input;
  int minute = 0;
  for (const auto& [network, location] : std::vector<std::pair<std::string, std::string>>{
           {"..", ".."}, {"/", "\\"}, {"';", "--"}, {"\x01\x02", "\n\r"}}) {
    const Bytes r = RecordWithCodes("ABC", "BHZ", network, location, minute++);
    input.insert(input.end(), r.begin(), r.end());
  }
  RunResult run;
  archive.Convert(db->connect, input, run);
  // They name streams in reports: a record whose codes are not letters and
  // digits is refused and named, with its bytes escaped.
  EXPECT_EQ(run.stats.recordsUnsafeCode, 4u);
  EXPECT_EQ(run.host.errors.size(), 4u);
  for (const std::string& e : run.host.errors) EXPECT_EQ(e.find_first_of("\x01\x02\n\r"), std::string::npos) << e;
  archive.ExpectNothingOutsideData();
  for (const std::string& p : Tree(archive.data)) EXPECT_EQ(p.rfind("ABC", 0), 0u) << p;
  ExpectFileListMatches(archive.data);
}

TEST_P(Security, SqlInCodesIsNeverExecuted) {
  Archive archive;
  Bytes input;
  int minute = 0;
  // Station codes hold five bytes and channel codes three: the most of a
  // statement that fits.
  for (const auto& [station, channel] : std::vector<std::pair<std::string, std::string>>{
           {"A';DR", "BHZ"}, {"A'--", "BHZ"}, {"';--", "';"}, {"\"A\"", "BHZ"}, {"ABC", "'"}, {"A%_", "BHZ"}}) {
    const Bytes r = RecordWithCodes(station, channel, "XX", "00", minute++);
    input.insert(input.end(), r.begin(), r.end());
  }
  const Bytes good = RecordWithCodes("GOOD", "BHZ");
  input.insert(input.end(), good.begin(), good.end());
  RunResult run;
  archive.Convert(db->connect, input, run);
  EXPECT_EQ(run.stats.recordsUnsafeCode, 6u);
  EXPECT_EQ(run.stats.recordsConverted, 1u);
  archive.ExpectNothingOutsideData();
  ExpectFileListMatches(archive.data);
  EXPECT_EQ(db->Rows().size(), 1u);
}

// The registration itself binds every value: text that reads as SQL is stored
// as it is, and a path that reads as a condition selects only its own row.
TEST_P(Security, RegistrationStoresSqlTextVerbatim) {
  odbc::Connection connection;
  connection.Open(db->connect);
  CStaInfo store(&connection);
  const std::string drop = "A';DROP TABLE FILELIST;--\\00\\x.A";
  const std::string any = "x' OR '1'='1";
  store.ReplaceFileList("GOOD\\00\\one", "GOOD", "BHZ", 100.0, 10.0, 20.0, 1, 3);
  store.ReplaceFileList("GOOD\\00\\two", "GOOD", "BHZ", 200.0, 10.0, 20.0, 1, 3);
  store.ReplaceFileList(drop.c_str(), "A';DROP TABLE FILELIST;--", "\"; DELETE FROM FILELIST; --", 300.0, 1.0, 20.0, 1, 3);
  store.UpdateFileList(any.c_str(), "'", "\\", 400.0, 2.0, 20.0, 1, 3);
  store.UpdateFileList(drop.c_str(), "A';DROP TABLE FILELIST;--", "\"; DELETE FROM FILELIST; --", 300.0, 5.0, 20.0, 1, 3);
  store.ReplaceFileList(any.c_str(), "'", "\\", 500.0, 3.0, 20.0, 1, 3);
  connection.Close();

  std::map<std::string, testsupport::FileListRow> rows;
  for (const auto& r : db->Rows()) rows.emplace(r.cpath, r);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows["GOOD\\00\\one"].tBegin, 100.0);
  EXPECT_EQ(rows["GOOD\\00\\two"].tBegin, 200.0);
  ASSERT_EQ(rows.count(drop), 1u);
  EXPECT_EQ(rows[drop].sta, "A';DROP TABLE FILELIST;--");
  EXPECT_EQ(rows[drop].ch, "\"; DELETE FROM FILELIST; --");
  EXPECT_EQ(rows[drop].tQty, 5.0);
  ASSERT_EQ(rows.count(any), 1u);
  EXPECT_EQ(rows[any].sta, "'");
  EXPECT_EQ(rows[any].ch, "\\");
  EXPECT_EQ(rows[any].tBegin, 500.0);
}

TEST_P(Security, DataFolderWithSpacesQuotesAndNonAsciiLetters) {
  for (const std::string name : {"Archiv Daten \xc3\x84\xc3\x96\xc3\x9c \xc3\xa9t\xc3\xa9 \xe5\x9c\xb0\xe9\x9c\x87",
                                 "O'Brien \"data\"; DROP TABLE FILELIST; --", " leading blank", "$(touch pwned) `id`"}) {
    SCOPED_TRACE(name);
    db->Exec("DELETE FROM FILELIST");
    Archive archive(name);
    ASSERT_EQ(DataFolderProblem(archive.ini), "");
    RunResult run;
    const Bytes input = RecordWithCodes("ABC", "BHZ");
    archive.Convert(db->connect, input, run, "input " + name + ".mseed");
    EXPECT_EQ(run.host.texts.back(), "Data successfully converted");
    EXPECT_EQ(run.stats.store.filesCreated, 1u);
    EXPECT_EQ(Tree(archive.data), (std::set<std::string>{"ABC/", "ABC/00/", "ABC/00/01012011-000000-BHZ.ABC"}));
    archive.ExpectNothingOutsideData("input " + name + ".mseed");
    ExpectFileListMatches(archive.data);
    EXPECT_FALSE(fs::exists(archive.Root() / "pwned"));
  }
}

// A data folder nested down to near the system's path limit.
fs::path DeepFolder(const fs::path& base, size_t length) {
  fs::path p = base;
  while (p.string().size() + 1 < length) {
    const size_t room = length - p.string().size() - 1;
    p /= std::string(std::min<size_t>(room, 200), 'd');
  }
  fs::create_directories(p);
  return p;
}

TEST_P(Security, PathsTooLongForTheFileSystemFailWithAReport) {
  testsupport::TempDir dir;
  // Long enough for the station and hour folders, too long for the data file:
  // the run must neither shorten the path nor write elsewhere.
  for (size_t length : {size_t{600}, size_t{PATH_MAX - 30}, size_t{PATH_MAX + 100}}) {
    SCOPED_TRACE("data folder of " + std::to_string(length) + " characters");
    db->Exec("DELETE FROM FILELIST");
    const fs::path base = dir.Path() / std::to_string(length);
    fs::path data;
    if (length < PATH_MAX) {
      data = DeepFolder(base, length);
    } else {
      // Made piece by piece below a folder that fits, as the system refuses
      // the whole path at once.
      data = DeepFolder(base, PATH_MAX - 300);
      fs::path rest;
      while ((data / rest).string().size() < length) rest /= std::string(150, 'e');
      const fs::path cwd = fs::current_path();
      fs::current_path(data);
      fs::create_directories(rest);
      fs::current_path(cwd);
      data /= rest;
    }
    const std::string ini = (base / "VEZ.ini").string();
    ASSERT_TRUE(platform::WritePrivateProfileString("DATA", "DIR", data.string(), ini));
    // The front ends refuse a data folder the system cannot name at all.
    const std::string problem = DataFolderProblem(ini);
    EXPECT_EQ(problem.empty(), length < PATH_MAX);
    if (length > PATH_MAX) {
      EXPECT_NE(problem.find(std::strerror(ENAMETOOLONG)), std::string::npos) << problem;
    }
    const std::string input = (base / "input.mseed").string();
    testsupport::WriteFileBytes(input, RecordWithCodes("ABC", "BHZ"));
    const auto before = Tree(dir.Path());

    FakeHost host;
    testsupport::DiagCapture diag;
    CConvertFromSeed conv(&host, ini);
    EXPECT_EQ(conv.m_DataDir, data.string()) << "the data folder was shortened";
    conv.SetConnectString(db->connect);
    conv.AddFile(input);
    ASSERT_EQ(conv.Start(), 0);
    ASSERT_TRUE(host.WaitDone());
    conv.Join();
    const RunStats& stats = conv.Stats();

    if (length == 600) {
      // Longer than many a fixed buffer, well inside the system's limit.
      EXPECT_EQ(stats.store.filesCreated, 1u);
      EXPECT_EQ(host.texts.back(), "Data successfully converted");
      EXPECT_TRUE(fs::exists(data / "ABC" / "00" / "01012011-000000-BHZ.ABC"));
      continue;
    }
    EXPECT_EQ(stats.store.filesCreated, 0u);
    EXPECT_TRUE(db->Rows().empty());
    // Beyond the system's limit not even the station lock can be made: the run is refused.
    const bool refused = length > PATH_MAX;
    EXPECT_EQ(stats.lockRefused, refused);
    EXPECT_EQ(stats.store.segmentsNotStored, refused ? 0u : 1u);
    EXPECT_EQ(stats.store.samplesNotStored, refused ? 0u : 40u);
    EXPECT_EQ(host.texts.back(), refused ? "Station lock error" : "Data converted with errors");
    bool reported = false;
    for (const std::string& m : refused ? host.errors : diag.messages)
      reported = reported || ((refused || m.find("not stored") != std::string::npos) && m.find("too long") != std::string::npos);
    EXPECT_TRUE(reported) << "no report of the path that was too long" << (host.errors.empty() ? "" : ": " + host.errors[0]);
    // Nothing new anywhere in the test's folder except, at most, the station
    // and hour folders below the data folder.
    std::set<std::string> added;
    for (const std::string& p : Tree(dir.Path()))
      if (!before.count(p)) added.insert(p);
    const std::string dataRel = data.string().substr(dir.Path().string().size() + 1);
    for (const std::string& p : added) EXPECT_TRUE(p == dataRel + "/ABC/" || p == dataRel + "/ABC/00/") << p;
    std::error_code tooLong;
    EXPECT_EQ(fs::exists(data / archive::kLockFolderName / "ABC", tooLong), !refused);
  }
  RemoveBelow(dir.Path());
}

INSTANTIATE_TEST_SUITE_P(Db, Security, testsupport::AllBackends(), testsupport::BackendName);

}  // namespace
