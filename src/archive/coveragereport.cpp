#include "archive/coveragereport.h"

#include <algorithm>
#include <cstdio>

#include "archive/coveragesvg.h"
#include "archive/isotime.h"

namespace archive {
namespace {

std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Seconds(double s) { return Printf("%.6f", s); }

std::string Rates(const ChannelCoverage& c) {
  std::string text;
  for (double r : c.Rates()) text += (text.empty() ? "" : ",") + FormatRate(r);
  return text;
}

std::string Padded(std::string text, size_t width, bool right = false) {
  if (text.size() >= width) return text;
  return right ? std::string(width - text.size(), ' ') + text : text + std::string(width - text.size(), ' ');
}

// A channel's spans, gaps and overlaps in time order.
struct Item {
  const char* kind;
  double begin, end;
  const CoverageSpan* span;
};
std::vector<Item> Items(const ChannelCoverage& c) {
  std::vector<Item> items;
  for (const CoverageSpan& s : c.spans) items.push_back({"span", s.begin, s.end, &s});
  for (const CoverageInterval& g : c.gaps) items.push_back({"gap", g.begin, g.end, nullptr});
  for (const CoverageInterval& o : c.overlaps) items.push_back({"overlap", o.begin, o.end, nullptr});
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.begin < b.begin; });
  return items;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      // Codes are ASCII; any other byte is written as its own code point so the output stays valid.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonInterval(const CoverageInterval& i) {
  return "{\"begin\": \"" + FormatIsoTime(i.begin) + "\", \"end\": \"" + FormatIsoTime(i.end) +
         "\", \"seconds\": " + Seconds(i.Seconds()) + "}";
}

}  // namespace

std::string FormatRate(double sps) {
  return Printf("%.9g", sps);
}

std::unique_ptr<ICoverageWriter> MakeCoverageWriter(const std::string& format) {
  if (format == "text") return std::make_unique<CTextCoverageWriter>();
  if (format == "csv") return std::make_unique<CCsvCoverageWriter>();
  if (format == "json") return std::make_unique<CJsonCoverageWriter>();
  if (format == "svg") return std::make_unique<CSvgCoverageWriter>();
  return nullptr;
}

std::string CTextCoverageWriter::Write(const Coverage& cov, const std::string& archive) const {
  std::string out = "Coverage of " + archive + "\n";
  out += "window " + FormatIsoTime(cov.window.from) + " to " + FormatIsoTime(cov.window.to) + " (" +
         FormatDuration(cov.Seconds()) + "), " + std::to_string(cov.channels.size()) + " channel" +
         (cov.channels.size() == 1 ? "" : "s") + ", " + std::to_string(cov.rows) + " FILELIST rows";
  if (cov.rowsUnusable) out += ", " + std::to_string(cov.rowsUnusable) + " without a rate or length left out";
  out += "\n";
  if (cov.channels.empty()) return out;

  size_t staWidth = 7, chWidth = 7;
  for (const ChannelCoverage& c : cov.channels) {
    staWidth = std::max(staWidth, c.station.size());
    chWidth = std::max(chWidth, c.channel.size());
  }
  out += "\n" + Padded("STATION", staWidth) + "  " + Padded("CHANNEL", chWidth) + "  " + Padded("SPS", 8, true) +
         "  " + Padded("FILES", 7, true) + "  " + Padded("SPANS", 6, true) + "  " + Padded("GAPS", 6, true) + "  " +
         Padded("OVERLAPS", 8, true) + "  " + Padded("COVERED", 16, true) + "  " + Padded("%", 7, true) + "\n";
  for (const ChannelCoverage& c : cov.channels)
    out += Padded(c.station, staWidth) + "  " + Padded(c.channel, chWidth) + "  " + Padded(Rates(c), 8, true) + "  " +
           Padded(std::to_string(c.Files()), 7, true) + "  " + Padded(std::to_string(c.spans.size()), 6, true) +
           "  " + Padded(std::to_string(c.gaps.size()), 6, true) + "  " +
           Padded(std::to_string(c.overlaps.size()), 8, true) + "  " + Padded(FormatDuration(c.covered), 16, true) +
           "  " + Padded(Printf("%.2f", cov.Percent(c)), 7, true) + "\n";
  for (const ChannelCoverage& c : cov.channels) {
    out += "\n" + c.station + " " + c.channel + "\n";
    for (const Item& i : Items(c)) {
      out += "  " + Padded(i.kind, 8) + FormatIsoTime(i.begin) + "  " + FormatIsoTime(i.end) + "  " +
             Padded(FormatDuration(i.end - i.begin), 16, true);
      if (i.span)
        out += "  " + std::to_string(i.span->files) + (i.span->files == 1 ? " file" : " files") + ", " +
               FormatRate(i.span->sps) + " sps" + (i.span->overlapping ? ", overlapping" : "");
      out += "\n";
    }
  }
  return out;
}

std::string CCsvCoverageWriter::Write(const Coverage& cov, const std::string&) const {
  std::string out = "station,channel,kind,begin,end,seconds,sps,files,overlapping\n";
  for (const ChannelCoverage& c : cov.channels)
    for (const Item& i : Items(c)) {
      out += CsvField(c.station) + "," + CsvField(c.channel) + "," + i.kind + "," + FormatIsoTime(i.begin) + "," +
             FormatIsoTime(i.end) + "," + Seconds(i.end - i.begin) + ",";
      if (i.span)
        out += FormatRate(i.span->sps) + "," + std::to_string(i.span->files) + "," +
               (i.span->overlapping ? "yes" : "no");
      else
        out += ",,";
      out += "\n";
    }
  return out;
}

std::string CJsonCoverageWriter::Write(const Coverage& cov, const std::string& archive) const {
  std::string out = "{\n  \"archive\": " + JsonString(archive) + ",\n  \"from\": \"" + FormatIsoTime(cov.window.from) +
                    "\",\n  \"to\": \"" + FormatIsoTime(cov.window.to) + "\",\n  \"seconds\": " +
                    Seconds(cov.Seconds()) + ",\n  \"rows\": " + std::to_string(cov.rows) +
                    ",\n  \"rows_unusable\": " + std::to_string(cov.rowsUnusable) + ",\n  \"channels\": [";
  for (size_t n = 0; n < cov.channels.size(); ++n) {
    const ChannelCoverage& c = cov.channels[n];
    out += std::string(n ? "," : "") + "\n    {\"station\": " + JsonString(c.station) +
           ", \"channel\": " + JsonString(c.channel) + ", \"sample_rates\": [" + Rates(c) +
           "], \"files\": " + std::to_string(c.Files()) + ", \"covered_seconds\": " + Seconds(c.covered) +
           ", \"percent\": " + Printf("%.4f", cov.Percent(c)) + ",\n     \"spans\": [";
    for (size_t i = 0; i < c.spans.size(); ++i) {
      const CoverageSpan& s = c.spans[i];
      out += std::string(i ? ", " : "") + "{\"begin\": \"" + FormatIsoTime(s.begin) + "\", \"end\": \"" +
             FormatIsoTime(s.end) + "\", \"seconds\": " + Seconds(s.Seconds()) + ", \"sps\": " + FormatRate(s.sps) +
             ", \"files\": " + std::to_string(s.files) + ", \"overlapping\": " + (s.overlapping ? "true" : "false") +
             "}";
    }
    out += "],\n     \"gaps\": [";
    for (size_t i = 0; i < c.gaps.size(); ++i) out += (i ? ", " : "") + JsonInterval(c.gaps[i]);
    out += "],\n     \"overlaps\": [";
    for (size_t i = 0; i < c.overlaps.size(); ++i) out += (i ? ", " : "") + JsonInterval(c.overlaps[i]);
    out += "]}";
  }
  out += "\n  ]\n}\n";
  return out;
}

}  // namespace archive
