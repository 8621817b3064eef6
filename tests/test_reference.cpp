// Real recordings from public projects, compared with an independent
// decoding of the same records (reference/*.txt beside each file).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
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
  int compared = 0, comparedDQ = 0, littleEndianHeaders = 0, otherDecoder = 0;
};

// What this converter must make of one record of the reference.
void CheckRecord(const std::vector<unsigned char>& file, const RefRecord& ref, Totals& totals) {
  const size_t off = static_cast<size_t>(ref.Int("off"));
  const int R = static_cast<int>(ref.Int("len"));
  std::vector<unsigned char> rec(file.begin() + static_cast<long>(off), file.begin() + static_cast<long>(off) + R);
  seed::HeaderToHostOrder(rec.data());
  seed::RecordHeader h;
  seed::ReadHeader(rec.data(), h);
  std::vector<float> out(static_cast<size_t>(h.sampleCount), 0.0f);
  testsupport::DiagCapture diag;
  const seed::Encoding used = seed::DecodeSamples(rec.data(), R, h, out.data());
  const int enc = static_cast<int>(ref.Int("enc"));
  const bool wordOrderBig = ref.Int("wo") != 0;

  if (ref.Str("hdr") == "LE") {
    // The header is always read most significant byte first: the swapped
    // data offset lies beyond the record and no value is decoded.
    ++totals.littleEndianHeaders;
    EXPECT_GT(h.dataOffset, R);
    for (float v : out) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(diag.messages.size(), 1u);
    return;
  }

  EXPECT_EQ(h.sampleCount, ref.Int("nsamp"));
  EXPECT_NEAR(seed::RecordStartTime(rec.data()), std::stod(ref.Str("start")), 5e-5);
  // A zero factor or multiplier gives 1.0 here, never 0.
  const double rate = seed::CalcSampleRate(h.rateFactor, h.rateMultiplier);
  if (h.rateFactor == 0 || h.rateMultiplier == 0) {
    EXPECT_EQ(rate, 1.0);
  } else if (ref.Str("blk").find("100@") == std::string::npos) {
    EXPECT_EQ(rate, std::stod(ref.Str("lm_rate")));
  }

  // The decoder comes from byte 52 wherever blockette 1000 is; it decodes
  // these samples only when it is the record's own decoder in its byte order.
  const bool sameDecoder = (enc == 10 && used == seed::kSteim1) ||
                           (enc == 11 && used == seed::kSteim2 && h.dataBigEndian == wordOrderBig) ||
                           (enc == 3 && used == seed::kInt32 && h.dataBigEndian == wordOrderBig);
  if (!ref.decoded || !sameDecoder || (enc == 10 && !wordOrderBig)) {
    ++totals.otherDecoder;
    return;
  }
  ASSERT_EQ(ref.samples.size(), out.size());
  for (size_t i = 0; i < out.size(); ++i)
    ASSERT_EQ(out[i], static_cast<float>(ref.samples[i])) << "sample " << i;
  ++totals.compared;
  if (h.quality == 'D' || h.quality == 'Q') ++totals.comparedDQ;
}

TEST(RealData, EveryRecordDecodesAsTheConverterMust) {
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
  std::cout << "real data: " << files << " files, " << totals.compared << " records compared sample by sample ("
            << totals.comparedDQ << " of quality D or Q), " << totals.littleEndianHeaders
            << " with little-endian headers, " << totals.otherDecoder << " decoded by another decoder\n";
  EXPECT_EQ(files, 26);
  EXPECT_GT(totals.comparedDQ, 700);
}

}  // namespace
