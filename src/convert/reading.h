#pragma once
// The reading stage: input files as whole records.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "seed/record.h"
#include "seed/record3.h"

namespace convert {

class CSelection;
class CStreamRule;

// Reads until size bytes came, the file ended, or an error; -1 on error.
ssize_t ReadFull(int fd, unsigned char* buf, size_t size);
ssize_t PreadFull(int fd, unsigned char* buf, size_t size, off_t offset);

// The size of a regular file, 0 for anything else.
uint64_t FileSize(const std::string& path);

// One record format as the reader meets it.
class IRecordFormat {
 public:
  virtual ~IRecordFormat() = default;
  // Strict and silent: whether a data record of this format begins at p, of
  // which avail bytes are at hand.
  virtual bool Begins(const unsigned char* p, size_t avail) const = 0;
  // The length of the record at p (avail bytes at hand); current: the
  // length of the version 2 record before it, which one without a length
  // of its own keeps.
  virtual uint64_t Length(const unsigned char* p, size_t avail, int32_t current) const = 0;
  // Whether a record's header alone fixes its length: one that runs past the
  // end of the file is then damaged rather than a remainder, and its length
  // carries over to no record after it.
  virtual bool SelfDelimiting() const = 0;
  // What is wrong with the whole record of length bytes.
  virtual seed::Damage Check(const unsigned char* record, size_t length) const = 0;
  virtual char Quality(const unsigned char* record) const = 0;
  // Reads the header of an undamaged record into h (host order, in place
  // where the format needs it), with its rate and start. Returns an empty
  // string, or why its codes do not map into the archive.
  virtual std::string ReadHeader(unsigned char* record, size_t length, seed::RecordHeader& h, double& rate,
                                 double& start) const = 0;
};

// Version 3 where its header begins at p, version 2 anywhere else.
const IRecordFormat& FormatAt(const unsigned char* p, size_t avail);

// The record search: a version 3 header at any byte, or a probe of
// kProbeSize bytes at every 16th byte that holds a version 2 data record
// with an accepted length, whichever comes first, of an accepted quality.
// Returns its offset and sets recLen (kDefaultRecordLength for version 3);
// 0 and recLen 0 when none is found; -1 on a read error (errno set,
// failedAt where).
long FindFirstRecord(int fd, const char* quality, int32_t& recLen, off_t& failedAt);

// Notes every selected data record of an accepted quality that the file at
// path holds, as far as it can be read: which streams and stations a run
// may write into, and when, known before it writes.
// A scan stops early once stop (if given) is set; what it found is then of
// no use. With threads above 1, a large file's halves are read at once.
void ScanStreams(const std::string& path, const char* quality, const CSelection& selection, CStreamRule& streams,
                 const std::atomic<bool>* stop = nullptr, unsigned threads = 1);
// The scan's part for one undamaged record of length bytes, whose header
// it reads in place.
void NoteRecord(const IRecordFormat& format, unsigned char* record, size_t length, const char* quality,
                const CSelection& selection, CStreamRule& streams);

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
// Where a record came from and what is wrong with it.
struct Framed {
  const IRecordFormat* format = nullptr;
  uint64_t offset = 0;  // in the file
  seed::Damage damage = seed::Damage::kNone;
  bool tooShort = false;  // a version 2 record shorter than any the reader takes
};

class RecordReader {
 public:
  // fd is positioned at offset. A reader that does not verify checks a
  // version 3 record's CRC only where the record after it is not where its
  // lengths say: enough to frame the file, for a scan of its codes. A
  // regular file is read up to the size it had here.
  explicit RecordReader(int fd, uint64_t offset = 0, bool verify = true);
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // 1: record shows the next record, in the reader's own bytes until the
  // next call, which the caller may change (headers are read in place). A
  // version 3 record is as long as its header says. A version 2 record is
  // read at recLen unless it declares a length of its own, which recLen then
  // becomes (files joined from files of other record lengths); one that
  // declares a length too short to be converted comes marked tooShort, and
  // recLen stays. A damaged record comes with its damage (a truncated one
  // with what there was); reading goes on after it where a record begins,
  // else at the next one found. 0: the file ended (a shorter remainder is
  // left); -1: read error (errno set).
  int Next(std::span<unsigned char>& record, int32_t& recLen, Framed& framed);
  // The file offset of the next byte to read.
  uint64_t Offset() const { return m_Offset + m_Pos; }
  // Bytes left after the last whole record, once Next has said 0.
  size_t Remainder() const { return Available(); }
  // Whether the regular file became shorter while it was read, and its size
  // then: it was read as far as it went.
  bool Shrank() const { return m_Shrank; }
  uint64_t SizeAfterShrinking() const { return m_FileSize; }

 private:
  size_t Available() const { return m_End - m_Pos; }
  const unsigned char* Data() const { return m_Buf.get() + m_Pos; }
  // Reads until want bytes are available or the file ended; false on an error.
  bool Fill(size_t want);
  // Hands out the next size bytes as the record.
  int Take(std::span<unsigned char>& record, size_t size);
  // A damaged record, copied before the search for the next one moves the bytes.
  int ResyncAfter(std::span<unsigned char>& record, size_t size, uint64_t from);
  // Whether a record begins at buffer index at or the file ends there.
  bool AtRecordOrEnd(size_t at) const;
  // Moves to the next byte after the position where a record begins, or
  // to the end; from: where the damaged record began, the step of version 2
  // probes.
  bool Resync(uint64_t from);

  static constexpr size_t kPage = 4096;
  // A fresh page-aligned buffer of at least size bytes.
  void Reserve(size_t size);
  struct AlignedFree {
    void operator()(unsigned char* p) const { ::operator delete(p, std::align_val_t{kPage}); }
  };

  int m_Fd;
  std::unique_ptr<unsigned char, AlignedFree> m_Buf;
  size_t m_Size = 0;
  size_t m_Pos = 0, m_End = 0;
  uint64_t m_Offset;  // of m_Buf's first byte in the file
  bool m_Eof = false;
  bool m_Verify;
  bool m_Regular = false;
  uint64_t m_FileSize = 0;  // of a regular file, as found on opening or after it shrank
  bool m_Shrank = false;
  std::vector<unsigned char> m_Damaged;  // the last damaged record handed out
};

}  // namespace convert
