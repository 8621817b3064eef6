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
#include "seed/seedtime.h"
#include "store/stainfo.h"

namespace {

constexpr int kHeaderBytes = 512;

// A new file is allocated as far as its samples are expected before it is
// written, so that the file system maps each block written instead of
// reserving it, and lays the file out in one piece. Returns the bytes
// allocated: 0 where the file system cannot, or has no room (the writes
// then say so), or where its first write is all that is expected.
int64_t Reserve(int fd, double samples, int firstWrite) {
  constexpr double kMostReserved = 64.0 * 1024 * 1024;
  if (!(samples > firstWrite)) return 0;
  const double bytes = kHeaderBytes + sizeof(float) * std::min(samples, kMostReserved / sizeof(float));
  const auto length = static_cast<off_t>(bytes);
  return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0 ? length : 0;
}

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

using archive::Breakdown;
using archive::Calendar;

}  // namespace

void CStaInfo::MakeDir(const char* path) { ::mkdir(path, 0777); }

// Most files go into folders made for an earlier file of the run: they are
// not asked for again, two system calls per file.
void CStaInfo::MakeFolders(const std::string& station, const std::string& dir, bool forget) {
  if (forget) m_Folders.erase(dir);
  if (m_Folders.count(dir)) return;
  MakeDir((m_Path + kLocalSeparator + station).c_str());
  MakeDir(dir.c_str());
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) m_Folders.insert(dir);
}

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
  CChanInfo& k = *m_StaList[sta]->m_ChanList[chan];
  k.m_SegOrigin = k.m_SegBegin;
  if (k.m_Count > 0) StoreSegment(sta, chan);
  k.m_SegBegin = 0;
  k.m_SegQty = 0;
  k.m_Count = 0;
}

archive::CChannelHoldings& CStaInfo::Held(const CSta& s, CChanInfo& k) {
  if (!k.m_HeldLoaded) {
    k.m_HeldLoaded = true;
    if (m_Holdings)
      if (auto it = m_Holdings->find({s.m_Name, k.m_Name}); it != m_Holdings->end())
        k.m_Held = archive::CChannelHoldings(it->second);
  }
  return k.m_Held;
}

void CStaInfo::StoreSegment(unsigned sta, unsigned chan) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  const auto overlays = SettledOverlaps(Held(s, k), k);
  if (!overlays.empty())
    WriteAround(sta, chan, overlays);
  else
    StoreApart(sta, chan);
}

std::vector<archive::Overlay> CStaInfo::SettledOverlaps(archive::CChannelHoldings& held, CChanInfo& k) {
  auto overlays = held.Overlaps(k.m_SegBegin, k.m_SpS, static_cast<size_t>(k.m_Count));
  for (bool placed = true; placed;) {
    placed = false;
    for (const archive::Overlay& o : overlays)
      if (held[o.file].estimated) {
        PlaceStored(k, o.file);
        overlays = held.Overlaps(k.m_SegBegin, k.m_SpS, static_cast<size_t>(k.m_Count));
        placed = true;
        break;
      }
  }
  return overlays;
}

void CStaInfo::StoreApart(unsigned sta, unsigned chan) {
  CChanInfo& k = *m_StaList[sta]->m_ChanList[chan];
  // A stored file met on disk is taken in; it may fall on the segment.
  while (!WriteSegment(sta, chan)) {
    const auto overlays = SettledOverlaps(k.m_Held, k);
    if (!overlays.empty()) return WriteAround(sta, chan, overlays);
  }
}

void CStaInfo::PlaceStored(CChanInfo& k, size_t i) {
  archive::CChannelHoldings& held = k.m_Held;
  const archive::StoredFile& f = held[i];
  if (f.cpath == k.m_CPath) FlushPending(k);
  const std::string full = m_Path + kLocalSeparator + LocalPath(f.cpath);
  const double h = 1.0 / k.m_SpS, second = f.tBegin;
  const auto count = static_cast<int64_t>(k.m_Count), samples = static_cast<int64_t>(f.samples);
  // The segment's sample times within the file's second: the file's first
  // sample is segment sample n, for the first n whose samples agree.
  const auto first = static_cast<int64_t>(std::ceil((second - k.m_SegBegin) * k.m_SpS - 1e-9));
  const auto last = static_cast<int64_t>(std::ceil((second + 1 - k.m_SegBegin) * k.m_SpS - 1e-9));
  std::vector<uint32_t> stored, scratch;
  const auto* incoming = static_cast<const uint32_t*>(LittleEndianSamples(k.m_Seg, k.m_Count, scratch));
  int64_t chosen = first;
  for (int64_t n = first; n < last; ++n) {
    const int64_t lo = std::max<int64_t>(0, n), hi = std::min(count, n + samples);
    if (hi <= lo) continue;
    stored.resize(static_cast<size_t>(hi - lo));
    if (archive::ReadStoredSamples(full, static_cast<uint64_t>(lo - n), stored.size(), stored.data()) &&
        std::memcmp(stored.data(), incoming + lo, 4 * stored.size()) == 0) {
      chosen = n;
      break;
    }
  }
  held.Place(i, k.m_SegBegin + static_cast<double>(chosen) * h);
}

void CStaInfo::WriteAround(unsigned sta, unsigned chan, const std::vector<archive::Overlay>& overlays) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  const double begin = k.m_SegBegin, h = 1.0 / k.m_SpS;
  const auto count = static_cast<size_t>(k.m_Count);
  const size_t known = k.m_Held.Files().size();
  std::vector<std::pair<size_t, size_t>> pieces;
  size_t at = 0;
  for (const archive::Overlay& o : overlays) {
    if (o.first > at) pieces.emplace_back(at, o.first);
    CompareStored(s, k, k.m_Held[o.file], o);
    at = o.last;
  }
  if (at < count) pieces.emplace_back(at, count);
  // Each piece moves to the front of the buffer; later pieces lie beyond it,
  // where an append in place would put the next segment.
  SegmentToOwnBuffer(k);
  for (const auto& [first, last] : pieces) {
    if (first > 0) std::memmove(k.m_Seg, k.m_Seg + first, sizeof(float) * (last - first));
    k.m_SegBegin = begin + static_cast<double>(first) * h;
    k.m_Count = static_cast<int>(last - first);
    k.m_SegQty = static_cast<double>(last - first) * h;
    // The pieces lie apart from what the whole segment met. Finding their
    // overlaps again from their own start times could, where those times
    // round, meet the same file once more, piece after piece.
    if (k.m_Held.Files().size() == known)
      StoreApart(sta, chan);
    else
      StoreSegment(sta, chan);  // a file met on disk meanwhile may fall on it
  }
}

void CStaInfo::CompareStored(CSta& s, CChanInfo& k, archive::StoredFile& file, const archive::Overlay& o) {
  const double h = 1.0 / k.m_SpS;
  const size_t n = o.last - o.first;
  if (!o.sameRate) {
    NoteConflict(s, k, k.m_SegBegin + static_cast<double>(o.first) * h, n);
    return;
  }
  if (file.cpath == k.m_CPath) FlushPending(k);
  const std::string full = m_Path + kLocalSeparator + LocalPath(file.cpath);
  std::vector<uint32_t> stored(n), scratch;
  if (!archive::ReadStoredSamples(full, static_cast<uint64_t>(static_cast<int64_t>(o.first) + o.offset), n,
                                  stored.data())) {
    const std::string reason = std::strerror(errno);
    m_NotStored.Add(s.m_Name, k.m_Name, n, reason,
                    "Data file " + full + ": cannot be read back to compare: " + reason + "; " + std::to_string(n) +
                        " samples of " + s.m_Name + " " + k.m_Name + " that fall on it not stored");
    ++m_Stats.segmentsNotStored;
    m_Stats.samplesNotStored += n;
    return;
  }
  const auto* incoming =
      static_cast<const uint32_t*>(LittleEndianSamples(k.m_Seg + o.first, static_cast<int>(n), scratch));
  for (size_t i = 0; i < n;) {
    size_t j = i;
    const bool same = stored[i] == incoming[i];
    while (j < n && (stored[j] == incoming[j]) == same) ++j;
    if (same)
      m_Stats.samplesDuplicate += j - i;
    else
      NoteConflict(s, k, k.m_SegBegin + static_cast<double>(o.first + i) * h, j - i);
    i = j;
  }
  // A file whose row lags (its run ended before it registered it) is
  // registered as it is: that is what a re-run over the same input does.
  if (!file.thisRun && file.RowLags()) {
    file.rowQty = file.Duration();
    UpdateFileList(file.cpath.c_str(), s.m_Name.c_str(), k.m_Name.c_str(), file.tBegin, file.rowQty, file.sps, 1, 3);
  }
}

void CStaInfo::NoteConflict(const CSta& s, CChanInfo& k, double begin, uint64_t samples) {
  const double h = 1.0 / k.m_SpS;
  if (k.m_ConflictSamples > 0 && std::fabs(begin - k.m_ConflictEnd) > h) ReportConflict(s, k);
  if (k.m_ConflictSamples == 0) k.m_ConflictBegin = begin;
  k.m_ConflictSamples += samples;
  k.m_ConflictEnd = begin + static_cast<double>(samples) * h;
  m_Stats.samplesConflicting += samples;
}

void CStaInfo::ReportConflict(const CSta& s, CChanInfo& k) {
  if (k.m_ConflictSamples == 0) return;
  const Calendar c = Breakdown(k.m_ConflictBegin);
  platform::DebugOutputF("%s %s: %s samples from %04d-%02d-%02d %02d:%02d:%02d overlap stored data with other "
                         "values: not stored\n",
                         s.m_Name.c_str(), k.m_Name.c_str(), GroupedDigits(k.m_ConflictSamples).c_str(),
                         c.year, c.month, c.day, c.hour, c.minute, c.second);
  ++m_Stats.conflictStretches;
  k.m_ConflictSamples = 0;
}

bool CStaInfo::WriteSegment(unsigned sta, unsigned chan) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  const double h = 1.0 / k.m_SpS;
  // Durations follow from sample counts, so that a file's TQTY is the same
  // however its samples came in.
  k.m_SegQty = k.m_Count * h;
  const double limit = s.m_FileMinutes * 60 - 1;
  // 0/0 means no current file; a segment starting at the epoch itself must
  // not be taken for its continuation.
  const bool haveFile = !(k.m_TBegin == 0 && k.m_TQty == 0);
  bool continues = haveFile && std::fabs(k.m_TBegin + k.m_TQty - k.m_SegBegin) <= h;
  if (!continues) {
    // A stored file that the segment continues, from an earlier run or one
    // this run started, goes on as it would in one run over all the input:
    // there, the whole segment went on where the file was when it began
    // (a run stopped in mid-segment leaves a file that is longer).
    archive::StoredFile* f = k.m_Held.Continued(k.m_SegBegin, k.m_SpS);
    if (f && std::min(f->Duration(), k.m_SegOrigin - f->tBegin) <= limit && !m_Failed.count(f->cpath)) {
      if (f->cpath != k.m_CPath) CloseFile(k);
      k.m_CPath = f->cpath;
      k.m_TBegin = f->tBegin;
      k.m_FileSamples = f->samples;
      k.m_TQty = static_cast<double>(f->samples) * h;
      continues = true;
    }
  }
  if (continues) {
    // Once a file could not be created or extended, the rest of its span
    // is not stored either, but still counted: the next file then begins
    // where it begins in a run without the fault, so that a re-run completes
    // every file of this one instead of leaving overlapping ones beside its own.
    const auto count = static_cast<uint64_t>(k.m_Count);
    if (m_Failed.count(k.m_CPath)) {
      NoteNotStored(m_Path + kLocalSeparator + LocalPath(k.m_CPath) + ": an earlier segment could not be stored", "",
                    s, k);
    } else if (AppendToFile(s, k)) {
      const double qty = static_cast<double>(k.m_FileSamples + count) * h;
      if (archive::StoredFile* f = k.m_Held.Find(k.m_CPath, k.m_TBegin)) {
        k.m_Held.Extend(*f, count);
        f->rowQty = qty;
      }
      if (k.m_Pending && !k.m_Pending->Empty())
        k.m_Pending->qtys.back() = qty;  // registered once written
      else
        UpdateFileList(k.m_CPath.c_str(), s.m_Name.c_str(), k.m_Name.c_str(), k.m_TBegin, qty, k.m_SpS, 1, 3);
    } else {
      m_Failed.insert(k.m_CPath);
    }
    k.m_FileSamples += count;  // stored or not, as said above
    k.m_TQty = static_cast<double>(k.m_FileSamples) * h;
    if (k.m_TQty > limit) {
      k.m_TBegin = k.m_TQty = 0;
      CloseFile(k);
    }
    return true;
  }
  switch (CreateFile(sta, chan)) {
    case Creation::kCreated:
      k.m_Held.Add({k.m_CPath, k.m_TBegin, k.m_SpS, k.m_FileSamples, k.m_TQty, true});
      ReplaceFileList(k.m_CPath.c_str(), s.m_Name.c_str(), k.m_Name.c_str(), k.m_TBegin, k.m_TQty, k.m_SpS, 1, 3);
      return true;
    case Creation::kFailed:
      return true;
    case Creation::kFoundStored:
      return false;
  }
  return true;
}

// errno holds the operating system's reason.
void CStaInfo::ReportNotStored(const std::string& path, const char* what, const CSta& s, const CChanInfo& k) {
  const std::string reason = std::strerror(errno);
  NoteNotStored(path + ": " + what + ": " + reason, reason, s, k);
}

void CStaInfo::NoteNotStored(const std::string& problem, const std::string& reason, const CSta& s,
                             const CChanInfo& k) {
  NoteNotStored(problem, reason, s.m_Name, k, static_cast<uint64_t>(k.m_Count));
}

void CStaInfo::NoteNotStored(const std::string& problem, const std::string& reason, const std::string& station,
                             const CChanInfo& k, uint64_t samples) {
  m_NotStored.Add(station, k.m_Name, samples, reason,
                  "Data file " + problem + "; " + std::to_string(samples) + " samples of " + station + " " +
                      k.m_Name + " not stored");
  ++m_Stats.segmentsNotStored;
  m_Stats.samplesNotStored += samples;
}

// A kept file that another program removed meanwhile would swallow a write
// unseen; the path is what counts, as when the file is reopened. Checked
// before each write rather than each segment: most segments wait for a
// larger write.
const char* CStaInfo::ReadyToAppend(CChanInfo& k, const std::string& full) {
  struct stat kept {};
  if (k.m_Fd >= 0 && (::fstat(k.m_Fd, &kept) != 0 || kept.st_nlink == 0)) CloseFd(k);
  if (k.m_Fd >= 0) return nullptr;
  const int fd = ::open(full.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open for appending";
  off_t end = ::lseek(fd, 0, SEEK_END);
  // A run that died while appending may have left part of a sample; the
  // next one must start on a sample boundary.
  if (end > kHeaderBytes && (end - kHeaderBytes) % 4 != 0) {
    end -= (end - kHeaderBytes) % 4;
    if (::ftruncate(fd, end) != 0 || ::lseek(fd, end, SEEK_SET) != end) end = -1;
  }
  if (end < 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return "cannot append";
  }
  KeepOpen(k, fd, end);
  // Room allocated ahead by a run that was killed is given back when this
  // run closes the file.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_blocks * 512 > end + st.st_blksize) k.m_Reserved = st.st_blocks * 512;
  return nullptr;
}

bool CStaInfo::AppendToFile(CSta& s, CChanInfo& k) {
  const std::string full = m_Path + kLocalSeparator + LocalPath(k.m_CPath);
  auto fail = [&](const char* what) {
    ReportNotStored(full, what, s, k);
    return false;
  };
  if (k.m_Fd < 0)
    if (const char* what = ReadyToAppend(k, full)) return fail(what);
  k.m_LastUse = ++m_UseClock;
  std::vector<uint32_t> scratch;
  const size_t bytes = sizeof(float) * static_cast<size_t>(k.m_Count);
  const void* data = LittleEndianSamples(k.m_Seg, k.m_Count, scratch);
  switch (Defer(s, k, data, bytes)) {
    case Deferral::kQueued:
      return true;
    case Deferral::kFailed:
      NoteNotStored(full + ": an earlier segment could not be stored", "", s, k);
      return false;
    case Deferral::kDirect:
      // The segment may have left the room of the waiting appends meanwhile.
      if constexpr (std::endian::native == std::endian::little) data = k.m_Seg;
      break;
  }
  if (const char* what = ReadyToAppend(k, full)) return fail(what);
  if (!WriteAllBytes(k.m_Fd, data, bytes)) {
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

// The budget is shared by the channels with an open file, so that every
// channel of a network writes in large pieces, not only the first few. In
// steps of the least share: a file opened or closed elsewhere must not make
// every channel replace its buffer by a fresh one, to be faulted in anew.
size_t CStaInfo::PendingShare() const {
  return std::min(kPendingBytesPerChannel, m_PendingBudget / std::max<size_t>(1, m_Open.size())) / kMinPendingBytes *
         kMinPendingBytes;
}

CStaInfo::Deferral CStaInfo::Defer(CSta& s, CChanInfo& k, const void* data, size_t bytes) {
  const size_t share = PendingShare();
  if (!k.m_Pending) {
    if (share < kMinPendingBytes) return Deferral::kDirect;
    k.m_Pending = std::make_unique<PendingAppends>();
    // A file just closed usually gives way to the channel's next one: its
    // buffer is taken over rather than a fresh one faulted in.
    if (!m_SpareBytes.empty()) {
      k.m_Pending->bytes = std::move(m_SpareBytes.back());
      m_SpareBytes.pop_back();
    }
    k.m_Pending->bytes.Reset(share);
  }
  PendingAppends& p = *k.m_Pending;
  const bool inPlace = data == p.bytes.Tail();
  if (!inPlace && p.bytes.size() + bytes > std::min(share, p.bytes.capacity())) {
    if (!FlushPending(k)) return Deferral::kFailed;
    // Reserved while fewer or more files were open: to the share of now.
    if (p.bytes.capacity() != share) {
      const float* decoded = k.m_Seg;
      SegmentToOwnBuffer(k);
      if (data == decoded) data = k.m_Seg;  // not where byte-swapped samples wait
      if (share < kMinPendingBytes) {
        k.m_Pending.reset();
        return Deferral::kDirect;
      }
      p.bytes.Reset(share);
    }
  }
  if (!inPlace && bytes > share) return Deferral::kDirect;
  if (p.Empty()) {
    p.cpath = k.m_CPath;
    p.station = &s.m_Name;
    p.tBegin = k.m_TBegin;
    p.sps = k.m_SpS;
  }
  p.bytes.Append(data, bytes);
  p.ends.push_back(p.bytes.size());
  p.qtys.push_back(0);
  return Deferral::kQueued;
}

bool CStaInfo::FlushPending(CChanInfo& k) {
  if (!k.m_Pending || k.m_Pending->Empty()) return true;
  PendingAppends& p = *k.m_Pending;
  const std::string full = m_Path + kLocalSeparator + LocalPath(p.cpath);
  size_t written = p.ends.size(), at = p.bytes.size();
  int err = 0;
  const char* what = ReadyToAppend(k, full);
  if (what) {
    err = errno;
    written = at = 0;
  } else if (!WriteAllBytes(k.m_Fd, p.bytes.data(), p.bytes.size())) {
    what = "cannot append";
    // Segment by segment from where the file stood: those that fit are stored.
    written = at = 0;
    if (::ftruncate(k.m_Fd, k.m_FileBytes) == 0 && ::lseek(k.m_Fd, k.m_FileBytes, SEEK_SET) == k.m_FileBytes)
      for (; written < p.ends.size(); at = p.ends[written++])
        if (!WriteAllBytes(k.m_Fd, p.bytes.data() + at, p.ends[written] - at)) break;
    err = errno;
    if (::ftruncate(k.m_Fd, k.m_FileBytes + static_cast<off_t>(at)) != 0) {}
    ::lseek(k.m_Fd, k.m_FileBytes + static_cast<off_t>(at), SEEK_SET);
  }
  k.m_FileBytes += static_cast<int64_t>(at);
  m_Stats.filesExtended += written;
  m_Stats.samplesWritten += at / sizeof(float);
  for (size_t i = written, from = written ? p.ends[written - 1] : 0; i < p.ends.size(); from = p.ends[i++]) {
    const uint64_t samples = (p.ends[i] - from) / sizeof(float);
    if (i == written) {
      errno = err;
      const std::string reason = std::strerror(err);
      NoteNotStored(full + ": " + what + ": " + reason, reason, *p.station, k, samples);
    } else {
      NoteNotStored(full + ": an earlier segment could not be stored", "", *p.station, k, samples);
    }
  }
  const bool whole = written == p.ends.size();
  if (!whole) m_Failed.insert(p.cpath);
  // One registration per segment, as when each was written by itself.
  std::vector<double> qtys(p.qtys.begin(), p.qtys.begin() + static_cast<std::ptrdiff_t>(written));
  p.Clear();
  for (const double qty : qtys)
    UpdateFileList(p.cpath.c_str(), p.station->c_str(), k.m_Name.c_str(), p.tBegin, qty, p.sps, 1, 3);
  return whole;
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
  k.m_Reserved = 0;
  k.m_LastUse = ++m_UseClock;
  m_Open.push_back(&k);
}

void CStaInfo::CloseFile(CChanInfo& k) {
  if (k.m_Fd < 0) return;
  FlushPending(k);
  if (k.m_Pending) {  // its share goes to the files still open
    SegmentToOwnBuffer(k);
    if (m_SpareBytes.size() < kSpareBuffers) m_SpareBytes.push_back(std::move(k.m_Pending->bytes));
    k.m_Pending.reset();
  }
  CloseFd(k);
}

double CStaInfo::ExpectedSamples(const CSta& s, const CChanInfo& k) const {
  double seconds = s.m_FileMinutes * 60.0;
  if (m_Windows)
    if (auto it = m_Windows->find({s.m_Name, k.m_Name}); it != m_Windows->end())
      seconds = std::min(seconds, it->second.end - k.m_TBegin);
  // The window ends after its last sample, give or take the rounding of times.
  return std::ceil(seconds * k.m_SpS - 1e-3);
}

float* CStaInfo::SegmentBuffer(CChanInfo& k) {
  constexpr size_t kSegmentBytes = sizeof(float) * kChanBufferSamples;
  // Only samples as they are stored can be appended where they were decoded.
  if constexpr (std::endian::native == std::endian::little) {
    if (!k.m_Pending || k.m_Fd < 0) return k.m_Data.get();
    // What waits goes out before the next segment rather than after it:
    // decoded into the channel's own buffer, that one would be copied in.
    if (k.m_Pending->bytes.Room() < kSegmentBytes && !k.m_Pending->Empty()) {
      FlushPending(k);  // what it could not store is reported and the file given up
      const size_t share = PendingShare();
      if (share < kMinPendingBytes) {
        k.m_Pending.reset();
        return k.m_Data.get();
      }
      k.m_Pending->bytes.Reset(share);
    }
    if (k.m_Pending->bytes.Room() >= kSegmentBytes) return reinterpret_cast<float*>(k.m_Pending->bytes.Tail());
  }
  return k.m_Data.get();
}

void CStaInfo::SegmentToOwnBuffer(CChanInfo& k) {
  if (k.m_Seg == k.m_Data.get()) return;
  if (k.m_Count > 0) std::memcpy(k.m_Data.get(), k.m_Seg, sizeof(float) * static_cast<size_t>(k.m_Count));
  k.m_Seg = k.m_Data.get();
}

void CStaInfo::CloseFd(CChanInfo& k) {
  if (k.m_Fd < 0) return;
  m_Open.erase(std::find(m_Open.begin(), m_Open.end(), &k));
  const int fd = k.m_Fd;
  k.m_Fd = -1;
  // Blocks reserved beyond the samples that came would stay allocated.
  if (k.m_Reserved > k.m_FileBytes && ::ftruncate(fd, k.m_FileBytes) != 0)
    platform::DebugOutputF("Data file %s: cannot give back the room reserved beyond its end: %s\n",
                           (m_Path + kLocalSeparator + LocalPath(k.m_CPath)).c_str(), std::strerror(errno));
  k.m_Reserved = 0;
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

CStaInfo::Creation CStaInfo::CreateFile(unsigned sta, unsigned chan) {
  CSta& s = *m_StaList[sta];
  CChanInfo& k = *s.m_ChanList[chan];
  CloseFile(k);
  k.m_TBegin = k.m_SegBegin;
  k.m_TQty = k.m_SegQty;
  k.m_FileSamples = static_cast<uint64_t>(k.m_Count);
  auto drop = [&](const std::string& path, const char* what) {
    ReportNotStored(path, what, s, k);
    // The channel's path names no file of its own (or one of another
    // segment): the next segment starts a new file.
    k.m_TBegin = k.m_TQty = 0;
    return Creation::kFailed;
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
  const std::string dir = m_Path + kLocalSeparator + s.m_Name + kLocalSeparator + hour;
  MakeFolders(s.m_Name, dir);
  const std::string full = dir + kLocalSeparator + name;
  k.m_CPath = s.m_Name + "\\" + hour + "\\" + name;
  // A gap within one second of a file's start gives the same name. A file
  // is never replaced: what it holds would be lost.
  if (k.m_Held.Find(k.m_CPath, k.m_TBegin)) {
    errno = EEXIST;
    return drop(full, "already holds other samples of this channel, which this segment does not overlap");
  }
  struct stat existing {};
  if (::lstat(full.c_str(), &existing) == 0) {
    TakeInUnknownFile(k, full);
    return Creation::kFoundStored;
  }

  char header[kHeaderBytes];
  MakeHeader(header, sta, chan);
  // Written under a temporary name and renamed into place, so that a failed
  // creation neither leaves half a file nor destroys an earlier one.
  std::string tmp;
  auto makeTemporary = [&] {
    tmp = dir + kLocalSeparator + "." + name + ".XXXXXX";
    return ::mkstemp(tmp.data());
  };
  int fd = makeTemporary();
  if (fd < 0 && errno == ENOENT) {  // the folder was removed meanwhile
    MakeFolders(s.m_Name, dir, true);
    fd = makeTemporary();
  }
  if (fd < 0) {
    ReportNotStored(full, "cannot create", s, k);
    m_Failed.insert(k.m_CPath);
    return Creation::kFailed;
  }
  ::fchmod(fd, 0666 & ~ProcessUmask());
  const int64_t reserved = Reserve(fd, ExpectedSamples(s, k), k.m_Count);
  std::vector<uint32_t> scratch;
  const size_t bytes = sizeof(float) * static_cast<size_t>(k.m_Count);
  bool ok = WriteAllBytes(fd, header, kHeaderBytes) &&
            WriteAllBytes(fd, LittleEndianSamples(k.m_Seg, k.m_Count, scratch), bytes);
  int err = errno;
  // Into place only where no file is: another one would be lost.
  if (ok && ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, full.c_str(), RENAME_NOREPLACE) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::close(fd);
    ::unlink(tmp.c_str());
    if (err == EEXIST) {
      TakeInUnknownFile(k, full);
      return Creation::kFoundStored;
    }
    errno = err;
    ReportNotStored(full, "cannot write", s, k);
    m_Failed.insert(k.m_CPath);
    return Creation::kFailed;
  }
  KeepOpen(k, fd, static_cast<int64_t>(kHeaderBytes + bytes));
  k.m_Reserved = reserved;
  ++m_Stats.filesCreated;
  m_Failed.erase(k.m_CPath);
  m_Stats.samplesWritten += static_cast<uint64_t>(k.m_Count);
  return Creation::kCreated;
}

void CStaInfo::TakeInUnknownFile(CChanInfo& k, const std::string& full) {
  archive::StoredFile f;
  f.cpath = k.m_CPath;
  f.sps = k.m_SpS;
  const Calendar c = Breakdown(k.m_TBegin);
  f.tBegin = seed::DateToSeconds(c.year, c.month, c.day, c.hour, c.minute, static_cast<float>(c.second));
  f.estimated = true;
  if (!archive::StoredSampleCount(full, f.samples)) f.samples = 0;
  platform::DebugOutputF("Data file %s: found without a FILELIST row; taken as it is\n", full.c_str());
  k.m_TBegin = k.m_TQty = 0;
  k.m_Held.Add(std::move(f));
}
