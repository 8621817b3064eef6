#include "support/fakehost.h"

#include <chrono>

namespace testsupport {

void FakeHost::SetStatusText(const char* text) {
  std::lock_guard lock(mutex);
  texts.emplace_back(text);
}

void FakeHost::Beep() {
  std::lock_guard lock(mutex);
  ++beeps;
}

void FakeHost::ReportError(const char* text) {
  std::lock_guard lock(mutex);
  errors.emplace_back(text);
}

void FakeHost::ConvertDone() {
  std::lock_guard lock(mutex);
  ++done;
  textsBeforeDone = texts.size();
  m_Cv.notify_all();
}

bool FakeHost::WaitDone(int timeoutSeconds) {
  std::unique_lock lock(mutex);
  return m_Cv.wait_for(lock, std::chrono::seconds(timeoutSeconds), [this] { return done > 0; });
}

}  // namespace testsupport
