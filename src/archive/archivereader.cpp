#include "archive/archivereader.h"

#include <algorithm>
#include <memory>

#include "archive/filelisttable.h"
#include "platform/odbc.h"

namespace archive {
namespace {

// Rows fetched a block at a time into bound arrays: a table of a million
// rows costs a million driver calls fewer than reading column by column.
class RowBlock {
 public:
  static constexpr SQLULEN kRows = 512;
  static constexpr SQLLEN kText = 256;

  explicit RowBlock(SQLHSTMT stmt) : m_Stmt(stmt) {
    // A driver without row arrays keeps a rowset of one, which is only slower.
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0)))
      m_Size = 1;
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &m_Fetched, 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, m_Status, 0);
    Bind(1, SQL_C_CHAR, m_Sta, kText, m_StaLen);
    Bind(2, SQL_C_CHAR, m_Ch, kText, m_ChLen);
    Bind(3, SQL_C_DOUBLE, m_Sps, sizeof(double), m_SpsLen);
    Bind(4, SQL_C_DOUBLE, m_Begin, sizeof(double), m_BeginLen);
    Bind(5, SQL_C_DOUBLE, m_Qty, sizeof(double), m_QtyLen);
  }
  ~RowBlock() {
    SQLFreeStmt(m_Stmt, SQL_UNBIND);
    SQLSetStmtAttr(m_Stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
    SQLSetStmtAttr(m_Stmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    SQLSetStmtAttr(m_Stmt, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
  }
  RowBlock(const RowBlock&) = delete;
  RowBlock& operator=(const RowBlock&) = delete;

  // Rows in the block, 0 at the end.
  SQLULEN Fetch() {
    const SQLRETURN rc = SQLFetchScroll(m_Stmt, SQL_FETCH_NEXT, 0);
    if (rc == SQL_NO_DATA) return 0;
    odbc::Check(rc, SQL_HANDLE_STMT, m_Stmt, "fetch FILELIST rows");
    return std::min<SQLULEN>(m_Fetched, m_Size);
  }
  // False for a row the driver could not deliver.
  bool Row(SQLULEN i, CoverageRow& r) const {
    if (m_Status[i] != SQL_ROW_SUCCESS && m_Status[i] != SQL_ROW_SUCCESS_WITH_INFO) return false;
    Text(m_Sta[i], m_StaLen[i], r.station);
    Text(m_Ch[i], m_ChLen[i], r.channel);
    r.sps = m_SpsLen[i] == SQL_NULL_DATA ? 0 : m_Sps[i];
    r.tBegin = m_BeginLen[i] == SQL_NULL_DATA ? 0 : m_Begin[i];
    r.tQty = m_QtyLen[i] == SQL_NULL_DATA ? 0 : m_Qty[i];
    return true;
  }

 private:
  template <typename T>
  void Bind(SQLUSMALLINT column, SQLSMALLINT type, T* values, SQLLEN width, SQLLEN* lengths) {
    odbc::Check(SQLBindCol(m_Stmt, column, type, values, width, lengths), SQL_HANDLE_STMT, m_Stmt,
                "bind column " + std::to_string(column));
  }
  // CHAR padding removed; a text longer than a column holds is cut, as codes never are.
  static void Text(const char* value, SQLLEN length, std::string& out) {
    if (length == SQL_NULL_DATA || length < 0) {
      out.clear();
      return;
    }
    out.assign(value, static_cast<size_t>(std::min<SQLLEN>(length, kText - 1)));
    out.erase(out.find_last_not_of(' ') + 1);
  }

  SQLHSTMT m_Stmt;
  SQLULEN m_Size = kRows;
  SQLULEN m_Fetched = 0;
  SQLUSMALLINT m_Status[kRows] = {};
  char m_Sta[kRows][kText], m_Ch[kRows][kText];
  double m_Sps[kRows], m_Begin[kRows], m_Qty[kRows];
  SQLLEN m_StaLen[kRows], m_ChLen[kRows], m_SpsLen[kRows], m_BeginLen[kRows], m_QtyLen[kRows];
};

}  // namespace

void ReadCoverageRows(odbc::Connection& database, const TimeWindow& window,
                      const std::function<void(const CoverageRow&)>& row) {
  const FileListTable& table = CheckFileListTable(database);
  const std::string& sta = table.Column(kSta);
  const std::string& ch = table.Column(kCh);
  const std::string& begin = table.Column(kTBegin);
  const std::string& qty = table.Column(kTQty);
  std::string sql = "SELECT " + sta + ", " + ch + ", " + table.Column(kSps) + ", " + begin + ", " + qty + " FROM " +
                    table.Table();
  std::string where;
  if (!std::isnan(window.to)) where = begin + " < ?";
  if (!std::isnan(window.from)) where += (where.empty() ? "" : " AND ") + begin + " + " + qty + " > ?";
  if (!where.empty()) sql += " WHERE " + where;
  sql += " ORDER BY " + sta + ", " + ch + ", " + begin;

  odbc::Statement select(database);
  select.Prepare(sql);
  int param = 1;
  if (!std::isnan(window.to)) select.SetParam(param++, window.to);
  if (!std::isnan(window.from)) select.SetParam(param++, window.from);
  // A quarter of a megabyte: not for the stack of whichever thread reads.
  const auto block = std::make_unique<RowBlock>(select.Handle());
  select.Execute();
  CoverageRow r;
  for (SQLULEN n; (n = block->Fetch()) > 0;)
    for (SQLULEN i = 0; i < n; ++i)
      if (block->Row(i, r)) row(r);
  select.CloseCursor();
}

Coverage ReadCoverage(odbc::Connection& database, const TimeWindow& window, const ChannelFilter& selects) {
  CCoverageBuilder builder(window);
  ReadCoverageRows(database, window, [&](const CoverageRow& r) {
    if (!selects || selects(r.station, r.channel)) builder.Add(r);
  });
  return builder.Finish();
}

}  // namespace archive
