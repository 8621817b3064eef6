#include "convert/reading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

#include <fcntl.h>

#include "convert/selection.h"
#include "convert/streams.h"
#include "seed/record.h"
#include "seed/record3.h"
#include "seed/seedtime.h"

namespace convert {
namespace {

// Copied out of the page cache a chunk at a time: 20-30 % faster over a
// whole run than mapping the input, measured on a virtual machine with
// nested paging, where every mapped page costs a TLB miss in each pass.
constexpr size_t kReadChunk = 1 << 18;
constexpr int kProbeStep = 16;

class CFormat2 final : public IRecordFormat {
 public:
  bool Begins(const unsigned char* p, size_t avail) const override {
    return avail >= static_cast<size_t>(seed::kProbeSize) &&
           seed::IsDataQuality(static_cast<char>(p[seed::kQuality])) && seed::ProbeRecordLength(p) != 0;
  }
  uint64_t Length(const unsigned char* p, size_t avail, int32_t current) const override {
    return avail >= static_cast<size_t>(seed::kProbeSize) ? static_cast<uint64_t>(seed::OwnRecordLength(p, current))
                                                          : static_cast<uint64_t>(current);
  }
  bool SelfDelimiting() const override { return false; }
  seed::Damage Check(const unsigned char*, size_t) const override { return seed::Damage::kNone; }
  char Quality(const unsigned char* record) const override { return static_cast<char>(record[seed::kQuality]); }
  std::string ReadHeader(unsigned char* record, size_t length, seed::RecordHeader& h, double& rate,
                         double& start) const override {
    seed::ReadHeader(record, static_cast<int>(length), h);
    rate = seed::CalcSampleRate(h.rateFactor, h.rateMultiplier);
    start = seed::RecordStartTime(record);
    return {};
  }
};

class CFormat3 final : public IRecordFormat {
 public:
  bool Begins(const unsigned char* p, size_t avail) const override { return seed::IsRecord3(p, avail); }
  uint64_t Length(const unsigned char* p, size_t, int32_t) const override { return seed::Record3Length(p); }
  bool SelfDelimiting() const override { return true; }
  seed::Damage Check(const unsigned char* record, size_t length) const override {
    return seed::CheckRecord3(record, length);
  }
  char Quality(const unsigned char* record) const override {
    return seed::QualityOfPublicationVersion(record[seed::k3PublicationVersion]);
  }
  std::string ReadHeader(unsigned char* record, size_t, seed::RecordHeader& h, double& rate,
                         double& start) const override {
    return seed::ReadHeader3(record, h, rate, start);
  }
};

const CFormat2 kFormat2;
const CFormat3 kFormat3;

}  // namespace

const IRecordFormat& FormatAt(const unsigned char* p, size_t avail) {
  if (kFormat3.Begins(p, avail)) return kFormat3;
  return kFormat2;
}

ssize_t ReadFull(int fd, unsigned char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

ssize_t PreadFull(int fd, unsigned char* buf, size_t size, off_t offset) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, buf + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

long FindFirstRecord(int fd, const char* quality, int32_t& recLen, off_t& failedAt) {
  constexpr size_t kWindow = 1 << 16;
  std::vector<unsigned char> buf(kWindow + seed::kProbeSize);
  for (off_t base = 0;; base += static_cast<off_t>(kWindow)) {
    ssize_t got = PreadFull(fd, buf.data(), buf.size(), base);
    if (got < 0) {
      failedAt = base;
      recLen = 0;
      return -1;
    }
    // The last window is searched to its end: a version 3 header is shorter than a probe.
    const bool last = got < static_cast<ssize_t>(buf.size());
    for (ssize_t pos = 0; pos < (last ? got : static_cast<ssize_t>(kWindow)); ++pos) {
      const unsigned char* p = buf.data() + pos;
      const size_t avail = static_cast<size_t>(got - pos);
      if (kFormat3.Begins(p, avail) && seed::IsAcceptedQuality(kFormat3.Quality(p), quality)) {
        recLen = seed::kDefaultRecordLength;
        return static_cast<long>(base + pos);
      }
      if (pos % kProbeStep != 0 || avail < static_cast<size_t>(seed::kProbeSize)) continue;
      if (!seed::IsAcceptedQuality(kFormat2.Quality(p), quality)) continue;
      if (const int length = seed::ProbeRecordLength(p)) {
        recLen = length;
        return static_cast<long>(base + pos);
      }
    }
    if (got < static_cast<ssize_t>(buf.size())) break;
  }
  recLen = 0;
  return 0;
}

namespace {

// Notes the records from the reader's position on, until the next one
// would begin at or after until (true), or the file ends, a read fails or
// the scan is stopped.
bool ScanRecords(RecordReader& reader, int32_t& recLen, uint64_t until, const char* quality,
                 const CSelection& selection, CStreamRule& streams, const std::atomic<bool>* stop) {
  std::span<unsigned char> record;
  Framed framed;
  while (reader.Offset() < until) {
    if ((stop && stop->load(std::memory_order_relaxed)) || reader.Next(record, recLen, framed) != 1) return false;
    if (framed.damage == seed::Damage::kNone && !framed.tooShort)
      NoteRecord(*framed.format, record.data(), record.size(), quality, selection, streams);
  }
  return true;
}

// Below this, a second reader would save less than it costs.
constexpr uint64_t kSplitBytes = 16u << 20;

// Where a second reader may start: a record at a whole number of record
// lengths past the first, about half-way; 0 where none begins there.
uint64_t SplitPoint(int fd, uint64_t first, int32_t recLen) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || recLen <= 0) return 0;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < first + kSplitBytes) return 0;
  const uint64_t split = first + (size - first) / 2 / static_cast<uint64_t>(recLen) * static_cast<uint64_t>(recLen);
  unsigned char probe[seed::kProbeSize];
  const ssize_t got = PreadFull(fd, probe, sizeof probe, static_cast<off_t>(split));
  if (got <= 0) return 0;
  const auto avail = static_cast<size_t>(got);
  return FormatAt(probe, avail).Begins(probe, avail) ? split : 0;
}

}  // namespace

void ScanStreams(const std::string& path, const char* quality, const CSelection& selection, CStreamRule& streams,
                 const std::atomic<bool>* stop, unsigned threads) {
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)}, half{-1};
  if (file.fd < 0) return;
  int32_t recLen = 0;
  off_t failedAt = 0;
  const long offset = FindFirstRecord(file.fd, quality, recLen, failedAt);
  if (offset < 0 || recLen <= 0 || ::lseek(file.fd, offset, SEEK_SET) < 0) return;
  const auto first = static_cast<uint64_t>(offset);
  const int32_t firstLen = recLen;
  // The second half is read beside the first from where a record begins.
  // It counts only if reading the first half lands there, at the record
  // length it started with: the scan then sees what one reader would.
  const uint64_t split = threads > 1 ? SplitPoint(file.fd, first, recLen) : 0;
  if (split) half.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  CStreamRule second;
  std::exception_ptr failure;
  std::thread other;
  if (half.fd >= 0 && ::lseek(half.fd, static_cast<off_t>(split), SEEK_SET) == static_cast<off_t>(split))
    other = std::thread([&] {
      try {
        RecordReader reader(half.fd, split, false);
        int32_t len = firstLen;
        ScanRecords(reader, len, UINT64_MAX, quality, selection, second, stop);
      } catch (...) {
        failure = std::current_exception();
      }
    });
  struct Joiner {
    std::thread& t;
    ~Joiner() {
      if (t.joinable()) t.join();
    }
  } joiner{other};
  RecordReader reader(file.fd, first, false);
  if (!other.joinable()) {
    ScanRecords(reader, recLen, UINT64_MAX, quality, selection, streams, stop);
    return;
  }
  const bool reached = ScanRecords(reader, recLen, split, quality, selection, streams, stop);
  const bool joins = reached && reader.Offset() == split && recLen == firstLen;
  if (reached && !joins) ScanRecords(reader, recLen, UINT64_MAX, quality, selection, streams, stop);
  other.join();
  if (failure) std::rethrow_exception(failure);
  if (joins) streams.Merge(second);
}

void NoteRecord(const IRecordFormat& format, unsigned char* record, size_t length, const char* quality,
                const CSelection& selection, CStreamRule& streams) {
  seed::RecordHeader h;
  double rate, start;
  if (!seed::IsAcceptedQuality(format.Quality(record), quality)) return;
  if (!format.ReadHeader(record, length, h, rate, start).empty()) return;
  const seed::Encoding decoder = seed::DecoderFor(h.encodingFormat);
  if (decoder == seed::kText || decoder == seed::kNoDecoder || !h.station[0] || !h.channel[0] ||
      !seed::IsSafeCode(h.station) || !seed::IsSafeCode(h.channel) || !seed::IsSafeCode(h.network) ||
      !seed::IsSafeCode(h.location) || !selection.Selects(h.network, h.station, h.location, h.channel))
    return;
  streams.Note(h, start, start + h.sampleCount * (1.0 / rate), rate);
}

RecordReader::RecordReader(int fd, uint64_t offset, bool verify)
    : m_Fd(fd), m_Offset(offset), m_Verify(verify) {
  Reserve(kPage + kReadChunk);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    m_Regular = true;
    m_FileSize = static_cast<uint64_t>(st.st_size);
  }
}

int RecordReader::Next(std::span<unsigned char>& record, int32_t& recLen, Framed& framed) {
  if (!Fill(std::max<size_t>(static_cast<size_t>(recLen), seed::kProbeSize))) return -1;
  if (Available() == 0) return 0;
  const IRecordFormat& format = FormatAt(Data(), Available());
  framed = {&format, Offset(), seed::Damage::kNone};
  // Read at recLen, a short record would swallow the start of the next one.
  if (&format == &kFormat2 && Available() >= static_cast<size_t>(seed::kProbeSize))
    if (const int tooShort = seed::TooShortRecordLength(Data())) {
      const auto length = static_cast<size_t>(tooShort);
      if (!Fill(length)) return -1;
      if (Available() < length) return 0;
      framed.tooShort = true;
      return Take(record, length);
    }
  const uint64_t length = format.Length(Data(), Available(), recLen);
  if (!format.SelfDelimiting()) recLen = static_cast<int32_t>(length);
  const bool tooLong = length > seed::k3MaxRecordLength;
  if (!tooLong && !Fill(static_cast<size_t>(length))) return -1;
  if (tooLong || Available() < length) {
    if (!format.SelfDelimiting()) return 0;
    // A version 3 record that says it is longer than what follows (or than
    // any record): its lengths cannot be trusted, so the next record is looked for.
    framed.damage = tooLong ? seed::Damage::kLengths : seed::Damage::kTruncated;
    return ResyncAfter(record, Available(), framed.offset);
  }
  const auto size = static_cast<size_t>(length);
  if (!m_Verify && Fill(size + seed::kProbeSize) && AtRecordOrEnd(m_Pos + size)) return Take(record, size);
  framed.damage = format.Check(Data(), size);
  if (framed.damage == seed::Damage::kNone) return Take(record, size);
  // Its lengths may be what is damaged: the next record is where they say
  // only when one begins there.
  if (!Fill(size + seed::kProbeSize)) return -1;
  if (AtRecordOrEnd(m_Pos + size)) return Take(record, size);
  return ResyncAfter(record, size, framed.offset);
}

int RecordReader::Take(std::span<unsigned char>& record, size_t size) {
  record = {m_Buf.get() + m_Pos, size};
  m_Pos += size;
  return 1;
}

int RecordReader::ResyncAfter(std::span<unsigned char>& record, size_t size, uint64_t from) {
  m_Damaged.assign(Data(), Data() + size);
  record = m_Damaged;
  return Resync(from) ? 1 : -1;
}

bool RecordReader::AtRecordOrEnd(size_t at) const {
  const unsigned char* p = m_Buf.get() + at;
  const size_t avail = m_End - at;
  return avail == 0 || kFormat3.Begins(p, avail) || kFormat2.Begins(p, avail);
}

bool RecordReader::Resync(uint64_t from) {
  ++m_Pos;
  for (;;) {
    if (!Fill(seed::kProbeSize)) return false;
    if (Available() == 0) return true;
    const size_t stop = m_Eof ? m_End : m_End - seed::kProbeSize + 1;
    for (; m_Pos < stop; ++m_Pos) {
      const size_t avail = Available();
      if (kFormat3.Begins(Data(), avail)) return true;
      if ((Offset() - from) % kProbeStep == 0 && kFormat2.Begins(Data(), avail)) return true;
    }
    if (m_Eof) return true;
  }
}

std::vector<ShortRecord> ShortRecordsBefore(int fd, long end) {
  constexpr long kWindow = 1 << 16;
  std::vector<ShortRecord> found;
  std::vector<unsigned char> buf(static_cast<size_t>(kWindow) + seed::kProbeSize);
  long base = -1, got = 0;
  for (long pos = 0; pos < end;) {
    if (base < 0 || pos + seed::kProbeSize > base + got) {
      if (base >= 0 && got < static_cast<long>(buf.size())) break;  // the file ended
      base = pos;
      got = PreadFull(fd, buf.data(), buf.size(), base);
      if (got < seed::kProbeSize) break;
    }
    const unsigned char* probe = buf.data() + (pos - base);
    if (const int length = seed::TooShortRecordLength(probe)) {
      found.push_back({pos, length, static_cast<char>(probe[seed::kQuality])});
      pos += length;
    } else {
      pos += 16;
    }
  }
  return found;
}

void RecordReader::Reserve(size_t size) {
  size = (size + kPage - 1) / kPage * kPage;
  m_Buf.reset(static_cast<unsigned char*>(::operator new(size, std::align_val_t{kPage})));
  m_Size = size;
}

// Bytes stand in the buffer where they stand in a page of the file. The
// kernel copies with rep movsb, which on some processors (AMD EPYC here)
// runs five times slower when the destination lies 1 to 31 bytes past the
// source within a page, as in a buffer from malloc, 16 bytes into its page.
bool RecordReader::Fill(size_t want) {
  if (Available() >= want || m_Eof) return true;
  const size_t avail = Available();
  const uint64_t next = Offset();
  const size_t lead = next % kPage;
  if (lead + want > m_Size) {
    std::unique_ptr<unsigned char, AlignedFree> old = std::move(m_Buf);
    Reserve(lead + std::max(want, kReadChunk));
    std::memcpy(m_Buf.get() + lead, old.get() + m_Pos, avail);
  } else {
    std::memmove(m_Buf.get() + lead, Data(), avail);
  }
  m_Offset = next - lead;
  m_Pos = lead;
  m_End = lead + avail;
  while (Available() < want && !m_Eof) {
    // A regular file is read to the size it had when opened, as a copy of
    // it would be: what is appended meanwhile waits for the next run.
    const uint64_t at = m_Offset + m_End;
    const uint64_t left = !m_Regular ? UINT64_MAX : m_FileSize > at ? m_FileSize - at : 0;
    const auto ask = static_cast<size_t>(std::min<uint64_t>(m_Size - m_End, left));
    const ssize_t n = ask ? ReadFull(m_Fd, m_Buf.get() + m_End, ask) : 0;
    if (n < 0) return false;
    m_End += static_cast<size_t>(n);
    if (static_cast<uint64_t>(n) == left) {
      m_Eof = true;
    } else if (static_cast<size_t>(n) < ask) {
      m_Eof = true;
      if (m_Regular) {  // shortened meanwhile
        m_Shrank = true;
        m_FileSize = at + static_cast<uint64_t>(n);
      }
    }
  }
  return true;
}

}  // namespace convert
