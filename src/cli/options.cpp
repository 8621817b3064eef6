#include "cli/options.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "archive/archivecheck.h"
#include "archive/coveragereport.h"
#include "archive/isotime.h"
#include "convert/archivesettings.h"
#include "convert/selection.h"

namespace cli {
namespace {

constexpr const char* kTimeAdvice = "use ISO 8601 UTC, 2024-03-15 or 2024-03-15T06:00:00";

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// "--name VALUE" or "--name=VALUE"; true when arg is the option.
bool TakeValue(const std::string& name, int argc, const char* const* argv, int& i,
               std::string& value) {
  const std::string arg = argv[i];
  if (arg == name) {
    if (i + 1 >= argc) throw UsageError("option " + name + " needs a value");
    value = argv[++i];
    return true;
  }
  if (arg.compare(0, name.size() + 1, name + "=") == 0) {
    value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

bool IsValidQuality(const std::string& codes) {
  return !codes.empty() && codes.find_first_not_of("DQRM") == std::string::npos;
}

std::vector<std::string> ReadListFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read list file " + path + ": " + std::strerror(errno));
  std::vector<std::string> files;
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    files.push_back(line);
  }
  if (in.bad()) throw UsageError("cannot read list file " + path + ": " + std::strerror(errno));
  return files;
}

convert::CSelection SelectionOf(const Options& o) {
  convert::CSelection selection;
  selection.SetStations(o.stations);
  selection.SetChannels(o.channels);
  selection.SetLocations(o.locations);
  selection.SetNetworks(o.networks);
  selection.SetShard(o.shard, o.shards);
  return selection;
}

Options ParseArguments(int argc, const char* const* argv) {
  Options o;
  bool optionsEnded = false;
  bool qualityGiven = false;
  bool timeGiven = false, formatGiven = false;
  bool followOnly = false;  // --poll, --include or --state given
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (optionsEnded || arg.empty() || (arg[0] != '-' && arg[0] != '@')) {
      o.files.push_back(arg);
    } else if (arg[0] == '@') {
      for (std::string& f : ReadListFile(arg.substr(1))) o.files.push_back(std::move(f));
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      o.help = true;
      return o;
    } else if (arg == "-V" || arg == "--version") {
      o.version = true;
      return o;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--check") {
      o.check = true;
    } else if (arg == "--coverage") {
      o.coverage = true;
    } else if (arg == "--follow") {
      o.follow = true;
    } else if (TakeValue("--poll", argc, argv, i, value)) {
      if (!ParseCount(value, 86400, o.pollSeconds) || o.pollSeconds < 1)
        throw UsageError("bad --poll \"" + value + "\": use seconds, 1 to 86400");
      followOnly = true;
    } else if (TakeValue("--include", argc, argv, i, value)) {
      if (value.empty()) throw UsageError("option --include needs a pattern");
      o.include = value;
      followOnly = true;
    } else if (TakeValue("--state", argc, argv, i, value)) {
      if (value.empty()) throw UsageError("option --state needs a file name");
      o.state = value;
      followOnly = true;
    } else if (TakeValue("--from", argc, argv, i, value)) {
      if (!archive::ParseIsoTime(value, o.from)) throw UsageError("bad --from \"" + value + "\": " + kTimeAdvice);
      timeGiven = true;
    } else if (TakeValue("--to", argc, argv, i, value)) {
      if (!archive::ParseIsoTime(value, o.to)) throw UsageError("bad --to \"" + value + "\": " + kTimeAdvice);
      timeGiven = true;
    } else if (TakeValue("--format", argc, argv, i, value)) {
      if (!archive::MakeCoverageWriter(value))
        throw UsageError("bad --format \"" + value + "\": use text, csv, json or svg");
      o.format = value;
      formatGiven = true;
    } else if (TakeValue("--output", argc, argv, i, value)) {
      if (value.empty()) throw UsageError("option --output needs a file name");
      o.output = value;
    } else if (arg == "--repair") {
      o.repair = true;
    } else if (arg == "--dry-run") {
      o.dryRun = true;
    } else if (arg == "--drop-missing") {
      o.dropMissing = true;
    } else if (arg.rfind("--drop-missing=", 0) == 0) {
      if (!ParseCount(arg.substr(15), 1000000000, o.dropMissingCount))
        throw UsageError("bad " + arg + ": name the number of rows whose file is gone");
      o.dropMissing = true;
    } else if (TakeValue("--vez-ini", argc, argv, i, value)) {
      if (value.empty()) throw UsageError("option --vez-ini needs a file name");
      o.vezIni = value;
    } else if (TakeValue("--quality", argc, argv, i, value)) {
      if (!IsValidQuality(value))
        throw UsageError("bad --quality \"" + value + "\": use one or more of the letters D, Q, R, M");
      o.quality = value;
      qualityGiven = true;
    } else if (TakeValue("--jobs", argc, argv, i, value)) {
      long jobs = 0;
      if (!ParseCount(value, 64, jobs) || jobs < 1) throw UsageError("bad --jobs \"" + value + "\": use 1 to 64");
      o.jobs = static_cast<unsigned>(jobs);
    } else if (TakeValue("--commit-interval", argc, argv, i, value)) {
      if (!ParseCount(value, 86400000, o.commitMs))
        throw UsageError("bad --commit-interval \"" + value + "\": use milliseconds, 0 to 86400000");
    } else if (arg == "--no-wait") {
      o.noWait = true;
    } else if (TakeValue("--stations", argc, argv, i, value)) {
      if (convert::CSelection::SplitList(value).empty()) throw UsageError("option --stations needs codes");
      o.stations = value;
    } else if (TakeValue("--channels", argc, argv, i, value)) {
      if (convert::CSelection::SplitList(value).empty()) throw UsageError("option --channels needs codes");
      o.channels = value;
    } else if (TakeValue("--locations", argc, argv, i, value)) {
      if (convert::CSelection::SplitList(value).empty()) throw UsageError("option --locations needs codes");
      o.locations = value;
    } else if (TakeValue("--networks", argc, argv, i, value)) {
      if (convert::CSelection::SplitList(value).empty()) throw UsageError("option --networks needs codes");
      o.networks = value;
    } else if (TakeValue("--shard", argc, argv, i, value)) {
      if (!convert::ParseShard(value, o.shard, o.shards))
        throw UsageError("bad --shard \"" + value + "\": use K/N with 1 <= K <= N");
    } else if (arg == "-") {
      throw UsageError("reading standard input is not supported; name the files");
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  if (o.quiet && o.verbose) throw UsageError("-q and -v exclude each other");
  if (o.vezIni.empty()) o.vezIni = FindVezIni();
  if (o.check && o.coverage) throw UsageError("--check and --coverage exclude each other");
  if (o.follow && (o.check || o.coverage || o.repair)) throw UsageError("--follow excludes --check, --coverage and --repair");
  if (followOnly && !o.follow) throw UsageError("--poll, --include and --state belong to --follow");
  if (o.follow) {
    if (o.files.empty()) throw UsageError("--follow needs a folder");
    if (o.noWait) throw UsageError("--no-wait has no meaning with --follow: it waits for other runs");
    if (timeGiven || formatGiven || !o.output.empty())
      throw UsageError("--from, --to, --format and --output belong to --coverage");
    return o;
  }
  if (!o.coverage && (timeGiven || formatGiven || !o.output.empty()))
    throw UsageError("--from, --to, --format and --output belong to --coverage");
  if (o.coverage) {
    if (!o.files.empty()) throw UsageError("--coverage takes no input files");
    if (qualityGiven || o.verbose || o.jobs || o.commitMs >= 0 || o.noWait || o.shards > 1)
      throw UsageError("--coverage takes none of the conversion options but --stations and --channels");
    if (!std::isnan(o.from) && !std::isnan(o.to) && !(o.from < o.to))
      throw UsageError("--from must come before --to");
    return o;
  }
  if (o.repair && o.coverage) throw UsageError("--coverage and --repair exclude each other");
  if (o.check && o.repair) throw UsageError("--check and --repair exclude each other");
  if ((o.dryRun || o.dropMissing) && !o.repair) throw UsageError("--dry-run and --drop-missing go with --repair");
  if (o.repair) {
    if (!o.files.empty()) throw UsageError("--repair takes no input files");
    if (qualityGiven) throw UsageError("--quality has no meaning with --repair");
    if (o.verbose) throw UsageError("-v has no meaning with --repair");
    if (o.jobs || o.commitMs >= 0 || !o.channels.empty() || !o.locations.empty() || !o.networks.empty() ||
        o.shards > 1)
      throw UsageError("--repair takes of the conversion options only --stations and --no-wait");
    return o;
  }
  if (o.check) {
    if (!o.files.empty()) throw UsageError("--check takes no input files");
    if (qualityGiven) throw UsageError("--quality has no meaning with --check");
    if (o.verbose) throw UsageError("-v has no meaning with --check");
    if (o.jobs || o.commitMs >= 0 || o.noWait || !o.stations.empty() || !o.channels.empty() ||
        !o.locations.empty() || !o.networks.empty() || o.shards > 1)
      throw UsageError("--check takes none of the conversion options");
    return o;
  }
  if (o.files.empty()) throw UsageError("no input file");
  return o;
}

namespace {

// "  KIND  MEANING" lines, the meaning's own lines indented to its column.
std::string FindingKindsHelp() {
  constexpr size_t kColumn = 20;
  std::string text;
  for (archive::FindingKind kind : archive::kAllFindingKinds) {
    std::string line = std::string("  ") + archive::KindName(kind);
    line.resize(kColumn, ' ');
    for (char c : std::string(archive::KindMeaning(kind))) {
      line += c;
      if (c == '\n') line += std::string(kColumn, ' ');
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace

std::string ShortUsage() {
  return std::string("usage: ") + kProgram +
         " [--vez-ini FILE] [--quality CODES] [--jobs N] [--commit-interval MS]\n"
         "       [--no-wait] [--stations LIST] [--channels LIST] [--locations LIST]\n"
         "       [--networks LIST] [--shard K/N] [-q|-v]\n"
         "       FILE|@LISTFILE...\n"
         "       " + kProgram + " --follow [--poll SEC] [--include GLOB] [--state FILE]\n"
         "       [conversion options] DIR...\n"
         "       " + kProgram + " --check [--vez-ini FILE] [-q]\n"
         "       " + kProgram + " --coverage [--vez-ini FILE] [--stations LIST] [--channels LIST]\n"
         "       [--from TIME] [--to TIME] [--format text|csv|json|svg] [--output FILE]\n"
         "       " + kProgram + " --repair [--dry-run] [--drop-missing[=N]] [--stations LIST]\n"
         "       [--no-wait] [--vez-ini FILE] [-q]\n"
         "Try '" + kProgram + " --help' for more information.\n";
}

std::string HelpText() {
  return std::string("usage: ") + kProgram + " [OPTIONS] FILE|@LISTFILE...\n" +
         "       " + kProgram + " --check [--vez-ini FILE] [-q]\n" +
         "       " + kProgram + " --coverage [--vez-ini FILE] [COVERAGE OPTIONS]\n" +
         "       " + kProgram + " --repair [--dry-run] [--drop-missing[=N]] [--stations LIST]\n" +
         "       [--no-wait] [--vez-ini FILE] [-q]\n" +
         "\n"
         "Converts SEED data records into VEZ archive data files and registers every\n"
         "file in the archive table FILELIST (ODBC data source VEZ).\n"
         "With --check, converts nothing and checks the archive instead; with\n"
         "--coverage, reports what the archive holds.\n"
         "--repair, mends what the check finds where the files say what is right.\n"
         "\n"
         "Inputs:\n"
         "  FILE              a SEED or miniSEED file; miniSEED 2 and 3 records may\n"
         "                    be mixed. miniSEED 3 publication versions count as\n"
         "                    qualities for --quality: 1 R, 2 D, 3 Q, 4 M, others D\n"
         "  @LISTFILE         the files named in LISTFILE, one a line; blank lines and\n"
         "                    lines starting with # are ignored; relative names are\n"
         "                    taken from the current folder. Inputs are converted\n"
         "                    in command-line order.\n"
         "\n"
         "Options:\n"
         "  --vez-ini FILE    the archive configuration; its [DATA] DIR names the data\n"
         "                    folder (not empty, not the root folder). Default:\n"
         "                    $XDG_CONFIG_HOME/VEZ.ini (without\n"
         "                    XDG_CONFIG_HOME: ~/.config/VEZ.ini) if it exists,\n"
         "                    else /etc/VEZ.ini\n"
         "  --quality CODES   data record quality indicators to convert, any of the\n"
         "                    letters D, Q, R, M (default DQ)\n"
         "  --jobs N          threads that decode, join and write (default: the cores\n"
         "                    this process may use, at most 8); the archive comes out\n"
         "                    the same whatever N\n"
         "  --commit-interval MS  FILELIST registrations are committed in groups,\n"
         "                        at most MS milliseconds (and the time of the\n"
         "                        commit) after their data were written, and at\n"
         "                        the end of every input file\n"
         "                        (default: COMMIT_MS of section [BREVANTO] in\n"
         "                        ./brevanto.ini, else 1000); 0 commits each\n"
         "                        write's registration at once\n"
         "  --no-wait         when another run is converting one of the stations of\n"
         "                    the input, end at once (exit status 3) instead of\n"
         "                    waiting for it; nothing is written\n"
         "  --stations LIST   convert only these stations: comma-separated codes or\n"
         "                    shell patterns (BGLD,CE*), case-sensitive; an item that\n"
         "                    matches no record of any input fails the run\n"
         "  --channels LIST   convert only these channels (BHZ,LH?), the same way\n"
         "  --locations LIST  convert only these location codes (00,1?), the same\n"
         "                    way; -- names the blank location\n"
         "  --networks LIST   convert only these network codes (IU,G*), the same way\n"
         "  --shard K/N       convert only the stations in group K of N (1 <= K <= N),\n"
         "                    by a stable hash of the station code: N runs with\n"
         "                    K = 1..N over the same input convert all of it once;\n"
         "                    a shard that gets no station says so and succeeds\n"
         "  -q, --quiet       print errors only; the summary only when something failed\n"
         "  -v, --verbose     print every status text on its own line (standard output)\n"
         "  --check           check the archive: compare the data files under the data\n"
         "                    folder with the rows of FILELIST, print one line per\n"
         "                    finding and a summary on standard output; reads only\n"
         "  --coverage        report what FILELIST says the archive holds, per station\n"
         "                    and channel: continuous spans (files less than one\n"
         "                    sample period apart), the gaps between them with their\n"
         "                    lengths, overlaps, sample rates, and the time covered\n"
         "                    and its percentage of the window; reads only FILELIST.\n"
         "                    (COVERAGE OPTIONS: --stations, --channels, --from,\n"
         "                    --to, --format, --output, -q)\n"
         "  --follow          follow the folders named instead of files, and their\n"
         "                    subfolders: whole records appended to their files, and\n"
         "                    files that appear, are converted as they come, until\n"
         "                    SIGINT or SIGTERM. (FOLLOW OPTIONS: --poll, --include,\n"
         "                    --state, and the conversion options but --no-wait)\n"
         "  --poll SEC        look at every followed file at least every SEC seconds\n"
         "                    (default 10), for where inotify sees no change (NFS)\n"
         "  --include GLOB    follow only files whose name matches GLOB (default: all\n"
         "                    but hidden ones)\n"
         "  --state FILE      keep the resume state in FILE (default:\n"
         "                    .brevanto-follow/state in the data folder)\n"
         "  --from TIME       the start of the window of --coverage, ISO 8601 UTC\n"
         "                    (2024-03-15, 2024-03-15T06:00:00); default: the\n"
         "                    first sample\n"
         "  --to TIME         the end of the window; default: the last sample.\n"
         "                    Spans are cut at the window, and its edges count\n"
         "                    as gaps\n"
         "  --format FORMAT   of --coverage: text (aligned, the default), csv (one\n"
         "                    span, gap or overlap a line), json (times ISO 8601 UTC\n"
         "                    to the microsecond) or svg (a timeline, one row per\n"
         "                    channel, 1200 px wide)\n"
         "  --output FILE     write --coverage to FILE instead of standard output\n"
         "  --repair          mend the archive (see When the archive is not whole);\n"
         "                    with --stations, only those stations' folders\n"
         "  --dry-run         with --repair: print what would be done, change nothing\n"
         "  --drop-missing[=N]  with --repair: delete the rows whose data file is\n"
         "                    gone; refused when more than 10 % of the rows, or more\n"
         "                    than 1000, would go, unless N names their number\n"
         "  -h, --help        print this help and exit\n"
         "  -V, --version     print the version and exit\n"
         "  --                end of options: later arguments are files\n"
         "\n"
         "On a terminal, a status line on standard error shows the progress.\n"
         "Errors and the closing summary go to standard error.\n"
         "\n"
         "Runs side by side: a run locks every station of its input (files in\n"
         ".brevanto-lock/ in the data folder) before it writes anything, so runs\n"
         "that share a station take turns and runs on other stations go on at once.\n"
         "SIGINT or SIGTERM stops reading; what was read is written and registered,\n"
         "the summary says \"interrupted\" and the exit status is 130 or 143. A\n"
         "second signal ends the process at once.\n"
         "\n"
         "Following: a partial record at a file's end waits until it is whole. Each\n"
         "round locks only the stations it writes, while it writes and commits\n"
         "them, so batch runs of the same stations go on beside it. After each\n"
         "commit the resume state records, per file, its device, inode, size, time\n"
         "and the byte up to which its records are in the archive; a restart, also\n"
         "after a crash, goes on from there. A file that is shorter or another file\n"
         "is read from its start again, which stores nothing twice. SIGINT or\n"
         "SIGTERM ends following after the round in hand, exit status 0. SIGHUP\n"
         "reads VEZ.ini (the data folder), ./brevanto.ini (COMMIT_MS) and the\n"
         "selection again between two rounds; where the command line names no\n"
         "stations, channels, locations or networks, the keys STATIONS, CHANNELS,\n"
         "LOCATIONS and NETWORKS of section [FOLLOW] in ./brevanto.ini do. A line\n"
         "on standard error says what was read, or what failed and that the old\n"
         "settings are kept. Every minute a line on standard error gives the\n"
         "records and samples converted since the last one, the files followed and\n"
         "the age of the oldest byte not yet converted; -q silences it.\n"
         "\n"
         "One copy of every sample: the archive keeps one stream (NET.STA.LOC.CHA)\n"
         "per station and channel. Where the input holds several, the one whose\n"
         "network code, then location code, comes first is converted (a blank\n"
         "location first) and each other stream is named; --locations or\n"
         "--networks chooses another. A sample time the archive already holds for a\n"
         "station and channel is never stored again: the same value is counted as a\n"
         "duplicate, another value is reported and not stored.\n"
         "\n"
         "Files:\n"
         "  VEZ.ini           the archive configuration, [DATA] DIR: the data folder;\n"
         "                    $XDG_CONFIG_HOME/VEZ.ini (without XDG_CONFIG_HOME:\n"
         "                    ~/.config/VEZ.ini) if it exists, else /etc/VEZ.ini\n"
         "  odbc.ini          where the data source VEZ is defined: $ODBCINI, else\n"
         "                    ~/.odbc.ini and /etc/odbc.ini. The run connects with\n"
         "                    DSN=VEZ;UID=VEZ;PWD=QKT; and needs the table FILELIST\n"
         "                    with the columns STA, SPS, GAIN, CPATH, DATATYPE, CH,\n"
         "                    CREATER, LDDATE, TBEGIN, TQTY and FOFF\n"
         "  ./brevanto.ini    [BREVANTO] COMMIT_MS: the default commit interval;\n"
         "                    [FOLLOW] STATIONS, CHANNELS, LOCATIONS, NETWORKS: the\n"
         "                    selection of --follow where the options give none\n"
         "  /etc/default/brevanto-follow\n"
         "                    what the systemd unit brevanto-follow.service follows\n"
         "                    (BREVANTO_FOLLOW_DIRS), with which options\n"
         "                    (BREVANTO_FOLLOW_OPTIONS) and as whom\n"
         "                    (BREVANTO_FOLLOW_USER, BREVANTO_FOLLOW_GROUP)\n"
         "\n"
         "Environment:\n"
         "  ODBCINI           the odbc.ini file that defines the data source VEZ\n"
         "  XDG_CONFIG_HOME   the user's configuration folder, where VEZ.ini is looked\n"
         "                    for first\n"
         "\n"
         "Findings of --check:\n"
         "Each is one line on standard output, KIND CPATH: DETAIL, of these kinds:\n" +
         FindingKindsHelp() +
         "\n"
         "When the archive is not whole:\n"
         "--repair takes the lock of every station in the data folder (waiting for\n"
         "runs that hold one, or with --no-wait exit status 3), checks the archive\n"
         "and mends:\n"
         "  sample-count      the row is updated from its file (TQTY, FOFF)\n"
         "  unregistered      a row is inserted from the file's header; its TBEGIN\n"
         "                    is the whole second the header and name hold\n"
         "  duplicate-row     the first row, the one registration uses, is kept\n"
         "  temporary-file    it is removed\n"
         "  bad-size          the file is cut back to its last whole sample and its\n"
         "                    row follows\n"
         "  missing-file      with --drop-missing, the row is deleted\n"
         "It leaves to the operator, with a reason, what no program can decide:\n"
         "overlap, name-mismatch, row-mismatch (other than FOFF), bad-header,\n"
         "unreadable, files that are not data files, and paths in no station's\n"
         "folder. Every action is one line on standard output (row updated, row\n"
         "inserted, rows deleted, row deleted, file cut, temporary file removed,\n"
         "then the path), each finding left one line (left KIND CPATH: DETAIL;\n"
         "REASON), then a summary. A station's row changes are one transaction.\n"
         "--dry-run prints the same lines and changes nothing.\n"
         "\n"
         "Exit status:\n"
         "  0  every input file was converted, stored and registered\n"
         "  1  something failed: an input file could not be read, yielded no\n"
         "     record or was cut short, a record was refused (damaged: a bad CRC,\n"
         "     cut short or lengths that lie; codes the archive cannot keep) or too\n"
         "     short to be read, a --stations (or --channels, --locations,\n"
         "     --networks) item matched no record, a data segment was not stored or\n"
         "     not registered, a stream was left out, samples overlapped stored data\n"
         "     with other values, or the run was aborted\n"
         "  2  usage error: unknown option, bad value, no input file, or an\n"
         "     unreadable list file\n"
         "  3  the archive could not be opened: the database (data source VEZ) or a\n"
         "     FILELIST that cannot hold the values, the VEZ.ini file or its data\n"
         "     folder (missing, empty or the root folder); or with --no-wait, a\n"
         "     station was being converted by another run; nothing was converted\n"
         "  130, 143  stopped by SIGINT or SIGTERM; what was read is in the archive\n"
         "\n"
         "Exit status of --follow:\n"
         "  0  stopped by SIGINT or SIGTERM; what was read is in the archive\n"
         "  2  usage error\n"
         "  3  the archive could not be opened (as for a run) or the state folder\n"
         "     could not be made\n"
         "\n"
         "Exit status of --check:\n"
         "  0  the archive is whole: every row has its file and every file its row,\n"
         "     and all of them agree\n"
         "  1  findings: the archive is not whole (each is listed)\n"
         "  2  usage error\n"
         "  3  the archive could not be read: the VEZ.ini file, its data folder, the\n"
         "     database (data source VEZ) or its table FILELIST\n"
         "\n"
         "Exit status of --coverage:\n"
         "  0  the report was written (gaps are not failures)\n"
         "  1  the output could not be written\n"
         "  2  usage error\n"
         "  3  the database (data source VEZ) or its table FILELIST could not be read\n"
         "Exit status of --repair:\n"
         "  0  the archive is whole afterwards (with --dry-run: would be)\n"
         "  1  findings remain, or an action failed\n"
         "  2  usage error\n"
         "  3  the archive could not be read or written: as for --check, or the\n"
         "     station locks; with --no-wait, a station was being converted\n"
         "\n"
         "Examples:\n"
         "  brevanto-cli /data/seed/2024-04-08.mseed\n"
         "  brevanto-cli --quality DQM --vez-ini /srv/vez/VEZ.ini station-day/*.mseed\n"
         "  find /data/seed -name '*.mseed' > inputs && brevanto-cli -q @inputs\n"
         "  parallel brevanto-cli -q --shard {}/4 @inputs ::: 1 2 3 4\n"
         "  ODBCINI=/srv/vez/odbc.ini brevanto-cli --check --vez-ini /srv/vez/VEZ.ini\n"
         "  brevanto-cli --coverage --from 2024-03-01 --to 2024-04-01 --channels 'BH?'\n"
         "  brevanto-cli --coverage --format svg --output coverage.svg\n"

         "  brevanto-cli --repair --dry-run && brevanto-cli --repair\n"

         "  brevanto-cli --follow --include '*.D.*' /srv/seedlink/archive\n";
}

}  // namespace cli
