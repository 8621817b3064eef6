#pragma once
// Synthetic miniSEED for benchmarks: seismometer-like samples packed into
// data records by libmseed, ordered as a datalogger hands them out.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Event {
  double time;       // seconds from the start of the series
  double amplitude;  // counts
};

struct SignalOptions {
  double rate = 100.0;
  double eventsPerHour = 1.0;
  std::vector<Event> forcedEvents;  // in addition to the random ones
};

// Counts of one component of one station: offset of a few thousand counts
// with a slow drift, microseism, background noise whose level follows a day
// cycle, and occasional events up to about 1.5e5 counts. The same seed and
// station give the same events on every component.
std::vector<int32_t> MakeSignal(uint64_t seed, int station, int component, int64_t count,
                                const SignalOptions& options);

struct Stream {
  std::string network = "XX";
  std::string station = "S0001";
  std::string location = "00";
  std::string channel = "BHZ";
  int64_t startTime = 0;  // libmseed high-precision time, microseconds
  double rate = 100.0;
  int encoding = 11;  // 3 = 32-bit integers, 10 = Steim1, 11 = Steim2
  int recordLength = 4096;
};

// Appends the records holding samples to out: big-endian header and data,
// quality D, blockette 1000 at byte 48, the last record padded.
void PackRecords(const Stream& stream, const std::vector<int32_t>& samples,
                 std::vector<unsigned char>& out);

// Decodes the records of one stream with libmseed and compares with samples;
// returns an empty string or what went wrong.
std::string VerifyRecords(const std::vector<unsigned char>& records, int recordLength,
                          const std::vector<int32_t>& samples);

struct Workload {
  int stations = 1;
  std::vector<std::string> channels{"BHZ", "BHN", "BHE"};
  int64_t samplesPerChannel = 0;
  int encoding = 11;
  int recordLength = 4096;
  uint64_t seed = 1;
  bool timeOrdered = true;  // false: station after station, channels interleaved within each
  int year = 2023;
  int dayOfYear = 152;
  SignalOptions signal;
};

// The named workload: "a" one station for a day at Steim2/4096, "b" the same
// at Steim1/512, "c" 1000 stations for 10 minutes at Steim2/512.
bool NamedWorkload(const std::string& name, Workload& w);

std::string StationCode(int index);  // S0001, S0002, ...

// All records of the workload in file order; every stream is verified
// against its samples on the way (throws std::runtime_error on a mismatch).
std::vector<unsigned char> GenerateWorkload(const Workload& w);

// The records of a version 2 workload repacked one by one as miniSEED 3:
// the same start times, rates, codes and samples, Steim frames as they are
// (without the unused frames that pad a version 2 record), integers least
// significant byte first. Publication version 2 (quality D).
std::vector<unsigned char> RepackAsVersion3(const std::vector<unsigned char>& records, int recordLength);

// The start time of a record read from its big-endian header, in units of
// 0.0001 s, ordered like the times themselves.
int64_t RecordStartKey(const unsigned char* record);

// Steim difference words by difference width in bits (-1: an invalid word):
// width -> {words, differences}.
using WidthHistogram = std::map<int, std::pair<int64_t, int64_t>>;
void CountSteimWords(const unsigned char* record, int R, int D, int encoding, WidthHistogram& h);

}  // namespace bench
