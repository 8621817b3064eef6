#pragma once
// Which records a run converts: stations and channels by code or shell
// pattern, and shards, so that N runs over the same input convert all of it
// exactly once.
#include <cstdint>
#include <string>
#include <vector>

namespace convert {

class CSelection {
 public:
  // Comma-separated codes or shell patterns ("BH?,LHZ"); empty selects all.
  void SetStations(const std::string& list) { m_Stations = SplitList(list); }
  void SetChannels(const std::string& list) { m_Channels = SplitList(list); }
  // Location codes take "--" for the blank location.
  void SetLocations(const std::string& list) { m_Locations = SplitList(list); }
  void SetNetworks(const std::string& list) { m_Networks = SplitList(list); }
  // Stations whose code falls into group shard (1 to shards) of shards.
  void SetShard(unsigned shard, unsigned shards) {
    m_Shard = shard;
    m_Shards = shards;
  }
  bool SelectsAll() const {
    return m_Stations.empty() && m_Channels.empty() && m_Locations.empty() && m_Networks.empty() && m_Shards <= 1;
  }
  bool Selects(const char* network, const char* station, const char* location, const char* channel) const;

  static std::vector<std::string> SplitList(const std::string& list);

 private:
  std::vector<std::string> m_Stations, m_Channels, m_Locations, m_Networks;
  unsigned m_Shard = 1, m_Shards = 1;
};

// FNV-1a of a code's bytes, continuing from hash: the same on every machine
// and in every release, which shards rely on.
constexpr uint32_t kCodeHashBasis = 2166136261u;
inline uint32_t CodeHash(const char* code, uint32_t hash = kCodeHashBasis) {
  for (const char* p = code; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
  return hash;
}

// The group (1 to shards) of a station code, by CodeHash.
unsigned ShardOf(const char* station, unsigned shards);

// "K/N" with 1 <= K <= N; false otherwise.
bool ParseShard(const std::string& text, unsigned& shard, unsigned& shards);

}  // namespace convert
