// brevanto-bench-follow: how long a record appended to a followed SDS day
// file takes to be registered in FILELIST, and what a restart after SIGKILL
// costs. A writer appends 512-byte Steim2 records of N streams at the pace
// their sample times give (times --speed); the follower, brevanto-cli
// --follow with the default commit interval, runs as a child; FILELIST is
// read every 20 ms (5 ms while a restart catches up) through the data
// source VEZ. Each kill leaves the follower down for 10 s, the unit's
// RestartSec, while the writer goes on.
//   brevanto-bench-follow CLI VEZINI SDSROOT STATEFILE [--streams N] [--seconds S] [--speed F] [--kills K]
// Prints key value lines: latency_median_s, latency_p99_s, latency_records,
// and per restart restart_caught_up_s and restart_records_reread.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gen_lib.h"
#include "platform/odbc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRecordLength = 512;
constexpr double kRate = 100.0;
constexpr double kStart = 1712620800.0 - 120.0;  // 2024-04-08 23:58:00: a day rollover early on
constexpr auto kDowntime = std::chrono::seconds(10);  // RestartSec of brevanto-follow.service

struct Record {
  size_t stream;
  double end;          // of its last sample, seconds since 1970
  std::string path;    // the day file it is appended to
  const unsigned char* bytes;
  Clock::time_point appended{};
  bool registered = false;
};

struct Stream {
  std::string station, channel;
  std::vector<unsigned char> bytes;
};

std::string SdsPath(const std::string& root, const Stream& s, const unsigned char* r) {
  const int year = r[20] << 8 | r[21], day = r[22] << 8 | r[23];
  char name[128];
  std::snprintf(name, sizeof name, "%d/XX/%s/%s.D/XX.%s.00.%s.D.%04d.%03d", year, s.station.c_str(),
                s.channel.c_str(), s.station.c_str(), s.channel.c_str(), year, day);
  return root + "/" + name;
}

void Append(const std::string& path, const unsigned char* data) {
  fs::create_directories(fs::path(path).parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, data, kRecordLength) != kRecordLength) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ::close(fd);
}

pid_t StartFollower(const std::string& cli, const std::string& vezIni, const std::string& root) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Ended with this benchmark however it ends, also by a failed append.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execl(cli.c_str(), cli.c_str(), "-q", "--vez-ini", vezIni.c_str(), "--follow", root.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void Kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// The end of what FILELIST holds per stream (station and channel).
std::map<std::string, double> Covered(odbc::Connection& db) {
  std::map<std::string, double> ends;
  try {
    odbc::Statement q(db);
    q.Prepare("SELECT STA, CH, TBEGIN, TQTY FROM FILELIST");
    q.Execute();
    while (q.Fetch()) {
      double& end = ends[q.GetText(1) + "." + q.GetText(2)];
      end = std::max(end, q.GetDouble(3) + q.GetDouble(4));
    }
  } catch (const std::exception&) {
    return {};  // busy while the follower commits: the next look
  }
  return ends;
}

// Records of the state's offsets: what a restart skips.
size_t StateRecords(const std::string& stateFile) {
  std::ifstream in(stateFile);
  std::string line;
  size_t records = 0;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    uint64_t device, inode, offset;
    fields >> device >> inode >> offset;
    records += offset / kRecordLength;
  }
  return records;
}

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())) - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: brevanto-bench-follow CLI VEZINI SDSROOT STATEFILE [--streams N] [--seconds S] "
                 "[--speed F] [--kills K]\n");
    return 2;
  }
  const std::string cli = argv[1], vezIni = argv[2], root = argv[3], stateFile = argv[4];
  int streams = 20, kills = 2;
  double seconds = 240, speed = 1;
  for (int i = 5; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--streams") streams = std::atoi(argv[i + 1]);
    else if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (a == "--speed") speed = std::atof(argv[i + 1]);
    else if (a == "--kills") kills = std::atoi(argv[i + 1]);
  }
  if (streams < 1 || seconds <= 0 || speed <= 0 || kills < 0) {
    std::fprintf(stderr, "brevanto-bench-follow: bad option\n");
    return 2;
  }

  // N streams of 3 channels a station, their records in the order of their ends.
  const char* channels[] = {"BHZ", "BHN", "BHE"};
  std::vector<Stream> data(static_cast<size_t>(streams));
  std::vector<Record> records;
  for (int s = 0; s < streams; ++s) {
    Stream& st = data[static_cast<size_t>(s)];
    st.station = bench::StationCode(s / 3 + 1);
    st.channel = channels[s % 3];
    bench::Stream plan;
    plan.station = st.station;
    plan.channel = st.channel;
    plan.startTime = static_cast<int64_t>(kStart) * 1000000;
    plan.recordLength = kRecordLength;
    const auto samples = bench::MakeSignal(7, s / 3, s % 3, static_cast<int64_t>(seconds * kRate), {});
    bench::PackRecords(plan, samples, st.bytes);
  }
  for (size_t s = 0; s < data.size(); ++s) {
    double start = kStart;
    for (size_t off = 0; off + kRecordLength <= data[s].bytes.size(); off += kRecordLength) {
      const unsigned char* r = data[s].bytes.data() + off;
      start += (r[30] << 8 | r[31]) / kRate;
      records.push_back({s, start, SdsPath(root, data[s], r), r});
    }
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.end < b.end; });

  odbc::Connection db;
  db.Open("DSN=VEZ;UID=VEZ;PWD=QKT;", 15);
  pid_t follower = StartFollower(cli, vezIni, root);
  // The follower's first walk of an empty tree, before the clock starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Kills in the second half, evenly; latencies are taken before the first.
  const size_t total = records.size();
  std::vector<size_t> killAt;  // records written
  for (int k = 0; k < kills; ++k) killAt.push_back(total / 2 + total / 2 * static_cast<size_t>(k) / static_cast<size_t>(kills));
  const size_t measured = kills ? killAt[0] : total;

  std::atomic<size_t> written{0};
  std::mutex mutex;
  const Clock::time_point t0 = Clock::now();
  std::thread writer([&] {
    for (size_t i = 0; i < total; ++i) {
      Record& r = records[i];
      std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>((r.end - kStart) / speed)));
      Append(r.path, r.bytes);
      {
        std::lock_guard<std::mutex> lock(mutex);
        r.appended = Clock::now();
      }
      written.store(i + 1);
    }
  });

  std::vector<double> latencies;
  size_t nextKill = 0, registered = 0;
  std::vector<std::pair<double, size_t>> restarts;  // seconds to caught up, records re-read
  std::vector<std::string> names;
  for (const Stream& s : data) names.push_back(s.station + "." + s.channel);
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds / speed + 300);
  while (registered < total && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto ends = Covered(db);
    const auto now = Clock::now();
    const size_t upTo = written.load();
    for (size_t i = 0; i < upTo; ++i) {
      Record& r = records[i];
      if (r.registered) continue;
      const auto it = ends.find(names[r.stream]);
      if (it == ends.end() || it->second + 0.5 / kRate < r.end) continue;
      r.registered = true;
      ++registered;
      std::lock_guard<std::mutex> lock(mutex);
      // A record the first follower left at its kill counts for the restart.
      if (i < measured && nextKill == 0) latencies.push_back(std::chrono::duration<double>(now - r.appended).count());
    }
    if (nextKill < killAt.size() && upTo >= killAt[nextKill]) {
      ++nextKill;
      Kill(follower);
      size_t inArchive = 0;
      for (const auto& [name, end] : Covered(db))
        for (const Record& r : records)
          if (names[r.stream] == name && r.end <= end + 0.5 / kRate) ++inArchive;
      const size_t skipped = StateRecords(stateFile);
      // As the unit's RestartSec would: a backlog to catch up with.
      std::this_thread::sleep_for(kDowntime);
      const size_t backlog = written.load();
      const auto restarted = Clock::now();
      follower = StartFollower(cli, vezIni, root);
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto covered = Covered(db);
        size_t done = 0;
        for (size_t i = 0; i < backlog; ++i) {
          const auto it = covered.find(names[records[i].stream]);
          done += it != covered.end() && records[i].end <= it->second + 0.5 / kRate;
        }
        if (done == backlog || Clock::now() > deadline) break;
      }
      restarts.push_back({std::chrono::duration<double>(Clock::now() - restarted).count(),
                          inArchive > skipped ? inArchive - skipped : 0});
    }
  }
  writer.join();
  ::kill(follower, SIGTERM);
  int wstatus = 0;
  ::waitpid(follower, &wstatus, 0);

  std::printf("streams %d\nrecords %zu\nregistered %zu\n", streams, total, registered);
  std::printf("latency_records %zu\nlatency_median_s %.3f\nlatency_p99_s %.3f\nlatency_max_s %.3f\n",
              latencies.size(), Quantile(latencies, 0.5), Quantile(latencies, 0.99), Quantile(latencies, 1.0));
  for (const auto& [caughtUp, reread] : restarts)
    std::printf("restart_caught_up_s %.3f\nrestart_records_reread %zu\n", caughtUp, reread);
  std::printf("follower_exit %d\n", WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
  return registered == total ? 0 : 1;
}
