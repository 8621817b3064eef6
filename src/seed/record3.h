#pragma once
// miniSEED 3 data records: a 40-byte fixed header, always least significant
// byte first, then the source identifier, the extra headers (JSON) and the
// data. A record is as long as its header says; a CRC-32C covers it whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "seed/record.h"

namespace seed {

// Byte offsets from the start of the record.
constexpr int k3Magic = 0;               // "MS"
constexpr int k3Version = 2;             // u8, 3
constexpr int k3Flags = 3;               // u8
constexpr int k3Nanosecond = 4;          // u32
constexpr int k3Year = 8;                // u16
constexpr int k3DayOfYear = 10;          // u16
constexpr int k3Hour = 12;               // u8
constexpr int k3Minute = 13;             // u8
constexpr int k3Second = 14;             // u8, 60 in a leap second
constexpr int k3Encoding = 15;           // u8
constexpr int k3SampleRate = 16;         // f64, negative: the sample period in seconds
constexpr int k3SampleCount = 24;        // u32
constexpr int k3Crc = 28;                // u32, CRC-32C of the record with this field zero
constexpr int k3PublicationVersion = 32; // u8
constexpr int k3IdentifierLength = 33;   // u8
constexpr int k3ExtraLength = 34;        // u16
constexpr int k3DataLength = 36;         // u32
constexpr int k3FixedHeaderSize = 40;
constexpr int k3FormatVersion = 3;
// The longest record the reader takes: a header and identifier, the
// longest extra headers, and the data of the most samples a record may
// carry in the widest encoding. Longer ones are refused as damaged.
constexpr uint64_t k3MaxRecordLength = k3FixedHeaderSize + 255 + 65535 + 65535 * 8;

// Strict and silent: whether a version 3 header begins at p, of which avail
// bytes are at hand. Checks the marker, version and the time fields' ranges.
bool IsRecord3(const unsigned char* p, size_t avail);

// The length the fixed header at p declares: header, identifier, extra
// headers and data.
uint64_t Record3Length(const unsigned char* p);

// CRC-32C (Castagnoli), continuing from crc (0 to start): by the
// processor's instruction where it has one, else by table.
uint32_t Crc32c(const unsigned char* data, size_t n, uint32_t crc = 0);
uint32_t Crc32cTable(const unsigned char* data, size_t n, uint32_t crc = 0);

enum class Damage {
  kNone,
  kBadCrc,     // the CRC does not match the record
  kTruncated,  // the record runs past the end of the file
  kLengths,    // its lengths do not hold what its count and encoding need
};

// What is wrong with the whole record of length bytes at record.
Damage CheckRecord3(const unsigned char* record, size_t length);

// The quality indicator for a publication version: 1 R, 2 D, 3 Q, 4 M; D otherwise.
char QualityOfPublicationVersion(int version);

// Codes of an identifier "FDSN:NET_STA_LOC_B_S_SS" as the archive keeps them:
// the channel is B, S and SS when each is one character. Empty when it maps;
// else why not.
std::string MapSourceIdentifier(const char* id, size_t length, RecordHeader& h);

// The identifier of the record as text.
std::string SourceIdentifier(const unsigned char* record);

// Fills h (codes, count, encoding, data offset and byte order, quality),
// the rate and the start time from a whole, undamaged record. Returns an
// empty string, or its identifier and why it does not map.
std::string ReadHeader3(const unsigned char* record, RecordHeader& h, double& rate, double& start);

}  // namespace seed
