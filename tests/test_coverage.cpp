// Coverage from FILELIST rows: spans, gaps and overlaps, the writers, the
// SVG's geometry, reading the table on every backend, and --coverage.
#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archivereader.h"
#include "archive/coverage.h"
#include "archive/coveragereport.h"
#include "archive/coveragesvg.h"
#include "archive/isotime.h"
#include "platform/odbc.h"
#include "support/dbfixture.h"
#include "support/localarchive.h"

namespace {

using archive::CCoverageBuilder;
using archive::Coverage;
using archive::CoverageRow;
using archive::TimeWindow;

constexpr double kT0 = 1710460800;  // 2024-03-15 00:00:00

struct Expected {
  std::vector<std::pair<double, double>> spans;  // relative to kT0
  std::vector<std::pair<double, double>> gaps, overlaps;
  double covered;
};

void ExpectIntervals(const std::vector<std::pair<double, double>>& want, const std::vector<double>& begins,
                     const std::vector<double>& ends, const char* what) {
  ASSERT_EQ(begins.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(begins[i] - kT0, want[i].first, 1e-6) << what << " " << i;
    EXPECT_NEAR(ends[i] - kT0, want[i].second, 1e-6) << what << " " << i;
  }
}

template <typename T>
void ExpectIntervals(const std::vector<std::pair<double, double>>& want, const std::vector<T>& got, const char* what) {
  std::vector<double> b, e;
  for (const T& x : got) b.push_back(x.begin), e.push_back(x.end);
  ExpectIntervals(want, b, e, what);
}

TEST(Coverage, SpansGapsAndOverlapsOfOneChannel) {
  // Files of 100 sps (a sample is 0.01 s) as {begin, seconds}, relative to kT0.
  struct Case {
    const char* name;
    std::vector<std::pair<double, double>> files;
    TimeWindow window;  // relative to kT0; open by default
    Expected want;
    std::vector<double> rates = {};  // per file, 100 when empty
  } cases[] = {
      {"back to back", {{0, 10}, {10, 10}, {20, 5}}, {}, {{{0, 25}}, {}, {}, 25}},
      {"less than a sample late or early", {{0, 10}, {10.009, 10}, {20.0, 10}}, {}, {{{0, 30}}, {}, {}, 30}},
      {"a missing sample is a gap", {{0, 10}, {10.01, 10}}, {}, {{{0, 10}, {10.01, 20.01}}, {{10, 10.01}}, {}, 20}},
      {"also when read back to 15 digits", {{0, 10}, {10.009991, 10}}, {},
       {{{0, 10}, {10.009991, 20.009991}}, {{10, 10.009991}}, {}, 20}},
      {"an hour missing", {{0, 3600}, {7200, 3600}}, {}, {{{0, 3600}, {7200, 10800}}, {{3600, 7200}}, {}, 7200}},
      {"a second read twice", {{0, 10}, {9, 10}}, {}, {{{0, 10}, {9, 19}}, {}, {{9, 10}}, 19}},
      {"a file inside another", {{0, 100}, {20, 10}, {100, 10}}, {},
       {{{0, 110}, {20, 30}}, {}, {{20, 30}}, 110}},
      {"a rate change starts a span, not a gap", {{0, 10}, {10, 10}}, {}, {{{0, 10}, {10, 20}}, {}, {}, 20},
       {100, 50}},
      {"a window cuts spans and its edges are gaps", {{0, 10}, {20, 10}}, {TimeWindow{kT0 + 5, kT0 + 40}},
       {{{5, 10}, {20, 30}}, {{10, 20}, {30, 40}}, {}, 15}},
      {"a window before the first file", {{10, 10}}, {TimeWindow{kT0, kT0 + 20}}, {{{10, 20}}, {{0, 10}}, {}, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCoverageBuilder builder(c.window);
    for (size_t i = 0; i < c.files.size(); ++i)
      builder.Add("ST01", "BHZ", c.rates.empty() ? 100 : c.rates[i], kT0 + c.files[i].first, c.files[i].second);
    const Coverage cov = builder.Finish();
    ASSERT_EQ(cov.channels.size(), 1u);
    const archive::ChannelCoverage& ch = cov.channels[0];
    ExpectIntervals(c.want.spans, ch.spans, "spans");
    ExpectIntervals(c.want.gaps, ch.gaps, "gaps");
    ExpectIntervals(c.want.overlaps, ch.overlaps, "overlaps");
    EXPECT_NEAR(ch.covered, c.want.covered, 1e-6);
    EXPECT_EQ(ch.Files(), c.files.size());
    for (const auto& s : ch.spans) EXPECT_EQ(s.overlapping, !c.want.overlaps.empty());
  }
}

TEST(Coverage, WindowTotalsAcrossChannelsAndRowsInAnyOrder) {
  std::vector<CoverageRow> rows;
  for (int h = 0; h < 24; ++h) {
    if (h != 5) rows.push_back({"ST01", "BHZ", 20, kT0 + h * 3600.0, 3600});
    if (h < 12) rows.push_back({"ST02", "HHZ", 100, kT0 + h * 3600.0, 3600});  // stopped at noon
  }
  rows.push_back({"ST03", "BHZ", 0, kT0, 3600});         // no rate
  rows.push_back({"ST03", "BHZ", 20, kT0, -1});          // no length
  const auto build = [](const std::vector<CoverageRow>& in) {
    CCoverageBuilder b;
    for (const CoverageRow& r : in) b.Add(r);
    return b.Finish();
  };
  const Coverage ordered = build(rows);
  std::vector<CoverageRow> shuffled = rows;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  const Coverage mixed = build(shuffled);
  const archive::CJsonCoverageWriter json;
  EXPECT_EQ(json.Write(mixed, "x"), json.Write(ordered, "x"));

  EXPECT_DOUBLE_EQ(ordered.window.from, kT0);
  EXPECT_DOUBLE_EQ(ordered.window.to, kT0 + 86400);
  EXPECT_EQ(ordered.rowsUnusable, 2u);
  ASSERT_EQ(ordered.channels.size(), 2u);
  EXPECT_NEAR(ordered.Percent(ordered.channels[0]), 100.0 * 23 / 24, 1e-9);
  EXPECT_NEAR(ordered.Percent(ordered.channels[1]), 50.0, 1e-9);
  ExpectIntervals({{12 * 3600.0, 86400}}, ordered.channels[1].gaps, "the day's end a gap");
}

TEST(Coverage, IsoTimesKeepMicroseconds) {
  EXPECT_EQ(archive::FormatIsoTime(kT0 + 6 * 3600 + 0.000001), "2024-03-15T06:00:00.000001Z");
  EXPECT_EQ(archive::FormatIsoTime(-0.5), "1969-12-31T23:59:59.500000Z");
  const struct {
    const char* text;
    double t;
  } good[] = {{"2024-03-15", kT0}, {"2024-03-15T06:00", kT0 + 21600}, {"2024-03-15T06:00:00Z", kT0 + 21600},
              {"2024-03-15T06:00:01.25", kT0 + 21601.25}, {"2024-02-29", kT0 - 15 * 86400}};
  for (const auto& g : good) {
    double t = 0;
    EXPECT_TRUE(archive::ParseIsoTime(g.text, t)) << g.text;
    EXPECT_DOUBLE_EQ(t, g.t) << g.text;
  }
  for (const char* bad : {"2024-3-15", "2023-02-29", "2024-03-15T24:00:00", "2024-03-15T06", "2024-03-15x", "",
                          "2024-03-15T06:00:00.", "now"}) {
    double t = 0;
    EXPECT_FALSE(archive::ParseIsoTime(bad, t)) << bad;
  }
  EXPECT_EQ(archive::FormatDuration(90061.5), "1d 01:01:01.5");
  EXPECT_EQ(archive::FormatDuration(0.01), "00:00:00.01");
}

TEST(Coverage, AxisTicksSuitTheWindow) {
  const struct {
    double length;
    const char* first;
    const char* second;
  } cases[] = {{6 * 3600.0, "03-15 00:00", "03-15 01:00"},
               {10 * 86400.0, "2024-03-15", "2024-03-16"},
               {365 * 86400.0, "2024-04", "2024-05"}};
  for (const auto& c : cases) {
    const auto ticks = archive::AxisTicks(kT0, kT0 + c.length, archive::SvgLayout::kMaxTicks);
    ASSERT_GE(ticks.size(), 4u) << c.length;
    EXPECT_LE(ticks.size(), static_cast<size_t>(archive::SvgLayout::kMaxTicks));
    EXPECT_EQ(ticks[0].label, c.first);
    EXPECT_EQ(ticks[1].label, c.second);
  }
}

TEST(Coverage, CsvHasOneSpanGapOrOverlapALine) {
  CCoverageBuilder b(TimeWindow{kT0, kT0 + 40});
  b.Add("ST01", "BHZ", 100, kT0, 10);
  b.Add("ST01", "BHZ", 100, kT0 + 9, 11);
  b.Add("ST01", "BHZ", 100, kT0 + 30, 10);
  EXPECT_EQ(archive::CCsvCoverageWriter().Write(b.Finish(), "x"),
            "station,channel,kind,begin,end,seconds,sps,files,overlapping\n"
            "ST01,BHZ,span,2024-03-15T00:00:00.000000Z,2024-03-15T00:00:10.000000Z,10.000000,100,1,yes\n"
            "ST01,BHZ,span,2024-03-15T00:00:09.000000Z,2024-03-15T00:00:20.000000Z,11.000000,100,1,yes\n"
            "ST01,BHZ,overlap,2024-03-15T00:00:09.000000Z,2024-03-15T00:00:10.000000Z,1.000000,,,\n"
            "ST01,BHZ,gap,2024-03-15T00:00:20.000000Z,2024-03-15T00:00:30.000000Z,10.000000,,,\n"
            "ST01,BHZ,span,2024-03-15T00:00:30.000000Z,2024-03-15T00:00:40.000000Z,10.000000,100,1,no\n");
}

// The SVG as its elements: name, attributes and the nesting of <g class=...>.
struct SvgElement {
  std::string name, group;  // group: class of the innermost enclosing <g>
  std::map<std::string, std::string> attributes;
  double Number(const char* a) const { return std::stod(attributes.at(a)); }
};
struct SvgParse {
  std::vector<SvgElement> elements;
  std::vector<std::string> groups;
  std::string error;
};

SvgParse ParseSvg(const std::string& text) {
  SvgParse out;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &out);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char* name, const XML_Char** atts) {
        auto& p = *static_cast<SvgParse*>(data);
        SvgElement e{name, p.groups.empty() ? "" : p.groups.back(), {}};
        for (int i = 0; atts[i]; i += 2) e.attributes[atts[i]] = atts[i + 1];
        if (e.name == "g") p.groups.push_back(e.attributes.count("class") ? e.attributes["class"] : e.group);
        p.elements.push_back(std::move(e));
      },
      [](void* data, const XML_Char* name) {
        auto& p = *static_cast<SvgParse*>(data);
        if (std::string(name) == "g") p.groups.pop_back();
      });
  if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_ERROR)
    out.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  return out;
}

TEST(CoverageSvg, IsXmlAndPutsBarsAtTheirPixels) {
  // A window of 1030 s over a plot of 1030 px: one pixel a second.
  using L = archive::SvgLayout;
  ASSERT_EQ(L::kWidth - L::kLabelWidth - L::kRightMargin, 1030);
  CCoverageBuilder b(TimeWindow{kT0, kT0 + 1030});
  b.Add("A&B", "BHZ", 100, kT0 + 100, 200);   // a code that needs escaping
  b.Add("A&B", "BHZ", 100, kT0 + 500, 100);
  b.Add("A&B", "BHZ", 100, kT0 + 550, 100);   // overlaps 550..600
  b.Add("ST02", "HHZ", 100, kT0, 1030);
  const std::string svg = archive::CSvgCoverageWriter().Write(b.Finish(), "data source VEZ, /srv/<vez>");
  const SvgParse p = ParseSvg(svg);
  ASSERT_EQ(p.error, "") << svg;
  ASSERT_FALSE(p.elements.empty());
  EXPECT_EQ(p.elements[0].name, "svg");
  EXPECT_EQ(p.elements[0].attributes.at("width"), "1200");
  EXPECT_EQ(p.elements[0].attributes.at("xmlns"), "http://www.w3.org/2000/svg");

  struct Bar {
    double x, y, width;
  };
  std::vector<Bar> spans, overlaps;
  for (const SvgElement& e : p.elements) {
    if (e.name != "rect" || (e.group != "spans" && e.group != "overlaps")) continue;
    const Bar bar{e.Number("x"), e.Number("y"), e.Number("width")};
    if (e.group == "spans") spans.push_back(bar);
    if (e.group == "overlaps") overlaps.push_back(bar);
  }
  const double left = L::kLabelWidth, row0 = L::RowTop(0) + (L::kRowHeight - L::kBarHeight) / 2;
  const double row1 = row0 + L::kRowHeight;
  ASSERT_EQ(spans.size(), 3u);  // 500..600 and 550..650 overlap: one bar
  EXPECT_NEAR(spans[0].x, left + 100, 0.1);
  EXPECT_NEAR(spans[0].width, 200, 0.1);
  EXPECT_EQ(spans[0].y, row0);
  EXPECT_NEAR(spans[1].x, left + 500, 0.1);
  EXPECT_NEAR(spans[1].width, 150, 0.1);
  EXPECT_NEAR(spans[2].x, left, 0.1);
  EXPECT_EQ(spans[2].y, row1);
  ASSERT_EQ(overlaps.size(), 1u);
  EXPECT_NEAR(overlaps[0].x, left + 550, 0.1);
  EXPECT_NEAR(overlaps[0].width, 50, 0.1);
  EXPECT_NE(svg.find("A&amp;B BHZ"), std::string::npos);
}

TEST(CoverageSvg, AYearOf300ChannelsStaysSmall) {
  // Hourly files with an hour missing every day: 8760 files a channel, 365
  // gaps narrower than a pixel.
  CCoverageBuilder b;
  for (int c = 0; c < 300; ++c) {
    const std::string sta = "S" + std::to_string(c / 3), ch = std::string("BH") + "ZNE"[c % 3];
    for (int h = 0; h < 365 * 24; ++h)
      if (h % 24 != 7) b.Add(sta, ch, 100, kT0 + h * 3600.0, 3600);
  }
  const Coverage cov = b.Finish();
  EXPECT_EQ(cov.channels[0].gaps.size(), 365u);
  const std::string svg = archive::CSvgCoverageWriter().Write(cov, "x");
  EXPECT_LT(svg.size(), 2u << 20);
  EXPECT_EQ(ParseSvg(svg).error, "");
}

// Reading FILELIST: one ordered query, on every backend and table shape.
class CoverageRead : public testsupport::DatabaseTest {};

TEST_P(CoverageRead, ReadsTheRowsOfTheWindowByChannel) {
  // Hourly files, more than one fetched block, inserted out of order: ST01
  // BHZ from hour 0 to 600 without hour 500, ST02 HHZ from 600 to 1200, and
  // one file of ST01 BHN.
  std::vector<int> hours;
  for (int h = 0; h < 1200; ++h)
    if (h != 500) hours.push_back(h);
  std::shuffle(hours.begin(), hours.end(), std::mt19937(3));
  hours.push_back(-1);
  std::string values;
  for (size_t n = 0; n < hours.size(); ++n) {
    const int h = hours[n];
    const char* sta = h < 600 ? "ST01" : "ST02";
    const char* ch = h < 0 ? "BHN" : h < 600 ? "BHZ" : "HHZ";
    char row[200];
    std::snprintf(row, sizeof row, "('%s', 20.0, 1, 'P\\%d%s', 3, '%s', 'BREVANTO', %.1f, 3600.0, 512)", sta, h, ch,
                  ch, kT0 + std::max(h, 0) * 3600.0);
    values += (values.empty() ? "" : ", ") + std::string(row);
    if (values.size() > 20000 || n + 1 == hours.size()) {
      db->Exec("INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, TBEGIN, TQTY, FOFF) VALUES " +
               values);
      values.clear();
    }
  }
  odbc::Connection c;
  c.Open(db->connect);
  const Coverage all = archive::ReadCoverage(c, {});
  EXPECT_EQ(all.rows, 1200u);
  ASSERT_EQ(all.channels.size(), 3u);
  EXPECT_EQ(all.channels[0].station + " " + all.channels[0].channel, "ST01 BHN");
  const auto& bhz = all.channels[1];
  EXPECT_EQ(bhz.station + " " + bhz.channel, "ST01 BHZ");
  EXPECT_EQ(bhz.Files(), 599u);
  ExpectIntervals({{0, 500 * 3600.0}, {501 * 3600.0, 600 * 3600.0}}, bhz.spans, "ST01 BHZ");
  ExpectIntervals({{500 * 3600.0, 501 * 3600.0}, {600 * 3600.0, 1200 * 3600.0}}, bhz.gaps, "ST01 BHZ gaps");
  ExpectIntervals({{0, 600 * 3600.0}}, all.channels[2].gaps, "ST02 HHZ gaps");
  EXPECT_DOUBLE_EQ(all.channels[2].spans.at(0).sps, 20.0);

  const TimeWindow window{kT0 + 499.5 * 3600, kT0 + 502 * 3600.0};
  const Coverage cut = archive::ReadCoverage(c, window, [](const std::string&, const std::string& ch) {
    return ch == "BHZ";
  });
  EXPECT_EQ(cut.rows, 2u);
  ASSERT_EQ(cut.channels.size(), 1u);
  ExpectIntervals({{499.5 * 3600, 500 * 3600.0}, {501 * 3600.0, 502 * 3600.0}}, cut.channels[0].spans, "cut");
  EXPECT_NEAR(cut.Percent(cut.channels[0]), 60.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Db, CoverageRead, testsupport::AllShapes(), testsupport::BackendName);

std::vector<std::string> CsvLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A converted volume with a gap of 100 s seen through brevanto-cli --coverage.
TEST(CoverageCli, ShowsTheGapOfAConvertedVolume) {
  auto archive = testsupport::LocalArchive::Sqlite(testsupport::Shape::kKeyless);
  testsupport::VolumePlan plan;  // FLT BHZ and BHN, 250 records of 20 s, 100 s missing after record 30
  testsupport::TempDir tmp;
  const std::string input = tmp / "volume.mseed";
  testsupport::WriteVolume(input, plan);
  ASSERT_EQ(archive->Convert({input}).status, 0);

  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--coverage", "--vez-ini", archive->Ini()});
    return testsupport::RunProgram(testsupport::CliPath(), args);
  };
  const testsupport::ProgramOutcome csv = run({"--format", "csv", "--channels", "BHZ"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const std::string gapBegin = archive::FormatIsoTime(static_cast<double>(plan.start) + 31 * 20);
  const std::string gapEnd = archive::FormatIsoTime(static_cast<double>(plan.start) + 31 * 20 + 100);
  const std::string end = archive::FormatIsoTime(static_cast<double>(plan.start) + 250 * 20 + 100);
  const std::vector<std::string> lines = CsvLines(csv.out);
  ASSERT_EQ(lines.size(), 4u) << csv.out;
  EXPECT_EQ(lines[2], "FLT,BHZ,gap," + gapBegin + "," + gapEnd + ",100.000000,,,");
  EXPECT_EQ(lines[3].substr(0, 40), "FLT,BHZ,span," + gapEnd);
  EXPECT_NE(lines[3].find(end + ",4380.000000,20,"), std::string::npos) << lines[3];

  // A window from a date; the SVG goes to a file.
  testsupport::TempDir out;
  const std::string svgPath = out / "c.svg";
  const auto svg = run({"--from", "2024-04-08", "--to", "2024-04-08T12:00", "--format", "svg", "--output", svgPath});
  ASSERT_EQ(svg.status, 0) << svg.err;
  std::ifstream in(svgPath);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ParseSvg(text).error, "");
  EXPECT_NE(text.find("FLT BHN: 2 spans, 3 gaps, 0 overlaps"), std::string::npos) << text.substr(0, 3000);

  const auto json = run({"--format", "json", "--channels", "BHN"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"gaps\": [{\"begin\": \"" + gapBegin + "\", \"end\": \"" + gapEnd +
                          "\", \"seconds\": 100.000000}]"),
            std::string::npos)
      << json.out;

  const auto text1 = run({"--stations", "FLT"});
  EXPECT_EQ(text1.status, 0);
  EXPECT_NE(text1.out.find("2 channels, "), std::string::npos) << text1.out;

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--from", "yesterday"}, {"--format", "png"}, {"--from", "2024-04-09", "--to", "2024-04-08"},
        {"--jobs", "2"}, {"file.mseed"}}) {
    EXPECT_EQ(run(bad).status, 2) << bad[0];
  }
  EXPECT_EQ(testsupport::RunProgram(testsupport::CliPath(), {"--format", "csv", "x.mseed"}).status, 2);
}

}  // namespace
