// The record length search over arbitrary file contents, checked against a
// plain model of the search: the first miniSEED 3 header (at any byte) of an
// accepted quality, with 4096, or the first 16-byte step whose 128-byte probe
// carries an accepted quality code and a usable length, the length of the
// first blockette 1000 along its chain (read in the header's byte order), or
// 4096 for a probe whose chain ends without one, whichever comes first.
//
// Input: byte 0 bit 0 selects the accepted qualities (DQ or DQRM); bytes 0
// (high nibble) and 1 give a run of zero bytes put in front of the rest, up to
// 65520, so that records land on both sides of the search's read windows.
#include <cstdint>
#include <cstring>

#include "convert/convertfromseed.h"
#include "fuzzsupport.h"
#include "seed/record.h"

namespace {

struct Found {
  long offset = 0;
  int length = 0;
};

bool SensibleDate(int year, int day) { return year >= 1900 && year <= 2100 && day >= 1 && day <= 366; }

// 0: rejected.
int ProbeLength(const uint8_t* p) {
  const auto be = [p](int at) { return p[at] << 8 | p[at + 1]; };
  const auto le = [p](int at) { return p[at + 1] << 8 | p[at]; };
  const bool little = !SensibleDate(be(20), be(22)) && SensibleDate(le(20), le(22));
  const auto field = [&](int at) { return little ? le(at) : be(at); };
  int previous = 47;
  for (int at = field(46); at != 0; previous = at, at = field(at + 2)) {
    if (at <= previous || at + 4 > 128) return 0;  // broken chain
    if (field(at) == 1000 && at + 8 <= 128) {
      const int e = p[at + 6];
      return e >= 8 && e <= 13 ? 1 << e : 0;
    }
  }
  return 4096;
}

// A version 3 header: "MS", 3, and time fields in range.
bool Version3(const uint8_t* p, size_t avail, const char* quality) {
  if (avail < 40 || p[0] != 'M' || p[1] != 'S' || p[2] != 3) return false;
  const uint32_t ns = uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
  const int day = p[10] | p[11] << 8;
  if (ns >= 1000000000u || day < 1 || day > 366 || p[12] > 23 || p[13] > 59 || p[14] > 60) return false;
  const char q = p[32] == 1 ? 'R' : p[32] == 3 ? 'Q' : p[32] == 4 ? 'M' : 'D';
  return seed::IsAcceptedQuality(q, quality);
}

Found Model(const uint8_t* data, size_t size, size_t padding, const char* quality) {
  for (size_t pos = padding; pos < padding + size; ++pos) {
    const uint8_t* p = data + (pos - padding);
    if (Version3(p, padding + size - pos, quality)) return {static_cast<long>(pos), 4096};
    if (pos % 16 != 0 || pos + seed::kProbeSize > padding + size) continue;
    if (!seed::IsAcceptedQuality(static_cast<char>(p[seed::kQuality]), quality)) continue;
    if (const int length = ProbeLength(p)) return {static_cast<long>(pos), length};
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static fuzz::MemoryFile file;
  static CConvertFromSeed converter(nullptr, "/nonexistent/VEZ.ini");
  const char* quality = (data[0] & 1) ? "DQRM" : "DQ";
  const size_t padding = size_t{data[1]} * 256 + (data[0] & 0xF0);
  data += 2;
  size -= 2;
  file.Set(data, size, padding);
  converter.SetQuality(quality);
  converter.m_RecLen = -1;

  const long offset = converter.FindRecordLength(file.Fd());
  const Found expected = Model(data, size, padding, quality);
  fuzz::Check(offset >= 0, "the search reported a read error on a readable file");
  fuzz::Check(converter.m_RecLen == expected.length, "record length differs from the model's");
  fuzz::Check(offset == expected.offset, "first record offset differs from the model's");
  return 0;
}
