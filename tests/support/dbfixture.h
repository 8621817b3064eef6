#pragma once
// Fresh, empty FILELIST databases for tests, on SQLite (always), PostgreSQL
// (when BREVANTO_PG_CONNECT names a server; scripts/pg-cluster starts one)
// and MariaDB (BREVANTO_MARIADB_CONNECT; scripts/mariadb-server), each in a
// table of one of the shapes an archive may have chosen.
//
//   class MyTest : public testsupport::DatabaseTest {};
//   TEST_P(MyTest, Case) { odbc::Connection c; c.Open(db->connect); ... db->Rows(); }
//   INSTANTIATE_TEST_SUITE_P(Db, MyTest, testsupport::AllBackends(), testsupport::BackendName);
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/odbc.h"
#include "support/testsupport.h"

namespace testsupport {

inline constexpr const char* kDataSourceCachedMessage =
    "this process already connected the data source to another driver, and unixODBC keeps that "
    "for the process: run the test in a process of its own (ctest does)";

// How FILELIST is laid out.
enum class Shape {
  kKeyed,      // a key ID before the eleven columns, as archives made by earlier releases have
  kKeyless,    // exactly the eleven columns, an index on CPATH: as sql/filelist-<backend>.sql makes it
  kReordered,  // keyless, the columns in another order and letter case, quoted, in a table
               // spelled FileList, beside other columns that have defaults
  kPadded,     // CHAR(255) texts, other type names, a key named NR
};

struct DbCase {
  DbCase(std::string backendName, Shape tableShape = Shape::kKeyed)  // NOLINT: a backend alone is a case
      : backend(std::move(backendName)), shape(tableShape) {}
  std::string backend;  // "sqlite", "postgres" or "mariadb"
  Shape shape;
};
void PrintTo(const DbCase& c, std::ostream* os);

struct FileListRow {
  int64_t id = 0;  // the key, 0 in a keyless table
  std::string sta;
  double sps = 0;
  int32_t gain = 0;
  std::string cpath;
  int32_t dataType = 0;
  std::string ch;
  std::string creater;
  SQL_TIMESTAMP_STRUCT lddate{};
  double tBegin = 0;
  double tQty = 0;
  int32_t foff = 0;
};

// While alive, data source `name` is defined in a private odbc.ini and
// ODBCINI points at it; the previous ODBCINI comes back afterwards.
class DataSourceScope {
 public:
  using Keys = std::vector<std::pair<std::string, std::string>>;
  DataSourceScope(const std::string& name, const Keys& keys);
  ~DataSourceScope();
  DataSourceScope(const DataSourceScope&) = delete;
  DataSourceScope& operator=(const DataSourceScope&) = delete;
  const std::string& IniPath() const { return m_Path; }

 private:
  void Restore() noexcept;
  TempDir m_Dir;
  std::string m_Name;
  std::string m_Path;
  std::optional<std::string> m_Previous;
};

// KEY=value pairs of a connection string; {braced} values may hold ';'.
DataSourceScope::Keys ParseConnectionString(const std::string& text);

// The script that makes FILELIST of a shape on a backend; constraint, when
// given, is added to the table (names as in Spell).
std::string SchemaScript(const std::string& backend, Shape shape, const std::string& constraint = "");
// The eleven columns of a keyless table as a backend defines them, without
// those named in omit, for tables made by a test itself.
std::string ElevenColumns(const std::string& backend, const std::vector<std::string>& omit = {});
// A key column that the database fills by itself although it is NOT NULL
// without a default.
std::string FilledKeyColumn(const std::string& backend);

class TestDatabase {
 public:
  virtual ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string backend;
  const Shape shape;
  const std::string connect;  // for odbc::Connection::Open
  // The key column of this shape, or nullptr.
  const char* KeyColumn() const;

  // Every row of FILELIST in key order, or in path order without a key.
  // Doubles are exact on every backend (the SQLite driver alone would round
  // them to 15 digits), CHAR padding is removed.
  std::vector<FileListRow> Rows();
  // sql with FILELIST and the eleven column names, written in capitals
  // outside literals, as this shape spells them.
  std::string Spell(const std::string& sql) const;
  // Runs sql after Spell.
  void Exec(const std::string& sql);
  // Runs a script of ';'-separated statements as it is; "--" starts a comment.
  void RunScript(const std::string& script);
  std::string SchemaScript(const std::string& constraint = "") const {
    return testsupport::SchemaScript(backend, shape, constraint);
  }
  void DropPathIndex();
  // A connection string whose sessions EndLosableSessions ends, as a server
  // that goes away in the middle of a run would (server backends only).
  virtual std::string LosableConnect() const;
  virtual void EndLosableSessions();
  // Whether those sessions wait for their next statement: a commit that
  // other sessions see may not yet have been answered to its own.
  virtual bool LosableSessionsIdle();
  // The first column of the first row of query, on the fixture's connection.
  int64_t Count(const std::string& query);
  // This database in odbc.ini.
  virtual DataSourceScope::Keys DataSourceKeys() const = 0;
  // Names this database as data source `name` (see DataSourceScope).
  // unixODBC's driver manager remembers for the whole process which driver a
  // data source name led to, whatever ODBCINI says later (what a driver reads
  // from odbc.ini is re-read). So once a name has served one backend, it
  // cannot serve the other in the same process: nullptr then, and the test
  // skips with kDataSourceCachedMessage. ctest runs every test in its own process.
  std::unique_ptr<DataSourceScope> UseAsDataSource(const std::string& name = "VEZ") const;

 protected:
  TestDatabase(const DbCase& c, std::string connectionString);
  odbc::Connection& Admin() { return m_Admin; }
  // An expression that reads a double column exactly.
  virtual std::string ExactDouble(const std::string& column) const { return column; }
  virtual double ReadExactDouble(odbc::Statement& select, int column) { return select.GetDouble(column); }

 private:
  odbc::Connection m_Admin;
};

// Runs a script of ';'-separated statements; "--" starts a comment.
void RunSqlScript(odbc::Connection& connection, const std::string& script);

// Why a backend is not available here (its server not named), or empty.
std::string Unavailable(const std::string& backend);

// A database with an empty FILELIST, or nullptr when the backend is not
// available here. Any other failure throws.
std::unique_ptr<TestDatabase> MakeTestDatabase(const DbCase& c);

// Base of tests parametrised by backend and shape; skips when unavailable.
class DatabaseTest : public ::testing::TestWithParam<DbCase> {
 protected:
  void SetUp() override;
  std::unique_ptr<TestDatabase> db;
};

inline const std::vector<std::string>& Backends() {
  static const std::vector<std::string> all{"sqlite", "postgres", "mariadb"};
  return all;
}
// Every backend with a key and without: where registration, faults and security are tested.
::testing::internal::ParamGenerator<DbCase> AllBackends();
// Every backend in every shape.
::testing::internal::ParamGenerator<DbCase> AllShapes();
// Every backend in today's keyed table.
::testing::internal::ParamGenerator<DbCase> EachBackend();
std::string BackendName(const ::testing::TestParamInfo<DbCase>& info);

}  // namespace testsupport
