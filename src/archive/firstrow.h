#pragma once
// How "the first row" of a path is found in one FILELIST: a strategy chosen
// once per connection from what the table and the database offer. Both
// registration statements end in the strategy's restriction, so a
// registration stays one statement whichever way the row is found.
#include <memory>
#include <string>

namespace archive {

class IFirstRow {
 public:
  virtual ~IFirstRow() = default;
  // What finds the row, for diagnostics: "lowest ID", "lowest ctid", ...
  virtual std::string Name() const = 0;
  // Ends "UPDATE table SET ..." and "DELETE FROM table" so that they touch
  // the first row of the path bound as the last parameter, and no other.
  virtual std::string Restriction(const std::string& table, const std::string& cpath) const = 0;
  // Ends a SELECT of the whole table so that the rows of a path come in the
  // order in which the first of them is the one the restriction touches.
  virtual std::string Order() const = 0;
};

// The row of the lowest value of an ordered identifier unique to a row: a key
// column, or one the database keeps for every row (rowid, ctid).
class CLowestIdentity : public IFirstRow {
 public:
  CLowestIdentity(std::string identity, std::string name);
  std::string Name() const override;
  std::string Restriction(const std::string& table, const std::string& cpath) const override;
  std::string Order() const override;

 private:
  std::string m_Identity;  // as the statements name it
  std::string m_Name;
};

// The first row that the database meets, through a one-row-limited
// statement, for a database that shows no identity of a row (MariaDB). Its
// own order stays the same from one statement to the next: insertion order
// in InnoDB, whose hidden row number orders the rows of one path.
class CFirstMet : public IFirstRow {
 public:
  std::string Name() const override;
  std::string Restriction(const std::string& table, const std::string& cpath) const override;
  std::string Order() const override;
};

// What one kind of database offers beyond the catalogue, by its SQL_DBMS_NAME.
struct Dialect {
  const char* dbms;
  const char* rowIdentity;  // an ordered pseudo-column unique to a row, or nullptr
  bool limitedWrites;       // UPDATE and DELETE take LIMIT 1
  bool integerKeyIsRowid;   // a lone INTEGER primary key is filled by the database
  bool keepsEveryNumber;    // a number keeps its type whatever the column's
};
const Dialect& DialectOf(const std::string& dbmsName);

// What the table offers, the columns already quoted for the statements;
// empty where it offers nothing of that kind.
struct RowIdentities {
  std::string key, keyName;          // a primary key of one column
  std::string special, specialName;  // SQLSpecialColumns' best row identifier of one column
};

// Key column first, then the database's own row identity, then a
// one-row-limited statement, then what SQLSpecialColumns offers; nullptr
// when there is no way to tell one row of a path from another.
std::unique_ptr<IFirstRow> ChooseFirstRow(const Dialect& dialect, const RowIdentities& offered);

}  // namespace archive
