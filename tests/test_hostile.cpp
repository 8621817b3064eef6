// Whole runs over damaged copies of the real recordings: cut short, behind
// junk, with flipped bits, a wrong record length, records zeroed, and absurd
// sample counts. Whatever the damage, the run ends in order and every sample
// of every record it accepted is either in a data file with its FILELIST row
// or counted as not stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/archivecheck.h"
#include "convert/convertfromseed.h"
#include "platform/ini.h"
#include "support/dbfixture.h"
#include "support/fakehost.h"
#include "support/reference.h"
#include "support/seedgen.h"
#include "support/vezfile.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using testsupport::FakeHost;

constexpr const char* kNoData = "../shared/testdata/seed not found: real-data tests skipped";

struct Outcome {
  RunStats stats;
  uint64_t samplesInFiles = 0;
  size_t files = 0;
};

class Hostile : public testsupport::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    seeds = testsupport::SeedDataDir();
  }

  Bytes Real(const std::string& name) { return testsupport::ReadFileBytes((seeds / name).string()); }

  // Converts bytes as one input file into a fresh archive and checks that the
  // run ended in order and that the archive accounts for every sample.
  Outcome Convert(const Bytes& input, const std::string& quality = "DQ") {
    return ConvertFiles({input}, quality);
  }

  // The same for several input files in one run.
  Outcome ConvertFiles(const std::vector<Bytes>& inputs, const std::string& quality = "DQ") {
    testsupport::TempDir dir;
    const std::string data = dir / "data";
    fs::create_directory(data);
    platform::WritePrivateProfileString("DATA", "DIR", data, dir / "VEZ.ini");
    for (size_t i = 0; i < inputs.size(); ++i)
      testsupport::WriteFileBytes(dir / ("input" + std::to_string(i) + ".mseed"), inputs[i]);
    db->Exec("DELETE FROM FILELIST");

    FakeHost host;
    Outcome out;
    {
      // Decoder complaints about damaged records are expected; keep them
      // out of the test log.
      testsupport::DiagCapture quiet;
      CConvertFromSeed conv(&host, dir / "VEZ.ini");
      conv.SetConnectString(db->connect);
      conv.SetQuality(quality);
      for (size_t i = 0; i < inputs.size(); ++i) conv.AddFile(dir / ("input" + std::to_string(i) + ".mseed"));
      EXPECT_EQ(conv.Start(), 0);
      EXPECT_TRUE(host.WaitDone());
      conv.Join();
      out.stats = conv.Stats();
    }

    // Ended in order: one end notice after the closing text, which says
    // whether anything went wrong.
    EXPECT_EQ(host.done, 1);
    EXPECT_EQ(host.textsBeforeDone, host.texts.size());
    EXPECT_FALSE(out.stats.aborted);
    // Every input is read to its end; one that yields nothing counts as failed.
    EXPECT_EQ(out.stats.filesRead + out.stats.filesCutShort + out.stats.filesFailed, inputs.size());
    EXPECT_EQ(out.stats.filesFailed, out.stats.filesWithoutRecords);
    if (host.texts.empty()) {
      ADD_FAILURE() << "no status text at all";
    } else {
      EXPECT_EQ(host.texts.back(), out.stats.AnyFailure() ? "Data converted with errors" : "Data successfully converted");
    }

    // Every accepted sample is in a file, reported as not stored, or repeats
    // data already stored.
    std::vector<testsupport::VezFile> files;
    try {
      files = testsupport::ReadVezTree(data);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "a data file is not whole: " << e.what();
    }
    for (const auto& f : files) out.samplesInFiles += f.samples.size();
    out.files = files.size();
    EXPECT_EQ(out.samplesInFiles, out.stats.store.samplesWritten);
    const StoreStats& st = out.stats.store;
    EXPECT_EQ(out.samplesInFiles + st.samplesNotStored + st.samplesDuplicate + st.samplesConflicting, out.stats.samples);
    EXPECT_EQ(files.size(), out.stats.store.filesCreated);

    // Files and rows describe the same archive.
    const auto rows = db->Rows();
    EXPECT_EQ(rows.size(), files.size());
    odbc::Connection check;
    check.Open(db->connect);
    const archive::CheckReport report = archive::CheckArchive(data, check);
    EXPECT_EQ(report.files, files.size());
    EXPECT_EQ(report.samples, out.samplesInFiles);
    for (const archive::Finding& f : report.findings) {
      // A channel whose later records carry another rate keeps the rate of
      // its first record, as the store is meant to; its rows then count
      // samples at the later rate.
      if (f.kind == archive::FindingKind::kSampleCount && rateChangeAllowed) continue;
      ADD_FAILURE() << archive::FormatFinding(f);
    }
    return out;
  }

  fs::path seeds;
  bool rateChangeAllowed = false;
};

// Bytes of a real file, changed by a function.
struct Damage {
  std::string name;
  std::function<void(Bytes&)> apply;
};

uint64_t DeclaredSamples(const std::vector<testsupport::RefRecord>& refs, size_t records) {
  uint64_t n = 0;
  for (size_t i = 0; i < records && i < refs.size(); ++i) n += static_cast<uint64_t>(refs[i].Int("nsamp"));
  return n;
}

TEST_P(Hostile, TruncatedAtEveryRecordBoundaryAndInsideRecords) {
  if (seeds.empty()) GTEST_SKIP() << kNoData;
  // Files of one record length whose records are all of quality D or Q:
  // a file cut after k records and anywhere inside record k + 1 converts
  // exactly the first k records.
  struct Case {
    std::string file;
    size_t stride;  // every record boundary of short files, every few of long ones
  };
  for (const Case& c : {Case{"gaps.mseed", 7}, Case{"1T_MONN_00_EDH.mseed", 1}, Case{"ffbx_unrotated_gaps.mseed", 1},
                        Case{"2005-07-23-1452-04S.CER___030.mseed", 1}, Case{"three_records_zero_data_in_middle.mseed", 1},
                        Case{"reclen_1024_without_sequence_numbers.mseed", 1},
                        Case{"CH.BALST..LH_two_channels", 61}}) {
    const Bytes whole = Real(c.file);
    const auto refs = testsupport::ReadReference((seeds / "reference" / (c.file + ".txt")).string());
    ASSERT_FALSE(refs.empty()) << c.file;
    const size_t R = static_cast<size_t>(refs[0].Int("len"));
    const size_t records = whole.size() / R;
    std::vector<size_t> cuts;
    for (size_t k = 0; k < records; k += c.stride) cuts.push_back(k);
    cuts.push_back(records);
    for (size_t k : cuts) {
      for (size_t extra : {size_t{0}, size_t{1}, R / 2, R - 1}) {
        const size_t cut = k * R + extra;
        if (cut > whole.size() || (k == records && extra > 0)) continue;
        SCOPED_TRACE(c.file + " cut at byte " + std::to_string(cut));
        const Outcome out = Convert(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        EXPECT_EQ(out.stats.recordsConverted, k);
        EXPECT_EQ(out.stats.samples, DeclaredSamples(refs, k));
        if (cut < 128) {
          EXPECT_EQ(out.stats.filesWithoutRecords, 1u);
        }
        // The bytes of a record cut short are named, and the run says it had errors.
        EXPECT_EQ(out.stats.filesCutShort, extra > 0 && cut >= 128 ? 1u : 0u);
      }
    }
  }
}

TEST_P(Hostile, JunkInFront) {
  if (seeds.empty()) GTEST_SKIP() << kNoData;
  const Bytes gaps = Real("gaps.mseed");
  std::mt19937 random(7);
  for (size_t junk : {1, 15, 16, 100, 112, 511, 512, 4103, 65536 + 48}) {
    for (bool quiet : {true, false}) {
      // Quiet junk holds no quality code the search accepts; loud junk is
      // random bytes that may well pass as a header.
      SCOPED_TRACE(std::to_string(junk) + (quiet ? " quiet" : " random") + " junk bytes");
      Bytes input(junk);
      for (auto& b : input) {
        b = static_cast<unsigned char>(random());
        if (quiet && (b == 'D' || b == 'Q')) b = 'x';
      }
      input.insert(input.end(), gaps.begin(), gaps.end());
      const Outcome out = Convert(input);
      // A record is found only at a multiple of 16 bytes.
      if (quiet && junk % 16 == 0) {
        EXPECT_EQ(out.stats.recordsConverted, 128u);
      } else if (quiet) {
        EXPECT_LT(out.stats.recordsConverted, 128u);
      }
    }
  }
}

TEST_P(Hostile, RandomBitFlips) {
  if (seeds.empty()) GTEST_SKIP() << kNoData;
  rateChangeAllowed = true;
  for (const std::string file : {"gaps.mseed", "ffbx_unrotated_gaps.mseed", "1T_MONN_00_EDH.mseed", "fullseed.mseed",
                                 "2015282_225051_0ae4c_1_1.msd", "tarfile_impostor.mseed",
                                 "Int32-oneseries-mixedlengths-mixedorder.mseed", "Steim2-AllDifferences-BE.mseed"}) {
    const Bytes original = Real(file);
    for (unsigned seed = 1; seed <= 6; ++seed) {
      for (int flips : {1, 16, 256}) {
        SCOPED_TRACE(file + ": " + std::to_string(flips) + " bits flipped, seed " + std::to_string(seed));
        std::mt19937 random(seed * 1000 + static_cast<unsigned>(flips));
        Bytes input = original;
        std::uniform_int_distribution<size_t> at(0, input.size() * 8 - 1);
        for (int i = 0; i < flips; ++i) {
          const size_t bit = at(random);
          input[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        }
        Convert(input, "DQRM");
      }
    }
  }
}

TEST_P(Hostile, HeaderFieldsDamaged) {
  if (seeds.empty()) GTEST_SKIP() << kNoData;
  rateChangeAllowed = true;
  const Bytes gaps = Real("gaps.mseed");
  constexpr size_t R = 512;
  const size_t records = gaps.size() / R;
  auto each = [&](Bytes& b, const std::function<bool(size_t)>& which, const std::function<void(unsigned char*)>& f) {
    for (size_t k = 0; k < records; ++k)
      if (which(k)) f(b.data() + k * R);
  };
  auto first = [](size_t k) { return k == 0; };
  auto middle = [&](size_t k) { return k == records / 2; };
  auto last = [&](size_t k) { return k == records - 1; };
  auto all = [](size_t) { return true; };
  auto odd = [](size_t k) { return k % 2 == 1; };
  auto put16 = [](unsigned char* p, int offset, unsigned v) {
    p[offset] = static_cast<unsigned char>(v >> 8);
    p[offset + 1] = static_cast<unsigned char>(v);
  };

  std::vector<Damage> damage;
  for (int exponent : {0, 7, 8, 10, 12, 13, 14, 255}) {
    for (auto [where, which] : {std::pair<const char*, std::function<bool(size_t)>>{"first", first},
                                {"middle", middle}, {"all", all}}) {
      damage.push_back({std::string("record length exponent ") + std::to_string(exponent) + " in " + where + " record",
                        [=](Bytes& b) { each(b, which, [=](unsigned char* p) { p[54] = static_cast<unsigned char>(exponent); }); }});
    }
  }
  for (auto [where, which] : {std::pair<const char*, std::function<bool(size_t)>>{"first", first}, {"middle", middle},
                              {"last", last}, {"every other", odd}, {"every", all}}) {
    damage.push_back({std::string("zero-filled ") + where + " record",
                      [=](Bytes& b) { each(b, which, [](unsigned char* p) { std::fill(p, p + R, 0); }); }});
    damage.push_back({std::string("65535 samples declared in ") + where + " record",
                      [=](Bytes& b) { each(b, which, [&](unsigned char* p) { put16(p, 30, 65535); }); }});
  }
  for (unsigned offset : {0u, 1u, 48u, 63u, 448u, 449u, 511u, 512u, 65535u})
    damage.push_back({"data offset " + std::to_string(offset) + " in every record",
                      [=](Bytes& b) { each(b, all, [&](unsigned char* p) { put16(p, 44, offset); }); }});
  for (int encoding : {0, 1, 3, 4, 5, 11, 19, 255})
    damage.push_back({"encoding " + std::to_string(encoding) + " in every record",
                      [=](Bytes& b) { each(b, all, [=](unsigned char* p) { p[52] = static_cast<unsigned char>(encoding); }); }});
  damage.push_back({"rate factor and multiplier at their extremes", [&](Bytes& b) {
                      each(b, all, [&](unsigned char* p) { put16(p, 32, 0x8000), put16(p, 34, 0x7FFF); });
                    }});
  damage.push_back({"rate changing from record to record", [&](Bytes& b) {
                      size_t k = 0;
                      each(b, all, [&](unsigned char* p) { put16(p, 32, static_cast<unsigned>(1 + (k++ % 5) * 100)); });
                    }});
  damage.push_back({"start time fields at their maximum", [&](Bytes& b) {
                      each(b, odd, [&](unsigned char* p) {
                        put16(p, 20, 0xFFFF), put16(p, 22, 0xFFFF), p[24] = p[25] = p[26] = 0xFF, put16(p, 28, 0xFFFF);
                      });
                    }});
  damage.push_back({"all start times equal", [&](Bytes& b) {
                      each(b, all, [&](unsigned char* p) { std::copy(b.data() + 20, b.data() + 30, p + 20); });
                    }});

  for (const Damage& d : damage) {
    SCOPED_TRACE(d.name);
    Bytes input = gaps;
    d.apply(input);
    Convert(input);
  }

  // What the search and the sample counts must come to for a few of them.
  {
    Bytes input = gaps;
    std::fill(input.begin(), input.begin() + R, 0);
    EXPECT_EQ(Convert(input).stats.recordsConverted, records - 1) << "first record zeroed";
  }
  {
    Bytes input = gaps;
    each(input, odd, [](unsigned char* p) { std::fill(p, p + R, 0); });
    const Outcome out = Convert(input);
    EXPECT_EQ(out.stats.recordsConverted, records / 2);
    EXPECT_EQ(out.stats.recordsNotData, records / 2);
  }
  {
    Bytes input = gaps;
    each(input, all, [&](unsigned char* p) { put16(p, 30, 65535); });
    const Outcome out = Convert(input);
    EXPECT_EQ(out.stats.samples, records * 65535u);
    const StoreStats& st = out.stats.store;
    EXPECT_EQ(out.samplesInFiles + st.samplesNotStored + st.samplesDuplicate + st.samplesConflicting,
              records * 65535u);
  }
}

TEST_P(Hostile, DamagedFileBetweenGoodOnes) {
  if (seeds.empty()) GTEST_SKIP() << kNoData;
  rateChangeAllowed = true;
  // The store lives across input files, so a channel continues from one file
  // into the next; a damaged file in between must not cost the good ones
  // anything.
  const Bytes gaps = Real("gaps.mseed");
  const long half = static_cast<long>(gaps.size() / 2);
  const Bytes first(gaps.begin(), gaps.begin() + half), second(gaps.begin() + half, gaps.end());
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Bytes damaged = gaps;
    for (int i = 0; i < 64; ++i) damaged[random() % damaged.size()] ^= static_cast<unsigned char>(1u << (random() % 8));
    // Cut inside a record as well.
    damaged.resize(damaged.size() - 100 * seed);
    const Outcome alone = Convert(damaged);
    const Outcome out = ConvertFiles({first, damaged, second});
    EXPECT_EQ(out.stats.recordsConverted, 128u + alone.stats.recordsConverted);
    EXPECT_EQ(out.stats.samples, DeclaredSamples(testsupport::ReadReference((seeds / "reference" / "gaps.mseed.txt").string()), 128) +
                                     alone.stats.samples);
  }
}

TEST_P(Hostile, GeneratedRecordsWithHugeCounts) {
  // Records whose frames hold few samples but whose header declares 65535,
  // in every encoding and at every record length.
  for (int encoding : {3, 10, 11}) {
    for (int length : {256, 512, 4096, 8192}) {
      SCOPED_TRACE("encoding " + std::to_string(encoding) + ", records of " + std::to_string(length));
      Bytes input;
      for (int r = 0; r < 3; ++r) {
        seedgen::Header h;
        h.encoding = encoding;
        h.recordLength = length;
        h.sampleCount = 65535;
        h.minute = r;
        std::vector<int32_t> samples(40);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int32_t>(i * i) - 700;
        const Bytes rec = seedgen::EncodeRecord(h, samples);
        input.insert(input.end(), rec.begin(), rec.end());
      }
      const Outcome out = Convert(input);
      EXPECT_EQ(out.stats.recordsConverted, 3u);
      EXPECT_EQ(out.stats.samples, 3u * 65535u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Db, Hostile, ::testing::Values(testsupport::DbCase("sqlite")), testsupport::BackendName);

}  // namespace
