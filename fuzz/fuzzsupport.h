#pragma once
// Helpers shared by the fuzz targets.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Drops the diagnostic channel: decoders complain about most fuzzed records,
// and writing that to standard error would dominate the run.
void SilenceDiagnostics();

// A property the target checks failed: says which and aborts, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// A file in memory that holds exactly the bytes last put into it.
class MemoryFile {
 public:
  MemoryFile();
  ~MemoryFile();
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  // Replaces the contents: padding zero bytes, then data.
  void Set(const uint8_t* data, size_t size, size_t padding = 0);
  int Fd() const { return m_Fd; }

 private:
  int m_Fd;
};

// A folder of this process's own under /dev/shm (or $TMPDIR), made once and
// removed at exit.
const std::string& ScratchDir();
// Removes everything inside dir, keeping dir.
void EmptyFolder(const std::string& dir);

}  // namespace fuzz
