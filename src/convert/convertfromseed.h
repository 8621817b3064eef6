#pragma once
// The conversion run: SEED files in, VEZ data files and FILELIST rows out.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "convert/archivesettings.h"
#include "convert/selection.h"
#include "convert/streams.h"
#include "platform/odbc.h"
#include "store/stainfo.h"

namespace convert {
struct RecordJob;
class IRecordFormat;
struct Framed;
class IHandOver;
class CStationLocks;
class CFollower;
}  // namespace convert

struct RunStats;

// The front end that shows the run to the operator: the dialog or the
// command line. Every call comes from the worker thread.
class IConvertHost {
 public:
  virtual ~IConvertHost() = default;
  // Replaces the status line. Synchronous: returns once the front end has
  // taken the text.
  virtual void SetStatusText(const char* text) = 0;
  // Whether the text of the record in hand would be taken now. A record's
  // text is formatted and sent only then; the run's own texts (errors, the
  // closing text) always are. Front ends that show a text only every few
  // milliseconds say no in between, which spares a formatted text per record.
  virtual bool WantsRecordStatus() { return true; }
  virtual void Beep() = 0;
  // The end-of-run notice; comes after the last status text.
  virtual void ConvertDone() = 0;
  // Problems worth the operator's attention (file, offset, OS error).
  virtual void ReportError(const char* text);
  // Progress over all input, after each input file and every few records.
  virtual void Progress(size_t fileIndex, size_t fileCount, uint64_t bytesDone, uint64_t bytesTotal);
  // Input fileIndex (from 0) of fileCount is about to be opened.
  virtual void InputStarted(size_t /*fileIndex*/, size_t /*fileCount*/, const std::string& /*path*/) {}
  // What the run did; after the closing status text, before ConvertDone.
  virtual void RunEnded(const RunStats& /*stats*/, size_t /*inputCount*/) {}
};

// Yes at the first call, then at most once per interval. For WantsRecordStatus
// of front ends that show the record texts only every so often.
class CStatusThrottle {
 public:
  explicit CStatusThrottle(std::chrono::milliseconds interval) : m_Interval(interval) {}
  bool Due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_Next) return false;
    m_Next = now + m_Interval;
    return true;
  }

 private:
  std::chrono::steady_clock::duration m_Interval;
  std::chrono::steady_clock::time_point m_Next{};
};

// What a run did, for the end-of-run report.
struct RunStats {
  uint64_t filesRead = 0;            // read to the end, whole
  uint64_t filesFailed = 0;          // unreadable, or yielding no record at all
  uint64_t filesWithoutRecords = 0;  // of the failed: no data record of an accepted quality found
  uint64_t filesCutShort = 0;        // read to the end, where bytes short of a whole record remained
  uint64_t recordsConverted = 0;
  uint64_t recordsNotData = 0;      // not a data record, or quality not accepted
  uint64_t recordsEmptyCode = 0;
  uint64_t recordsUnsafeCode = 0;
  uint64_t recordsNoDecoder = 0;    // in an encoding format without a decoder
  uint64_t recordsNotSelected = 0;  // left to other runs by --stations, --channels or --shard
  uint64_t recordsOtherStream = 0;  // of a stream other than the one kept for their station and channel
  uint64_t recordsUnreachable = 0;  // declaring a length too short for the record loop
  uint64_t selectionUnmatched = 0;  // items of --stations and the like that met no record
  bool shardWithoutStation = false;
  std::vector<std::string> filesOnlyLog;  // read whole, holding nothing but log records
  uint64_t recordsDamaged = 0;      // a bad CRC, cut short, or lengths that do not hold their data
  uint64_t recordsUnmapped = 0;     // an identifier whose codes the archive cannot keep
  uint64_t samples = 0;
  StoreStats store;
  uint64_t filesNotRegistered = 0;  // written, but their registration was lost with a failed commit
  bool databaseOpenFailed = false;
  bool dataFolderRefused = false;  // VEZ.ini named no usable data folder: nothing was touched
  bool aborted = false;      // ended by a database or other error escaping the store
  bool interrupted = false;  // stopped on request (a signal) before the end of its input
  bool lockRefused = false;  // a station was being converted by another run, or could not be locked
  std::vector<std::string> stations;  // of the input, as selected, in byte order

  bool AnyFailure() const {
    return filesFailed || recordsUnsafeCode || recordsUnreachable || recordsDamaged || recordsUnmapped ||
           selectionUnmatched || filesCutShort || recordsNoDecoder || recordsOtherStream || store.segmentsNotStored ||
           store.samplesConflicting || store.closeErrors || filesNotRegistered || databaseOpenFailed ||
           dataFolderRefused || aborted || interrupted || lockRefused;
  }
};

class CConvertFromSeed {
 public:
  // Reads the data folder from vezIni, once.
  explicit CConvertFromSeed(IConvertHost* host, const std::string& vezIni = FindVezIni());
  virtual ~CConvertFromSeed();
  CConvertFromSeed(const CConvertFromSeed&) = delete;
  CConvertFromSeed& operator=(const CConvertFromSeed&) = delete;

  void AddFile(const std::string& path);
  int Start();  // 0 when the worker started, -2 when it did not
  void Run();
  void ClearFiles();
  void ProcessRecord(CStaInfo& store, unsigned char* record);
  // Sets m_RecLen and returns the offset of the first record of fd.
  long FindRecordLength(int fd);

  // Quality indicators accepted at byte 6 ("DQ" unless a front end says otherwise).
  void SetQuality(const std::string& codes) { m_Quality = codes; }
  // How the front end's operator asks for more qualities, "--quality " for
  // example: a file holding only records of other qualities is reported
  // with that advice. Empty: no advice.
  void SetQualityAdvice(const std::string& prefix) { m_QualityAdvice = prefix; }
  // Connection string of the run; the archive's data source unless a test says
  // otherwise. Empty: no database, data files only (benchmarks of the rest).
  void SetConnectString(const std::string& connect) { m_ConnectString = connect; }
  const std::string& ConnectString() const { return m_ConnectString; }
  // How long a row may lag its data file: registrations are committed in
  // groups this often; 0 commits each write's registration at once.
  static constexpr std::chrono::milliseconds kDefaultCommitInterval{1000};
  void SetCommitInterval(std::chrono::milliseconds interval) { m_CommitInterval = interval; }
  // Threads that decode, join and write; 1 does it all on the run's thread.
  void SetJobs(unsigned jobs) { m_Jobs = jobs ? jobs : 1; }
  unsigned Jobs() const { return m_Jobs; }
  // Only records of these stations and channels are converted.
  void SetSelection(const convert::CSelection& selection) { m_Selection = selection; }
  // A station locked by another run is waited for (the default), or ends
  // this run before anything is written.
  void SetWaitForLocks(bool wait) { m_WaitForLocks = wait; }
  // Stops reading; what was read is written and registered, and the run
  // ends in order. Safe to call from a signal handler.
  void RequestStop() { m_StopRequested.store(true, std::memory_order_relaxed); }
  // Before a Start that must not inherit the stop of the run before.
  void ClearStopRequest() { m_StopRequested.store(false, std::memory_order_relaxed); }
  const RunStats& Stats() const { return m_Stats; }
  // Why a run could not put its data files into the data folder read at
  // construction, the one it would use; empty when it can. Front ends refuse
  // to start a run otherwise. Says so when VEZ.ini has changed since.
  std::string DataFolderProblem() const;
  const std::string& VezIni() const { return m_VezIni; }
  // Whether VEZ.ini named a data folder at construction.
  bool DataFolderNamed() const { return m_VezIniProblem.empty(); }
  // The data source of the run's connection; empty without one.
  std::string DataSourceName() const;
  bool IsRunning() const { return m_Running.load(); }
  // Waits for the worker of the last Start, if any.
  void Join();

  int32_t m_RecLen = 4096;
  int32_t m_Encoding = 0;
  odbc::Connection m_Database;
  std::string m_DataDir;
  IConvertHost* m_pDlg;
  std::string m_FileName;
  std::thread m_pThread;
  std::deque<std::string> m_FileList;

 private:
  friend void ConvertThreadProc(CConvertFromSeed* converter);
  // A second outline over the same stages and the same acceptance of records.
  friend class convert::CFollower;
  bool OpenDatabase();
  // Locks every station the input holds for this run, named in stations;
  // false when the run must not go on.
  // Every input's streams, for the locks and the stream rule.
  convert::CStreamRule ScanInputs() const;
  bool LockStations(convert::CStationLocks& locks, std::set<std::string>& stations,
                    std::future<convert::CStreamRule>& scan);
  // What the archive holds of the channels the run will write; false when
  // FILELIST cannot be read. unfinished: stations an earlier run left with
  // files that may have no row.
  bool LoadHoldings(std::shared_ptr<const archive::HoldingsMap>& holdings, const CStaInfo::Windows& windows,
                    const std::set<std::string>& unfinished);
  bool StopRequested() const { return m_StopRequested.load(std::memory_order_relaxed); }
  void ConvertFile(convert::IHandOver& handOver, size_t index, uint64_t& bytesDone, uint64_t bytesTotal);
  // The reader's part of ProcessRecord: accepts the record and fills job,
  // or counts why not.
  bool AcceptRecord(const convert::IRecordFormat& format, unsigned char* record, size_t length,
                    convert::RecordJob& job);
  void CountDamaged(const convert::Framed& framed);
  void Converted(const convert::RecordJob& job);
  void SetStatus(const char* text) { if (m_pDlg) m_pDlg->SetStatusText(text); }
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One line per encoding format of the file in hand that had no decoder.
  void ReportUndecoded();
  // One line per kind of damage and per identifier that does not map.
  void ReportRefused();
  void ReportNoRecords(int fd);
  // A data record too short for the loop: reported and counted when of an accepted quality.
  void ShortRecord(uint64_t offset, int length, char quality);
  void ReportShortRecords(int fd, long end);
  void ReportSelection();
  std::string QualitiesFound(int fd);

  std::string m_Quality = "DQ";
  std::string m_QualityAdvice;
  std::string m_VezIni;
  std::string m_VezIniProblem;  // at construction
  std::string m_ConnectString = "DSN=VEZ;UID=VEZ;PWD=QKT;";
  std::chrono::milliseconds m_CommitInterval = kDefaultCommitInterval;
  unsigned m_Jobs = 1;
  convert::CSelection m_Selection;
  convert::CStreamRule m_Streams;  // of the run in hand
  std::atomic<bool> m_ScanCancelled{false};
  bool m_WaitForLocks = true;
  std::atomic<bool> m_StopRequested{false};
  RunStats m_Stats;
  std::atomic<bool> m_Running{false};
  uint64_t m_RecordOffset = 0;  // of the record in hand, for diagnostics
  uint64_t m_FileLogRecords = 0;  // of the file in hand
  std::unique_ptr<float[]> m_Samples;  // one record's samples, reused
  std::array<uint64_t, 256> m_Undecoded{};  // records of the file in hand, by encoding format
  struct Refused {
    uint64_t count = 0;
    uint64_t first = 0;  // offset of the first
  };
  std::array<Refused, 4> m_Damaged{};         // of the file in hand, by seed::Damage
  std::map<std::string, uint64_t> m_Unmapped;  // records of the file in hand, by identifier and reason
};

void ConvertThreadProc(CConvertFromSeed* converter);
