#pragma once
// A thin RAII layer over the ODBC C API (unixODBC). Every failure is thrown
// as odbc::Error carrying the SQLSTATE, the native code and the driver's text.
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace odbc {

class Error : public std::runtime_error {
 public:
  Error(const std::string& context, std::string sqlState, long nativeCode, std::string driverText);
  const std::string& SqlState() const { return m_SqlState; }
  long NativeCode() const { return m_NativeCode; }
  const std::string& DriverText() const { return m_DriverText; }

 private:
  std::string m_SqlState;
  long m_NativeCode;
  std::string m_DriverText;
};

class Statement;

// What a layer above works out once about a connection's database (what a
// table offers, say) and keeps for as long as the connection lasts.
class Memo {
 public:
  virtual ~Memo() = default;
};

class Connection {
 public:
  Connection();
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // SQLDriverConnect with the given connection string. loginTimeout in
  // seconds, 0 for the driver's default. The ODBC cursor library is never
  // loaded: it fakes positioned updates. Throws Error when no connection results.
  void Open(const std::string& connectionString, int loginTimeout = 0);
  bool IsOpen() const { return m_Dbc != SQL_NULL_HDBC && m_Open; }
  void Close() noexcept;
  SQLHDBC Handle() const { return m_Dbc; }

  // A statement prepared once per connection and reused; dropped on Close.
  // One whose last execution failed is prepared anew, so hold the reference
  // only while using it.
  Statement& Prepared(const std::string& sql);
  // Runs one statement without parameters (schema set-up, pragmas).
  void ExecuteDirect(const std::string& sql);

  // A transaction: statements after Begin take effect together at Commit, or
  // not at all after Rollback. Outside one every statement commits itself.
  void Begin();
  void Commit();
  void Rollback() noexcept;

  // SQLGetInfo of a text item (SQL_DBMS_NAME, SQL_DATA_SOURCE_NAME, ...).
  std::string InfoText(SQLUSMALLINT item);
  // SQLGetInfo of a 16-bit item (SQL_IDENTIFIER_CASE, ...).
  SQLUSMALLINT InfoNumber(SQLUSMALLINT item);
  // The database that catalogue calls search; empty where the driver has none.
  std::string CurrentCatalog();

  // The memo kept under key, made by make() on first use; dropped on Close
  // with the prepared statements.
  template <typename T, typename Make>
  T& Remembered(const std::string& key, Make&& make) {
    auto it = m_Memos.find(key);
    if (it == m_Memos.end()) it = m_Memos.emplace(key, make()).first;
    return static_cast<T&>(*it->second);
  }

 private:
  SQLHDBC m_Dbc = SQL_NULL_HDBC;
  bool m_Open = false;
  std::map<std::string, std::unique_ptr<Statement>> m_Prepared;
  std::map<std::string, std::unique_ptr<Memo>> m_Memos;
};

class Statement {
 public:
  explicit Statement(Connection& connection);
  virtual ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void Prepare(const std::string& sql);
  // Parameters are numbered from 1, kept by the statement until the next
  // Execute and bound with their exact SQL types.
  void SetParam(int index, const std::string& value);
  void SetParam(int index, double value);
  void SetParam(int index, int32_t value);
  void SetParam(int index, int64_t value);
  void SetParam(int index, const SQL_TIMESTAMP_STRUCT& value);
  void Execute();
  // Catalogue result sets (SQLTables, SQLColumns, SQLPrimaryKeys and the
  // best row identifier of SQLSpecialColumns), read with Fetch and Get*.
  // An empty catalog searches the driver's default.
  void Tables(const std::string& catalog, const std::string& table);
  void Columns(const std::string& catalog, const std::string& table);
  void PrimaryKeys(const std::string& catalog, const std::string& table);
  void SpecialColumns(const std::string& catalog, const std::string& table);
  // Of the result set: the number of columns, a column's name, and whether
  // the database fills it by itself (SQL_DESC_AUTO_UNIQUE_VALUE).
  int ResultColumns();
  std::string ResultColumnName(int column);
  bool IsAutoUnique(int column);
  // Rows affected by the last INSERT, UPDATE or DELETE (-1 if unknown).
  long RowCount();
  bool Fetch();
  void CloseCursor() noexcept;

  // Columns are numbered from 1. A NULL reads as empty text, 0 or a zero timestamp.
  std::string GetText(int column);
  double GetDouble(int column);
  int32_t GetInt(int column);
  int64_t GetInt64(int column);
  SQL_TIMESTAMP_STRUCT GetTimestamp(int column);

  SQLHSTMT Handle() const { return m_Stmt; }
  bool LastExecuteFailed() const { return m_Failed; }

 private:
  using Value = std::variant<std::string, double, int32_t, int64_t, SQL_TIMESTAMP_STRUCT>;
  void BindAll();

  SQLHSTMT m_Stmt = SQL_NULL_HSTMT;
  std::string m_Sql;
  std::vector<Value> m_Params;
  std::vector<SQLLEN> m_Indicators;
  bool m_Failed = false;
  bool m_NoData = false;  // the last Execute matched no row
};

// Throws Error with the diagnostics of handle when rc is not a success code.
void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context);

}  // namespace odbc
