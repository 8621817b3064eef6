#pragma once
// One row of the archive table FILELIST and the recordset that writes it.
// Every value, the path included, travels as a bound parameter. What the
// table offers, and so how "the first row" of a path is found, is worked out
// once per connection (archive/filelisttable.h).
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

namespace odbc {
class Connection;
class Statement;
}

namespace archive {
class FileListTable;
}

class CFileList {
 public:
  // Used when the connection is found closed; "ODBC;" only marks the text
  // as an ODBC connection string and is not passed on.
  static constexpr const char* kDefaultConnect = "ODBC;DSN=VEZ";

  explicit CFileList(odbc::Connection* database);
  virtual ~CFileList();

  void AddNew();
  void Update();  // the INSERT after AddNew
  void Close();
  // Update and delete the first row of a path, one statement each; false
  // when the statement touched no row. UpdateFirst writes the fields as they
  // stand, for the path in m_CPATH.
  bool UpdateFirst();
  bool DeleteFirst(const std::string& cpath);
  // Whether the path has a row at all: a database may count only the rows
  // an UPDATE changed, not those it matched.
  bool HasRow(const std::string& cpath);

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
  // Opens a closed connection with kDefaultConnect; the table as it offers itself.
  const archive::FileListTable& Table();
  // Binds the fields in column order from parameter 1, CPATH only when
  // withPath; returns the next parameter number.
  int BindFields(odbc::Statement& statement, bool withPath);
  odbc::Connection* m_pDatabase;
  bool m_Adding = false;
};

// The local date and time, to the second.
SQL_TIMESTAMP_STRUCT NowTimestamp();
