// brevanto-bench-write DIR FILES CHANNELS BYTES WRITE THREADS: writes FILES
// new files of BYTES each into DIR as a conversion does, and nothing else:
// CHANNELS files open at once, shared out among THREADS threads, each file
// allocated first (fallocate, size unchanged) and then appended to WRITE bytes
// at a time, the open files in turn; when they are full the next CHANNELS are
// opened. bench/speed times it beside dd: what writing the archive's files
// costs this machine by itself, without reading or decoding.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Job {
  std::string dir;
  long files = 0, channels = 0, bytes = 0, write = 0, threads = 0;
};

// Appends n bytes whose place within a page matches the file's, as the
// converter's page-aligned buffers mostly do.
bool Append(int fd, const char* source, long at, long n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, source + at % 4096, static_cast<size_t>(n));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    at += w;
    n -= w;
  }
  return true;
}

bool WriteShare(const Job& job, int t, const char* source) {
  std::vector<int> fds;
  std::vector<long> done;
  for (long first = 0; first < job.files; first += job.channels) {
    fds.clear();
    done.clear();
    for (long c = t; c < job.channels && first + c < job.files; c += job.threads) {
      const std::string name = job.dir + "/f" + std::to_string(first + c);
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) {
        std::fprintf(stderr, "brevanto-bench-write: %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
      }
      ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, job.bytes);
      fds.push_back(fd);
      done.push_back(0);
    }
    for (bool more = true; more;) {
      more = false;
      for (size_t i = 0; i < fds.size(); ++i) {
        const long n = std::min(job.write, job.bytes - done[i]);
        if (n <= 0) continue;
        if (!Append(fds[i], source, done[i], n)) {
          std::perror("brevanto-bench-write: write");
          return false;
        }
        done[i] += n;
        more = more || done[i] < job.bytes;
      }
    }
    for (const int fd : fds) ::close(fd);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: brevanto-bench-write DIR FILES CHANNELS BYTES WRITE THREADS\n");
    return 2;
  }
  Job job{argv[1], std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]), std::atol(argv[5]),
          std::atol(argv[6])};
  if (job.files < 1 || job.channels < 1 || job.bytes < 1 || job.write < 1 || job.threads < 1) {
    std::fprintf(stderr, "brevanto-bench-write: every count must be positive\n");
    return 2;
  }
  // Room for a write starting anywhere in a page.
  const size_t room = static_cast<size_t>(job.write) + 4096;
  std::unique_ptr<char, decltype(&std::free)> source(static_cast<char*>(std::aligned_alloc(4096, (room + 4095) / 4096 * 4096)),
                                                     &std::free);
  std::memset(source.get(), 0x5a, room);
  std::vector<std::thread> threads;
  std::vector<char> ok(static_cast<size_t>(job.threads), 0);
  for (int t = 0; t < job.threads; ++t)
    threads.emplace_back([&, t] { ok[static_cast<size_t>(t)] = WriteShare(job, t, source.get()); });
  for (auto& th : threads) th.join();
  for (const char o : ok)
    if (!o) return 1;
  return 0;
}
