// One copy of every sample: whatever runs are fed and however often, the
// archive ends as one clean run of the stream it keeps would leave it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/localarchive.h"
#include "support/testsupport.h"

namespace {

using testsupport::LocalArchive;
using testsupport::VolumePlan;
using Records = std::vector<std::vector<unsigned char>>;

// One channel, 60 records of 400 samples at 20 sps from 10:00:00, no gap.
Records Stream(const std::function<void(VolumePlan&)>& change = {}) {
  VolumePlan p;
  p.channels = {"BHZ"};
  p.records = 60;
  p.gapAfter = p.records;
  if (change) change(p);
  return testsupport::VolumeRecords(p);
}

Records Joined(const std::vector<Records>& parts) {
  Records all;
  for (const Records& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<unsigned char> Bytes(const Records& records) {
  std::vector<unsigned char> all;
  for (const auto& r : records) all.insert(all.end(), r.begin(), r.end());
  return all;
}

Records Interleaved(const Records& a, const Records& b) {
  Records all;
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i < a.size()) all.push_back(a[i]);
    if (i < b.size()) all.push_back(b[i]);
  }
  return all;
}

struct RunPlan {
  std::vector<Records> inputs;
  std::vector<std::string> options;
  int status = 0;
  std::string says;  // part of its standard error
  // Then the run's rows are lost, as when it is killed before its commit.
  bool killed = false;
};

struct Case {
  const char* name;
  std::vector<RunPlan> runs;
  Records clean;  // the one stream a clean run of which the archive must equal
  // A header keeps the duration its file had when created, which depends on
  // how the samples came in.
  bool sameDurations = true;
};


const std::string kKeeps = " records not converted: the archive keeps one stream per station and channel, ";

std::vector<Case> Cases() {
  const Records s00 = Stream(), s10 = Stream([](VolumePlan& p) {
    p.location = "10";
    p.valueOffset = 500;
  });
  const Records blank = Stream([](VolumePlan& p) { p.location = ""; });
  const Records otherNet = Stream([](VolumePlan& p) {
    p.network = "AA";
    p.valueOffset = 700;
  });
  const Records head = Stream([](VolumePlan& p) { p.records = 40; });
  // Past an hour: a run that ends in mid-segment leaves a file longer than
  // the point where a new one would begin.
  const Records long2h = Stream([](VolumePlan& p) { p.records = p.gapAfter = 200; });
  const Records longHead = Stream([](VolumePlan& p) {
    p.records = 186;
    p.gapAfter = 200;
  });
  const Records tail = Stream([](VolumePlan& p) { p.firstRecord = 25; });
  const Records otherValues = Stream([](VolumePlan& p) {
    p.firstRecord = 20;
    p.records = 40;
    p.valueOffset = 3;
  });
  const std::string left10 = "XX.FLT.10.BHZ: 60" + kKeeps + "XX.FLT.00.BHZ here (--locations or --networks chooses)";
  return {
      {"two sensors, one after the other", {{{Joined({s00, s10})}, {}, 1, left10}}, s00},
      {"two sensors, interleaved", {{{Interleaved(s10, s00)}, {}, 1, left10}}, s00},
      {"--locations chooses", {{{Interleaved(s10, s00)}, {"--locations", "10"}, 0, "not selected 60"}}, s10},
      {"a blank location first", {{{Joined({s00, blank})}, {}, 1, "XX.FLT.00.BHZ: 60" + kKeeps + "XX.FLT..BHZ here"}}, blank},
      {"--locations -- names the blank one", {{{Joined({s00, blank})}, {"--locations", "--"}, 0, ""}}, blank},
      {"two networks, one station code", {{{Joined({s00, otherNet})}, {}, 1, "XX.FLT.00.BHZ: 60" + kKeeps + "AA.FLT.00.BHZ here"}},
       otherNet},
      {"every record twice", {{{Interleaved(s00, s00)}, {}, 0, "duplicate samples already stored 24000, not stored again"}},
       s00, false},
      {"overlapping pieces in one run", {{{head, tail}, {}, 0, "duplicate samples already stored 6000"}}, s00},
      {"overlapping pieces in two runs", {{{head}, {}, 0, ""}, {{tail}, {}, 0, "duplicate samples already stored 6000"}},
       s00},
      {"a killed run, then the rest", {{{head}, {}, 0, "", true}, {{tail}, {}, 0, "duplicate samples already stored 6000"}},
       s00},
      {"a killed run, then all again", {{{head}, {}, 0, "", true}, {{s00}, {}, 0, "duplicate samples already stored 16000"}},
       s00},
      {"the first 62 minutes, then all of it", {{{longHead}, {}, 0, ""}, {{long2h}, {}, 0, "already stored 74400"}},
       long2h, false},
      {"a conflicting overlap",
       {{{s00}, {}, 0, ""},
        {{otherValues},
         {},
         1,
         "FLT BHZ: 8 000 samples from 2024-04-08 10:06:40 overlap stored data with other values: not stored"}},
       s00},
  };
}

class OneCopy : public testsupport::DatabaseTest {
 protected:
  std::vector<std::string> Inputs(const LocalArchive& a, const std::vector<Records>& inputs) {
    std::vector<std::string> paths;
    for (const Records& r : inputs) {
      paths.push_back(a.Root() + "/in" + std::to_string(m_Next++) + ".mseed");
      testsupport::WriteFileBytes(paths.back(), Bytes(r));
    }
    return paths;
  }
  testsupport::ProgramOutcome Convert(const LocalArchive& a, const RunPlan& run) {
    std::vector<std::string> args = run.options;
    for (const std::string& p : Inputs(a, run.inputs)) args.push_back(p);
    return a.Convert(args);
  }
  int m_Next = 0;
};

TEST_P(OneCopy, AnyRunsLeaveWhatOneCleanRunOfTheKeptStreamLeaves) {
  auto archive = LocalArchive::On(std::move(db));
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    archive->Wipe();
    auto o = Convert(*archive, RunPlan{{c.clean}, {}, 0, "", false});
    ASSERT_EQ(o.status, 0) << o.err;
    const testsupport::ArchiveImage clean = archive->Image();
    archive->Wipe();
    for (const RunPlan& run : c.runs) {
      o = Convert(*archive, run);
      EXPECT_EQ(o.status, run.status) << o.err;
      EXPECT_NE(o.err.find(run.says), std::string::npos) << o.err;
      if (run.killed) {
        archive->Exec("DELETE FROM FILELIST");
        testsupport::WriteFileBytes(archive->DataDir() + "/.brevanto-lock/FLT.unfinished", {});
      }
    }
    if (c.sameDurations)
      ExpectSameArchive(archive->Image(), clean);
    else
      ExpectSameArchive(testsupport::WithoutDurations(archive->Image()), testsupport::WithoutDurations(clean));
    const testsupport::ArchiveImage image = archive->Image();
    const auto check = archive->CheckCli();
    EXPECT_EQ(check.status, 0) << check.out;

    // Once more: nothing is written or registered, so rows keep their LDDATE.
    o = Convert(*archive, c.runs.back());
    EXPECT_EQ(o.status, c.runs.back().status) << o.err;
    const auto summary = testsupport::ParseRunSummary(o.err);
    EXPECT_EQ(summary.created, 0);
    EXPECT_EQ(summary.extended, 0);
    EXPECT_EQ(summary.registrations, 0);
    ExpectSameArchive(archive->Image(), image);
  }
}

TEST_P(OneCopy, CheckFindsOverlappingFiles) {
  auto archive = LocalArchive::On(std::move(db));
  auto o = Convert(*archive, RunPlan{{Stream()}, {}, 0, "", false});
  ASSERT_EQ(o.status, 0) << o.err;
  // A copy of the hour's file that starts ten seconds later, as an archive
  // filled by other tools may hold.
  const std::string from = "FLT/10/08042024-100000-BHZ.FLT", to = "FLT/10/08042024-100010-BHZ.FLT";
  std::filesystem::copy_file(archive->DataDir() + "/" + from, archive->DataDir() + "/" + to);
  const std::string sep = "\\";
  archive->Exec("INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF) "
                "VALUES ('FLT', 20, 1, 'FLT" + sep + "10" + sep + "08042024-100010-BHZ.FLT', 3, 'BHZ', 'BREVANTO', "
                "'2024-04-08 12:00:00', 1712570410, 1200, 512)");
  const auto check = archive->CheckCli();
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.out.find("overlap FLT\\10\\08042024-100010-BHZ.FLT: shares 2024-04-08 10:00:10 to 10:20:00 with "
                           "FLT\\10\\08042024-100000-BHZ.FLT"),
            std::string::npos)
      << check.out;
}

INSTANTIATE_TEST_SUITE_P(Db, OneCopy, testsupport::AllBackends(), testsupport::BackendName);

}  // namespace
