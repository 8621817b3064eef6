// brevanto-cli: converts SEED files into the VEZ archive from the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "archive/archivecheck.h"
#include "archive/filelisttable.h"
#include "cli/cliprogress.h"
#include "cli/options.h"
#include "convert/convertfromseed.h"
#include "platform/diag.h"
#include "platform/ini.h"
#include "platform/odbc.h"

namespace {

using namespace cli;

// Empty when the archive's configuration names an existing, writable data
// folder. Without this check a missing VEZ.ini would put data files under "/".
uint64_t TotalBytes(const std::vector<std::string>& files) {
  uint64_t total = 0;
  for (const std::string& f : files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// The connection a conversion run opens.
constexpr const char* kArchiveConnect = "DSN=VEZ;UID=VEZ;PWD=QKT;";
constexpr int kLoginTimeoutSeconds = 15;

int Check(const Options& o) {
  static const std::string kUnset = "\x01";
  if (platform::GetPrivateProfileString("DATA", "DIR", kUnset, o.vezIni) == kUnset) {
    std::fprintf(stderr, "%s: no VEZ data folder set in %s (key DIR of section [DATA])\n", kProgram,
                 o.vezIni.c_str());
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

int Run(const Options& o) {
  if (std::string problem = DataFolderProblem(o.vezIni); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitArchive;
  }

  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  HostSettings settings;
  // With -v on a terminal the status texts themselves scroll by; a status
  // line between them would only garble them.
  settings.statusLine = terminal && !o.quiet && !(o.verbose && ::isatty(STDOUT_FILENO) == 1);
  settings.verbose = o.verbose;
  settings.beep = terminal;
  CliHost host(settings, o.files.size(), TotalBytes(o.files));

  platform::DebugSink previous =
      platform::SetDebugSink([&host](const char* text) { host.Diagnostic(text); });
  RunStats stats;
  bool started;
  {
    CConvertFromSeed converter(&host, o.vezIni);
    converter.SetQuality(o.quality);
    for (const std::string& f : o.files) converter.AddFile(f);
    started = converter.Start() == 0;
    if (started) {
      host.WaitForEnd();
      converter.Join();
      stats = converter.Stats();
    }
  }
  platform::SetDebugSink(std::move(previous));
  if (!started) {
    std::fprintf(stderr, "%s: cannot start the conversion\n", kProgram);
    return kExitFailed;
  }

  const int status = stats.databaseOpenFailed ? kExitArchive : stats.AnyFailure() ? kExitFailed : kExitOk;
  if (!o.quiet || status != kExitOk) {
    const std::string summary = FormatSummary(stats, o.files.size(), host.LastStatus());
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
  const int status = options.check ? Check(options) : Run(options);
  if (std::fflush(stdout) != 0 && status == kExitOk) {
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(errno));
    return kExitFailed;
  }
  return status;
}
