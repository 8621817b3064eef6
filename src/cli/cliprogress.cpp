#include "cli/cliprogress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cli/options.h"

namespace cli {
namespace {

constexpr const char* kClearToEnd = "\x1b[K";

void WriteStderr(const std::string& s) {
  const char* p = s.data();
  size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

size_t TerminalWidth() {
  struct winsize ws {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace

bool IsRunErrorText(const char* text) {
  static constexpr const char* kErrors[] = {"VEZ Database open error", "File open error",
                                            "VEZ Database write error", "Conversion error",
                                            "Data converted with errors"};
  for (const char* e : kErrors)
    if (std::strcmp(text, e) == 0) return true;
  return false;
}

std::string HumanBytes(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, value < 10.0 ? "%.2f %s" : value < 100.0 ? "%.1f %s" : "%.0f %s",
                value, kUnits[unit]);
  return buf;
}

std::string ComposeStatusLine(size_t fileIndex, size_t fileCount, uint64_t bytesDone,
                              uint64_t bytesTotal, const std::string& text, size_t width) {
  // The file being read: Progress counts finished files after each file.
  const size_t current = fileCount == 0 ? 0 : std::min(fileIndex + 1, fileCount);
  std::string line = "file " + std::to_string(current) + "/" + std::to_string(fileCount) + "  " +
                     HumanBytes(bytesDone) + " / " + HumanBytes(bytesTotal);
  if (bytesTotal > 0) {
    const uint64_t percent = bytesDone >= bytesTotal ? 100 : bytesDone * 100 / bytesTotal;
    line += "  " + std::to_string(percent) + "%";
  }
  if (!text.empty()) {
    line += "  ";
    for (char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  }
  const size_t columns = width > 0 ? width - 1 : 0;
  if (line.size() > columns) line.resize(columns);
  return line;
}

CliHost::CliHost(const HostSettings& settings, size_t fileCount, uint64_t bytesTotal)
    : m_Settings(settings), m_FileCount(fileCount), m_BytesTotal(bytesTotal) {}

void CliHost::SetStatusText(const char* text) {
  bool wake;
  {
    std::lock_guard lock(m_Mutex);
    m_Text.assign(text);
    m_Dirty = true;
    if (IsRunErrorText(text)) m_ErrorPending = true;
    wake = m_Settings.statusLine && !m_Drawn;
  }
  // Only until the first drawing: later the drawing loop looks by itself.
  if (wake) m_Cv.notify_one();
  if (m_Settings.verbose) {
    std::lock_guard out(m_OutMutex);
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
  }
}

// -v prints every record's text; the status line shows one per redraw at most,
// and without either the record texts are seen by no one.
bool CliHost::WantsRecordStatus() {
  if (m_Settings.verbose) return true;
  return m_Settings.statusLine && m_RecordTexts.Due();
}

void CliHost::Beep() {
  bool pending;
  {
    std::lock_guard lock(m_Mutex);
    pending = m_ErrorPending;
    m_ErrorPending = false;
  }
  if (pending && m_Settings.beep) {
    std::lock_guard out(m_OutMutex);
    WriteStderr("\a");
  }
}

void CliHost::ConvertDone() {
  {
    std::lock_guard lock(m_Mutex);
    m_Done = true;
  }
  m_Cv.notify_all();
}

void CliHost::Progress(size_t fileIndex, size_t fileCount, uint64_t bytesDone, uint64_t bytesTotal) {
  std::lock_guard lock(m_Mutex);
  m_FileIndex = fileIndex;
  m_FileCount = fileCount;
  m_BytesDone = bytesDone;
  m_BytesTotal = bytesTotal;
  m_Dirty = true;
}

void CliHost::ReportError(const char* text) { PrintError(std::string(kProgram) + ": " + text); }

void CliHost::Diagnostic(const char* text) {
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  PrintError(std::string(kProgram) + ": " + line);
}

void CliHost::PrintError(const std::string& line) {
  bool wasShown;
  {
    std::lock_guard out(m_OutMutex);
    // Standard output first, so that both streams sent to one file keep their order.
    if (m_Settings.verbose) std::fflush(stdout);
    wasShown = m_LineShown;
    ClearLine();
    WriteStderr(line.empty() || line.back() != '\n' ? line + "\n" : line);
  }
  if (wasShown) {
    std::lock_guard lock(m_Mutex);
    m_Dirty = true;
  }
}

void CliHost::ClearLine() {
  if (!m_LineShown) return;
  WriteStderr(std::string("\r") + kClearToEnd);
  m_LineShown = false;
}

void CliHost::Draw(const std::string& line) {
  std::lock_guard out(m_OutMutex);
  WriteStderr("\r" + line + kClearToEnd);
  m_LineShown = true;
}

void CliHost::WaitForEnd() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_Mutex);
  if (!m_Settings.statusLine) {
    m_Cv.wait(lock, [&] { return m_Done; });
  } else {
    Clock::time_point next = Clock::now();
    for (;;) {
      m_Cv.wait_until(lock, next, [&] { return m_Done || (m_Dirty && !m_Drawn); });
      // Whatever came before the end is drawn once, so that a short run
      // shows its line as well.
      if (m_Dirty) {
        const size_t index = m_FileIndex, count = m_FileCount;
        const uint64_t done = m_BytesDone, total = m_BytesTotal;
        const std::string text = m_Text;
        m_Dirty = false;
        m_Drawn = true;
        lock.unlock();
        Draw(ComposeStatusLine(index, count, done, total, text, TerminalWidth()));
        lock.lock();
        next = Clock::now() + kRedrawInterval;
      } else if (Clock::now() >= next) {
        next = Clock::now() + kRedrawInterval;
      }
      if (m_Done) break;
    }
  }
  lock.unlock();
  std::lock_guard out(m_OutMutex);
  ClearLine();
  if (m_Settings.verbose) std::fflush(stdout);
}

std::string CliHost::LastStatus() const {
  std::lock_guard lock(m_Mutex);
  return m_Text;
}

}  // namespace cli
