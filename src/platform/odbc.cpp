#include "platform/odbc.h"

#include <regex>
#include <utility>

namespace odbc {
namespace {

// Never freed: connections held by static objects may outlive any owner.
SQLHENV Environment() {
  static const SQLHENV env = [] {
    SQLHENV h = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)))
      throw Error("ODBC environment", "HY001", 0, "SQLAllocHandle failed");
    try {
      Check(SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
            SQL_HANDLE_ENV, h, "ODBC environment");
    } catch (...) {
      SQLFreeHandle(SQL_HANDLE_ENV, h);
      throw;
    }
    return h;
  }();
  return env;
}

std::string Compose(const std::string& context, const std::string& sqlState,
                    const std::string& driverText) {
  return context + ": [" + sqlState + "] " + driverText;
}

// Connection strings go into error texts; their passwords must not.
std::string MaskPassword(const std::string& connectionString) {
  static const std::regex pwd(R"((^|;)(\s*PWD\s*=)(\{[^}]*\}|[^;]*))", std::regex::icase);
  return std::regex_replace(connectionString, pwd, "$1$2***");
}

SQLSMALLINT Narrow(size_t n) { return static_cast<SQLSMALLINT>(n > 32767 ? 32767 : n); }

}  // namespace

Error::Error(const std::string& context, std::string sqlState, long nativeCode,
             std::string driverText)
    : std::runtime_error(Compose(context, sqlState, driverText)),
      m_SqlState(std::move(sqlState)),
      m_NativeCode(nativeCode),
      m_DriverText(std::move(driverText)) {}

void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context) {
  if (SQL_SUCCEEDED(rc)) return;
  if (rc == SQL_INVALID_HANDLE) throw Error(context, "HY000", 0, "invalid ODBC handle");

  std::string firstState;
  long firstNative = 0;
  std::string text;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER native = 0;
    std::vector<SQLCHAR> message(1024);
    SQLSMALLINT length = 0;
    SQLRETURN drc = SQLGetDiagRec(handleType, handle, record, state, &native, message.data(),
                                  Narrow(message.size()), &length);
    if (drc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.resize(static_cast<size_t>(length) + 1);
      drc = SQLGetDiagRec(handleType, handle, record, state, &native, message.data(),
                          Narrow(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(drc)) break;
    std::string stateText(reinterpret_cast<const char*>(state));
    std::string messageText(reinterpret_cast<const char*>(message.data()));
    if (record == 1) {
      firstState = stateText;
      firstNative = native;
      text = messageText;
    } else {
      text += "; [" + stateText + "] " + messageText;
    }
  }
  if (firstState.empty()) {
    firstState = "HY000";
    if (text.empty())
      text = "ODBC call failed without diagnostics (return code " + std::to_string(rc) + ")";
  }
  throw Error(context, firstState, firstNative, text);
}

// ---------------------------------------------------------------------------

Connection::Connection() = default;

Connection::~Connection() { Close(); }

void Connection::Open(const std::string& connectionString, int loginTimeout) {
  Close();
  SQLHENV env = Environment();
  SQLHDBC dbc = SQL_NULL_HDBC;
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env, "ODBC connection handle");
  const std::string context = "cannot connect with \"" + MaskPassword(connectionString) + "\"";
  try {
    Check(SQLSetConnectAttr(dbc, SQL_ATTR_ODBC_CURSORS,
                            reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_DRIVER), SQL_IS_UINTEGER),
          SQL_HANDLE_DBC, dbc, context);
    if (loginTimeout > 0) {
      Check(SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeout)),
                              SQL_IS_UINTEGER),
            SQL_HANDLE_DBC, dbc, context);
    }
    // Without a window handle unixODBC and the drivers cannot prompt: a
    // complete string connects, an incomplete one fails with the driver's
    // message, exactly as with SQL_DRIVER_NOPROMPT. (SQL_DRIVER_PROMPT itself
    // is refused with HY092.)
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    std::string in = connectionString;
    Check(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out,
                           sizeof out, &outLength, SQL_DRIVER_COMPLETE),
          SQL_HANDLE_DBC, dbc, context);
  } catch (...) {
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    throw;
  }
  m_Dbc = dbc;
  m_Open = true;
}

void Connection::Close() noexcept {
  m_Prepared.clear();
  m_Memos.clear();
  if (m_Dbc == SQL_NULL_HDBC) return;
  if (m_Open) SQLDisconnect(m_Dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, m_Dbc);
  m_Dbc = SQL_NULL_HDBC;
  m_Open = false;
}

namespace {

void SetAutoCommit(SQLHDBC dbc, bool on) {
  Check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                          SQL_IS_UINTEGER),
        SQL_HANDLE_DBC, dbc, on ? "autocommit on" : "autocommit off");
}

}  // namespace

// Autocommit is switched back on after every transaction: a connection left
// in one would hold a snapshot (and in SQLite a read lock) between groups.
void Connection::Begin() {
  if (!IsOpen()) throw Error("begin transaction", "08003", 0, "connection not open");
  SetAutoCommit(m_Dbc, false);
}

void Connection::Commit() {
  if (!IsOpen()) throw Error("commit", "08003", 0, "connection not open");
  Check(SQLEndTran(SQL_HANDLE_DBC, m_Dbc, SQL_COMMIT), SQL_HANDLE_DBC, m_Dbc, "commit");
  SetAutoCommit(m_Dbc, true);
}

void Connection::Rollback() noexcept {
  if (!IsOpen()) return;
  SQLEndTran(SQL_HANDLE_DBC, m_Dbc, SQL_ROLLBACK);
  SQLSetConnectAttr(m_Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)),
                    SQL_IS_UINTEGER);
}

Statement& Connection::Prepared(const std::string& sql) {
  auto it = m_Prepared.find(sql);
  if (it != m_Prepared.end()) {
    // psqlODBC leaks when a statement that failed is executed again, and a
    // failure may have come from a table since replaced.
    if (!it->second->LastExecuteFailed()) return *it->second;
    m_Prepared.erase(it);
  }
  auto statement = std::make_unique<Statement>(*this);
  statement->Prepare(sql);
  return *m_Prepared.emplace(sql, std::move(statement)).first->second;
}

void Connection::ExecuteDirect(const std::string& sql) {
  Statement statement(*this);
  std::string text = sql;
  SQLRETURN rc =
      SQLExecDirect(statement.Handle(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  if (rc == SQL_NO_DATA) return;  // a searched UPDATE or DELETE that matched nothing
  Check(rc, SQL_HANDLE_STMT, statement.Handle(), "execute \"" + sql + "\"");
}

std::string Connection::InfoText(SQLUSMALLINT item) {
  std::vector<char> text(256);
  SQLSMALLINT length = 0;
  const std::string context = "connection information " + std::to_string(item);
  Check(SQLGetInfo(m_Dbc, item, text.data(), Narrow(text.size()), &length), SQL_HANDLE_DBC, m_Dbc, context);
  if (length >= static_cast<SQLSMALLINT>(text.size())) {
    text.resize(static_cast<size_t>(length) + 1);
    Check(SQLGetInfo(m_Dbc, item, text.data(), Narrow(text.size()), &length), SQL_HANDLE_DBC, m_Dbc, context);
  }
  return text.data();
}

SQLUSMALLINT Connection::InfoNumber(SQLUSMALLINT item) {
  SQLUSMALLINT value = 0;
  Check(SQLGetInfo(m_Dbc, item, &value, sizeof value, nullptr), SQL_HANDLE_DBC, m_Dbc,
        "connection information " + std::to_string(item));
  return value;
}

std::string Connection::CurrentCatalog() {
  char text[512] = {};
  SQLINTEGER length = 0;
  const SQLRETURN rc = SQLGetConnectAttr(m_Dbc, SQL_ATTR_CURRENT_CATALOG, text, sizeof text - 1, &length);
  return SQL_SUCCEEDED(rc) ? std::string(text) : std::string();
}

// ---------------------------------------------------------------------------

Statement::Statement(Connection& connection) {
  if (!connection.IsOpen()) throw Error("statement", "08003", 0, "connection not open");
  Check(SQLAllocHandle(SQL_HANDLE_STMT, connection.Handle(), &m_Stmt), SQL_HANDLE_DBC,
        connection.Handle(), "statement handle");
}

Statement::~Statement() {
  if (m_Stmt == SQL_NULL_HSTMT) return;
  // psqlODBC leaks the result of a failed execution unless it is closed first.
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  SQLFreeHandle(SQL_HANDLE_STMT, m_Stmt);
}

void Statement::Prepare(const std::string& sql) {
  m_Sql = sql;
  std::string text = sql;
  Check(SQLPrepare(m_Stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS), SQL_HANDLE_STMT,
        m_Stmt, "prepare \"" + sql + "\"");
}

namespace {
template <typename T>
void Store(std::vector<T>& params, int index, auto&& value) {
  if (index < 1) throw Error("parameter", "07009", 0, "parameter numbers start at 1");
  if (params.size() < static_cast<size_t>(index)) params.resize(static_cast<size_t>(index));
  params[static_cast<size_t>(index) - 1] = std::forward<decltype(value)>(value);
}
}  // namespace

void Statement::SetParam(int index, const std::string& value) { Store(m_Params, index, value); }
void Statement::SetParam(int index, double value) { Store(m_Params, index, value); }
void Statement::SetParam(int index, int32_t value) { Store(m_Params, index, value); }
void Statement::SetParam(int index, int64_t value) { Store(m_Params, index, value); }
void Statement::SetParam(int index, const SQL_TIMESTAMP_STRUCT& value) {
  Store(m_Params, index, value);
}

void Statement::BindAll() {
  m_Indicators.assign(m_Params.size(), 0);
  for (size_t i = 0; i < m_Params.size(); ++i) {
    const auto number = static_cast<SQLUSMALLINT>(i + 1);
    SQLLEN* indicator = &m_Indicators[i];
    SQLRETURN rc = std::visit(
        [&](auto& value) -> SQLRETURN {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) {
            *indicator = static_cast<SQLLEN>(value.size());
            // Never below the column's width, never so small that a driver truncates.
            const SQLULEN size = value.size() > 255 ? value.size() : 255;
            return SQLBindParameter(m_Stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size,
                                    0, value.data(), static_cast<SQLLEN>(value.size() + 1),
                                    indicator);
          } else if constexpr (std::is_same_v<T, double>) {
            return SQLBindParameter(m_Stmt, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15,
                                    0, &value, 0, indicator);
          } else if constexpr (std::is_same_v<T, int32_t>) {
            return SQLBindParameter(m_Stmt, number, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10,
                                    0, &value, 0, indicator);
          } else if constexpr (std::is_same_v<T, int64_t>) {
            return SQLBindParameter(m_Stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19,
                                    0, &value, 0, indicator);
          } else {
            return SQLBindParameter(m_Stmt, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                                    SQL_TYPE_TIMESTAMP, 19, 0, &value, 0, indicator);
          }
        },
        m_Params[i]);
    Check(rc, SQL_HANDLE_STMT, m_Stmt,
          "bind parameter " + std::to_string(i + 1) + " of \"" + m_Sql + "\"");
  }
}

void Statement::Execute() {
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  m_Failed = true;
  BindAll();
  SQLRETURN rc = SQLExecute(m_Stmt);
  // SQL_NO_DATA: a searched UPDATE or DELETE that matched nothing.
  m_NoData = rc == SQL_NO_DATA;
  if (!m_NoData) Check(rc, SQL_HANDLE_STMT, m_Stmt, "execute \"" + m_Sql + "\"");
  m_Failed = false;
}

namespace {

// Catalogue arguments: an empty text stands for "not given".
struct Name {
  explicit Name(const std::string& text) : value(text) {}
  SQLCHAR* Data() { return value.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(value.data()); }
  SQLSMALLINT Length() const { return value.empty() ? 0 : SQL_NTS; }
  std::string value;
};

}  // namespace

void Statement::Tables(const std::string& catalog, const std::string& table) {
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  Name c(catalog), t(table);
  Check(SQLTables(m_Stmt, c.Data(), c.Length(), nullptr, 0, t.Data(), t.Length(), nullptr, 0), SQL_HANDLE_STMT,
        m_Stmt, "list the tables \"" + table + "\"");
}

void Statement::Columns(const std::string& catalog, const std::string& table) {
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  Name c(catalog), t(table);
  Check(SQLColumns(m_Stmt, c.Data(), c.Length(), nullptr, 0, t.Data(), t.Length(), nullptr, 0), SQL_HANDLE_STMT,
        m_Stmt, "list the columns of " + table);
}

void Statement::PrimaryKeys(const std::string& catalog, const std::string& table) {
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  Name c(catalog), t(table);
  Check(SQLPrimaryKeys(m_Stmt, c.Data(), c.Length(), nullptr, 0, t.Data(), t.Length()), SQL_HANDLE_STMT, m_Stmt,
        "list the primary key of " + table);
}

void Statement::SpecialColumns(const std::string& catalog, const std::string& table) {
  SQLFreeStmt(m_Stmt, SQL_CLOSE);
  Name c(catalog), t(table);
  Check(SQLSpecialColumns(m_Stmt, SQL_BEST_ROWID, c.Data(), c.Length(), nullptr, 0, t.Data(), t.Length(),
                          SQL_SCOPE_CURROW, SQL_NULLABLE),
        SQL_HANDLE_STMT, m_Stmt, "list the row identifier of " + table);
}

int Statement::ResultColumns() {
  SQLSMALLINT count = 0;
  Check(SQLNumResultCols(m_Stmt, &count), SQL_HANDLE_STMT, m_Stmt, "count the columns of \"" + m_Sql + "\"");
  return count;
}

std::string Statement::ResultColumnName(int column) {
  char name[512] = {};
  SQLSMALLINT length = 0;
  Check(SQLColAttribute(m_Stmt, static_cast<SQLUSMALLINT>(column), SQL_DESC_NAME, name, sizeof name - 1, &length,
                        nullptr),
        SQL_HANDLE_STMT, m_Stmt, "name of column " + std::to_string(column));
  return name;
}

bool Statement::IsAutoUnique(int column) {
  SQLLEN automatic = SQL_FALSE;
  Check(SQLColAttribute(m_Stmt, static_cast<SQLUSMALLINT>(column), SQL_DESC_AUTO_UNIQUE_VALUE, nullptr, 0,
                        nullptr, &automatic),
        SQL_HANDLE_STMT, m_Stmt, "attributes of column " + std::to_string(column));
  return automatic == SQL_TRUE;
}

long Statement::RowCount() {
  if (m_NoData) return 0;
  SQLLEN count = -1;
  Check(SQLRowCount(m_Stmt, &count), SQL_HANDLE_STMT, m_Stmt, "row count");
  return static_cast<long>(count);
}

bool Statement::Fetch() {
  SQLRETURN rc = SQLFetch(m_Stmt);
  if (rc == SQL_NO_DATA) return false;
  Check(rc, SQL_HANDLE_STMT, m_Stmt, "fetch \"" + m_Sql + "\"");
  return true;
}

void Statement::CloseCursor() noexcept { SQLFreeStmt(m_Stmt, SQL_CLOSE); }

std::string Statement::GetText(int column) {
  std::string result;
  char buffer[512];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(m_Stmt, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer,
                              sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    Check(rc, SQL_HANDLE_STMT, m_Stmt, "read column " + std::to_string(column));
    if (indicator == SQL_NULL_DATA) return {};
    const bool truncated =
        rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer));
    if (truncated) {
      result.append(buffer, sizeof buffer - 1);
      continue;
    }
    result.append(buffer, static_cast<size_t>(indicator));
    break;
  }
  return result;
}

namespace {
template <typename T>
T GetFixed(SQLHSTMT stmt, int column, SQLSMALLINT cType) {
  T value{};
  SQLLEN indicator = 0;
  const std::string context = "read column " + std::to_string(column);
  SQLRETURN rc =
      SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), cType, &value, sizeof value, &indicator);
  if (rc == SQL_NO_DATA) throw Error(context, "HY010", 0, "the column was already read");
  Check(rc, SQL_HANDLE_STMT, stmt, context);
  if (indicator == SQL_NULL_DATA) return T{};
  return value;
}
}  // namespace

double Statement::GetDouble(int column) { return GetFixed<double>(m_Stmt, column, SQL_C_DOUBLE); }

int32_t Statement::GetInt(int column) { return GetFixed<SQLINTEGER>(m_Stmt, column, SQL_C_SLONG); }

int64_t Statement::GetInt64(int column) {
  return GetFixed<SQLBIGINT>(m_Stmt, column, SQL_C_SBIGINT);
}

SQL_TIMESTAMP_STRUCT Statement::GetTimestamp(int column) {
  return GetFixed<SQL_TIMESTAMP_STRUCT>(m_Stmt, column, SQL_C_TYPE_TIMESTAMP);
}

}  // namespace odbc
