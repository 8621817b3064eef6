#pragma once
// The fixed section of a SEED data record as this converter reads it:
// 48 header bytes with blockette 1000 expected at byte 48. Every multi-byte
// header field is most significant byte first, always.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace seed {

// Byte offsets from the start of the record.
constexpr int kQuality = 6;
constexpr int kStation = 8;          // 5 bytes
constexpr int kLocation = 13;        // 2 bytes, not read
constexpr int kChannel = 15;         // 3 bytes
constexpr int kYear = 20;            // u16
constexpr int kDayOfYear = 22;       // u16
constexpr int kHour = 24;            // u8
constexpr int kMinute = 25;          // u8
constexpr int kSecond = 26;          // u8
constexpr int kTenThousandths = 28;  // u16
constexpr int kSampleCount = 30;     // u16
constexpr int kRateFactor = 32;      // s16
constexpr int kRateMultiplier = 34;  // s16
constexpr int kDataOffset = 44;      // u16
constexpr int kFirstBlockette = 46;  // u16
constexpr int kEncoding = 52;        // u8, blockette 1000 at byte 48
constexpr int kWordOrder = 53;       // u8, 0 = least significant byte first
constexpr int kRecLenExponent = 54;  // u8

constexpr int kFixedHeaderSize = 48;
constexpr int kProbeSize = 128;
constexpr int kStationMax = 5;
constexpr int kChannelMax = 3;

enum Encoding { kInt32 = 0, kSteim1 = 1, kSteim2 = 2 };

inline uint16_t Swap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }

// Unaligned host-order reads and writes inside a record buffer.
inline uint16_t Load16(const unsigned char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t Load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store16(unsigned char* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }

inline uint16_t LoadBE16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadBE32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint32_t LoadLE32(const unsigned char* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// The header fields the converter uses, in host order.
struct RecordHeader {
  char quality;
  char station[kStationMax + 1];
  char channel[kChannelMax + 1];
  int sampleCount;
  int rateFactor;
  int rateMultiplier;
  int dataOffset;
  int encodingFormat;  // byte 52
  bool dataBigEndian;  // byte 53 != 0
};

// Is byte 6 a data record's quality indicator that the run accepts?
bool IsAcceptedQuality(char quality, const char* accepted);

// Turns the 16-bit header fields of bytes 20-35 and 44-47 into host order
// in place, so that the time fields can be read by RecordStartTime.
void HeaderToHostOrder(unsigned char* record);

// Reads the fields of a record whose header is already in host order.
void ReadHeader(const unsigned char* record, RecordHeader& header);

// Copies a blank-filled code up to its first blank or NUL.
void CopyCode(const unsigned char* field, int width, char* out);

// Letters and digits only: a code becomes part of a path.
bool IsSafeCode(const char* code);

double CalcSampleRate(int factor, int multiplier);

// The decoder for the encoding format of byte 52: 3 gives 32-bit integers,
// 11 Steim2, anything else Steim1.
Encoding DecoderFor(int encodingFormat);

// Decodes the n samples of a record whose header is in host order into out
// (n floats, zeroed by the caller) with the decoder for its encoding.
Encoding DecodeSamples(const unsigned char* record, int R, const RecordHeader& header, float* out);

// "%s::%s Time=%f DT=%f Counts=%d beg=%d" into out; returns the length.
int FormatStatus(char* out, size_t size, const char* sta, const char* chan, double start,
                 int count, double rate, int dataOffset);

}  // namespace seed
