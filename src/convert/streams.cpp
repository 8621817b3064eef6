#include "convert/streams.h"

#include <algorithm>


namespace convert {

std::string StreamName(const char* network, const char* station, const char* location, const char* channel) {
  return std::string(network) + "." + station + "." + location + "." + channel;
}

CStreamRule::Channel& CStreamRule::Of(const seed::RecordHeader& h) {
  if (Channel* c = m_Recent.channel; c && c->station == h.station && c->channel == h.channel) return *c;
  std::string key = std::string(h.station) + " " + h.channel;
  auto it = m_Channels.find(key);
  if (it == m_Channels.end()) {
    it = m_Channels.emplace(std::move(key), Channel{}).first;
    it->second.station = h.station;
    it->second.channel = h.channel;
  }
  m_Recent.channel = &it->second;
  return it->second;
}

void CStreamRule::Note(const seed::RecordHeader& h, double start, double end, double rate) {
  Channel& c = Of(h);
  auto [it, added] = c.seen.try_emplace(Stream{h.network, h.location});
  archive::ChannelWindow& w = it->second;
  if (added) {
    w = {start, end, rate};
  } else {
    w.begin = std::min(w.begin, start);
    w.end = std::max(w.end, end);
    w.minSps = std::min(w.minSps, rate);
  }
  c.decided = false;
}

void CStreamRule::Merge(const CStreamRule& other) {
  for (const auto& [key, o] : other.m_Channels) {
    auto [it, added] = m_Channels.try_emplace(key, Channel{});
    Channel& c = it->second;
    if (added) {
      c.station = o.station;
      c.channel = o.channel;
    }
    for (const auto& [stream, ow] : o.seen) {
      auto [wit, fresh] = c.seen.try_emplace(stream, ow);
      if (fresh) continue;
      archive::ChannelWindow& w = wit->second;
      w.begin = std::min(w.begin, ow.begin);
      w.end = std::max(w.end, ow.end);
      w.minSps = std::min(w.minSps, ow.minSps);
    }
    c.decided = false;
  }
}

void CStreamRule::Decide(Channel& c) {
  if (!c.decided && !c.seen.empty()) {
    c.kept = c.seen.begin()->first;
    c.decided = true;
  }
}

bool CStreamRule::Keeps(const seed::RecordHeader& h) {
  Channel& c = Of(h);
  Decide(c);
  const Stream s{h.network, h.location};
  if (!c.decided) {
    c.kept = s;
    c.decided = true;
  }
  if (c.kept == s) return true;
  ++c.leftOut[s];
  ++m_LeftOut;
  return false;
}

std::set<std::string> CStreamRule::Stations() const {
  std::set<std::string> stations;
  for (const auto& [key, c] : m_Channels) stations.insert(c.station);
  return stations;
}

std::map<archive::ChannelKey, archive::ChannelWindow> CStreamRule::Windows() const {
  std::map<archive::ChannelKey, archive::ChannelWindow> windows;
  for (const auto& [key, c] : m_Channels) {
    if (c.seen.empty()) continue;
    windows[{c.station, c.channel}] = c.seen.begin()->second;
  }
  return windows;
}

std::vector<std::string> CStreamRule::Report() const {
  std::vector<const Channel*> ordered;
  for (const auto& [key, c] : m_Channels)
    if (!c.leftOut.empty()) ordered.push_back(&c);
  std::sort(ordered.begin(), ordered.end(), [](const Channel* a, const Channel* b) {
    return a->station != b->station ? a->station < b->station : a->channel < b->channel;
  });
  std::vector<std::string> lines;
  for (const Channel* c : ordered) {
    const std::string kept =
        StreamName(c->kept.network.c_str(), c->station.c_str(), c->kept.location.c_str(), c->channel.c_str());
    for (const auto& [s, records] : c->leftOut)
      lines.push_back(StreamName(s.network.c_str(), c->station.c_str(), s.location.c_str(), c->channel.c_str()) +
                      ": " + std::to_string(records) +
                      " records not converted: the archive keeps one stream per station and channel, " + kept +
                      " here (--locations or --networks chooses)");
  }
  return lines;
}

}  // namespace convert
