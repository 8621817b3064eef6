#include "convert/leftovers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/datafilename.h"
#include "store/stainfo.h"

namespace convert {
namespace {

// The names in a folder, without . and ..; none when it cannot be read.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* e = ::readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  ::closedir(dir);
  return names;
}

// A folder itself, not a link to one: nothing outside the data folder is touched.
bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void RemoveLeftovers(const std::string& dataDir, const std::set<std::string>& stations,
                     const std::function<void(const std::string&)>& report) {
  for (const std::string& station : stations) {
    const std::string stationDir = dataDir + kLocalSeparator + station;
    if (!IsFolder(stationDir)) continue;
    for (const std::string& hour : Entries(stationDir)) {
      const std::string hourDir = stationDir + kLocalSeparator + hour;
      if (!IsFolder(hourDir)) continue;
      for (const std::string& name : Entries(hourDir)) {
        const std::string path = hourDir + kLocalSeparator + name;
        if (!archive::IsTemporaryName(name) || !IsFile(path)) continue;
        if (::unlink(path.c_str()) == 0)
          report(path + ": removed, the temporary file of a data file whose creation was interrupted");
        else
          report(path + ": temporary file of an interrupted creation cannot be removed: " + std::strerror(errno));
      }
    }
  }
}

}  // namespace convert
