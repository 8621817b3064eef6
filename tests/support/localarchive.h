#pragma once
// A whole archive for tests that run brevanto-cli against it: data folder,
// VEZ.ini, a FILELIST database named as data source VEZ, generated SEED
// input, and the means to compare two archives.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/archivecheck.h"
#include "support/dbfixture.h"
#include "support/testsupport.h"

namespace testsupport {

// Continuous Steim2 records of 512 bytes, the channels interleaved record by
// record as recorders write them; one gap of gapSeconds after record gapAfter.
struct VolumePlan {
  std::string network = "XX", station = "FLT", location = "00";
  std::vector<std::string> channels{"BHZ", "BHN"};
  int records = 250;  // per channel
  int samplesPerRecord = 400;
  int sps = 20;
  int gapAfter = 30;
  double gapSeconds = 100;
  int64_t start = 1712570400;  // 2024-04-08 10:00:00
  int firstRecord = 0;         // of each channel: records [firstRecord, records)
  int valueOffset = 0;         // added to every sample
};
// Each record of the plan, in the order they are written.
std::vector<std::vector<unsigned char>> VolumeRecords(const VolumePlan& plan);
void WriteVolume(const std::string& path, const VolumePlan& plan);

struct ProgramOutcome {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out, err;
};

using EnvOverrides = std::map<std::string, std::string>;

// This process's environment with the overrides set, as "KEY=VALUE".
std::vector<std::string> EnvironmentWith(const EnvOverrides& overrides);

// Pointers to the strings for exec, ending in a null pointer.
std::vector<char*> ExecPointers(std::vector<std::string>& strings);

// A waited child's exit status, 128 + signal when killed.
int ExitStatusOf(int wstatus);

// Runs program with args in a child process, standard input /dev/null,
// standard output and error captured apart; the environment is this
// process's with env set. setup runs in the child before exec; it returns an
// empty string or why it failed, which ends the child with status 125 and
// the reason on stderr. A child that does not finish is killed and
// "[killed: did not finish]" ends err.
ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::function<std::string()>& setup = {}, const EnvOverrides& env = {});

// brevanto-cli of this build.
std::string CliPath();

// Starts program with args, not waiting for it: standard input and output
// /dev/null, standard error into errFile (appended to, or emptied first).
pid_t StartProgram(const std::vector<std::string>& args, const std::string& errFile, bool append);

// The figures of brevanto-cli's closing summary.
struct RunSummary {
  bool found = false;
  long created = -1, extended = -1, registrations = -1, rows = -1;  // rows: of this run's files
  long samples = -1, segmentsNotStored = -1, samplesNotStored = -1;
  std::string result;  // the run's last status text
};
RunSummary ParseRunSummary(const std::string& err);

// What an archive holds, without what differs from run to run (row IDs and
// LDDATE): file contents by relative path and the rows as sorted text.
struct ArchiveImage {
  std::map<std::string, std::string> files;
  std::vector<std::string> rows;
};

// Names its database as data source VEZ through ODBCINI while it lives, so
// one at a time in a process.
class LocalArchive {
 public:
  // An SQLite database in a folder of its own.
  static std::unique_ptr<LocalArchive> Sqlite(Shape shape = Shape::kKeyed);
  // A database reached with connect that already holds FILELIST; keys name
  // it in odbc.ini.
  static std::unique_ptr<LocalArchive> OnServer(const std::string& connect, const DataSourceScope::Keys& keys);
  // On a test database (see dbfixture.h).
  static std::unique_ptr<LocalArchive> On(std::unique_ptr<TestDatabase> db);
  ~LocalArchive();

  const std::string& Root() const { return m_Root; }
  std::string DataDir() const { return m_Root + "/data"; }
  std::string Ini() const { return m_Root + "/VEZ.ini"; }
  const std::string& Connect() const { return m_Connect; }
  const std::string& DatabaseFile() const { return m_DatabaseFile; }  // SQLite only
  // The private odbc.ini. unixODBC reads it only where it could write it.
  const std::string& OdbcIni() const { return m_Source->IniPath(); }

  // Converts inputs with brevanto-cli; the child's setup as for RunProgram.
  ProgramOutcome Convert(const std::vector<std::string>& inputs,
                         const std::function<std::string()>& setup = {}) const;
  // brevanto-cli --check on this archive.
  ProgramOutcome CheckCli() const;
  // archive::CheckArchive on a connection of its own.
  archive::CheckReport Check() const;
  ArchiveImage Image() const;
  // Empties the data folder and FILELIST.
  void Wipe() const;
  void Exec(const std::string& sql) const;

 private:
  LocalArchive();
  TempDir m_Tmp;
  std::string m_Root;
  std::string m_Connect;
  std::string m_DatabaseFile;
  std::unique_ptr<TestDatabase> m_Db;
  std::unique_ptr<DataSourceScope> m_Source;
};

// The image with each header's "Time duration" blanked: a header keeps the
// duration its file had when created, which depends on how a run was cut
// short before a later run completed the file.
ArchiveImage WithoutDurations(ArchiveImage image);

// The same data files, byte for byte, and the same rows; the files that
// differ are named.
void ExpectSameArchive(const ArchiveImage& got, const ArchiveImage& want);

// Every finding on its own line, for failure messages.
std::string Describe(const archive::CheckReport& report);

}  // namespace testsupport
