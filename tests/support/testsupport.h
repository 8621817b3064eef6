#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/diag.h"

namespace testsupport {

// ../shared/testdata/seed beside the checkout, or $BREVANTO_TESTDATA;
// empty when neither exists.
std::filesystem::path SeedDataDir();
// ../shared/testdata/mseed3 beside it; empty when it does not exist.
std::filesystem::path Mseed3DataDir();

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return m_Path; }
  std::string operator/(const std::string& name) const { return (m_Path / name).string(); }

 private:
  std::filesystem::path m_Path;
};

// Collects every diagnostic message while alive.
class DiagCapture {
 public:
  DiagCapture();
  ~DiagCapture();
  std::vector<std::string> messages;

 private:
  platform::DebugSink m_Previous;
};

std::vector<unsigned char> ReadFileBytes(const std::string& path);
std::string ReadTextFile(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace testsupport
