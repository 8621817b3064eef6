#include "platform/odbchint.h"

#include <strings.h>

#include <cstdlib>

namespace odbc {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The files unixODBC reads data sources from: the user's, then the system's.
std::string OdbcIniFiles() {
  const std::string user = Env("ODBCINI");
  std::string files = !user.empty() ? user + " (named by ODBCINI)"
                      : !Env("HOME").empty() ? Env("HOME") + "/.odbc.ini (the user's; ODBCINI names another)"
                                              : "no user file (HOME and ODBCINI are unset)";
  const std::string sys = Env("ODBCSYSINI");
  files += " and " + (sys.empty() ? std::string("/etc") : sys) + "/odbc.ini (the system's)";
  return files;
}

}  // namespace

std::string DataSourceName(const std::string& connectString) {
  size_t pos = 0;
  while (pos < connectString.size()) {
    const size_t end = connectString.find(';', pos);
    const std::string part = connectString.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (part.size() >= 4 && ::strncasecmp(part.c_str(), "DSN=", 4) == 0) return part.substr(4);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return {};
}

std::string ConnectHint(const std::string& sqlState, const std::string& connectString) {
  const std::string dsn = DataSourceName(connectString);
  const std::string source = dsn.empty() ? "the connection" : "data source " + dsn;
  if (sqlState == "IM002" && !dsn.empty())
    return "Data source " + dsn + " not found: it is looked up in " + OdbcIniFiles();
  if (sqlState == "IM003") return "The ODBC driver of " + source + " cannot be loaded: is its package installed?";
  if (sqlState.rfind("08", 0) == 0)
    return "The database server of " + source + " cannot be reached: is it running, and do its address and port in odbc.ini hold?";
  if (sqlState == "28000" || sqlState == "28P01")
    return "The database refused the login of " + source + ": check the user and password it grants";
  return {};
}

}  // namespace odbc
