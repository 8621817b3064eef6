#include "app/runreport.h"

#include "convert/runsummary.h"

void CRunReport::Clear() {
  std::lock_guard lock(m_Mutex);
  m_Lines.clear();
  m_Dropped = 0;
  m_Stats.reset();
  m_Inputs = 0;
}

void CRunReport::Add(std::string line) {
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::lock_guard lock(m_Mutex);
  if (m_Lines.size() < kMaxLines)
    m_Lines.push_back(std::move(line));
  else
    ++m_Dropped;
}

void CRunReport::SetEnd(const RunStats& stats, size_t inputCount) {
  std::lock_guard lock(m_Mutex);
  m_Stats = stats;
  m_Inputs = inputCount;
}

bool CRunReport::HasProblems() const {
  std::lock_guard lock(m_Mutex);
  return !m_Lines.empty() || (m_Stats && (m_Stats->AnyFailure() || m_Stats->databaseOpenFailed));
}

std::string CRunReport::Text(const std::string& result) const {
  std::lock_guard lock(m_Mutex);
  std::string text;
  for (const std::string& line : m_Lines) text.append(line).append("\n");
  if (m_Dropped > 0)
    text.append(std::to_string(m_Dropped)).append(" more reports not shown; brevanto-cli prints them all\n");
  if (m_Stats) text.append(text.empty() ? "" : "\n").append(FormatSummary(*m_Stats, m_Inputs, result));
  return text;
}
