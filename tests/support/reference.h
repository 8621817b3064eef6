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
  // Does this converter decode the record to the reference's integer
  // samples? Any decoded record of an integer encoding; float records are
  // compared by their F lines instead.
  bool ConverterDecodesAlike() const;
};

std::vector<RefRecord> ReadReference(const std::string& path);

}  // namespace testsupport
