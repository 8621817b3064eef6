#include "archive/coveragesvg.h"

#include <cstdio>

#include "archive/isotime.h"

namespace archive {
namespace {

std::string Xml(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // XML 1.0 allows no control characters; codes from a foreign table might hold them.
        out += c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
    }
  }
  return out;
}

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

void Rects(std::string& out, const std::vector<PixelBar>& bars, int y, int height) {
  for (const PixelBar& b : bars)
    out += "<rect x=\"" + Num(b.x0) + "\" y=\"" + std::to_string(y) + "\" width=\"" + Num(b.x1 - b.x0) +
           "\" height=\"" + std::to_string(height) + "\"/>\n";
}

std::string Day(double t) { return FormatIsoTime(t).substr(0, 19).replace(10, 1, " "); }

}  // namespace

std::string CSvgCoverageWriter::Write(const Coverage& cov, const std::string& archive) const {
  using L = SvgLayout;
  const TimeAxis axis = L::Axis(cov);
  const int height = L::Height(cov.channels.size());
  const int plotBottom = L::RowTop(cov.channels.size());
  const std::string w = std::to_string(L::kWidth), h = std::to_string(height);
  const std::string title = "Coverage of " + archive;
  const std::string window = Day(cov.window.from) + " to " + Day(cov.window.to) + " UTC (" +
                             FormatDuration(cov.Seconds()) + "), " + std::to_string(cov.channels.size()) +
                             (cov.channels.size() == 1 ? " channel" : " channels");

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
                    "\" viewBox=\"0 0 " + w + " " + h + "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"11\">\n";
  out += "<title>" + Xml(title + ": " + window) + "</title>\n";
  out += "<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"#ffffff\"/>\n";
  out += "<text x=\"" + std::to_string(L::kWidth / 2) + "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\">" +
         Xml(title) + "</text>\n";
  out += "<text x=\"" + std::to_string(L::kWidth / 2) + "\" y=\"42\" text-anchor=\"middle\">" + Xml(window) + "</text>\n";

  out += "<g id=\"rows\" fill=\"" + std::string(kRowColour) + "\">\n";
  for (size_t i = 0; i < cov.channels.size(); ++i)
    out += "<rect x=\"" + Num(axis.left) + "\" y=\"" + std::to_string(L::RowTop(i) + 1) + "\" width=\"" +
           Num(axis.width) + "\" height=\"" + std::to_string(L::kRowHeight - 2) + "\"/>\n";
  out += "</g>\n";

  const std::vector<AxisTick> ticks = AxisTicks(cov.window.from, cov.window.to, L::kMaxTicks);
  out += "<g id=\"grid\" stroke=\"#c8ced4\" stroke-width=\"1\">\n";
  for (const AxisTick& t : ticks) {
    const std::string x = Num(axis.X(t.t));
    out += "<line x1=\"" + x + "\" y1=\"" + std::to_string(L::kTop) + "\" x2=\"" + x + "\" y2=\"" +
           std::to_string(plotBottom + 4) + "\"/>\n";
  }
  out += "</g>\n<g id=\"axis\" text-anchor=\"middle\">\n";
  for (const AxisTick& t : ticks)
    out += "<text x=\"" + Num(axis.X(t.t)) + "\" y=\"" + std::to_string(plotBottom + 17) + "\">" + Xml(t.label) +
           "</text>\n";
  out += "<text x=\"" + Num(axis.left + axis.width / 2) + "\" y=\"" + std::to_string(plotBottom + 33) +
         "\" fill=\"#555555\">time (UTC)</text>\n</g>\n";

  const int inset = (L::kRowHeight - L::kBarHeight) / 2;
  for (size_t i = 0; i < cov.channels.size(); ++i) {
    const ChannelCoverage& c = cov.channels[i];
    const int top = L::RowTop(i);
    char summary[160];
    std::snprintf(summary, sizeof summary, ": %zu spans, %zu gaps, %zu overlaps, %.2f%% covered", c.spans.size(),
                  c.gaps.size(), c.overlaps.size(), cov.Percent(c));
    out += "<g class=\"channel\">\n<title>" +
           Xml(c.station + " " + c.channel + summary) + "</title>\n";
    out += "<text x=\"" + std::to_string(L::kLabelWidth - 8) + "\" y=\"" + std::to_string(top + L::kRowHeight - 5) +
           "\" text-anchor=\"end\">" + Xml(c.station + " " + c.channel) + "</text>\n";
    out += "<g class=\"spans\" fill=\"" + std::string(kSpanColour) + "\">\n";
    Rects(out, SpanBars(c.spans, axis), top + inset, L::kBarHeight);
    out += "</g>\n";
    if (!c.overlaps.empty()) {
      out += "<g class=\"overlaps\" fill=\"" + std::string(kOverlapColour) + "\">\n";
      Rects(out, IntervalBars(c.overlaps, axis), top + 1, L::kRowHeight - 2);
      out += "</g>\n";
    }
    out += "</g>\n";
  }
  out += "</svg>\n";
  return out;
}

}  // namespace archive
