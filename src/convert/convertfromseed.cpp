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
#include "platform/odbchint.h"
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
  explicit RecordReader(int fd) : m_Fd(fd), m_Buf(kReadChunk) {}

  // 1: the next record was copied to record, which takes its length. A record
  // is read at recLen unless it declares a length of its own, which recLen
  // then becomes (files joined from files of other record lengths). 0: the
  // file ended (a shorter remainder is left); -1: read error (errno set).
  int Next(std::vector<unsigned char>& record, int32_t& recLen) {
    if (!Fill(static_cast<size_t>(recLen))) return -1;
    if (Available() >= static_cast<size_t>(seed::kProbeSize)) recLen = seed::OwnRecordLength(Data(), recLen);
    const size_t length = static_cast<size_t>(recLen);
    if (!Fill(length)) return -1;
    if (Available() < length) return 0;
    record.resize(length);
    std::memcpy(record.data(), Data(), length);
    m_Pos += length;
    return 1;
  }
  // Bytes left after the last whole record, once Next has said 0.
  size_t Remainder() const { return Available(); }

 private:
  size_t Available() const { return m_End - m_Pos; }
  const unsigned char* Data() const { return m_Buf.data() + m_Pos; }
  // Reads until want bytes are available or the file ended; false on an error.
  bool Fill(size_t want) {
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

  int m_Fd;
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

CConvertFromSeed::CConvertFromSeed(IConvertHost* host, const std::string& vezIni)
    : m_DataDir(ReadDataDir(vezIni)),
      m_pDlg(host),
      m_VezIni(vezIni),
      m_VezIniProblem(VezIniProblem(vezIni)),
      m_Samples(new float[kMaxSamples]) {}

std::string CConvertFromSeed::DataFolderProblem() const {
  std::string problem = m_VezIniProblem.empty() ? FolderProblem(m_DataDir) : m_VezIniProblem;
  // The folder is read once; a VEZ.ini put right since takes effect only in a new converter.
  if (!problem.empty() && (VezIniProblem(m_VezIni) != m_VezIniProblem || ReadDataDir(m_VezIni) != m_DataDir))
    problem += "; VEZ.ini has changed since it was read: restart brevanto to use it";
  return problem;
}

std::string CConvertFromSeed::DataSourceName() const { return odbc::DataSourceName(m_ConnectString); }

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
  const size_t inputs = converter->m_FileList.size();
  converter->Run();
  const RunStats& stats = converter->m_Stats;
  // After an open error or an aborted run, their own texts stay the last ones.
  if (!stats.databaseOpenFailed && !stats.aborted)
    converter->SetStatus(stats.AnyFailure() ? "Data converted with errors" : "Data successfully converted");
  IConvertHost* host = converter->m_pDlg;
  if (host) host->RunEnded(stats, inputs);
  if (host) host->Beep();
  converter->m_Running = false;
  if (host) host->ConvertDone();
}

void CConvertFromSeed::Run() {
  m_Stats = RunStats{};
  m_Undecoded.fill(0);
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
    if (const auto* odbcError = dynamic_cast<const odbc::Error*>(&e))
      if (const std::string hint = odbc::ConnectHint(odbcError->SqlState(), m_ConnectString); !hint.empty())
        Error("%s", hint.c_str());
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
    for (size_t i = 0; i < m_FileList.size(); ++i) {
      ConvertFile(*store, i, bytesDone, bytesTotal);
      if (m_pDlg) m_pDlg->Progress(i + 1, m_FileList.size(), bytesDone, bytesTotal);
    }
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
    ReportUndecoded();  // of the file the run ended in
    store->ReportShortRepeats();
    store->m_NotStored.Flush();
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
  if (m_pDlg) m_pDlg->InputStarted(index, m_FileList.size(), m_FileName);
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
  bool failed = false, cutShort = false;
  long offset = FindRecordLength(fd);
  if (offset < 0) {
    failed = true;
  } else if (m_RecLen == 0) {
    // An operator must not take a file that yields nothing for converted data.
    ReportNoRecords(fd);
    ++m_Stats.filesWithoutRecords;
    failed = true;
  } else {
    if (::lseek(fd, offset, SEEK_SET) < 0) {
      Error("%s: cannot seek to byte %ld: %s", m_FileName.c_str(), offset, std::strerror(errno));
      failed = true;
    } else {
      std::vector<unsigned char> record;
      RecordReader reader(fd);
      m_RecordOffset = static_cast<uint64_t>(offset);
      uint64_t count = 0;
      int got;
      while ((got = reader.Next(record, m_RecLen)) == 1) {
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
        cutShort = true;
      }
    }
  }
  ReportUndecoded();
  ::close(fd);
  if (failed)
    ++m_Stats.filesFailed;
  else if (cutShort)
    ++m_Stats.filesCutShort;
  else
    ++m_Stats.filesRead;
  bytesDone += fileBytes;
}

void CConvertFromSeed::ReportNoRecords(int fd) {
  const std::string others = QualitiesFound(fd);
  if (others.empty()) {
    Error("%s: no SEED data record found", m_FileName.c_str());
  } else {
    std::string qualities = others.size() == 1 ? "quality " : "qualities ";
    for (size_t i = 0; i < others.size(); ++i) qualities += (i ? ", " : "") + std::string(1, others[i]);
    std::string advice;
    if (!m_QualityAdvice.empty()) advice = "; " + m_QualityAdvice + m_Quality + others + " converts them";
    Error("%s: only records of %s found%s", m_FileName.c_str(), qualities.c_str(), advice.c_str());
  }
}

// The quality indicators, other than the accepted ones, of the data records
// in a file where the search found none of an accepted quality; m_RecLen is
// 0 again afterwards.
std::string CConvertFromSeed::QualitiesFound(int fd) {
  static constexpr const char* kAll = "DQRM";
  const std::string accepted = m_Quality;
  m_Quality = kAll;
  const long offset = FindRecordLength(fd);
  m_Quality = accepted;
  std::string found;
  if (offset >= 0 && m_RecLen > 0 && ::lseek(fd, offset, SEEK_SET) >= 0) {
    std::vector<unsigned char> record;
    RecordReader reader(fd);
    while (reader.Next(record, m_RecLen) == 1) {
      const char q = static_cast<char>(record[seed::kQuality]);
      if (seed::IsAcceptedQuality(q, kAll) && found.find(q) == std::string::npos) found += q;
    }
  }
  m_RecLen = 0;
  std::string ordered;
  for (const char* q = kAll; *q; ++q)
    if (found.find(*q) != std::string::npos && accepted.find(*q) == std::string::npos) ordered += *q;
  return ordered;
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
      if (const int length = seed::ProbeRecordLength(p)) {
        m_RecLen = length;
        return static_cast<long>(base + pos);
      }
    }
    if (got < static_cast<ssize_t>(buf.size())) break;
  }
  m_RecLen = 0;
  return 0;
}

void CConvertFromSeed::ReportUndecoded() {
  for (size_t format = 0; format < m_Undecoded.size(); ++format) {
    if (m_Undecoded[format] == 0) continue;
    Error("%s: %llu records in encoding format %zu are not converted: no decoder for it", m_FileName.c_str(),
          static_cast<unsigned long long>(m_Undecoded[format]), format);
    m_Undecoded[format] = 0;
  }
}

void CConvertFromSeed::ProcessRecord(CStaInfo& store, unsigned char* record) {
  const int R = m_RecLen;
  if (!seed::IsAcceptedQuality(static_cast<char>(record[seed::kQuality]), m_Quality.c_str())) {
    ++m_Stats.recordsNotData;
    return;
  }
  seed::RecordHeader h;
  seed::ReadHeader(record, R, h);
  m_Encoding = seed::DecoderFor(h.encodingFormat);
  if (m_Encoding == seed::kText) {
    ++m_Stats.recordsNotData;
    return;
  }
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
  if (m_Encoding == seed::kNoDecoder) {
    ++m_Undecoded[static_cast<size_t>(h.encodingFormat)];
    ++m_Stats.recordsNoDecoder;
    return;
  }

  const int n = h.sampleCount;
  float* samples = m_Samples.get();
  std::fill(samples, samples + n, 0.0f);
  seed::DecodeSamples(record, R, h, samples);

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
