#include "support/testsupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

std::filesystem::path SeedDataDir() {
  if (const char* env = std::getenv("BREVANTO_TESTDATA"); env && *env) {
    if (std::filesystem::is_directory(env)) return env;
  }
  std::filesystem::path p = std::filesystem::path(BREVANTO_SOURCE_DIR) / ".." / "shared" / "testdata" / "seed";
  if (std::filesystem::is_directory(p)) return std::filesystem::canonical(p);
  return {};
}

std::filesystem::path Mseed3DataDir() {
  const std::filesystem::path seed = SeedDataDir();
  if (seed.empty()) return {};
  const std::filesystem::path p = seed.parent_path() / "mseed3";
  return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "brevanto-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  m_Path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable again first.
  for (auto it = std::filesystem::recursive_directory_iterator(m_Path, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(m_Path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(m_Path, ec);
}

DiagCapture::DiagCapture() {
  m_Previous = platform::SetDebugSink([this](const char* text) { messages.emplace_back(text); });
}

DiagCapture::~DiagCapture() { platform::SetDebugSink(std::move(m_Previous)); }

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadTextFile(const std::string& path) {
  const std::vector<unsigned char> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace testsupport
