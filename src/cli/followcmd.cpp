#include "cli/followcmd.h"

#include <cstdio>
#include <string>

#include "convert/archivesettings.h"
#include "convert/convertfromseed.h"
#include "convert/follow.h"
#include "platform/diag.h"

namespace cli {
namespace {

constexpr long kStatusEverySeconds = 60;

// Errors and waits on standard error, one a line; the record texts are not shown.
class FollowHost final : public IConvertHost {
 public:
  void SetStatusText(const char*) override {}
  bool WantsRecordStatus() override { return false; }
  void Beep() override {}
  void ConvertDone() override {}
  void ReportError(const char* text) override { std::fprintf(stderr, "%s: %s\n", kProgram, text); }
};

}  // namespace

int Follow(const Options& o, const std::function<void(CConvertFromSeed*)>& stoppable) {
  long commitMs = o.commitMs;
  if (commitMs < 0) {
    std::string problem;
    if (!ReadCommitInterval(kProgramIni, CConvertFromSeed::kDefaultCommitInterval.count(), commitMs, problem)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
      return kExitUsage;
    }
  }
  FollowHost host;
  const platform::ScopedDebugSink diagnostics([&host](const char* text) { host.ReportError(text); });
  CConvertFromSeed converter(&host, o.vezIni);
  if (std::string problem = converter.DataFolderProblem(); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitArchive;
  }
  converter.SetQuality(o.quality);
  converter.SetCommitInterval(std::chrono::milliseconds(commitMs));
  if (o.jobs) converter.SetJobs(o.jobs);
  converter.SetSelection(SelectionOf(o));
  convert::FollowSettings settings;
  settings.folders = o.files;
  settings.include = o.include;
  settings.statePath = o.state;
  settings.poll = std::chrono::seconds(o.pollSeconds);
  settings.statusEvery = std::chrono::seconds(o.quiet ? 0 : kStatusEverySeconds);
  convert::CFollower follower(converter, settings);
  stoppable(&converter);
  const bool followed = follower.Run();
  stoppable(nullptr);
  if (!followed) return kExitArchive;
  const RunStats& stats = converter.Stats();
  if (!o.quiet)
    std::fprintf(stderr, "%s: following ended: %llu records, %llu samples converted\n", kProgram,
                 static_cast<unsigned long long>(stats.recordsConverted),
                 static_cast<unsigned long long>(stats.samples));
  return kExitOk;
}

}  // namespace cli
