#include "archive/firstrow.h"

#include <strings.h>

#include <utility>

namespace archive {

CLowestIdentity::CLowestIdentity(std::string identity, std::string name)
    : m_Identity(std::move(identity)), m_Name(std::move(name)) {}

std::string CLowestIdentity::Name() const { return "lowest " + m_Name; }

std::string CLowestIdentity::Restriction(const std::string& table, const std::string& cpath) const {
  return " WHERE " + m_Identity + " = (SELECT MIN(" + m_Identity + ") FROM " + table + " WHERE " + cpath + " = ?)";
}

std::string CLowestIdentity::Order() const { return " ORDER BY " + m_Identity; }

std::string CFirstMet::Name() const { return "first met (LIMIT 1)"; }

std::string CFirstMet::Restriction(const std::string&, const std::string& cpath) const {
  return " WHERE " + cpath + " = ? LIMIT 1";
}

std::string CFirstMet::Order() const { return {}; }

const Dialect& DialectOf(const std::string& dbmsName) {
  static const Dialect kKnown[] = {
      {"SQLite", "rowid", false, true, true},
      {"PostgreSQL", "ctid", false, false, false},
      {"MariaDB", nullptr, true, false, false},
      {"MySQL", nullptr, true, false, false},
  };
  static const Dialect kOther{"", nullptr, false, false, false};
  for (const Dialect& d : kKnown)
    if (strcasecmp(d.dbms, dbmsName.c_str()) == 0) return d;
  return kOther;
}

std::unique_ptr<IFirstRow> ChooseFirstRow(const Dialect& dialect, const RowIdentities& offered) {
  if (!offered.key.empty()) return std::make_unique<CLowestIdentity>(offered.key, offered.keyName);
  if (dialect.rowIdentity) return std::make_unique<CLowestIdentity>(dialect.rowIdentity, dialect.rowIdentity);
  if (dialect.limitedWrites) return std::make_unique<CFirstMet>();
  if (!offered.special.empty()) return std::make_unique<CLowestIdentity>(offered.special, offered.specialName);
  return nullptr;
}

}  // namespace archive
