#include "gen_lib.h"

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>

#include "seed/record.h"
#include "seed/record3.h"

namespace bench {
namespace {

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Own uniform and normal draws: the standard distributions may differ
// between library versions, and the workloads must not.
class Rng {
 public:
  explicit Rng(uint64_t seed) : g_(seed) {}
  double Uniform() { return static_cast<double>(g_() >> 11) * 0x1.0p-53; }
  double Normal() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    double u = Uniform();
    while (u <= 0.0) u = Uniform();
    const double r = std::sqrt(-2.0 * std::log(u));
    const double a = 2.0 * std::numbers::pi * Uniform();
    spare_ = r * std::sin(a);
    haveSpare_ = true;
    return r * std::cos(a);
  }

 private:
  std::mt19937_64 g_;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

// A sinusoid advanced one sample at a time by rotation.
struct Phasor {
  double c = 1.0, s = 0.0, dc = 1.0, ds = 0.0;
  void Init(double cyclesPerSample, double phase) {
    c = std::cos(phase);
    s = std::sin(phase);
    dc = std::cos(2.0 * std::numbers::pi * cyclesPerSample);
    ds = std::sin(2.0 * std::numbers::pi * cyclesPerSample);
  }
  double Next() {
    const double v = s;
    const double nc = c * dc - s * ds;
    s = s * dc + c * ds;
    c = nc;
    return v;
  }
  void Renormalize() {
    const double m = 1.0 / std::sqrt(c * c + s * s);
    c *= m;
    s *= m;
  }
};

struct ActiveEvent {
  int64_t last;
  double amplitude;
  double decayPerSample;
  double risePerSample;
  double decay = 1.0;  // decayPerSample^age
  double rise = 1.0;   // risePerSample^age
  Phasor carrier[4];
  double weight[4];
};

void CollectRecord(char* record, int length, void* handlerData) {
  auto* out = static_cast<std::vector<unsigned char>*>(handlerData);
  out->insert(out->end(), record, record + length);
}

int RecordLengthOf(const unsigned char* record) { return 1 << record[54]; }

}  // namespace

std::string StationCode(int index) {
  char code[16];
  std::snprintf(code, sizeof code, "S%04d", index + 1);
  return code;
}

std::vector<int32_t> MakeSignal(uint64_t seed, int station, int component, int64_t count,
                                const SignalOptions& opt) {
  const double rate = opt.rate;
  const uint64_t stationKey = Mix(seed ^ Mix(static_cast<uint64_t>(station) + 1));
  Rng site(stationKey);
  Rng rng(Mix(stationKey ^ Mix((static_cast<uint64_t>(component) + 1) << 32)));

  // Events belong to the station: every component sees them at the same times.
  std::vector<Event> events = opt.forcedEvents;
  const double duration = static_cast<double>(count) / rate;
  if (opt.eventsPerHour > 0) {
    for (double t = 0;;) {
      double u = site.Uniform();
      while (u <= 0.0) u = site.Uniform();
      t += -std::log(u) * 3600.0 / opt.eventsPerHour;
      if (t >= duration) break;
      events.push_back({t, std::pow(10.0, 3.0 + 2.2 * site.Uniform())});
    }
  }
  std::sort(events.begin(), events.end(),
            [](const Event& a, const Event& b) { return a.time < b.time; });
  const double dayPhase = 2.0 * std::numbers::pi * site.Uniform();
  const double wander1 = 2.0 * std::numbers::pi * site.Uniform();
  const double wander2 = 2.0 * std::numbers::pi * site.Uniform();

  const double offset = 1500.0 + 3500.0 * rng.Uniform();
  Phasor micro[3];
  double microWeight[3];
  for (int k = 0; k < 3; ++k) {
    micro[k].Init(1.0 / ((4.0 + 4.0 * rng.Uniform()) * rate), 2.0 * std::numbers::pi * rng.Uniform());
    microWeight[k] = 0.2 + 0.3 * rng.Uniform();
  }

  std::vector<ActiveEvent> active;
  size_t nextEvent = 0;
  std::vector<int32_t> out(static_cast<size_t>(count));
  double noise = 0.0, drift = 0.0, sigma = 1.0, microAmp = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    if (i % static_cast<int64_t>(rate) == 0) {
      // Slow quantities change once a second: day/night noise level,
      // wandering microseism strength.
      double level = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * t / 86400.0 + dayPhase);
      level += 0.15 * std::sin(2.0 * std::numbers::pi * t / 2400.0 + wander1);
      level = std::clamp(level, 0.0, 1.0);
      sigma = 1.2 * std::pow(50.0, level);
      const double m = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * t / 18000.0 + wander2);
      microAmp = 150.0 + 1500.0 * m;
      for (auto& p : micro) p.Renormalize();
      for (auto& e : active)
        for (auto& p : e.carrier) p.Renormalize();
    }
    while (nextEvent < events.size() && events[nextEvent].time <= t) {
      const Event& ev = events[nextEvent++];
      ActiveEvent a;
      const double decay = 8.0 + 50.0 * rng.Uniform();
      a.last = i + static_cast<int64_t>(8.0 * decay * rate);
      a.amplitude = ev.amplitude * (0.5 + 0.5 * rng.Uniform());
      a.decayPerSample = std::exp(-1.0 / (decay * rate));
      a.risePerSample = std::exp(-1.0 / (0.5 * rate));
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) {
        a.carrier[k].Init((0.8 + 8.2 * rng.Uniform()) / rate, 2.0 * std::numbers::pi * rng.Uniform());
        a.weight[k] = 0.2 + rng.Uniform();
        sum += a.weight[k];
      }
      for (double& w : a.weight) w /= sum;
      active.push_back(a);
    }

    noise = 0.85 * noise + sigma * rng.Normal();
    drift = drift * (1.0 - 2e-6) + 0.3 * rng.Normal();
    double v = offset + drift + noise;
    for (int k = 0; k < 3; ++k) v += microAmp * microWeight[k] * micro[k].Next();
    for (auto& e : active) {
      // Envelope: rise within a second or so, then exponential decay.
      const double env = e.amplitude * (1.0 - e.rise) * e.decay;
      e.rise *= e.risePerSample;
      e.decay *= e.decayPerSample;
      double c = 0.0;
      for (int k = 0; k < 4; ++k) c += e.weight[k] * e.carrier[k].Next();
      v += env * c;
    }
    std::erase_if(active, [i](const ActiveEvent& e) { return e.last <= i; });
    v = std::clamp(std::round(v), -8388608.0, 8388607.0);
    out[static_cast<size_t>(i)] = static_cast<int32_t>(v);
  }
  return out;
}

void PackRecords(const Stream& s, const std::vector<int32_t>& samples, std::vector<unsigned char>& out) {
  if (samples.empty()) return;
  MSRecord* msr = msr_init(nullptr);
  if (!msr) throw std::runtime_error("msr_init failed");
  std::snprintf(msr->network, sizeof msr->network, "%s", s.network.c_str());
  std::snprintf(msr->station, sizeof msr->station, "%s", s.station.c_str());
  std::snprintf(msr->location, sizeof msr->location, "%s", s.location.c_str());
  std::snprintf(msr->channel, sizeof msr->channel, "%s", s.channel.c_str());
  msr->dataquality = 'D';
  msr->starttime = s.startTime;
  msr->samprate = s.rate;
  msr->encoding = static_cast<int8_t>(s.encoding);
  msr->byteorder = 1;
  msr->reclen = s.recordLength;
  msr->sequence_number = 1;
  std::vector<int32_t> copy(samples);  // the packer may not promise to leave its input alone
  msr->datasamples = copy.data();
  msr->numsamples = static_cast<int64_t>(copy.size());
  msr->sampletype = 'i';
  int64_t packed = 0;
  const int records = msr_pack(msr, CollectRecord, &out, &packed, 1, 0);
  msr->datasamples = nullptr;
  msr_free(&msr);
  if (records < 0 || packed != static_cast<int64_t>(samples.size()))
    throw std::runtime_error("msr_pack packed " + std::to_string(packed) + " of " +
                             std::to_string(samples.size()) + " samples");
}

std::string VerifyRecords(const std::vector<unsigned char>& records, int recordLength,
                          const std::vector<int32_t>& samples) {
  MSRecord* msr = nullptr;
  size_t next = 0;
  std::string error;
  std::vector<char> buf(static_cast<size_t>(recordLength));
  for (size_t off = 0; off + static_cast<size_t>(recordLength) <= records.size() && error.empty();
       off += static_cast<size_t>(recordLength)) {
    std::memcpy(buf.data(), records.data() + off, buf.size());
    if (msr_unpack(buf.data(), recordLength, &msr, 1, 0) != MS_NOERROR) {
      error = "msr_unpack failed at byte " + std::to_string(off);
      break;
    }
    const auto* got = static_cast<const int32_t*>(msr->datasamples);
    if (msr->sampletype != 'i' || msr->numsamples != msr->samplecnt ||
        next + static_cast<size_t>(msr->numsamples) > samples.size()) {
      error = "unexpected sample count at byte " + std::to_string(off);
      break;
    }
    for (int64_t k = 0; k < msr->numsamples; ++k)
      if (got[k] != samples[next + static_cast<size_t>(k)]) {
        error = "sample " + std::to_string(next + static_cast<size_t>(k)) + " differs";
        break;
      }
    next += static_cast<size_t>(msr->numsamples);
  }
  msr_free(&msr);
  if (error.empty() && next != samples.size())
    error = "records hold " + std::to_string(next) + " of " + std::to_string(samples.size()) +
            " samples";
  return error;
}

bool NamedWorkload(const std::string& name, Workload& w) {
  w = Workload{};
  if (name == "a" || name == "b") {
    w.samplesPerChannel = 24 * 3600 * 100;
    w.encoding = name == "a" ? 11 : 10;
    w.recordLength = name == "a" ? 4096 : 512;
    return true;
  }
  if (name == "c") {
    // Records as in (a), so that comparing the two shows the channel count alone.
    w.stations = 1000;
    w.samplesPerChannel = 10 * 60 * 100;
    w.encoding = 11;
    w.recordLength = 4096;
    return true;
  }
  return false;
}

void CountSteimWords(const unsigned char* rec, int R, int D, int encoding, WidthHistogram& h) {
  const auto be32 = [](const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  };
  const auto add = [&h](int width, int diffs) {
    auto& e = h[width];
    ++e.first;
    e.second += diffs;
  };
  static const int kSteim2Code2[4][2] = {{-1, 0}, {30, 1}, {15, 2}, {10, 3}};
  static const int kSteim2Code3[4][2] = {{6, 5}, {5, 6}, {4, 7}, {-1, 0}};
  for (int off = D; off + 64 <= R; off += 64) {
    const unsigned char* frame = rec + off;
    const uint32_t ctrl = be32(frame);
    for (int w = (off == D ? 3 : 1); w < 16; ++w) {
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (code == 0) continue;
      if (code == 1) {
        add(8, 4);
      } else if (encoding == 10) {
        if (code == 2) add(16, 2);
        else add(32, 1);
      } else {
        const unsigned sub = be32(frame + 4 * w) >> 30;
        const int* kind = code == 2 ? kSteim2Code2[sub] : kSteim2Code3[sub];
        add(kind[0], kind[1]);
      }
    }
  }
}

namespace {

void PutLE(std::vector<unsigned char>& out, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

std::string Code(const unsigned char* field, int width) {
  char code[seed::kCodeMax + 1];
  seed::CopyCode(field, width, code);
  return code;
}

}  // namespace

std::vector<unsigned char> RepackAsVersion3(const std::vector<unsigned char>& records, int recordLength) {
  std::vector<unsigned char> out;
  const size_t R = static_cast<size_t>(recordLength);
  for (size_t at = 0; at + R <= records.size(); at += R) {
    const unsigned char* r = records.data() + at;
    const int count = seed::LoadBE16(r + seed::kSampleCount), D = seed::LoadBE16(r + seed::kDataOffset);
    const int encoding = r[seed::kFixedHeaderSize + seed::kB1000Encoding];
    const std::string channel = Code(r + seed::kChannel, seed::kChannelMax);
    const std::string id = "FDSN:" + Code(r + seed::kNetwork, seed::kNetworkMax) + "_" +
                           Code(r + seed::kStation, seed::kStationMax) + "_" +
                           Code(r + seed::kLocation, seed::kLocationMax) + "_" + channel.substr(0, 1) + "_" +
                           channel.substr(1, 1) + "_" + channel.substr(2, 1);
    std::vector<unsigned char> payload(r + D, r + R);
    if (encoding == 3) {
      payload.resize(4 * static_cast<size_t>(count));
      for (auto word = payload.begin(); word != payload.end(); word += 4) std::reverse(word, word + 4);
    } else {
      const auto unused = [&] {
        return std::all_of(payload.end() - 64, payload.end(), [](unsigned char b) { return b == 0; });
      };
      while (payload.size() > 64 && unused()) payload.resize(payload.size() - 64);
    }
    std::vector<unsigned char> v3(seed::k3FixedHeaderSize);
    v3[0] = 'M';
    v3[1] = 'S';
    v3[seed::k3Version] = seed::k3FormatVersion;
    PutLE(v3, seed::k3Nanosecond, uint64_t{seed::LoadBE16(r + seed::kTenThousandths)} * 100000, 4);
    PutLE(v3, seed::k3Year, seed::LoadBE16(r + seed::kYear), 2);
    PutLE(v3, seed::k3DayOfYear, seed::LoadBE16(r + seed::kDayOfYear), 2);
    v3[seed::k3Hour] = r[seed::kHour];
    v3[seed::k3Minute] = r[seed::kMinute];
    v3[seed::k3Second] = r[seed::kSecond];
    v3[seed::k3Encoding] = static_cast<unsigned char>(encoding);
    const double rate = seed::CalcSampleRate(static_cast<int16_t>(seed::LoadBE16(r + seed::kRateFactor)),
                                             static_cast<int16_t>(seed::LoadBE16(r + seed::kRateMultiplier)));
    uint64_t rateBits;
    std::memcpy(&rateBits, &rate, sizeof rateBits);
    PutLE(v3, seed::k3SampleRate, rateBits, 8);
    PutLE(v3, seed::k3SampleCount, static_cast<uint64_t>(count), 4);
    v3[seed::k3PublicationVersion] = 2;
    v3[seed::k3IdentifierLength] = static_cast<unsigned char>(id.size());
    PutLE(v3, seed::k3DataLength, payload.size(), 4);
    v3.insert(v3.end(), id.begin(), id.end());
    v3.insert(v3.end(), payload.begin(), payload.end());
    PutLE(v3, seed::k3Crc, seed::Crc32c(v3.data(), v3.size()), 4);
    out.insert(out.end(), v3.begin(), v3.end());
  }
  return out;
}

int64_t RecordStartKey(const unsigned char* r) {
  const int64_t year = r[20] << 8 | r[21];
  const int64_t doy = r[22] << 8 | r[23];
  const int64_t fract = r[28] << 8 | r[29];
  return ((((year * 400 + doy) * 24 + r[24]) * 60 + r[25]) * 60 + r[26]) * 10000 + fract;
}

std::vector<unsigned char> GenerateWorkload(const Workload& w) {
  struct Piece {
    int64_t key;
    int station;
    const unsigned char* bytes;
  };
  std::vector<std::vector<unsigned char>> streams;
  streams.reserve(static_cast<size_t>(w.stations) * w.channels.size());
  const hptime_t start = ms_time2hptime(w.year, w.dayOfYear, 0, 0, 0, 0);
  for (int st = 0; st < w.stations; ++st) {
    for (size_t ch = 0; ch < w.channels.size(); ++ch) {
      const auto samples = MakeSignal(w.seed, st, static_cast<int>(ch), w.samplesPerChannel, w.signal);
      Stream s;
      s.station = StationCode(st);
      s.channel = w.channels[ch];
      s.startTime = start;
      s.rate = w.signal.rate;
      s.encoding = w.encoding;
      s.recordLength = w.recordLength;
      auto& bytes = streams.emplace_back();
      PackRecords(s, samples, bytes);
      const std::string err = VerifyRecords(bytes, w.recordLength, samples);
      if (!err.empty()) throw std::runtime_error(s.station + "." + s.channel + ": " + err);
    }
  }
  std::vector<Piece> pieces;
  for (size_t i = 0; i < streams.size(); ++i) {
    const int station = static_cast<int>(i / w.channels.size());
    for (size_t off = 0; off < streams[i].size(); off += static_cast<size_t>(w.recordLength))
      pieces.push_back({RecordStartKey(streams[i].data() + off), station, streams[i].data() + off});
  }
  // Stable: records starting together keep station and channel order.
  std::stable_sort(pieces.begin(), pieces.end(), [&w](const Piece& a, const Piece& b) {
    if (!w.timeOrdered && a.station != b.station) return a.station < b.station;
    return a.key < b.key;
  });
  std::vector<unsigned char> out;
  out.reserve(pieces.size() * static_cast<size_t>(w.recordLength));
  for (const Piece& p : pieces) {
    if (RecordLengthOf(p.bytes) != w.recordLength) throw std::runtime_error("record length mismatch");
    out.insert(out.end(), p.bytes, p.bytes + w.recordLength);
  }
  return out;
}

}  // namespace bench
