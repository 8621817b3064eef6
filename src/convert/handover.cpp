#include "convert/handover.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "archive/registration.h"

namespace convert {
namespace {

constexpr int kMaxSamples = 65535;
constexpr unsigned kMaxJobs = 8;

}  // namespace

CChannelWorker::CChannelWorker(odbc::Connection* database, IRegistrar* registrar, const std::string& dataDir,
                               std::shared_ptr<const archive::HoldingsMap> holdings,
                               std::shared_ptr<const CStaInfo::Windows> windows)
    : m_Store(database, registrar), m_Samples(new float[kMaxSamples]) {
  m_Store.SetPath(dataDir.c_str());
  m_Store.SetHoldings(std::move(holdings));
  m_Store.SetWindows(std::move(windows));
}

void TakeRecord(CStaInfo& store, const RecordJob& job, const unsigned char* record, float* samples) {
  const int n = job.header.sampleCount;
  // Most records fit the channel's buffer and are decoded into it.
  float* out = n <= kChanBufferSamples ? store.Place(job.header.station, job.header.channel, job.rate, job.start, n)
                                       : samples;
  seed::DecodeSamples(record, job.length, job.header, out);
  if (out == samples) store.AddData(job.header.station, job.header.channel, job.rate, job.start, n, samples);
}

void CChannelWorker::Take(const RecordJob& job, const unsigned char* record) {
  TakeRecord(m_Store, job, record, m_Samples.get());
}

unsigned DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  unsigned cores = 0;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<unsigned>(CPU_COUNT(&set));
  if (cores == 0) cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min(cores, kMaxJobs);
}

namespace {

class CInlineHandOver final : public IHandOver {
 public:
  explicit CInlineHandOver(const HandOverSettings& s)
      : m_Worker(s.database, s.registrar, s.dataDir, s.holdings, s.windows), m_Registrar(s.registrar) {}

  void Deliver(const RecordJob& job, const unsigned char* record) override {
    m_Input = job.input;
    m_Worker.Take(job, record);
    m_Input = kNoInput;
  }
  void EndOfInput(size_t) override {
    if (m_Registrar) m_Registrar->CommitSoon();
  }
  void Finish() override { m_Worker.Store().WriteAll(); }
  void Abandon() noexcept override { m_Worker.Store().Abandon(); }
  StoreStats Stats() const override { return m_Worker.Store().m_Stats; }
  size_t FailedInput() const override { return m_Input; }

 private:
  CChannelWorker m_Worker;
  IRegistrar* m_Registrar;
  size_t m_Input = kNoInput;
};

// Records travel in batches, so that a worker wakes once per many records.
struct Batch {
  std::vector<RecordJob> jobs;
  std::vector<unsigned char> bytes;  // the records, one after another
  bool endOfInput = false;           // a marker: every record of input has come
  size_t input = 0;
};

constexpr size_t kBatchBytes = 128 * 1024;
// Batches waiting, shared by the workers (at least 4 each). The reader
// waits on whichever worker is behind; while it does, the others must not
// run dry (a file created or extended takes longer than a batch of records).
constexpr size_t kQueuedBatches = 32;
constexpr size_t kMinQueueDepth = 4;

class CParallelHandOver final : public IHandOver {
 public:
  explicit CParallelHandOver(const HandOverSettings& s)
      : m_Registrar(s.registrar), m_QueueDepth(std::max<size_t>(kMinQueueDepth, kQueuedBatches / s.jobs)) {
    // Each store keeps its share of the open data files.
    const size_t openShare = std::max<size_t>(1, DefaultOpenFileLimit() / s.jobs);
    for (unsigned i = 0; i < s.jobs; ++i) {
      auto w = std::make_unique<Worker>(s);
      w->worker.Store().SetOpenFileLimit(openShare);
      w->worker.Store().SetPendingBudget(kDefaultPendingBudget / s.jobs);
      w->filling = std::make_unique<Batch>();
      m_Workers.push_back(std::move(w));
    }
    m_Channels.assign(m_Workers.size(), 0);
    for (auto& w : m_Workers) w->thread = std::thread(&CParallelHandOver::Work, this, std::ref(*w));
  }
  ~CParallelHandOver() override {
    if (!m_Finished) Abandon();
  }

  void Deliver(const RecordJob& job, const unsigned char* record) override {
    if (m_Aborted.load(std::memory_order_relaxed)) RethrowFailure();
    Worker& w = *m_Workers[Route(job.header)];
    Batch& b = *w.filling;
    b.jobs.push_back(job);
    b.bytes.insert(b.bytes.end(), record, record + job.length);
    if (b.bytes.size() >= kBatchBytes) Push(w);
  }

  void EndOfInput(size_t index) override {
    {
      std::lock_guard lock(m_InputsMutex);
      m_InputsLeft[index] = m_Workers.size();
    }
    for (auto& w : m_Workers) {
      if (!w->filling->jobs.empty()) Push(*w);
      w->filling->endOfInput = true;
      w->filling->input = index;
      Push(*w);
    }
  }

  void Finish() override {
    for (auto& w : m_Workers)
      if (!w->filling->jobs.empty()) Push(*w);
    Stop(false);
    if (m_Aborted.load()) RethrowFailure();
    m_Finished = true;
  }

  void Abandon() noexcept override {
    Stop(true);
    for (auto& w : m_Workers) {
      m_RecordsDropped += w->filling->jobs.size();
      for (const RecordJob& j : w->filling->jobs) m_SamplesDropped += static_cast<uint64_t>(j.header.sampleCount);
      w->filling->jobs.clear();
      if (!w->abandoned) {
        w->worker.Store().Abandon();
        w->abandoned = true;
      }
    }
  }

  StoreStats Stats() const override {
    StoreStats sum;
    for (const auto& w : m_Workers) sum += w->worker.Store().m_Stats;
    return sum;
  }
  uint64_t RecordsDropped() const override { return m_RecordsDropped; }
  uint64_t SamplesDropped() const override { return m_SamplesDropped; }
  size_t FailedInput() const override {
    std::lock_guard lock(m_FailureMutex);
    return m_FailedInput;
  }

 private:
  struct Worker {
    explicit Worker(const HandOverSettings& s) : worker(s.database, s.registrar, s.dataDir, s.holdings, s.windows) {}
    CChannelWorker worker;
    std::mutex mutex;  // queue, spare, finish
    std::condition_variable ready, room;
    std::deque<std::unique_ptr<Batch>> queue;
    std::vector<std::unique_ptr<Batch>> spare;
    bool finish = false;
    std::unique_ptr<Batch> filling;  // the reader's
    std::thread thread;
    bool abandoned = false;
    uint64_t dropped = 0, droppedSamples = 0;  // the worker's own, read after join
  };

  // A channel goes to the worker that holds fewest channels when it first
  // comes; a hash would leave workers idle when a run has few channels.
  size_t Route(const seed::RecordHeader& h) {
    m_RouteKey.assign(h.station);
    m_RouteKey += '\xFF';  // no code holds it: "AB"+"CD" stays apart from "ABC"+"D"
    m_RouteKey += h.channel;
    auto [it, added] = m_Routes.try_emplace(m_RouteKey, 0);
    if (added) {
      it->second = static_cast<size_t>(std::min_element(m_Channels.begin(), m_Channels.end()) - m_Channels.begin());
      ++m_Channels[it->second];
    }
    return it->second;
  }

  // Hands the reader's batch to the worker, waiting while its queue is full.
  void Push(Worker& w) {
    std::unique_lock lock(w.mutex);
    w.room.wait(lock, [&] { return w.queue.size() < m_QueueDepth || m_Aborted.load(); });
    w.queue.push_back(std::move(w.filling));
    if (w.spare.empty()) {
      w.filling = std::make_unique<Batch>();
    } else {
      w.filling = std::move(w.spare.back());
      w.spare.pop_back();
    }
    lock.unlock();
    w.ready.notify_one();
  }

  void Work(Worker& w) {
    size_t input = 0;
    std::unique_ptr<Batch> b;
    size_t taken = 0;  // of b's records
    try {
      for (;;) {
        {
          std::unique_lock lock(w.mutex);
          w.ready.wait(lock, [&] { return !w.queue.empty() || w.finish; });
          if (w.queue.empty()) break;
          b = std::move(w.queue.front());
          w.queue.pop_front();
        }
        w.room.notify_one();
        if (b->endOfInput) {
          InputDone(b->input);
        } else if (m_Aborted.load(std::memory_order_relaxed)) {
          Drop(w, *b, 0);
        } else {
          const unsigned char* record = b->bytes.data();
          for (taken = 0; taken < b->jobs.size(); ++taken) {
            const RecordJob& job = b->jobs[taken];
            input = job.input;
            w.worker.Take(job, record);
            record += job.length;
          }
        }
        Recycle(w, std::move(b));
      }
      if (!m_Aborted.load()) w.worker.Store().WriteAll();
    } catch (...) {
      // As on one thread: the record whose hand-over failed counts as not converted.
      if (b) Drop(w, *b, taken);
      Fail(std::current_exception(), input);
      Drain(w);
    }
  }

  void InputDone(size_t index) {
    std::lock_guard lock(m_InputsMutex);
    if (--m_InputsLeft[index] == 0) {
      m_InputsLeft.erase(index);
      if (m_Registrar) m_Registrar->CommitSoon();
    }
  }

  // Records of b from index from on were never decoded.
  void Drop(Worker& w, const Batch& b, size_t from) {
    for (size_t i = from; i < b.jobs.size(); ++i) {
      ++w.dropped;
      w.droppedSamples += static_cast<uint64_t>(b.jobs[i].header.sampleCount);
    }
  }

  // After a failure: what is still queued is dropped, until told to finish.
  void Drain(Worker& w) {
    std::unique_lock lock(w.mutex);
    for (;;) {
      while (!w.queue.empty()) {
        Drop(w, *w.queue.front(), 0);
        w.queue.pop_front();
      }
      w.room.notify_all();
      if (w.finish) return;
      w.ready.wait(lock);
    }
  }

  void Recycle(Worker& w, std::unique_ptr<Batch> b) {
    b->jobs.clear();
    b->bytes.clear();
    b->endOfInput = false;
    std::lock_guard lock(w.mutex);
    if (w.spare.size() <= m_QueueDepth) w.spare.push_back(std::move(b));
  }

  void Fail(std::exception_ptr e, size_t input) {
    {
      std::lock_guard lock(m_FailureMutex);
      if (!m_Failure) {
        m_Failure = e;
        m_FailedInput = input;
      }
    }
    m_Aborted = true;
    for (auto& w : m_Workers) {
      std::lock_guard lock(w->mutex);
      w->room.notify_all();
    }
  }

  [[noreturn]] void RethrowFailure() {
    std::exception_ptr e;
    {
      std::lock_guard lock(m_FailureMutex);
      e = m_Failure;
    }
    std::rethrow_exception(e);
  }

  void Stop(bool abort) {
    if (abort) m_Aborted = true;
    for (auto& w : m_Workers) {
      std::lock_guard lock(w->mutex);
      w->finish = true;
      w->ready.notify_all();
      w->room.notify_all();
    }
    for (auto& w : m_Workers) {
      if (!w->thread.joinable()) continue;
      w->thread.join();
      m_RecordsDropped += w->dropped;
      m_SamplesDropped += w->droppedSamples;
    }
  }

  std::vector<std::unique_ptr<Worker>> m_Workers;
  std::unordered_map<std::string, size_t> m_Routes;  // station and channel to worker
  std::vector<size_t> m_Channels;                    // per worker
  std::string m_RouteKey;
  IRegistrar* m_Registrar;
  const size_t m_QueueDepth;  // batches waiting per worker
  std::atomic<bool> m_Aborted{false};
  mutable std::mutex m_FailureMutex;
  std::exception_ptr m_Failure;
  size_t m_FailedInput = kNoInput;
  std::mutex m_InputsMutex;
  std::unordered_map<size_t, size_t> m_InputsLeft;  // workers yet to pass an input's end
  uint64_t m_RecordsDropped = 0, m_SamplesDropped = 0;
  bool m_Finished = false;
};

}  // namespace

std::unique_ptr<IHandOver> MakeHandOver(const HandOverSettings& settings) {
  if (settings.jobs <= 1) return std::make_unique<CInlineHandOver>(settings);
  return std::make_unique<CParallelHandOver>(settings);
}

}  // namespace convert
