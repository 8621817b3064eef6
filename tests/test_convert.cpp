#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <map>
#include <tuple>
#include <vector>

#include "convert/convertfromseed.h"
#include "seed/record.h"
#include "platform/ini.h"
#include "support/dbfixture.h"
#include "support/fakehost.h"
#include "support/reference.h"
#include "support/seedgen.h"
#include "support/testsupport.h"
#include "support/vezfile.h"

namespace {

using testsupport::FakeHost;
using testsupport::TempDir;

// A 128-byte-or-longer stretch holding a probe header at `at`, with a
// blockette 1000 at firstBlockette (when not 0).
std::vector<unsigned char> WithProbe(size_t size, size_t at, char quality, int firstBlockette, int exponent) {
  std::vector<unsigned char> bytes(size, 0);
  if (at + 128 <= size) {
    unsigned char* p = bytes.data() + at;
    p[6] = static_cast<unsigned char>(quality);
    p[46] = static_cast<unsigned char>(firstBlockette >> 8);
    p[47] = static_cast<unsigned char>(firstBlockette & 0xFF);
    if (firstBlockette > 0 && firstBlockette + 8 <= 128) {
      p[firstBlockette] = 1000 >> 8;
      p[firstBlockette + 1] = 1000 & 0xFF;
      p[firstBlockette + 6] = static_cast<unsigned char>(exponent);
    } else {
      p[54] = static_cast<unsigned char>(exponent);
    }
  }
  return bytes;
}

struct Found {
  int recLen;
  long offset;
};

Found Search(const std::vector<unsigned char>& bytes, const std::string& quality = "DQ") {
  TempDir dir;
  testsupport::WriteFileBytes(dir / "probe", bytes);
  CConvertFromSeed conv(nullptr, dir / "none.ini");
  conv.SetQuality(quality);
  int fd = ::open((dir / "probe").c_str(), O_RDONLY);
  long offset = conv.FindRecordLength(fd);
  ::close(fd);
  return {conv.m_RecLen, offset};
}

TEST(FindRecordLength, Probes) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    int recLen;
    long offset;
  } cases[] = {
      {"127 bytes", std::vector<unsigned char>(127, 'D'), 0, 0},
      {"D, blockette at 48, 2^9", WithProbe(1024, 0, 'D', 48, 9), 512, 0},
      {"Q without blockettes", WithProbe(1024, 0, 'Q', 0, 3), 4096, 0},
      {"2^8", WithProbe(1024, 0, 'D', 48, 8), 256, 0},
      {"2^13", WithProbe(1024, 0, 'D', 48, 13), 8192, 0},
      {"2^14 rejected", WithProbe(1024, 0, 'D', 48, 14), 0, 0},
      {"2^7 rejected", WithProbe(1024, 0, 'D', 48, 7), 0, 0},
      {"2^31 rejected", WithProbe(1024, 0, 'D', 48, 31), 0, 0},
      {"2^40 rejected", WithProbe(1024, 0, 'D', 48, 40), 0, 0},
      {"R rejected", WithProbe(1024, 0, 'R', 48, 9), 0, 0},
      {"M rejected", WithProbe(1024, 0, 'M', 48, 9), 0, 0},
      {"found at 112", WithProbe(1024, 112, 'D', 48, 9), 512, 112},
      {"not found at 100", WithProbe(1024, 100, 'D', 48, 9), 0, 0},
      {"probe cut by the end", WithProbe(1024, 912, 'D', 48, 9), 0, 0},
      {"last whole probe", WithProbe(1024, 896, 'D', 48, 9), 512, 896},
      {"beyond the first 64 KiB", WithProbe(200000, 65536 + 48, 'D', 48, 10), 1024, 65536 + 48},
      {"straddling 64 KiB", WithProbe(200000, 65536 - 32, 'Q', 48, 12), 4096, 65536 - 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Found f = Search(c.bytes);
    EXPECT_EQ(f.recLen, c.recLen);
    EXPECT_EQ(f.offset, c.offset);
  }
}

TEST(FindRecordLength, QualitySetWidensTheSearch) {
  Found f = Search(WithProbe(1024, 0, 'M', 48, 9), "DQRM");
  EXPECT_EQ(f.recLen, 512);
}

TEST(DataDir, OneTrailingSeparatorRemoved) {
  TempDir dir;
  struct Case {
    const char* value;
    const char* want;
  } cases[] = {{"/srv/archive/", "/srv/archive"}, {"/srv/archive", "/srv/archive"},
               {"/srv/archive//", "/srv/archive/"}, {"D:\\ARCHIVE\\", "D:\\ARCHIVE"}, {"\\", ""}};
  for (const Case& c : cases) {
    platform::WritePrivateProfileString("DATA", "DIR", c.value, dir / "VEZ.ini");
    CConvertFromSeed conv(nullptr, dir / "VEZ.ini");
    EXPECT_EQ(conv.m_DataDir, c.want) << c.value;
  }
  CConvertFromSeed none(nullptr, dir / "missing.ini");
  EXPECT_EQ(none.m_DataDir, "");
}

// The dialog asks DataFolderProblem before Convert; a run started anyway refuses too.
TEST(DataDir, EmptyOrRootFolderIsRefusedBeforeAnything) {
  TempDir dir;
  for (const char* value : {"", "/", "//", "\\", "/tmp/../"}) {
    SCOPED_TRACE(std::string("DIR=") + value);
    platform::WritePrivateProfileString("DATA", "DIR", value, dir / "VEZ.ini");
    FakeHost host;
    CConvertFromSeed conv(&host, dir / "VEZ.ini");
    const std::string problem = conv.DataFolderProblem();
    EXPECT_NE(problem.find(dir / "VEZ.ini"), std::string::npos) << problem;
    EXPECT_NE(problem.find("key DIR of section [DATA]"), std::string::npos) << problem;
    conv.SetConnectString("");
    conv.Run();
    EXPECT_TRUE(conv.Stats().dataFolderRefused);
    EXPECT_TRUE(conv.Stats().AnyFailure());
    ASSERT_FALSE(host.errors.empty());
    EXPECT_EQ(host.errors[0], problem);
  }
}

class ProcessRecordTest : public testing::Test {
 protected:
  ProcessRecordTest() : conv(&host, dir / "none.ini"), store(nullptr) {
    store.SetPath(dir.Path().c_str());
    conv.m_RecLen = 512;
  }
  void Process(std::vector<unsigned char> rec) { conv.ProcessRecord(store, rec.data()); }

  TempDir dir;
  FakeHost host;
  CConvertFromSeed conv;
  CStaInfo store;
};

TEST_F(ProcessRecordTest, StatusLineAndHandOver) {
  seedgen::Header h;
  h.station = "ABC";
  std::vector<int32_t> samples(412);
  for (int i = 0; i < 412; ++i) samples[static_cast<size_t>(i)] = (i * 37) % 101 - 50;
  Process(seedgen::EncodeRecord(h, samples));
  ASSERT_EQ(host.texts.size(), 1u);
  EXPECT_EQ(host.texts[0], "ABC::BHZ Time=1293840000.000000 DT=20.600000 Counts=412 beg=64");
  EXPECT_EQ(conv.m_Encoding, 2);
  const CChanInfo& c = *store.m_StaList.at(0)->m_ChanList.at(0);
  ASSERT_EQ(c.m_Count, 412);
  for (int i = 0; i < 412; ++i) EXPECT_EQ(c.m_Data[static_cast<size_t>(i)], static_cast<float>(samples[static_cast<size_t>(i)]));
}

TEST_F(ProcessRecordTest, RecordTextOnlyWhenTheFrontEndTakesIt) {
  seedgen::Header h;
  const std::vector<int32_t> samples(100, 7);
  host.recordTexts = false;
  Process(seedgen::EncodeRecord(h, samples));
  EXPECT_TRUE(host.texts.empty());
  EXPECT_EQ(store.m_StaList.at(0)->m_ChanList.at(0)->m_Count, 100);
  EXPECT_EQ(conv.Stats().recordsConverted, 1u);
}

TEST(StatusThrottle, FirstCallThenOncePerInterval) {
  CStatusThrottle hourly(std::chrono::hours(1));
  EXPECT_TRUE(hourly.Due());
  EXPECT_FALSE(hourly.Due());
  EXPECT_FALSE(hourly.Due());
  CStatusThrottle always(std::chrono::milliseconds(0));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(always.Due());
}

TEST_F(ProcessRecordTest, WhichRecordsReachTheStore) {
  struct Case {
    const char* name;
    char quality;
    const char* station;
    const char* channel;
    bool stored;
  } cases[] = {
      {"D", 'D', "ABC", "BHZ", true},
      {"Q", 'Q', "ABC", "BHN", true},
      {"R skipped", 'R', "ABC", "BHE", false},
      {"M skipped", 'M', "ABC", "BH1", false},
      {"control header", 'V', "ABC", "BH2", false},
      {"empty station", 'D', " ABC", "BHZ", false},
      {"empty channel", 'D', "ABC", "", false},
      {"unsafe station", 'D', "A/B", "BHZ", false},
      {"unsafe channel", 'D', "ABC", ".Z", false},
      {"code cut at the blank", 'D', "A B", "LHZ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    seedgen::Header h;
    h.quality = c.quality;
    h.station = c.station;
    h.channel = c.channel;
    const size_t before = host.texts.size();
    Process(seedgen::EncodeRecord(h, {1, 2, 3}));
    EXPECT_EQ(host.texts.size(), before + (c.stored ? 1 : 0));
  }
  EXPECT_EQ(conv.Stats().recordsConverted, 3u);
  EXPECT_EQ(conv.Stats().recordsNotData, 3u);
  EXPECT_EQ(conv.Stats().recordsEmptyCode, 2u);
  EXPECT_EQ(conv.Stats().recordsUnsafeCode, 2u);
  ASSERT_EQ(host.errors.size(), 2u);
  EXPECT_NE(host.errors[0].find("A/B"), std::string::npos);
  EXPECT_NE(host.errors[0].find("byte"), std::string::npos);
  EXPECT_EQ(store.m_StaList[1]->m_Name, "A");
}

TEST_F(ProcessRecordTest, HeaderIsBigEndianWhateverTheWordOrder) {
  seedgen::Header h;
  h.encoding = 3;
  h.wordOrder = 0;  // the int32 values are little-endian, the header is not
  Process(seedgen::EncodeRecord(h, {-7, 1 << 20, 3}));
  const CChanInfo& c = *store.m_StaList.at(0)->m_ChanList.at(0);
  ASSERT_EQ(c.m_Count, 3);
  EXPECT_EQ(c.m_Data[0], -7.0f);
  EXPECT_EQ(c.m_Data[1], 1048576.0f);
  EXPECT_EQ(c.m_SegBegin, 1293840000.0);
}

TEST_F(ProcessRecordTest, EncodingsDecodedSkippedOrRefused) {
  enum Outcome { kStored, kNotData, kRefused };
  struct Case {
    const char* name;
    int encoding, wordOrder;
    bool littleEndianHeader;
    Outcome outcome;
  } cases[] = {
      {"int16", 1, 1, false, kStored},         {"int16 least significant first", 1, 0, false, kStored},
      {"int32", 3, 1, false, kStored},         {"float32", 4, 1, false, kStored},
      {"float64 least significant first", 5, 0, false, kStored},
      {"steim1", 10, 1, false, kStored},       {"steim1 ignores word order 0", 10, 0, false, kStored},
      {"steim2", 11, 0, false, kStored},       {"little-endian header, steim1", 10, 0, true, kStored},
      {"little-endian header, int32", 3, 0, true, kStored},
      {"little-endian header, big-endian steim2", 11, 1, true, kStored},
      {"text", 0, 1, false, kNotData},         {"24-bit", 2, 1, false, kRefused},
      {"GEOSCOPE", 14, 1, false, kRefused},    {"steim3", 19, 1, false, kRefused},
      {"unassigned", 255, 1, false, kRefused},
  };
  const std::vector<int32_t> samples = {-7, 300, 32767, -32768, 5, 0, 12};
  size_t stored = 0, notData = 0, refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    seedgen::Header h;
    h.channel = "C" + std::to_string(&c - cases);
    h.encoding = c.encoding;
    h.wordOrder = c.wordOrder;
    h.littleEndian = c.littleEndianHeader;
    h.dayOfYear = 60;
    h.second = 15;
    Process(seedgen::EncodeRecord(h, samples));
    stored += c.outcome == kStored;
    notData += c.outcome == kNotData;
    refused += c.outcome == kRefused;
    ASSERT_EQ(store.m_StaList.size(), stored ? 1u : 0u);
    ASSERT_EQ(store.m_StaList.empty() ? 0 : store.m_StaList[0]->m_ChanList.size(), stored);
    EXPECT_EQ(conv.Stats().recordsNotData, notData);
    EXPECT_EQ(conv.Stats().recordsNoDecoder, refused);
    if (c.outcome != kStored) continue;
    const CChanInfo& k = *store.m_StaList[0]->m_ChanList.back();
    EXPECT_EQ(k.m_SegBegin, 1293840000.0 + 59 * 86400 + 15);
    ASSERT_EQ(k.m_Count, static_cast<int>(samples.size()));
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(k.m_Data[i], static_cast<float>(samples[i])) << i;
  }
}

TEST(HeaderByteOrder, LittleEndianOnlyWhenTheDateMakesSenseNoOtherWay) {
  struct Case {
    const char* name;
    unsigned char bytes[4];  // year, day of year as stored
    bool littleEndian;
  } cases[] = {
      {"2011 day 1, big-endian", {0x07, 0xDB, 0x00, 0x01}, false},
      {"2011 day 1, little-endian", {0xDB, 0x07, 0x01, 0x00}, true},
      {"day 257 either way, year big-endian", {0x07, 0xDB, 0x01, 0x01}, false},
      {"day 257 either way, year little-endian", {0xDB, 0x07, 0x01, 0x01}, true},
      {"year sensible big-endian, day neither way", {0x07, 0xDB, 0x00, 0x00}, false},
      {"day sensible big-endian only, year little-endian", {0xDB, 0x07, 0x00, 0x05}, false},
      {"2100 day 366 little-endian", {0x34, 0x08, 0x6E, 0x01}, true},
      {"2101 little-endian: neither way", {0x35, 0x08, 0x01, 0x00}, false},
      {"1899 little-endian: neither way", {0x6B, 0x07, 0x01, 0x00}, false},
      {"zeros", {0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> rec(128, 0);
    std::copy(c.bytes, c.bytes + 4, rec.begin() + 20);
    EXPECT_EQ(seed::IsLittleEndianHeader(rec.data()), c.littleEndian);
  }
}

// Blockettes as (offset, type, next), written most significant byte first.
struct Blockette {
  int at, type, next;
};

std::vector<unsigned char> ChainRecord(int first, const std::vector<Blockette>& chain) {
  std::vector<unsigned char> rec(512, 0);
  rec[6] = 'D';
  auto put16 = [&](int at, int v) {
    rec[static_cast<size_t>(at)] = static_cast<unsigned char>(v >> 8);
    rec[static_cast<size_t>(at) + 1] = static_cast<unsigned char>(v & 0xFF);
  };
  put16(seed::kYear, 2011);
  put16(seed::kDayOfYear, 1);
  put16(seed::kDataOffset, 256);
  put16(seed::kFirstBlockette, first);
  for (const Blockette& b : chain) {
    put16(b.at, b.type);
    put16(b.at + 2, b.next);
    if (b.type == 1000 && b.at + 7 < 512) {
      rec[static_cast<size_t>(b.at) + 4] = 11;
      rec[static_cast<size_t>(b.at) + 6] = 9;
    }
  }
  return rec;
}

TEST(BlocketteChain, SearchAndRecordFollowIt) {
  struct Case {
    const char* name;
    int first;
    std::vector<Blockette> chain;
    int searchLength;   // 0: rejected
    int recordB1000;    // where ProcessRecord finds it, -1 nowhere
  } cases[] = {
      {"at byte 48", 48, {{48, 1000, 0}}, 512, 48},
      {"behind a blockette 1001", 48, {{48, 1001, 56}, {56, 1000, 0}}, 512, 56},
      {"behind a blockette 100", 48, {{48, 100, 60}, {60, 1000, 0}}, 512, 60},
      {"last whole 8 bytes of the probe", 48, {{48, 100, 120}, {120, 1000, 0}}, 512, 120},
      {"cut by the probe's end, whole in the record", 48, {{48, 100, 124}, {124, 1000, 0}}, 4096, 124},
      {"beyond the probe, inside the record", 48, {{48, 100, 200}, {200, 1000, 0}}, 0, 200},
      {"no blockettes", 0, {}, 4096, -1},
      {"chain ends without one", 48, {{48, 100, 64}, {64, 201, 0}}, 4096, -1},
      {"loops on itself", 48, {{48, 100, 48}}, 0, -1},
      {"points back", 48, {{48, 100, 64}, {64, 201, 56}, {56, 1000, 0}}, 0, -1},
      {"points outside the record", 48, {{48, 100, 600}}, 0, -1},
      {"type 1000 one byte short of the record", 48, {{48, 100, 506}, {506, 1000, 0}}, 0, -1},
      {"first offset inside the fixed header", 40, {{40, 1000, 0}}, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto rec = ChainRecord(c.first, c.chain);
    EXPECT_EQ(seed::ProbeRecordLength(rec.data()), c.searchLength);
    // Behind 16 bytes of something else, a rejected probe makes the search
    // move on without finding the record.
    std::vector<unsigned char> file(16 + rec.size(), 0);
    std::copy(rec.begin(), rec.end(), file.begin() + 16);
    Found f = Search(file);
    EXPECT_EQ(f.recLen, c.searchLength);
    EXPECT_EQ(f.offset, c.searchLength ? 16 : 0);
    seed::RecordHeader h;
    seed::ReadHeader(rec.data(), 512, h);
    EXPECT_EQ(h.blockette1000, c.recordB1000);
    // Without blockette 1000 a record is Steim1, most significant byte first.
    EXPECT_EQ(h.encodingFormat, c.recordB1000 < 0 ? 10 : 11);
    EXPECT_TRUE(c.recordB1000 >= 0 || h.dataBigEndian);
  }
}

TEST_F(ProcessRecordTest, LocationAndNetworkTakeNoPart) {
  seedgen::Header h;
  h.location = "00";
  Process(seedgen::EncodeRecord(h, {1}));
  h.location = "10";
  h.network = "YY";
  Process(seedgen::EncodeRecord(h, {1}));
  EXPECT_EQ(store.m_StaList.size(), 1u);
  EXPECT_EQ(store.m_StaList[0]->m_ChanList.size(), 1u);
}

TEST(ConvertRun, UnknownDataSourceEndsInOrder) {
  TempDir dir;
  platform::WritePrivateProfileString("DATA", "DIR", dir / "data", dir / "VEZ.ini");
  testsupport::WriteFileBytes(dir / "odbc.ini", {});
  setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
  FakeHost host;
  CConvertFromSeed conv(&host, dir / "VEZ.ini");
  conv.SetConnectString("DSN=NoSuchArchive;UID=VEZ;PWD=QKT;");
  conv.AddFile(dir / "whatever.mseed");
  ASSERT_EQ(conv.Start(), 0);
  ASSERT_TRUE(host.WaitDone());
  conv.Join();
  EXPECT_EQ(host.texts, std::vector<std::string>{"VEZ Database open error"});
  EXPECT_EQ(host.beeps, 2);
  EXPECT_EQ(host.textsBeforeDone, 1u);
  EXPECT_TRUE(conv.m_FileList.empty());
  EXPECT_TRUE(conv.Stats().databaseOpenFailed);
  EXPECT_FALSE(std::filesystem::exists(dir / "data"));
  // The next run starts with only its own files.
  conv.AddFile("x");
  EXPECT_EQ(conv.m_FileList.size(), 1u);
  unsetenv("ODBCINI");
}

}  // namespace

namespace {

TEST(ConvertRun, UnreadableInputEndsThatFileOnly) {
  const auto seedDir = testsupport::SeedDataDir();
  if (seedDir.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  TempDir dir;
  platform::WritePrivateProfileString("DATA", "DIR", dir / "data", dir / "VEZ.ini");
  std::filesystem::create_directory(dir.Path() / "data");
  std::filesystem::create_directory(dir.Path() / "a-folder");
  FakeHost host;
  CConvertFromSeed conv(&host, dir / "VEZ.ini");
  conv.SetConnectString("");  // data files only
  conv.AddFile(dir / "a-folder");  // opens, but every read fails
  conv.AddFile((seedDir / "gaps.mseed").string());
  ASSERT_EQ(conv.Start(), 0);
  ASSERT_TRUE(host.WaitDone());
  conv.Join();
  EXPECT_EQ(conv.Stats().filesFailed, 1u);
  EXPECT_EQ(conv.Stats().filesRead, 1u);
  EXPECT_EQ(conv.Stats().recordsConverted, 128u);
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_NE(host.errors[0].find("a-folder: read error"), std::string::npos) << host.errors[0];
  EXPECT_EQ(host.texts.back(), "Data converted with errors");
}

}  // namespace

namespace {

using testsupport::FileListRow;
using testsupport::RefRecord;
using testsupport::VezFile;

// What a run left: its report, its data files and their rows.
struct Archive {
  RunStats stats;
  std::vector<std::string> errors;
  std::string lastText;
  std::vector<VezFile> files;
  std::vector<FileListRow> rows;
};

class RealRuns : public testsupport::DatabaseTest {
 protected:
  Archive Convert(const std::vector<std::string>& inputs, const std::string& quality) {
    TempDir dir;
    platform::WritePrivateProfileString("DATA", "DIR", dir / "data", dir / "VEZ.ini");
    std::filesystem::create_directory(dir.Path() / "data");
    db->Exec("DELETE FROM FILELIST");
    FakeHost host;
    host.recordTexts = false;
    CConvertFromSeed conv(&host, dir / "VEZ.ini");
    conv.SetConnectString(db->connect);
    conv.SetQuality(quality);
    for (const auto& f : inputs) conv.AddFile(f);
    {
      testsupport::DiagCapture quiet;
      EXPECT_EQ(conv.Start(), 0);
      EXPECT_TRUE(host.WaitDone());
      conv.Join();
    }
    Archive a{conv.Stats(), host.errors, host.texts.empty() ? "" : host.texts.back(),
              testsupport::ReadVezTree(dir / "data"), db->Rows()};
    std::sort(a.rows.begin(), a.rows.end(), [](const FileListRow& x, const FileListRow& y) { return x.cpath < y.cpath; });
    return a;
  }
};

std::string Backslashed(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

std::string Code(const std::string& field) { return field.substr(0, field.find(' ')); }

// The reference's samples of each channel on the grid of its first record.
struct Series {
  double t0 = 0, rate = 0;
  std::map<long long, float> at;
};

std::map<std::string, Series> ReferenceSeries(const std::vector<RefRecord>& refs, const std::string& quality) {
  std::map<std::string, Series> out;
  for (const RefRecord& r : refs) {
    // A 128-byte record is out of reach of the record loop.
    if (!r.decoded || quality.find(r.Str("q")) == std::string::npos || r.Int("len") == 128) continue;
    Series& s = out[Code(r.Str("sta")) + "." + Code(r.Str("cha"))];
    if (s.at.empty()) {
      s.t0 = std::stod(r.Str("start"));
      s.rate = seed::CalcSampleRate(static_cast<int>(r.Int("fact")), static_cast<int>(r.Int("mult")));
    }
    const long long first = std::llround((std::stod(r.Str("start")) - s.t0) * s.rate);
    const size_t n = r.floats.empty() ? r.samples.size() : r.floats.size();
    for (size_t i = 0; i < n; ++i)
      s.at[first + static_cast<long long>(i)] =
          r.floats.empty() ? static_cast<float>(r.samples[i]) : static_cast<float>(r.floats[i]);
  }
  return out;
}

TEST_P(RealRuns, EveryFileConvertsToTheReferenceOrToTheReport) {
  const auto seeds = testsupport::SeedDataDir();
  if (seeds.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  struct Case {
    const char* file;
    const char* quality;
    uint64_t converted, notData, noDecoder;
    const char* error;  // the one error report after the file's path, if any
  } cases[] = {
      {"two_channels.mseed", "DQ", 2, 0, 0, nullptr},  // blockette 1000 at byte 56
      {"2011-09-06-1311-36S.A1032_001BH_Z.mseed", "DQ", 3, 0, 0, nullptr},
      {"Steim1-AllDifferences-LE.mseed", "DQ", 1, 0, 0, nullptr},
      {"Steim1-AllDifferences-BE.mseed", "DQ", 1, 0, 0, nullptr},
      {"int32_INT32_littleEndian.mseed", "DQ", 1, 0, 0, nullptr},
      {"int16_INT16_bigEndian.mseed", "DQ", 1, 0, 0, nullptr},
      {"float32_Float32_bigEndian.mseed", "DQ", 1, 0, 0, nullptr},
      {"float64_Float64_bigEndian.mseed", "DQ", 2, 0, 0, nullptr},
      {"no-blockette1000-steim1.mseed", "DQ", 2, 0, 0, nullptr},
      {"endiantest.be-header.le-data.mseed", "DQRM", 2, 0, 0, nullptr},
      // Its first record, of 128 bytes, is shorter than the loop reads: named and counted, not passed over.
      {"Int32-oneseries-mixedlengths-mixedorder.mseed", "DQRM", 6, 0, 0,
       ": record at byte 0 not converted: its length of 128 bytes is shorter than any the reader takes"},
      {"fullseed.mseed", "DQ", 3, 0, 0, nullptr},  // the search passes its control headers
      {"rt130_sr0_cropped.mseed", "DQ", 0, 5, 0, nullptr},
      {"GEOSCOPE-16bit-3exp-encoded.mseed", "DQ", 0, 0, 1,
       ": 1 records in encoding format 14 are not converted: no decoder for it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = (seeds / c.file).string();
    const Archive a = Convert({path}, c.quality);
    EXPECT_EQ(a.stats.recordsConverted, c.converted);
    EXPECT_EQ(a.stats.recordsNotData, c.notData);
    EXPECT_EQ(a.stats.recordsNoDecoder, c.noDecoder);
    EXPECT_EQ(a.stats.filesCutShort + a.stats.recordsUnsafeCode + a.stats.store.samplesNotStored, 0u);
    EXPECT_EQ(a.lastText, c.error ? "Data converted with errors" : "Data successfully converted");
    EXPECT_EQ(a.errors, c.error ? std::vector<std::string>{path + c.error} : std::vector<std::string>{});

    // Every sample of every data file is the reference's at its time, and
    // every reference sample is in a file.
    auto series = ReferenceSeries(testsupport::ReadReference((seeds / "reference" / (std::string(c.file) + ".txt")).string()),
                                  c.quality);
    size_t expected = 0, inFiles = 0;
    for (const auto& [key, s] : series) expected += s.at.size();
    ASSERT_EQ(a.rows.size(), a.files.size());
    for (size_t f = 0; f < a.files.size(); ++f) {
      const VezFile& file = a.files[f];
      const FileListRow& row = a.rows[f];
      SCOPED_TRACE(file.relative);
      ASSERT_EQ(row.cpath, Backslashed(file.relative));
      EXPECT_NEAR(row.tQty * row.sps, static_cast<double>(file.samples.size()), 1e-6);
      ASSERT_TRUE(series.count(row.sta + "." + row.ch));
      const Series& s = series[row.sta + "." + row.ch];
      const long long first = std::llround((row.tBegin - s.t0) * s.rate);
      for (size_t i = 0; i < file.samples.size(); ++i) {
        const auto it = s.at.find(first + static_cast<long long>(i));
        ASSERT_NE(it, s.at.end()) << "sample " << i << " at no reference time";
        ASSERT_EQ(std::bit_cast<uint32_t>(file.samples[i]), std::bit_cast<uint32_t>(it->second)) << "sample " << i;
      }
      inFiles += file.samples.size();
    }
    EXPECT_EQ(inFiles, expected);
  }
}

// Everything of a file but the header line that carries the duration at
// creation, which depends on how the first segment was cut.
std::string WithoutDuration(const std::string& header) {
  const size_t at = header.find("Time duration=");
  return at == std::string::npos ? header : header.substr(0, at) + header.substr(header.find("\r\n", at));
}

TEST_P(RealRuns, AVolumeGivenTwiceLeavesWhatItLeavesOnce) {
  const auto seeds = testsupport::SeedDataDir();
  if (seeds.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  for (const char* name : {"2005-07-23-1452-04S.CER___030.mseed", "gaps.mseed", "CH.BALST..LH_two_channels",
                           "ffbx_unrotated_gaps.mseed", "2011-09-06-1311-36S.A1032_001BH_Z.mseed",
                           "two_channels.mseed"}) {
    SCOPED_TRACE(name);
    const std::string path = (seeds / name).string();
    const Archive once = Convert({path}, "DQ");
    const Archive twice = Convert({path, path}, "DQ");
    EXPECT_EQ(twice.lastText, once.lastText);
    EXPECT_EQ(twice.stats.store.samplesNotStored, 2 * once.stats.store.samplesNotStored);
    EXPECT_EQ(twice.stats.store.samplesDuplicate, once.stats.store.samplesWritten);
    ASSERT_EQ(twice.files.size(), once.files.size());
    for (size_t i = 0; i < once.files.size(); ++i) {
      SCOPED_TRACE(once.files[i].relative);
      EXPECT_EQ(twice.files[i].relative, once.files[i].relative);
      EXPECT_EQ(WithoutDuration(twice.files[i].header), WithoutDuration(once.files[i].header));
      EXPECT_EQ(twice.files[i].samples, once.files[i].samples);
    }
    ASSERT_EQ(twice.rows.size(), once.rows.size());
    for (size_t i = 0; i < once.rows.size(); ++i) {
      const FileListRow &a = once.rows[i], &b = twice.rows[i];
      EXPECT_EQ(std::tie(a.cpath, a.sta, a.ch, a.tBegin, a.tQty, a.sps, a.gain, a.dataType, a.foff),
                std::tie(b.cpath, b.sta, b.ch, b.tBegin, b.tQty, b.sps, b.gain, b.dataType, b.foff));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Db, RealRuns, testsupport::AllBackends(), testsupport::BackendName);

}  // namespace
