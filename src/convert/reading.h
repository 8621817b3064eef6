#pragma once
// The reading stage: input files as whole records.
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace convert {

class CSelection;
class CStreamRule;

// Reads until size bytes came, the file ended, or an error; -1 on error.
ssize_t ReadFull(int fd, unsigned char* buf, size_t size);
ssize_t PreadFull(int fd, unsigned char* buf, size_t size, off_t offset);

// The size of a regular file, 0 for anything else.
uint64_t FileSize(const std::string& path);

// The record length search: probes of kProbeSize bytes at every 16th byte
// until one holds a data record of an accepted quality with an accepted
// length. Returns its offset and sets recLen; 0 and recLen 0 when none is
// found; -1 on a read error (errno set, failedAt where).
long FindFirstRecord(int fd, const char* quality, int32_t& recLen, off_t& failedAt);

// Notes every selected data record of an accepted quality that the file at
// path holds, as far as it can be read: which streams and stations a run
// may write into, and when, known before it writes.
void ScanStreams(const std::string& path, const char* quality, const CSelection& selection, CStreamRule& streams);

// Offsets and lengths of the data records in the first end bytes of fd that
// declare lengths too short for the search to take: what it passed over.
struct ShortRecord {
  long offset;
  int length;
  char quality;
};
std::vector<ShortRecord> ShortRecordsBefore(int fd, long end);

// Hands out whole records from large reads, so that small records do not
// cost one system call each.
class RecordReader {
 public:
  explicit RecordReader(int fd);

  // 1: the next record was copied to record, which takes its length. A record
  // is read at recLen unless it declares a length of its own, which recLen
  // then becomes (files joined from files of other record lengths). 2: the
  // next record declares a length too short to be converted; record holds it
  // and recLen stays. 0: the file ended (a shorter remainder is left); -1:
  // read error (errno set).
  int Next(std::vector<unsigned char>& record, int32_t& recLen);
  // Bytes left after the last whole record, once Next has said 0.
  size_t Remainder() const { return Available(); }

 private:
  size_t Available() const { return m_End - m_Pos; }
  const unsigned char* Data() const { return m_Buf.data() + m_Pos; }
  // Reads until want bytes are available or the file ended; false on an error.
  bool Fill(size_t want);

  int m_Fd;
  std::vector<unsigned char> m_Buf;
  size_t m_Pos = 0, m_End = 0;
  bool m_Eof = false;
};

}  // namespace convert
