#include "support/vezfile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/testsupport.h"

namespace testsupport {

VezFile ReadVezFile(const std::string& dataDir, const std::string& relative) {
  const auto bytes = ReadFileBytes(dataDir + "/" + relative);
  if (bytes.size() < 512 || (bytes.size() - 512) % 4 != 0)
    throw std::runtime_error(relative + ": not a data file of whole samples");
  VezFile f;
  f.relative = relative;
  f.header.assign(reinterpret_cast<const char*>(bytes.data()), strnlen(reinterpret_cast<const char*>(bytes.data()), 512));
  f.samples.resize((bytes.size() - 512) / 4);
  for (size_t i = 0; i < f.samples.size(); ++i) {
    const unsigned char* p = bytes.data() + 512 + 4 * i;
    uint32_t w = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    std::memcpy(&f.samples[i], &w, 4);
  }
  return f;
}

std::vector<VezFile> ReadVezTree(const std::string& dataDir) {
  std::vector<VezFile> files;
  if (!std::filesystem::exists(dataDir)) return files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dataDir)) {
    // Station locks of runs, not data files.
    if (!e.is_regular_file() || e.path().parent_path().filename() == ".brevanto-lock") continue;
    files.push_back(ReadVezFile(dataDir, std::filesystem::relative(e.path(), dataDir).string()));
  }
  std::sort(files.begin(), files.end(), [](const VezFile& a, const VezFile& b) { return a.relative < b.relative; });
  return files;
}

}  // namespace testsupport
