#include "seed/record.h"

#include <cstdio>
#include <cstring>

#include "platform/diag.h"
#include "seed/steim.h"

namespace seed {
namespace {

void SwapField16(unsigned char* record, int offset) {
  Store16(record + offset, LoadBE16(record + offset));
}

}  // namespace

bool IsAcceptedQuality(char quality, const char* accepted) {
  return quality != '\0' && std::strchr(accepted, quality) != nullptr;
}

void HeaderToHostOrder(unsigned char* record) {
  for (int offset : {kYear, kDayOfYear, kTenThousandths, kSampleCount, kRateFactor,
                     kRateMultiplier, kDataOffset, kFirstBlockette})
    SwapField16(record, offset);
}

void ReadHeader(const unsigned char* record, RecordHeader& h) {
  h.quality = static_cast<char>(record[kQuality]);
  CopyCode(record + kStation, kStationMax, h.station);
  CopyCode(record + kChannel, kChannelMax, h.channel);
  h.sampleCount = Load16(record + kSampleCount);
  h.rateFactor = static_cast<int16_t>(Load16(record + kRateFactor));
  h.rateMultiplier = static_cast<int16_t>(Load16(record + kRateMultiplier));
  h.dataOffset = Load16(record + kDataOffset);
  h.encodingFormat = record[kEncoding];
  h.dataBigEndian = record[kWordOrder] != 0;
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
  switch (encodingFormat) {
    case 3: return kInt32;
    case 11: return kSteim2;
    default: return kSteim1;
  }
}

Encoding DecodeSamples(const unsigned char* record, int R, const RecordHeader& h, float* out) {
  const Encoding encoding = DecoderFor(h.encodingFormat);
  const int n = h.sampleCount;
  const int D = h.dataOffset;
  if (D > R) {
    platform::DebugOutputF(
        "Beginning of data %d lies beyond the %d-byte record... %d values will be Padded with Zeros\n", D, R,
        n);
  } else if (encoding == kInt32) {
    DecodeInt32(record + D, R - D, n, out, h.dataBigEndian);
  } else if (encoding == kSteim2) {
    DecodeSteim2(record, record + D, R, n, out, h.dataBigEndian);
  } else {
    DecodeSteim1(record, record + D, R, n, out);
  }
  return encoding;
}

int FormatStatus(char* out, size_t size, const char* sta, const char* chan, double start,
                 int count, double rate, int dataOffset) {
  return std::snprintf(out, size, "%s::%s Time=%f DT=%f Counts=%d beg=%d", sta, chan, start,
                       count / rate, count, dataOffset);
}

}  // namespace seed
