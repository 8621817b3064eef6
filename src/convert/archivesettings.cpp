#include "convert/archivesettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/ini.h"
#include "store/stainfo.h"

namespace {

std::string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // A relative value is invalid and to be ignored.
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0]) return std::string(home) + "/.config";
  return {};
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

// Data files and lock folders written straight into the root folder would
// litter the whole system; a DIR of only separators or one leading there is refused.
bool NamesRootFolder(const std::string& dir) {
  if (dir.find_first_not_of("/\\") == std::string::npos) return true;
  char resolved[PATH_MAX];
  return ::realpath(dir.c_str(), resolved) && std::strcmp(resolved, "/") == 0;
}

}  // namespace

std::string FindVezIni() {
  const std::string folder = UserConfigFolder();
  if (!folder.empty()) {
    std::string user = folder + "/VEZ.ini";
    struct stat st {};
    if (::stat(user.c_str(), &st) == 0) return user;
  }
  return kSystemVezIni;
}

std::string ReadDataDir(const std::string& vezIni) {
  std::string dir = platform::GetPrivateProfileString("DATA", "DIR", "\\", vezIni);
  if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string VezIniProblem(const std::string& vezIni) {
  const int fd = ::open(vezIni.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return "VEZ.ini not found: " + vezIni;
    return "VEZ.ini cannot be read: " + vezIni + ": " + std::strerror(errno);
  }
  ::close(fd);
  static const std::string kUnset = "\x01";
  const std::string dir = platform::GetPrivateProfileString("DATA", "DIR", kUnset, vezIni);
  if (dir == kUnset) return "No VEZ data folder set in " + vezIni + " (key DIR of section [DATA])";
  if (IsBlank(dir)) return "No VEZ data folder set in " + vezIni + " (key DIR of section [DATA] is empty)";
  if (NamesRootFolder(dir))
    return "No VEZ data folder set in " + vezIni + " (key DIR of section [DATA] names the root folder: " + dir + ")";
  return {};
}

std::string FolderProblem(const std::string& dataDir) {
  const std::string dir = dataDir.empty() ? std::string(1, kLocalSeparator) : dataDir;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return "VEZ data folder not found: " + dir;
    return "VEZ data folder cannot be reached: " + dir + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "VEZ data folder is not a folder: " + dir;
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return "VEZ data folder not writable: " + dir + ": " + std::strerror(errno);
  return {};
}

std::string DataFolderProblem(const std::string& vezIni) {
  std::string problem = VezIniProblem(vezIni);
  return problem.empty() ? FolderProblem(ReadDataDir(vezIni)) : problem;
}

bool ParseCount(const std::string& text, long max, long& value) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long long v = std::stoll(text);
  if (v > max) return false;
  value = static_cast<long>(v);
  return true;
}

bool ReadCommitInterval(const std::string& programIni, long fallback, long& ms, std::string& problem) {
  const std::string text = platform::GetPrivateProfileString("BREVANTO", "COMMIT_MS", "", programIni);
  if (text.empty()) {
    ms = fallback;
    return true;
  }
  if (ParseCount(text, 86400000, ms)) return true;
  problem = programIni + ": COMMIT_MS=" + text + " in section [BREVANTO] is not a number of milliseconds (0 to 86400000)";
  return false;
}
