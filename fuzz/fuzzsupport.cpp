#include "fuzzsupport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/diag.h"

namespace fuzz {

void SilenceDiagnostics() {
  platform::SetDebugSink([](const char*) {});
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

MemoryFile::MemoryFile() : m_Fd(::memfd_create("brevanto-fuzz", MFD_CLOEXEC)) {
  if (m_Fd < 0) Fail("memfd_create");
}

MemoryFile::~MemoryFile() { ::close(m_Fd); }

void MemoryFile::Set(const uint8_t* data, size_t size, size_t padding) {
  if (::ftruncate(m_Fd, 0) != 0) Fail("ftruncate");
  if (padding > 0) {
    // Zero bytes, without writing them.
    if (::ftruncate(m_Fd, static_cast<off_t>(padding)) != 0) Fail("ftruncate");
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(m_Fd, data + done, size - done, static_cast<off_t>(padding + done));
    if (n <= 0) Fail("pwrite to the memory file");
    done += static_cast<size_t>(n);
  }
}

namespace {

std::string MakeScratchDir() {
  std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
  if (const char* t = std::getenv("BREVANTO_FUZZ_TMP"); t && *t) base = t;
  std::string tmpl = base + "/brevanto-fuzz-XXXXXX";
  if (!::mkdtemp(tmpl.data())) Fail("mkdtemp");
  static std::string removeAtExit;
  removeAtExit = tmpl;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(removeAtExit, ec);
  });
  return tmpl;
}

}  // namespace

const std::string& ScratchDir() {
  static const std::string dir = MakeScratchDir();
  return dir;
}

void EmptyFolder(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(e.path(), ec);
}

}  // namespace fuzz
