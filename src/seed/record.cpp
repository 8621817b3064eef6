#include "seed/record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/diag.h"
#include "seed/fixedwidth.h"
#include "seed/steim.h"

namespace seed {
namespace {

uint16_t Load16In(const unsigned char* p, bool littleEndian) { return littleEndian ? LoadLE16(p) : LoadBE16(p); }

bool IsPlausibleDate(int year, int dayOfYear) {
  return year >= 1900 && year <= 2100 && dayOfYear >= 1 && dayOfYear <= 366;
}

// The length a probe's blockette 1000 declares when accepted, else 0.
int DeclaredLength(const unsigned char* probe, Chain& chain) {
  Blockette1000 b;
  chain = FindBlockette1000(probe, kProbeSize, IsLittleEndianHeader(probe), b);
  if (chain != Chain::kFound) return 0;
  if (b.recLenExponent < kMinRecLenExponent || b.recLenExponent > kMaxRecLenExponent) return 0;
  return 1 << b.recLenExponent;
}

// Every decoder behind one signature: the R-byte record, its data at byte D.
using DecodeFn = void (*)(const unsigned char* record, int R, int D, int n, float* out, bool bigEndian);

struct DecoderEntry {
  int format;
  Encoding encoding;
  DecodeFn decode;  // null: no samples to decode
};

constexpr DecoderEntry kDecoders[] = {
    {0, kText, nullptr},
    {1, kInt16,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeInt16(r + D, R - D, n, out, big); }},
    {3, kInt32,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeInt32(r + D, R - D, n, out, big); }},
    {4, kFloat32,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeFloat32(r + D, R - D, n, out, big); }},
    {5, kFloat64,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeFloat64(r + D, R - D, n, out, big); }},
    {kSteim1Format, kSteim1,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeSteim1(r, r + D, R, n, out, big); }},
    {11, kSteim2,
     [](const unsigned char* r, int R, int D, int n, float* out, bool big) { DecodeSteim2(r, r + D, R, n, out, big); }},
};

const DecoderEntry* FindDecoder(int format) {
  for (const DecoderEntry& d : kDecoders)
    if (d.format == format) return &d;
  return nullptr;
}

}  // namespace

bool IsAcceptedQuality(char quality, const char* accepted) {
  return quality != '\0' && std::strchr(accepted, quality) != nullptr;
}

bool IsDataQuality(char quality) { return IsAcceptedQuality(quality, "DRQM"); }

bool IsLittleEndianHeader(const unsigned char* record) {
  return !IsPlausibleDate(LoadBE16(record + kYear), LoadBE16(record + kDayOfYear)) &&
         IsPlausibleDate(LoadLE16(record + kYear), LoadLE16(record + kDayOfYear));
}

Chain FindBlockette1000(const unsigned char* record, int limit, bool littleEndian, Blockette1000& found) {
  int previous = kFixedHeaderSize - 1;  // blockettes follow the fixed section
  for (int at = Load16In(record + kFirstBlockette, littleEndian); at != 0;) {
    if (at <= previous || at + kBlocketteHeadSize > limit) return Chain::kBroken;
    if (Load16In(record + at + kBlocketteType, littleEndian) == kBlockette1000 && at + kB1000Size <= limit) {
      found.offset = at;
      found.encodingFormat = record[at + kB1000Encoding];
      found.wordOrder = record[at + kB1000WordOrder];
      found.recLenExponent = record[at + kB1000RecLenExponent];
      return Chain::kFound;
    }
    previous = at;
    at = Load16In(record + at + kBlocketteNext, littleEndian);
  }
  return Chain::kEnded;
}

int ProbeRecordLength(const unsigned char* probe) {
  Chain chain;
  const int length = DeclaredLength(probe, chain);
  return chain == Chain::kEnded ? kDefaultRecordLength : length;
}

int OwnRecordLength(const unsigned char* probe, int current) {
  if (!IsDataQuality(static_cast<char>(probe[kQuality]))) return current;
  Chain chain;
  const int length = DeclaredLength(probe, chain);
  return length ? length : current;
}

int TooShortRecordLength(const unsigned char* probe) {
  if (!IsDataQuality(static_cast<char>(probe[kQuality]))) return 0;
  Blockette1000 b;
  if (FindBlockette1000(probe, kProbeSize, IsLittleEndianHeader(probe), b) != Chain::kFound) return 0;
  // 64 bytes hold the fixed header and blockette 1000, the least a record can be.
  if (b.recLenExponent < 6 || b.recLenExponent >= kMinRecLenExponent) return 0;
  return 1 << b.recLenExponent;
}

void HeaderToHostOrder(unsigned char* record, bool littleEndian) {
  for (int offset : {kYear, kDayOfYear, kTenThousandths, kSampleCount, kRateFactor,
                     kRateMultiplier, kDataOffset, kFirstBlockette})
    Store16(record + offset, Load16In(record + offset, littleEndian));
}

void ReadHeader(unsigned char* record, int R, RecordHeader& h) {
  h.headerLittleEndian = IsLittleEndianHeader(record);
  Blockette1000 b;
  const bool found = FindBlockette1000(record, R, h.headerLittleEndian, b) == Chain::kFound;
  HeaderToHostOrder(record, h.headerLittleEndian);
  h.quality = static_cast<char>(record[kQuality]);
  CopyCode(record + kStation, kStationMax, h.station);
  CopyCode(record + kChannel, kChannelMax, h.channel);
  CopyCode(record + kLocation, kLocationMax, h.location);
  CopyCode(record + kNetwork, kNetworkMax, h.network);
  h.sampleCount = Load16(record + kSampleCount);
  h.rateFactor = static_cast<int16_t>(Load16(record + kRateFactor));
  h.rateMultiplier = static_cast<int16_t>(Load16(record + kRateMultiplier));
  h.dataOffset = Load16(record + kDataOffset);
  h.blockette1000 = b.offset;
  h.encodingFormat = found ? b.encodingFormat : kSteim1Format;
  // Steim1 under a big-endian header, and a record without blockette 1000,
  // are most significant byte first whatever the word order says.
  const bool fixedOrder = !found || (b.encodingFormat == kSteim1Format && !h.headerLittleEndian);
  h.dataBigEndian = fixedOrder || b.wordOrder != 0;
}

void CopyCode(const unsigned char* field, int width, char* out) {
  int i = 0;
  for (; i < width && field[i] != ' ' && field[i] != '\0'; ++i) out[i] = static_cast<char>(field[i]);
  out[i] = '\0';
}

bool IsSafeCode(const char* code) {
  for (; *code; ++code) {
    char c = *code;
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

double CalcSampleRate(int factor, int multiplier) {
  double f = factor, m = multiplier;
  if (factor == 0 || multiplier == 0) return 1.0;
  if (factor > 0) return multiplier > 0 ? f * m : f / -m;
  return multiplier > 0 ? m / -f : 1.0 / (f * m);
}

Encoding DecoderFor(int encodingFormat) {
  const DecoderEntry* d = FindDecoder(encodingFormat);
  return d ? d->encoding : kNoDecoder;
}

Encoding DecodeSamples(const unsigned char* record, int R, const RecordHeader& h, float* out) {
  const DecoderEntry* d = FindDecoder(h.encodingFormat);
  const int n = h.sampleCount;
  if (!d || !d->decode) {
    std::fill(out, out + std::max(n, 0), 0.0f);
    return d ? d->encoding : kNoDecoder;
  }
  const int D = h.dataOffset;
  if (D > R) {
    std::fill(out, out + std::max(n, 0), 0.0f);
    platform::DebugOutputF(
        "Beginning of data %d lies beyond the %d-byte record... %d values will be Padded with Zeros\n", D, R,
        n);
  } else {
    d->decode(record, R, D, n, out, h.dataBigEndian);
  }
  return d->encoding;
}

int FormatStatus(char* out, size_t size, const char* sta, const char* chan, double start,
                 int count, double rate, int dataOffset) {
  return std::snprintf(out, size, "%s::%s Time=%f DT=%f Counts=%d beg=%d", sta, chan, start,
                       count / rate, count, dataOffset);
}

}  // namespace seed
