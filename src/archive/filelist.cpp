#include "archive/filelist.h"

#include <cctype>
#include <ctime>
#include <stdexcept>
#include <string_view>

#include "platform/odbc.h"
#include "store/stainfo.h"

namespace {

constexpr int kLoginTimeoutSeconds = 15;

// ID is the table's surrogate key. Rows of one path are taken in key order so
// that "the first row" is the same row on every database.
constexpr const char* kSelect =
    "SELECT ID, STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF "
    "FROM FILELIST WHERE CPATH = ? ORDER BY ID";
constexpr const char* kInsert =
    "INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kUpdate =
    "UPDATE FILELIST SET STA = ?, SPS = ?, GAIN = ?, CPATH = ?, DATATYPE = ?, CH = ?, CREATER = ?, "
    "LDDATE = ?, TBEGIN = ?, TQTY = ?, FOFF = ? WHERE ID = ?";
constexpr const char* kDelete = "DELETE FROM FILELIST WHERE ID = ?";
// The same effects on the first row of a path in one statement each: a
// registration is then one round trip and, on SQLite, one commit. CPATH is
// left out of the SET list since it equals the filter, so its index entry is
// not rewritten.
constexpr const char* kUpdateFirst =
    "UPDATE FILELIST SET STA = ?, SPS = ?, GAIN = ?, DATATYPE = ?, CH = ?, CREATER = ?, "
    "LDDATE = ?, TBEGIN = ?, TQTY = ?, FOFF = ? "
    "WHERE ID = (SELECT MIN(ID) FROM FILELIST WHERE CPATH = ?)";
constexpr const char* kDeleteFirst =
    "DELETE FROM FILELIST WHERE ID = (SELECT MIN(ID) FROM FILELIST WHERE CPATH = ?)";

std::string ConnectionText(std::string_view text) {
  constexpr std::string_view prefix = "ODBC;";
  if (text.size() >= prefix.size()) {
    bool marked = true;
    for (size_t i = 0; i < prefix.size(); ++i)
      marked = marked && std::toupper(static_cast<unsigned char>(text[i])) == prefix[i];
    if (marked) text.remove_prefix(prefix.size());
  }
  return std::string(text);
}

// Restates a database error as the registration step that failed.
template <typename F>
void Step(const char* step, const std::string& cpath, F&& action) {
  try {
    action();
  } catch (const odbc::Error& e) {
    throw odbc::Error(std::string("FILELIST ") + step + " for " + cpath, e.SqlState(),
                      e.NativeCode(), e.DriverText());
  }
}

struct CursorCloser {
  odbc::Statement& statement;
  ~CursorCloser() { statement.CloseCursor(); }
};

std::string Text(const char* s) { return s ? s : ""; }

}  // namespace

SQL_TIMESTAMP_STRUCT NowTimestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  SQL_TIMESTAMP_STRUCT ts{};
  ts.year = static_cast<SQLSMALLINT>(local.tm_year + 1900);
  ts.month = static_cast<SQLUSMALLINT>(local.tm_mon + 1);
  ts.day = static_cast<SQLUSMALLINT>(local.tm_mday);
  ts.hour = static_cast<SQLUSMALLINT>(local.tm_hour);
  ts.minute = static_cast<SQLUSMALLINT>(local.tm_min);
  // A leap second would be rejected by the databases.
  ts.second = static_cast<SQLUSMALLINT>(local.tm_sec > 59 ? 59 : local.tm_sec);
  ts.fraction = 0;
  return ts;
}

CFileList::CFileList(odbc::Connection* database)
    : m_LDDATE(NowTimestamp()), m_pDatabase(database) {}

CFileList::~CFileList() { Close(); }

void CFileList::Connect() {
  if (!m_pDatabase) throw std::logic_error("CFileList without a database connection");
  if (!m_pDatabase->IsOpen())
    m_pDatabase->Open(ConnectionText(kDefaultConnect), kLoginTimeoutSeconds);
}

void CFileList::Open(const std::string& cpath) {
  Close();
  Connect();

  Step("select", cpath, [&] {
    odbc::Statement& select = m_pDatabase->Prepared(kSelect);
    select.SetParam(1, cpath);
    select.Execute();
    CursorCloser closer{select};
    if (!select.Fetch()) return;
    m_RowId = select.GetInt64(1);
    m_STA = select.GetText(2);
    m_SPS = select.GetDouble(3);
    m_GAIN = select.GetInt(4);
    m_CPATH = select.GetText(5);
    m_DATATYPE = select.GetInt(6);
    m_CH = select.GetText(7);
    m_CREATER = select.GetText(8);
    m_LDDATE = select.GetTimestamp(9);
    m_TBEGIN = select.GetDouble(10);
    m_TQTY = select.GetDouble(11);
    m_FOFF = select.GetInt(12);
    m_HaveRow = true;
  });
}

void CFileList::AddNew() {
  if (!m_pDatabase) throw std::logic_error("CFileList::AddNew without a database connection");
  m_STA.clear();
  m_SPS = 0;
  m_GAIN = 0;
  m_CPATH.clear();
  m_DATATYPE = 0;
  m_CH.clear();
  m_CREATER.clear();
  m_LDDATE = NowTimestamp();
  m_TBEGIN = 0;
  m_TQTY = 0;
  m_FOFF = 0;
  m_Mode = Mode::AddNew;
}

void CFileList::Edit() {
  if (!m_HaveRow) throw std::logic_error("CFileList::Edit without a fetched row");
  m_Mode = Mode::Edit;
}

void CFileList::Delete() {
  if (!m_HaveRow) throw std::logic_error("CFileList::Delete without a fetched row");
  Step("delete", m_CPATH, [&] {
    odbc::Statement& remove = m_pDatabase->Prepared(kDelete);
    remove.SetParam(1, static_cast<int64_t>(m_RowId));
    remove.Execute();
  });
  m_HaveRow = false;
  m_Mode = Mode::None;
}

int CFileList::BindFields(odbc::Statement& statement, bool withPath) {
  int i = 1;
  statement.SetParam(i++, m_STA);
  statement.SetParam(i++, m_SPS);
  statement.SetParam(i++, m_GAIN);
  if (withPath) statement.SetParam(i++, m_CPATH);
  statement.SetParam(i++, m_DATATYPE);
  statement.SetParam(i++, m_CH);
  statement.SetParam(i++, m_CREATER);
  statement.SetParam(i++, m_LDDATE);
  statement.SetParam(i++, m_TBEGIN);
  statement.SetParam(i++, m_TQTY);
  statement.SetParam(i++, m_FOFF);
  return i;
}

void CFileList::Update() {
  const bool inserting = m_Mode == Mode::AddNew;
  if (!inserting && m_Mode != Mode::Edit)
    throw std::logic_error("CFileList::Update without AddNew or Edit");
  Step(inserting ? "insert" : "update", m_CPATH, [&] {
    odbc::Statement& write = m_pDatabase->Prepared(inserting ? kInsert : kUpdate);
    const int next = BindFields(write, true);
    if (!inserting) write.SetParam(next, static_cast<int64_t>(m_RowId));
    write.Execute();
  });
  m_Mode = Mode::None;
}

bool CFileList::UpdateFirst() {
  Connect();
  long changed = 0;
  Step("update", m_CPATH, [&] {
    odbc::Statement& write = m_pDatabase->Prepared(kUpdateFirst);
    write.SetParam(BindFields(write, false), m_CPATH);
    write.Execute();
    changed = write.RowCount();
  });
  if (changed < 0) throw odbc::Error("FILELIST update for " + m_CPATH, "", 0, "the driver did not count the rows updated");
  return changed > 0;
}

bool CFileList::DeleteFirst(const std::string& cpath) {
  Connect();
  long changed = 0;
  Step("delete", cpath, [&] {
    odbc::Statement& remove = m_pDatabase->Prepared(kDeleteFirst);
    remove.SetParam(1, cpath);
    remove.Execute();
    changed = remove.RowCount();
  });
  return changed > 0;
}

void CFileList::Close() {
  m_HaveRow = false;
  m_Mode = Mode::None;
}

namespace {

void SetFields(CFileList& row, const char* cpath, const char* sta, const char* ch, double tBegin,
               double tQty, double sps, int gain, int dataType) {
  row.m_FOFF = 512;
  row.m_STA = Text(sta);
  row.m_TBEGIN = tBegin;
  row.m_TQTY = tQty;
  row.m_GAIN = gain;
  row.m_SPS = sps;
  row.m_CPATH = Text(cpath);
  row.m_DATATYPE = dataType;
  row.m_CH = Text(ch);
  row.m_CREATER = "BREVANTO";
  row.m_LDDATE = NowTimestamp();
}

}  // namespace

void CStaInfo::UpdateFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                              double tQty, double sps, int gain, int dataType) {
  if (!m_pDatabase) return;
  CFileList row(m_pDatabase);
  SetFields(row, cpath, sta, ch, tBegin, tQty, sps, gain, dataType);
  if (!row.UpdateFirst()) {
    row.AddNew();
    SetFields(row, cpath, sta, ch, tBegin, tQty, sps, gain, dataType);
    row.Update();
  }
  CountRegistration(cpath);
  row.Close();
}

void CStaInfo::ReplaceFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                               double tQty, double sps, int gain, int dataType) {
  if (!m_pDatabase) return;
  CFileList row(m_pDatabase);
  row.DeleteFirst(Text(cpath));
  row.AddNew();
  SetFields(row, cpath, sta, ch, tBegin, tQty, sps, gain, dataType);
  row.Update();
  CountRegistration(cpath);
  row.Close();
}
