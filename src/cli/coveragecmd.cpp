#include "cli/coveragecmd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/archivereader.h"
#include "archive/coveragereport.h"
#include "convert/archivesettings.h"
#include "convert/selection.h"
#include "platform/odbc.h"
#include "platform/odbchint.h"

namespace cli {
namespace {

// What the title names: the data source, and the data folder when VEZ.ini names one.
std::string ArchiveName(const Options& o) {
  std::string name = "data source VEZ";
  if (VezIniProblem(o.vezIni).empty()) name += ", " + ReadDataDir(o.vezIni);
  return name;
}

bool WriteAll(const std::string& path, const std::string& text, std::string& problem) {
  FILE* f = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
  if (!f) {
    problem = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (path.empty() ? std::fflush(f) == 0 : std::fclose(f) == 0) && ok;
  if (!ok) problem = "cannot write " + (path.empty() ? std::string("standard output") : path) + ": " + std::strerror(errno);
  return ok;
}

}  // namespace

int Coverage(const Options& o, const char* connect, int loginTimeoutSeconds) {
  convert::CSelection selection;
  selection.SetStations(o.stations);
  selection.SetChannels(o.channels);
  archive::Coverage coverage;
  try {
    odbc::Connection database;
    database.Open(connect, loginTimeoutSeconds);
    coverage = archive::ReadCoverage(database, {o.from, o.to}, [&](const std::string& sta, const std::string& ch) {
      return selection.Selects("", sta.c_str(), "", ch.c_str());  // the archive keeps no network or location
    });
  } catch (const odbc::Error& e) {
    std::fprintf(stderr, "%s: cannot read FILELIST: VEZ Database error: %s\n", kProgram, e.what());
    if (const std::string hint = odbc::ConnectHint(e.SqlState(), connect); !hint.empty())
      std::fprintf(stderr, "%s: %s\n", kProgram, hint.c_str());
    return kExitArchive;
  }
  const std::string text = archive::MakeCoverageWriter(o.format)->Write(coverage, ArchiveName(o));
  std::string problem;
  if (!WriteAll(o.output, text, problem)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return kExitFailed;
  }
  if (!o.output.empty() && !o.quiet)
    std::fprintf(stderr, "%s: coverage of %zu channels written to %s\n", kProgram, coverage.channels.size(),
                 o.output.c_str());
  return kExitOk;
}

}  // namespace cli
