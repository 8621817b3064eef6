#pragma once
// The hand-over from reading to decoding, joining and writing. The reader
// accepts a record and delivers it; a channel worker decodes it and adds it
// to its store, which joins and writes. With one job that happens on the
// reader's thread; with more, each channel belongs to one worker thread, so
// that its records stay in input order and the archive comes out the same.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "seed/record.h"
#include "store/stainfo.h"

class IRegistrar;

namespace convert {

// A record the reader accepted, with what its channel's worker needs.
struct RecordJob {
  seed::RecordHeader header;
  double rate = 0;
  double start = 0;
  int length = 0;    // record bytes
  size_t input = 0;  // index of its input file
};

// Decodes a record (its header already in host order) into samples, which
// hold room for its count, and adds them to store.
void TakeRecord(CStaInfo& store, const RecordJob& job, const unsigned char* record, float* samples);

// Decoding, joining and writing for a set of channels: one store.
class CChannelWorker {
 public:
  CChannelWorker(odbc::Connection* database, IRegistrar* registrar, const std::string& dataDir,
                 std::shared_ptr<const archive::HoldingsMap> holdings = nullptr,
                 std::shared_ptr<const CStaInfo::Windows> windows = nullptr);
  // Decodes the record (its header already in host order) and adds its samples.
  void Take(const RecordJob& job, const unsigned char* record);
  CStaInfo& Store() { return m_Store; }
  const CStaInfo& Store() const { return m_Store; }

 private:
  CStaInfo m_Store;
  std::unique_ptr<float[]> m_Samples;
};

struct HandOverSettings {
  odbc::Connection* database = nullptr;  // null: files only
  IRegistrar* registrar = nullptr;
  std::string dataDir;
  unsigned jobs = 1;
  std::shared_ptr<const archive::HoldingsMap> holdings;  // what the archive held before the run
  std::shared_ptr<const CStaInfo::Windows> windows;      // what the run's input holds
};

class IHandOver {
 public:
  virtual ~IHandOver() = default;
  // Throws the error that ended a worker.
  virtual void Deliver(const RecordJob& job, const unsigned char* record) = 0;
  // Every record of input index has been delivered.
  virtual void EndOfInput(size_t index) = 0;
  // Every channel writes what it holds (WriteAll); waits for it. Throws the
  // error that ended a worker.
  virtual void Finish() = 0;
  // After an error: the workers stop; what they still hold is reported and
  // counted as not stored, records not yet decoded as dropped.
  virtual void Abandon() noexcept = 0;
  virtual StoreStats Stats() const = 0;
  // Records (and their samples) delivered but never decoded, after Abandon.
  virtual uint64_t RecordsDropped() const { return 0; }
  virtual uint64_t SamplesDropped() const { return 0; }
  // The input whose record a worker was handling when an error ended it;
  // kNoInput when no worker failed.
  static constexpr size_t kNoInput = static_cast<size_t>(-1);
  virtual size_t FailedInput() const = 0;
};

// One job: on the caller's thread. More: worker threads.
std::unique_ptr<IHandOver> MakeHandOver(const HandOverSettings& settings);

// The number of jobs when the operator names none: the cores this process
// may run on, at most 8.
unsigned DefaultJobs();

}  // namespace convert
