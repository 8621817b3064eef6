#pragma once
// The fixed section of a SEED data record as this converter reads it: 48
// header bytes, then a chain of blockettes, one of which (blockette 1000)
// names the encoding, word order and length of the record. Multi-byte header
// and blockette fields are most significant byte first unless the start time
// shows the header to be little-endian.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace seed {

// Byte offsets from the start of the record.
constexpr int kQuality = 6;
constexpr int kStation = 8;          // 5 bytes
constexpr int kLocation = 13;        // 2 bytes
constexpr int kChannel = 15;         // 3 bytes
constexpr int kNetwork = 18;         // 2 bytes
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
constexpr int kFirstBlockette = 46;  // u16, 0 = no blockettes

// Byte offsets from the start of a blockette.
constexpr int kBlocketteType = 0;      // u16
constexpr int kBlocketteNext = 2;      // u16, offset of the next blockette, 0 = last
constexpr int kBlocketteHeadSize = 4;  // type and next offset
constexpr int kB1000Encoding = 4;      // u8, encoding format
constexpr int kB1000WordOrder = 5;     // u8, 0 = least significant byte first
constexpr int kB1000RecLenExponent = 6;  // u8, record length = 2 to this power
constexpr int kB1000Size = 8;
constexpr int kBlockette1000 = 1000;

constexpr int kFixedHeaderSize = 48;
constexpr int kProbeSize = 128;
constexpr int kStationMax = 5;
constexpr int kChannelMax = 3;
constexpr int kLocationMax = 2;
constexpr int kNetworkMax = 2;
constexpr int kCodeMax = 8;  // the longest code a decoded record carries
// Record lengths the converter reads: 2^8 to 2^13 bytes; 4096 for records
// without blockette 1000.
constexpr int kMinRecLenExponent = 8;
constexpr int kMaxRecLenExponent = 13;
constexpr int kDefaultRecordLength = 4096;
constexpr int kSteim1Format = 10;  // the encoding of a record without blockette 1000

// The decoder of a record, as kept in m_Encoding.
enum Encoding {
  kInt32 = 0,
  kSteim1 = 1,
  kSteim2 = 2,
  kInt16 = 3,
  kFloat32 = 4,
  kFloat64 = 5,
  kText = 6,       // log records: no samples
  kNoDecoder = 7,  // an encoding format this converter cannot decode
};

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
inline uint16_t LoadLE16(const unsigned char* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }
inline uint32_t LoadBE32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint32_t LoadLE32(const unsigned char* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// The header fields the converter uses, in host order.
struct RecordHeader {
  char quality;
  // Room for the longer codes of miniSEED 3 identifiers.
  char station[kCodeMax + 1];
  char channel[kCodeMax + 1];
  char location[kCodeMax + 1];  // empty when blank
  char network[kCodeMax + 1];
  int sampleCount;
  int rateFactor;
  int rateMultiplier;
  int dataOffset;
  bool headerLittleEndian;
  int blockette1000;   // its offset, -1 when the chain holds none
  int encodingFormat;  // of blockette 1000; Steim1 without one
  bool dataBigEndian;  // the byte order the decoder reads the data in
};

// Is byte 6 a data record's quality indicator that the run accepts?
bool IsAcceptedQuality(char quality, const char* accepted);
// Is it the quality indicator of a data record at all (D, R, Q or M)?
bool IsDataQuality(char quality);

// Whether a header is little-endian: the year and day of year of its start
// time (bytes 20-23) make sense (1900-2100, 1-366) only when read least
// significant byte first. A header that makes sense both ways is big-endian.
bool IsLittleEndianHeader(const unsigned char* record);

// How a walk along the blockettes ended.
enum class Chain { kFound, kEnded, kBroken };  // kFound: a blockette 1000
struct Blockette1000 {
  int offset = -1;
  int encodingFormat = 0;
  int wordOrder = 0;
  int recLenExponent = 0;
};

// Follows the blockettes from the first-blockette offset, reading offsets and
// types in the header's byte order, to the first blockette 1000 that lies
// wholly inside the first limit bytes. A blockette counts only when its type
// and next offset lie inside them; the chain ends at a next offset of 0 and
// is broken when an offset does not move forward or leaves the limit.
Chain FindBlockette1000(const unsigned char* record, int limit, bool littleEndian, Blockette1000& found);

// The record length the search takes from a probe of kProbeSize bytes: that
// of its blockette 1000 when accepted, kDefaultRecordLength for a probe
// whose chain ends without one, 0 (rejected) for an unaccepted length or a
// broken chain. Quality is not looked at.
int ProbeRecordLength(const unsigned char* probe);

// The length the record at probe is read at, current being the length of the
// record before it: its own when it is a data record whose blockette 1000
// (within kProbeSize bytes) declares an accepted length, current otherwise.
int OwnRecordLength(const unsigned char* probe, int current);

// The length a data record at probe declares when it is shorter than any
// the reader takes (128 bytes, say); 0 otherwise.
int TooShortRecordLength(const unsigned char* probe);

// Turns the 16-bit header fields of bytes 20-35 and 44-47 into host order
// in place, so that the time fields can be read by RecordStartTime.
void HeaderToHostOrder(unsigned char* record, bool littleEndian);

// Reads the header of an R-byte record as it came from the file: finds its
// byte order and its blockette 1000, turns the header to host order in place
// and fills header.
void ReadHeader(unsigned char* record, int R, RecordHeader& header);

// Copies a blank-filled code up to its first blank or NUL.
void CopyCode(const unsigned char* field, int width, char* out);

// Letters and digits only: a code becomes part of a path.
bool IsSafeCode(const char* code);

double CalcSampleRate(int factor, int multiplier);

// The decoder for an encoding format: 0 text, 1 16-bit, 3 32-bit integers,
// 4 and 5 32- and 64-bit floats, 10 Steim1, 11 Steim2; kNoDecoder for any other.
Encoding DecoderFor(int encodingFormat);

// Decodes the n samples of a record read by ReadHeader into out (n floats)
// with the decoder for its encoding; what the record does not hold, text and
// encodings without a decoder included, comes out as 0.0.
Encoding DecodeSamples(const unsigned char* record, int R, const RecordHeader& header, float* out);

// "%s::%s Time=%f DT=%f Counts=%d beg=%d" into out; returns the length.
int FormatStatus(char* out, size_t size, const char* sta, const char* chan, double start,
                 int count, double rate, int dataOffset);

}  // namespace seed
