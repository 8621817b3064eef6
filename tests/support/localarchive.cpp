#include "support/localarchive.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "platform/ini.h"
#include "platform/odbc.h"
#include "support/seedgen.h"

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutMs = 300000;

}  // namespace

std::vector<std::vector<unsigned char>> VolumeRecords(const VolumePlan& plan) {
  std::vector<std::vector<unsigned char>> records;
  const double recordSeconds = static_cast<double>(plan.samplesPerRecord) / plan.sps;
  for (int r = plan.firstRecord; r < plan.records; ++r) {
    const double t = static_cast<double>(plan.start) + r * recordSeconds + (r > plan.gapAfter ? plan.gapSeconds : 0);
    const auto whole = static_cast<time_t>(t);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    for (size_t c = 0; c < plan.channels.size(); ++c) {
      seedgen::Header h;
      h.network = plan.network;
      h.station = plan.station;
      h.location = plan.location;
      h.channel = plan.channels[c];
      h.year = tm.tm_year + 1900;
      h.dayOfYear = tm.tm_yday + 1;
      h.hour = tm.tm_hour;
      h.minute = tm.tm_min;
      h.second = tm.tm_sec;
      h.tenThousandths = static_cast<int>((t - static_cast<double>(whole)) * 10000 + 0.5);
      h.rateFactor = plan.sps;
      h.rateMultiplier = 1;
      h.encoding = 11;
      // A slow triangle: differences of one fit Steim2's smallest words.
      std::vector<int32_t> samples(static_cast<size_t>(plan.samplesPerRecord));
      for (int i = 0; i < plan.samplesPerRecord; ++i) {
        const int phase = (i + r * 3) % 40;
        samples[static_cast<size_t>(i)] =
            static_cast<int32_t>(1000 * (c + 1) + r + (phase < 20 ? phase : 40 - phase) + plan.valueOffset);
      }
      records.push_back(seedgen::EncodeRecord(h, samples));
    }
  }
  return records;
}

void WriteVolume(const std::string& path, const VolumePlan& plan) {
  std::vector<unsigned char> volume;
  for (const auto& record : VolumeRecords(plan)) volume.insert(volume.end(), record.begin(), record.end());
  WriteFileBytes(path, volume);
}

pid_t StartProgram(const std::vector<std::string>& args, const std::string& errFile, bool append) {
  std::vector<std::string> strings = args;
  std::vector<char*> argv = ExecPointers(strings);
  const int in = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(in, 1);
    ::dup2(err, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in);
  ::close(err);
  return pid;
}

std::vector<std::string> EnvironmentWith(const EnvOverrides& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (!overrides.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  for (const auto& [k, v] : overrides) env.push_back(k + "=" + v);
  return env;
}

std::vector<char*> ExecPointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

int ExitStatusOf(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::function<std::string()>& setup, const EnvOverrides& env) {
  std::vector<std::string> all = args;
  all.insert(all.begin(), program);
  std::vector<std::string> envStrings = EnvironmentWith(env);
  std::vector<char*> argv = ExecPointers(all), envp = ExecPointers(envStrings);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (setup) {
      const std::string problem = setup();
      if (!problem.empty()) {
        const std::string line = "setup: " + problem + "\n";
        if (::write(2, line.data(), line.size()) < 0) {}
        ::_exit(125);
      }
    }
    // Without overrides the child keeps what setup did to its environment.
    if (env.empty())
      ::execv(program.c_str(), argv.data());
    else
      ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  ProgramOutcome o;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&o.out, &o.err};
  int open = 2;
  while (open > 0) {
    const int n = ::poll(fds, 2, kTimeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::kill(pid, SIGKILL);
      o.err += "\n[killed: did not finish]\n";
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {}
  o.status = ExitStatusOf(wstatus);
  return o;
}

std::string CliPath() { return BREVANTO_BINARY_DIR "/bin/brevanto-cli"; }

RunSummary ParseRunSummary(const std::string& err) {
  RunSummary s;
  std::smatch m;
  static const std::regex files(
      R"(samples (\d+); data files created (\d+), extended (\d+); FILELIST registrations (\d+), rows of this run's files (\d+))");
  static const std::regex segments(R"(segments not stored (\d+) \((\d+) samples\))");
  static const std::regex result(R"(\nresult: ([^\r\n]*))");
  if (std::regex_search(err, m, files)) {
    s.found = true;
    s.samples = std::stol(m[1]);
    s.created = std::stol(m[2]);
    s.extended = std::stol(m[3]);
    s.registrations = std::stol(m[4]);
    s.rows = std::stol(m[5]);
  }
  if (std::regex_search(err, m, segments)) {
    s.segmentsNotStored = std::stol(m[1]);
    s.samplesNotStored = std::stol(m[2]);
  }
  if (std::regex_search(err, m, result)) s.result = m[1];
  return s;
}

LocalArchive::LocalArchive() : m_Root(m_Tmp.Path().string()) {
  // Open to every user, for children that give up root.
  fs::permissions(m_Root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  fs::create_directory(DataDir());
  if (!platform::WritePrivateProfileString("DATA", "DIR", DataDir(), Ini()))
    throw std::runtime_error("cannot write " + Ini());
}

LocalArchive::~LocalArchive() = default;

std::unique_ptr<LocalArchive> LocalArchive::Sqlite(Shape shape) {
  std::unique_ptr<LocalArchive> a(new LocalArchive);
  fs::create_directory(a->m_Root + "/db");
  a->m_DatabaseFile = a->m_Root + "/db/vez.db";
  // The driver's default rollback journal: the database itself grows by a
  // few pages only, whatever the run writes into the data folder.
  a->m_Connect = "Driver=SQLite3;Database=" + a->m_DatabaseFile + ";SyncPragma=NORMAL;";
  odbc::Connection c;
  c.Open(a->m_Connect);
  RunSqlScript(c, SchemaScript("sqlite", shape));
  c.Close();
  a->m_Source = std::make_unique<DataSourceScope>(
      "VEZ", DataSourceScope::Keys{{"Driver", "SQLite3"},
                                   {"Database", a->m_DatabaseFile},
                                   {"SyncPragma", "NORMAL"},
                                   {"Timeout", "10000"}});
  ::chmod(a->m_Source->IniPath().c_str(), 0644);
  ::chmod(fs::path(a->m_Source->IniPath()).parent_path().c_str(), 0755);
  return a;
}

std::unique_ptr<LocalArchive> LocalArchive::OnServer(const std::string& connect, const DataSourceScope::Keys& keys) {
  std::unique_ptr<LocalArchive> a(new LocalArchive);
  a->m_Connect = connect;
  a->m_Source = std::make_unique<DataSourceScope>("VEZ", keys);
  return a;
}

std::unique_ptr<LocalArchive> LocalArchive::On(std::unique_ptr<TestDatabase> db) {
  std::unique_ptr<LocalArchive> a(new LocalArchive);
  // Only the children that run brevanto-cli use the data source, so this
  // process never ties the name to a driver. The user and password stay out
  // of it: the run's connection string brings them, and psqlODBC leaks a
  // password given twice.
  DataSourceScope::Keys keys;
  for (auto [key, value] : ParseConnectionString(db->connect)) {
    if (strcasecmp(key.c_str(), "UID") == 0 || strcasecmp(key.c_str(), "PWD") == 0) continue;
    if (strcasecmp(key.c_str(), "Server") == 0) key = "Servername";
    keys.emplace_back(key, value);
  }
  a->m_Source = std::make_unique<DataSourceScope>("VEZ", keys);
  a->m_Connect = db->connect;
  a->m_Db = std::move(db);
  return a;
}

ProgramOutcome LocalArchive::Convert(const std::vector<std::string>& inputs,
                                     const std::function<std::string()>& setup) const {
  std::vector<std::string> args{"--vez-ini", Ini()};
  args.insert(args.end(), inputs.begin(), inputs.end());
  return RunProgram(CliPath(), args, setup);
}

ProgramOutcome LocalArchive::CheckCli() const { return RunProgram(CliPath(), {"--check", "--vez-ini", Ini()}); }

archive::CheckReport LocalArchive::Check() const {
  odbc::Connection c;
  c.Open(m_Connect);
  return archive::CheckArchive(DataDir(), c);
}

ArchiveImage LocalArchive::Image() const {
  ArchiveImage image;
  std::error_code missing;
  for (auto it = fs::recursive_directory_iterator(DataDir(), missing); it != fs::recursive_directory_iterator(); ++it) {
    const auto& e = *it;
    if (e.path().filename() == archive::kLockFolderName) it.disable_recursion_pending();
    if (!e.is_regular_file() || e.path().parent_path().filename() == archive::kLockFolderName) continue;
    const auto bytes = ReadFileBytes(e.path().string());
    image.files[fs::relative(e.path(), DataDir()).string()] = std::string(bytes.begin(), bytes.end());
  }
  odbc::Connection c;
  c.Open(m_Connect);
  odbc::Statement select(c);
  select.Prepare("SELECT CPATH, STA, CH, SPS, TBEGIN, TQTY, FOFF, GAIN, DATATYPE, CREATER FROM FILELIST");
  select.Execute();
  while (select.Fetch()) {
    // Columns in order: drivers need not return them in any other.
    const std::string cpath = select.GetText(1), sta = select.GetText(2), ch = select.GetText(3);
    const double sps = select.GetDouble(4), tBegin = select.GetDouble(5), tQty = select.GetDouble(6);
    const int foff = select.GetInt(7), gain = select.GetInt(8), dataType = select.GetInt(9);
    const std::string creater = select.GetText(10);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "|%.17g|%.17g|%.17g|%d|%d|%d|", sps, tBegin, tQty, foff, gain, dataType);
    image.rows.push_back(cpath + "|" + sta + "|" + ch + numbers + creater);
  }
  select.CloseCursor();
  std::sort(image.rows.begin(), image.rows.end());
  return image;
}

void LocalArchive::Wipe() const {
  for (const auto& e : fs::directory_iterator(DataDir())) fs::remove_all(e.path());
  Exec("DELETE FROM FILELIST");
}

void LocalArchive::Exec(const std::string& sql) const {
  odbc::Connection c;
  c.Open(m_Connect);
  c.ExecuteDirect(sql);
}

std::string Describe(const archive::CheckReport& report) {
  std::string text = std::to_string(report.findings.size()) + " findings\n";
  for (const auto& f : report.findings) text += archive::FormatFinding(f) + "\n";
  return text;
}

ArchiveImage WithoutDurations(ArchiveImage image) {
  for (auto& [path, bytes] : image.files)
    if (const size_t at = bytes.find("Time duration="); at != std::string::npos && at + 22 <= bytes.size())
      bytes.replace(at + 14, 8, "HH MM SS");
  return image;
}

void ExpectSameArchive(const ArchiveImage& got, const ArchiveImage& want) {
  std::string only;
  for (const auto& f : got.files)
    if (!want.files.count(f.first)) only += "\n  not in the other archive: " + f.first;
  for (const auto& [name, bytes] : want.files) {
    const auto it = got.files.find(name);
    if (it == got.files.end())
      only += "\n  missing: " + name;
    else if (it->second != bytes)
      only += "\n  differs: " + name;
  }
  EXPECT_TRUE(only.empty()) << "data files:" << only;
  EXPECT_EQ(got.rows, want.rows);
}

}  // namespace testsupport
