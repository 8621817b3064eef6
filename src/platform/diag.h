#pragma once
// The diagnostic channel: decoder complaints and data-file failures.
// On Linux it is standard error, one write(2) per message so that lines
// from concurrent writers never interleave.
#include <functional>
#include <string>

namespace platform {

void DebugOutput(const char* text);
// printf-style convenience; the formatted text goes out in one call.
void DebugOutputF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the channel (tests capture messages here). Returns the previous sink.
using DebugSink = std::function<void(const char*)>;
DebugSink SetDebugSink(DebugSink sink);

// Sends the channel to sink while alive, then restores the previous one.
class ScopedDebugSink {
 public:
  explicit ScopedDebugSink(DebugSink sink) : m_Previous(SetDebugSink(std::move(sink))) {}
  ~ScopedDebugSink() { SetDebugSink(std::move(m_Previous)); }
  ScopedDebugSink(const ScopedDebugSink&) = delete;
  ScopedDebugSink& operator=(const ScopedDebugSink&) = delete;

 private:
  DebugSink m_Previous;
};

}  // namespace platform
