// miniSEED 3 input: real files and the repacked copies of the version 2
// test data convert as their originals do; damaged records and identifiers
// that do not map are refused loudly, and nothing of them is stored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "convert/reading.h"
#include "convert/streams.h"
#include "convert/selection.h"
#include "seed/record3.h"
#include "seed/seedtime.h"
#include "support/localarchive.h"
#include "support/seedgen.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// How a version 3 copy's archive compares with its original's.
enum class Twin {
  kSame,       // the same files and rows
  kSameWhole,  // the same, but the original's cut-short tail is not in the copy
  kMoved,      // start times moved by one constant per channel, under a second
  kRate,       // the copy's rate is blockette 100's, the original's the factor and multiplier's
  kMoreFound,  // the copy holds records the version 2 reader steps over; the original's are among
               // them, under a second later when moved
};

struct TwinCase {
  std::string copy;      // under mseed3/
  std::string original;  // under seed/, or under mseed3/ when it starts with "mseed3:"
  Twin twin;
};

std::vector<TwinCase> TwinCases() {
  std::vector<TwinCase> cases{
      {"testdata-3channel-signal.mseed3", "mseed3:testdata-3channel-signal.mseed2", Twin::kMoved},
      // A real version 3 file against the repacked copy of the version 2 file it was made from.
      {"testdata-oneseries-mixedlengths-mixedorder.mseed3",
       "mseed3:repacked/Int32-oneseries-mixedlengths-mixedorder.mseed.mseed3", Twin::kSame}};
  // Blockette 1001 microseconds or a time correction that was not applied,
  // folded into the copy's start.
  const std::map<std::string, Twin> exceptions{
      {"gaps.mseed", Twin::kMoved},
      {"three_records_zero_data_in_middle.mseed", Twin::kMoved},
      {"two_channels.mseed", Twin::kMoved},
      {"Int32-oneseries-mixedlengths-mixedorder.mseed", Twin::kMoreFound},  // and a 128-byte record
      {"brokenlastrecord.mseed", Twin::kSameWhole},
      {"Steim2-AllDifferences-BE.mseed", Twin::kMoved},
      {"Steim1-AllDifferences-BE.mseed", Twin::kRate},
      {"Steim1-AllDifferences-LE.mseed", Twin::kRate},
      {"various_noise_records.mseed", Twin::kMoreFound},
  };
  const fs::path dir = Mseed3DataDir() / "repacked";
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".mseed3") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string original = name.substr(0, name.size() - std::string(".mseed3").size());
    const auto it = exceptions.find(original);
    cases.push_back({"repacked/" + name, original, it == exceptions.end() ? Twin::kSame : it->second});
  }
  return cases;
}

fs::path OriginalPath(const std::string& original) {
  const std::string prefix = "mseed3:";
  if (original.rfind(prefix, 0) == 0) return Mseed3DataDir() / original.substr(prefix.size());
  return SeedDataDir() / original;
}

struct Row {
  std::string cpath, sta, ch;
  double sps = 0, tBegin = 0, tQty = 0;
  std::string rest;  // FOFF, GAIN, DATATYPE, CREATER
};

Row ParseRow(const std::string& text) {
  std::vector<std::string> f;
  size_t from = 0;
  for (size_t bar; (bar = text.find('|', from)) != std::string::npos; from = bar + 1)
    f.push_back(text.substr(from, bar - from));
  f.push_back(text.substr(from));
  Row r{f[0], f[1], f[2], std::stod(f[3]), std::stod(f[4]), std::stod(f[5]), f[6] + f[7] + f[8] + f[9]};
  return r;
}

// Rows of each channel in time order.
std::map<std::string, std::vector<Row>> RowsByChannel(const ArchiveImage& image) {
  std::map<std::string, std::vector<Row>> channels;
  for (const std::string& text : image.rows) {
    Row r = ParseRow(text);
    channels[r.sta + "." + r.ch].push_back(r);
  }
  for (auto& [key, rows] : channels)
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.tBegin < b.tBegin; });
  return channels;
}

std::string Samples(const ArchiveImage& image, std::string cpath) {
  std::replace(cpath.begin(), cpath.end(), '\\', '/');
  const auto it = image.files.find(cpath);
  return it == image.files.end() ? "(missing)" : it->second.substr(512);
}

// The same samples in the same number of files and rows per channel; only
// the start (by one constant per channel, under a second) or the rate may differ.
void ExpectSameSamples(const ArchiveImage& got, const ArchiveImage& want, Twin twin) {
  const auto g = RowsByChannel(got), w = RowsByChannel(want);
  ASSERT_EQ(g.size(), w.size());
  for (const auto& [channel, wantRows] : w) {
    SCOPED_TRACE(channel);
    ASSERT_TRUE(g.count(channel));
    const auto& gotRows = g.at(channel);
    ASSERT_EQ(gotRows.size(), wantRows.size()) << ::testing::PrintToString(got.rows) << "\n"
                                               << ::testing::PrintToString(want.rows);
    const double shift = gotRows[0].tBegin - wantRows[0].tBegin;
    EXPECT_LT(std::fabs(shift), 1.0);
    for (size_t i = 0; i < wantRows.size(); ++i) {
      const Row &a = gotRows[i], &b = wantRows[i];
      EXPECT_EQ(Samples(got, a.cpath), Samples(want, b.cpath)) << b.cpath;
      EXPECT_EQ(a.rest, b.rest);
      if (twin == Twin::kMoved) {
        EXPECT_NEAR(a.tBegin - b.tBegin, shift, 2e-5) << b.cpath;  // seconds pass through single precision
        EXPECT_EQ(a.sps, b.sps);
        EXPECT_EQ(a.tQty, b.tQty);
      } else {
        EXPECT_EQ(a.tBegin, b.tBegin);
        EXPECT_NEAR(a.tQty * a.sps, b.tQty * b.sps, 1e-6);
      }
    }
  }
}

// Every file of want lies in a file of got, at its time, sample for sample;
// got holds more.
void ExpectContains(const ArchiveImage& got, const ArchiveImage& want) {
  size_t gotBytes = 0, wantBytes = 0;
  for (const auto& [path, bytes] : got.files) gotBytes += bytes.size();
  for (const auto& [path, bytes] : want.files) wantBytes += bytes.size();
  EXPECT_GT(gotBytes, wantBytes);
  const auto g = RowsByChannel(got);
  for (const auto& [channel, wantRows] : RowsByChannel(want))
    for (const Row& b : wantRows) {
      const auto& candidates = g.at(channel);
      const std::string samples = Samples(want, b.cpath);
      EXPECT_TRUE(std::any_of(candidates.begin(), candidates.end(), [&](const Row& a) {
        const long long at = std::llround((b.tBegin - a.tBegin) * a.sps);
        const std::string held = Samples(got, a.cpath);
        return a.sps == b.sps && at >= 0 && static_cast<size_t>(at) * 4 + samples.size() <= held.size() &&
               held.compare(static_cast<size_t>(at) * 4, samples.size(), samples) == 0;
      })) << b.cpath;
    }
}

class Mseed3 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Mseed3DataDir().empty()) GTEST_SKIP() << "../shared/testdata/mseed3 not found: miniSEED 3 tests skipped";
    archive = LocalArchive::Sqlite();
  }
  ArchiveImage ConvertAlone(const std::vector<std::string>& args, ProgramOutcome* outcome = nullptr) {
    archive->Wipe();
    const ProgramOutcome o = archive->Convert(args);
    if (outcome) *outcome = o;
    return archive->Image();
  }
  std::unique_ptr<LocalArchive> archive;
  TempDir tmp;
};

TEST_F(Mseed3, EveryCopyConvertsAsItsOriginal) {
  for (const TwinCase& c : TwinCases()) {
    SCOPED_TRACE(c.copy);
    ProgramOutcome o2, o3;
    const ArchiveImage want = ConvertAlone({"--quality", "DQRM", OriginalPath(c.original).string()}, &o2);
    const ArchiveImage got = ConvertAlone({"--quality", "DQRM", (Mseed3DataDir() / c.copy).string()}, &o3);
    ASSERT_FALSE(want.rows.empty() && c.original != "rt130_sr0_cropped.mseed") << o2.err;
    EXPECT_EQ(o3.status, c.twin == Twin::kSame ? o2.status : 0) << o2.err << o3.err;
    switch (c.twin) {
      case Twin::kSame:
      case Twin::kSameWhole:
        ExpectSameArchive(got, want);
        break;
      case Twin::kMoved:
      case Twin::kRate:
        ExpectSameSamples(got, want, c.twin);
        break;
      case Twin::kMoreFound:
        ExpectContains(got, want);
        break;
    }
  }
}

TEST_F(Mseed3, VersionsMixedInOneFileAndInOneRun) {
  const std::vector<std::string> originals{"tarfile_impostor.mseed", "1T_MONN_00_EDH.mseed",
                                           "int32_INT32_littleEndian.mseed", "float64_Float64_bigEndian.mseed"};
  std::vector<std::string> v2, mixed;
  std::vector<unsigned char> joined;
  for (size_t i = 0; i < originals.size(); ++i) {
    v2.push_back((SeedDataDir() / originals[i]).string());
    mixed.push_back(i % 2 ? (Mseed3DataDir() / "repacked" / (originals[i] + ".mseed3")).string() : v2.back());
    const auto bytes = ReadFileBytes(mixed.back());
    joined.insert(joined.end(), bytes.begin(), bytes.end());
  }
  WriteFileBytes(tmp / "mixed.mseed", joined);
  const ArchiveImage want = ConvertAlone(v2);
  ASSERT_FALSE(want.rows.empty());
  ProgramOutcome o;
  ExpectSameArchive(ConvertAlone(mixed, &o), want);
  EXPECT_EQ(o.status, 0) << o.err;
  ExpectSameArchive(ConvertAlone({tmp / "mixed.mseed"}, &o), want);
  EXPECT_EQ(o.status, 0) << o.err;
}

TEST_F(Mseed3, SelectionShardsJobsAndTheStationScanReadVersion3) {
  const std::string v2 = (SeedDataDir() / "ffbx_unrotated_gaps.mseed").string();
  const std::string v3 = (Mseed3DataDir() / "repacked" / "ffbx_unrotated_gaps.mseed.mseed3").string();
  convert::CStreamRule streams;
  convert::ScanStreams(v3, "DQ", convert::CSelection{}, streams);
  EXPECT_EQ(streams.Stations(), (std::set<std::string>{"FFB1", "FFB2", "FFB3"}));

  const ArchiveImage whole = ConvertAlone({"--jobs", "1", v3});
  ASSERT_EQ(whole.rows.size(), 19u);
  ExpectSameArchive(ConvertAlone({"--jobs", "2", v3}), whole);
  ExpectSameArchive(ConvertAlone({"--stations", "FFB2", "--channels", "BH?", v3}),
                    ConvertAlone({"--stations", "FFB2", "--channels", "BH?", v2}));
  archive->Wipe();
  archive->Convert({"--shard", "1/2", v3});
  archive->Convert({"--shard", "2/2", v3});
  ExpectSameArchive(archive->Image(), whole);
}

// The scan reads each header where the record lies: a header laid out
// unlike the record's before it must not be read from that one's bytes.
TEST(StationScan, EachHeaderIsReadFromItsOwnRecord) {
  TempDir tmp;
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 4; ++i) {
    seedgen::Header log;  // a text record, which the scan passes over
    log.station = "LOG";
    log.encoding = 0;
    log.minute = i;
    const auto text = seedgen::Record(log, std::vector<unsigned char>(100, 'x'));
    seedgen::Header far;  // blockette 1000 behind a blockette 1001
    far.station = "FAR";
    far.blockette1000 = 56;
    far.littleEndian = true;
    far.minute = i;
    const auto data = seedgen::EncodeRecord(far, std::vector<int32_t>(40, 7));
    seedgen::Header3 h3;
    h3.id = "FDSN:XX_V3_00_B_H_Z";
    h3.minute = i;
    const auto r3 = seedgen::EncodeRecord3(h3, std::vector<int32_t>(40, 7));
    for (const auto* r : {&text, &data, &r3}) bytes.insert(bytes.end(), r->begin(), r->end());
  }
  WriteFileBytes(tmp / "mixed.mseed", bytes);
  convert::CStreamRule streams;
  convert::ScanStreams(tmp / "mixed.mseed", "DQ", convert::CSelection{}, streams);
  EXPECT_EQ(streams.Stations(), (std::set<std::string>{"FAR", "V3"}));
  const auto windows = streams.Windows();
  const double start = seed::DateToSeconds(2011, 1, 1, 0, 0, 0);
  for (const char* station : {"FAR", "V3"}) {
    SCOPED_TRACE(station);
    ASSERT_TRUE(windows.count({station, "BHZ"}));
    const archive::ChannelWindow& w = windows.at({station, "BHZ"});
    EXPECT_DOUBLE_EQ(w.begin, start);
    EXPECT_DOUBLE_EQ(w.end, start + 180 + 2);
    EXPECT_DOUBLE_EQ(w.minSps, 20);
  }
}

// A large file's halves are scanned at once. The second counts only where
// the first ends on it: not where a long record covers the half-way point
// and holds, at that very byte, what looks like a record of another station.
TEST(StationScan, HalvesScannedAtOnceSeeWhatOneReaderSees) {
  constexpr int kRecords = 4400;  // 18 MB of 4096-byte records: large enough to be split
  auto record = [](const std::string& station, int i, int length) {
    seedgen::Header h;
    h.station = station;
    h.recordLength = length;
    h.encoding = 3;
    h.hour = i / 3600;
    h.minute = i / 60 % 60;
    h.second = i % 60;
    return seedgen::EncodeRecord(h, std::vector<int32_t>(20, i));
  };
  for (const bool covered : {false, true}) {
    SCOPED_TRACE(covered ? "a long record covers the half-way point" : "records of one length");
    TempDir tmp;
    std::vector<unsigned char> bytes;
    const size_t half = (kRecords + (covered ? 2 : 0)) / 2 * 4096;
    for (int i = 0; i < kRecords; ++i) {
      // Station C only in the second half, so that merging must add it.
      const std::string station = i < kRecords / 2 ? (i % 2 ? "A" : "B") : std::string(1, "ABC"[i % 3]);
      if (covered && bytes.size() == half - 4096) {
        std::vector<unsigned char> payload(8192 - 64, 0);
        const auto inner = record("FAKE", i, 4096);
        std::copy(inner.begin(), inner.end(), payload.begin() + 4096 - 64);
        seedgen::Header h;
        h.station = "A";
        h.recordLength = 8192;
        h.encoding = 3;
        h.sampleCount = 1;
        const auto outer = seedgen::Record(h, payload);
        bytes.insert(bytes.end(), outer.begin(), outer.end());
      }
      const auto r = record(station, i, 4096);
      bytes.insert(bytes.end(), r.begin(), r.end());
    }
    WriteFileBytes(tmp / "large.mseed", bytes);
    convert::CStreamRule one, two;
    convert::ScanStreams(tmp / "large.mseed", "DQ", convert::CSelection{}, one, nullptr, 1);
    convert::ScanStreams(tmp / "large.mseed", "DQ", convert::CSelection{}, two, nullptr, 2);
    EXPECT_EQ(one.Stations(), (std::set<std::string>{"A", "B", "C"}));
    EXPECT_EQ(two.Stations(), one.Stations());
    const auto want = one.Windows(), got = two.Windows();
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [key, w] : want) {
      SCOPED_TRACE(key.first);
      ASSERT_TRUE(got.count(key));
      EXPECT_EQ(got.at(key).begin, w.begin);
      EXPECT_EQ(got.at(key).end, w.end);
      EXPECT_EQ(got.at(key).minSps, w.minSps);
    }
  }
}

// Found by fuzz_record_length: a header shorter than a version 2 probe in
// the last bytes of the search's first read window.
TEST(Mseed3Search, AHeaderNearTheEndOfTheFirstReadWindowIsFound) {
  TempDir tmp;
  for (size_t zeros : {size_t{65545}, size_t{65530}, size_t{3}}) {
    std::vector<unsigned char> bytes(zeros, 0);
    const auto r = seedgen::EncodeRecord3({}, {1, 2, 3});
    bytes.insert(bytes.end(), r.begin(), r.end());
    WriteFileBytes(tmp / "late.mseed3", bytes);
    const int fd = ::open((tmp / "late.mseed3").c_str(), O_RDONLY);
    int32_t recLen = 0;
    off_t failedAt = 0;
    EXPECT_EQ(convert::FindFirstRecord(fd, "DQ", recLen, failedAt), static_cast<long>(zeros));
    EXPECT_GT(recLen, 0);
    ::close(fd);
  }
}

// Records of odd lengths, and longer than one read, wherever they fall in
// the reader's buffer: from a file and from a pipe, checked and scanned.
TEST(RecordReader, HandsOutEveryRecordWhateverItsLengthAndWhereItFalls) {
  TempDir tmp;
  const std::vector<unsigned char> before{'x', 'y', 'z'};
  std::vector<unsigned char> bytes = before;
  std::vector<std::vector<unsigned char>> records;
  struct Shape {
    uint32_t count;
    int encoding;  // 3: 4 bytes a sample, 5: 8
    const char* extra;
  };
  const Shape shapes[] = {{1, 3, ""},     {3, 3, "{\"a\":1}"}, {1000, 3, ""}, {65000, 5, "{\"b\":22}"},
                          {7, 3, ""},     {65000, 3, ""},     {2, 3, "{}"}};
  for (int round = 0; round < 3; ++round)
    for (const auto& [count, encoding, extra] : shapes) {
      seedgen::Header3 h;
      h.encoding = encoding;
      h.extra = extra;
      h.minute = static_cast<int>(records.size());
      std::vector<int32_t> samples(count);
      for (uint32_t i = 0; i < count; ++i) samples[i] = static_cast<int32_t>(i * 7 + records.size());
      records.push_back(seedgen::EncodeRecord3(h, samples));
      bytes.insert(bytes.end(), records.back().begin(), records.back().end());
    }
  WriteFileBytes(tmp / "odd.mseed3", bytes);
  for (const bool pipe : {false, true})
    for (const bool verify : {true, false}) {
      SCOPED_TRACE(std::string(pipe ? "pipe" : "file") + (verify ? ", checked" : ", scanned"));
      int fds[2] = {-1, -1};
      std::thread writer;
      if (pipe) {
        ASSERT_EQ(::pipe(fds), 0);
        writer = std::thread([&] {
          for (size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(fds[1], bytes.data() + at, std::min<size_t>(bytes.size() - at, 65537));
            if (n <= 0) break;
            at += static_cast<size_t>(n);
          }
          ::close(fds[1]);
        });
        unsigned char skip[3];
        ASSERT_EQ(::read(fds[0], skip, 3), 3);
      } else {
        fds[0] = ::open((tmp / "odd.mseed3").c_str(), O_RDONLY);
        ASSERT_EQ(::lseek(fds[0], 3, SEEK_SET), 3);
      }
      convert::RecordReader reader(fds[0], before.size(), verify);
      std::span<unsigned char> record;
      convert::Framed framed;
      int32_t recLen = 0;
      size_t offset = before.size(), n = 0;
      for (; reader.Next(record, recLen, framed) == 1; ++n) {
        ASSERT_LT(n, records.size());
        EXPECT_EQ(framed.damage, seed::Damage::kNone) << "record " << n;
        EXPECT_EQ(framed.offset, offset) << "record " << n;
        ASSERT_EQ(record.size(), records[n].size()) << "record " << n;
        EXPECT_TRUE(std::equal(record.begin(), record.end(), records[n].begin())) << "record " << n;
        offset += record.size();
      }
      EXPECT_EQ(n, records.size());
      EXPECT_EQ(reader.Remainder(), 0u);
      ::close(fds[0]);
      if (writer.joinable()) writer.join();
    }
}

// Offsets of the records of a version 3 file.
std::vector<size_t> RecordOffsets(const std::vector<unsigned char>& bytes) {
  std::vector<size_t> at;
  for (size_t p = 0; p < bytes.size(); p += static_cast<size_t>(seed::Record3Length(bytes.data() + p))) at.push_back(p);
  return at;
}

void PutLE32(std::vector<unsigned char>& r, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

TEST_F(Mseed3, DamagedRecordsAreRefusedAndTheRestConverted) {
  const std::string copy = (Mseed3DataDir() / "repacked" / "gaps.mseed.mseed3").string();
  const std::vector<unsigned char> good = ReadFileBytes(copy);
  const std::vector<size_t> at = RecordOffsets(good);
  ASSERT_EQ(at.size(), 128u);
  const size_t victim = at[5], last = at.back();
  ProgramOutcome o;
  ConvertAlone({copy}, &o);
  const long whole = ParseRunSummary(o.err).samples;
  const auto countAt = [&](size_t offset) {
    return static_cast<long>(seed::LoadLE32(good.data() + offset + seed::k3SampleCount));
  };

  struct Case {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> damage;
    size_t offset;
    const char* message;
  };
  const Case cases[] = {
      {"a flipped data byte", [&](auto& b) { b[victim + 200] ^= 0x40; }, victim,
       "1 record with a bad CRC is not converted"},
      {"a data length that lies", [&](auto& b) { PutLE32(b, victim + seed::k3DataLength, 1000); }, victim,
       "1 record with a bad CRC is not converted"},
      {"a data length past any record", [&](auto& b) { PutLE32(b, victim + seed::k3DataLength, 0xFFFFFFF0u); },
       victim, "1 record whose lengths do not hold their data is not converted"},
      {"a count its data cannot hold, CRC made to match",
       [&](auto& b) {
         std::vector<unsigned char> r(b.begin() + victim, b.begin() + at[6]);
         PutLE32(r, seed::k3SampleCount, 5000);
         seedgen::SetCrc3(r);
         std::copy(r.begin(), r.end(), b.begin() + victim);
       },
       victim, "1 record whose lengths do not hold their data is not converted"},
      {"a file cut inside its last record", [&](auto& b) { b.resize(last + 100); }, last,
       "1 record running past the end of the file is not converted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> bytes = good;
    c.damage(bytes);
    WriteFileBytes(tmp / "damaged.mseed3", bytes);
    ConvertAlone({tmp / "damaged.mseed3"}, &o);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("damaged.mseed3: " + std::string(c.message) + " (at byte " + std::to_string(c.offset) + ")"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(ParseRunSummary(o.err).samples, whole - countAt(c.offset)) << o.err;
    EXPECT_NE(o.err.find(", 1 damaged"), std::string::npos) << o.err;
    EXPECT_TRUE(archive->Check().findings.empty()) << Describe(archive->Check());
  }
}

std::vector<int32_t> Ramp(int n, int from) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = from + 3 * i - (i % 7) * 50;
  return v;
}

TEST_F(Mseed3, IdentifiersThatDoNotMapAreNamedPerStream) {
  struct Case {
    const char* id;
    const char* reason;  // empty: converted
  };
  const Case cases[] = {
      {"FDSN:XX_ABC_00_B_H_Z", ""},
      {"FDSN:XX_ABC__L_H_Z", ""},
      {"FDSN:XX_ABC_00_B_H_ZZ", "band, source and subsource are not one character each"},
      {"FDSN:XX_AB-C_00_B_H_Z", "station code is not a safe file name"},
      {"FDSN:XX_ABCDEFGHI_00_B_H_Z", "station code longer than 8 characters"},
      {"FDSN:XX_ABC_00_BHZ", "not of the form FDSN:NET_STA_LOC_B_S_SS"},
      {"XX.ABC.00.BHZ", "not an FDSN source identifier"},
  };
  std::vector<unsigned char> file;
  int converted = 0;
  for (const Case& c : cases)
    for (int k = 0; k < 2; ++k) {
      seedgen::Header3 h;
      h.id = c.id;
      h.minute = k;
      const auto r = seedgen::EncodeRecord3(h, Ramp(1200, k * 5000));
      file.insert(file.end(), r.begin(), r.end());
      converted += !*c.reason;
    }
  WriteFileBytes(tmp / "ids.mseed3", file);
  ProgramOutcome o;
  const ArchiveImage image = ConvertAlone({tmp / "ids.mseed3"}, &o);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(ParseRunSummary(o.err).samples, converted * 1200L) << o.err;
  EXPECT_NE(o.err.find(", 10 with codes the archive cannot keep"), std::string::npos) << o.err;
  for (const Case& c : cases)
    if (*c.reason) {
      EXPECT_NE(o.err.find("ids.mseed3: 2 records are not converted: identifier \"" + std::string(c.id) + "\": " +
                           c.reason),
                std::string::npos)
          << o.err;
    }
  EXPECT_EQ(image.rows.size(), 2u);  // BHZ and LHZ of ABC, each a file of its two records
}

TEST_F(Mseed3, PublicationVersionsAreQualitiesForQuality) {
  // Publication version -> the channel its record is written to.
  const std::map<int, std::string> versions{{1, "R"}, {2, "D"}, {3, "Q"}, {4, "M"}, {0, "Z"}, {9, "N"}};
  std::vector<unsigned char> file;
  for (const auto& [version, subsource] : versions) {
    seedgen::Header3 h;
    h.id = "FDSN:XX_PUB_00_B_H_" + subsource;
    h.publicationVersion = version;
    h.encoding = 3;
    const auto r = seedgen::EncodeRecord3(h, Ramp(100, version));
    file.insert(file.end(), r.begin(), r.end());
  }
  WriteFileBytes(tmp / "versions.mseed3", file);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> channels;  // written
  };
  const Case cases[] = {
      {{}, {"BHD", "BHN", "BHQ", "BHZ"}},  // D and Q; D for versions without a letter
      {{"--quality", "R"}, {"BHR"}},
      {{"--quality", "QM"}, {"BHM", "BHQ"}},
      {{"--quality", "DQRM"}, {"BHD", "BHM", "BHN", "BHQ", "BHR", "BHZ"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(tmp / "versions.mseed3");
    ProgramOutcome o;
    const ArchiveImage image = ConvertAlone(args, &o);
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<std::string> channels;
    for (const std::string& row : image.rows) channels.push_back(ParseRow(row).ch);
    std::sort(channels.begin(), channels.end());
    EXPECT_EQ(channels, c.channels) << o.err;
  }
  // A file of raw data only is named as such, with the advice.
  seedgen::Header3 raw;
  raw.publicationVersion = 1;
  WriteFileBytes(tmp / "raw.mseed3", seedgen::EncodeRecord3(raw, Ramp(100, 0)));
  ProgramOutcome o;
  ConvertAlone({tmp / "raw.mseed3"}, &o);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("raw.mseed3: only records of quality R found; --quality DQR converts them"), std::string::npos)
      << o.err;
}

// The "Data" array and the scalar fields of a reference record's JSON.
struct Reference {
  std::vector<double> data;
  std::map<std::string, std::string> fields;
};

Reference ParseReference(const std::string& json) {
  Reference r;
  for (const char* key : {"SID", "StartTime", "SampleRate", "SampleCount", "PublicationVersion"}) {
    const size_t at = json.find("\"" + std::string(key) + "\":");
    if (at == std::string::npos) continue;
    size_t from = json.find_first_not_of(" \"", at + std::string(key).size() + 3);
    const size_t to = json.find_first_of("\",\n", from);
    r.fields[key] = json.substr(from, to - from);
  }
  const size_t open = json.find('[', json.find("\"Data\""));
  const char* p = json.c_str() + open + 1;
  for (char* end;; p = end) {
    while (*p == ' ' || *p == '\n' || *p == ',') ++p;
    if (*p == ']') break;
    r.data.push_back(std::strtod(p, &end));
  }
  return r;
}

double IsoSeconds(const std::string& iso) {
  int year, month, day, hour, minute;
  double seconds;
  std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%lfZ", &year, &month, &day, &hour, &minute, &seconds);
  return seed::DateToSeconds(year, month, day, hour, minute, 0.0f) + seconds;
}

TEST(Mseed3Reference, RecordsDecodeToTheirPublishedValues) {
  const fs::path dir = Mseed3DataDir();
  if (dir.empty()) GTEST_SKIP() << "../shared/testdata/mseed3 not found";
  for (const char* name : {"reference-sinusoid-steim2", "reference-sinusoid-FDSN-All"}) {
    SCOPED_TRACE(name);
    std::vector<unsigned char> record = ReadFileBytes((dir / (std::string(name) + ".mseed3")).string());
    const Reference ref = ParseReference(ReadTextFile((dir / (std::string(name) + ".json")).string()));
    ASSERT_EQ(seed::CheckRecord3(record.data(), record.size()), seed::Damage::kNone);
    seed::RecordHeader h;
    double rate = 0, start = 0;
    ASSERT_EQ(seed::ReadHeader3(record.data(), h, rate, start), "");
    const std::string id = ref.fields.at("SID");  // FDSN:XX_TEST__M_H_Z
    EXPECT_EQ(std::string("FDSN:") + h.network + "_" + h.station + "_" + h.location + "_" + h.channel[0] + "_" +
                  h.channel[1] + "_" + h.channel[2],
              id);
    EXPECT_EQ(h.quality, seed::QualityOfPublicationVersion(std::stoi(ref.fields.at("PublicationVersion"))));
    EXPECT_EQ(rate, std::stod(ref.fields.at("SampleRate")));
    // The archive's time keeps the seconds of a minute in single precision.
    EXPECT_NEAR(start, IsoSeconds(ref.fields.at("StartTime")), 4e-6);
    ASSERT_EQ(h.sampleCount, std::stoi(ref.fields.at("SampleCount")));
    std::vector<float> samples(static_cast<size_t>(h.sampleCount));
    seed::DecodeSamples(record.data(), static_cast<int>(record.size()), h, samples.data());
    ASSERT_EQ(ref.data.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], static_cast<float>(ref.data[i])) << i;
  }
}

TEST(Mseed3Reference, Crc32cOfTheStandardCheckString) {
  const std::string check = "123456789";
  EXPECT_EQ(seed::Crc32c(reinterpret_cast<const unsigned char*>(check.data()), check.size()), 0xE3069283u);
  // Split anywhere, the same.
  const uint32_t part = seed::Crc32c(reinterpret_cast<const unsigned char*>(check.data()), 5);
  EXPECT_EQ(seed::Crc32c(reinterpret_cast<const unsigned char*>(check.data()) + 5, 4, part), 0xE3069283u);
  // The processor's instruction and the table agree at every length and alignment.
  std::vector<unsigned char> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  for (size_t from = 0; from < 9; ++from)
    for (size_t n = 0; from + n <= bytes.size(); n += 13)
      EXPECT_EQ(seed::Crc32c(bytes.data() + from, n, 0x1234u), seed::Crc32cTable(bytes.data() + from, n, 0x1234u));
}

}  // namespace
