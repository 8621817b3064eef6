#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "platform/odbc.h"
#include "support/dbfixture.h"

namespace {

using testsupport::DatabaseTest;

bool SameTimestamp(const SQL_TIMESTAMP_STRUCT& a, const SQL_TIMESTAMP_STRUCT& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.fraction == b.fraction;
}

class OdbcTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    // MariaDB's TIMESTAMP ends in 2038.
    db->Exec(std::string("CREATE TABLE SCRATCH (K INTEGER, S VARCHAR(2000), D DOUBLE PRECISION, I INTEGER, "
                         "B BIGINT, TS ") +
             (db->backend == "mariadb" ? "DATETIME" : "TIMESTAMP") + ")");
    conn.Open(db->connect);
  }

  long Count(const std::string& where, double d) {
    odbc::Statement count(conn);
    count.Prepare("SELECT COUNT(*) FROM SCRATCH WHERE " + where);
    count.SetParam(1, d);
    count.Execute();
    EXPECT_TRUE(count.Fetch());
    return static_cast<long>(count.GetInt64(1));
  }

  odbc::Connection conn;
};

TEST_P(OdbcTest, ValuesTravelWithTheirExactTypes) {
  struct Case {
    std::string s;
    double d;
    int32_t i;
    int64_t b;
    SQL_TIMESTAMP_STRUCT ts;
  };
  const std::vector<Case> cases = {
      {"ABCD\\07\\05032011-070809-BHZ.ABCD", 1299308889.75, 1, 3, {2011, 3, 5, 7, 8, 9, 0}},
      {"O'Brien \"x\" ; -- ?", -0.1, INT32_MIN, INT64_MIN + 1, {1999, 12, 31, 23, 59, 59, 0}},
      {"", 1299308889.123456789, INT32_MAX, (int64_t{1} << 53) + 1, {2038, 1, 19, 3, 14, 8, 0}},
      // Longer than one read buffer, so the text arrives in pieces.
      {std::string(1500, 'x') + "end", 1e-300, 0, -1, {1970, 1, 1, 0, 0, 0, 0}},
  };
  // One prepared statement for all rows: parameters are rebound on every Execute.
  odbc::Statement& insert =
      conn.Prepared("INSERT INTO SCRATCH (K, S, D, I, B, TS) VALUES (?, ?, ?, ?, ?, ?)");
  for (size_t k = 0; k < cases.size(); ++k) {
    insert.SetParam(1, static_cast<int32_t>(k));
    insert.SetParam(2, cases[k].s);
    insert.SetParam(3, cases[k].d);
    insert.SetParam(4, cases[k].i);
    insert.SetParam(5, cases[k].b);
    insert.SetParam(6, cases[k].ts);
    insert.Execute();
    EXPECT_EQ(insert.RowCount(), 1);
  }

  odbc::Statement& select = conn.Prepared("SELECT S, D, I, B, TS FROM SCRATCH WHERE K = ?");
  for (size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE("case " + std::to_string(k));
    select.SetParam(1, static_cast<int32_t>(k));
    select.Execute();
    ASSERT_TRUE(select.Fetch());
    EXPECT_EQ(select.GetText(1), cases[k].s);
    const double d = select.GetDouble(2);
    EXPECT_EQ(select.GetInt(3), cases[k].i);
    EXPECT_EQ(select.GetInt64(4), cases[k].b);
    EXPECT_TRUE(SameTimestamp(select.GetTimestamp(5), cases[k].ts));
    EXPECT_FALSE(select.Fetch());
    select.CloseCursor();
    // The SQLite driver reads a REAL back with 15 digits only; what is
    // stored must still be the very double that was bound.
    EXPECT_NEAR(d, cases[k].d, std::abs(cases[k].d) * 1e-14);
    EXPECT_EQ(Count("D = ?", cases[k].d), 1);
  }
}

TEST_P(OdbcTest, NullsReadAsEmptyValues) {
  db->Exec("INSERT INTO SCRATCH (K) VALUES (1)");
  odbc::Statement select(conn);
  select.Prepare("SELECT S, D, I, B, TS FROM SCRATCH");
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.GetText(1), "");
  EXPECT_EQ(select.GetDouble(2), 0.0);
  EXPECT_EQ(select.GetInt(3), 0);
  EXPECT_EQ(select.GetInt64(4), 0);
  EXPECT_TRUE(SameTimestamp(select.GetTimestamp(5), SQL_TIMESTAMP_STRUCT{}));
}

TEST_P(OdbcTest, ExecuteClosesTheCursorLeftOpen) {
  db->Exec("INSERT INTO SCRATCH (K, S) VALUES (1, 'a')");
  db->Exec("INSERT INTO SCRATCH (K, S) VALUES (1, 'b')");
  db->Exec("INSERT INTO SCRATCH (K, S) VALUES (2, 'c')");
  odbc::Statement& select = conn.Prepared("SELECT S FROM SCRATCH WHERE K = ? ORDER BY S");
  select.SetParam(1, int32_t{1});
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.GetText(1), "a");
  select.SetParam(1, int32_t{2});
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.GetText(1), "c");
  EXPECT_FALSE(select.Fetch());
}

TEST_P(OdbcTest, SearchedWritesReportTheRowsTheyTouched) {
  for (int k : {1, 1, 2}) db->Exec("INSERT INTO SCRATCH (K) VALUES (" + std::to_string(k) + ")");
  struct Case {
    const char* sql;
    int32_t k;
    long rows;
  };
  const Case cases[] = {
      {"UPDATE SCRATCH SET I = 5 WHERE K = ?", 9, 0},
      {"UPDATE SCRATCH SET I = 5 WHERE K = ?", 1, 2},
      {"DELETE FROM SCRATCH WHERE K = ?", 9, 0},
      {"DELETE FROM SCRATCH WHERE K = ?", 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sql) + " with " + std::to_string(c.k));
    odbc::Statement& write = conn.Prepared(c.sql);
    write.SetParam(1, c.k);
    EXPECT_NO_THROW(write.Execute());
    EXPECT_EQ(write.RowCount(), c.rows);
  }
}

TEST_P(OdbcTest, FailuresCarryTheDriversDiagnostics) {
  const std::vector<std::string> statements = {"SELEKT 1", "SELECT * FROM NO_SUCH_TABLE",
                                               "INSERT INTO SCRATCH (NO_SUCH_COLUMN) VALUES (1)"};
  for (const std::string& sql : statements) {
    SCOPED_TRACE(sql);
    for (bool prepared : {false, true}) {
      try {
        if (prepared) {
          odbc::Statement statement(conn);
          statement.Prepare(sql);
          statement.Execute();
        } else {
          conn.ExecuteDirect(sql);
        }
        ADD_FAILURE() << "no error";
      } catch (const odbc::Error& e) {
        EXPECT_EQ(e.SqlState().size(), 5u);
        EXPECT_FALSE(e.DriverText().empty());
        EXPECT_NE(std::string(e.what()).find("[" + e.SqlState() + "] " + e.DriverText()),
                  std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find(sql), std::string::npos) << e.what();
      }
    }
  }
  // The connection is still good after the failures.
  EXPECT_NO_THROW(conn.ExecuteDirect("INSERT INTO SCRATCH (K) VALUES (1)"));
}

TEST_P(OdbcTest, PreparedStatementsLiveAsLongAsTheConnection) {
  const std::string insert = "INSERT INTO SCRATCH (K) VALUES (?)";
  odbc::Statement& first = conn.Prepared(insert);
  EXPECT_EQ(&first, &conn.Prepared(insert));
  EXPECT_NE(&first, &conn.Prepared("SELECT K FROM SCRATCH"));

  conn.Close();
  EXPECT_FALSE(conn.IsOpen());
  EXPECT_NO_THROW(conn.Close());
  EXPECT_THROW(conn.Prepared(insert), odbc::Error);

  conn.Open(db->connect);
  conn.Open(db->connect);  // a second Open replaces the first connection
  odbc::Statement& again = conn.Prepared(insert);
  again.SetParam(1, int32_t{7});
  again.Execute();
  EXPECT_EQ(again.RowCount(), 1);
}

TEST_P(OdbcTest, StatementThatFailedIsPreparedAnew) {
  const std::string sql = "SELECT K FROM LATER WHERE K = ?";
  auto run = [&] {
    odbc::Statement& select = conn.Prepared(sql);
    select.SetParam(1, int32_t{4});
    select.Execute();
    const bool found = select.Fetch();
    select.CloseCursor();
    return found;
  };
  // SQLite fails in the prepare, PostgreSQL in the execution.
  EXPECT_THROW(run(), odbc::Error);
  db->Exec("CREATE TABLE LATER (K INTEGER)");
  db->Exec("INSERT INTO LATER (K) VALUES (4)");
  EXPECT_TRUE(run());
  EXPECT_TRUE(run());
}

TEST_P(OdbcTest, CursorLibraryIsNeverLoaded) {
  SQLULEN cursors = 99;
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLGetConnectAttr(conn.Handle(), SQL_ATTR_ODBC_CURSORS, &cursors, 0, nullptr)));
  EXPECT_EQ(cursors, static_cast<SQLULEN>(SQL_CUR_USE_DRIVER));
}

TEST_P(OdbcTest, LoginTimeoutIsAccepted) {
  odbc::Connection timed;
  EXPECT_NO_THROW(timed.Open(db->connect, 15));
  EXPECT_TRUE(timed.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Db, OdbcTest, testsupport::EachBackend(), testsupport::BackendName);

TEST(OdbcConnection, FailedOpenLeavesItClosedWithoutRevealingThePassword) {
  const std::pair<std::string, const char*> cases[] = {
      {"DSN=brevanto_no_such_source;UID=VEZ;PWD=secret1;", "IM002"},
      {"DSN=brevanto_no_such_source;pwd={secret1;x};UID=VEZ", "IM002"},
      {"Driver=brevanto_no_such_driver;PWD=secret1", "01000"},  // the library cannot be loaded
  };
  for (const auto& [text, state] : cases) {
    SCOPED_TRACE(text);
    odbc::Connection conn;
    try {
      conn.Open(text);
      ADD_FAILURE() << "connected";
    } catch (const odbc::Error& e) {
      EXPECT_EQ(e.SqlState(), state);
      EXPECT_EQ(std::string(e.what()).find("secret1"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("brevanto_no_such_"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(conn.IsOpen());
    EXPECT_TRUE(conn.Handle() == SQL_NULL_HDBC);
  }
}

TEST(OdbcConnection, MissingPasswordFailsInsteadOfPrompting) {
  for (const std::string backend : {"postgres", "mariadb"}) {
    SCOPED_TRACE(backend);
    auto db = testsupport::MakeTestDatabase(backend);
    if (!db) {
      std::cout << testsupport::Unavailable(backend) << "\n";
      continue;
    }
    std::string text = db->connect;
    const auto pwd = text.find("PWD=");
    ASSERT_NE(pwd, std::string::npos) << text;
    text.erase(pwd, text.find(';', pwd) - pwd + 1);
    odbc::Connection conn;
    try {
      conn.Open(text, 15);
      ADD_FAILURE() << "connected without a password";
    } catch (const odbc::Error& e) {
      // MariaDB's driver, unable to show its dialog, says so.
      EXPECT_EQ(e.SqlState(), backend == "postgres" ? "08001" : "IM008") << e.what();
    }
    EXPECT_FALSE(conn.IsOpen());
  }
}

TEST(OdbcConnection, StatementOnAClosedConnectionIsAnError) {
  odbc::Connection conn;
  EXPECT_THROW(odbc::Statement statement(conn), odbc::Error);
  EXPECT_THROW(conn.ExecuteDirect("SELECT 1"), odbc::Error);
}

}  // namespace
