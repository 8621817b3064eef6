// The decoders against a plain, slow reading of the Steim1, Steim2, integer
// and float formats: the same samples, bit for bit, for any record bytes,
// data offset, sample count, record length and byte order. The fast paths of
// the decoders take over only while enough samples remain, so inputs near
// every count matter. Text and encodings without a decoder give no samples.
//
// Input: byte 0 bits 0-2 record length (256 << (bits % 6)), bits 3-5 the
// encoding (3, 10, 11, 0, 1, 4, 5 or 14), bit 6 the word order; bytes 1-2
// the sample count, bytes 3-4 the data offset (modulo the record length +
// 16); the rest the record, completed with zero bytes.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "fuzzsupport.h"
#include "seed/record.h"

namespace {

uint32_t Word(const unsigned char* p, bool bigEndian) { return bigEndian ? seed::LoadBE32(p) : seed::LoadLE32(p); }

int32_t Bits(uint32_t w, int high, int width) {
  const uint32_t v = (w >> (high - width + 1)) & ((width == 32 ? 0 : 1u << width) - 1);
  const uint32_t sign = 1u << (width - 1);
  return static_cast<int32_t>(static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign));
}

// An integer of width bytes in the given byte order.
uint64_t Unsigned(const unsigned char* p, int width, bool bigEndian) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t{p[i]} << (8 * (bigEndian ? width - 1 - i : i));
  return v;
}

// Differences of one word, most significant first.
std::vector<int32_t> Differences(const unsigned char* p, int code, bool steim2, bool bigEndian) {
  std::vector<int32_t> d;
  if (code == 1) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<int8_t>(p[i]));
    return d;
  }
  if (!steim2) {
    if (code == 2)
      d = {static_cast<int16_t>(Unsigned(p, 2, bigEndian)), static_cast<int16_t>(Unsigned(p + 2, 2, bigEndian))};
    if (code == 3) d = {static_cast<int32_t>(Word(p, bigEndian))};
    return d;
  }
  const uint32_t w = Word(p, bigEndian);
  const unsigned sub = w >> 30;
  int count = 0, width = 0, top = 29;
  if (code == 2 && sub == 1) count = 1, width = 30;
  if (code == 2 && sub == 2) count = 2, width = 15;
  if (code == 2 && sub == 3) count = 3, width = 10;
  if (code == 3 && sub == 0) count = 5, width = 6;
  if (code == 3 && sub == 1) count = 6, width = 5;
  if (code == 3 && sub == 2) count = 7, width = 4, top = 27;
  for (int i = 0; i < count; ++i) d.push_back(Bits(w, top - i * width, width));
  return d;
}

float FixedValue(const unsigned char* p, int encoding, bool bigEndian) {
  switch (encoding) {
    case 1: return static_cast<float>(static_cast<int16_t>(Unsigned(p, 2, bigEndian)));
    case 3: return static_cast<float>(static_cast<int32_t>(Unsigned(p, 4, bigEndian)));
    case 4: return std::bit_cast<float>(static_cast<uint32_t>(Unsigned(p, 4, bigEndian)));
    default: return static_cast<float>(std::bit_cast<double>(Unsigned(p, 8, bigEndian)));
  }
}

std::vector<float> Reference(const unsigned char* record, int R, int D, int n, int encoding, bool bigEndian) {
  std::vector<float> out(static_cast<size_t>(n), 0.0f);
  if (D > R || encoding == 0 || encoding == 14) return out;
  const unsigned char* data = record + D;
  if (encoding != 10 && encoding != 11) {
    const int width = encoding == 1 ? 2 : encoding == 5 ? 8 : 4;
    for (int i = 0; i < n && D + width * i + width <= R; ++i)
      out[static_cast<size_t>(i)] = FixedValue(data + width * i, encoding, bigEndian);
    return out;
  }
  const bool steim2 = encoding == 11;
  const bool order = bigEndian;
  const int frames = (R - D) / 64;
  double acc = 0;
  int f = 0;
  for (int fr = 0; fr < frames; ++fr) {
    const unsigned char* frame = data + 64 * fr;
    const uint32_t ctrl = Word(frame, order);
    for (int w = 1; w < 16; ++w) {
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (code == 0) continue;
      const auto d = Differences(frame + 4 * w, code, steim2, order);
      for (size_t i = 0; i < d.size(); ++i) {
        if (steim2 && f >= n) return out;
        if (fr == 0 && w == 3 && i == 0) acc = static_cast<double>(static_cast<int32_t>(Word(data + 4, order))) - d[0];
        acc += d[i];
        if (f < n) out[static_cast<size_t>(f)] = static_cast<float>(acc);
        ++f;
      }
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static const int kEncodings[8] = {3, 10, 11, 0, 1, 4, 5, 14};
  const int R = 256 << ((data[0] & 7) % 6);
  seed::RecordHeader h{};
  h.encodingFormat = kEncodings[(data[0] >> 3) & 7];
  h.dataBigEndian = (data[0] & 0x40) != 0;
  h.sampleCount = data[1] << 8 | data[2];
  h.dataOffset = (data[3] << 8 | data[4]) % (R + 16);
  data += 5;
  size -= 5;

  std::unique_ptr<unsigned char[]> record(new unsigned char[static_cast<size_t>(R)]);
  const size_t take = size < static_cast<size_t>(R) ? size : static_cast<size_t>(R);
  std::memcpy(record.get(), data, take);
  std::memset(record.get() + take, 0, static_cast<size_t>(R) - take);
  const std::vector<float> expected =
      Reference(record.get(), R, h.dataOffset, h.sampleCount, h.encodingFormat, h.dataBigEndian);

  // Exactly n floats, so that a write past the last sample is caught.
  std::unique_ptr<float[]> out(new float[static_cast<size_t>(h.sampleCount)]);
  float* samples = out.get();
  // NaN to begin with: the decoder sets every sample, 0.0 where the record has none.
  std::fill(samples, samples + h.sampleCount, std::numeric_limits<float>::quiet_NaN());
  seed::DecodeSamples(record.get(), R, h, samples);
  // Bits, not values: not-a-number must come out as the same not-a-number.
  fuzz::Check(expected.empty() || std::memcmp(samples, expected.data(), sizeof(float) * expected.size()) == 0,
              "decoded samples differ from the plain reading of the format");
  return 0;
}
