#include "convert/convertfromseed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "archive/filelisttable.h"
#include "archive/registration.h"
#include "convert/handover.h"
#include "convert/leftovers.h"
#include "convert/reading.h"
#include "convert/registering.h"
#include "convert/stationlocks.h"
#include "platform/diag.h"
#include "platform/odbchint.h"
#include "seed/record.h"
#include "seed/seedtime.h"
#include "seed/steim.h"

namespace {

constexpr int kMaxSamples = 65535;
constexpr uint64_t kProgressEvery = 256;  // records

using convert::FileSize;
using convert::RecordReader;

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
      m_Jobs(convert::DefaultJobs()),
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
  // Sized to the text: a long path must not cut off the reason after it.
  va_list ap, again;
  va_start(ap, format);
  va_copy(again, ap);
  const int length = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  if (m_pDlg)
    m_pDlg->ReportError(text.c_str());
  else
    platform::DebugOutputF("%s\n", text.c_str());
}

void ConvertThreadProc(CConvertFromSeed* converter) {
  const size_t inputs = converter->m_FileList.size();
  converter->Run();
  const RunStats& stats = converter->m_Stats;
  // After an open error, an aborted or refused run, their own texts stay the last ones.
  if (stats.interrupted)
    converter->SetStatus("Conversion interrupted");
  else if (!stats.databaseOpenFailed && !stats.dataFolderRefused && !stats.aborted && !stats.lockRefused)
    converter->SetStatus(stats.AnyFailure() ? "Data converted with errors" : "Data successfully converted");
  IConvertHost* host = converter->m_pDlg;
  if (host) host->RunEnded(stats, inputs);
  if (host) host->Beep();
  converter->m_Running = false;
  if (host) host->ConvertDone();
}

convert::CStreamRule CConvertFromSeed::ScanInputs() const {
  convert::CStreamRule streams;
  for (const std::string& f : m_FileList) {
    if (m_ScanCancelled.load()) break;
    convert::ScanStreams(f, m_Quality.c_str(), m_Selection, streams, &m_ScanCancelled, m_Jobs);
  }
  return streams;
}

bool CConvertFromSeed::LockStations(convert::CStationLocks& locks, std::set<std::string>& stations,
                                    std::future<convert::CStreamRule>& scan) {
  m_Streams = scan.get();
  stations = m_Streams.Stations();
  m_Stats.stations.assign(stations.begin(), stations.end());
  std::string busy, problem;
  pid_t holder = 0;
  auto notice = [this](const std::string& station, pid_t pid) {
    char text[256];
    if (pid > 0)
      std::snprintf(text, sizeof text, "waiting for another conversion of station %s (process %ld)", station.c_str(),
                    static_cast<long>(pid));
    else
      std::snprintf(text, sizeof text, "waiting for another conversion of station %s", station.c_str());
    SetStatus(text);
    Error("%s", text);
  };
  switch (locks.Acquire(stations, m_WaitForLocks, notice, &m_StopRequested, busy, holder, problem)) {
    case convert::CStationLocks::Result::kLocked:
      return true;
    case convert::CStationLocks::Result::kStopped:
      m_Stats.interrupted = true;
      return false;
    case convert::CStationLocks::Result::kBusy:
      Error("station %s is being converted by another run%s; nothing converted", busy.c_str(),
            holder > 0 ? (" (process " + std::to_string(holder) + ")").c_str() : "");
      break;
    case convert::CStationLocks::Result::kFailed:
      Error("%s; nothing converted", problem.c_str());
      break;
  }
  m_Stats.lockRefused = true;
  SetStatus(problem.empty() ? "Station locked by another conversion" : "Station lock error");
  if (m_pDlg) m_pDlg->Beep();
  return false;
}

bool CConvertFromSeed::LoadHoldings(std::shared_ptr<const archive::HoldingsMap>& holdings,
                                    const CStaInfo::Windows& windows,
                                    const std::set<std::string>& unfinished) {
  try {
    holdings = std::make_shared<const archive::HoldingsMap>(
        archive::LoadHoldings(m_Database, m_DataDir, windows, unfinished));
    return true;
  } catch (const std::exception& e) {
    Error("VEZ Database open error: cannot read what FILELIST holds: %s", e.what());
    m_Stats.databaseOpenFailed = true;
    SetStatus("VEZ Database open error");
    if (m_pDlg) m_pDlg->Beep();
    return false;
  }
}

bool CConvertFromSeed::OpenDatabase() {
  try {
    m_Database.Open(m_ConnectString, 15);
    // A table that cannot take a row is found before any data file is written.
    for (const std::string& w : archive::CheckFileListTable(m_Database).Warnings()) Error("%s", w.c_str());
    return true;
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
    return false;
  }
}

// The outline of a run: reading here, decoding, joining and writing behind
// the hand-over, registering behind the registrar.
void CConvertFromSeed::Run() {
  m_Stats = RunStats{};
  m_Undecoded.fill(0);
  m_Damaged.fill({});
  m_Unmapped.clear();
  const bool useDatabase = !m_ConnectString.empty();
  // The front ends refuse first; a run started without them must not write into the root folder either.
  if (!m_VezIniProblem.empty()) {
    Error("%s", m_VezIniProblem.c_str());
    m_Stats.dataFolderRefused = true;
    SetStatus("VEZ data folder error");
    if (m_pDlg) m_pDlg->Beep();
    ClearFiles();
    return;
  }
  // The inputs are scanned while the database opens; a run refused there
  // does not wait for the rest of the scan.
  m_ScanCancelled = false;
  std::future<convert::CStreamRule> scan =
      std::async(std::launch::async | std::launch::deferred, [this] { return ScanInputs(); });
  if (useDatabase && !OpenDatabase()) {
    m_ScanCancelled = true;
    return;
  }
  convert::CStationLocks locks(m_DataDir);
  std::set<std::string> stations;
  if (!LockStations(locks, stations, scan)) {
    ClearFiles();
    m_Database.Close();
    return;
  }
  // Only where a run ended before all it wrote was registered can files
  // lack rows, or a creation have been cut short: the rest are not searched.
  const std::set<std::string> unfinished = locks.BeginWriting();
  // Where the input lies: what the archive's rows are read for, and how far new files are allocated.
  const auto windows = std::make_shared<const CStaInfo::Windows>(m_Streams.Windows());
  std::shared_ptr<const archive::HoldingsMap> holdings;
  if (useDatabase && !LoadHoldings(holdings, *windows, unfinished)) {
    ClearFiles();
    m_Database.Close();
    return;
  }
  convert::RemoveLeftovers(m_DataDir, unfinished, [this](const std::string& line) { Error("%s", line.c_str()); });

  CFileListTarget fileList(m_Database);
  std::unique_ptr<IRegistrar> registrar;
  if (useDatabase)
    registrar = convert::MakeRegistrar(fileList, m_CommitInterval, [this](const std::string& line) {
      Error("%s", line.c_str());
    });
  std::unique_ptr<convert::IHandOver> handOver =
      convert::MakeHandOver({useDatabase ? &m_Database : nullptr, registrar.get(), m_DataDir, m_Jobs, holdings, windows});
  uint64_t bytesTotal = 0, bytesDone = 0;
  for (const std::string& f : m_FileList) bytesTotal += FileSize(f);
  try {
    for (size_t i = 0; i < m_FileList.size() && !StopRequested(); ++i) {
      ConvertFile(*handOver, i, bytesDone, bytesTotal);
      handOver->EndOfInput(i);
      if (m_pDlg) m_pDlg->Progress(i + 1, m_FileList.size(), bytesDone, bytesTotal);
    }
    handOver->Finish();
    if (registrar) registrar->Flush();
  } catch (const std::exception& e) {
    const size_t failed = handOver->FailedInput();
    const std::string& input = failed < m_FileList.size() ? m_FileList[failed] : m_FileName;
    const bool database = dynamic_cast<const odbc::Error*>(&e) != nullptr;
    Error("%s while converting %s: %s", database ? "VEZ Database write error" : "Conversion error", input.c_str(),
          e.what());
    m_Stats.aborted = true;
    SetStatus(database ? "VEZ Database write error" : "Conversion error");
  }
  if (m_Stats.aborted) {
    ReportUndecoded();  // of the file the run ended in
    ReportRefused();
    handOver->Abandon();
    // What was written before the error is registered, if the database still takes it.
    if (registrar) {
      try {
        registrar->Flush();
      } catch (const std::exception&) {  // its files are named when the registrar ends
      }
    }
    m_Stats.recordsConverted -= handOver->RecordsDropped();
    m_Stats.samples -= handOver->SamplesDropped();
  }
  for (const std::string& line : m_Streams.Report()) Error("%s", line.c_str());
  m_Stats.recordsOtherStream = m_Streams.RecordsLeftOut();
  m_Stats.interrupted = StopRequested();
  if (!m_Stats.aborted && !m_Stats.interrupted) ReportSelection();
  m_Stats.store = handOver->Stats();
  handOver.reset();
  if (registrar) {
    m_Stats.store.rowsRegistered -= registrar->WritesNotRegistered();
    m_Stats.store.rowsOfRunFiles -= registrar->FilesWithoutRow();
    m_Stats.filesNotRegistered = registrar->FilesNotRegistered();
    registrar.reset();
    if (!m_Stats.aborted && m_Stats.filesNotRegistered == 0) locks.FinishedWriting();
  }
  ClearFiles();
  m_Database.Close();
}

// Only once all of the input was read is an item that met nothing known to be a mistake.
void CConvertFromSeed::ReportSelection() {
  for (const std::string& item : m_Selection.Unmatched()) {
    Error("%s matched no record", item.c_str());
    ++m_Stats.selectionUnmatched;
  }
  m_Stats.shardWithoutStation = m_Selection.ShardGotNothing();
}

void CConvertFromSeed::ConvertFile(convert::IHandOver& handOver, size_t index, uint64_t& bytesDone,
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
  // Closed however the file ends, also by an error thrown from the hand-over.
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  bool failed = false, cutShort = false, stopped = false;
  long offset = FindRecordLength(fd);
  if (offset >= 0) ReportShortRecords(fd, m_RecLen == 0 ? static_cast<long>(fileBytes) : offset);
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
      std::span<unsigned char> record;
      RecordReader reader(fd, static_cast<uint64_t>(offset));
      convert::Framed framed;
      m_RecordOffset = static_cast<uint64_t>(offset);
      uint64_t count = 0;
      int got;
      convert::RecordJob job;
      job.input = index;
      m_FileLogRecords = 0;
      while ((got = reader.Next(record, m_RecLen, framed)) == 1) {
        m_RecordOffset = framed.offset;
        if (framed.tooShort) {
          ShortRecord(m_RecordOffset, static_cast<int>(record.size()), static_cast<char>(record[seed::kQuality]));
        } else if (framed.damage != seed::Damage::kNone) {
          CountDamaged(framed);
        } else if (AcceptRecord(*framed.format, record.data(), record.size(), job)) {
          handOver.Deliver(job, record.data());
          Converted(job);
        }
        m_RecordOffset = reader.Offset();
        if (++count % kProgressEvery == 0 && m_pDlg)
          m_pDlg->Progress(index, m_FileList.size(), bytesDone + m_RecordOffset, bytesTotal);
        if (StopRequested()) {
          stopped = true;
          break;
        }
      }
      if (stopped) {
        // Neither read to the end nor failed: the summary counts it as not reached.
      } else if (got < 0) {
        Error("%s: read error at byte %llu: %s", m_FileName.c_str(),
              static_cast<unsigned long long>(m_RecordOffset), std::strerror(errno));
        failed = true;
      } else {
        // Read whole, yet no data: the operator is told, though nothing failed.
        if (count > 0 && m_FileLogRecords == count) m_Stats.filesOnlyLog.push_back(m_FileName);
        if (reader.Shrank()) {
          // Another program shortened it meanwhile: what it held beyond is lost to this run.
          Error("%s: cut short to %llu bytes while it was read; the bytes from byte %llu on are not converted",
                m_FileName.c_str(), static_cast<unsigned long long>(reader.SizeAfterShrinking()),
                static_cast<unsigned long long>(m_RecordOffset));
          cutShort = true;
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
  }
  ReportUndecoded();
  ReportRefused();
  bytesDone += fileBytes;
  if (stopped) return;
  if (failed)
    ++m_Stats.filesFailed;
  else if (cutShort)
    ++m_Stats.filesCutShort;
  else
    ++m_Stats.filesRead;
}

void CConvertFromSeed::ShortRecord(uint64_t offset, int length, char quality) {
  if (!seed::IsAcceptedQuality(quality, m_Quality.c_str())) {
    ++m_Stats.recordsNotData;
    return;
  }
  Error("%s: record at byte %llu not converted: its length of %d bytes is shorter than any the reader takes",
        m_FileName.c_str(), static_cast<unsigned long long>(offset), length);
  ++m_Stats.recordsUnreachable;
}

void CConvertFromSeed::ReportShortRecords(int fd, long end) {
  for (const convert::ShortRecord& r : convert::ShortRecordsBefore(fd, end))
    ShortRecord(static_cast<uint64_t>(r.offset), r.length, r.quality);
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
    std::span<unsigned char> record;
    RecordReader reader(fd, static_cast<uint64_t>(offset));
    convert::Framed framed;
    while (reader.Next(record, m_RecLen, framed) == 1) {
      if (framed.damage != seed::Damage::kNone || framed.tooShort) continue;
      const char q = framed.format->Quality(record.data());
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
  off_t failedAt = 0;
  const long offset = convert::FindFirstRecord(fd, m_Quality.c_str(), m_RecLen, failedAt);
  if (offset < 0)
    Error("%s: read error at byte %lld: %s", m_FileName.c_str(), static_cast<long long>(failedAt),
          std::strerror(errno));
  return offset;
}

void CConvertFromSeed::ReportUndecoded() {
  for (size_t format = 0; format < m_Undecoded.size(); ++format) {
    if (m_Undecoded[format] == 0) continue;
    Error("%s: %llu records in encoding format %zu are not converted: no decoder for it", m_FileName.c_str(),
          static_cast<unsigned long long>(m_Undecoded[format]), format);
    m_Undecoded[format] = 0;
  }
}

void CConvertFromSeed::ReportRefused() {
  static constexpr const char* kWhat[] = {
      nullptr,
      "with a bad CRC",
      "running past the end of the file",
      "whose lengths do not hold their data",
  };
  for (size_t kind = 1; kind < m_Damaged.size(); ++kind) {
    Refused& r = m_Damaged[kind];
    if (r.count == 0) continue;
    Error("%s: %llu record%s %s %s not converted (%s byte %llu)", m_FileName.c_str(),
          static_cast<unsigned long long>(r.count), r.count == 1 ? "" : "s", kWhat[kind],
          r.count == 1 ? "is" : "are", r.count == 1 ? "at" : "first at", static_cast<unsigned long long>(r.first));
    r = {};
  }
  for (const auto& [why, count] : m_Unmapped)
    Error("%s: %llu record%s not converted: %s", m_FileName.c_str(), static_cast<unsigned long long>(count),
          count == 1 ? " is" : "s are", why.c_str());
  m_Unmapped.clear();
}

void CConvertFromSeed::CountDamaged(const convert::Framed& framed) {
  Refused& r = m_Damaged[static_cast<size_t>(framed.damage)];
  if (r.count++ == 0) r.first = framed.offset;
  ++m_Stats.recordsDamaged;
}

void CConvertFromSeed::ProcessRecord(CStaInfo& store, unsigned char* record) {
  convert::RecordJob job;
  const size_t length = static_cast<size_t>(m_RecLen);
  const convert::IRecordFormat& format = convert::FormatAt(record, length);
  if (format.Check(record, length) != seed::Damage::kNone) {
    ++m_Stats.recordsDamaged;
    return;
  }
  if (!AcceptRecord(format, record, length, job)) return;
  convert::TakeRecord(store, job, record, m_Samples.get());
  Converted(job);
}

bool CConvertFromSeed::AcceptRecord(const convert::IRecordFormat& format, unsigned char* record, size_t length,
                                    convert::RecordJob& job) {
  if (!seed::IsAcceptedQuality(format.Quality(record), m_Quality.c_str())) {
    ++m_Stats.recordsNotData;
    return false;
  }
  seed::RecordHeader& h = job.header;
  if (const std::string why = format.ReadHeader(record, length, h, job.rate, job.start); !why.empty()) {
    ++m_Unmapped[Printable(reinterpret_cast<const unsigned char*>(why.data()), static_cast<int>(why.size()))];
    ++m_Stats.recordsUnmapped;
    return false;
  }
  m_Encoding = seed::DecoderFor(h.encodingFormat);
  if (m_Encoding == seed::kText) {
    ++m_FileLogRecords;
    ++m_Stats.recordsNotData;
    return false;
  }
  if (!h.station[0] || !h.channel[0]) {
    ++m_Stats.recordsEmptyCode;
    return false;
  }
  if (!m_Selection.Take(h.network, h.station, h.location, h.channel)) {
    ++m_Stats.recordsNotSelected;
    return false;
  }
  if (!seed::IsSafeCode(h.station) || !seed::IsSafeCode(h.channel)) {
    Error("%s: record at byte %llu refused: station \"%s\" or channel \"%s\" holds bytes other than "
          "letters and digits",
          m_FileName.c_str(), static_cast<unsigned long long>(m_RecordOffset),
          Printable(record + seed::kStation, seed::kStationMax).c_str(),
          Printable(record + seed::kChannel, seed::kChannelMax).c_str());
    ++m_Stats.recordsUnsafeCode;
    return false;
  }
  // They name the record's stream in reports and decide which stream is kept.
  if (!seed::IsSafeCode(h.network) || !seed::IsSafeCode(h.location)) {
    Error("%s: record at byte %llu refused: network \"%s\" or location \"%s\" holds bytes other than "
          "letters and digits",
          m_FileName.c_str(), static_cast<unsigned long long>(m_RecordOffset),
          Printable(reinterpret_cast<const unsigned char*>(h.network), static_cast<int>(std::strlen(h.network))).c_str(),
          Printable(reinterpret_cast<const unsigned char*>(h.location), static_cast<int>(std::strlen(h.location)))
              .c_str());
    ++m_Stats.recordsUnsafeCode;
    return false;
  }
  if (m_Encoding == seed::kNoDecoder) {
    ++m_Undecoded[static_cast<size_t>(h.encodingFormat)];
    ++m_Stats.recordsNoDecoder;
    return false;
  }
  if (!m_Streams.Keeps(h)) return false;
  job.length = static_cast<int>(length);
  if (m_pDlg && m_pDlg->WantsRecordStatus()) {
    char status[256];
    seed::FormatStatus(status, sizeof status, h.station, h.channel, job.start, h.sampleCount, job.rate,
                       h.dataOffset);
    m_pDlg->SetStatusText(status);
  }
  return true;
}

void CConvertFromSeed::Converted(const convert::RecordJob& job) {
  ++m_Stats.recordsConverted;
  m_Stats.samples += static_cast<uint64_t>(job.header.sampleCount);
}
