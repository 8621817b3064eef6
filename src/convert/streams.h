#pragma once
// The archive keys its files by station and channel alone, so it holds one
// stream (NET.STA.LOC.CHA) per station and channel. Where the input holds
// several (two sensors at one site, two networks sharing a station code),
// the run converts one of them, decided from the station scan before
// anything is written: the network code, then the location code, first in
// byte order, a blank location before any other.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/storedspans.h"
#include "seed/record.h"

namespace convert {

// "NET.STA.LOC.CHA", a blank location as empty ("XX.ST01..BHZ").
std::string StreamName(const char* network, const char* station, const char* location, const char* channel);

class CStreamRule {
 public:
  // A selected record the scan found, with its time span and rate.
  void Note(const seed::RecordHeader& h, double start, double end, double rate);
  // Takes in what another scan (of other records) noted.
  void Merge(const CStreamRule& other);
  // Whether a record belongs to the stream kept for its station and channel;
  // the others are counted. A station and channel the scan did not see
  // keeps the first stream met.
  bool Keeps(const seed::RecordHeader& h);

  std::set<std::string> Stations() const;
  // Where each station and channel's kept stream lies in time.
  std::map<archive::ChannelKey, archive::ChannelWindow> Windows() const;
  uint64_t RecordsLeftOut() const { return m_LeftOut; }
  // One line per stream left out, naming the stream kept; once per run.
  std::vector<std::string> Report() const;

 private:
  struct Stream {
    std::string network, location;
    bool operator<(const Stream& o) const {
      return network != o.network ? network < o.network : location < o.location;
    }
    bool operator==(const Stream& o) const { return network == o.network && location == o.location; }
  };
  struct Channel {
    std::string station, channel;
    std::map<Stream, archive::ChannelWindow> seen;  // by the scan
    Stream kept;
    bool decided = false;
    std::map<Stream, uint64_t> leftOut;  // records not converted
  };
  Channel& Of(const seed::RecordHeader& h);
  static void Decide(Channel& c);

  std::unordered_map<std::string, Channel> m_Channels;  // by "STA CHA"
  // The channel looked up last: records come in runs of one channel. A copy
  // starts without, its channels being others.
  struct Recent {
    Channel* channel = nullptr;
    Recent() = default;
    Recent(const Recent&) {}
    Recent& operator=(const Recent&) {
      channel = nullptr;
      return *this;
    }
  } m_Recent;
  uint64_t m_LeftOut = 0;
};

}  // namespace convert
