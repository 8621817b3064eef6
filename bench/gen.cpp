// brevanto-gen: writes the benchmark workloads, or checks a miniSEED file
// with libmseed and with the converter's decoders.
#include <libmseed.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "gen_lib.h"
#include "platform/diag.h"
#include "seed/fixedwidth.h"
#include "seed/steim.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: brevanto-gen [--seed N] [--stations N] [--minutes M] [--record-length L] [--by-station]\n"
               "                    [--version3] a|b|c OUTFILE\n"
               "       brevanto-gen check FILE\n"
               "  a  one station, BHZ/BHN/BHE, 24 h at 100 sps, Steim2, 4096-byte records\n"
               "  b  the same samples at Steim1, 512-byte records\n"
               "  c  1000 stations x 3 channels, 10 minutes at 100 sps, Steim2, 4096-byte records\n"
               "  --stations, --minutes change the size, --record-length (256..65536, a power\n"
               "  of two) the records; --by-station writes station after\n"
               "  station instead of all records in start-time order; --version3 repacks\n"
               "  every record as miniSEED 3 (the same samples, times and codes)\n");
}

bool ReadFile(const char* path, std::vector<unsigned char>& data) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

int BE16(const unsigned char* p) { return p[0] << 8 | p[1]; }

int g_libmseedMessages = 0;
std::string g_firstLibmseedMessage;
void CountLibmseedMessage(char* text) {
  if (g_libmseedMessages++ == 0) g_firstLibmseedMessage = text;
}

struct StreamState {
  hptime_t first = 0;
  hptime_t next = 0;
  int64_t samples = 0;
  int64_t records = 0;
  int64_t breaks = 0;
};

int Check(const char* path) {
  std::vector<unsigned char> data;
  if (!ReadFile(path, data)) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 2;
  }
  ms_loginit(CountLibmseedMessage, nullptr, CountLibmseedMessage, nullptr);
  int ourMessages = 0;
  std::string firstOurMessage;
  platform::SetDebugSink([&](const char* text) {
    if (ourMessages++ == 0) firstOurMessage = text;
  });

  std::map<std::string, StreamState> streams;
  std::map<int, int64_t> lengths, encodings, dataOffsets;
  bench::WidthHistogram hist;
  int64_t records = 0, layoutErrors = 0, unpackErrors = 0, countErrors = 0, mismatches = 0,
          outOfOrder = 0, offGrid = 0, unsafeCodes = 0;
  int64_t previousKey = -1;
  std::vector<char> copy;
  std::vector<float> ours;
  MSRecord* msr = nullptr;
  size_t off = 0;
  while (off + 64 <= data.size()) {
    const unsigned char* rec = data.data() + off;
    const int exponent = rec[54];
    const int R = (exponent >= 7 && exponent <= 16) ? 1 << exponent : 0;
    if (BE16(rec + 46) != 48 || BE16(rec + 48) != 1000 || R == 0 || off + R > data.size()) {
      std::fprintf(stderr, "byte %zu: no blockette 1000 at byte 48 or bad record length; stopping\n", off);
      ++layoutErrors;
      break;
    }
    ++records;
    ++lengths[R];
    const int n = BE16(rec + 30);
    const int D = BE16(rec + 44);
    const int encoding = rec[52];
    ++encodings[encoding];
    ++dataOffsets[D];
    if (rec[6] != 'D' || rec[53] != 1 || BE16(rec + 50) != 0 || rec[39] != 1) ++layoutErrors;
    for (int k = 8; k < 13; ++k)
      if (!(std::isalnum(rec[k]) || (rec[k] == ' ' && k > 8))) ++unsafeCodes;

    const int64_t key = bench::RecordStartKey(rec);
    if (key < previousKey) ++outOfOrder;
    previousKey = key;

    copy.assign(rec, rec + R);
    if (msr_unpack(copy.data(), R, &msr, 1, 0) != MS_NOERROR) {
      ++unpackErrors;
      off += static_cast<size_t>(R);
      continue;
    }
    if (msr->numsamples != n || msr->samplecnt != n || msr->sampletype != 'i') ++countErrors;
    if (msr->starttime % 100 != 0) ++offGrid;

    char name[64];
    msr_srcname(msr, name, 0);
    StreamState& s = streams[name];
    if (s.records == 0) s.first = msr->starttime;
    else if (msr->starttime != s.next) ++s.breaks;
    s.next = msr->starttime + static_cast<hptime_t>(static_cast<double>(n) * HPTMODULUS / msr->samprate + 0.5);
    s.samples += n;
    ++s.records;

    ours.assign(static_cast<size_t>(n), 0.0f);
    if (encoding == 10) seed::DecodeSteim1(rec, rec + D, R, n, ours.data(), true);
    else if (encoding == 11) seed::DecodeSteim2(rec, rec + D, R, n, ours.data(), true);
    else if (encoding == 3) seed::DecodeInt32(rec + D, R - D, n, ours.data(), true);
    const auto* ref = static_cast<const int32_t*>(msr->datasamples);
    for (int k = 0; k < n && k < msr->numsamples; ++k)
      if (ours[static_cast<size_t>(k)] != static_cast<float>(ref[k])) {
        ++mismatches;
        break;
      }
    if (encoding == 10 || encoding == 11) bench::CountSteimWords(rec, R, D, encoding, hist);
    off += static_cast<size_t>(R);
  }
  msr_free(&msr);
  platform::SetDebugSink(nullptr);

  std::printf("file %s: %zu bytes, %" PRId64 " records\n", path, data.size(), records);
  for (auto& [len, c] : lengths) std::printf("  record length %d: %" PRId64 " records\n", len, c);
  for (auto& [e, c] : encodings) std::printf("  encoding %d: %" PRId64 " records\n", e, c);
  for (auto& [d, c] : dataOffsets) std::printf("  data offset %d: %" PRId64 " records\n", d, c);
  int64_t totalSamples = 0, breaks = 0, minSamples = INT64_MAX, maxSamples = 0;
  for (auto& [name, s] : streams) {
    totalSamples += s.samples;
    breaks += s.breaks;
    minSamples = std::min(minSamples, s.samples);
    maxSamples = std::max(maxSamples, s.samples);
  }
  std::printf("streams: %zu, samples %" PRId64 " (per stream %" PRId64 "..%" PRId64 ")\n",
              streams.size(), totalSamples, streams.empty() ? 0 : minSamples, maxSamples);
  int shown = 0;
  for (auto& [name, s] : streams) {
    if (shown++ == 6) {
      std::printf("  ...\n");
      break;
    }
    char a[40], b[40];
    ms_hptime2isotimestr(s.first, a, 1);
    ms_hptime2isotimestr(s.next, b, 1);
    std::printf("  %s: %" PRId64 " records, %" PRId64 " samples, %s .. %s\n", name.c_str(), s.records,
                s.samples, a, b);
  }
  if (!hist.empty()) {
    std::printf("Steim difference words by width (bits: words, differences):\n");
    for (auto& [width, e] : hist)
      std::printf("  %3d: %12" PRId64 " %12" PRId64 "\n", width, e.first, e.second);
  }
  std::printf("header layout errors: %" PRId64 ", unsafe station codes: %" PRId64 "\n", layoutErrors,
              unsafeCodes);
  std::printf("libmseed unpack errors: %" PRId64 ", sample count errors: %" PRId64
              ", libmseed messages: %d%s%s",
              unpackErrors, countErrors, g_libmseedMessages,
              g_libmseedMessages ? " first: " : "", g_libmseedMessages ? g_firstLibmseedMessage.c_str() : "");
  std::printf("\n");
  std::printf("records whose decoding by brevanto differs from libmseed: %" PRId64
              ", brevanto diagnostics: %d%s%s\n",
              mismatches, ourMessages, ourMessages ? " first: " : "", ourMessages ? firstOurMessage.c_str() : "");
  std::printf("continuity breaks: %" PRId64 ", start times off the 0.0001 s grid: %" PRId64
              ", records starting before their predecessor: %" PRId64 "\n",
              breaks, offGrid, outOfOrder);
  const bool ok = layoutErrors == 0 && unsafeCodes == 0 && unpackErrors == 0 && countErrors == 0 &&
                  g_libmseedMessages == 0 && mismatches == 0 && ourMessages == 0 && breaks == 0 &&
                  offGrid == 0 && off == data.size();
  std::printf("%s\n", ok ? "OK" : "FAILED");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  int stations = -1;
  double minutes = -1;
  int recordLength = 0;
  bool byStation = false, version3 = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--seed" || a == "--stations" || a == "--minutes" || a == "--record-length") && i + 1 < argc) {
      const char* v = argv[++i];
      if (a == "--seed") seed = std::strtoull(v, nullptr, 10);
      else if (a == "--stations") stations = std::atoi(v);
      else if (a == "--record-length") recordLength = std::atoi(v);
      else minutes = std::atof(v);
    } else if (a == "--by-station") {
      byStation = true;
    } else if (a == "--version3") {
      version3 = true;
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else {
      args.push_back(a);
    }
  }
  if (args.size() == 2 && args[0] == "check") return Check(args[1].c_str());

  bench::Workload w;
  if (args.size() != 2 || !bench::NamedWorkload(args[0], w)) {
    Usage();
    return 2;
  }
  w.seed = seed;
  w.timeOrdered = !byStation;
  if (stations > 0) w.stations = stations;
  if (recordLength != 0) {
    if (recordLength < 256 || recordLength > 65536 || (recordLength & (recordLength - 1)) != 0) {
      Usage();
      return 2;
    }
    w.recordLength = recordLength;
  }
  if (minutes > 0) w.samplesPerChannel = static_cast<int64_t>(minutes * 60.0 * w.signal.rate + 0.5);
  try {
    const auto records = bench::GenerateWorkload(w);
    const auto bytes = version3 ? bench::RepackAsVersion3(records, w.recordLength) : records;
    FILE* f = std::fopen(args[1].c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
      std::fprintf(stderr, "cannot write %s\n", args[1].c_str());
      return 1;
    }
    std::printf("%s: %zu bytes, %zu records%s of %d bytes, %d station(s) x %zu channels x %" PRId64
                " samples\n",
                args[1].c_str(), bytes.size(), records.size() / static_cast<size_t>(w.recordLength),
                version3 ? " (miniSEED 3, repacked from records)" : "", w.recordLength, w.stations,
                w.channels.size(), w.samplesPerChannel);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brevanto-gen: %s\n", e.what());
    return 1;
  }
  return 0;
}
