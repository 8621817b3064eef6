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

}  // namespace platform
