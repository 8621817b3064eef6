#include "seed/record3.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "seed/seedtime.h"

namespace seed {
namespace {

constexpr int kMaxSamples = 65535;  // what the store takes from one record
constexpr int kSteimFrameBytes = 64;
constexpr int kSteimWordsPerFrame = 15;  // after the control word
constexpr int kSteimIntegrationWords = 2;

// Slice-by-8 tables of the reflected Castagnoli polynomial.
constexpr uint32_t kCastagnoli = 0x82F63B78u;
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCastagnoli : c >> 1;
    t[0][i] = c;
  }
  for (int s = 1; s < 8; ++s)
    for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}
constexpr CrcTables kCrc = MakeCrcTables();

double LoadLE64Double(const unsigned char* p) {
  const uint64_t v = uint64_t{LoadLE32(p + 4)} << 32 | LoadLE32(p);
  return std::bit_cast<double>(v);
}

int SampleWidth(int encodingFormat) {
  switch (encodingFormat) {
    case 1: return 2;
    case 3: case 4: return 4;
    case 5: return 8;
    default: return 0;
  }
}

// The most samples dataLength bytes of an encoding can hold; -1: no limit known.
int64_t Capacity(int encodingFormat, uint32_t dataLength) {
  if (const int width = SampleWidth(encodingFormat)) return dataLength / width;
  const int perWord = encodingFormat == kSteim1Format ? 4 : encodingFormat == 11 ? 7 : 0;
  if (!perWord) return -1;
  const int64_t words = int64_t{dataLength / kSteimFrameBytes} * kSteimWordsPerFrame - kSteimIntegrationWords;
  return words > 0 ? words * perWord : 0;
}

// Copies a code that fits a decoded record's fields.
bool FitsCode(std::string_view code, char* out) {
  if (code.size() > static_cast<size_t>(kCodeMax)) return false;
  code.copy(out, code.size());
  out[code.size()] = '\0';
  return true;
}

}  // namespace

bool IsRecord3(const unsigned char* p, size_t avail) {
  if (avail < static_cast<size_t>(k3FixedHeaderSize)) return false;
  if (p[k3Magic] != 'M' || p[k3Magic + 1] != 'S' || p[k3Version] != k3FormatVersion) return false;
  const int day = LoadLE16(p + k3DayOfYear);
  return LoadLE32(p + k3Nanosecond) < 1000000000u && day >= 1 && day <= 366 && p[k3Hour] <= 23 &&
         p[k3Minute] <= 59 && p[k3Second] <= 60;
}

uint64_t Record3Length(const unsigned char* p) {
  return uint64_t{k3FixedHeaderSize} + p[k3IdentifierLength] + LoadLE16(p + k3ExtraLength) +
         LoadLE32(p + k3DataLength);
}

uint32_t Crc32cTable(const unsigned char* p, size_t n, uint32_t crc) {
  crc = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    const uint32_t lo = LoadLE32(p) ^ crc, hi = LoadLE32(p + 4);
    crc = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
          kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
  }
  for (; n; ++p, --n) crc = (crc >> 8) ^ kCrc[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

#if defined(__x86_64__)
namespace {

// The processor's CRC32 instruction computes CRC-32C: about ten times the
// table's speed, which a station-day's records otherwise feel.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(const unsigned char* p, size_t n, uint32_t crc) {
  uint64_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    c = __builtin_ia32_crc32di(c, word);
  }
  auto c32 = static_cast<uint32_t>(c);
  for (; n; ++p, --n) c32 = __builtin_ia32_crc32qi(c32, *p);
  return ~c32;
}

}  // namespace
#endif

uint32_t Crc32c(const unsigned char* p, size_t n, uint32_t crc) {
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return Crc32cHardware(p, n, crc);
#endif
  return Crc32cTable(p, n, crc);
}

Damage CheckRecord3(const unsigned char* r, size_t length) {
  if (length < static_cast<size_t>(k3FixedHeaderSize) || Record3Length(r) > length) return Damage::kTruncated;
  if (Record3Length(r) > k3MaxRecordLength) return Damage::kLengths;
  static constexpr unsigned char kZero[4] = {};
  uint32_t crc = Crc32c(r, k3Crc);
  crc = Crc32c(kZero, sizeof kZero, crc);
  crc = Crc32c(r + k3Crc + 4, length - k3Crc - 4, crc);
  if (crc != LoadLE32(r + k3Crc)) return Damage::kBadCrc;
  const uint32_t count = LoadLE32(r + k3SampleCount);
  const int64_t capacity = Capacity(r[k3Encoding], LoadLE32(r + k3DataLength));
  if (count > static_cast<uint32_t>(kMaxSamples) || (capacity >= 0 && count > capacity)) return Damage::kLengths;
  return Damage::kNone;
}

char QualityOfPublicationVersion(int version) {
  switch (version) {
    case 1: return 'R';
    case 3: return 'Q';
    case 4: return 'M';
    default: return 'D';
  }
}

std::string MapSourceIdentifier(const char* id, size_t length, RecordHeader& h) {
  std::string_view rest(id, length);
  constexpr std::string_view kPrefix = "FDSN:";
  if (rest.substr(0, kPrefix.size()) != kPrefix) return "not an FDSN source identifier";
  rest.remove_prefix(kPrefix.size());
  std::string_view part[6];
  for (int i = 0; i < 5; ++i) {
    const size_t cut = rest.find('_');
    if (cut == std::string_view::npos) return "not of the form FDSN:NET_STA_LOC_B_S_SS";
    part[i] = rest.substr(0, cut);
    rest.remove_prefix(cut + 1);
  }
  if (rest.find('_') != std::string_view::npos) return "not of the form FDSN:NET_STA_LOC_B_S_SS";
  part[5] = rest;
  const std::string_view net = part[0], sta = part[1], loc = part[2];
  if (part[3].size() != 1 || part[4].size() != 1 || part[5].size() != 1)
    return "band, source and subsource are not one character each";
  if (sta.empty()) return "empty station code";
  if (!FitsCode(sta, h.station)) return "station code longer than " + std::to_string(kCodeMax) + " characters";
  if (!FitsCode(net, h.network) || !FitsCode(loc, h.location))
    return "network or location code longer than " + std::to_string(kCodeMax) + " characters";
  const char channel[] = {part[3][0], part[4][0], part[5][0], '\0'};
  std::memcpy(h.channel, channel, sizeof channel);
  if (!IsSafeCode(h.station)) return "station code is not a safe file name";
  if (!IsSafeCode(h.channel)) return "channel code is not a safe file name";
  return {};
}

std::string SourceIdentifier(const unsigned char* record) {
  return std::string(reinterpret_cast<const char*>(record + k3FixedHeaderSize), record[k3IdentifierLength]);
}

std::string ReadHeader3(const unsigned char* r, RecordHeader& h, double& rate, double& start) {
  h.quality = QualityOfPublicationVersion(r[k3PublicationVersion]);
  h.station[0] = h.channel[0] = h.location[0] = h.network[0] = '\0';
  h.sampleCount = static_cast<int>(LoadLE32(r + k3SampleCount));
  h.rateFactor = h.rateMultiplier = 0;
  h.dataOffset = k3FixedHeaderSize + r[k3IdentifierLength] + LoadLE16(r + k3ExtraLength);
  h.headerLittleEndian = true;
  h.blockette1000 = -1;
  h.encodingFormat = r[k3Encoding];
  // Steim frames are most significant byte first, every other encoding least.
  h.dataBigEndian = h.encodingFormat == kSteim1Format || h.encodingFormat == 11;
  const double given = LoadLE64Double(r + k3SampleRate);
  rate = given > 0 ? given : given < 0 ? -1.0 / given : 1.0;
  if (!std::isfinite(rate) || rate <= 0) rate = 1.0;  // as a zero factor gives in version 2
  start = StartTime(LoadLE16(r + k3Year), LoadLE16(r + k3DayOfYear), r[k3Hour], r[k3Minute], r[k3Second],
                    LoadLE32(r + k3Nanosecond) / 1e9);
  const std::string why =
      MapSourceIdentifier(reinterpret_cast<const char*>(r + k3FixedHeaderSize), r[k3IdentifierLength], h);
  return why.empty() ? why : "identifier \"" + SourceIdentifier(r) + "\": " + why;
}

}  // namespace seed
