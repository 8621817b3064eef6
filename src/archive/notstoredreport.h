#pragma once
// Reports of segments the writer could not store. A full disk fails every
// segment of every channel; the operator needs the first failure of each
// channel in full and a count of the rest, not one line per segment.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class CNotStoredReport {
 public:
  // One segment of sta/chan not stored. text is the full report, sent to the
  // diagnostic channel when it is the channel's first; reason is the
  // operating system's error, empty when the segment only shares the fate of
  // an earlier one.
  void Add(const std::string& sta, const std::string& chan, uint64_t samples, const std::string& reason,
           const std::string& text);
  // One line per channel for the segments after its first, in the order the
  // channels first failed; then starts afresh.
  void Flush();

 private:
  struct Channel {
    std::string name;  // "STA CHAN"
    uint64_t segments = 0, samples = 0;  // after the first
    std::vector<std::string> reasons;     // distinct, in order of appearance
  };
  std::unordered_map<std::string, size_t> m_Index;
  std::vector<Channel> m_Channels;
};

// 212345 as "212 345".
std::string GroupedDigits(uint64_t value);
