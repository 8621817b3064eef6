#include "platform/busfault.h"

#include <mutex>

namespace platform {
namespace {

thread_local CBusFaultGuard::State t_State;
struct sigaction g_Previous {};
bool g_Installed = false;

void OnBusFault(int sig, siginfo_t* info, void* context) {
  CBusFaultGuard::State& s = t_State;
  const char* at = static_cast<const char*>(info->si_addr);
  if (s.armed && at >= s.begin && at < s.begin + s.length) {
    s.armed = 0;
    siglongjmp(s.env, 1);
  }
  // Not ours: whoever handled it before, or the default, which ends the
  // process once the faulting access runs again.
  if (g_Previous.sa_flags & SA_SIGINFO) {
    if (g_Previous.sa_sigaction) return g_Previous.sa_sigaction(sig, info, context);
  } else if (g_Previous.sa_handler != SIG_DFL && g_Previous.sa_handler != SIG_IGN) {
    return g_Previous.sa_handler(sig);
  }
  signal(SIGBUS, SIG_DFL);
}

}  // namespace

bool CBusFaultGuard::Available() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusFault;
    // SA_NODEFER: the jump out of the handler leaves SIGBUS unblocked.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    g_Installed = sigaction(SIGBUS, &action, &g_Previous) == 0;
  });
  return g_Installed;
}

void CBusFaultGuard::SetRange(const void* begin, size_t length) {
  State& s = t_State;
  s.begin = static_cast<const char*>(begin);
  s.length = length;
}

CBusFaultGuard::State& CBusFaultGuard::This() { return t_State; }

}  // namespace platform
