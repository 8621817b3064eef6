#include "platform/ini.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

// "[name]" gives name; anything else gives false.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyLine(const std::string& line, std::string& key, std::string& value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

std::vector<std::string> ReadLines(const std::string& file, bool& exists) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  exists = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file) {
  bool exists = false;
  std::vector<std::string> lines = ReadLines(file, exists);
  bool inSection = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionName(line, name)) {
      inSection = SameName(name, section);
    } else if (inSection && KeyLine(line, k, v) && SameName(k, key)) {
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return def;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file) {
  bool exists = false;
  std::vector<std::string> lines = ReadLines(file, exists);
  const std::string entry = key + "=" + value;
  long sectionAt = -1, lastInSection = -1, keyAt = -1;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], name)) {
      inSection = sectionAt < 0 && SameName(name, section);
      if (inSection) sectionAt = lastInSection = static_cast<long>(i);
    } else if (inSection) {
      if (!Trim(lines[i]).empty()) lastInSection = static_cast<long>(i);
      if (keyAt < 0 && KeyLine(lines[i], k, v) && SameName(k, key)) keyAt = static_cast<long>(i);
    }
  }
  if (keyAt >= 0) {
    lines[static_cast<size_t>(keyAt)] = entry;
  } else if (sectionAt >= 0) {
    lines.insert(lines.begin() + lastInSection + 1, entry);
  } else {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  }

  // Write beside the file and rename, so a failed write never leaves half a file.
  const std::string tmp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), file.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
