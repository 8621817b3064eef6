#pragma once
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "convert/convertfromseed.h"

namespace testsupport {

// Records what a run shows to its front end.
class FakeHost : public IConvertHost {
 public:
  void SetStatusText(const char* text) override;
  bool WantsRecordStatus() override { return recordTexts; }
  void Beep() override;
  void ConvertDone() override;
  void ReportError(const char* text) override;
  // Waits for the end-of-run notice; false after timeoutSeconds.
  bool WaitDone(int timeoutSeconds = 120);

  std::mutex mutex;
  std::vector<std::string> texts;
  std::vector<std::string> errors;
  bool recordTexts = true;  // what WantsRecordStatus says
  int beeps = 0;
  int done = 0;
  size_t textsBeforeDone = 0;

 private:
  std::condition_variable m_Cv;
};

}  // namespace testsupport
