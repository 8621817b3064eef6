#pragma once
// Which records a run converts: stations and channels by code or shell
// pattern, and shards, so that N runs over the same input convert all of it
// exactly once. It also keeps which items of its lists met a record, so
// that a code mistyped (codes are case-sensitive) is not taken for a run
// that found nothing to do.
#include <cstdint>
#include <string>
#include <vector>

namespace convert {

// One option's comma-separated codes or shell patterns ("BH?,LHZ"); empty
// matches every code.
class CCodeList {
 public:
  explicit CCodeList(std::string option) : m_Option(std::move(option)) {}
  void Set(const std::string& list);
  bool Matches(const char* code) const;
  // Matches, and notes each item that code matches.
  bool Take(const char* code);
  bool Empty() const { return m_Items.empty(); }
  // "--stations NOSUCH" for each item that no code given to Take matched.
  std::vector<std::string> Unmatched() const;

 private:
  std::string m_Option;
  std::vector<std::string> m_Items;
  std::vector<bool> m_Met;
};

class CSelection {
 public:
  void SetStations(const std::string& list) { m_Stations.Set(list); }
  void SetChannels(const std::string& list) { m_Channels.Set(list); }
  // Location codes take "--" for the blank location.
  void SetLocations(const std::string& list) { m_Locations.Set(list); }
  void SetNetworks(const std::string& list) { m_Networks.Set(list); }
  // Stations whose code falls into group shard (1 to shards) of shards.
  void SetShard(unsigned shard, unsigned shards) {
    m_Shard = shard;
    m_Shards = shards;
  }
  bool SelectsAll() const {
    return m_Stations.Empty() && m_Channels.Empty() && m_Locations.Empty() && m_Networks.Empty() && m_Shards <= 1;
  }
  bool Selects(const char* network, const char* station, const char* location, const char* channel) const;
  // Selects, for a record that the run reads: notes which items it meets.
  bool Take(const char* network, const char* station, const char* location, const char* channel);
  // Every item of every list that no record taken met.
  std::vector<std::string> Unmatched() const;
  // A shard was asked for and no record taken fell into it.
  bool ShardGotNothing() const { return m_Shards > 1 && !m_ShardMet; }
  unsigned Shard() const { return m_Shard; }
  unsigned Shards() const { return m_Shards; }

  static std::vector<std::string> SplitList(const std::string& list);

 private:
  std::vector<const CCodeList*> Lists() const { return {&m_Stations, &m_Channels, &m_Locations, &m_Networks}; }
  CCodeList m_Stations{"--stations"}, m_Channels{"--channels"}, m_Locations{"--locations"}, m_Networks{"--networks"};
  unsigned m_Shard = 1, m_Shards = 1;
  bool m_ShardMet = false;
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
