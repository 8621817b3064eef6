#pragma once
// One row of the archive table FILELIST and the recordset that reads and
// writes it. Every value, the filter included, travels as a bound parameter.
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

namespace odbc {
class Connection;
class Statement;
}

class CFileList {
 public:
  // Used when the connection is found closed; "ODBC;" only marks the text
  // as an ODBC connection string and is not passed on.
  static constexpr const char* kDefaultConnect = "ODBC;DSN=VEZ";

  explicit CFileList(odbc::Connection* database);
  virtual ~CFileList();

  // Selects the rows whose CPATH equals cpath and fetches the first.
  void Open(const std::string& cpath);
  bool IsEOF() const { return !m_HaveRow; }
  void AddNew();
  void Edit();
  void Delete();   // deletes the fetched row, and only that row
  void Update();   // INSERT after AddNew, UPDATE of the fetched row after Edit
  void Close();
  // Open + Edit + Update and Open + Delete in one statement each, on the
  // first row of the path (lowest key); false when the path has no row.
  // UpdateFirst writes the fields as they stand, for the path in m_CPATH.
  bool UpdateFirst();
  bool DeleteFirst(const std::string& cpath);

  std::string m_STA;
  double m_SPS = 0;
  int32_t m_GAIN = 0;
  std::string m_CPATH;
  int32_t m_DATATYPE = 0;
  std::string m_CH;
  std::string m_CREATER;
  SQL_TIMESTAMP_STRUCT m_LDDATE{};
  double m_TBEGIN = 0;
  double m_TQTY = 0;
  int32_t m_FOFF = 0;

 private:
  enum class Mode { None, AddNew, Edit };
  void Connect();  // opens a closed connection with kDefaultConnect
  // Binds the fields in column order from parameter 1, CPATH only when
  // withPath; returns the next parameter number.
  int BindFields(odbc::Statement& statement, bool withPath);
  odbc::Connection* m_pDatabase;
  bool m_HaveRow = false;
  int64_t m_RowId = 0;  // key of the fetched row
  Mode m_Mode = Mode::None;
};

// The local date and time, to the second.
SQL_TIMESTAMP_STRUCT NowTimestamp();
