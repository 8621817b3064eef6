#include "archive/filelist.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <thread>
#include <stdexcept>
#include <string_view>

#include "archive/filelisttable.h"
#include "archive/registration.h"
#include "platform/odbc.h"
#include "store/stainfo.h"

namespace {

constexpr int kLoginTimeoutSeconds = 15;

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

const archive::FileListTable& CFileList::Table() {
  if (!m_pDatabase) throw std::logic_error("CFileList without a database connection");
  if (!m_pDatabase->IsOpen())
    m_pDatabase->Open(ConnectionText(kDefaultConnect), kLoginTimeoutSeconds);
  return archive::CheckFileListTable(*m_pDatabase);
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
  m_Adding = true;
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
  if (!m_Adding) throw std::logic_error("CFileList::Update without AddNew");
  Step("insert", m_CPATH, [&] {
    odbc::Statement& write = m_pDatabase->Prepared(Table().Insert());
    BindFields(write, true);
    write.Execute();
  });
  m_Adding = false;
}

bool CFileList::UpdateFirst() {
  long changed = 0;
  Step("update", m_CPATH, [&] {
    odbc::Statement& write = m_pDatabase->Prepared(Table().UpdateFirst());
    write.SetParam(BindFields(write, false), m_CPATH);
    write.Execute();
    changed = write.RowCount();
  });
  if (changed < 0) throw odbc::Error("FILELIST update for " + m_CPATH, "", 0, "the driver did not count the rows updated");
  return changed > 0;
}

bool CFileList::DeleteFirst(const std::string& cpath) {
  long changed = 0;
  Step("delete", cpath, [&] {
    odbc::Statement& remove = m_pDatabase->Prepared(Table().DeleteFirst());
    remove.SetParam(1, cpath);
    remove.Execute();
    changed = remove.RowCount();
  });
  return changed > 0;
}

bool CFileList::HasRow(const std::string& cpath) {
  bool found = false;
  Step("select", cpath, [&] {
    odbc::Statement& select = m_pDatabase->Prepared(Table().SelectPath());
    select.SetParam(1, cpath);
    select.Execute();
    found = select.Fetch();
    select.CloseCursor();
  });
  return found;
}

void CFileList::Close() { m_Adding = false; }

namespace {

void SetFields(CFileList& row, const FileRegistration& r) {
  row.m_FOFF = 512;
  row.m_STA = r.sta;
  row.m_TBEGIN = r.tBegin;
  row.m_TQTY = r.tQty;
  row.m_GAIN = r.gain;
  row.m_SPS = r.sps;
  row.m_CPATH = r.cpath;
  row.m_DATATYPE = r.dataType;
  row.m_CH = r.ch;
  row.m_CREATER = "BREVANTO";
  row.m_LDDATE = NowTimestamp();
}

}  // namespace

void CFileListTarget::Apply(const FileRegistration& r) {
  CFileList row(&m_Database);
  if (r.kind == FileRegistration::kReplace) {
    row.DeleteFirst(r.cpath);
    row.AddNew();
    SetFields(row, r);
    row.Update();
  } else {
    SetFields(row, r);
    if (!row.UpdateFirst() && !row.HasRow(row.m_CPATH)) {
      row.AddNew();
      SetFields(row, r);
      row.Update();
    }
  }
  row.Close();
}

void CFileListTarget::Begin() {
  if (!m_Database.IsOpen()) m_Database.Open(ConnectionText(CFileList::kDefaultConnect), kLoginTimeoutSeconds);
  m_Database.Begin();
}

void CFileListTarget::Commit() { m_Database.Commit(); }

void CFileListTarget::Rollback() noexcept { m_Database.Rollback(); }

bool IsTransient(const odbc::Error& e) {
  // 40001: serialization failure, also MariaDB's deadlock victim; 40P01: PostgreSQL's.
  return e.SqlState() == "40001" || e.SqlState() == "40P01";
}

void BackOff(int attempt) { std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt)); }

void CLostFiles::Add(const std::string& cpath, uint64_t writes) {
  std::lock_guard lock(m_Mutex);
  m_Writes += writes;
  if (m_Files.insert(cpath).second) m_Unreported.push_back(cpath);
}

uint64_t CLostFiles::Writes() const {
  std::lock_guard lock(m_Mutex);
  return m_Writes;
}

uint64_t CLostFiles::Files() const {
  std::lock_guard lock(m_Mutex);
  return m_Files.size();
}

void CLostFiles::Report() {
  std::vector<std::string> lost;
  {
    std::lock_guard lock(m_Mutex);
    lost.swap(m_Unreported);
  }
  if (m_Report)
    for (const std::string& cpath : lost) m_Report("Data file " + cpath + ": written but not registered in FILELIST");
}

void CStrictRegistration::Register(const FileRegistration& r) {
  std::lock_guard lock(m_Mutex);
  for (int attempt = 1;; ++attempt) {
    try {
      m_Target.Apply(r);
      return;
    } catch (const odbc::Error& e) {
      if (!IsTransient(e) || attempt == kTransientAttempts) {
        m_Lost.Add(r.cpath, 0);  // the writer counts only what returned
        throw;
      }
    }
    BackOff(attempt);
  }
}

void CStaInfo::UpdateFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                              double tQty, double sps, int gain, int dataType) {
  Register(FileRegistration{FileRegistration::kUpdate, Text(cpath), Text(sta), Text(ch), tBegin, tQty, sps, gain,
                            dataType});
}

void CStaInfo::ReplaceFileList(const char* cpath, const char* sta, const char* ch, double tBegin,
                               double tQty, double sps, int gain, int dataType) {
  Register(FileRegistration{FileRegistration::kReplace, Text(cpath), Text(sta), Text(ch), tBegin, tQty, sps, gain,
                            dataType});
}

void CStaInfo::Register(const FileRegistration& r) {
  if (!m_pRegistrar) return;
  m_pRegistrar->Register(r);
  CountRegistration(r.cpath.c_str());
}
