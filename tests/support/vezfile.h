#pragma once
// Reads the archive's data files back for tests.
#include <string>
#include <vector>

namespace testsupport {

struct VezFile {
  std::string relative;  // path below the data folder, '/'-separated
  std::string header;    // the header text up to its terminating zero byte
  std::vector<float> samples;
};

VezFile ReadVezFile(const std::string& dataDir, const std::string& relative);
// Every data file below dataDir, sorted by path.
std::vector<VezFile> ReadVezTree(const std::string& dataDir);

}  // namespace testsupport
