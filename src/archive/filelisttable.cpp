#include "archive/filelisttable.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "archive/datafilename.h"

namespace archive {
namespace {

struct CatalogueColumn {
  std::string name;
  SQLSMALLINT type = 0;
  std::string typeName;
  int32_t size = 0;   // characters of a text column; 0 when not known
  int32_t scale = 0;  // decimal digits after the point
  bool refusesNull = false;  // NOT NULL without a default
};

std::string Cased(std::string name, SQLUSMALLINT identifierCase) {
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (identifierCase == SQL_IC_UPPER) c = static_cast<char>(std::toupper(u));
    if (identifierCase == SQL_IC_LOWER) c = static_cast<char>(std::tolower(u));
  }
  return name;
}

// Of the names that equal wanted but for letter case: the one an unquoted
// wanted reaches on this database, else the first. Empty when none does.
std::string Pick(const std::vector<std::string>& names, const std::string& wanted, SQLUSMALLINT identifierCase) {
  const std::string reached = Cased(wanted, identifierCase);
  std::string first;
  for (const std::string& n : names) {
    if (strcasecmp(n.c_str(), wanted.c_str()) != 0) continue;
    if (n == reached) return n;
    if (first.empty()) first = n;
  }
  return first;
}

std::string Quoted(const std::string& name, const std::string& quote) {
  if (quote.empty() || quote == " ") return name;
  std::string out = quote;
  for (char c : name) {
    out += c;
    if (quote.size() == 1 && c == quote[0]) out += c;
  }
  return out + quote;
}

std::string Listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// The data source as the operator named it, or the database where there is none.
std::string SourceOf(odbc::Connection& database) {
  const std::string dsn = database.InfoText(SQL_DATA_SOURCE_NAME);
  if (!dsn.empty()) return "data source \"" + dsn + "\"";
  return "database \"" + database.InfoText(SQL_DATABASE_NAME) + "\" (" + database.InfoText(SQL_DBMS_NAME) + ")";
}

std::vector<std::string> TableNames(odbc::Statement& catalogue, const std::string& catalog) {
  std::vector<std::string> names;
  catalogue.Tables(catalog, "%");
  while (catalogue.Fetch()) names.push_back(catalogue.GetText(3));
  catalogue.CloseCursor();
  return names;
}

std::vector<CatalogueColumn> ColumnsOf(odbc::Statement& catalogue, const std::string& catalog,
                                       const std::string& table) {
  std::vector<CatalogueColumn> columns;
  catalogue.Columns(catalog, table);
  while (catalogue.Fetch()) {
    // Columns are read in ascending order, as some drivers require.
    const std::string tableName = catalogue.GetText(3);
    CatalogueColumn c;
    c.name = catalogue.GetText(4);
    c.type = static_cast<SQLSMALLINT>(catalogue.GetInt(5));
    c.typeName = catalogue.GetText(6);
    c.size = catalogue.GetInt(7);
    c.scale = catalogue.GetInt(9);
    const bool notNull = catalogue.GetInt(11) == SQL_NO_NULLS;
    const std::string def = catalogue.GetText(13);
    c.refusesNull = notNull && (def.empty() || strcasecmp(def.c_str(), "NULL") == 0);
    // A driver may match the name regardless of letter case.
    if (tableName == table) columns.push_back(std::move(c));
  }
  catalogue.CloseCursor();
  return columns;
}

// A primary key of exactly one column, or empty.
std::string LoneKey(odbc::Statement& catalogue, const std::string& catalog, const std::string& table) {
  std::vector<std::string> key;
  catalogue.PrimaryKeys(catalog, table);
  while (catalogue.Fetch()) key.push_back(catalogue.GetText(4));
  catalogue.CloseCursor();
  return key.size() == 1 ? key[0] : std::string();
}

// SQLSpecialColumns' best row identifier of one column, or empty; a driver
// that cannot answer offers nothing.
std::string SpecialColumn(odbc::Statement& catalogue, const std::string& catalog, const std::string& table) {
  std::vector<std::string> identifier;
  try {
    catalogue.SpecialColumns(catalog, table);
    while (catalogue.Fetch()) identifier.push_back(catalogue.GetText(2));
  } catch (const odbc::Error&) {
    identifier.clear();
  }
  catalogue.CloseCursor();
  return identifier.size() == 1 ? identifier[0] : std::string();
}

// Of names, those the database fills by itself (identity and serial columns).
std::vector<std::string> FilledByDatabase(odbc::Connection& database, const std::string& quotedTable) {
  std::vector<std::string> filled;
  odbc::Statement probe(database);
  probe.Prepare("SELECT * FROM " + quotedTable + " WHERE 1 = 0");
  probe.Execute();
  const int n = probe.ResultColumns();
  for (int i = 1; i <= n; ++i)
    if (probe.IsAutoUnique(i)) filled.push_back(probe.ResultColumnName(i));
  probe.CloseCursor();
  return filled;
}

bool IsDouble(SQLSMALLINT type) { return type == SQL_DOUBLE || type == SQL_FLOAT; }

// Whole numbers only: the seconds and rates written there would lose their fractions.
bool IsWholeNumber(const CatalogueColumn& c) {
  switch (c.type) {
    case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT: case SQL_BIT:
      return true;
    case SQL_DECIMAL: case SQL_NUMERIC:
      return c.scale == 0;
    default:
      return false;
  }
}

bool IsText(SQLSMALLINT type) {
  return type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_WCHAR || type == SQL_WVARCHAR;
}



// What one connection reads from the catalogue about FILELIST.
struct Inspection {
  std::string where;  // "table FILELIST of data source ..." for every report
  std::string catalog, quote, dbms;
  SQLUSMALLINT identifierCase = 0;
  std::string table;  // as the database spells it
  std::vector<CatalogueColumn> columns;
  std::array<const CatalogueColumn*, 11> ours{};
  std::string key;

  std::string Q(const std::string& name) const { return Quoted(name, quote); }
};

[[noreturn]] void Refuse(const Inspection& in, const char* sqlState, const std::string& problem) {
  throw FileListTableError("FILELIST check", sqlState, 0, in.where + " " + problem);
}

// The columns of the eleven that would refuse or cut the values written
// into them; a database that keeps every value whatever the declared type
// (SQLite) takes them all.
std::vector<std::string> CheckOurTypes(const Inspection& in, const Dialect& dialect) {
  std::vector<std::string> refusing;
  if (dialect.keepsEveryNumber) return refusing;
  for (FileListColumn c : {kSps, kTBegin, kTQty}) {
    const CatalogueColumn& column = *in.ours[c];
    if (IsWholeNumber(column))
      refusing.push_back("has the column " + column.name + " of type " + column.typeName +
                         ", which cannot hold its values with their fractions");
  }
  const CatalogueColumn& cpath = *in.ours[kCpath];
  if (IsText(cpath.type) && cpath.size > 0 && cpath.size < archive::kLongestCPath)
    refusing.push_back("has the column " + cpath.name + " of type " + cpath.typeName + "(" + std::to_string(cpath.size) +
                       "), too short for the paths written there (up to " + std::to_string(archive::kLongestCPath) +
                       " characters)");
  return refusing;
}

// The eleven columns among the table's; what it lacks of them, or empty.
std::string FindOurColumns(Inspection& in) {
  std::vector<std::string> names, missing;
  for (const CatalogueColumn& c : in.columns) names.push_back(c.name);
  for (size_t i = 0; i < kFileListColumns.size(); ++i) {
    const std::string name = Pick(names, kFileListColumns[i], in.identifierCase);
    for (const CatalogueColumn& c : in.columns)
      if (!name.empty() && c.name == name) in.ours[i] = &c;
    if (!in.ours[i]) missing.push_back(kFileListColumns[i]);
  }
  if (missing.empty()) return {};
  return "lacks the column" + std::string(missing.size() > 1 ? "s " : " ") + Listed(missing);
}

// The other columns that would refuse a row of the eleven alone, or empty.
std::string CheckOtherColumns(Inspection& in, odbc::Connection& database, const Dialect& dialect) {
  std::vector<std::string> refusing;
  for (const CatalogueColumn& c : in.columns) {
    const bool ours = std::find(in.ours.begin(), in.ours.end(), &c) != in.ours.end();
    const bool rowid = dialect.integerKeyIsRowid && c.name == in.key && strcasecmp(c.typeName.c_str(), "INTEGER") == 0;
    if (c.refusesNull && !ours && !rowid) refusing.push_back(c.name);
  }
  if (refusing.empty()) return {};
  const std::vector<std::string> filled = FilledByDatabase(database, in.Q(in.table));
  std::erase_if(refusing, [&](const std::string& n) { return std::find(filled.begin(), filled.end(), n) != filled.end(); });
  if (refusing.empty()) return {};
  return std::string(refusing.size() == 1 ? "has the column " : "has the columns ") + Listed(refusing) +
         " NOT NULL without a default, so no row can be inserted";
}

std::unique_ptr<IFirstRow> FirstRowOf(const Inspection& in, odbc::Statement& catalogue, const Dialect& dialect) {
  RowIdentities offered;
  if (!in.key.empty()) offered = {in.Q(in.key), in.key, "", ""};
  std::unique_ptr<IFirstRow> firstRow = ChooseFirstRow(dialect, offered);
  if (!firstRow) {
    const std::string special = SpecialColumn(catalogue, in.catalog, in.table);
    if (!special.empty()) firstRow = ChooseFirstRow(dialect, {"", "", in.Q(special), special});
  }
  if (!firstRow)
    Refuse(in, "HYC00",
           "has no key, and " + in.dbms +
               " shows no identity of a row: registration could not tell one row of a path from another");
  return firstRow;
}

}  // namespace

FileListTable::FileListTable(odbc::Connection& database) {
  Inspection in;
  in.where = std::string("table ") + kFileListTable + " of " + SourceOf(database);
  in.catalog = database.CurrentCatalog();
  in.quote = database.InfoText(SQL_IDENTIFIER_QUOTE_CHAR);
  in.identifierCase = database.InfoNumber(SQL_IDENTIFIER_CASE);
  in.dbms = database.InfoText(SQL_DBMS_NAME);
  const Dialect& dialect = DialectOf(in.dbms);
  odbc::Statement catalogue(database);

  in.table = Pick(TableNames(catalogue, in.catalog), kFileListTable, in.identifierCase);
  if (in.table.empty()) Refuse(in, "42S02", "does not exist");
  in.columns = ColumnsOf(catalogue, in.catalog, in.table);
  const std::string missing = FindOurColumns(in);
  in.key = LoneKey(catalogue, in.catalog, in.table);
  // Everything that keeps a row out is named at once, so that one change of the table is enough.
  std::string refusing = CheckOtherColumns(in, database, dialect);
  const char* refusal = refusing.empty() ? "HY004" : "23000";
  if (missing.empty())
    for (const std::string& problem : CheckOurTypes(in, dialect)) refusing += (refusing.empty() ? "" : "; ") + problem;
  if (!missing.empty()) Refuse(in, "42S22", missing + (refusing.empty() ? "" : "; " + refusing));
  if (!refusing.empty()) Refuse(in, refusal, refusing);
  m_FirstRow = FirstRowOf(in, catalogue, dialect);

  m_Table = in.Q(in.table);
  for (size_t i = 0; i < m_Columns.size(); ++i) m_Columns[i] = in.Q(in.ours[i]->name);
  for (FileListColumn c : {kSps, kTBegin, kTQty}) {
    const CatalogueColumn& column = *in.ours[c];
    if (!dialect.keepsEveryNumber && !IsDouble(column.type))
      m_Warnings.push_back(in.where + ": the column " + column.name + " is " + column.typeName +
                           ", not double precision: its values are stored rounded");
  }
  MakeStatements();
}

void FileListTable::MakeStatements() {
  std::string all, marks, set;
  for (size_t i = 0; i < m_Columns.size(); ++i) {
    all += (i ? ", " : "") + m_Columns[i];
    marks += i ? ", ?" : "?";
    // CPATH equals the filter, so its index entry need not be rewritten.
    if (i != kCpath) set += (set.empty() ? "" : ", ") + m_Columns[i] + " = ?";
  }
  const std::string& cpath = m_Columns[kCpath];
  m_Insert = "INSERT INTO " + m_Table + " (" + all + ") VALUES (" + marks + ")";
  m_UpdateFirst = "UPDATE " + m_Table + " SET " + set + m_FirstRow->Restriction(m_Table, cpath);
  m_DeleteFirst = "DELETE FROM " + m_Table + m_FirstRow->Restriction(m_Table, cpath);
  m_SelectPath = "SELECT " + cpath + " FROM " + m_Table + " WHERE " + cpath + " = ?";
}

const FileListTable& CheckFileListTable(odbc::Connection& database) {
  return database.Remembered<FileListTable>(kFileListTable,
                                            [&] { return std::make_unique<FileListTable>(database); });
}

}  // namespace archive
