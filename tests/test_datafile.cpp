#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "store/stainfo.h"
#include "support/testsupport.h"
#include "support/vezfile.h"

namespace {

using testsupport::DiagCapture;
using testsupport::ReadFileBytes;
using testsupport::ReadVezTree;
using testsupport::TempDir;

constexpr double kExample = 1299308889.75;  // 2011-03-05 07:08:09.75

struct Writer {
  explicit Writer(const std::string& path) : store(nullptr) { store.SetPath(path.c_str()); }
  // One segment of n samples: a record that does not fit the buffered one.
  void Segment(const char* sta, const char* chan, double sps, double t, int n, float value = 1.0f) {
    std::vector<float> v(static_cast<size_t>(n), value);
    store.AddData(sta, chan, sps, t, n, v.data());
  }
  CChanInfo& Chan(unsigned s = 0, unsigned c = 0) { return *store.m_StaList[s]->m_ChanList[c]; }
  CStaInfo store;
};

TEST(DataFile, ExampleFileByteForByte) {
  TempDir dir;
  Writer w(dir.Path().string());
  w.Segment("ABCD", "BHZ", 20, kExample, 9900);
  w.store.WriteAll();
  EXPECT_EQ(w.Chan().m_CPath, "ABCD\\07\\05032011-070809-BHZ.ABCD");
  const auto bytes = ReadFileBytes(dir / "ABCD/07/05032011-070809-BHZ.ABCD");
  ASSERT_EQ(bytes.size(), 512u + 9900 * 4);
  const std::string text =
      "[VEZ4.0]\r\nData offset=512\r\nStart time=07 08 09\r\nStart date=05 03 2011\r\n"
      "Time duration=00 08 15\r\nData Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\nStation=ABCD\r\n"
      "Channels=\"BHZ\"\r\n";
  ASSERT_EQ(text.size(), 165u);  // bytes 0 to 164
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 165), text);
  EXPECT_EQ(bytes[165], 0);
  for (size_t i = 166; i < 512; ++i) ASSERT_EQ(bytes[i], ' ') << i;
  // 1.0f little-endian
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 512, bytes.begin() + 516),
            (std::vector<unsigned char>{0x00, 0x00, 0x80, 0x3F}));
}

TEST(DataFile, NamesAndDirectories) {
  struct Case {
    const char *sta, *chan;
    double t;
    const char* path;
    const char* startLine;
  } cases[] = {
      {"ABCD", "BHZ", 1299308889.999, "ABCD/07/05032011-070809-BHZ.ABCD", "Start time=07 08 09"},
      {"AB", "Z", kExample, "AB/07/05032011-070809-  Z. AB", "Start time=07 08 09"},
      {"ABCDE", "HHZ", 1299369599.5, "ABCDE/23/05032011-235959-HHZ.ABCDE", "Start time=23 59 59"},
      {"A1", "BH1", 0.5 + 86400 * 365, "A1/00/01011971-000000-BH1. A1", "Start date=01 01 1971"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TempDir dir;
    Writer w(dir.Path().string());
    w.Segment(c.sta, c.chan, 20, c.t, 100);
    w.store.WriteAll();
    auto files = ReadVezTree(dir.Path().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].relative, c.path);
    EXPECT_NE(files[0].header.find(c.startLine), std::string::npos) << files[0].header;
  }
}

TEST(DataFile, FilesCloseAfterMoreThan3599Seconds) {
  TempDir dir;
  Writer w(dir.Path().string());
  // 20 sps in segments of 9900 samples (495 s): 495, 990, ... 3960.
  for (int s = 0; s < 9; ++s) w.Segment("ABCD", "BHZ", 20, kExample + 495.0 * s, 9900, static_cast<float>(s));
  w.store.WriteAll();
  auto files = ReadVezTree(dir.Path().string());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].relative, "ABCD/07/05032011-070809-BHZ.ABCD");
  EXPECT_EQ(files[0].samples.size(), 8u * 9900);
  EXPECT_NE(files[0].header.find("Time duration=00 08 15"), std::string::npos);  // at creation
  EXPECT_EQ(files[1].relative, "ABCD/08/05032011-081409-BHZ.ABCD");
  EXPECT_EQ(files[1].samples.front(), 8.0f);
  EXPECT_EQ(w.store.m_Stats.filesCreated, 2u);
  EXPECT_EQ(w.store.m_Stats.filesExtended, 7u);
  // Room allocated for a file's hour is given back where its samples end short of it.
  for (const auto& f : files) {
    struct stat st {};
    ASSERT_EQ(::stat((dir.Path() / f.relative).c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size + 16384) << f.relative;
  }
}

TEST(DataFile, RoomLeftAllocatedByAKilledRunIsGivenBack) {
  TempDir dir;
  const auto file = dir / "ABCD/07/05032011-070809-BHZ.ABCD";
  Writer w(dir.Path().string());
  w.Segment("ABCD", "BHZ", 20, kExample, 9900);
  w.store.WriteAll();
  // What a run killed while the file was open leaves: room allocated beyond its end.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const bool allocated = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20) == 0;
  ::close(fd);
  if (!allocated) GTEST_SKIP() << "the file system here does not allocate ahead";
  w.Segment("ABCD", "BHZ", 20, kExample + 495, 9900);  // appended to the file reopened
  w.store.WriteAll();
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 512 + 2 * 9900 * 4);
  EXPECT_LT(st.st_blocks * 512, st.st_size + 16384);
}

TEST(DataFile, AppendOnlyWithinOneSamplePeriodOfTheFileEnd) {
  // 16 sps keeps every time here exact: one period is 0.0625 s.
  struct Case {
    double gap;
    size_t files;
  } cases[] = {{0.0, 1}, {0.0625, 1}, {-0.0625, 1}, {0.125, 2},
               // Its first two samples fall on stored ones; the rest continues the file.
               {-0.125, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gap);
    TempDir dir;
    Writer w(dir.Path().string());
    w.Segment("ABCD", "BHZ", 16, kExample, 9900);
    w.store.WriteAll();
    w.Segment("ABCD", "BHZ", 16, kExample + 618.75 + c.gap, 100);
    w.store.WriteAll();
    EXPECT_EQ(ReadVezTree(dir.Path().string()).size(), c.files);
  }
}

TEST(DataFile, AReconversionKeepsWhatTheFileOfTheSameNameHolds) {
  // A later store that knows nothing of the file meets it on disk by its
  // name (a run that died before registering it): the same samples are
  // counted, other values stay out.
  TempDir dir;
  {
    Writer w(dir.Path().string());
    w.Segment("ABCD", "BHZ", 20, kExample, 9900);
    w.store.WriteAll();
  }
  const auto before = ReadVezTree(dir.Path().string());
  for (bool same : {true, false}) {
    Writer again(dir.Path().string());
    if (same) again.Segment("ABCD", "BHZ", 20, kExample, 100);
    else again.Segment("ABCD", "BHZ", 20, kExample, 100, 7.0f);
    again.store.WriteAll();
    auto files = ReadVezTree(dir.Path().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].samples, before[0].samples);
    EXPECT_EQ(again.store.m_Stats.samplesDuplicate, same ? 100u : 0u);
    EXPECT_EQ(again.store.m_Stats.samplesConflicting, same ? 0u : 100u);
  }
}

TEST(DataFile, MissingDataFolderIsReportedAndCounted) {
  TempDir dir;
  // A regular file where a folder should be: nothing can be created below it.
  testsupport::WriteFileBytes(dir / "plainfile", {1});
  Writer w(dir / "plainfile");
  DiagCapture diag;
  w.Segment("ABCD", "BHZ", 20, kExample, 500);
  w.Segment("ABCD", "BHZ", 20, kExample + 25, 9900);
  w.store.WriteAll();
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 2u);
  EXPECT_EQ(w.store.m_Stats.samplesNotStored, 10400u);
  ASSERT_EQ(diag.messages.size(), 2u);
  EXPECT_NE(diag.messages[0].find("plainfile/ABCD/07/05032011-070809-BHZ.ABCD"), std::string::npos) << diag.messages[0];
  EXPECT_NE(diag.messages[0].find("Not a directory"), std::string::npos) << diag.messages[0];
  // The rest of the failed file's span is not stored either: no file of
  // another name begins inside it, which a re-run would then leave beside its
  // own. The channel's later failures are summed up at the end.
  EXPECT_EQ(diag.messages[1], "ABCD BHZ: 1 more segment, 9 900 samples not stored: Not a directory\n");
}

// Limits the size of files this process may write, and restores it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_Old);
    m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = m_Old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_Old);
    std::signal(SIGXFSZ, m_OldHandler);
  }

 private:
  rlimit m_Old{};
  void (*m_OldHandler)(int);
};

TEST(DataFile, DiskFullOnCreationLeavesNoFile) {
  TempDir dir;
  Writer w(dir.Path().string());
  DiagCapture diag;
  {
    FileSizeLimit limit(512 + 1000);  // the header fits, the samples do not
    w.Segment("ABCD", "BHZ", 20, kExample, 9900);
    w.store.WriteAll();
  }
  EXPECT_TRUE(ReadVezTree(dir.Path().string()).empty());
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path()))
    EXPECT_FALSE(e.is_regular_file()) << e.path();
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 1u);
  EXPECT_EQ(w.store.m_Stats.filesCreated, 0u);
  ASSERT_EQ(diag.messages.size(), 1u);
  EXPECT_NE(diag.messages[0].find("File too large"), std::string::npos) << diag.messages[0];
  // The span of the file that could not be made still counts.
  EXPECT_EQ(w.Chan().m_TBegin, kExample);
  EXPECT_EQ(w.Chan().m_TQty, 495);
}

TEST(DataFile, ShortAppendLeavesTheFileAsItWas) {
  TempDir dir;
  Writer w(dir.Path().string());
  w.Segment("ABCD", "BHZ", 20, kExample, 9900);
  w.Segment("ABCD", "BHZ", 20, kExample + 495, 9900);  // hands the first over: a new file
  const std::string path = dir / "ABCD/07/05032011-070809-BHZ.ABCD";
  const auto before = ReadFileBytes(path);
  const double tqty = w.Chan().m_TQty;
  DiagCapture diag;
  {
    FileSizeLimit limit(before.size() + 1001);  // part of the segment fits: a short write
    w.store.WriteAll();
  }
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(w.Chan().m_TQty, tqty + 495);  // counted, not stored
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 1u);
  EXPECT_EQ(w.store.m_Stats.filesExtended, 0u);
  ASSERT_EQ(diag.messages.size(), 1u);
  EXPECT_NE(diag.messages[0].find(path), std::string::npos);
}

// Appends that waited for one large write, which the disk takes only in
// part: the segments that fit are stored whole, the rest are reported, and
// the file ends where its last stored segment does.
TEST(DataFile, AWaitingWriteThatFailsStoresTheSegmentsThatFit) {
  TempDir dir;
  Writer w(dir.Path().string());
  constexpr int kSegment = 9900;
  constexpr size_t kSegmentBytes = sizeof(float) * kSegment;
  for (int i = 0; i < 4; ++i) w.Segment("ABCD", "BHZ", 20, kExample + 495 * i, kSegment, static_cast<float>(i + 1));
  const std::string path = dir / "ABCD/07/05032011-070809-BHZ.ABCD";
  const auto before = ReadFileBytes(path);  // the first segment; the next two wait
  DiagCapture diag;
  {
    FileSizeLimit limit(before.size() + kSegmentBytes + 1000);
    w.store.WriteAll();
  }
  const auto after = ReadFileBytes(path);
  ASSERT_EQ(after.size(), before.size() + kSegmentBytes);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
  EXPECT_EQ(ReadVezTree(dir.Path().string())[0].samples.back(), 2.0f);
  EXPECT_EQ(w.store.m_Stats.filesExtended, 1u);
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 2u);
  EXPECT_EQ(w.store.m_Stats.samplesNotStored, 2u * kSegment);
  ASSERT_FALSE(diag.messages.empty());
  EXPECT_NE(diag.messages[0].find("File too large"), std::string::npos) << diag.messages[0];
}

// Appends waiting for a file that another program removed meanwhile would
// vanish with its last link: they are reported instead, and the file is not
// brought back by them.
TEST(DataFile, WaitingAppendsToAFileRemovedMeanwhileAreReported) {
  TempDir dir;
  Writer w(dir.Path().string());
  for (int i = 0; i < 3; ++i) w.Segment("ABCD", "BHZ", 20, kExample + 495 * i, 9900);
  const std::string path = dir / "ABCD/07/05032011-070809-BHZ.ABCD";
  ASSERT_TRUE(std::filesystem::remove(path));
  DiagCapture diag;
  w.store.WriteAll();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(w.store.m_Stats.filesExtended, 0u);
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 2u);
  EXPECT_EQ(w.store.m_Stats.samplesNotStored, 2u * 9900);
  ASSERT_FALSE(diag.messages.empty());
  EXPECT_NE(diag.messages[0].find(path + ": cannot open for appending: No such file"), std::string::npos)
      << diag.messages[0];
}

// Folders are made once per run; removed by another program meanwhile,
// they are made again for the next file.
TEST(DataFile, AFolderRemovedMeanwhileIsMadeAgain) {
  TempDir dir;
  Writer w(dir.Path().string());
  w.Segment("ABCD", "BHZ", 20, kExample, 9900);
  w.store.WriteAll();
  ASSERT_GT(std::filesystem::remove_all(dir / "ABCD"), 0u);
  w.Segment("ABCD", "BHZ", 20, kExample + 1200, 9900);  // after a gap: a file of its own
  w.store.WriteAll();
  const auto files = ReadVezTree(dir.Path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].relative, "ABCD/07/05032011-072809-BHZ.ABCD");
  EXPECT_EQ(files[0].samples.size(), 9900u);
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 0u);
}

TEST(DataFile, UnsafeCodesNeverBecomePaths) {
  TempDir dir;
  Writer w((dir / "data"));
  std::filesystem::create_directory(dir / "data");
  DiagCapture diag;
  w.Segment("..", "BHZ", 20, kExample, 10);
  w.Segment("AB/C", "BHZ", 20, kExample, 10);
  w.store.WriteAll();
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 2u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path() / "data"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(DataFile, SegmentAtTheEpochStartsAFile) {
  TempDir dir;
  Writer w(dir.Path().string());
  w.Segment("ABCD", "BHZ", 20, 0.0, 100);
  w.store.WriteAll();
  auto files = ReadVezTree(dir.Path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].relative, "ABCD/00/01011970-000000-BHZ.ABCD");
}

TEST(DataFile, LongDataFolderIsNotCut) {
  TempDir dir;
  std::string deep = dir.Path().string();
  while (deep.size() < 700) deep += "/a_rather_long_folder_name_for_the_archive";
  std::filesystem::create_directories(deep);
  Writer w(deep);
  w.Segment("ABCD", "BHZ", 20, kExample, 100);
  w.store.WriteAll();
  EXPECT_EQ(ReadVezTree(deep).size(), 1u);
  EXPECT_EQ(w.store.m_Stats.filesCreated, 1u);
}

}  // namespace

namespace {

std::vector<float> Ramp(int from, int count) {
  std::vector<float> v;
  for (int i = 0; i < count; ++i) v.push_back(static_cast<float>(from + i));
  return v;
}

TEST(DataFile, NoSampleTimeIsStoredTwice) {
  // 40 sps: the file holds samples 0, 1, 2, ... from 09.75; a later segment
  // starting in the same second 09 would get the same name.
  struct Case {
    const char* name;
    int earlier;             // samples in the earlier file, valued by index
    double start;            // of the later segment, in samples from the file's start
    std::vector<float> later;
    std::vector<float> kept; // what the file holds at the end
    uint64_t notStored, duplicate, conflicting;
    const char* message;     // part of the one report, or none
  } cases[] = {
      {"the same again", 10, 0, Ramp(0, 10), Ramp(0, 10), 0, 10, 0, nullptr},
      {"overlapping part, running on", 10, 4, Ramp(4, 12), Ramp(0, 16), 0, 6, 0, nullptr},
      {"a repeat that ends sooner", 10, 0, Ramp(0, 6), Ramp(0, 10), 0, 6, 0, nullptr},
      // The samples before the file would need its name.
      {"starting earlier within the second", 10, -2, Ramp(-2, 12), Ramp(0, 10), 2, 10, 0,
       "which this segment does not overlap"},
      {"nearest sample time", 10, -1.6, Ramp(-2, 5), Ramp(0, 10), 2, 3, 0, "does not overlap"},
      {"one sample differs", 10, 0, [] { auto v = Ramp(0, 10); v[7] = 7.5f; return v; }(), Ramp(0, 10), 0, 9, 1,
       "BHZ: 1 samples from 2011-03-05 07:08:09 overlap stored data with other values: not stored"},
      {"only the bits differ", 10, 0, [] { auto v = Ramp(0, 10); v[0] = -0.0f; return v; }(), Ramp(0, 10), 0, 9, 1,
       "with other values"},
      {"no overlap, a gap within the second", 4, 6, Ramp(6, 4), Ramp(0, 4), 4, 0, 0, "does not overlap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Writer w(dir.Path().string());
    DiagCapture diag;
    const auto earlier = Ramp(0, c.earlier);
    w.store.AddData("ABCD", "BHZ", 40, kExample, c.earlier, earlier.data());
    w.store.WriteAll();
    w.store.AddData("ABCD", "BHZ", 40, kExample + c.start / 40, static_cast<int>(c.later.size()), c.later.data());
    w.store.WriteAll();
    auto files = ReadVezTree(dir.Path().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].relative, "ABCD/07/05032011-070809-BHZ.ABCD");
    EXPECT_EQ(files[0].samples, c.kept);
    const StoreStats& st = w.store.m_Stats;
    EXPECT_EQ(st.samplesNotStored, c.notStored);
    EXPECT_EQ(st.samplesDuplicate, c.duplicate);
    EXPECT_EQ(st.samplesConflicting, c.conflicting);
    EXPECT_EQ(st.filesCreated, 1u);
    EXPECT_EQ(files[0].samples.size() + st.samplesNotStored + st.samplesDuplicate + st.samplesConflicting,
              c.earlier + c.later.size());
    EXPECT_EQ(st.samplesWritten, files[0].samples.size());
    if (!c.message) {
      EXPECT_TRUE(diag.messages.empty());
      continue;
    }
    ASSERT_EQ(diag.messages.size(), 1u);
    EXPECT_NE(diag.messages[0].find(c.message), std::string::npos) << diag.messages[0];
  }
}

TEST(DataFile, AFileIsNeverReplacedNeitherInARunNorByALaterOne) {
  TempDir dir;
  Writer w(dir.Path().string());
  DiagCapture diag;
  // Three segments into one file, then the same three again.
  for (int pass = 0; pass < 2; ++pass)
    for (int s = 0; s < 3; ++s) {
      const auto v = Ramp(9900 * s, 9900);
      w.store.AddData("ABCD", "BHZ", 20, kExample + 495.0 * s, 9900, v.data());
    }
  w.store.WriteAll();
  auto files = ReadVezTree(dir.Path().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].samples, Ramp(0, 3 * 9900));
  EXPECT_EQ(w.store.m_Stats.samplesDuplicate, 3u * 9900);
  EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 0u);
  EXPECT_TRUE(diag.messages.empty());
}

// Segments are decoded into the room behind a channel's waiting appends
// where there is room. Files opening and closing change every channel's
// share of the budget, below the least share too; each sample must still
// land once, in order.
TEST(DataFile, WaitingAppendsKeepEverySampleWhileTheirShareChanges) {
  for (const size_t budget : {size_t{0}, size_t{240} << 10, size_t{288} << 10, size_t{8} << 20}) {
    SCOPED_TRACE(budget);
    TempDir dir;
    Writer w(dir.Path().string());
    w.store.SetPendingBudget(budget);
    const char* chans[] = {"BHZ", "BHN", "BHE", "HHZ"};
    std::vector<std::vector<float>> sent(4);
    // 20 sps, 9900-sample segments (495 s): channel c starts c segments
    // late, so that files open and close at different times; HHZ skips one.
    for (int slot = 0; slot < 18; ++slot)
      for (int c = 0; c < 4; ++c) {
        if (slot < c || (c == 3 && slot == 9)) continue;
        const int from = c * 1000000 + static_cast<int>(sent[c].size());
        const std::vector<float> v = Ramp(from, 9900);
        w.store.AddData("ABCD", chans[c], 20, kExample + 495.0 * slot, 9900, v.data());
        sent[c].insert(sent[c].end(), v.begin(), v.end());
      }
    w.store.WriteAll();
    std::vector<std::vector<float>> stored(4);
    for (const auto& f : ReadVezTree(dir.Path().string()))
      for (int c = 0; c < 4; ++c)
        if (f.relative.find(std::string("-") + chans[c] + ".") != std::string::npos)
          stored[c].insert(stored[c].end(), f.samples.begin(), f.samples.end());
    for (int c = 0; c < 4; ++c) EXPECT_EQ(stored[c], sent[c]) << chans[c];
    EXPECT_EQ(w.store.m_Stats.segmentsNotStored, 0u);
  }
}

}  // namespace
