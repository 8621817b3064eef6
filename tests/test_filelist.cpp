#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/filelist.h"
#include "platform/odbc.h"
#include "store/stainfo.h"
#include "support/dbfixture.h"

namespace {

using testsupport::DatabaseTest;
using testsupport::FileListRow;

constexpr const char* kPath = "ABCD\\07\\05032011-070809-BHZ.ABCD";
constexpr double kTBegin = 1299308889.75;

using Registration = void (CStaInfo::*)(const char*, const char*, const char*, double, double,
                                        double, int, int);

// A zone far from UTC and off the hour, so that a UTC or rounded LDDATE shows.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) m_Old = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (m_Old)
      ::setenv("TZ", m_Old->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> m_Old;
};

std::time_t LocalSeconds(const SQL_TIMESTAMP_STRUCT& ts) {
  std::tm tm{};
  tm.tm_year = ts.year - 1900;
  tm.tm_mon = ts.month - 1;
  tm.tm_mday = ts.day;
  tm.tm_hour = ts.hour;
  tm.tm_min = ts.minute;
  tm.tm_sec = ts.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// The seconds during which a registration ran.
struct Window {
  std::time_t before = 0;
  std::time_t after = 0;
};

template <typename F>
Window During(F&& action) {
  Window w;
  w.before = std::time(nullptr);
  action();
  w.after = std::time(nullptr);
  return w;
}

void ExpectWrittenWithin(const FileListRow& row, const Window& w) {
  const std::time_t written = LocalSeconds(row.lddate);
  EXPECT_GE(written, w.before);
  EXPECT_LE(written, w.after);
  EXPECT_EQ(row.lddate.fraction, 0u);
}

struct Expected {
  std::string cpath;
  std::string sta;
  std::string ch;
  double tBegin;
  double tQty;
  double sps;
};

void ExpectRow(const FileListRow& row, const Expected& e) {
  EXPECT_EQ(row.sta, e.sta);
  EXPECT_EQ(row.sps, e.sps);
  EXPECT_EQ(row.gain, 1);
  EXPECT_EQ(row.cpath, e.cpath);
  EXPECT_EQ(row.dataType, 3);
  EXPECT_EQ(row.ch, e.ch);
  EXPECT_EQ(row.creater, "BREVANTO");
  EXPECT_EQ(row.tBegin, e.tBegin);
  EXPECT_EQ(row.tQty, e.tQty);
  EXPECT_EQ(row.foff, 512);
}

std::vector<FileListRow> RowsOfPath(const std::vector<FileListRow>& rows,
                                    const std::string& cpath) {
  std::vector<FileListRow> out;
  for (const auto& row : rows)
    if (row.cpath == cpath) out.push_back(row);
  return out;
}

class FileListTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    conn.Open(db->connect);
    store = std::make_unique<CStaInfo>(&conn);
  }

  void Register(Registration op, const Expected& e) {
    (store.get()->*op)(e.cpath.c_str(), e.sta.c_str(), e.ch.c_str(), e.tBegin, e.tQty, e.sps, 1, 3);
  }

  // A row put there by someone else, with values no registration writes.
  // An explicit id bypasses the key generator, so only tests that need one give it.
  void Seed(const std::string& cpath, double tQty, std::optional<int64_t> id = std::nullopt) {
    db->Exec("INSERT INTO FILELIST (" + std::string(id ? "ID, " : "") +
             "STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF) VALUES (" +
             (id ? std::to_string(*id) + ", " : "") + "'OLD', 40, 7, '" + cpath +
             "', 9, 'HHZ', 'OTHER', '2001-02-03 04:05:06', 100.5, " + std::to_string(tQty) +
             ", 1024)");
  }

  ScopedTimeZone zone{"BRV-05:45"};
  odbc::Connection conn;
  std::unique_ptr<CStaInfo> store;
};

const Expected kExample{kPath, "ABCD", "BHZ", kTBegin, 495, 20.0};

TEST_P(FileListTest, FirstRegistrationOfAPathInsertsTheFullRow) {
  const std::pair<const char*, Registration> ops[] = {{"Replace", &CStaInfo::ReplaceFileList},
                                                      {"Update", &CStaInfo::UpdateFileList}};
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    db->Exec("DELETE FROM FILELIST");
    store->m_Stats = {};
    const Window w = During([&] { Register(op, kExample); });
    const auto rows = db->Rows();
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], kExample);
    ExpectWrittenWithin(rows[0], w);
    EXPECT_EQ(store->m_Stats.rowsRegistered, 1u);
  }
}

TEST_P(FileListTest, UpdatesAfterAppendsKeepOneRowWithTheLatestLength) {
  Register(&CStaInfo::ReplaceFileList, kExample);
  const int64_t id = db->Rows().at(0).id;
  db->Exec("UPDATE FILELIST SET LDDATE = '2001-02-03 04:05:06'");

  Window last;
  for (double tQty : {990.0, 1485.0, 1980.0}) {
    Expected appended = kExample;
    appended.tQty = tQty;
    last = During([&] { Register(&CStaInfo::UpdateFileList, appended); });
  }
  const auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, id);
  Expected final = kExample;
  final.tQty = 1980;
  ExpectRow(rows[0], final);
  ExpectWrittenWithin(rows[0], last);
  EXPECT_EQ(store->m_Stats.rowsRegistered, 4u);
}

TEST_P(FileListTest, ReplaceOnReconversionDeletesTheOldRowAndInsertsAnother) {
  Register(&CStaInfo::ReplaceFileList, kExample);
  const int64_t oldId = db->Rows().at(0).id;
  Expected again{kPath, "ABCD", "BHZ", kTBegin + 0.5, 120, 40.0};
  const Window w = During([&] { Register(&CStaInfo::ReplaceFileList, again); });
  const auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NE(rows[0].id, oldId);
  ExpectRow(rows[0], again);
  ExpectWrittenWithin(rows[0], w);
  EXPECT_EQ(store->m_Stats.rowsRegistered, 2u);
}

TEST_P(FileListTest, OnlyTheLowestKeyedRowOfAPathIsTouched) {
  // Without the path index the rows come back in storage order, and the
  // higher key goes in first: only the query's own ordering finds key 10.
  db->Exec("DROP INDEX FILELIST_CPATH");
  Seed(kPath, 1, 20);
  Seed(kPath, 2, 10);
  Seed("OTHER\\07\\x.OTHER", 3, 15);
  auto byId = [](const std::vector<FileListRow>& rows, int64_t id) -> const FileListRow* {
    for (const auto& row : rows)
      if (row.id == id) return &row;
    return nullptr;
  };
  auto expectUntouched = [](const FileListRow* row, double tQty) {
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->creater, "OTHER");
    EXPECT_EQ(row->tQty, tQty);
  };

  Expected update = kExample;
  update.tQty = 999;
  Register(&CStaInfo::UpdateFileList, update);
  auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 3u);
  ASSERT_NE(byId(rows, 10), nullptr);
  ExpectRow(*byId(rows, 10), update);
  expectUntouched(byId(rows, 20), 1);
  expectUntouched(byId(rows, 15), 3);

  Expected replace = kExample;
  replace.tQty = 777;
  Register(&CStaInfo::ReplaceFileList, replace);
  rows = db->Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(byId(rows, 10), nullptr);
  expectUntouched(byId(rows, 20), 1);
  expectUntouched(byId(rows, 15), 3);
  const auto mine = RowsOfPath(rows, kPath);
  ASSERT_EQ(mine.size(), 2u);
  const FileListRow& inserted = mine[0].id == 20 ? mine[1] : mine[0];
  EXPECT_EQ(std::set<int64_t>({10, 15, 20}).count(inserted.id), 0u);
  ExpectRow(inserted, replace);
  EXPECT_EQ(store->m_Stats.rowsRegistered, 2u);
}

TEST_P(FileListTest, ClosedConnectionIsReopenedThroughDataSourceVez) {
  const auto source = db->UseAsDataSource("VEZ");
  if (!source) GTEST_SKIP() << testsupport::kDataSourceCachedMessage;
  conn.Close();
  Register(&CStaInfo::UpdateFileList, kExample);
  ASSERT_TRUE(conn.IsOpen());
  const SQLHDBC handle = conn.Handle();

  Expected next = kExample;
  next.cpath = "ABCD\\08\\05032011-080000-BHZ.ABCD";
  Register(&CStaInfo::ReplaceFileList, next);
  EXPECT_EQ(conn.Handle(), handle);
  EXPECT_TRUE(conn.IsOpen());

  const auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 2u);
  ExpectRow(rows[0], kExample);
  ExpectRow(rows[1], next);
  EXPECT_EQ(store->m_Stats.rowsRegistered, 2u);
}

TEST_P(FileListTest, QuotesAndSeparatorsAreStoredVerbatim) {
  const std::string bystander = "ZZZZ\\07\\01012020-000000-BHZ.ZZZZ";
  Seed(bystander, 5);
  const std::vector<Expected> cases = {
      {"AB'C\\07\\01012020-000000-BHZ.AB'C", "AB'C", "B'Z", kTBegin, 10, 20},
      // Were the filter pasted into the SQL text, this path would match every row.
      {"x' OR '1'='1", "O\"K", "CH;", kTBegin, 10, 20},
      {"ABCD\\\\07\\%_?.ABCD", "AB\\", "?", kTBegin, 10, 20},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.cpath);
    for (Registration op :
         {&CStaInfo::UpdateFileList, &CStaInfo::UpdateFileList, &CStaInfo::ReplaceFileList}) {
      Register(op, c);
      const auto rows = db->Rows();
      const auto mine = RowsOfPath(rows, c.cpath);
      ASSERT_EQ(mine.size(), 1u);
      ExpectRow(mine[0], c);
      const auto other = RowsOfPath(rows, bystander);
      ASSERT_EQ(other.size(), 1u);
      EXPECT_EQ(other[0].creater, "OTHER");
    }
  }
  EXPECT_EQ(db->Rows().size(), 1 + cases.size());
}

TEST_P(FileListTest, DatabaseErrorsSurfaceNamingTheFailedStep) {
  struct Case {
    const char* name;
    std::string check;  // added to the STA column; empty drops the table instead
    bool seedOther;
    Registration op;
    std::string step;
  };
  const std::vector<Case> cases = {
      {"table missing, update", "", false, &CStaInfo::UpdateFileList, "update"},
      {"table missing, replace", "", false, &CStaInfo::ReplaceFileList, "delete"},
      {"insert refused", "CHECK (STA <> 'ABCD')", false, &CStaInfo::ReplaceFileList, "insert"},
      {"update refused", "CHECK (STA <> 'ABCD')", true, &CStaInfo::UpdateFileList, "update"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db->Exec("DROP TABLE FILELIST");
    if (!c.check.empty()) {
      std::string schema = db->SchemaScript();
      const std::string column = "STA VARCHAR(255),";
      ASSERT_NE(schema.find(column), std::string::npos);
      schema.replace(schema.find(column), column.size(), "STA VARCHAR(255) " + c.check + ",");
      db->RunScript(schema);
    }
    if (c.seedOther) Seed(kPath, 5);
    store->m_Stats = {};
    try {
      Register(c.op, kExample);
      ADD_FAILURE() << "no error";
    } catch (const odbc::Error& e) {
      EXPECT_EQ(e.SqlState().size(), 5u);
      EXPECT_EQ(std::string(e.what()).rfind(
                    "FILELIST " + c.step + " for " + kPath + ": [" + e.SqlState() + "]", 0),
                0u)
          << e.what();
    }
    EXPECT_EQ(store->m_Stats.rowsRegistered, 0u);
    if (c.seedOther) {
      const auto rows = db->Rows();
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0].sta, "OLD");
    }
    if (!c.check.empty()) {
      // The connection and its statements still serve the next registration.
      Expected fine = kExample;
      fine.cpath = "FINE\\00\\x.FINE";
      fine.sta = "FINE";
      EXPECT_NO_THROW(Register(&CStaInfo::ReplaceFileList, fine));
      EXPECT_EQ(RowsOfPath(db->Rows(), fine.cpath).size(), 1u);
    } else {
      db->RunScript(db->SchemaScript());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Db, FileListTest, testsupport::AllBackends(), testsupport::BackendName);

TEST(FileListWithoutDatabase, StoreWithoutConnectionRegistersNothing) {
  CStaInfo store(nullptr);
  EXPECT_NO_THROW(store.UpdateFileList(kPath, "ABCD", "BHZ", kTBegin, 495, 20, 1, 3));
  EXPECT_NO_THROW(store.ReplaceFileList(kPath, "ABCD", "BHZ", kTBegin, 495, 20, 1, 3));
  EXPECT_EQ(store.m_Stats.rowsRegistered, 0u);
}

TEST(FileListWithoutDatabase, NewRowStartsEmptyAndStampedNow) {
  const std::time_t before = std::time(nullptr);
  CFileList row(nullptr);
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(row.IsEOF());
  EXPECT_EQ(row.m_STA, "");
  EXPECT_EQ(row.m_CPATH, "");
  EXPECT_EQ(row.m_TQTY, 0.0);
  EXPECT_EQ(row.m_FOFF, 0);
  EXPECT_GE(LocalSeconds(row.m_LDDATE), before);
  EXPECT_LE(LocalSeconds(row.m_LDDATE), after);
  EXPECT_EQ(row.m_LDDATE.fraction, 0u);
}

}  // namespace
