#include "support/reference.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {
namespace {

// Parses `key=value` pairs; quoted values keep their blanks.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    size_t eq = line.find('=', i);
    if (eq == std::string::npos) break;
    size_t keyStart = line.rfind(' ', eq);
    keyStart = keyStart == std::string::npos ? 0 : keyStart + 1;
    std::string key = line.substr(keyStart, eq - keyStart);
    size_t v = eq + 1, end;
    std::string value;
    if (v < line.size() && line[v] == '"') {
      end = line.find('"', v + 1);
      value = line.substr(v + 1, end - v - 1);
      ++end;
    } else {
      end = line.find(' ', v);
      if (end == std::string::npos) end = line.size();
      value = line.substr(v, end - v);
    }
    out[key] = value;
    i = end;
  }
  return out;
}

}  // namespace

std::vector<RefRecord> ReadReference(const std::string& path) {
  std::ifstream in(path);
  std::vector<RefRecord> recs;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("R ", 0) == 0) {
      recs.push_back({Fields(line), {}, {}, false});
    } else if (line.rfind("D n=", 0) == 0 && !recs.empty()) {
      recs.back().decoded = true;
    } else if (line.rfind("S ", 0) == 0 && !recs.empty()) {
      std::istringstream s(line.substr(2));
      long long index, v;
      s >> index;
      while (s >> v) recs.back().samples.push_back(v);
    } else if (line.rfind("F ", 0) == 0 && !recs.empty()) {
      // strtod, since streams do not read nan and inf.
      std::istringstream s(line.substr(2));
      std::string index, v;
      s >> index;
      while (s >> v) recs.back().floats.push_back(std::strtod(v.c_str(), nullptr));
    }
  }
  return recs;
}


bool RefRecord::ConverterDecodesAlike() const { return decoded && floats.empty(); }

}  // namespace testsupport
