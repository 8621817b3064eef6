#include "archive/cpath.h"

namespace archive {

std::string LocalPath(const std::string& cpath) {
  if (cpath.empty() || cpath.find('\0') != std::string::npos || cpath.find('/') != std::string::npos)
    return {};
  std::string local;
  size_t begin = 0;
  for (;;) {
    const size_t end = cpath.find('\\', begin);
    const std::string part = cpath.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (part.empty() || part == "." || part == "..") return {};
    if (!local.empty()) local += '/';
    local += part;
    if (end == std::string::npos) return local;
    begin = end + 1;
  }
}

std::string Unpadded(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

}  // namespace archive
