// The record length search over arbitrary file contents, checked against a
// plain model of the search: the first 16-byte step whose 128-byte probe
// carries an accepted quality code and a usable length.
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

Found Model(const uint8_t* data, size_t size, size_t padding, const char* quality) {
  for (size_t pos = padding; pos + seed::kProbeSize <= padding + size; pos += 16) {
    const uint8_t* p = data + (pos - padding);
    if (!seed::IsAcceptedQuality(static_cast<char>(p[seed::kQuality]), quality)) continue;
    int length = 0;
    if (p[seed::kFirstBlockette] == 0 && p[seed::kFirstBlockette + 1] == 0)
      length = 4096;
    else if (p[seed::kRecLenExponent] >= 8 && p[seed::kRecLenExponent] <= 13)
      length = 1 << p[seed::kRecLenExponent];
    if (length) return {static_cast<long>(pos), length};
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
