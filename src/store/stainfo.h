#pragma once
// The station and channel store: joins the records of each station and
// channel that follow each other in time into buffered segments and hands
// complete segments to the data file writer.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/notstoredreport.h"

namespace odbc {
class Connection;
}

constexpr int kChanBufferSamples = 10000;
constexpr int kMaxSegmentSamples = 9900;

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
  int m_Count = 0;
  std::unique_ptr<float[]> m_Data;  // kChanBufferSamples, allocated with the channel
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
  uint64_t filesReplaced = 0;     // files of this run replaced by a repeat of their data
  uint64_t samplesRepeated = 0;   // what those files held, less what a shorter repeat lost
};

// A data file this store created, for a later segment that would get its name.
struct CreatedFile {
  double tBegin = 0;
  uint64_t samples = 0;  // held now
  uint64_t peak = 0;     // the most it held in this run
  bool replaced = false;
};

class CStaInfo {
 public:
  // database may be null: files are then written and nothing is registered
  // (benchmarks of the store and the writer alone).
  explicit CStaInfo(odbc::Connection* database);
  virtual ~CStaInfo() = default;

  void SetPath(const char* path);
  void AddData(const char* sta, const char* chan, double sps, double tBegin, int count,
               const float* samples);
  unsigned FindSta(const char* sta);
  unsigned FindChan(unsigned sta, const char* chan, double sps);
  void WriteChan(unsigned sta, unsigned chan);
  void WriteAll();
  // Reports and counts as not stored what files replaced by a repeat of
  // their data hold less than they held before; WriteAll ends with it.
  void ReportShortRepeats();

  void MakeHeader(char* block, unsigned sta, unsigned chan);
  void MakeDir(const char* path);

  void UpdateFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                      double tQty, double sps, int gain, int dataType);
  void ReplaceFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                       double tQty, double sps, int gain, int dataType);

  std::vector<std::unique_ptr<CSta>> m_StaList;
  std::string m_Path;
  odbc::Connection* m_pDatabase;

  StoreStats m_Stats;
  // Segments not stored, reported per channel; WriteAll ends with its summary.
  CNotStoredReport m_NotStored;

 private:
  void RestartSegment(CChanInfo& chan, double tBegin, double duration, int count,
                      const float* samples);
  bool AppendToFile(CSta& sta, CChanInfo& chan);
  bool CreateFile(unsigned sta, unsigned chan);
  void Created(const std::string& cpath, const CChanInfo& k);
  void ReportNotStored(const std::string& path, const char* what, const CSta& s, const CChanInfo& k);
  void NoteNotStored(const std::string& problem, const std::string& reason, const CSta& s, const CChanInfo& k);
  void CountRegistration(const char* cpath);
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
  // The files this store created, by relative path: a later segment whose
  // name falls in the same second replaces one only when it repeats its data.
  std::unordered_map<std::string, CreatedFile> m_Created;
  // Current files of channels that could not be created or extended: they
  // take no more segments in this run (see WriteChan).
  std::unordered_set<std::string> m_Failed;
  std::unordered_set<std::string> m_Registered;  // relative paths
};

// The data file writer's separator on this platform; the relative path kept
// in m_CPath and FILELIST always uses the backslash.
constexpr char kLocalSeparator = '/';
