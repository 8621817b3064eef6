// Decoding speed of the converter's decoders against libmseed on the same
// record bytes: the BHZ stream of workload a (24 h at 100 sps, seed 1)
// packed as Steim1/512, Steim2/4096, 32-bit integers/4096 and more.
// Extra flags: --hours=H (length of the stream), --seed=N.
#include <benchmark/benchmark.h>
#include <libmseed.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gen_lib.h"
#include "seed/fixedwidth.h"
#include "seed/steim.h"

// Exported by libmseed 2.x but declared only in a header it does not install.
extern "C" {
int msr_decode_int32(int32_t* input, int samplecount, int32_t* output, int outputlength, int swapflag);
int msr_decode_steim1(int32_t* input, int inputlength, int samplecount, int32_t* output,
                      int outputlength, char* srcname, int swapflag);
int msr_decode_steim2(int32_t* input, int inputlength, int samplecount, int32_t* output,
                      int outputlength, char* srcname, int swapflag);
}

namespace {

struct RecordSet {
  std::string name;
  int encoding = 0;
  int R = 0;
  std::vector<unsigned char> bytes;
  std::vector<int> count;   // samples per record
  std::vector<int> offset;  // beginning of data per record
  int64_t samples = 0;
  int maxCount = 0;
  size_t records() const { return count.size(); }
  unsigned char* record(size_t i) { return bytes.data() + i * static_cast<size_t>(R); }
};

char g_srcname[] = "XX_S0001_00_BHZ";
int g_swap = 0;  // libmseed's flag: data byte order differs from the host's

RecordSet MakeSet(const char* name, int encoding, int R, const std::vector<int32_t>& samples) {
  RecordSet s;
  s.name = name;
  s.encoding = encoding;
  s.R = R;
  bench::Stream stream;
  stream.startTime = ms_time2hptime(2023, 152, 0, 0, 0, 0);
  stream.encoding = encoding;
  stream.recordLength = R;
  bench::PackRecords(stream, samples, s.bytes);
  for (size_t off = 0; off < s.bytes.size(); off += static_cast<size_t>(R)) {
    const unsigned char* r = s.bytes.data() + off;
    const int n = r[30] << 8 | r[31];
    s.count.push_back(n);
    s.offset.push_back(r[44] << 8 | r[45]);
    s.samples += n;
    s.maxCount = std::max(s.maxCount, n);
  }
  return s;
}

void DecodeOurs(RecordSet& s, size_t i, float* out) {
  unsigned char* r = s.record(i);
  const int n = s.count[i], D = s.offset[i];
  if (s.encoding == 10) seed::DecodeSteim1(r, r + D, s.R, n, out, true);
  else if (s.encoding == 11) seed::DecodeSteim2(r, r + D, s.R, n, out, true);
  else seed::DecodeInt32(r + D, s.R - D, n, out, true);
}

int DecodeLibmseed(RecordSet& s, size_t i, int32_t* out) {
  unsigned char* r = s.record(i);
  const int n = s.count[i], D = s.offset[i];
  auto* in = reinterpret_cast<int32_t*>(r + D);
  const int outBytes = n * 4;
  if (s.encoding == 10) return msr_decode_steim1(in, s.R - D, n, out, outBytes, g_srcname, g_swap);
  if (s.encoding == 11) return msr_decode_steim2(in, s.R - D, n, out, outBytes, g_srcname, g_swap);
  return msr_decode_int32(in, n, out, outBytes, g_swap);
}

// Every decoder must give back the generated samples before it is timed.
bool Verify(RecordSet& s, const std::vector<int32_t>& samples) {
  std::vector<float> f(static_cast<size_t>(s.maxCount));
  std::vector<int32_t> k(static_cast<size_t>(s.maxCount));
  const std::vector<unsigned char> before = s.bytes;
  MSRecord* msr = nullptr;
  size_t next = 0;
  bool ok = true;
  for (size_t i = 0; i < s.records() && ok; ++i) {
    const int n = s.count[i];
    std::fill(f.begin(), f.end(), 0.0f);
    DecodeOurs(s, i, f.data());
    ok = DecodeLibmseed(s, i, k.data()) == n;
    ok = ok && msr_unpack(reinterpret_cast<char*>(s.record(i)), s.R, &msr, 1, 0) == MS_NOERROR &&
         msr->numsamples == n;
    for (int j = 0; j < n && ok; ++j) {
      const int32_t want = samples[next + static_cast<size_t>(j)];
      ok = f[static_cast<size_t>(j)] == static_cast<float>(want) && k[static_cast<size_t>(j)] == want &&
           static_cast<const int32_t*>(msr->datasamples)[j] == want;
    }
    next += static_cast<size_t>(n);
  }
  msr_free(&msr);
  ok = ok && next == samples.size() && s.bytes == before;
  if (!ok) std::fprintf(stderr, "%s: decoders disagree with the generated samples\n", s.name.c_str());
  return ok;
}

void Account(benchmark::State& state, const RecordSet& s) {
  state.SetItemsProcessed(state.iterations() * s.samples);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(s.bytes.size()));
}

// What the converter does per record: zero the samples, then decode.
void OursFloat(benchmark::State& state, RecordSet* s) {
  std::vector<float> out(static_cast<size_t>(s->maxCount));
  for (auto _ : state) {
    for (size_t i = 0; i < s->records(); ++i) {
      std::fill(out.begin(), out.begin() + s->count[i], 0.0f);
      DecodeOurs(*s, i, out.data());
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  Account(state, *s);
}

void OursFloatNoFill(benchmark::State& state, RecordSet* s) {
  std::vector<float> out(static_cast<size_t>(s->maxCount));
  for (auto _ : state) {
    for (size_t i = 0; i < s->records(); ++i) {
      DecodeOurs(*s, i, out.data());
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  Account(state, *s);
}

void LibmseedInt32(benchmark::State& state, RecordSet* s) {
  std::vector<int32_t> out(static_cast<size_t>(s->maxCount));
  for (auto _ : state) {
    for (size_t i = 0; i < s->records(); ++i) {
      benchmark::DoNotOptimize(DecodeLibmseed(*s, i, out.data()));
      benchmark::ClobberMemory();
    }
  }
  Account(state, *s);
}

void LibmseedInt32ToFloat(benchmark::State& state, RecordSet* s) {
  std::vector<int32_t> tmp(static_cast<size_t>(s->maxCount));
  std::vector<float> out(static_cast<size_t>(s->maxCount));
  for (auto _ : state) {
    for (size_t i = 0; i < s->records(); ++i) {
      const int n = DecodeLibmseed(*s, i, tmp.data());
      for (int j = 0; j < n; ++j) out[static_cast<size_t>(j)] = static_cast<float>(tmp[static_cast<size_t>(j)]);
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  Account(state, *s);
}

// The whole libmseed path a program would use: header parse and data unpack.
void LibmseedUnpack(benchmark::State& state, RecordSet* s) {
  MSRecord* msr = nullptr;
  for (auto _ : state) {
    for (size_t i = 0; i < s->records(); ++i) {
      msr_unpack(reinterpret_cast<char*>(s->record(i)), s->R, &msr, 1, 0);
      benchmark::DoNotOptimize(msr->datasamples);
      benchmark::ClobberMemory();
    }
  }
  msr_free(&msr);
  Account(state, *s);
}

// Keeps each run's samples/s so that ratios can be printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  RateReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  std::map<std::string, std::vector<double>> rates;
  std::map<std::string, double> medians;  // from repetitions reported as aggregates only
  int disturbed = 0;  // runs whose wall time exceeded their CPU time: another process had the core
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      auto it = r.counters.find("items_per_second");
      if (it == r.counters.end()) continue;
      const bool aggregate = r.run_type == Run::RT_Aggregate;
      if ((!aggregate || r.aggregate_name == "mean") &&
          r.real_accumulated_time > 1.05 * r.cpu_accumulated_time)
        ++disturbed;
      if (aggregate) {
        if (r.aggregate_name == "median") medians[r.run_name.str()] = it->second.value;
        continue;
      }
      rates[r.run_name.str()].push_back(it->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& name) const {
    if (auto m = medians.find(name); m != medians.end()) return m->second;
    auto it = rates.find(name);
    if (it == rates.end() || it->second.empty()) return 0.0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  double hours = 24.0;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--hours=", 8) == 0) hours = std::atof(argv[i] + 8);
    else if (std::strncmp(argv[i], "--seed=", 7) == 0) seed = std::strtoull(argv[i] + 7, nullptr, 10);
    else {
      std::fprintf(stderr, "unknown flag %s\n", argv[i]);
      return 2;
    }
  }
  g_swap = ms_bigendianhost() ? 0 : 1;

  bench::SignalOptions options;
  const auto samples =
      bench::MakeSignal(seed, 0, 0, static_cast<int64_t>(hours * 3600.0 * options.rate + 0.5), options);
  static std::vector<RecordSet> sets;
  sets.push_back(MakeSet("Steim1_512", 10, 512, samples));
  sets.push_back(MakeSet("Steim2_4096", 11, 4096, samples));
  sets.push_back(MakeSet("Int32_4096", 3, 4096, samples));
  sets.push_back(MakeSet("Steim1_4096", 10, 4096, samples));
  sets.push_back(MakeSet("Steim2_512", 11, 512, samples));

  std::printf("BHZ of station S0001, seed %llu, %.2f h, %zu samples\n",
              static_cast<unsigned long long>(seed), hours, samples.size());
  for (RecordSet& s : sets) {
    if (!Verify(s, samples)) return 1;
    bench::WidthHistogram h;
    for (size_t i = 0; i < s.records(); ++i)
      if (s.encoding != 3) bench::CountSteimWords(s.record(i), s.R, s.offset[i], s.encoding, h);
    std::printf("%-12s %7zu records, %9zu bytes, %.2f bits/sample;", s.name.c_str(), s.records(),
                s.bytes.size(), 8.0 * static_cast<double>(s.bytes.size()) / static_cast<double>(s.samples));
    for (auto& [width, e] : h)
      std::printf(" %d-bit %.1f%%", width, 100.0 * static_cast<double>(e.second) / static_cast<double>(s.samples));
    std::printf("\n");
  }

  const std::pair<const char*, void (*)(benchmark::State&, RecordSet*)> cases[] = {
      {"ours_float", OursFloat},
      {"ours_float_nofill", OursFloatNoFill},
      {"libmseed_int32", LibmseedInt32},
      {"libmseed_int32_to_float", LibmseedInt32ToFloat},
      {"libmseed_msr_unpack", LibmseedUnpack},
  };
  for (RecordSet& s : sets)
    for (const auto& [name, fn] : cases)
      benchmark::RegisterBenchmark((s.name + "/" + name).c_str(), fn, &s)->Unit(benchmark::kMillisecond);

  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nmedian samples/s (M) and ratio of ours_float to each libmseed case\n");
  std::printf("%-12s %10s %10s %10s %10s %10s  %8s %8s %8s\n", "records", "ours", "ours_nofill",
              "lm_int32", "lm_tofloat", "lm_unpack", "/int32", "/tofloat", "/unpack");
  for (const RecordSet& s : sets) {
    const auto m = [&](const char* c) { return reporter.Median(s.name + "/" + c); };
    const double ours = m("ours_float"), nofill = m("ours_float_nofill"), i32 = m("libmseed_int32"),
                 tof = m("libmseed_int32_to_float"), unp = m("libmseed_msr_unpack");
    if (ours == 0.0) continue;
    const auto ratio = [ours](double v) { return v > 0.0 ? ours / v : 0.0; };
    std::printf("%-12s %10.1f %10.1f %10.1f %10.1f %10.1f  %8.2f %8.2f %8.2f\n", s.name.c_str(), ours / 1e6,
                nofill / 1e6, i32 / 1e6, tof / 1e6, unp / 1e6, ratio(i32), ratio(tof), ratio(unp));
  }
  if (reporter.disturbed)
    std::printf("%d runs took over 5%% more wall time than CPU time: the machine was busy\n",
                reporter.disturbed);
  benchmark::Shutdown();
  return 0;
}
