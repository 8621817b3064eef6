#pragma once
// The station and channel store: joins the records of each station and
// channel that follow each other in time into buffered segments and hands
// complete segments to the data file writer.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/notstoredreport.h"
#include "archive/registration.h"
#include "archive/storedspans.h"

namespace odbc {
class Connection;
}

constexpr int kChanBufferSamples = 10000;
constexpr int kMaxSegmentSamples = 9900;

// Bytes with room behind them, into which a channel's next segment may be
// decoded so that appending it copies nothing.
class AppendBuffer {
 public:
  AppendBuffer() = default;
  AppendBuffer(AppendBuffer&& o) noexcept { *this = std::move(o); }
  AppendBuffer& operator=(AppendBuffer&& o) noexcept {
    m_Bytes = std::move(o.m_Bytes);
    m_Size = std::exchange(o.m_Size, 0);
    m_Capacity = std::exchange(o.m_Capacity, 0);
    return *this;
  }
  unsigned char* data() { return m_Bytes.get(); }
  size_t size() const { return m_Size; }
  size_t capacity() const { return m_Capacity; }
  unsigned char* Tail() { return m_Bytes.get() + m_Size; }
  size_t Room() const { return m_Capacity - m_Size; }
  // Empties the buffer and gives it this capacity.
  void Reset(size_t capacity) {
    if (capacity != m_Capacity) {
      m_Bytes.reset(capacity ? new unsigned char[capacity] : nullptr);
      m_Capacity = capacity;
    }
    m_Size = 0;
  }
  // bytes may lie in the room already, at the tail or behind it.
  void Append(const void* bytes, size_t n) {
    if (bytes != Tail()) std::memmove(Tail(), bytes, n);
    m_Size += n;
  }
  void Clear() { m_Size = 0; }

 private:
  std::unique_ptr<unsigned char[]> m_Bytes;
  size_t m_Size = 0, m_Capacity = 0;
};

// Appends to a channel's open file that wait to go out in one large write:
// the kernel's cost per byte falls steeply with the size of a write. What
// waits is neither on disk nor registered. Segment ends are kept so that a
// write that fails is redone segment by segment, each stored or not as if
// written on its own.
struct PendingAppends {
  AppendBuffer bytes;
  std::vector<size_t> ends;   // of each segment in bytes
  std::vector<double> qtys;   // the file's duration after each
  std::string cpath;          // the file, its row's fields
  const std::string* station = nullptr;
  double tBegin = 0, sps = 0;
  bool Empty() const { return ends.empty(); }
  void Clear() {
    bytes.Clear();
    ends.clear();
    qtys.clear();
  }
};

class CChanInfo {
 public:
  CChanInfo(const char* name, double sps);
  virtual ~CChanInfo() = default;

  double m_SpS;
  std::string m_Name;
  std::string m_CPath;  // relative path, backslash form
  double m_TBegin = 0;
  double m_TQty = 0;
  double m_SegBegin = 0;
  double m_SegQty = 0;
  // Where the segment handed over began, before stored data cut it in pieces.
  double m_SegOrigin = 0;
  int m_Count = 0;
  std::unique_ptr<float[]> m_Data;  // kChanBufferSamples, allocated with the channel
  // The segment's samples: m_Data, or the room behind the appends waiting
  // for the channel's file.
  float* m_Seg;
  // The current data file kept open between appends, -1 when closed; its
  // size, so that a failed append can be taken back; when it was last used.
  int m_Fd = -1;
  int64_t m_FileBytes = 0;
  int64_t m_Reserved = 0;  // bytes allocated ahead for the file this run created
  uint64_t m_LastUse = 0;
  uint64_t m_FileSamples = 0;  // of the current file
  std::unique_ptr<PendingAppends> m_Pending;  // while its file is open and the store's budget allows
  // What the archive held of this channel when the run began, and what the
  // run has written since; loaded at the channel's first write.
  archive::CChannelHoldings m_Held;
  bool m_HeldLoaded = false;
  // Samples that fell on stored ones with other values, not yet reported:
  // consecutive ones make one stretch.
  double m_ConflictBegin = 0, m_ConflictEnd = 0;
  uint64_t m_ConflictSamples = 0;
};

class CSta {
 public:
  explicit CSta(const char* name);
  virtual ~CSta() = default;

  std::string m_Name;
  std::vector<std::unique_ptr<CChanInfo>> m_ChanList;
  int m_FileMinutes = 60;
  // Lookup beside the ordered list; the list alone defines the indexes.
  std::unordered_map<std::string, unsigned> m_ChanIndex;
};

// What the store did to the archive during a run; the run turns it into
// its end-of-run report.
struct StoreStats {
  uint64_t filesCreated = 0;
  uint64_t filesExtended = 0;
  uint64_t rowsRegistered = 0;     // registrations: one per write
  uint64_t rowsOfRunFiles = 0;     // distinct paths registered: the rows this run's files have
  uint64_t segmentsNotStored = 0;
  uint64_t samplesNotStored = 0;
  uint64_t samplesWritten = 0;    // in the data files: less what left them with a replaced file
  uint64_t samplesDuplicate = 0;    // already stored, bit for bit: not stored again
  uint64_t samplesConflicting = 0;  // fell on stored samples with other values: not stored
  uint64_t conflictStretches = 0;   // reported stretches of those
  uint64_t closeErrors = 0;       // data files that reported an error when closed

  StoreStats& operator+=(const StoreStats& o);
};

class CStaInfo {
 public:
  // database may be null: files are then written and nothing is registered
  // (benchmarks of the store and the writer alone). Registrations go to
  // registrar, or without one straight to FILELIST on database, one
  // committed statement per write.
  explicit CStaInfo(odbc::Connection* database = nullptr, IRegistrar* registrar = nullptr);
  virtual ~CStaInfo();
  CStaInfo(const CStaInfo&) = delete;
  CStaInfo& operator=(const CStaInfo&) = delete;

  void SetPath(const char* path);
  void AddData(const char* sta, const char* chan, double sps, double tBegin, int count,
               const float* samples);
  // The same in two steps, for a decoder that writes straight into the
  // channel's buffer: the count floats returned (at most
  // kChanBufferSamples) take the samples, which join as AddData's would.
  float* Place(const char* sta, const char* chan, double sps, double tBegin, int count);
  unsigned FindSta(const char* sta);
  unsigned FindChan(unsigned sta, const char* chan, double sps);
  void WriteChan(unsigned sta, unsigned chan);
  void WriteAll();
  // Closes the data files kept open between appends (WriteAll does).
  void CloseFiles();
  // At most this many data files are kept open at once.
  void SetOpenFileLimit(size_t limit) { m_OpenLimit = limit ? limit : 1; }
  // Bytes of appends that may wait for a larger write, shared by the
  // channels with an open file.
  void SetPendingBudget(size_t bytes) { m_PendingBudget = bytes; }
  // After an error ended the run: reports what the store still holds as not stored.
  void Abandon();
  // What the archive held before the run, by station and channel (from
  // FILELIST and the files); without it, a channel starts from what the run
  // writes and what it meets on disk.
  void SetHoldings(std::shared_ptr<const archive::HoldingsMap> holdings) { m_Holdings = std::move(holdings); }
  // Where the run's input ends for each station and channel: a new file is
  // allocated that far into its span, or over all of it without.
  using Windows = std::map<archive::ChannelKey, archive::ChannelWindow>;
  void SetWindows(std::shared_ptr<const Windows> windows) { m_Windows = std::move(windows); }

  void MakeHeader(char* block, unsigned sta, unsigned chan);
  void MakeDir(const char* path);
  // The station's folder and its hour folder dir, unless this store made
  // or found them before; forget: they were found missing since.
  void MakeFolders(const std::string& station, const std::string& dir, bool forget = false);

  void UpdateFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                      double tQty, double sps, int gain, int dataType);
  void ReplaceFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                       double tQty, double sps, int gain, int dataType);

  std::vector<std::unique_ptr<CSta>> m_StaList;
  std::string m_Path;
  odbc::Connection* m_pDatabase;
  IRegistrar* m_pRegistrar;

  StoreStats m_Stats;
  // Segments not stored, reported per channel; WriteAll ends with its summary.
  CNotStoredReport m_NotStored;

 private:
  void RestartSegment(CChanInfo& chan, double tBegin, double duration, int count);
  // The segment in hand less what the archive already holds, piece by piece.
  void StoreSegment(unsigned sta, unsigned chan);
  void WriteAround(unsigned sta, unsigned chan, const std::vector<archive::Overlay>& overlays);
  // Its overlaps, once the stored files among them whose start is known to
  // the second only are placed.
  std::vector<archive::Overlay> SettledOverlaps(archive::CChannelHoldings& held, CChanInfo& k);
  // A segment that overlaps nothing stored that is known.
  void StoreApart(unsigned sta, unsigned chan);
  // Stored samples a segment falls on: the same ones counted, other values
  // reported; a stored file whose row lags is registered as it is.
  void CompareStored(CSta& s, CChanInfo& k, archive::StoredFile& file, const archive::Overlay& o);
  void NoteConflict(const CSta& s, CChanInfo& k, double begin, uint64_t samples);
  void ReportConflict(const CSta& s, CChanInfo& k);
  archive::CChannelHoldings& Held(const CSta& s, CChanInfo& k);
  // Today's rule for a piece that overlaps nothing stored: appended where it
  // continues the channel's file, a new file otherwise. False when the name
  // of its new file turned out to be a stored file the store did not know.
  bool WriteSegment(unsigned sta, unsigned chan);
  // After the last segment at the old rate was handed over.
  void ChangeRate(const CSta& s, CChanInfo& c, double sps, double at);
  bool AppendToFile(CSta& sta, CChanInfo& chan);
  // Opens chan's file at full for appending unless its kept one still has
  // that name; what failed otherwise, errno the reason.
  const char* ReadyToAppend(CChanInfo& chan, const std::string& full);
  enum class Deferral { kQueued, kDirect, kFailed };
  Deferral Defer(CSta& s, CChanInfo& k, const void* data, size_t bytes);
  size_t PendingShare() const;  // of the budget, for one open file
  // Writes what waits for k's open file and registers it; false when a
  // segment of it could not be stored.
  bool FlushPending(CChanInfo& k);
  enum class Creation { kCreated, kFailed, kFoundStored };
  Creation CreateFile(unsigned sta, unsigned chan);
  // A data file of the segment's name that the holdings lacked (written by a
  // run that ended before registering it): taken in, its first sample placed
  // on the segment's sample times where its samples say so.
  void TakeInUnknownFile(CChanInfo& k, const std::string& full);
  // Puts the first sample of stored file i, whose start is known to the
  // second, on the segment's sample time where the samples agree.
  void PlaceStored(CChanInfo& k, size_t i);
  void ReportNotStored(const std::string& path, const char* what, const CSta& s, const CChanInfo& k);
  void NoteNotStored(const std::string& problem, const std::string& reason, const CSta& s, const CChanInfo& k);
  void NoteNotStored(const std::string& problem, const std::string& reason, const std::string& station,
                     const CChanInfo& k, uint64_t samples);
  void Register(const FileRegistration& r);
  void CountRegistration(const char* cpath);
  // Kept-open data files: one more, and closing one (its errors reported).
  void KeepOpen(CChanInfo& k, int fd, int64_t bytes);
  void CloseFile(CChanInfo& k);
  void CloseFd(CChanInfo& k);  // without writing what waits
  // Where a new segment of k goes, and moving one out of the room of
  // waiting appends before their buffer is reused or given up.
  float* SegmentBuffer(CChanInfo& k);
  void SegmentToOwnBuffer(CChanInfo& k);
  // The samples a new file can expect from this run.
  double ExpectedSamples(const CSta& s, const CChanInfo& k) const;
  // Finds (or adds) the channel of a record. Codes that fit the SEED fields
  // (station 5, channel 3 bytes) are looked up in one flat table keyed by
  // both, which stays in cache with thousands of channels.
  CChanInfo& Locate(const char* sta, const char* chan, double sps, unsigned& i, unsigned& j);
  struct ChanSlot {
    uint64_t key = 0;  // 0: free
    unsigned sta = 0, chan = 0;
    CChanInfo* info = nullptr;  // owned by the station's list, which never moves it
  };
  std::unordered_map<std::string, unsigned> m_StaIndex;
  std::vector<ChanSlot> m_ChanSlots;
  size_t m_ChanSlotsUsed = 0;
  std::shared_ptr<const archive::HoldingsMap> m_Holdings;
  std::shared_ptr<const Windows> m_Windows;
  // Current files of channels that could not be created or extended: they
  // take no more segments in this run (see WriteChan).
  std::unordered_set<std::string> m_Failed;
  std::unordered_set<std::string> m_Registered;  // relative paths
  std::unordered_set<std::string> m_Folders;     // hour folders made or found
  std::unique_ptr<IFileListTarget> m_OwnTarget;
  std::unique_ptr<IRegistrar> m_OwnRegistrar;
  std::vector<CChanInfo*> m_Open;  // channels with a kept-open file
  size_t m_OpenLimit;
  uint64_t m_UseClock = 0;
  size_t m_PendingBudget;
  std::vector<AppendBuffer> m_SpareBytes;  // of closed files, for the next ones
  static constexpr size_t kSpareBuffers = 2;
};

// What one channel's appends may wait for, and all channels' of a store
// by default. Below the least share, a channel writes each segment itself:
// a share no larger than a segment would only add a copy.
constexpr size_t kPendingBytesPerChannel = 1 << 20;
constexpr size_t kMinPendingBytes = 64u << 10;
constexpr size_t kDefaultPendingBudget = 8u << 20;

// Rates that differ by no more than one part in a million.
bool SameRate(double a, double b);

// Data files a process may keep open beside what else it needs: a share of
// its limit of open files.
size_t DefaultOpenFileLimit();

// The data file writer's separator on this platform; the relative path kept
// in m_CPath and FILELIST always uses the backslash.
constexpr char kLocalSeparator = '/';
