// The VEZ data file writer: appends a channel's segment to its current data
// file or starts a new one, then registers the file in FILELIST.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/datafilename.h"
#include "platform/diag.h"
#include "seed/record.h"
#include "store/stainfo.h"

namespace {

constexpr int kHeaderBytes = 512;

// Writes all of size bytes; false on an error or a write that stops short.
bool WriteAllBytes(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Samples go to disk little-endian whatever the host.
const void* LittleEndianSamples(const float* samples, int count, std::vector<uint32_t>& scratch) {
  if constexpr (std::endian::native == std::endian::little) {
    return samples;
  } else {
    scratch.resize(static_cast<size_t>(count));
    std::memcpy(scratch.data(), samples, scratch.size() * 4);
    for (uint32_t& w : scratch) w = __builtin_bswap32(w);
    return scratch.data();
  }
}

std::string LocalPath(const std::string& relative) {
  std::string local = relative;
  for (char& c : local)
    if (c == '\\') c = kLocalSeparator;
  return local;
}

// mkstemp creates 0600; data files get the usual rights the umask allows.
mode_t ProcessUmask() {
  static const mode_t mask = [] {
    mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();
  return mask;
}

// Reads size bytes at offset; false when fewer came (errno set).
bool ReadAllAt(int fd, void* data, size_t size, off_t offset) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Null when the segment in k repeats the earlier file of its name at full:
// it begins no later than the file, they overlap in time and every sample of
// the segment that falls on one of the file's (the nearest at the channel's
// rate) is bit for bit the same.
// Otherwise why it does not, with errno set.
const char* RepeatMismatch(const std::string& full, const CreatedFile& earlier, const CChanInfo& k) {
  errno = EEXIST;
  const double offset = std::floor((k.m_SegBegin - earlier.tBegin) * k.m_SpS + 0.5);
  const double first = std::max(0.0, -offset);
  const double end = std::min(static_cast<double>(k.m_Count), static_cast<double>(earlier.samples) - offset);
  if (!(first < end)) return "already written by an earlier segment of this run, which it does not overlap";
  // Replacing the file with a segment that begins after its first sample
  // would drop the samples before it without a word.
  if (offset > 0) return "already written by an earlier segment of this run, which begins sooner";
  const auto j = static_cast<size_t>(first);
  const auto count = static_cast<size_t>(end - first);
  const auto at = static_cast<off_t>(kHeaderBytes + 4 * static_cast<uint64_t>(offset + first));
  std::vector<uint32_t> stored(count), scratch;
  const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
  const bool readBack = fd >= 0 && ReadAllAt(fd, stored.data(), 4 * count, at);
  const int err = errno;
  if (fd >= 0) ::close(fd);
  errno = err;
  if (!readBack) return "already written by an earlier segment of this run, and cannot be read back to compare";
  errno = EEXIST;
  const void* segment = LittleEndianSamples(k.m_Data.get() + j, static_cast<int>(count), scratch);
  if (std::memcmp(stored.data(), segment, 4 * count) != 0)
    return "already written by an earlier segment of this run with other samples";
  return nullptr;
}

using archive::Breakdown;
using archive::Calendar;

}  // namespace

void CStaInfo::MakeDir(const char* path) { ::mkdir(path, 0777); }

void CStaInfo::MakeHeader(char* block, unsigned sta, unsigned chan) {
  const CSta& s = *m_StaList[sta];
  const CChanInfo& k = *s.m_ChanList[chan];
  const Calendar start = Breakdown(k.m_TBegin);
  // The duration of the file when it was created; later appends leave the
  // header as it is.
  const Calendar span = Breakdown(k.m_TQty);
  std::memset(block, ' ', kHeaderBytes);
  std::snprintf(block, kHeaderBytes,
                "[VEZ4.0]\r\nData offset=512\r\nStart time=%02d %02d %02d\r\n"
                "Start date=%02d %02d %04d\r\nTime duration=%02d %02d %02d\r\n"
                "Data Type=FLOAT\r\nSpS=%f\r\nGain=%d\r\nStation=%s\r\nChannels=\"%s\"\r\n",
                start.hour, start.minute, start.second, start.day, start.month, start.year,
                span.hour, span.minute, span.second, k.m_SpS, 1, s.m_Name.c_str(), k.m_Name.c_str());
}

void CStaInfo::WriteChan(unsigned sta, unsigned chan) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  if (k.m_Count > 0) {
    // 0/0 means no current file; a segment starting at the epoch itself must
    // not be taken for its continuation.
    const bool haveFile = !(k.m_TBegin == 0 && k.m_TQty == 0);
    const double gap = std::fabs(k.m_TBegin + k.m_TQty - k.m_SegBegin);
    if (haveFile && gap <= 1.0 / k.m_SpS) {
      // Once a file could not be created or extended, the rest of its span
      // is not stored either, but still counted: the next file then begins
      // where it begins in a run without the fault, so that a re-run replaces
      // every file of this one instead of leaving overlapping ones beside its own.
      if (m_Failed.count(k.m_CPath)) {
        NoteNotStored(m_Path + kLocalSeparator + LocalPath(k.m_CPath) + ": an earlier segment could not be stored", "",
                      s, k);
      } else if (AppendToFile(s, k)) {
        if (auto f = m_Created.find(k.m_CPath); f != m_Created.end()) {
          f->second.samples += static_cast<uint64_t>(k.m_Count);
          f->second.peak = std::max(f->second.peak, f->second.samples);
        }
        UpdateFileList(k.m_CPath.c_str(), s.m_Name.c_str(), k.m_Name.c_str(), k.m_TBegin,
                       k.m_TQty + k.m_SegQty, k.m_SpS, 1, 3);
      } else {
        m_Failed.insert(k.m_CPath);
      }
      k.m_TQty += k.m_SegQty;
      if (k.m_TQty > s.m_FileMinutes * 60 - 1) {
        k.m_TBegin = k.m_TQty = 0;
        CloseFile(k);
      }
    } else if (CreateFile(sta, chan)) {
      ReplaceFileList(k.m_CPath.c_str(), s.m_Name.c_str(), k.m_Name.c_str(), k.m_TBegin, k.m_TQty,
                      k.m_SpS, 1, 3);
    }
  }
  k.m_SegBegin = 0;
  k.m_SegQty = 0;
  k.m_Count = 0;
}

// errno holds the operating system's reason.
void CStaInfo::ReportNotStored(const std::string& path, const char* what, const CSta& s, const CChanInfo& k) {
  const std::string reason = std::strerror(errno);
  NoteNotStored(path + ": " + what + ": " + reason, reason, s, k);
}

void CStaInfo::NoteNotStored(const std::string& problem, const std::string& reason, const CSta& s,
                             const CChanInfo& k) {
  m_NotStored.Add(s.m_Name, k.m_Name, static_cast<uint64_t>(k.m_Count), reason,
                  "Data file " + problem + "; " + std::to_string(k.m_Count) + " samples of " + s.m_Name + " " +
                      k.m_Name + " not stored");
  ++m_Stats.segmentsNotStored;
  m_Stats.samplesNotStored += static_cast<uint64_t>(k.m_Count);
}

bool CStaInfo::AppendToFile(CSta& s, CChanInfo& k) {
  const std::string full = m_Path + kLocalSeparator + LocalPath(k.m_CPath);
  auto fail = [&](const char* what) {
    ReportNotStored(full, what, s, k);
    return false;
  };
  // A kept file that another program removed or replaced meanwhile would
  // swallow the segment unseen; the path is what counts, as when reopened.
  struct stat kept {};
  if (k.m_Fd >= 0 && (::fstat(k.m_Fd, &kept) != 0 || kept.st_nlink == 0)) CloseFile(k);
  if (k.m_Fd < 0) {
    const int fd = ::open(full.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open for appending");
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return fail("cannot append");
    }
    KeepOpen(k, fd, end);
  }
  k.m_LastUse = ++m_UseClock;
  std::vector<uint32_t> scratch;
  const size_t bytes = sizeof(float) * static_cast<size_t>(k.m_Count);
  if (!WriteAllBytes(k.m_Fd, LittleEndianSamples(k.m_Data.get(), k.m_Count, scratch), bytes)) {
    const int err = errno;
    // Leave the file as it was before this segment.
    if (::ftruncate(k.m_Fd, k.m_FileBytes) != 0) {}
    CloseFile(k);
    errno = err;
    return fail("cannot append");
  }
  k.m_FileBytes += static_cast<int64_t>(bytes);
  ++m_Stats.filesExtended;
  m_Stats.samplesWritten += static_cast<uint64_t>(k.m_Count);
  return true;
}

// A channel's current file stays open until it is complete, the channel
// starts another or the run ends, which spares an open and a close per
// segment. Beyond the limit the file unused for longest is closed.
void CStaInfo::KeepOpen(CChanInfo& k, int fd, int64_t bytes) {
  if (m_Open.size() >= m_OpenLimit) {
    auto oldest = std::min_element(m_Open.begin(), m_Open.end(),
                                   [](const CChanInfo* a, const CChanInfo* b) { return a->m_LastUse < b->m_LastUse; });
    CloseFile(**oldest);
  }
  k.m_Fd = fd;
  k.m_FileBytes = bytes;
  k.m_LastUse = ++m_UseClock;
  m_Open.push_back(&k);
}

void CStaInfo::CloseFile(CChanInfo& k) {
  if (k.m_Fd < 0) return;
  m_Open.erase(std::find(m_Open.begin(), m_Open.end(), &k));
  const int fd = k.m_Fd;
  k.m_Fd = -1;
  // A file system that writes back late (NFS) reports lost writes only here.
  if (::close(fd) != 0) {
    ++m_Stats.closeErrors;
    platform::DebugOutputF("Data file %s: cannot close: %s; its last samples may be lost\n",
                           (m_Path + kLocalSeparator + LocalPath(k.m_CPath)).c_str(), std::strerror(errno));
  }
}

void CStaInfo::CloseFiles() {
  while (!m_Open.empty()) CloseFile(*m_Open.back());
}

size_t DefaultOpenFileLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 512;
  // Half for the rest: input files, the database's sockets and files, the libraries.
  return std::max<size_t>(1, static_cast<size_t>(limit.rlim_cur) / 2);
}

bool CStaInfo::CreateFile(unsigned sta, unsigned chan) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  CloseFile(k);
  k.m_TBegin = k.m_SegBegin;
  k.m_TQty = k.m_SegQty;
  auto drop = [&](const std::string& path, const char* what) {
    ReportNotStored(path, what, s, k);
    // The channel's path names no file of its own (or one of another
    // segment): the next segment starts a new file.
    k.m_TBegin = k.m_TQty = 0;
    return false;
  };
  // Codes become directory and file names; nothing may lead out of the data folder.
  if (s.m_Name.empty() || k.m_Name.empty() || !seed::IsSafeCode(s.m_Name.c_str()) ||
      !seed::IsSafeCode(k.m_Name.c_str())) {
    errno = EINVAL;
    return drop(m_Path + kLocalSeparator + s.m_Name, "station or channel code is not a safe name");
  }

  const Calendar c = Breakdown(k.m_TBegin);
  const std::string hour = archive::HourFolder(c.hour);
  const std::string name = archive::DataFileName(c, k.m_Name, s.m_Name);
  std::string full = m_Path + kLocalSeparator + s.m_Name;
  MakeDir(full.c_str());
  full += kLocalSeparator;
  full += hour;
  MakeDir(full.c_str());
  const std::string dir = full;
  full += kLocalSeparator;
  full += name;
  k.m_CPath = s.m_Name + "\\" + hour + "\\" + name;
  // A gap or overlap within one second of a file's start gives the same
  // name. Replacing that file would silently lose what it holds, unless the
  // segment repeats it (the same volume converted twice in one run).
  const auto earlier = m_Created.find(k.m_CPath);
  if (earlier != m_Created.end())
    if (const char* why = RepeatMismatch(full, earlier->second, k)) return drop(full, why);

  char header[kHeaderBytes];
  MakeHeader(header, sta, chan);
  // Written under a temporary name and renamed into place, so that a failed
  // creation neither leaves half a file nor destroys an earlier one.
  std::string tmp = dir + kLocalSeparator + "." + name + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    ReportNotStored(full, "cannot create", s, k);
    m_Failed.insert(k.m_CPath);
    return false;
  }
  ::fchmod(fd, 0666 & ~ProcessUmask());
  std::vector<uint32_t> scratch;
  const size_t bytes = sizeof(float) * static_cast<size_t>(k.m_Count);
  bool ok = WriteAllBytes(fd, header, kHeaderBytes) &&
            WriteAllBytes(fd, LittleEndianSamples(k.m_Data.get(), k.m_Count, scratch), bytes);
  int err = errno;
  if (ok && ::rename(tmp.c_str(), full.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::close(fd);
    ::unlink(tmp.c_str());
    errno = err;
    ReportNotStored(full, "cannot write", s, k);
    m_Failed.insert(k.m_CPath);
    return false;
  }
  KeepOpen(k, fd, static_cast<int64_t>(kHeaderBytes + bytes));
  Created(k.m_CPath, k);
  m_Failed.erase(k.m_CPath);
  m_Stats.samplesWritten += static_cast<uint64_t>(k.m_Count);
  return true;
}

// Keeps what a new file holds. One that replaces an earlier file of this run
// takes the place of what that held: it left the archive, repeated.
void CStaInfo::Created(const std::string& cpath, const CChanInfo& k) {
  const auto count = static_cast<uint64_t>(k.m_Count);
  auto [it, added] = m_Created.try_emplace(cpath);
  CreatedFile& f = it->second;
  if (added) {
    ++m_Stats.filesCreated;
  } else {
    ++m_Stats.filesReplaced;
    m_Stats.samplesWritten -= f.samples;
    m_Stats.samplesRepeated += f.samples;
    f.replaced = true;
  }
  f.tBegin = k.m_TBegin;
  f.samples = count;
  f.peak = std::max(f.peak, count);
}

void CStaInfo::ReportShortRepeats() {
  for (auto& [cpath, f] : m_Created) {
    if (!f.replaced || f.samples >= f.peak) continue;
    const uint64_t lost = f.peak - f.samples;
    platform::DebugOutputF(
        "Data file %s: replaced by a repeat of its data that ends sooner; %llu samples it held are not stored\n",
        (m_Path + kLocalSeparator + LocalPath(cpath)).c_str(), static_cast<unsigned long long>(lost));
    ++m_Stats.segmentsNotStored;
    m_Stats.samplesNotStored += lost;
    m_Stats.samplesRepeated -= lost;
    f.peak = f.samples;
  }
}
