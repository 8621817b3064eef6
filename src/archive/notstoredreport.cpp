#include "archive/notstoredreport.h"

#include <algorithm>

#include "platform/diag.h"

std::string GroupedDigits(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

void CNotStoredReport::Add(const std::string& sta, const std::string& chan, uint64_t samples,
                           const std::string& reason, const std::string& text) {
  auto [it, first] = m_Index.try_emplace(sta + '\0' + chan, m_Channels.size());
  if (first) {
    m_Channels.push_back(Channel{sta + " " + chan, 0, 0, {}});
    platform::DebugOutput((text + "\n").c_str());
  } else {
    ++m_Channels[it->second].segments;
    m_Channels[it->second].samples += samples;
  }
  std::vector<std::string>& reasons = m_Channels[it->second].reasons;
  if (!reason.empty() && std::find(reasons.begin(), reasons.end(), reason) == reasons.end())
    reasons.push_back(reason);
}

void CNotStoredReport::Flush() {
  for (const Channel& c : m_Channels) {
    if (c.segments == 0) continue;
    std::string line = c.name + ": " + GroupedDigits(c.segments) + (c.segments == 1 ? " more segment, " : " more segments, ") +
                       GroupedDigits(c.samples) + " samples not stored";
    for (size_t i = 0; i < c.reasons.size(); ++i) line += (i == 0 ? ": " : "; ") + c.reasons[i];
    platform::DebugOutput((line + "\n").c_str());
  }
  m_Index.clear();
  m_Channels.clear();
}
