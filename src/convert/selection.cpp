#include "convert/selection.h"

#include <fnmatch.h>

namespace convert {
namespace {

// How a blank location code is named in a list.
constexpr const char* kBlankLocation = "--";

bool MatchesAny(const std::vector<std::string>& patterns, const char* code) {
  if (patterns.empty()) return true;
  for (const std::string& p : patterns)
    if (::fnmatch(p.c_str(), code, 0) == 0) return true;
  return false;
}

}  // namespace

std::vector<std::string> CSelection::SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) items.push_back(std::move(item));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

bool CSelection::Selects(const char* network, const char* station, const char* location,
                         const char* channel) const {
  if (m_Shards > 1 && ShardOf(station, m_Shards) != m_Shard) return false;
  return MatchesAny(m_Stations, station) && MatchesAny(m_Channels, channel) && MatchesAny(m_Networks, network) &&
         MatchesAny(m_Locations, *location ? location : kBlankLocation);
}

unsigned ShardOf(const char* station, unsigned shards) {
  return shards ? CodeHash(station) % shards + 1 : 1;
}

bool ParseShard(const std::string& text, unsigned& shard, unsigned& shards) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
  const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
  if (k.find_first_not_of("0123456789") != std::string::npos || n.find_first_not_of("0123456789") != std::string::npos ||
      k.size() > 6 || n.size() > 6)
    return false;
  shard = static_cast<unsigned>(std::stoul(k));
  shards = static_cast<unsigned>(std::stoul(n));
  return shard >= 1 && shard <= shards;
}

}  // namespace convert
