#include "store/stainfo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "archive/datafilename.h"
#include "platform/diag.h"

CChanInfo::CChanInfo(const char* name, double sps)
    : m_SpS(sps), m_Name(name), m_Data(new float[kChanBufferSamples]), m_Seg(m_Data.get()) {}

CSta::CSta(const char* name) : m_Name(name) {}

CStaInfo::CStaInfo(odbc::Connection* database, IRegistrar* registrar)
    : m_pDatabase(database),
      m_pRegistrar(registrar),
      m_OpenLimit(DefaultOpenFileLimit()),
      m_PendingBudget(kDefaultPendingBudget) {
  if (!m_pRegistrar && m_pDatabase) {
    m_OwnTarget = std::make_unique<CFileListTarget>(*m_pDatabase);
    m_OwnRegistrar = std::make_unique<CStrictRegistration>(*m_OwnTarget);
    m_pRegistrar = m_OwnRegistrar.get();
  }
}

CStaInfo::~CStaInfo() {
  // WriteAll or Abandon has written what waited; a registration failing
  // here has nobody left to tell.
  try {
    CloseFiles();
  } catch (...) {
  }
}

StoreStats& StoreStats::operator+=(const StoreStats& o) {
  filesCreated += o.filesCreated;
  filesExtended += o.filesExtended;
  rowsRegistered += o.rowsRegistered;
  rowsOfRunFiles += o.rowsOfRunFiles;
  segmentsNotStored += o.segmentsNotStored;
  samplesNotStored += o.samplesNotStored;
  samplesWritten += o.samplesWritten;
  samplesDuplicate += o.samplesDuplicate;
  samplesConflicting += o.samplesConflicting;
  conflictStretches += o.conflictStretches;
  closeErrors += o.closeErrors;
  return *this;
}

void CStaInfo::SetPath(const char* path) { m_Path = path ? path : ""; }

unsigned CStaInfo::FindSta(const char* sta) {
  std::string code(sta);
  auto it = m_StaIndex.find(code);
  if (it != m_StaIndex.end()) return it->second;
  m_StaList.push_back(std::make_unique<CSta>(sta));
  const auto index = static_cast<unsigned>(m_StaList.size() - 1);
  m_StaIndex.emplace(std::move(code), index);
  return index;
}

unsigned CStaInfo::FindChan(unsigned sta, const char* chan, double sps) {
  CSta& station = *m_StaList[sta];
  std::string code(chan);
  auto it = station.m_ChanIndex.find(code);
  if (it != station.m_ChanIndex.end()) return it->second;
  station.m_ChanList.push_back(std::make_unique<CChanInfo>(chan, sps));
  const auto index = static_cast<unsigned>(station.m_ChanList.size() - 1);
  station.m_ChanIndex.emplace(std::move(code), index);
  return index;
}

namespace {

// Station and channel at fixed byte places, so that different pairs never
// share a key; 0 when either is too long for the table.
uint64_t PackCodes(const char* sta, const char* chan) {
  uint64_t key = 0;
  for (int i = 0; sta[i]; ++i) {
    if (i == 5) return 0;
    key |= uint64_t{static_cast<unsigned char>(sta[i])} << (8 * i);
  }
  for (int i = 0; chan[i]; ++i) {
    if (i == 3) return 0;
    key |= uint64_t{static_cast<unsigned char>(chan[i])} << (8 * (5 + i));
  }
  return key;
}

size_t SlotOf(uint64_t key, size_t mask) { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask; }

}  // namespace

CChanInfo& CStaInfo::Locate(const char* sta, const char* chan, double sps, unsigned& i, unsigned& j) {
  const uint64_t key = PackCodes(sta, chan);
  if (key != 0 && !m_ChanSlots.empty()) {
    const size_t mask = m_ChanSlots.size() - 1;
    for (size_t k = SlotOf(key, mask);; k = (k + 1) & mask) {
      const ChanSlot& slot = m_ChanSlots[k];
      if (slot.key == key) {
        i = slot.sta;
        j = slot.chan;
        return *slot.info;
      }
      if (slot.key == 0) break;
    }
  }
  i = FindSta(sta);
  j = FindChan(i, chan, sps);
  CChanInfo& info = *m_StaList[i]->m_ChanList[j];
  if (key == 0) return info;
  if (2 * (m_ChanSlotsUsed + 1) > m_ChanSlots.size()) {
    std::vector<ChanSlot> old(std::max<size_t>(64, 2 * m_ChanSlots.size()));
    old.swap(m_ChanSlots);
    for (const ChanSlot& slot : old)
      if (slot.key != 0) {
        size_t k = SlotOf(slot.key, m_ChanSlots.size() - 1);
        while (m_ChanSlots[k].key != 0) k = (k + 1) & (m_ChanSlots.size() - 1);
        m_ChanSlots[k] = slot;
      }
  }
  size_t k = SlotOf(key, m_ChanSlots.size() - 1);
  while (m_ChanSlots[k].key != 0) k = (k + 1) & (m_ChanSlots.size() - 1);
  m_ChanSlots[k] = ChanSlot{key, i, j, &info};
  ++m_ChanSlotsUsed;
  return info;
}

void CStaInfo::RestartSegment(CChanInfo& chan, double tBegin, double duration, int count) {
  chan.m_SegQty = duration;
  chan.m_SegBegin = tBegin;
  chan.m_Count = count;
}

void CStaInfo::AddData(const char* sta, const char* chan, double sps, double tBegin, int count,
                       const float* samples) {
  // A record larger than the channel buffer goes in as consecutive pieces,
  // each of which the joining below treats as a record of its own.
  if (count > kChanBufferSamples) {
    for (int done = 0; done < count; done += kMaxSegmentSamples) {
      const int piece = std::min(kMaxSegmentSamples, count - done);
      AddData(sta, chan, sps, tBegin + done * (1.0 / sps), piece, samples + done);
    }
    return;
  }
  float* to = Place(sta, chan, sps, tBegin, count);
  if (count > 0) std::memcpy(to, samples, sizeof(float) * static_cast<size_t>(count));
}

float* CStaInfo::Place(const char* sta, const char* chan, double sps, double tBegin, int count) {
  unsigned i, j;
  CChanInfo& c = Locate(sta, chan, sps, i, j);
  const double h = 1.0 / sps;
  const double d = count * h;
  // Written so that a NaN makes the comparison false: not continuing.
  const bool continues = std::fabs(c.m_SegQty + c.m_SegBegin - tBegin) <= h;
  const bool sameRate = SameRate(c.m_SpS, sps);
  if (!continues || !sameRate || c.m_Count + count > kMaxSegmentSamples || c.m_SpS <= 1.0) {
    WriteChan(i, j);
    if (!sameRate) ChangeRate(*m_StaList[i], c, sps, tBegin);
    RestartSegment(c, tBegin, d, count);
    return c.m_Seg = SegmentBuffer(c);
  }
  float* to = c.m_Seg + c.m_Count;
  c.m_Count += count;
  c.m_SegQty += d;
  return to;
}

bool SameRate(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(a, b); }

// A file's header and row carry one rate for all its samples: the samples
// at the new rate go into a new file, whatever their times.
void CStaInfo::ChangeRate(const CSta& s, CChanInfo& c, double sps, double at) {
  const archive::Calendar t = archive::Breakdown(at);
  platform::DebugOutputF("%s %s: rate %g \u2192 %g sps at %04d-%02d-%02d %02d:%02d:%02d\n", s.m_Name.c_str(),
                         c.m_Name.c_str(), c.m_SpS, sps, t.year, t.month, t.day, t.hour, t.minute, t.second);
  c.m_SpS = sps;
  c.m_TBegin = c.m_TQty = 0;
}

void CStaInfo::WriteAll() {
  for (unsigned i = 0; i < m_StaList.size(); ++i)
    for (unsigned j = 0; j < m_StaList[i]->m_ChanList.size(); ++j) WriteChan(i, j);
  CloseFiles();
  for (const auto& sta : m_StaList)
    for (const auto& chan : sta->m_ChanList) ReportConflict(*sta, *chan);
  m_NotStored.Flush();
}

void CStaInfo::Abandon() {
  // Appends still waiting for their write go the way of the segments in
  // hand: writing them would register them too, on the database that failed.
  for (const auto& sta : m_StaList)
    for (const auto& chan : sta->m_ChanList)
      if (chan->m_Pending && !chan->m_Pending->Empty()) {
        m_Stats.segmentsNotStored += chan->m_Pending->ends.size();
        m_Stats.samplesNotStored += chan->m_Pending->bytes.size() / sizeof(float);
        chan->m_Pending->Clear();
      }
  CloseFiles();
  m_NotStored.Flush();
  for (const auto& sta : m_StaList)
    for (const auto& chan : sta->m_ChanList) {
      ReportConflict(*sta, *chan);
      if (chan->m_Count > 0) {
        ++m_Stats.segmentsNotStored;
        m_Stats.samplesNotStored += static_cast<uint64_t>(chan->m_Count);
        chan->m_Count = 0;
      }
    }
}

void CStaInfo::CountRegistration(const char* cpath) {
  ++m_Stats.rowsRegistered;
  m_Registered.insert(cpath);
  m_Stats.rowsOfRunFiles = m_Registered.size();
}
