#pragma once
// The command line's IConvertHost: takes the worker's status texts, draws the
// status line on a terminal and prints problems on standard error.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "convert/convertfromseed.h"

namespace cli {

struct HostSettings {
  bool statusLine = false;  // draw the line rewritten in place on standard error
  bool verbose = false;     // every status text on its own line, standard output
  bool beep = false;        // "\a" on the run's own error texts
};

class CliHost final : public IConvertHost {
 public:
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  CliHost(const HostSettings& settings, size_t fileCount, uint64_t bytesTotal);

  // Worker side.
  void SetStatusText(const char* text) override;
  bool WantsRecordStatus() override;
  void Beep() override;
  void ConvertDone() override;
  void ReportError(const char* text) override;
  void Progress(size_t fileIndex, size_t fileCount, uint64_t bytesDone, uint64_t bytesTotal) override;

  // The diagnostic channel's messages, printed like errors.
  void Diagnostic(const char* text);
  // Prints one problem line on standard error, the status line cleared first.
  void PrintError(const std::string& line);

  // Main side: draws the status line until the end-of-run notice, then clears it.
  void WaitForEnd();
  std::string LastStatus() const;

 private:
  void Draw(const std::string& line);
  void ClearLine();  // m_OutMutex held

  const HostSettings m_Settings;
  CStatusThrottle m_RecordTexts{kRedrawInterval / 2};  // worker side only

  mutable std::mutex m_Mutex;  // the state below
  std::condition_variable m_Cv;
  std::string m_Text;
  size_t m_FileIndex = 0;
  size_t m_FileCount;
  uint64_t m_BytesDone = 0;
  uint64_t m_BytesTotal;
  bool m_Dirty = false;
  bool m_Drawn = false;  // anything drawn yet
  bool m_ErrorPending = false;
  bool m_Done = false;

  std::mutex m_OutMutex;  // what goes to the terminal and standard output
  bool m_LineShown = false;
};

// "1.5 KiB", "12.3 MiB"; plain bytes below 1 KiB.
std::string HumanBytes(uint64_t bytes);

// The status line, at most width - 1 columns so that the terminal never wraps it.
std::string ComposeStatusLine(size_t fileIndex, size_t fileCount, uint64_t bytesDone,
                              uint64_t bytesTotal, const std::string& text, size_t width);

// Is text one of the run's own error texts?
bool IsRunErrorText(const char* text);

}  // namespace cli
