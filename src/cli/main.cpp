// brevanto-cli: converts SEED files into the VEZ archive from the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "archive/archivecheck.h"
#include "archive/filelisttable.h"
#include "cli/cliprogress.h"
#include "cli/coveragecmd.h"
#include "cli/followcmd.h"
#include "cli/options.h"
#include "cli/repair.h"
#include "convert/convertfromseed.h"
#include "convert/runsummary.h"
#include "platform/diag.h"
#include "platform/odbc.h"
#include "platform/odbchint.h"

namespace {

using namespace cli;

uint64_t TotalBytes(const std::vector<std::string>& files) {
  uint64_t total = 0;
  for (const std::string& f : files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

int Check(const Options& o) {
  if (const std::string problem = VezIniProblem(o.vezIni); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitArchive;
  }
  const std::string dataDir = ReadDataDir(o.vezIni);
  archive::CheckReport report;
  try {
    odbc::Connection database;
    database.Open(kArchiveConnect, kLoginTimeoutSeconds);
    for (const std::string& w : archive::CheckFileListTable(database).Warnings())
      std::fprintf(stderr, "%s: %s\n", kProgram, w.c_str());
    report = archive::CheckArchive(dataDir, database);
  } catch (const archive::CheckError& e) {
    std::fprintf(stderr, "%s: cannot check the archive: %s\n", kProgram, e.what());
    return kExitArchive;
  } catch (const odbc::Error& e) {
    std::fprintf(stderr, "%s: cannot check the archive: VEZ Database error: %s\n", kProgram, e.what());
    if (const std::string hint = odbc::ConnectHint(e.SqlState(), kArchiveConnect); !hint.empty())
      std::fprintf(stderr, "%s: %s\n", kProgram, hint.c_str());
    return kExitArchive;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: cannot check the archive: %s\n", kProgram, e.what());
    return kExitArchive;
  }
  for (const archive::Finding& f : report.findings) std::printf("%s\n", archive::FormatFinding(f).c_str());
  if (!o.quiet || !report.Whole())
    std::printf("%s: archive %s: %llu FILELIST rows, %llu data files, %llu samples; %zu finding%s\n", kProgram,
                report.Whole() ? "whole" : "NOT whole", static_cast<unsigned long long>(report.rows),
                static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.samples),
                report.findings.size(), report.findings.size() == 1 ? "" : "s");
  return report.Whole() ? kExitOk : kExitFailed;
}

// The run a signal stops; the first SIGINT or SIGTERM asks it to stop, and
// SA_RESETHAND leaves the second to end the process.
std::atomic<CConvertFromSeed*> g_running{nullptr};
volatile sig_atomic_t g_signal = 0;

extern "C" void OnStopSignal(int signal) {
  // Two signals at once on two threads: the later one ends the process.
  static std::atomic<int> taken{0};
  if (taken.exchange(signal) != 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  g_signal = signal;
  // SA_RESETHAND resets only the signal taken; the other stop signal must end the process too.
  std::signal(signal == SIGINT ? SIGTERM : SIGINT, SIG_DFL);
  if (CConvertFromSeed* converter = g_running.load()) converter->RequestStop();
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  // The other one waits until the handler has reset it.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

extern "C" void OnRereadSignal(int) { RequestFollowReread(); }

// SIGHUP has a follower read its settings again; SA_RESTART keeps the
// reads and writes of a round from failing with EINTR.
void CatchRereadSignal() {
  struct sigaction action {};
  action.sa_handler = OnRereadSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGHUP, &action, nullptr);
}

int Run(const Options& o) {
  long commitMs = o.commitMs;
  if (commitMs < 0) {
    std::string problem;
    if (!ReadCommitInterval(kProgramIni, CConvertFromSeed::kDefaultCommitInterval.count(), commitMs, problem)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
      return kExitUsage;
    }
  }
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  HostSettings settings;
  // With -v on a terminal the status texts themselves scroll by; a status
  // line between them would only garble them.
  settings.statusLine = terminal && !o.quiet && !(o.verbose && ::isatty(STDOUT_FILENO) == 1);
  settings.verbose = o.verbose;
  settings.beep = terminal;
  CliHost host(settings, o.files.size(), TotalBytes(o.files));

  RunStats stats;
  bool started;
  {
    const platform::ScopedDebugSink diagnostics([&host](const char* text) { host.Diagnostic(text); });
    CConvertFromSeed converter(&host, o.vezIni);
    // The folder checked must be the one the run uses: the converter's own.
    if (std::string problem = converter.DataFolderProblem(); !problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
      return kExitArchive;
    }
    converter.SetQuality(o.quality);
    converter.SetQualityAdvice("--quality ");
    converter.SetCommitInterval(std::chrono::milliseconds(commitMs));
    if (o.jobs) converter.SetJobs(o.jobs);
    converter.SetWaitForLocks(!o.noWait);
    converter.SetSelection(SelectionOf(o));
    for (const std::string& f : o.files) converter.AddFile(f);
    g_running = &converter;
    if (g_signal) converter.RequestStop();
    started = converter.Start() == 0;
    if (started) {
      host.WaitForEnd();
      converter.Join();
      stats = converter.Stats();
    }
    g_running = nullptr;
  }
  if (!started) {
    std::fprintf(stderr, "%s: cannot start the conversion\n", kProgram);
    return kExitFailed;
  }

  const int status = stats.interrupted                               ? 128 + (g_signal ? g_signal : SIGINT)
                     : stats.databaseOpenFailed || stats.dataFolderRefused || stats.lockRefused ? kExitArchive
                     : stats.AnyFailure()                            ? kExitFailed
                                                                     : kExitOk;
  if (!o.quiet || status != kExitOk) {
    const std::string summary = std::string(kProgram) + ": " + FormatSummary(stats, o.files.size(), host.LastStatus());
    std::fputs(summary.c_str(), stderr);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram, e.what(), ShortUsage().c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("%s %s\n", kProgram, BREVANTO_VERSION);
    return kExitOk;
  }
  if (!options.check && !options.coverage && !options.repair) CatchStopSignals();
  if (options.follow) CatchRereadSignal();
  const int status = options.check      ? Check(options)
                     : options.coverage ? Coverage(options, kArchiveConnect, kLoginTimeoutSeconds)
                     : options.repair   ? Repair(options)
                     : options.follow   ? Follow(options, [](CConvertFromSeed* c) {
                                            g_running = c;
                                            if (c && g_signal) c->RequestStop();
                                          })
                                        : Run(options);
  if (std::fflush(stdout) != 0 && status == kExitOk) {
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(errno));
    return kExitFailed;
  }
  return status;
}
