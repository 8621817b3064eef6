#pragma once
// What an operator can do about a database connection that failed, beyond
// the driver's own message.
#include <string>

namespace odbc {

// The value of DSN= in a connection string; empty without one.
std::string DataSourceName(const std::string& connectString);

// One sentence for the SQLSTATE of a failed connection: for a data source
// that was not found, the odbc.ini files the driver manager reads and how to
// name another; empty when there is nothing to add.
std::string ConnectHint(const std::string& sqlState, const std::string& connectString);

}  // namespace odbc
