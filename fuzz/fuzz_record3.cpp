// miniSEED 3 files through the reader, the damage check, the header and the
// decoders. Every record the reader hands out sits in a heap block of
// exactly its length, so any read past its end is caught; an undamaged
// record must be as long as its header says and hold its count.
//
// Input: byte 0 bit 0 puts a correct CRC into every record the fuzzed bytes
// frame (so that the fuzzer reaches past the check), bit 1 writes "MS" and
// version 3 over the first bytes; the rest is the file.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/reading.h"
#include "fuzzsupport.h"
#include "seed/record.h"
#include "seed/record3.h"

namespace {

// Makes the CRC of each record along the declared lengths match.
void FixCrcs(std::vector<unsigned char>& bytes) {
  for (size_t at = 0; at + seed::k3FixedHeaderSize <= bytes.size();) {
    unsigned char* r = bytes.data() + at;
    const uint64_t length = seed::Record3Length(r);
    if (length > bytes.size() - at) break;
    std::memset(r + seed::k3Crc, 0, 4);
    const uint32_t crc = seed::Crc32c(r, length);
    for (int i = 0; i < 4; ++i) r[seed::k3Crc + i] = static_cast<unsigned char>(crc >> (8 * i));
    at += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<unsigned char> bytes(data + 1, data + size);
  if ((mode & 2) && bytes.size() >= 3) std::memcpy(bytes.data(), "MS\3", 3);
  if (mode & 1) FixCrcs(bytes);
  static fuzz::MemoryFile file;
  file.Set(bytes.data(), bytes.size());

  convert::RecordReader reader(file.Fd());
  std::span<unsigned char> record;
  int32_t recLen = seed::kDefaultRecordLength;
  convert::Framed framed;
  std::vector<float> samples;
  uint64_t last = 0;
  bool first = true;
  while (reader.Next(record, recLen, framed) == 1) {
    fuzz::Check(first || framed.offset > last, "the reader did not move forward");
    first = false;
    last = framed.offset;
    if (framed.damage != seed::Damage::kNone || !seed::IsRecord3(record.data(), record.size())) continue;
    fuzz::Check(seed::Record3Length(record.data()) == record.size(), "an undamaged record is not as long as it says");
    std::unique_ptr<unsigned char[]> exact(new unsigned char[record.size()]);
    std::memcpy(exact.get(), record.data(), record.size());
    seed::RecordHeader h;
    double rate = 0, start = 0;
    seed::ReadHeader3(exact.get(), h, rate, start);
    fuzz::Check(rate > 0, "a rate that is not positive");
    fuzz::Check(h.sampleCount >= 0 && h.sampleCount <= 65535, "a count the store cannot take");
    fuzz::Check(std::strlen(h.station) <= seed::kCodeMax && std::strlen(h.channel) <= seed::kCodeMax,
                "a code longer than a decoded record holds");
    samples.assign(static_cast<size_t>(h.sampleCount), 0.0f);
    seed::DecodeSamples(exact.get(), static_cast<int>(record.size()), h, samples.data());
  }
  return 0;
}
