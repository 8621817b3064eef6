#pragma once
// Fresh, empty FILELIST databases for tests, on SQLite (always) and on
// PostgreSQL (when BREVANTO_PG_CONNECT names a server; scripts/pg-cluster
// starts one).
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

inline constexpr const char* kPostgresSkipMessage =
    "BREVANTO_PG_CONNECT not set: PostgreSQL tests skipped (scripts/test starts a cluster)";
inline constexpr const char* kDataSourceCachedMessage =
    "this process already connected the data source to another driver, and unixODBC keeps that "
    "for the process: run the test in a process of its own (ctest does)";

struct FileListRow {
  int64_t id = 0;
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

class TestDatabase {
 public:
  virtual ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string backend;  // "sqlite" or "postgres"
  const std::string connect;  // for odbc::Connection::Open

  // Every row of FILELIST in key order. Doubles are exact on both backends
  // (the SQLite driver alone would round them to 15 digits).
  std::vector<FileListRow> Rows();
  void Exec(const std::string& sql);
  // Runs a script of ';'-separated statements; "--" starts a comment.
  void RunScript(const std::string& script);
  // The FILELIST schema script of this backend (sql/filelist-<backend>.sql).
  std::string SchemaScript() const;
  // Names this database as data source `name` (see DataSourceScope).
  // unixODBC's driver manager remembers for the whole process which driver a
  // data source name led to, whatever ODBCINI says later (what a driver reads
  // from odbc.ini is re-read). So once a name has served one backend, it
  // cannot serve the other in the same process: nullptr then, and the test
  // skips with kDataSourceCachedMessage. ctest runs every test in its own process.
  std::unique_ptr<DataSourceScope> UseAsDataSource(const std::string& name = "VEZ") const;

 protected:
  TestDatabase(std::string backendName, std::string connectionString);
  odbc::Connection& Admin() { return m_Admin; }

 private:
  odbc::Connection m_Admin;
};

// Runs a script of ';'-separated statements; "--" starts a comment.
void RunSqlScript(odbc::Connection& connection, const std::string& script);

// A database with an empty FILELIST, or nullptr when the backend is not
// available here (postgres without BREVANTO_PG_CONNECT). Any other failure throws.
std::unique_ptr<TestDatabase> MakeTestDatabase(const std::string& backend);

// Base of tests parametrised by backend name; skips when it is unavailable.
class DatabaseTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  std::unique_ptr<TestDatabase> db;
};

inline auto AllBackends() {
  return ::testing::Values(std::string("sqlite"), std::string("postgres"));
}
inline std::string BackendName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

}  // namespace testsupport
