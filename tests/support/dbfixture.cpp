#include "support/dbfixture.h"

#include <dlfcn.h>
#include <odbcinst.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

using Keys = DataSourceScope::Keys;

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// KEY=value pairs of a connection string; {braced} values may hold ';'.
Keys ParseConnectionString(const std::string& text) {
  Keys keys;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos) break;
    std::string key = Trim(text.substr(pos, eq - pos));
    std::string value;
    size_t end;
    if (eq + 1 < text.size() && text[eq + 1] == '{') {
      const size_t close = text.find('}', eq + 2);
      value = text.substr(eq + 2, close - eq - 2);
      end = text.find(';', close);
    } else {
      end = text.find(';', eq + 1);
      value = text.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
    }
    if (!key.empty()) keys.emplace_back(key, Trim(value));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return keys;
}

// unixODBC caches what is read from odbc.ini for the process, so a changed
// ODBCINI alone goes unseen. The copy that the drivers read through is
// libodbcinst's, and its writer empties that cache; the driver manager's own
// copy cannot be reached (see UseAsDataSource). Loaded by name, as the drivers
// load it, which keeps the test binary off libodbcinst's link line.
BOOL WriteProfileString(const char* section, const char* key, const char* value,
                        const std::string& file) {
  using Writer = decltype(&SQLWritePrivateProfileString);
  static const Writer writer = [] {
    void* library = dlopen("libodbcinst.so.2", RTLD_NOW);
    if (!library) throw std::runtime_error(std::string("cannot load libodbcinst: ") + dlerror());
    auto* symbol = reinterpret_cast<Writer>(dlsym(library, "SQLWritePrivateProfileString"));
    if (!symbol) throw std::runtime_error("SQLWritePrivateProfileString not found");
    return symbol;
  }();
  return writer(section, key, value, file.c_str());
}

std::string DriverOf(const Keys& keys) {
  for (const auto& [key, value] : keys)
    if (strcasecmp(key.c_str(), "Driver") == 0) return value;
  return {};
}

class SqliteDatabase : public TestDatabase {
 public:
  SqliteDatabase(std::unique_ptr<TempDir> dir, const std::string& file)
      : TestDatabase("sqlite", "Driver=SQLite3;Database=" + file + ";SyncPragma=NORMAL;"),
        m_Dir(std::move(dir)),
        m_File(file) {
    // As scripts/make-archive sets up an archive; a commit then costs no fsync.
    Exec("PRAGMA journal_mode=WAL");
    RunScript(SchemaScript());
  }
  ~SqliteDatabase() override { Admin().Close(); }

  Keys DataSourceKeys() const {
    return {{"Driver", "SQLite3"}, {"Database", m_File}, {"SyncPragma", "NORMAL"}};
  }

 private:
  std::unique_ptr<TempDir> m_Dir;
  std::string m_File;
};

// Each database is a schema of its own, named first in search_path, so that
// tests running in parallel processes never see each other's rows.
class PostgresDatabase : public TestDatabase {
 public:
  PostgresDatabase(const std::string& base, const std::string& schema)
      : TestDatabase("postgres", WithSearchPath(base, schema)), m_Base(base), m_Schema(schema) {
    Exec("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    Exec("CREATE SCHEMA " + schema);
    RunScript(SchemaScript());
  }
  ~PostgresDatabase() override {
    try {
      Exec("DROP SCHEMA IF EXISTS " + m_Schema + " CASCADE");
    } catch (const odbc::Error&) {
      // The cluster may already be gone; the schema dies with it.
    }
  }

  Keys DataSourceKeys() const {
    Keys keys;
    for (auto [key, value] : ParseConnectionString(m_Base)) {
      // In odbc.ini the driver reads the user and password under these names only.
      if (strcasecmp(key.c_str(), "UID") == 0) key = "Username";
      if (strcasecmp(key.c_str(), "PWD") == 0) key = "Password";
      if (strcasecmp(key.c_str(), "Server") == 0) key = "Servername";
      keys.emplace_back(key, value);
    }
    keys.emplace_back("ConnSettings", SearchPath(m_Schema));
    return keys;
  }

 private:
  static std::string SearchPath(const std::string& schema) {
    return "SET search_path TO " + schema;
  }
  static std::string WithSearchPath(std::string base, const std::string& schema) {
    if (!base.empty() && base.back() != ';') base += ';';
    return base + "ConnSettings={" + SearchPath(schema) + "};";
  }

  std::string m_Base;
  std::string m_Schema;
};

}  // namespace

DataSourceScope::DataSourceScope(const std::string& name, const Keys& keys)
    : m_Name(name), m_Path(m_Dir / "odbc.ini") {
  std::ofstream(m_Path).put('\n');
  if (const char* previous = std::getenv("ODBCINI")) m_Previous = previous;
  ::setenv("ODBCINI", m_Path.c_str(), 1);
  try {
    for (const auto& [key, value] : keys) {
      if (!WriteProfileString(name.c_str(), key.c_str(), value.c_str(), m_Path))
        throw std::runtime_error("cannot write " + key + " of data source " + name + " to " +
                                 m_Path);
    }
  } catch (...) {
    Restore();
    throw;
  }
}

DataSourceScope::~DataSourceScope() { Restore(); }

void DataSourceScope::Restore() noexcept {
  try {
    WriteProfileString(m_Name.c_str(), nullptr, nullptr, m_Path);
  } catch (const std::exception&) {
  }
  if (m_Previous)
    ::setenv("ODBCINI", m_Previous->c_str(), 1);
  else
    ::unsetenv("ODBCINI");
}

TestDatabase::TestDatabase(std::string backendName, std::string connectionString)
    : backend(std::move(backendName)), connect(std::move(connectionString)) {
  m_Admin.Open(connect);
}

TestDatabase::~TestDatabase() = default;

void TestDatabase::Exec(const std::string& sql) { m_Admin.ExecuteDirect(sql); }

void RunSqlScript(odbc::Connection& connection, const std::string& script) {
  std::string code;
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) code += line.substr(0, line.find("--")) + "\n";
  std::istringstream statements(code);
  for (std::string statement; std::getline(statements, statement, ';');) {
    if (!Trim(statement).empty()) connection.ExecuteDirect(statement);
  }
}

void TestDatabase::RunScript(const std::string& script) { RunSqlScript(m_Admin, script); }

std::string TestDatabase::SchemaScript() const {
  return ReadTextFile(std::string(BREVANTO_SOURCE_DIR) + "/sql/filelist-" + backend + ".sql");
}

std::vector<FileListRow> TestDatabase::Rows() {
  const bool sqlite = backend == "sqlite";
  // The SQLite driver turns a REAL into text of 15 digits; 17 are exact.
  auto dbl = [&](const std::string& name) {
    return sqlite ? "printf('%!.17g', " + name + ")" : name;
  };
  const std::string sql = "SELECT ID, STA, " + dbl("SPS") +
                          ", GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, " + dbl("TBEGIN") + ", " +
                          dbl("TQTY") + ", FOFF FROM FILELIST ORDER BY ID";
  odbc::Statement select(m_Admin);
  select.Prepare(sql);
  select.Execute();
  auto readDouble = [&](int col) {
    return sqlite ? std::strtod(select.GetText(col).c_str(), nullptr) : select.GetDouble(col);
  };
  std::vector<FileListRow> rows;
  while (select.Fetch()) {
    FileListRow row;
    row.id = select.GetInt64(1);
    row.sta = select.GetText(2);
    row.sps = readDouble(3);
    row.gain = select.GetInt(4);
    row.cpath = select.GetText(5);
    row.dataType = select.GetInt(6);
    row.ch = select.GetText(7);
    row.creater = select.GetText(8);
    row.lddate = select.GetTimestamp(9);
    row.tBegin = readDouble(10);
    row.tQty = readDouble(11);
    row.foff = select.GetInt(12);
    rows.push_back(std::move(row));
  }
  select.CloseCursor();
  return rows;
}

std::unique_ptr<DataSourceScope> TestDatabase::UseAsDataSource(const std::string& name) const {
  Keys keys;
  if (auto* sqlite = dynamic_cast<const SqliteDatabase*>(this))
    keys = sqlite->DataSourceKeys();
  else if (auto* postgres = dynamic_cast<const PostgresDatabase*>(this))
    keys = postgres->DataSourceKeys();
  else
    throw std::logic_error("no data source for backend " + backend);

  static std::map<std::string, std::string> boundDrivers;
  const auto [bound, first] = boundDrivers.emplace(name, DriverOf(keys));
  if (!first && bound->second != DriverOf(keys)) return nullptr;
  return std::make_unique<DataSourceScope>(name, keys);
}

std::unique_ptr<TestDatabase> MakeTestDatabase(const std::string& backend) {
  if (backend == "sqlite") {
    auto dir = std::make_unique<TempDir>();
    const std::string file = *dir / "filelist.db";
    return std::make_unique<SqliteDatabase>(std::move(dir), file);
  }
  if (backend == "postgres") {
    const char* base = std::getenv("BREVANTO_PG_CONNECT");
    if (!base || !*base) return nullptr;
    static std::atomic<int> serial{0};
    const std::string schema =
        "brevanto_test_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
    return std::make_unique<PostgresDatabase>(base, schema);
  }
  throw std::invalid_argument("unknown test database backend " + backend);
}

void DatabaseTest::SetUp() {
  db = MakeTestDatabase(GetParam());
  if (!db) GTEST_SKIP() << kPostgresSkipMessage;
}

}  // namespace testsupport
