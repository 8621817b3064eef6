#include "cli/followcmd.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "convert/archivesettings.h"
#include "convert/convertfromseed.h"
#include "convert/follow.h"
#include "platform/diag.h"
#include "platform/ini.h"

namespace cli {
namespace {

constexpr long kStatusEverySeconds = 60;
constexpr const char* kFollowSection = "FOLLOW";

std::atomic<bool> g_reread{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The command line's selection; where it names no stations (channels,
// locations, networks), the key of that name in [FOLLOW] of ./brevanto.ini,
// which SIGHUP reads again.
convert::CSelection FollowSelection(Options o) {
  const auto fromIni = [](std::string& option, const char* key) {
    if (option.empty()) {
      std::string value = platform::GetPrivateProfileString(kFollowSection, key, "", kProgramIni);
      if (!convert::CSelection::SplitList(value).empty()) option = std::move(value);
    }
  };
  fromIni(o.stations, "STATIONS");
  fromIni(o.channels, "CHANNELS");
  fromIni(o.locations, "LOCATIONS");
  fromIni(o.networks, "NETWORKS");
  return SelectionOf(o);
}

bool CommitInterval(const Options& o, long& ms, std::string& problem) {
  if (o.commitMs >= 0) {
    ms = o.commitMs;
    return true;
  }
  return ReadCommitInterval(kProgramIni, CConvertFromSeed::kDefaultCommitInterval.count(), ms, problem);
}

bool Reread(const Options& o, convert::FollowReread& next, std::string& problem) {
  long ms = 0;
  if (!(problem = VezIniProblem(o.vezIni)).empty() || !CommitInterval(o, ms, problem)) return false;
  next.dataDir = ReadDataDir(o.vezIni);
  next.commitInterval = std::chrono::milliseconds(ms);
  next.selection = FollowSelection(o);
  return true;
}

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
  long commitMs = 0;
  if (std::string problem; !CommitInterval(o, commitMs, problem)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitUsage;
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
  converter.SetSelection(FollowSelection(o));
  convert::FollowSettings settings;
  settings.folders = o.files;
  settings.include = o.include;
  settings.statePath = o.state;
  settings.poll = std::chrono::seconds(o.pollSeconds);
  settings.statusEvery = std::chrono::seconds(o.quiet ? 0 : kStatusEverySeconds);
  settings.rereadRequested = &g_reread;
  settings.reread = [&o](convert::FollowReread& next, std::string& problem) { return Reread(o, next, problem); };
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

void RequestFollowReread() { g_reread.store(true, std::memory_order_relaxed); }

}  // namespace cli
