#include "platform/mapping.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace platform {
namespace {

// The mappings the SIGBUS handler answers for; read by the handler without locks.
struct Slot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
constexpr int kSlots = 16;
Slot g_Slots[kSlots];
struct sigaction g_Previous {};
uintptr_t g_PageSize = 4096;

// A page of a mapping gone with the end of its file is replaced by a zero
// page and the access repeated; any other SIGBUS goes where it went before.
void OnBusError(int sig, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (info->si_code > 0)
    for (Slot& s : g_Slots) {
      const uintptr_t begin = s.begin.load(std::memory_order_acquire);
      if (begin == 0 || at < begin || at >= s.end.load(std::memory_order_acquire)) continue;
      void* page = reinterpret_cast<void*>(at & ~(g_PageSize - 1));
      if (::mmap(page, g_PageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
      s.cut.store(true, std::memory_order_release);
      return;
    }
  if (g_Previous.sa_flags & SA_SIGINFO) {
    if (g_Previous.sa_sigaction) return g_Previous.sa_sigaction(sig, info, context);
  } else if (g_Previous.sa_handler != SIG_DFL && g_Previous.sa_handler != SIG_IGN) {
    return g_Previous.sa_handler(sig);
  }
  // The default action: a fault repeats on return, a sent signal is sent again.
  ::signal(SIGBUS, SIG_DFL);
  if (info->si_code <= 0) ::raise(SIGBUS);
}

bool InstallHandler() {
  static bool installed = [] {
    g_PageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction sa {};
    sa.sa_sigaction = OnBusError;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    return ::sigaction(SIGBUS, &sa, &g_Previous) == 0;
  }();
  return installed;
}

int ClaimSlot(uintptr_t begin, uintptr_t end) {
  for (int i = 0; i < kSlots; ++i) {
    uintptr_t expected = 0;
    if (g_Slots[i].begin.compare_exchange_strong(expected, UINTPTR_MAX, std::memory_order_acq_rel)) {
      g_Slots[i].cut.store(false, std::memory_order_relaxed);
      g_Slots[i].end.store(end, std::memory_order_release);
      g_Slots[i].begin.store(begin, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

}  // namespace

CMappedFile::CMappedFile(int fd, size_t size) {
  if (size == 0 || !InstallHandler()) return;
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return;
  const auto begin = reinterpret_cast<uintptr_t>(p);
  m_Slot = ClaimSlot(begin, begin + size);
  if (m_Slot < 0) {
    ::munmap(p, size);
    return;
  }
  m_Data = static_cast<unsigned char*>(p);
  m_Size = size;
  // Read ahead where the file is not cached yet, as reading it would.
  ::madvise(p, size, MADV_SEQUENTIAL);
}

CMappedFile::~CMappedFile() {
  if (!m_Data) return;
  g_Slots[m_Slot].begin.store(0, std::memory_order_release);
  ::munmap(m_Data, m_Size);
}

void CMappedFile::Release(size_t from, size_t to) const {
  const size_t page = g_PageSize;
  from = (from + page - 1) / page * page;
  to = std::min(to, m_Size) / page * page;
  if (m_Data && from < to) ::madvise(m_Data + from, to - from, MADV_DONTNEED);
}

bool CMappedFile::Cut() const {
  return m_Slot >= 0 && g_Slots[m_Slot].cut.load(std::memory_order_acquire);
}

}  // namespace platform
