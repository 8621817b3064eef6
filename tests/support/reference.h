#pragma once
// The independent decoding of the real recordings: reference/<file>.txt.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RefRecord {
  std::map<std::string, std::string> f;  // key=value fields of the R line
  std::vector<int64_t> samples;  // S lines: integer encodings
  std::vector<double> floats;    // F lines: encodings 4 and 5
  bool decoded = false;

  long Int(const std::string& k) const { return std::stol(f.at(k)); }
  std::string Str(const std::string& k) const { return f.at(k); }
  // Would this converter decode the record exactly as the reference did?
  // Only when the header is big-endian, blockette 1000 is at byte 48 and the
  // data are in the byte order the converter reads for that encoding.
  bool ConverterDecodesAlike() const;
};

std::vector<RefRecord> ReadReference(const std::string& path);

}  // namespace testsupport
