#include "platform/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex g_sinkMutex;
DebugSink g_sink;

void WriteStderr(const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void DebugOutput(const char* text) {
  std::lock_guard lock(g_sinkMutex);
  if (g_sink)
    g_sink(text);
  else
    WriteStderr(text);
}

void DebugOutputF(const char* format, ...) {
  char small[512];
  va_list ap;
  va_start(ap, format);
  int len = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (len < 0) return;
  if (static_cast<size_t>(len) < sizeof small) {
    DebugOutput(small);
    return;
  }
  std::vector<char> big(static_cast<size_t>(len) + 1);
  va_start(ap, format);
  std::vsnprintf(big.data(), big.size(), format, ap);
  va_end(ap);
  DebugOutput(big.data());
}

DebugSink SetDebugSink(DebugSink sink) {
  std::lock_guard lock(g_sinkMutex);
  DebugSink old = std::move(g_sink);
  g_sink = std::move(sink);
  return old;
}

}  // namespace platform
