#pragma once
// The archive's own FILELIST as one connection finds it through the driver's
// catalogue: the table and the eleven columns as the database spells them,
// how "the first row" of a path is found, and the statements that register
// a file. Worked out once per connection; the table belongs to the archive,
// and this system relies on nothing of it but the eleven columns.
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "archive/firstrow.h"
#include "platform/odbc.h"

namespace archive {

// The eleven columns, in the order of CFileList's fields and of every
// statement's parameters.
enum FileListColumn { kSta, kSps, kGain, kCpath, kDataType, kCh, kCreater, kLdDate, kTBegin, kTQty, kFoff };
inline constexpr std::array<const char*, 11> kFileListColumns = {
    "STA", "SPS", "GAIN", "CPATH", "DATATYPE", "CH", "CREATER", "LDDATE", "TBEGIN", "TQTY", "FOFF"};
inline constexpr const char* kFileListTable = "FILELIST";

// FILELIST cannot take a row: it is missing, lacks one of the eleven
// columns, has another column that refuses an insert, or offers no way to
// tell one row of a path from another. A database error like any other.
class FileListTableError : public odbc::Error {
 public:
  using odbc::Error::Error;
};

class FileListTable : public odbc::Memo {
 public:
  // Reads the catalogue; throws FileListTableError or odbc::Error.
  explicit FileListTable(odbc::Connection& database);

  const std::string& Table() const { return m_Table; }  // quoted, for statements
  const std::string& Column(FileListColumn c) const { return m_Columns[c]; }  // quoted
  const IFirstRow& FirstRow() const { return *m_FirstRow; }
  // Columns that cannot hold what is written into them exactly, one line each.
  const std::vector<std::string>& Warnings() const { return m_Warnings; }

  // The eleven columns bound in field order.
  const std::string& Insert() const { return m_Insert; }
  // The ten columns other than CPATH bound in field order, then CPATH.
  const std::string& UpdateFirst() const { return m_UpdateFirst; }
  // CPATH bound.
  const std::string& DeleteFirst() const { return m_DeleteFirst; }
  const std::string& SelectPath() const { return m_SelectPath; }

 private:
  void MakeStatements();
  std::string m_Table;
  std::array<std::string, 11> m_Columns;
  std::unique_ptr<IFirstRow> m_FirstRow;
  std::vector<std::string> m_Warnings;
  std::string m_Insert, m_UpdateFirst, m_DeleteFirst, m_SelectPath;
};

// The table check: FILELIST of this connection, inspected on first use and
// kept until the connection closes.
const FileListTable& CheckFileListTable(odbc::Connection& database);

}  // namespace archive
