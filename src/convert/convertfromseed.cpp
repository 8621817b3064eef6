#include "convert/convertfromseed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "archive/filelisttable.h"
#include "platform/diag.h"
#include "platform/ini.h"
#include "seed/record.h"
#include "seed/seedtime.h"
#include "seed/steim.h"

namespace {

constexpr int kMaxSamples = 65535;
constexpr size_t kReadChunk = 1 << 18;
constexpr uint64_t kProgressEvery = 256;  // records

// Reads until size bytes came, the file ended, or an error; -1 on error.
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

// A reader that hands out whole records from large reads, so that small
// records do not cost one system call each.
class RecordReader {
 public:
  RecordReader(int fd, size_t recLen) : m_Fd(fd), m_RecLen(recLen), m_Buf(std::max(kReadChunk, recLen)) {}

  // 1: a whole record was copied to out; 0: the file ended (a shorter
  // remainder is dropped); -1: read error (errno set).
  int Next(unsigned char* out) {
    if (m_End - m_Pos < m_RecLen && !m_Eof) {
      std::memmove(m_Buf.data(), m_Buf.data() + m_Pos, m_End - m_Pos);
      m_End -= m_Pos;
      m_Pos = 0;
      ssize_t n = ReadFull(m_Fd, m_Buf.data() + m_End, m_Buf.size() - m_End);
      if (n < 0) return -1;
      if (static_cast<size_t>(n) < m_Buf.size() - m_End) m_Eof = true;
      m_End += static_cast<size_t>(n);
    }
    if (m_End - m_Pos < m_RecLen) return 0;
    std::memcpy(out, m_Buf.data() + m_Pos, m_RecLen);
    m_Pos += m_RecLen;
    return 1;
  }
  // Bytes left after the last whole record, once Next has said 0.
  size_t Remainder() const { return m_End - m_Pos; }

 private:
  int m_Fd;
  size_t m_RecLen;
  std::vector<unsigned char> m_Buf;
  size_t m_Pos = 0, m_End = 0;
  bool m_Eof = false;
};

// A code as the operator should see it: printable ASCII as is, the rest as \xNN.
std::string Printable(const unsigned char* field, int width) {
  std::string s;
  for (int i = 0; i < width; ++i) {
    unsigned char c = field[i];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      s += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    }
  }
  return s;
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

void IConvertHost::ReportError(const char* text) {
  std::string line = std::string(text) + "\n";
  platform::DebugOutput(line.c_str());
}

void IConvertHost::Progress(size_t, size_t, uint64_t, uint64_t) {}

std::string ReadDataDir(const std::string& vezIni) {
  std::string dir = platform::GetPrivateProfileString("DATA", "DIR", "\\", vezIni);
  if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string DataFolderProblem(const std::string& vezIni) {
  static const std::string kUnset = "\x01";
  if (platform::GetPrivateProfileString("DATA", "DIR", kUnset, vezIni) == kUnset)
    return std::string("No VEZ data folder set in ").append(vezIni).append(" (key DIR of section [DATA])");
  std::string dir = ReadDataDir(vezIni);
  if (dir.empty()) dir.push_back(kLocalSeparator);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::string("VEZ data folder not found: ").append(dir);
    return std::string("VEZ data folder cannot be reached: ").append(dir).append(": ").append(std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) return std::string("VEZ data folder is not a folder: ").append(dir);
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return std::string("VEZ data folder not writable: ").append(dir).append(": ").append(std::strerror(errno));
  return {};
}

CConvertFromSeed::CConvertFromSeed(IConvertHost* host, const std::string& vezIni)
    : m_DataDir(ReadDataDir(vezIni)), m_pDlg(host), m_Samples(new float[kMaxSamples]) {}

CConvertFromSeed::~CConvertFromSeed() {
  Join();
  m_Database.Close();
}

void CConvertFromSeed::AddFile(const std::string& path) { m_FileList.push_back(path); }

void CConvertFromSeed::ClearFiles() {
  while (!m_FileList.empty()) m_FileList.pop_front();
}

void CConvertFromSeed::Join() {
  if (m_pThread.joinable() && m_pThread.get_id() != std::this_thread::get_id()) m_pThread.join();
}

int CConvertFromSeed::Start() {
  if (m_Running.load()) return -2;
  Join();
  m_Running = true;
  try {
    m_pThread = std::thread(ConvertThreadProc, this);
  } catch (const std::system_error&) {
    m_Running = false;
    return -2;
  }
  return 0;
}

void CConvertFromSeed::Error(const char* format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (m_pDlg)
    m_pDlg->ReportError(buf);
  else
    platform::DebugOutputF("%s\n", buf);
}

void ConvertThreadProc(CConvertFromSeed* converter) {
  converter->Run();
  const RunStats& stats = converter->m_Stats;
  // After an open error or an aborted run, their own texts stay the last ones.
  if (!stats.databaseOpenFailed && !stats.aborted)
    converter->SetStatus(stats.AnyFailure() ? "Data converted with errors" : "Data successfully converted");
  IConvertHost* host = converter->m_pDlg;
  if (host) host->Beep();
  converter->m_Running = false;
  if (host) host->ConvertDone();
}

void CConvertFromSeed::Run() {
  m_Stats = RunStats{};
  const bool useDatabase = !m_ConnectString.empty();
  try {
    if (useDatabase) {
      m_Database.Open(m_ConnectString, 15);
      // A table that cannot take a row is found before any data file is written.
      for (const std::string& w : archive::CheckFileListTable(m_Database).Warnings()) Error("%s", w.c_str());
    }
  } catch (const std::exception& e) {
    m_Database.Close();
    Error("VEZ Database open error: %s", e.what());
    m_Stats.databaseOpenFailed = true;
    SetStatus("VEZ Database open error");
    if (m_pDlg) m_pDlg->Beep();
    ClearFiles();
    return;
  }

  auto store = std::make_unique<CStaInfo>(useDatabase ? &m_Database : nullptr);
  store->SetPath(m_DataDir.c_str());
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const std::string& f : m_FileList) bytesTotal += FileSize(f);
  try {
    for (size_t i = 0; i < m_FileList.size(); ++i) ConvertFile(*store, i, bytesDone, bytesTotal);
    store->WriteAll();
  } catch (const odbc::Error& e) {
    Error("VEZ Database write error while converting %s: %s", m_FileName.c_str(), e.what());
    m_Stats.aborted = true;
    SetStatus("VEZ Database write error");
  } catch (const std::exception& e) {
    Error("Conversion error while converting %s: %s", m_FileName.c_str(), e.what());
    m_Stats.aborted = true;
    SetStatus("Conversion error");
  }
  if (m_Stats.aborted) {
    // What the store still buffers is lost with it; count it as not stored.
    for (const auto& sta : store->m_StaList)
      for (const auto& chan : sta->m_ChanList)
        if (chan->m_Count > 0) {
          ++store->m_Stats.segmentsNotStored;
          store->m_Stats.samplesNotStored += static_cast<uint64_t>(chan->m_Count);
        }
  }
  m_Stats.store = store->m_Stats;
  ClearFiles();
  m_Database.Close();
  store.reset();
}

void CConvertFromSeed::ConvertFile(CStaInfo& store, size_t index, uint64_t& bytesDone,
                                   uint64_t bytesTotal) {
  m_FileName = m_FileList[index];
  const uint64_t fileBytes = FileSize(m_FileName);
  int fd = ::open(m_FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Error("%s: cannot open: %s", m_FileName.c_str(), std::strerror(errno));
    ++m_Stats.filesFailed;
    SetStatus("File open error");
    if (m_pDlg) m_pDlg->Beep();
    bytesDone += fileBytes;
    return;
  }
  bool failed = false;
  long offset = FindRecordLength(fd);
  if (offset < 0) {
    failed = true;
  } else if (m_RecLen == 0) {
    // Not an error (the file may hold only records of other qualities),
    // but an operator must not take it for converted data.
    Error("%s: no SEED data record of quality %s found", m_FileName.c_str(), m_Quality.c_str());
    ++m_Stats.filesWithoutRecords;
  } else {
    if (::lseek(fd, offset, SEEK_SET) < 0) {
      Error("%s: cannot seek to byte %ld: %s", m_FileName.c_str(), offset, std::strerror(errno));
      failed = true;
    } else {
      std::vector<unsigned char> record(static_cast<size_t>(m_RecLen));
      RecordReader reader(fd, record.size());
      m_RecordOffset = static_cast<uint64_t>(offset);
      uint64_t count = 0;
      int got;
      while ((got = reader.Next(record.data())) == 1) {
        ProcessRecord(store, record.data());
        std::memset(record.data(), 0, record.size());
        m_RecordOffset += record.size();
        if (++count % kProgressEvery == 0 && m_pDlg)
          m_pDlg->Progress(index, m_FileList.size(), bytesDone + m_RecordOffset, bytesTotal);
      }
      if (got < 0) {
        Error("%s: read error at byte %llu: %s", m_FileName.c_str(),
              static_cast<unsigned long long>(m_RecordOffset), std::strerror(errno));
        failed = true;
      } else if (reader.Remainder() > 0) {
        // A file cut short (an interrupted copy) ends inside a record, whose
        // samples would otherwise vanish without a word.
        Error("%s: the last %zu bytes, from byte %llu, are not a whole %d-byte record and are not converted",
              m_FileName.c_str(), reader.Remainder(), static_cast<unsigned long long>(m_RecordOffset),
              m_RecLen);
        ++m_Stats.recordsCutShort;
      }
    }
  }
  ::close(fd);
  if (failed)
    ++m_Stats.filesFailed;
  else
    ++m_Stats.filesRead;
  bytesDone += fileBytes;
  if (m_pDlg) m_pDlg->Progress(index + 1, m_FileList.size(), bytesDone, bytesTotal);
}

long CConvertFromSeed::FindRecordLength(int fd) {
  constexpr size_t kWindow = 1 << 16;
  std::vector<unsigned char> buf(kWindow + seed::kProbeSize);
  for (off_t base = 0;; base += static_cast<off_t>(kWindow)) {
    ssize_t got = PreadFull(fd, buf.data(), buf.size(), base);
    if (got < 0) {
      Error("%s: read error at byte %lld: %s", m_FileName.c_str(), static_cast<long long>(base),
            std::strerror(errno));
      m_RecLen = 0;
      return -1;
    }
    for (ssize_t pos = 0; pos + seed::kProbeSize <= got && pos < static_cast<ssize_t>(kWindow); pos += 16) {
      const unsigned char* p = buf.data() + pos;
      if (!seed::IsAcceptedQuality(static_cast<char>(p[seed::kQuality]), m_Quality.c_str())) continue;
      int length = 0;
      if (p[seed::kFirstBlockette] == 0 && p[seed::kFirstBlockette + 1] == 0)
        length = 4096;
      else if (p[seed::kRecLenExponent] >= 8 && p[seed::kRecLenExponent] <= 13)
        length = 1 << p[seed::kRecLenExponent];
      if (length) {
        m_RecLen = length;
        return static_cast<long>(base + pos);
      }
    }
    if (got < static_cast<ssize_t>(buf.size())) break;
  }
  m_RecLen = 0;
  return 0;
}

void CConvertFromSeed::ProcessRecord(CStaInfo& store, unsigned char* record) {
  const int R = m_RecLen;
  if (!seed::IsAcceptedQuality(static_cast<char>(record[seed::kQuality]), m_Quality.c_str())) {
    ++m_Stats.recordsNotData;
    return;
  }
  seed::HeaderToHostOrder(record);
  seed::RecordHeader h;
  seed::ReadHeader(record, h);
  const double rate = seed::CalcSampleRate(h.rateFactor, h.rateMultiplier);
  if (!h.station[0] || !h.channel[0]) {
    ++m_Stats.recordsEmptyCode;
    return;
  }
  if (!seed::IsSafeCode(h.station) || !seed::IsSafeCode(h.channel)) {
    Error("%s: record at byte %llu refused: station \"%s\" or channel \"%s\" holds bytes other than "
          "letters and digits",
          m_FileName.c_str(), static_cast<unsigned long long>(m_RecordOffset),
          Printable(record + seed::kStation, seed::kStationMax).c_str(),
          Printable(record + seed::kChannel, seed::kChannelMax).c_str());
    ++m_Stats.recordsUnsafeCode;
    return;
  }

  const int n = h.sampleCount;
  float* samples = m_Samples.get();
  std::fill(samples, samples + n, 0.0f);
  m_Encoding = seed::DecodeSamples(record, R, h, samples);

  const double start = seed::RecordStartTime(record);
  if (m_pDlg && m_pDlg->WantsRecordStatus()) {
    char status[256];
    seed::FormatStatus(status, sizeof status, h.station, h.channel, start, n, rate, h.dataOffset);
    m_pDlg->SetStatusText(status);
  }
  store.AddData(h.station, h.channel, rate, start, n, samples);
  ++m_Stats.recordsConverted;
  m_Stats.samples += static_cast<uint64_t>(n);
}
