// brevanto-bench-run: one conversion run through CConvertFromSeed with a
// front end that does nothing, so that the time is the converter's own.
// With --no-database the data files are written and nothing is registered,
// which separates the database's share of a run from the rest.
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "convert/convertfromseed.h"

namespace {

class QuietHost : public IConvertHost {
 public:
  void SetStatusText(const char*) override {}
  bool WantsRecordStatus() override { return false; }
  void Beep() override {}
  void ConvertDone() override {
    {
      std::lock_guard lock(m_Mutex);
      m_Done = true;
    }
    m_Cv.notify_all();
  }
  void ReportError(const char* text) override { std::fprintf(stderr, "brevanto-bench-run: %s\n", text); }
  void Wait() {
    std::unique_lock lock(m_Mutex);
    m_Cv.wait(lock, [&] { return m_Done; });
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cv;
  bool m_Done = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: brevanto-bench-run --vez-ini FILE [--no-database] [--connect STRING] [--jobs N]\n"
               "                          [--commit-interval MS] FILE...\n"
               "  --no-database   write the data files, register nothing\n"
               "  --connect S     connection string instead of the archive's data source\n"
               "  --jobs N        threads that decode, join and write (default: the cores, at most 8)\n"
               "  --commit-interval MS  registrations grouped this often; 0 commits each at once\n");
  return 2;
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  std::string vezIni;
  std::string connect;
  bool haveConnect = false;
  bool noDatabase = false;
  unsigned jobs = 0;
  long commitMs = -1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--vez-ini" && i + 1 < argc) {
      vezIni = argv[++i];
    } else if (a == "--connect" && i + 1 < argc) {
      connect = argv[++i];
      haveConnect = true;
    } else if (a == "--jobs" && i + 1 < argc) {
      jobs = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (a == "--commit-interval" && i + 1 < argc) {
      commitMs = std::atol(argv[++i]);
    } else if (a == "--no-database") {
      noDatabase = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(a);
    }
  }
  if (vezIni.empty() || files.empty()) return Usage();
  // Without this check a bad VEZ.ini would put data files under "/".
  if (std::string problem = DataFolderProblem(vezIni); !problem.empty()) {
    std::fprintf(stderr, "brevanto-bench-run: %s\n", problem.c_str());
    return 2;
  }

  QuietHost host;
  RunStats stats;
  const auto t0 = std::chrono::steady_clock::now();
  {
    CConvertFromSeed converter(&host, vezIni);
    if (noDatabase) converter.SetConnectString("");
    else if (haveConnect) converter.SetConnectString(connect);
    if (jobs > 0) converter.SetJobs(jobs);
    if (commitMs >= 0) converter.SetCommitInterval(std::chrono::milliseconds(commitMs));
    for (const std::string& f : files) converter.AddFile(f);
    if (converter.Start() != 0) {
      std::fprintf(stderr, "brevanto-bench-run: cannot start the conversion\n");
      return 1;
    }
    host.Wait();
    converter.Join();
    stats = converter.Stats();
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  const double perSecond = wall > 0 ? 1.0 / wall : 0.0;
  // One "key value" per line, for scripts.
  std::printf("database %s\n", noDatabase ? "no" : "yes");
  std::printf("wall_s %.3f\n", wall);
  std::printf("user_s %.3f\n", Seconds(ru.ru_utime));
  std::printf("sys_s %.3f\n", Seconds(ru.ru_stime));
  std::printf("records %llu\n", static_cast<unsigned long long>(stats.recordsConverted));
  std::printf("samples %llu\n", static_cast<unsigned long long>(stats.samples));
  std::printf("samples_per_s %.0f\n", static_cast<double>(stats.samples) * perSecond);
  std::printf("records_per_s %.0f\n", static_cast<double>(stats.recordsConverted) * perSecond);
  std::printf("files_created %llu\n", static_cast<unsigned long long>(stats.store.filesCreated));
  std::printf("rows_registered %llu\n", static_cast<unsigned long long>(stats.store.rowsRegistered));
  std::printf("peak_rss_kb %ld\n", ru.ru_maxrss);
  if (stats.AnyFailure()) {
    std::fprintf(stderr, "brevanto-bench-run: the run reported failures (database open failed: %s)\n",
                 stats.databaseOpenFailed ? "yes" : "no");
    return 1;
  }
  return 0;
}
