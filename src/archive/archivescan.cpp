#include "archive/archivescan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "archive/cpath.h"
#include "archive/datafilename.h"
#include "archive/filelisttable.h"
#include "platform/odbc.h"
#include "seed/record.h"
#include "seed/seedtime.h"

namespace archive {
namespace {

std::string Format(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

bool IsCode(const std::string& s) { return !s.empty() && seed::IsSafeCode(s.c_str()); }

// A whole number of at least width digits as "%0*d" writes it: no leading
// zero beyond the width. Advances p past it.
bool TakeNumber(const char*& p, int width, int& value) {
  const char* begin = p;
  value = 0;
  while (*p >= '0' && *p <= '9' && p - begin < 9) value = value * 10 + (*p++ - '0');
  const long n = p - begin;
  return n >= width && (n == width || *begin != '0') && !(*p >= '0' && *p <= '9');
}

// "KEY=" followed by three integers of the writer's widths, one blank apart,
// and nothing else.
bool ParseNumbers(const std::string& line, const char* key, int lastWidth, int& a, int& b, int& c) {
  const size_t n = std::strlen(key);
  if (line.compare(0, n, key) != 0) return false;
  const char* p = line.c_str() + n;
  return TakeNumber(p, 2, a) && *p++ == ' ' && TakeNumber(p, 2, b) && *p++ == ' ' && TakeNumber(p, lastWidth, c) &&
         *p == 0;
}

// Called on the walking threads, so not strerror.
std::string Errno(const char* what) {
  char buf[128];
  return std::string(what) + ": " + strerror_r(errno, buf, sizeof buf);
}

void ReadRows(odbc::Connection& database, ArchiveScan& scan) {
  const FileListTable& table = CheckFileListTable(database);
  scan.firstRowName = table.FirstRow().Name();
  std::string columns;
  for (size_t c = 0; c < kFileListColumns.size(); ++c)
    columns += (c ? ", " : "") + table.Column(static_cast<FileListColumn>(c));
  odbc::Statement select(database);
  select.Prepare("SELECT " + columns + " FROM " + table.Table() + table.FirstRow().Order());
  select.Execute();
  while (select.Fetch()) {
    // Columns in order: drivers need not return them in any other.
    ScannedRow r;
    r.sta = Unpadded(select.GetText(1 + kSta));
    r.sps = select.GetDouble(1 + kSps);
    r.gain = select.GetInt(1 + kGain);
    r.cpath = Unpadded(select.GetText(1 + kCpath));
    r.dataType = select.GetInt(1 + kDataType);
    r.ch = Unpadded(select.GetText(1 + kCh));
    r.creater = Unpadded(select.GetText(1 + kCreater));
    r.ldDate = select.GetTimestamp(1 + kLdDate);
    r.tBegin = select.GetDouble(1 + kTBegin);
    r.tQty = select.GetDouble(1 + kTQty);
    r.foff = select.GetInt(1 + kFoff);
    std::vector<ScannedRow>& of = scan.rows[r.cpath];
    of.push_back(std::move(r));
  }
  select.CloseCursor();
}

// Walks the folders through their descriptors: each file costs an open, a
// status, one read of its header and a close, and no path lookup from the top.
class Walker {
 public:
  explicit Walker(ArchiveScan& scan) : m_Scan(scan) {}

  // Reads the folder dirFd (and closes it) and all below it; with folders,
  // its own subfolders are not read but named there.
  void Walk(int dirFd, const std::string& cpath, std::vector<std::string>* folders = nullptr) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(dirFd), ::closedir);
    if (!dir) {
      Problem(WalkProblem::Kind::kUnreadable, cpath, Errno("cannot read the folder"));
      ::close(dirFd);
      return;
    }
    errno = 0;
    while (dirent* e = ::readdir(dir.get())) {
      const char* name = e->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      // The converter's station locks and a follower's state are not part of the archive.
      if (cpath.empty() && (std::strcmp(name, kLockFolderName) == 0 || std::strcmp(name, kFollowFolderName) == 0))
        continue;
      const std::string child = cpath.empty() ? std::string(name) : cpath + "\\" + name;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st {};
        if (::fstatat(::dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          Problem(WalkProblem::Kind::kUnreadable, child, Errno("cannot examine"));
          errno = 0;
          continue;
        }
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
      if (type == DT_DIR && folders) {
        folders->push_back(name);
      } else if (type == DT_DIR) {
        const int fd = ::openat(::dirfd(dir.get()), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
          Problem(WalkProblem::Kind::kUnreadable, child, Errno("cannot read the folder"));
        else
          Walk(fd, child);
      } else if (type == DT_REG) {
        File(::dirfd(dir.get()), name, child);
      } else {
        // Links are not followed: they could lead out of the archive.
        Problem(WalkProblem::Kind::kNotRegular, child, "not a regular file");
      }
      errno = 0;
    }
    if (errno != 0) Problem(WalkProblem::Kind::kUnreadable, cpath, Errno("cannot read the folder"));
  }

 private:
  void Problem(WalkProblem::Kind kind, const std::string& cpath, std::string detail) {
    m_Scan.problems.push_back({kind, cpath, std::move(detail)});
  }

  void File(int dirFd, const char* name, const std::string& cpath) {
    if (IsTemporaryName(name)) {
      m_Scan.temporaries.push_back(cpath);
      return;
    }
    ScannedFile& f = m_Scan.files[cpath];
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      f.openError = Errno("cannot open");
      if (fd >= 0) ::close(fd);
      return;
    }
    f.size = static_cast<uint64_t>(st.st_size);
    if (f.size >= kDataOffset) {
      unsigned char block[kDataOffset];
      ssize_t got = 0;
      do got = ::pread(fd, block, sizeof block, 0);
      while (got < 0 && errno == EINTR);
      if (got != static_cast<ssize_t>(sizeof block)) {
        if (got >= 0) errno = EIO;
        f.header = ScannedFile::Header::kUnreadable;
        f.headerProblem = Errno("cannot read the header");
      } else {
        f.header = ParseDataHeader(block, f.parsed, f.headerProblem) ? ScannedFile::Header::kGood
                                                                     : ScannedFile::Header::kBad;
      }
    }
    ::close(fd);
  }

  ArchiveScan& m_Scan;
};

}  // namespace

std::string DataHeader::FileName() const {
  return DataFileName(Calendar{year, month, day, hour, minute, second}, channel, station);
}


double DataHeader::StartSecond() const {
  return seed::DateToSeconds(year, month, day, hour, minute, static_cast<float>(second));
}

bool ParseDataHeader(const unsigned char* block, DataHeader& h, std::string& why) {
  const char* text = reinterpret_cast<const char*>(block);
  const size_t length = strnlen(text, kDataOffset);
  if (length == kDataOffset) {
    why = "no zero byte ends the header text";
    return false;
  }
  for (size_t i = length + 1; i < kDataOffset; ++i) {
    if (block[i] != ' ') {
      why = Format("byte %zu after the header text is not a blank", i);
      return false;
    }
  }
  std::string all(text, length);
  if (all.size() < 2 || all.compare(all.size() - 2, 2, "\r\n") != 0) {
    why = "the header text does not end with CR LF";
    return false;
  }
  all.resize(all.size() - 2);
  std::vector<std::string> lines;
  for (size_t begin = 0;;) {
    const size_t end = all.find("\r\n", begin);
    lines.push_back(all.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) break;
    begin = end + 2;
  }
  if (lines.size() != 10) {
    why = Format("%zu header lines instead of 10", lines.size());
    return false;
  }
  auto bad = [&](int n) {
    why = "header line " + std::to_string(n) + " \"" + lines[static_cast<size_t>(n - 1)] + "\"";
    for (char& ch : why)
      if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7f) ch = '?';
    return false;
  };
  if (lines[0] != "[VEZ4.0]") return bad(1);
  if (lines[1] != "Data offset=512") return bad(2);
  if (!ParseNumbers(lines[2], "Start time=", 2, h.hour, h.minute, h.second) || h.hour > 23 ||
      h.minute > 59 || h.second > 60)
    return bad(3);
  if (!ParseNumbers(lines[3], "Start date=", 4, h.day, h.month, h.year) || h.day < 1 ||
      h.day > 31 || h.month < 1 || h.month > 12)
    return bad(4);
  int dh, dm, ds;
  if (!ParseNumbers(lines[4], "Time duration=", 2, dh, dm, ds)) return bad(5);
  if (lines[5] != "Data Type=FLOAT") return bad(6);
  {
    const std::string& l = lines[6];
    if (l.compare(0, 4, "SpS=") != 0) return bad(7);
    const std::string value = l.substr(4);
    char* end = nullptr;
    h.sps = std::strtod(value.c_str(), &end);
    if (value.empty() || *end || !std::isfinite(h.sps) || h.sps <= 0 || Format("%f", h.sps) != value)
      return bad(7);
  }
  if (lines[7].compare(0, 5, "Gain=") != 0 || lines[7].size() == 5 ||
      lines[7].find_first_not_of("-0123456789", 5) != std::string::npos)
    return bad(8);
  if (lines[8].compare(0, 8, "Station=") != 0 || !IsCode(h.station = lines[8].substr(8))) return bad(9);
  {
    const std::string& l = lines[9];
    if (l.size() < 12 || l.compare(0, 10, "Channels=\"") != 0 || l.back() != '"' ||
        !IsCode(h.channel = l.substr(10, l.size() - 11)))
      return bad(10);
  }
  h.cpath = h.station + "\\" + HourFolder(h.hour) + "\\" + h.FileName();
  return true;
}

uint64_t ArchiveScan::RowCount() const {
  uint64_t n = 0;
  for (const auto& [cpath, of] : rows) n += of.size();
  return n;
}

std::string ArchiveScan::Full(const std::string& cpath) const {
  const std::string local = LocalPath(cpath);
  return dataDir.back() == '/' ? dataDir + local : dataDir + "/" + local;
}

std::string StationOf(const std::string& cpath) { return cpath.substr(0, cpath.find('\\')); }

namespace {

// The station folders are read on threads of their own while the rows are
// read from the database: reading 100 000 headers is mostly system calls.
void WalkAndReadRows(int top, ArchiveScan& scan, odbc::Connection& database) {
  std::vector<std::string> folders;
  Walker(scan).Walk(::dup(top), "", &folders);
  const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
  std::vector<ArchiveScan> parts(threads);
  std::atomic<size_t> next{0};
  auto walk = [&](ArchiveScan& part) {
    Walker walker(part);
    for (size_t i; (i = next++) < folders.size();) {
      const int fd = ::openat(top, folders[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0)
        part.problems.push_back({WalkProblem::Kind::kUnreadable, folders[i], Errno("cannot read the folder")});
      else
        walker.Walk(fd, folders[i]);
    }
  };
  {
    std::vector<std::jthread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(walk, std::ref(parts[t]));
    ReadRows(database, scan);
    walk(parts[0]);
  }
  for (ArchiveScan& part : parts) {
    scan.files.merge(part.files);
    scan.temporaries.insert(scan.temporaries.end(), part.temporaries.begin(), part.temporaries.end());
    scan.problems.insert(scan.problems.end(), part.problems.begin(), part.problems.end());
  }
}

}  // namespace

ArchiveScan ScanArchive(const std::string& dataDir, odbc::Connection& database) {
  ArchiveScan scan;
  scan.dataDir = dataDir.empty() ? "/" : dataDir;
  const int top = ::open(scan.dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) {
    struct stat st {};
    if (::stat(scan.dataDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      throw CheckError("data folder " + scan.dataDir + " is not a folder");
    throw CheckError(Errno(("data folder " + scan.dataDir).c_str()));
  }
  try {
    WalkAndReadRows(top, scan, database);
  } catch (...) {
    ::close(top);
    throw;
  }
  ::close(top);
  for (const auto& [cpath, of] : scan.rows) {
    const std::string local = LocalPath(cpath);
    if (local.empty() || scan.files.count(cpath)) continue;
    struct stat st {};
    if (::lstat(scan.Full(cpath).c_str(), &st) != 0)
      scan.missing[cpath] = {Errno("no data file"), errno == ENOENT};
    else
      scan.missing[cpath] = {"not a regular file", false};
  }
  return scan;
}

}  // namespace archive
