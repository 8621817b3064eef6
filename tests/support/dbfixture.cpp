#include "support/dbfixture.h"

#include <dlfcn.h>
#include <odbcinst.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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

Keys ParseKeys(const std::string& text) {
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
      value = text.substr(eq + 2, close == std::string::npos ? std::string::npos : close - eq - 2);
      end = close == std::string::npos ? close : text.find(';', close);
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

// How a backend names what the shapes need.
struct Types {
  const char* quote;
  const char* key;          // an ID-like key column that the database numbers
  const char* filledKey;    // the same, NOT NULL without a default
  const char* time;         // LDDATE as sql/ makes it
  const char* otherTime;    // and as another archive may
  const char* otherDouble;  // another name of double precision
  const char* textIndex;    // the index column of a TEXT path
};

const Types& TypesOf(const std::string& backend) {
  static const Types sqlite{"\"", "INTEGER PRIMARY KEY AUTOINCREMENT", "NR INTEGER NOT NULL PRIMARY KEY",
                            "TIMESTAMP", "DATETIME", "REAL", "%s"};
  static const Types postgres{"\"", "BIGSERIAL PRIMARY KEY",
                              "NR BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY", "TIMESTAMP", "TIMESTAMP(0)",
                              "FLOAT", "%s"};
  // TEXT takes an index only on a prefix.
  static const Types mariadb{"`", "BIGINT AUTO_INCREMENT PRIMARY KEY", "NR BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY",
                             "DATETIME", "TIMESTAMP", "REAL", "%s(255)"};
  if (backend == "sqlite") return sqlite;
  if (backend == "postgres") return postgres;
  if (backend == "mariadb") return mariadb;
  throw std::invalid_argument("unknown test database backend " + backend);
}

std::string Format(const char* format, const std::string& value) {
  std::string out = format;
  out.replace(out.find("%s"), 2, value);
  return out;
}

constexpr const char* kEleven[] = {"STA", "SPS", "GAIN", "CPATH", "DATATYPE", "CH",
                                   "CREATER", "LDDATE", "TBEGIN", "TQTY", "FOFF"};

// The reordered shape's spelling of each name.
const std::map<std::string, std::string>& ReorderedNames() {
  static const std::map<std::string, std::string> names{
      {"FILELIST", "FileList"}, {"STA", "sta"},         {"SPS", "Sps"},       {"GAIN", "gain"},
      {"CPATH", "CPath"},       {"DATATYPE", "DataType"}, {"CH", "ch"},       {"CREATER", "Creater"},
      {"LDDATE", "LdDate"},     {"TBEGIN", "TBegin"},   {"TQTY", "Tqty"},     {"FOFF", "foff"}};
  return names;
}

std::string Quote(const Types& t, const std::string& name) { return t.quote + name + t.quote; }

// Replaces the words of sql found in names, outside '...' literals.
std::string Rename(const std::string& sql, const std::map<std::string, std::string>& names) {
  std::string out;
  for (size_t i = 0; i < sql.size();) {
    const auto c = static_cast<unsigned char>(sql[i]);
    size_t end = i + 1;
    if (c == '\'') {
      end = std::min(sql.find('\'', i + 1), sql.size() - 1) + 1;
      out.append(sql, i, end - i);
    } else if (std::isalpha(c) || c == '_') {
      while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) ++end;
      const std::string word = sql.substr(i, end - i);
      const auto it = names.find(word);
      out += it == names.end() ? word : it->second;
    } else {
      out += sql[i];
    }
    i = end;
  }
  return out;
}

std::string ReorderedScript(const std::string& backend) {
  const Types& t = TypesOf(backend);
  const auto& n = ReorderedNames();
  auto q = [&](const char* name) { return Quote(t, n.at(name)); };
  return "CREATE TABLE " + q("FILELIST") + " (\n  " + Quote(t, "Added") +
         " TIMESTAMP DEFAULT CURRENT_TIMESTAMP,\n  " + q("FOFF") + " BIGINT, " + q("TQTY") + " " + t.otherDouble +
         ", " + q("TBEGIN") + " " + t.otherDouble + ", " + q("LDDATE") + " " + t.otherTime + ", " + q("CREATER") +
         " TEXT, " + q("CH") + " TEXT, " + q("DATATYPE") + " INT, " + q("CPATH") + " TEXT, " + q("GAIN") +
         " SMALLINT, " + q("SPS") + " " + t.otherDouble + ", " + q("STA") + " TEXT,\n  " + Quote(t, "Origin") +
         " VARCHAR(16) NOT NULL DEFAULT 'archive'\n);\nCREATE INDEX " + Quote(t, "FileList_CPath") + " ON " +
         q("FILELIST") + " (" + Format(t.textIndex, q("CPATH")) + ");\n";
}

std::string PaddedScript(const std::string& backend) {
  const Types& t = TypesOf(backend);
  const std::string dbl = backend == "postgres" ? "FLOAT8" : "DOUBLE PRECISION";
  return std::string("CREATE TABLE FILELIST (\n  NR ") + t.key + ", STA CHAR(255), SPS " + dbl +
         ", GAIN INT, CPATH CHAR(255), DATATYPE INT, CH CHAR(255), CREATER CHAR(255), LDDATE " + t.otherTime +
         ", TBEGIN " + dbl + ", TQTY " + dbl + ", FOFF INT\n);\nCREATE INDEX FILELIST_CPATH ON FILELIST (CPATH);\n";
}

const char* KeyOf(Shape shape) {
  switch (shape) {
    case Shape::kKeyed: return "ID";
    case Shape::kPadded: return "NR";
    default: return nullptr;
  }
}

std::string Unpadded(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

class SqliteDatabase : public TestDatabase {
 public:
  SqliteDatabase(const DbCase& c, std::unique_ptr<TempDir> dir, const std::string& file)
      : TestDatabase(c, "Driver=SQLite3;Database=" + file + ";SyncPragma=NORMAL;"), m_Dir(std::move(dir)),
        m_File(file) {
    // As scripts/make-archive sets up an archive; a commit then costs no fsync.
    Admin().ExecuteDirect("PRAGMA journal_mode=WAL");
    RunScript(SchemaScript());
  }
  ~SqliteDatabase() override { Admin().Close(); }

  Keys DataSourceKeys() const override {
    return {{"Driver", "SQLite3"}, {"Database", m_File}, {"SyncPragma", "NORMAL"}};
  }

 protected:
  // The driver turns a REAL into text of 15 digits; 17 are exact.
  std::string ExactDouble(const std::string& column) const override { return "printf('%!.17g', " + column + ")"; }
  double ReadExactDouble(odbc::Statement& select, int column) override {
    return std::strtod(select.GetText(column).c_str(), nullptr);
  }

 private:
  std::unique_ptr<TempDir> m_Dir;
  std::string m_File;
};

std::string UniqueName() {
  static std::atomic<int> serial{0};
  return "brevanto_test_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
}

std::string WithKey(std::string base, const std::string& keyValue) {
  if (!base.empty() && base.back() != ';') base += ';';
  return base + keyValue + ";";
}

// Each database is a schema of its own, named first in search_path, so that
// tests running in parallel processes never see each other's rows.
class PostgresDatabase : public TestDatabase {
 public:
  PostgresDatabase(const DbCase& c, const std::string& base, const std::string& schema)
      : TestDatabase(c, WithKey(base, "ConnSettings={" + SearchPath(schema) + "}")), m_Base(base),
        m_Schema(schema) {
    Admin().ExecuteDirect("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    Admin().ExecuteDirect("CREATE SCHEMA " + schema);
    RunScript(SchemaScript());
  }
  ~PostgresDatabase() override {
    try {
      Admin().ExecuteDirect("DROP SCHEMA IF EXISTS " + m_Schema + " CASCADE");
    } catch (const odbc::Error&) {
      // The cluster may already be gone; the schema dies with it.
    }
  }

  Keys DataSourceKeys() const override {
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
  // Named, so that only these sessions end while other tests run beside them.
  std::string LosableConnect() const override {
    return WithKey(connect, "pqopt={application_name=" + m_Schema + "}");
  }
  void EndLosableSessions() override {
    Admin().ExecuteDirect("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
                          m_Schema + "'");
  }
  bool LosableSessionsIdle() override {
    return Count("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + m_Schema +
                 "' AND state <> 'idle'") == 0;
  }

 private:
  static std::string SearchPath(const std::string& schema) { return "SET search_path TO " + schema; }

  std::string m_Base;
  std::string m_Schema;
};

// Each database is a database of its own on the server.
class MariaDatabase : public TestDatabase {
 public:
  MariaDatabase(const DbCase& c, const std::string& base, const std::string& name)
      : TestDatabase(c, Created(base, name)), m_Name(name) {
    RunScript(SchemaScript());
  }
  ~MariaDatabase() override {
    try {
      Admin().ExecuteDirect("DROP DATABASE IF EXISTS " + m_Name);
    } catch (const odbc::Error&) {
      // The server may already be gone; the database is then dropped with its folder.
    }
  }

  Keys DataSourceKeys() const override { return ParseConnectionString(connect); }
  // Every session in this database but the fixture's own.
  void EndLosableSessions() override {
    std::vector<std::string> sessions;
    odbc::Statement select(Admin());
    select.Prepare("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND ID <> CONNECTION_ID()");
    select.Execute();
    while (select.Fetch()) sessions.push_back(std::to_string(select.GetInt64(1)));
    select.CloseCursor();
    for (const std::string& id : sessions) Admin().ExecuteDirect("KILL CONNECTION " + id);
  }
  bool LosableSessionsIdle() override {
    return Count("SELECT count(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND ID <> CONNECTION_ID() "
                 "AND COMMAND <> 'Sleep'") == 0;
  }

 private:
  static std::string Created(const std::string& base, const std::string& name) {
    odbc::Connection c;
    c.Open(base);
    c.ExecuteDirect("CREATE DATABASE " + name);
    std::string text;
    for (const auto& [key, value] : ParseConnectionString(base))
      if (strcasecmp(key.c_str(), "Database") != 0) text += key + "=" + value + ";";
    return text + "Database=" + name + ";";
  }

  std::string m_Name;
};

}  // namespace

void PrintTo(const DbCase& c, std::ostream* os) { *os << BackendName(::testing::TestParamInfo<DbCase>(c, 0)); }

Keys ParseConnectionString(const std::string& text) { return ParseKeys(text); }

std::string SchemaScript(const std::string& backend, Shape shape, const std::string& constraint) {
  std::string script;
  switch (shape) {
    case Shape::kKeyed:
      script = "CREATE TABLE FILELIST (\n  ID " + std::string(TypesOf(backend).key) + ",\n  " +
               ElevenColumns(backend) + "\n);\nCREATE INDEX FILELIST_CPATH ON FILELIST (CPATH, ID);\n";
      break;
    case Shape::kKeyless:
      script = ReadTextFile(std::string(BREVANTO_SOURCE_DIR) + "/sql/filelist-" + backend + ".sql");
      break;
    case Shape::kReordered: script = ReorderedScript(backend); break;
    case Shape::kPadded: script = PaddedScript(backend); break;
  }
  if (constraint.empty()) return script;
  const size_t end = script.find("\n)", script.find("CREATE TABLE"));
  const std::string spelled = shape == Shape::kReordered ? Rename(constraint, ReorderedNames()) : constraint;
  return script.insert(end, ",\n  " + spelled);
}

std::string ElevenColumns(const std::string& backend, const std::vector<std::string>& omit) {
  const Types& t = TypesOf(backend);
  std::string columns;
  for (const char* name : kEleven) {
    if (std::find(omit.begin(), omit.end(), name) != omit.end()) continue;
    const std::string n = name;
    const std::string type = n == "SPS" || n == "TBEGIN" || n == "TQTY" ? "DOUBLE PRECISION"
                             : n == "GAIN" || n == "DATATYPE" || n == "FOFF" ? "INTEGER"
                             : n == "LDDATE"                                  ? t.time
                                                                              : "VARCHAR(255)";
    columns += (columns.empty() ? "" : ", ") + n + " " + type;
  }
  return columns;
}

std::string FilledKeyColumn(const std::string& backend) { return TypesOf(backend).filledKey; }

TestDatabase::TestDatabase(const DbCase& c, std::string connectionString)
    : backend(c.backend), shape(c.shape), connect(std::move(connectionString)) {
  m_Admin.Open(connect);
}

TestDatabase::~TestDatabase() = default;

const char* TestDatabase::KeyColumn() const { return KeyOf(shape); }

std::string TestDatabase::Spell(const std::string& sql) const {
  if (shape != Shape::kReordered) return sql;
  std::map<std::string, std::string> quoted;
  for (const auto& [name, spelled] : ReorderedNames()) quoted[name] = Quote(TypesOf(backend), spelled);
  return Rename(sql, quoted);
}

void TestDatabase::Exec(const std::string& sql) { m_Admin.ExecuteDirect(Spell(sql)); }

void TestDatabase::DropPathIndex() {
  const std::string index = shape == Shape::kReordered ? Quote(TypesOf(backend), "FileList_CPath") : "FILELIST_CPATH";
  m_Admin.ExecuteDirect("DROP INDEX " + index + (backend == "mariadb" ? Spell(" ON FILELIST") : ""));
}

std::string TestDatabase::LosableConnect() const { return connect; }

void TestDatabase::EndLosableSessions() {
  throw std::logic_error("an embedded " + backend + " database has no session to end");
}

bool TestDatabase::LosableSessionsIdle() { return true; }

int64_t TestDatabase::Count(const std::string& query) {
  odbc::Statement select(Admin());
  select.Prepare(query);
  select.Execute();
  const int64_t n = select.Fetch() ? select.GetInt64(1) : -1;
  select.CloseCursor();
  return n;
}

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

std::vector<FileListRow> TestDatabase::Rows() {
  const char* key = KeyOf(shape);
  const std::string sql = std::string("SELECT ") + (key ? key : "0") + ", STA, " + ExactDouble("SPS") +
                          ", GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, " + ExactDouble("TBEGIN") + ", " +
                          ExactDouble("TQTY") + ", FOFF FROM FILELIST ORDER BY " +
                          (key ? key : "CPATH, TBEGIN, TQTY");
  odbc::Statement select(m_Admin);
  select.Prepare(Spell(sql));
  select.Execute();
  std::vector<FileListRow> rows;
  while (select.Fetch()) {
    FileListRow row;
    row.id = select.GetInt64(1);
    row.sta = Unpadded(select.GetText(2));
    row.sps = ReadExactDouble(select, 3);
    row.gain = select.GetInt(4);
    row.cpath = Unpadded(select.GetText(5));
    row.dataType = select.GetInt(6);
    row.ch = Unpadded(select.GetText(7));
    row.creater = Unpadded(select.GetText(8));
    row.lddate = select.GetTimestamp(9);
    row.tBegin = ReadExactDouble(select, 10);
    row.tQty = ReadExactDouble(select, 11);
    row.foff = select.GetInt(12);
    rows.push_back(std::move(row));
  }
  select.CloseCursor();
  return rows;
}

std::unique_ptr<DataSourceScope> TestDatabase::UseAsDataSource(const std::string& name) const {
  const Keys keys = DataSourceKeys();
  static std::map<std::string, std::string> boundDrivers;
  const auto [bound, first] = boundDrivers.emplace(name, DriverOf(keys));
  if (!first && bound->second != DriverOf(keys)) return nullptr;
  return std::make_unique<DataSourceScope>(name, keys);
}

namespace {
const char* ServerVariable(const std::string& backend) {
  return backend == "postgres" ? "BREVANTO_PG_CONNECT" : backend == "mariadb" ? "BREVANTO_MARIADB_CONNECT" : nullptr;
}
}  // namespace

std::string Unavailable(const std::string& backend) {
  const char* variable = ServerVariable(backend);
  if (!variable) return {};
  const char* base = std::getenv(variable);
  if (base && *base) return {};
  return std::string(variable) + " not set: " + backend + " tests skipped (scripts/test starts a server)";
}

std::unique_ptr<TestDatabase> MakeTestDatabase(const DbCase& c) {
  if (c.backend == "sqlite") {
    auto dir = std::make_unique<TempDir>();
    const std::string file = *dir / "filelist.db";
    return std::make_unique<SqliteDatabase>(c, std::move(dir), file);
  }
  TypesOf(c.backend);  // refuses an unknown backend
  if (!Unavailable(c.backend).empty()) return nullptr;
  const std::string base = std::getenv(ServerVariable(c.backend));
  if (c.backend == "postgres") return std::make_unique<PostgresDatabase>(c, base, UniqueName());
  return std::make_unique<MariaDatabase>(c, base, UniqueName());
}

void DatabaseTest::SetUp() {
  db = MakeTestDatabase(GetParam());
  if (!db) GTEST_SKIP() << Unavailable(GetParam().backend);
}

namespace {
::testing::internal::ParamGenerator<DbCase> Cases(std::initializer_list<Shape> shapes) {
  std::vector<DbCase> cases;
  for (const std::string& b : Backends())
    for (Shape s : shapes) cases.emplace_back(b, s);
  return ::testing::ValuesIn(cases);
}
}  // namespace

::testing::internal::ParamGenerator<DbCase> AllBackends() { return Cases({Shape::kKeyed, Shape::kKeyless}); }
::testing::internal::ParamGenerator<DbCase> AllShapes() {
  return Cases({Shape::kKeyed, Shape::kKeyless, Shape::kReordered, Shape::kPadded});
}
::testing::internal::ParamGenerator<DbCase> EachBackend() { return Cases({Shape::kKeyed}); }

std::string BackendName(const ::testing::TestParamInfo<DbCase>& info) {
  static const char* const kShapes[] = {"keyed", "keyless", "reordered", "padded"};
  return info.param.backend + "_" + kShapes[static_cast<int>(info.param.shape)];
}

}  // namespace testsupport
