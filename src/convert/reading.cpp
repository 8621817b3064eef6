#include "convert/reading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

#include "convert/selection.h"
#include "convert/streams.h"
#include "seed/record.h"
#include "seed/seedtime.h"

namespace convert {
namespace {

constexpr size_t kReadChunk = 1 << 18;

}  // namespace

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
    for (ssize_t pos = 0; pos + seed::kProbeSize <= got && pos < static_cast<ssize_t>(kWindow); pos += 16) {
      const unsigned char* p = buf.data() + pos;
      if (!seed::IsAcceptedQuality(static_cast<char>(p[seed::kQuality]), quality)) continue;
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

void ScanStreams(const std::string& path, const char* quality, const CSelection& selection, CStreamRule& streams) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  int32_t recLen = 0;
  off_t failedAt = 0;
  const long offset = FindFirstRecord(fd, quality, recLen, failedAt);
  if (offset >= 0 && recLen > 0 && ::lseek(fd, offset, SEEK_SET) >= 0) {
    RecordReader reader(fd);
    std::vector<unsigned char> record;
    seed::RecordHeader h;
    for (int got; (got = reader.Next(record, recLen)) > 0;) {
      if (got != 1 || !seed::IsAcceptedQuality(static_cast<char>(record[seed::kQuality]), quality)) continue;
      seed::ReadHeader(record.data(), static_cast<int>(record.size()), h);
      const seed::Encoding decoder = seed::DecoderFor(h.encodingFormat);
      if (decoder == seed::kText || decoder == seed::kNoDecoder || !h.station[0] || !h.channel[0] ||
          !seed::IsSafeCode(h.station) || !seed::IsSafeCode(h.channel) || !seed::IsSafeCode(h.network) ||
          !seed::IsSafeCode(h.location) || !selection.Selects(h.network, h.station, h.location, h.channel))
        continue;
      const double rate = seed::CalcSampleRate(h.rateFactor, h.rateMultiplier);
      const double start = seed::RecordStartTime(record.data());
      streams.Note(h, start, start + h.sampleCount * (1.0 / rate), rate);
    }
  }
  ::close(fd);
}

RecordReader::RecordReader(int fd) : m_Fd(fd), m_Buf(kReadChunk) {}

int RecordReader::Next(std::vector<unsigned char>& record, int32_t& recLen) {
  if (!Fill(static_cast<size_t>(recLen))) return -1;
  int result = 1;
  size_t length = static_cast<size_t>(recLen);
  if (Available() >= static_cast<size_t>(seed::kProbeSize)) {
    // Read at recLen, a short record would swallow the start of the next one.
    if (const int tooShort = seed::TooShortRecordLength(Data())) {
      length = static_cast<size_t>(tooShort);
      result = 2;
    } else {
      recLen = seed::OwnRecordLength(Data(), recLen);
      length = static_cast<size_t>(recLen);
    }
  }
  if (!Fill(length)) return -1;
  if (Available() < length) return 0;
  record.resize(length);
  std::memcpy(record.data(), Data(), length);
  m_Pos += length;
  return result;
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

bool RecordReader::Fill(size_t want) {
  if (Available() >= want || m_Eof) return true;
  std::memmove(m_Buf.data(), Data(), Available());
  m_End -= m_Pos;
  m_Pos = 0;
  ssize_t n = ReadFull(m_Fd, m_Buf.data() + m_End, m_Buf.size() - m_End);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < m_Buf.size() - m_End) m_Eof = true;
  m_End += static_cast<size_t>(n);
  return true;
}

}  // namespace convert
