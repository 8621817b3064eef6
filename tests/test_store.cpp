#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <vector>

#include "store/stainfo.h"
#include "support/testsupport.h"
#include "support/vezfile.h"

namespace {

using testsupport::ReadVezTree;

constexpr double T = 1299308400.0;  // 2011-03-05 07:00:00

// A store without a database that writes below its own temporary folder.
class StoreTest : public testing::Test {
 protected:
  StoreTest() : store(nullptr) { store.SetPath(dir.Path().c_str()); }

  // Adds a record of n samples numbered on from the channel's running counter,
  // so that the order of every sample in the files can be checked.
  void Add(const char* sta, const char* chan, double sps, double t, int n) {
    std::vector<float> s(static_cast<size_t>(n));
    float& next = counters[std::string(sta) + "." + chan];
    for (float& v : s) v = next++;
    store.AddData(sta, chan, sps, t, n, s.data());
  }

  CChanInfo& Chan(const char* sta, const char* chan) {
    const unsigned i = store.FindSta(sta);
    return *store.m_StaList[i]->m_ChanList[store.FindChan(i, chan, 1.0)];
  }

  std::vector<testsupport::VezFile> Files() { return ReadVezTree(dir.Path().string()); }

  testsupport::TempDir dir;
  CStaInfo store;
  std::map<std::string, float> counters;
};

std::vector<float> Iota(int n, float from = 0) {
  std::vector<float> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), from);
  return v;
}

TEST_F(StoreTest, ContinuityWithinOneSampleOfTheRecordsOwnRate) {
  struct Case {
    double offset;
    bool joined;
  } cases[] = {{4.12, true}, {4.125, true}, {4.115, true}, {4.135, false}, {4.105, false}, {5.0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    CStaInfo s(nullptr);
    testsupport::TempDir d;
    s.SetPath(d.Path().c_str());
    std::vector<float> v(412, 1.0f);
    s.AddData("ABC", "BHZ", 100, T, 412, v.data());
    s.AddData("ABC", "BHZ", 100, T + c.offset, 412, v.data());
    EXPECT_EQ(s.m_StaList[0]->m_ChanList[0]->m_Count, c.joined ? 824 : 412);
  }
}

TEST_F(StoreTest, SegmentLimitOf9900Samples) {
  Add("ABC", "BHZ", 100, T, 9000);
  Add("ABC", "BHZ", 100, T + 90, 900);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 9900);
  EXPECT_TRUE(Files().empty());

  CStaInfo s(nullptr);
  s.SetPath(dir.Path().c_str());
  std::vector<float> v(901, 2.0f);
  s.AddData("XYZ", "BHZ", 100, T, 9000, Iota(9000).data());
  s.AddData("XYZ", "BHZ", 100, T + 90, 901, v.data());
  EXPECT_EQ(s.m_StaList[0]->m_ChanList[0]->m_Count, 901);
  auto files = Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].samples.size(), 9000u);
}

TEST_F(StoreTest, TwentyFourRecordsOf412SamplesMakeOneSegment) {
  for (int r = 0; r < 24; ++r) Add("ABC", "BHZ", 100, T + r * 4.12, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 24 * 412);
  Add("ABC", "BHZ", 100, T + 24 * 4.12, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 412);
  store.WriteAll();
  auto files = Files();
  ASSERT_EQ(files.size(), 1u);  // the second segment is appended to the file
  EXPECT_EQ(files[0].samples, Iota(25 * 412));
}

TEST_F(StoreTest, SlowChannelsHandOverEveryRecord) {
  struct Case {
    double sps;
    int countAfterSecond;
  } cases[] = {{1.0, 10}, {0.1, 10}, {1.5, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sps);
    CStaInfo s(nullptr);
    testsupport::TempDir d;
    s.SetPath(d.Path().c_str());
    std::vector<float> v(10, 3.0f);
    s.AddData("ABC", "LHZ", c.sps, T, 10, v.data());
    s.AddData("ABC", "LHZ", c.sps, T + 10 / c.sps, 10, v.data());
    EXPECT_EQ(s.m_StaList[0]->m_ChanList[0]->m_Count, c.countAfterSecond);
    s.WriteAll();
    // The writer still joins contiguous one-record segments into one file.
    EXPECT_EQ(ReadVezTree(d.Path().string()).size(), 1u);
    EXPECT_EQ(ReadVezTree(d.Path().string())[0].samples.size(), 20u);
  }
}

TEST_F(StoreTest, DuplicateRecordStartsANewSegment) {
  Add("ABC", "BHZ", 100, T, 412);
  Add("ABC", "BHZ", 100, T, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_SegBegin, T);
  store.WriteAll();
  EXPECT_EQ(Files().size(), 1u);  // same start second: the second file replaces the first
}

TEST_F(StoreTest, ZeroSampleRecords) {
  Add("ABC", "BHZ", 100, T, 412);
  Add("ABC", "BHZ", 100, T + 4.12, 0);  // continues: nothing changes
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_SegBegin, T);
  Add("ABC", "BHZ", 100, T + 100, 0);  // does not continue: hands over, anchors there
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 0);
  EXPECT_EQ(Chan("ABC", "BHZ").m_SegBegin, T + 100);
  EXPECT_EQ(Files().size(), 1u);
  Add("ABC", "BHZ", 100, T + 100, 412);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 412);
}

TEST_F(StoreTest, InterleavedChannelsKeepTheirOwnSegments) {
  for (int r = 0; r < 10; ++r)
    for (const char* c : {"BHZ", "BHN", "BHE"}) Add("ABC", c, 100, T + r * 4.12, 412);
  store.WriteAll();
  auto files = Files();
  ASSERT_EQ(files.size(), 3u);
  for (const auto& f : files) EXPECT_EQ(f.samples, Iota(4120)) << f.relative;
}

TEST_F(StoreTest, CodesAreCaseSensitiveAndChannelsBelongToTheirStation) {
  Add("ABC", "BHZ", 100, T, 10);
  Add("abc", "BHZ", 100, T, 10);
  Add("ABD", "BHZ", 100, T, 10);
  Add("ABC", "bhz", 100, T, 10);
  ASSERT_EQ(store.m_StaList.size(), 3u);
  EXPECT_EQ(store.m_StaList[0]->m_Name, "ABC");
  EXPECT_EQ(store.m_StaList[1]->m_Name, "abc");
  EXPECT_EQ(store.m_StaList[0]->m_ChanList.size(), 2u);
  EXPECT_EQ(store.FindSta("ABC"), 0u);
  EXPECT_EQ(store.FindSta("AB"), 3u);  // a prefix is another code
  EXPECT_EQ(store.FindChan(0, "bhz", 1), 1u);
}

// The record path finds channels through a table keyed by both codes; every
// record must still reach the channel its codes name, whatever the codes.
TEST_F(StoreTest, RecordsReachTheirChannelAmongManyAndOddCodes) {
  std::vector<std::pair<std::string, std::string>> codes = {
      {"AB", "CDE"}, {"ABC", "DE"}, {"ABCDE", "Z"}, {"A", "BCDEZ"},   // same bytes, split apart
      {"LONGSTATION", "BHZ"}, {"S1", "LONGCHANNEL"}, {"ABCDEF", "BH"},  // beyond the field widths
  };
  for (int k = 0; k < 300; ++k) {
    char sta[8], chan[8];
    std::snprintf(sta, sizeof sta, "S%d", k % 100);
    std::snprintf(chan, sizeof chan, "C%d", k / 100);
    codes.push_back({sta, chan});
  }
  for (int round = 0; round < 3; ++round)
    for (size_t k = 0; k < codes.size(); ++k) {
      const std::vector<float> v(5, static_cast<float>(k));
      store.AddData(codes[k].first.c_str(), codes[k].second.c_str(), 20.0, T + round * 0.25, 5, v.data());
    }
  size_t channels = 0;
  for (const auto& sta : store.m_StaList) channels += sta->m_ChanList.size();
  EXPECT_EQ(channels, codes.size());
  for (size_t k = 0; k < codes.size(); ++k) {
    SCOPED_TRACE(codes[k].first + "." + codes[k].second);
    const CChanInfo& c = Chan(codes[k].first.c_str(), codes[k].second.c_str());
    ASSERT_EQ(c.m_Count, 15);
    for (int n = 0; n < c.m_Count; ++n) ASSERT_EQ(c.m_Data[n], static_cast<float>(k));
  }
}

// A file holds one rate: a record at another rate is never joined to the
// segment before it, however well its time fits.
TEST_F(StoreTest, ARateChangeStartsASegmentAtTheNewRate) {
  Add("ABC", "BHZ", 20, T, 100);          // 5 s at 20 sps
  Add("ABC", "BHZ", 40, T + 5.02, 200);   // within 1/40 s, but at another rate
  EXPECT_EQ(Chan("ABC", "BHZ").m_SpS, 40);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 200);
  EXPECT_DOUBLE_EQ(Chan("ABC", "BHZ").m_SegQty, 5.0);
  Add("ABC", "BHZ", 40, T + 10.03, 10);   // 0.01 from the expected time: joined
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 210);
  Add("ABC", "BHZ", 40.00001, T + 10.28, 10);  // a part in four million: the same rate
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 220);
}

TEST_F(StoreTest, DataContinuesAcrossInputFiles) {
  // The store outlives input files; nothing distinguishes them here, which
  // is the point: contiguous records join whatever file they came from.
  Add("ABC", "BHZ", 100, T, 412);
  Add("ABC", "BHZ", 100, T + 4.12, 412);
  store.WriteAll();
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Files()[0].samples, Iota(824));
}

TEST_F(StoreTest, WriteAllEmptiesEveryChannelAndKeepsOrder) {
  store.WriteAll();  // no stations: nothing
  EXPECT_TRUE(Files().empty());
  Add("ZZZ", "BHZ", 100, T, 10);
  Add("AAA", "BHZ", 100, T, 10);
  Add("ZZZ", "BHN", 100, T, 10);
  store.WriteAll();
  for (const auto& sta : store.m_StaList)
    for (const auto& c : sta->m_ChanList) {
      EXPECT_EQ(c->m_Count, 0);
      EXPECT_EQ(c->m_SegBegin, 0);
      EXPECT_EQ(c->m_SegQty, 0);
    }
  EXPECT_EQ(store.m_StaList[0]->m_Name, "ZZZ");
  EXPECT_EQ(store.m_StaList[0]->m_ChanList[1]->m_Name, "BHN");
  EXPECT_EQ(Files().size(), 3u);
  store.WriteAll();  // a second flush writes nothing more
  EXPECT_EQ(store.m_Stats.filesCreated, 3u);
  EXPECT_EQ(store.m_Stats.filesExtended, 0u);
}

TEST_F(StoreTest, RecordLargerThanTheBufferIsStoredWhole) {
  Add("ABC", "BHZ", 100, T, 65535);
  Add("ABC", "BHZ", 100, T + 655.35, 100);
  store.WriteAll();
  auto files = Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].samples, Iota(65635));
  EXPECT_EQ(store.m_Stats.samplesWritten, 65635u);
}

TEST_F(StoreTest, NaNStartNeverContinues) {
  Add("ABC", "BHZ", 100, T, 10);
  Add("ABC", "BHZ", 100, std::nan(""), 10);
  EXPECT_EQ(Chan("ABC", "BHZ").m_Count, 10);
  EXPECT_TRUE(std::isnan(Chan("ABC", "BHZ").m_SegBegin));
}

}  // namespace
