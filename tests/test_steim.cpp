#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <cstring>
#include <random>
#include <vector>

#include "seed/record.h"
#include "seed/fixedwidth.h"
#include "seed/steim.h"
#include "support/seedgen.h"
#include "support/testsupport.h"

namespace {

using seedgen::Word;
using testsupport::DiagCapture;

constexpr int kD = 64;  // data offset of the generated records

// A record of R bytes whose data section holds the given frames.
std::vector<unsigned char> WithFrames(const std::vector<unsigned char>& frames, int R = 512) {
  std::vector<unsigned char> r(static_cast<size_t>(R), 0);
  std::memcpy(r.data() + kD, frames.data(), std::min(frames.size(), r.size() - kD));
  return r;
}

// The buffer starts full of NaN: a decoder sets every sample, 0.0 where the
// record holds none, whatever the buffer held before.
constexpr float kStale = std::numeric_limits<float>::quiet_NaN();

std::vector<float> Steim1(std::vector<unsigned char> rec, int n) {
  std::vector<float> out(static_cast<size_t>(n), kStale);
  seed::DecodeSteim1(rec.data(), rec.data() + kD, static_cast<int>(rec.size()), n, out.data(), true);
  return out;
}

std::vector<float> Steim2(std::vector<unsigned char> rec, int n, bool swap) {
  std::vector<float> out(static_cast<size_t>(n), kStale);
  seed::DecodeSteim2(rec.data(), rec.data() + kD, static_cast<int>(rec.size()), n, out.data(), swap);
  return out;
}

std::vector<float> AsFloats(const std::vector<int32_t>& v) { return {v.begin(), v.end()}; }

// Samples that need differences of exactly one width.
std::vector<int32_t> WalkOfWidth(int width, int count, unsigned seed) {
  std::mt19937 gen(seed);
  const int64_t hi = (int64_t{1} << (width - 1)) - 1, lo = -(int64_t{1} << (width - 1));
  std::uniform_int_distribution<int64_t> dist(lo, hi);
  std::vector<int32_t> s;
  int64_t v = 1000;
  for (int i = 0; i < count; ++i) {
    int64_t d = dist(gen);
    if (v + d > INT32_MAX / 2 || v + d < INT32_MIN / 2) d = -d;  // stay clear of overflow
    v += d;
    s.push_back(static_cast<int32_t>(v));
  }
  return s;
}

TEST(Steim1, FirstWordOfBytesAppliesX0) {
  auto frames = seedgen::Frames(100, 99, {seedgen::Steim1Word(8, {5, 1, -2, 0})}, true, 448);
  auto out = Steim1(WithFrames(frames), 4);
  EXPECT_EQ(out, (std::vector<float>{100, 101, 99, 99}));
}

TEST(Steim2, WordOrderOnlyChangesHowWordsAreRead) {
  // BF FF 80 03 most significant first: two 15-bit differences, -1 and 3.
  std::vector<unsigned char> be(448, 0), le(448, 0);
  const unsigned char ctrlBE[4] = {0x02, 0x00, 0x00, 0x00};  // c3 = 2
  const unsigned char ctrlLE[4] = {0x00, 0x00, 0x00, 0x02};
  std::memcpy(be.data(), ctrlBE, 4);
  std::memcpy(le.data(), ctrlLE, 4);
  const unsigned char x0BE[4] = {0, 0, 0, 50}, x0LE[4] = {50, 0, 0, 0};
  std::memcpy(be.data() + 4, x0BE, 4);
  std::memcpy(le.data() + 4, x0LE, 4);
  const unsigned char wBE[4] = {0xBF, 0xFF, 0x80, 0x03}, wLE[4] = {0x03, 0x80, 0xFF, 0xBF};
  std::memcpy(be.data() + 12, wBE, 4);
  std::memcpy(le.data() + 12, wLE, 4);
  DiagCapture diag;
  EXPECT_EQ(Steim2(WithFrames(be), 2, true), (std::vector<float>{50, 53}));
  EXPECT_EQ(Steim2(WithFrames(le), 2, false), (std::vector<float>{50, 53}));
}

TEST(Steim2, SevenNibbleWord) {
  auto frames = seedgen::Frames(10, 30, {Word{3, 0x8123456F}}, true, 448);
  DiagCapture diag;
  // Differences 1..6, -1 after X0 = 10 (the first difference only anchors).
  EXPECT_EQ(Steim2(WithFrames(frames), 7, true), (std::vector<float>{10, 12, 15, 19, 24, 30, 29}));
  EXPECT_EQ(diag.messages, (std::vector<std::string>{"bad final value\n"}));  // 29 != 30
}

// Every difference width of both schemes, in both word orders where they apply,
// across several frames.
TEST(Steim, EveryWidthRoundTrips) {
  struct Case {
    int steim, width, perWord;
  } cases[] = {{1, 8, 4},  {1, 16, 2}, {1, 32, 1}, {2, 4, 7},  {2, 5, 6},
               {2, 6, 5},  {2, 8, 4},  {2, 10, 3}, {2, 15, 2}, {2, 30, 1}};
  for (const Case& c : cases) {
    for (bool bigEndian : {true, false}) {
      if (c.steim == 1 && !bigEndian) continue;
      SCOPED_TRACE(testing::Message() << "Steim" << c.steim << " width " << c.width << (bigEndian ? " BE" : " LE"));
      const int words = 40;  // spills into the third frame
      auto samples = WalkOfWidth(c.width, words * c.perWord, static_cast<unsigned>(c.width));
      auto diffs = seedgen::Differences(samples, samples[0]);
      diffs[0] = 0;
      std::vector<Word> packed;
      for (int w = 0; w < words; ++w) {
        std::vector<int32_t> part(diffs.begin() + w * c.perWord, diffs.begin() + (w + 1) * c.perWord);
        packed.push_back(c.steim == 1 ? seedgen::Steim1Word(c.width, part) : seedgen::Steim2Word(c.width, part));
      }
      auto rec = WithFrames(seedgen::Frames(samples.front(), samples.back(), packed, bigEndian, 448));
      const int n = static_cast<int>(samples.size());
      DiagCapture diag;
      auto out = c.steim == 1 ? Steim1(rec, n) : Steim2(rec, n, bigEndian);
      EXPECT_EQ(out, AsFloats(samples));
      // Values beyond 2^24 have no exact float; the final check says so.
      const bool exact = std::abs(samples.back()) <= (1 << 24);
      EXPECT_EQ(diag.messages, exact || c.steim == 1 ? std::vector<std::string>{}
                                                     : std::vector<std::string>{"bad final value\n"});
    }
  }
}

// The vector path against the portable one on random frames: every code and
// subcode (the undefined ones too), both word orders, counts short of and
// beyond what the frames hold, and running values that leave 32 bits.
TEST(Steim2, VectorAndPortablePathsAgree) {
  std::mt19937 gen(26);
  for (int round = 0; round < 400; ++round) {
    const bool bigEndian = round % 2 == 0;
    std::vector<unsigned char> rec(4096);
    for (auto& b : rec) b = static_cast<unsigned char>(gen());
    if (round % 4 < 2) {  // no 30- to 10-bit words: the running value stays small
      for (size_t at = kD; at + 64 <= rec.size(); at += 64) {
        uint32_t ctrl = 0;
        for (int i = 0; i < 4; ++i) ctrl = ctrl << 8 | rec[at + (bigEndian ? i : 3 - i)];
        for (int k = 0; k < 32; k += 2)
          if ((ctrl >> k & 3) == 2) ctrl |= 1u << k;
        for (int i = 0; i < 4; ++i) rec[at + (bigEndian ? i : 3 - i)] = static_cast<unsigned char>(ctrl >> (24 - 8 * i));
      }
    }
    const int n = static_cast<int>(gen() % 4000);
    std::vector<float> portable, vector;
    std::vector<std::string> portableDiag, vectorDiag;
    for (bool allowed : {false, true}) {
      seed::SetVectorDecoding(allowed);
      DiagCapture diag;
      (allowed ? vector : portable) = Steim2(rec, n, bigEndian);
      (allowed ? vectorDiag : portableDiag) = diag.messages;
    }
    seed::SetVectorDecoding(true);
    ASSERT_EQ(vector, portable) << "round " << round;  // whole numbers: equal values are equal bits
    ASSERT_EQ(vectorDiag, portableDiag) << "round " << round;
  }
}

// Differences all at the top of their width, from a first value that lets
// the running value leave 32 bits within the record, up or down: the vector
// path must see it coming and agree with the portable one.
TEST(Steim2, RunningValuesThatLeaveThirtyTwoBitsAgreeOnBothPaths) {
  for (const int width : {4, 8}) {
    for (const int sign : {1, -1}) {
      for (const bool bigEndian : {true, false}) {
        const int perWord = width == 4 ? 7 : 4, words = 63 * 15 - 2;
        const int32_t d = sign * ((1 << (width - 1)) - 1);
        const int64_t drift = int64_t{d} * (words * perWord - 1);
        const auto x0 = static_cast<int32_t>((sign > 0 ? INT32_MAX : INT32_MIN) - drift * 6 / 10);
        SCOPED_TRACE(testing::Message() << "width " << width << " sign " << sign << (bigEndian ? " BE" : " LE"));
        std::vector<Word> packed;
        for (int w = 0; w < words; ++w) {
          std::vector<int32_t> part(static_cast<size_t>(perWord), d);
          if (w == 0) part[0] = 0;
          packed.push_back(seedgen::Steim2Word(width, part));
        }
        const auto rec = WithFrames(seedgen::Frames(x0, 0, packed, bigEndian, 4032), 4096);
        const int n = words * perWord;
        std::vector<float> out[2];
        for (bool allowed : {false, true}) {
          seed::SetVectorDecoding(allowed);
          DiagCapture diag;
          out[allowed] = Steim2(rec, n, bigEndian);
        }
        seed::SetVectorDecoding(true);
        ASSERT_GT(std::abs(static_cast<double>(out[0].back())), 0x1p31);  // it did leave 32 bits
        EXPECT_EQ(out[1], out[0]);
      }
    }
  }
}

TEST(Steim2, UndefinedSubcodesSkipTheWordSilently) {
  // Word 3 is skipped, so X0 = 7 is never applied.
  auto frames = seedgen::Frames(7, 2, {Word{2, 0x00000005}, Word{3, 0xC0000005}, seedgen::Steim2Word(8, {0, 1, 1, 0})},
                                true, 448);
  DiagCapture diag;
  EXPECT_EQ(Steim2(WithFrames(frames), 4, true), (std::vector<float>{0, 1, 2, 2}));
  EXPECT_EQ(diag.messages, (std::vector<std::string>{}));
}

std::vector<unsigned char> FourteenDifferences(int steim, int32_t xn) {
  std::vector<int32_t> d(14, 1);
  d[0] = 0;
  auto words = steim == 1 ? seedgen::EncodeSteim1(d) : seedgen::EncodeSteim2(d);
  return WithFrames(seedgen::Frames(1, xn, words, true, 448));
}

std::vector<unsigned char> SevenDifferences(int steim, int32_t xn) {
  std::vector<int32_t> d = {0, 1, 1, 1, 1, 1, 1};
  auto words = steim == 1 ? seedgen::EncodeSteim1(d) : seedgen::EncodeSteim2(d);
  return WithFrames(seedgen::Frames(1, xn, words, true, 448));
}

TEST(SteimCount, SurplusDifferences) {
  {
    DiagCapture diag;
    auto out = Steim1(FourteenDifferences(1, 14), 10);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(diag.messages,
              (std::vector<std::string>{"Expected 10, found 14 samples... Extra values will be Truncated\n"}));
  }
  {
    DiagCapture diag;
    auto out = Steim2(FourteenDifferences(2, 10), 10, true);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(diag.messages.empty());  // the final check compares out[9] with Xn = 10
  }
  {
    DiagCapture diag;
    Steim2(FourteenDifferences(2, 14), 10, true);
    EXPECT_EQ(diag.messages, (std::vector<std::string>{"bad final value\n"}));
  }
}

TEST(SteimCount, MissingDifferences) {
  {
    DiagCapture diag;
    auto out = Steim1(SevenDifferences(1, 7), 10);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 0, 0, 0}));
    EXPECT_TRUE(diag.messages.empty());
  }
  {
    DiagCapture diag;
    auto out = Steim2(SevenDifferences(2, 7), 10, true);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 0, 0, 0}));
    EXPECT_EQ(diag.messages,
              (std::vector<std::string>{"!!! WARNING !!!  Steim2 Decompression Sample Count Error at Sample: 10\n",
                                        "Expected 10, found 7 samples... Lost values will be Padded with Zeros\n",
                                        "bad final value\n"}));
  }
  {
    DiagCapture diag;
    Steim2(SevenDifferences(2, 0), 10, true);  // Xn 0 matches the zero fill
    EXPECT_EQ(diag.messages.size(), 2u);
  }
}

TEST(Steim, WordThreeWithoutDataLeavesX0Unapplied) {
  // Word 3 of frame 0 is code 0: the samples are the plain running sum.
  std::vector<unsigned char> frames(448, 0);
  uint32_t control = 1u << (30 - 2 * 4);
  frames[0] = static_cast<unsigned char>(control >> 24);
  frames[1] = static_cast<unsigned char>(control >> 16);
  frames[2] = static_cast<unsigned char>(control >> 8);
  frames[3] = static_cast<unsigned char>(control);
  frames[7] = 100;  // X0 = 100, never used
  const unsigned char bytes[4] = {5, 1, 0xFE, 0};
  std::memcpy(frames.data() + 16, bytes, 4);
  EXPECT_EQ(Steim1(WithFrames(frames), 4), (std::vector<float>{5, 6, 4, 4}));
}

TEST(Steim2, FinalValueBeyondSinglePrecisionIsReported) {
  // 2^24 + 1 sums exactly, but its float is 2^24.
  const int32_t big = (1 << 24) + 1;
  auto frames = seedgen::Frames(big - 1, big, {seedgen::Steim2Word(8, {0, 1, 0, 0})}, true, 448);
  DiagCapture diag;
  auto out = Steim2(WithFrames(frames), 2, true);
  EXPECT_EQ(out[1], 16777216.0f);
  EXPECT_EQ(diag.messages, (std::vector<std::string>{"bad final value\n"}));
}

TEST(Int32, BothByteOrdersAndNegativeValues) {
  const unsigned char be[8] = {0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x01, 0x00, 0x00};
  const unsigned char le[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00};
  float out[2] = {};
  seed::DecodeInt32(be, 8, 2, out, true);
  EXPECT_EQ(out[0], -2.0f);
  EXPECT_EQ(out[1], 65536.0f);
  seed::DecodeInt32(le, 8, 2, out, false);
  EXPECT_EQ(out[0], -2.0f);
  EXPECT_EQ(out[1], 65536.0f);
  // Nearest float, not truncation: 2^24 + 3 rounds to 2^24 + 4.
  const unsigned char odd[4] = {0x01, 0x00, 0x00, 0x03};
  seed::DecodeInt32(odd, 4, 1, out, true);
  EXPECT_EQ(out[0], 16777220.0f);
}

using FixedDecoder = void (*)(const unsigned char*, int, int, float*, bool);

struct FixedCase {
  const char* name;
  FixedDecoder decode;
  int width;
  std::vector<uint64_t> values;  // as stored, width bytes each
  std::vector<float> want;
};

// Stores values most or least significant byte first.
std::vector<unsigned char> Stored(const FixedCase& c, bool bigEndian) {
  std::vector<unsigned char> bytes;
  for (uint64_t v : c.values)
    for (int i = 0; i < c.width; ++i) {
      const int shift = 8 * (bigEndian ? c.width - 1 - i : i);
      bytes.push_back(static_cast<unsigned char>(v >> shift));
    }
  return bytes;
}

TEST(FixedWidth, BothByteOrdersAndRounding) {
  const uint64_t float64One = std::bit_cast<uint64_t>(1.0);
  const FixedCase cases[] = {
      {"int16", seed::DecodeInt16, 2, {0x7FFF, 0x8000, 0xFFFF, 0x0100}, {32767, -32768, -1, 256}},
      {"int32", seed::DecodeInt32, 4, {0xFFFFFFFE, 0x01000003}, {-2, 16777220}},  // nearest float
      {"float32",
       seed::DecodeFloat32,
       4,
       {0x3FC00000, 0xC1200000, 0x00000001, 0x7F800000},
       {1.5f, -10.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity()}},
      {"float64 to the nearest float",
       seed::DecodeFloat64,
       8,
       {std::bit_cast<uint64_t>(0.1), float64One + 1, std::bit_cast<uint64_t>(16777217.0),
        std::bit_cast<uint64_t>(16777219.0), std::bit_cast<uint64_t>(1e40), std::bit_cast<uint64_t>(-1e-50),
        std::bit_cast<uint64_t>(-2.5)},
       {0.1f, 1.0f, 16777216.0f, 16777220.0f, std::numeric_limits<float>::infinity(), -0.0f, -2.5f}},
  };
  for (const FixedCase& c : cases) {
    for (bool big : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (big ? " most" : " least") + " significant byte first");
      const auto bytes = Stored(c, big);
      std::vector<float> out(c.want.size(), 0.0f);
      DiagCapture diag;
      c.decode(bytes.data(), static_cast<int>(bytes.size()), static_cast<int>(out.size()), out.data(), big);
      for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(c.want[i])) << i << ": " << out[i];
      EXPECT_TRUE(diag.messages.empty());
    }
  }
  // Not-a-number stays one.
  const unsigned char nan64[8] = {0x7F, 0xF8, 0, 0, 0, 0, 0, 0};
  float out = 0;
  seed::DecodeFloat64(nan64, 8, 1, &out, true);
  EXPECT_TRUE(std::isnan(out));
}

TEST(FixedWidth, WhatFitsIsDecodedTheRestIsZero) {
  struct Case {
    const char* name;
    FixedDecoder decode;
    int width;
    const char* message;
  } cases[] = {
      {"int16", seed::DecodeInt16, 2, "Expected 40 16-bit values, only 37 fit in the record... Lost values will be Padded with Zeros\n"},
      {"int32", seed::DecodeInt32, 4, "Expected 40 32-bit values, only 18 fit in the record... Lost values will be Padded with Zeros\n"},
      {"float32", seed::DecodeFloat32, 4, "Expected 40 32-bit floats, only 18 fit in the record... Lost values will be Padded with Zeros\n"},
      {"float64", seed::DecodeFloat64, 8, "Expected 40 64-bit floats, only 9 fit in the record... Lost values will be Padded with Zeros\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly the bytes to the end of the record, so that an overrun is seen.
    const int length = 75;
    std::vector<unsigned char> data(static_cast<size_t>(length), 0x41);
    std::vector<float> out(40, kStale);
    DiagCapture diag;
    c.decode(data.data(), length, 40, out.data(), true);
    const int fit = length / c.width;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(out[static_cast<size_t>(i)] != 0.0f, i < fit) << i;
    EXPECT_EQ(diag.messages, std::vector<std::string>{c.message});
    std::vector<float> none(3, 0.0f);
    c.decode(data.data(), 0, 3, none.data(), true);
    EXPECT_EQ(none, std::vector<float>(3, 0.0f));
  }
}

// Whatever the header claims, nothing outside the R bytes is read: each case
// uses a buffer of exactly R bytes, so the address sanitizer sees any overrun.
TEST(DecoderBounds, NeverReadOutsideTheRecord) {
  struct Case {
    const char* name;
    int encoding, R, D, n;
    size_t messages;
  } cases[] = {
      {"int32 values run past the end", 3, 256, 64, 100, 1},
      {"int32 offset at the end", 3, 256, 256, 5, 1},
      {"steim1 less than a frame", 10, 256, 200, 10, 1},
      {"steim1 offset at the end", 10, 256, 256, 10, 1},
      {"steim2 less than a frame", 11, 256, 200, 10, 4},  // ours, two count lines, bad final value
      {"steim2 Xn beyond the end", 11, 256, 250, 10, 3},
      {"steim1 no samples, no frame", 10, 256, 240, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> rec(static_cast<size_t>(c.R), 0x55);
    std::vector<float> out(static_cast<size_t>(c.n), 0.0f);
    DiagCapture diag;
    const unsigned char* data = rec.data() + c.D;
    if (c.encoding == 3) seed::DecodeInt32(data, c.R - c.D, c.n, out.data(), true);
    if (c.encoding == 10) seed::DecodeSteim1(rec.data(), data, c.R, c.n, out.data(), true);
    if (c.encoding == 11) seed::DecodeSteim2(rec.data(), data, c.R, c.n, out.data(), true);
    EXPECT_EQ(diag.messages.size(), c.messages);
    if (c.encoding == 3 && c.D == 64) {
      for (int i = 0; i < 48; ++i) EXPECT_EQ(out[static_cast<size_t>(i)], 1431655765.0f);
      for (int i = 48; i < c.n; ++i) EXPECT_EQ(out[static_cast<size_t>(i)], 0.0f);
    } else {
      for (float v : out) EXPECT_EQ(v, 0.0f);
    }
  }
}

TEST(DecoderBounds, OffsetBeyondTheRecordDecodesNothing) {
  seedgen::Header h;
  h.encoding = 11;
  h.dataOffset = 600;
  h.recordLength = 512;
  h.sampleCount = 3;
  auto rec = seedgen::Record(h, {});
  seed::RecordHeader header;
  seed::ReadHeader(rec.data(), 512, header);
  std::vector<float> out(3, 0.0f);
  DiagCapture diag;
  seed::DecodeSamples(rec.data(), 512, header, out.data());
  EXPECT_EQ(out, (std::vector<float>{0, 0, 0}));
  ASSERT_EQ(diag.messages.size(), 1u);
  EXPECT_NE(diag.messages[0].find("600"), std::string::npos);
}

}  // namespace
