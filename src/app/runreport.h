#pragma once
// What a run reported, gathered while it runs for the dialog to show after
// it: the lines the command line prints on standard error, then the summary.
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "convert/convertfromseed.h"

class CRunReport {
 public:
  // A damaged volume can complain about every record; beyond this many lines
  // only their number is kept.
  static constexpr size_t kMaxLines = 10000;

  void Clear();
  // One report; a trailing newline is dropped. Any thread.
  void Add(std::string line);
  void SetEnd(const RunStats& stats, size_t inputCount);
  // Anything reported, or a run that did not convert everything.
  bool HasProblems() const;
  // The reports, one a line, and after a run its summary, whose result is the
  // run's last status text.
  std::string Text(const std::string& result) const;

 private:
  mutable std::mutex m_Mutex;
  std::vector<std::string> m_Lines;
  size_t m_Dropped = 0;
  std::optional<RunStats> m_Stats;
  size_t m_Inputs = 0;
};
