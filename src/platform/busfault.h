#pragma once
// Reading a mapped file that another program shortens meanwhile raises
// SIGBUS at the first page past its new end. A read run under this guard
// comes back false instead of killing the process.
#include <csetjmp>
#include <csignal>
#include <cstddef>

namespace platform {

class CBusFaultGuard {
 public:
  // Whether faults can be caught here: installs the handler once.
  static bool Available();
  // Runs fn() with faults on the range set by SetRange caught; false when
  // one came (fn was cut off there). Not nested.
  template <typename Fn>
  static bool Run(const void* begin, size_t length, Fn&& fn) {
    State& s = This();
    SetRange(begin, length);
    if (sigsetjmp(s.env, 0) != 0) return false;
    s.armed = 1;
    fn();
    s.armed = 0;
    return true;
  }
  // The range whose faults are caught, while the run moves its window.
  static void SetRange(const void* begin, size_t length);

  struct State {
    sigjmp_buf env;
    const char* begin = nullptr;
    size_t length = 0;
    volatile sig_atomic_t armed = 0;
  };

 private:
  static State& This();
};

}  // namespace platform
