// Real recordings from public projects, compared with an independent
// decoding of the same records (reference/*.txt beside each file).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "seed/record.h"
#include "seed/seedtime.h"
#include "support/reference.h"
#include "support/testsupport.h"

namespace {

using testsupport::ReadReference;
using testsupport::RefRecord;

struct Totals {
  int records = 0, compared = 0, comparedDQ = 0, littleEndian = 0, blocketteElsewhere = 0, floats = 0, notSamples = 0;
};

bool SameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// What this converter makes of one record of the reference: its samples,
// start time and rate, or no samples at all for text and for encodings it
// has no decoder for.
void CheckRecord(const std::vector<unsigned char>& file, const RefRecord& ref, Totals& totals) {
  const size_t off = static_cast<size_t>(ref.Int("off"));
  const int R = static_cast<int>(ref.Int("len"));
  std::vector<unsigned char> rec(file.begin() + static_cast<long>(off), file.begin() + static_cast<long>(off) + R);
  seed::RecordHeader h;
  seed::ReadHeader(rec.data(), R, h);
  ++totals.records;
  EXPECT_EQ(h.headerLittleEndian, ref.Str("hdr") == "LE");
  EXPECT_EQ(h.blockette1000, ref.Int("b1000at"));
  EXPECT_EQ(h.sampleCount, ref.Int("nsamp"));
  EXPECT_EQ(h.dataOffset, ref.Int("dataoff"));
  EXPECT_NEAR(seed::RecordStartTime(rec.data()), std::stod(ref.Str("start")), 5e-5);
  // A zero factor or multiplier gives 1.0 here, never 0; the reference
  // takes the rate of a blockette 100 where there is one.
  const double rate = seed::CalcSampleRate(h.rateFactor, h.rateMultiplier);
  if (h.rateFactor == 0 || h.rateMultiplier == 0) {
    EXPECT_EQ(rate, 1.0);
  } else if (ref.Str("blk").find("100@") == std::string::npos) {
    EXPECT_EQ(rate, std::stod(ref.Str("lm_rate")));
  }

  // NaN to begin with: the decoder must set every sample, 0.0 where it has none.
  std::vector<float> out(static_cast<size_t>(h.sampleCount), std::numeric_limits<float>::quiet_NaN());
  testsupport::DiagCapture diag;
  const seed::Encoding used = seed::DecodeSamples(rec.data(), R, h, out.data());
  if (!ref.decoded) {
    EXPECT_EQ(used, ref.Int("enc") == 0 ? seed::kText : seed::kNoDecoder);
    for (float v : out) ASSERT_EQ(v, 0.0f);
    ++totals.notSamples;
    return;
  }
  const bool floats = !ref.floats.empty();
  ASSERT_EQ(floats ? ref.floats.size() : ref.samples.size(), out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const float want = floats ? static_cast<float>(ref.floats[i]) : static_cast<float>(ref.samples[i]);
    ASSERT_TRUE(SameFloat(out[i], want)) << "sample " << i << ": " << out[i] << " for " << want;
  }
  ++totals.compared;
  if (h.quality == 'D' || h.quality == 'Q') ++totals.comparedDQ;
  if (h.headerLittleEndian) ++totals.littleEndian;
  if (h.blockette1000 != 48) ++totals.blocketteElsewhere;
  if (floats) ++totals.floats;
}

TEST(RealData, EveryRecordDecodesToTheReference) {
  const auto dir = testsupport::SeedDataDir();
  if (dir.empty()) GTEST_SKIP() << "../shared/testdata/seed not found: real-data tests skipped";
  Totals totals;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    const auto refPath = dir / "reference" / (entry.path().filename().string() + ".txt");
    if (!std::filesystem::exists(refPath)) continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    const auto bytes = testsupport::ReadFileBytes(entry.path().string());
    for (const RefRecord& ref : ReadReference(refPath.string())) {
      SCOPED_TRACE("record at byte " + ref.Str("off"));
      CheckRecord(bytes, ref, totals);
    }
  }
  std::cout << "real data: " << files << " files, " << totals.records << " records, " << totals.compared
            << " compared sample by sample (" << totals.comparedDQ << " of quality D or Q, " << totals.littleEndian
            << " with little-endian headers, " << totals.blocketteElsewhere << " without blockette 1000 at byte 48, "
            << totals.floats << " of floats), " << totals.notSamples << " text or without a decoder\n";
  EXPECT_EQ(files, 26);
  EXPECT_EQ(totals.compared + totals.notSamples, totals.records);
  EXPECT_EQ(totals.notSamples, 6);  // five log records, one GEOSCOPE record
  EXPECT_EQ(totals.littleEndian, 5);
  EXPECT_EQ(totals.blocketteElsewhere, 6);
  EXPECT_EQ(totals.floats, 3);
  EXPECT_GT(totals.comparedDQ, 700);
}

}  // namespace
