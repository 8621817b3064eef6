#pragma once
// A regular file mapped for reading. Another program may shorten the file
// meanwhile; touching a page past its new end would raise SIGBUS and end
// the process. Here such a page reads as zeros instead, and Cut() says that
// the bytes can no longer be trusted.
#include <cstddef>

namespace platform {

class CMappedFile {
 public:
  // Maps size bytes of fd; Data() is null where that fails or size is 0.
  CMappedFile(int fd, size_t size);
  ~CMappedFile();
  CMappedFile(const CMappedFile&) = delete;
  CMappedFile& operator=(const CMappedFile&) = delete;

  // Read-only: writing to it faults.
  unsigned char* Data() const { return m_Data; }
  size_t Size() const { return m_Size; }
  // Whether a page has gone since mapping (the file shrank, or could not be read).
  bool Cut() const;
  // Gives back the whole pages of [from, to): read again, they come from
  // the page cache anew. Keeps a pass over a large file from counting all
  // of it as the process's own memory.
  void Release(size_t from, size_t to) const;

 private:
  unsigned char* m_Data = nullptr;
  size_t m_Size = 0;
  int m_Slot = -1;
};

}  // namespace platform
