#include "convert/selection.h"

#include <fnmatch.h>

namespace convert {
namespace {

// How a blank location code is named in a list.
const char* LocationName(const char* location) { return *location ? location : "--"; }

}  // namespace

void CCodeList::Set(const std::string& list) {
  m_Items = CSelection::SplitList(list);
  m_Met.assign(m_Items.size(), false);
}

bool CCodeList::Matches(const char* code) const {
  if (m_Items.empty()) return true;
  for (const std::string& p : m_Items)
    if (::fnmatch(p.c_str(), code, 0) == 0) return true;
  return false;
}

bool CCodeList::Take(const char* code) {
  if (m_Items.empty()) return true;
  bool any = false;
  // Every item is tried, not only up to the first that matches: each must be known to have met a record.
  for (size_t i = 0; i < m_Items.size(); ++i)
    if (::fnmatch(m_Items[i].c_str(), code, 0) == 0) any = m_Met[i] = true;
  return any;
}

std::vector<std::string> CCodeList::Unmatched() const {
  std::vector<std::string> out;
  for (size_t i = 0; i < m_Items.size(); ++i)
    if (!m_Met[i]) out.push_back(m_Option + " " + m_Items[i]);
  return out;
}

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
  return m_Stations.Matches(station) && m_Channels.Matches(channel) && m_Networks.Matches(network) &&
         m_Locations.Matches(LocationName(location));
}

bool CSelection::Take(const char* network, const char* station, const char* location, const char* channel) {
  // The lists are noted whatever the shard: an item met only by other shards' stations was no mistake.
  const bool stationMet = m_Stations.Take(station);
  const bool channelMet = m_Channels.Take(channel);
  const bool networkMet = m_Networks.Take(network);
  const bool locationMet = m_Locations.Take(LocationName(location));
  const bool inShard = m_Shards <= 1 || ShardOf(station, m_Shards) == m_Shard;
  m_ShardMet = m_ShardMet || inShard;
  return inShard && stationMet && channelMet && networkMet && locationMet;
}

std::vector<std::string> CSelection::Unmatched() const {
  std::vector<std::string> out;
  for (const CCodeList* list : Lists())
    for (std::string& item : list->Unmatched()) out.push_back(std::move(item));
  return out;
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
