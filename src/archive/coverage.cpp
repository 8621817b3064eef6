#include "archive/coverage.h"

#include <algorithm>

namespace archive {
namespace {

// What a time may be off by without a sample being missing: float noise,
// and 15 significant digits where a driver passes doubles as text (10 µs
// at today's times), so that one missing sample never reads as none.
constexpr double kRelativeSlack = 1e-3, kAbsoluteSlack = 2e-5;

bool SameRate(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(a, b); }

}  // namespace

bool Continues(double end, double begin, double sps) {
  const double period = 1.0 / sps;
  const double slack = std::min(std::max(kRelativeSlack * period, kAbsoluteSlack), period / 2);
  return std::fabs(begin - end) < period - slack;
}

std::vector<double> ChannelCoverage::Rates() const {
  std::vector<double> rates;
  for (const CoverageSpan& s : spans)
    if (std::none_of(rates.begin(), rates.end(), [&](double r) { return SameRate(r, s.sps); }))
      rates.push_back(s.sps);
  return rates;
}

uint64_t ChannelCoverage::Files() const {
  uint64_t n = 0;
  for (const CoverageSpan& s : spans) n += s.files;
  return n;
}

void CCoverageBuilder::Add(const CoverageRow& row) { Add(row.station, row.channel, row.sps, row.tBegin, row.tQty); }

CCoverageBuilder::Channel& CCoverageBuilder::Find(const std::string& station, const std::string& channel) {
  if (!m_Last || m_LastKey.first != station || m_LastKey.second != channel) {
    m_LastKey = {station, channel};
    m_Last = &m_Channels[m_LastKey];
  }
  return *m_Last;
}

void CCoverageBuilder::Add(const std::string& station, const std::string& channel, double sps, double tBegin,
                           double tQty) {
  ++m_Rows;
  const double end = tBegin + tQty;
  if (!(sps > 0) || !std::isfinite(sps) || !std::isfinite(tBegin) || !(tQty > 0) || !std::isfinite(end)) {
    ++m_Unusable;
    return;
  }
  if (!m_Window.Contains(tBegin, end)) return;
  Channel& c = Find(station, channel);
  const CoverageSpan piece{tBegin, end, sps, 1, false};
  if (tBegin < c.lastBegin) {
    c.late.push_back(piece);
    return;
  }
  c.lastBegin = tBegin;
  c.Merge(piece);
}

void CCoverageBuilder::Channel::Merge(const CoverageSpan& piece) {
  for (size_t i : {spans.size() - 1, reacher}) {
    if (i >= spans.size()) continue;
    CoverageSpan& s = spans[i];
    if (SameRate(s.sps, piece.sps) && Continues(s.end, piece.begin, piece.sps)) {
      s.end = std::max(s.end, piece.end);
      s.files += piece.files;
      if (s.end > spans[reacher].end) reacher = i;
      return;
    }
  }
  spans.push_back(piece);
  if (spans.size() == 1 || piece.end > spans[reacher].end) reacher = spans.size() - 1;
}

namespace {

void Clip(std::vector<CoverageSpan>& spans, const TimeWindow& w) {
  std::vector<CoverageSpan> kept;
  kept.reserve(spans.size());
  for (CoverageSpan s : spans) {
    s.begin = std::max(s.begin, w.from);
    s.end = std::min(s.end, w.to);
    if (s.end > s.begin) kept.push_back(s);
  }
  spans.swap(kept);
}

// Gaps, overlaps and the time covered of spans sorted by begin.
void Describe(ChannelCoverage& c, const TimeWindow& w) {
  double reach = w.from;  // the latest end so far
  size_t reacher = SIZE_MAX;
  for (size_t i = 0; i < c.spans.size(); ++i) {
    CoverageSpan& s = c.spans[i];
    if (s.begin > reach && !Continues(reach, s.begin, s.sps)) c.gaps.push_back({reach, s.begin});
    if (reacher != SIZE_MAX && s.begin < reach && !Continues(reach, s.begin, s.sps)) {
      c.overlaps.push_back({s.begin, std::min(reach, s.end)});
      s.overlapping = true;
      c.spans[reacher].overlapping = true;
    }
    c.covered += std::max(0.0, s.end - std::max(s.begin, reach));
    if (s.end > reach || reacher == SIZE_MAX) {
      reach = std::max(reach, s.end);
      reacher = i;
    }
  }
  const double lastRate = c.spans.empty() ? 0 : c.spans[reacher].sps;
  if (w.to > reach && !Continues(reach, w.to, lastRate)) c.gaps.push_back({reach, w.to});
}

}  // namespace

Coverage CCoverageBuilder::Finish() {
  Coverage out;
  out.rows = m_Rows;
  out.rowsUnusable = m_Unusable;
  double first = INFINITY, last = -INFINITY;
  for (auto& [key, c] : m_Channels) {
    if (!c.late.empty()) {
      std::vector<CoverageSpan> pieces = std::move(c.spans);
      pieces.insert(pieces.end(), c.late.begin(), c.late.end());
      std::stable_sort(pieces.begin(), pieces.end(),
                       [](const CoverageSpan& a, const CoverageSpan& b) { return a.begin < b.begin; });
      c.spans.clear();
      c.reacher = 0;
      for (const CoverageSpan& p : pieces) c.Merge(p);
      c.late.clear();
    }
    for (const CoverageSpan& s : c.spans) {
      first = std::min(first, s.begin);
      last = std::max(last, s.end);
    }
  }
  out.window = m_Window;
  if (std::isnan(out.window.from)) out.window.from = std::isfinite(first) ? first : 0;
  if (std::isnan(out.window.to)) out.window.to = std::isfinite(last) ? std::max(last, out.window.from) : out.window.from;
  for (auto& [key, c] : m_Channels) {
    ChannelCoverage cc;
    cc.station = key.first;
    cc.channel = key.second;
    cc.spans = std::move(c.spans);
    Clip(cc.spans, out.window);
    if (cc.spans.empty()) continue;
    Describe(cc, out.window);
    out.channels.push_back(std::move(cc));
  }
  m_Channels.clear();
  m_Last = nullptr;
  return out;
}

}  // namespace archive
