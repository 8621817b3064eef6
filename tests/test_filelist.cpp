#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/filelist.h"
#include "archive/firstrow.h"
#include "archive/filelisttable.h"
#include "platform/odbc.h"
#include "store/stainfo.h"
#include "support/dbfixture.h"
#include "support/localarchive.h"

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
  // An explicit id bypasses the key generator, so only tests that need one
  // give it, and only a table with a key takes it.
  void Seed(const std::string& cpath, double tQty, std::optional<int64_t> id = std::nullopt) {
    if (!db->KeyColumn()) id.reset();
    db->Exec("INSERT INTO FILELIST (" + (id ? std::string(db->KeyColumn()) + ", " : std::string()) +
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
// Doubles that 15 significant digits do not carry.
const Expected kAwkward{kPath, "ABCD", "BHZ", 1712570400.0123457, 1.0 / 3.0, 19.999999999999996};

TEST_P(FileListTest, FirstRegistrationOfAPathInsertsTheFullRow) {
  const std::pair<const char*, Registration> ops[] = {{"Replace", &CStaInfo::ReplaceFileList},
                                                      {"Update", &CStaInfo::UpdateFileList}};
  for (const Expected& e : {kExample, kAwkward}) {
    for (const auto& [name, op] : ops) {
      SCOPED_TRACE(std::string(name) + " of TBEGIN " + std::to_string(e.tBegin));
      db->Exec("DELETE FROM FILELIST");
      store->m_Stats = {};
      const Window w = During([&] { Register(op, e); });
      const auto rows = db->Rows();
      ASSERT_EQ(rows.size(), 1u);
      ExpectRow(rows[0], e);
      ExpectWrittenWithin(rows[0], w);
      EXPECT_EQ(store->m_Stats.rowsRegistered, 1u);
    }
  }
}

TEST_P(FileListTest, UpdatesAfterAppendsKeepOneRowWithTheLatestLength) {
  Register(&CStaInfo::ReplaceFileList, kExample);
  const int64_t id = db->Rows().at(0).id;
  db->Exec("UPDATE FILELIST SET LDDATE = '2001-02-03 04:05:06'");

  Window last;
  // The last append adds nothing: an UPDATE that changes no value still finds its row.
  for (double tQty : {990.0, 1485.0, 1980.0, 1980.0}) {
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
  EXPECT_EQ(store->m_Stats.rowsRegistered, 5u);

  // Another program deleted the row: the next append gives the file its row again.
  db->Exec("DELETE FROM FILELIST");
  final.tQty = 2475;
  Register(&CStaInfo::UpdateFileList, final);
  const auto again = db->Rows();
  ASSERT_EQ(again.size(), 1u);
  ExpectRow(again[0], final);
}

TEST_P(FileListTest, ReplaceOnReconversionDeletesTheOldRowAndInsertsAnother) {
  Register(&CStaInfo::ReplaceFileList, kExample);
  const int64_t oldId = db->Rows().at(0).id;
  Expected again{kPath, "ABCD", "BHZ", kTBegin + 0.5, 120, 40.0};
  const Window w = During([&] { Register(&CStaInfo::ReplaceFileList, again); });
  const auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 1u);
  if (db->KeyColumn()) {
    EXPECT_NE(rows[0].id, oldId);
  }
  ExpectRow(rows[0], again);
  ExpectWrittenWithin(rows[0], w);
  EXPECT_EQ(store->m_Stats.rowsRegistered, 2u);
}

// Of two rows of one path the first is the lowest key, or where there is no
// key the first that the database keeps (the earlier in a fresh table).
TEST_P(FileListTest, OfTwoRowsOfAPathOnlyTheFirstIsTouched) {
  // Without the path index the rows come back in storage order, and the
  // higher key goes in first: only the statement's own ordering finds key 10.
  db->DropPathIndex();
  Seed(kPath, 1, 20);
  Seed(kPath, 2, 10);
  const std::string bystander = "OTHER\\07\\x.OTHER";
  Seed(bystander, 3, 15);
  const double first = db->KeyColumn() ? 2 : 1;
  auto untouched = [](const std::vector<FileListRow>& rows, double tQty) {
    return std::count_if(rows.begin(), rows.end(),
                         [&](const FileListRow& r) { return r.creater == "OTHER" && r.tQty == tQty; });
  };

  Expected update = kExample;
  update.tQty = 999;
  Register(&CStaInfo::UpdateFileList, update);
  auto rows = db->Rows();
  ASSERT_EQ(rows.size(), 3u);
  auto mine = RowsOfPath(rows, kPath);
  ASSERT_EQ(mine.size(), 2u);
  const FileListRow& updated = mine[0].creater == "BREVANTO" ? mine[0] : mine[1];
  ExpectRow(updated, update);
  EXPECT_EQ(untouched(rows, first), 0) << "another row than the first was updated";
  EXPECT_EQ(untouched(rows, 3 - first), 1);
  EXPECT_EQ(untouched(rows, 3), 1);
  if (db->KeyColumn()) {
    EXPECT_EQ(updated.id, 10);
  }

  Expected replace = kExample;
  replace.tQty = 777;
  Register(&CStaInfo::ReplaceFileList, replace);
  rows = db->Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(untouched(rows, 3), 1);
  mine = RowsOfPath(rows, kPath);
  ASSERT_EQ(mine.size(), 2u);
  // One row of the path went, whichever was first by then, and the new one came.
  const bool newFirst = mine[0].tQty == 777;
  const FileListRow& inserted = newFirst ? mine[0] : mine[1];
  const FileListRow& kept = newFirst ? mine[1] : mine[0];
  ExpectRow(inserted, replace);
  EXPECT_TRUE(kept.tQty == 999 || untouched(rows, 3 - first) == 1);
  if (db->KeyColumn()) {
    EXPECT_EQ(kept.id, 20);
    EXPECT_EQ(std::set<int64_t>({10, 15, 20}).count(inserted.id), 0u);
  }
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
    std::string check;  // added to the table; empty drops the table instead
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
    if (!c.check.empty()) db->RunScript(db->SchemaScript(c.check));
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

INSTANTIATE_TEST_SUITE_P(Db, FileListTest, testsupport::AllShapes(), testsupport::BackendName);

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The table check, on tables a test makes itself.
class TableCheck : public DatabaseTest {};

TEST_P(TableCheck, FindsWhatTheTableOffersOrWhyItCannotTakeARow) {
  const std::string& b = db->backend;
  const std::string eleven = testsupport::ElevenColumns(b);
  const std::map<std::string, std::string> ownIdentity = {
      {"sqlite", "lowest rowid"}, {"postgres", "lowest ctid"}, {"mariadb", "first met (LIMIT 1)"}};
  const struct {
    const char* name;
    std::string columns;  // empty: no table at all
    std::string firstRow;  // how the first row is found; empty when refused
    std::vector<std::string> mentions;  // in the refusal or the warning
  } cases[] = {
      {"the eleven columns alone", eleven, ownIdentity.at(b), {}},
      {"a NOT NULL column with a default", eleven + ", EXTRA INTEGER NOT NULL DEFAULT 0", ownIdentity.at(b), {}},
      {"a NOT NULL key the database fills", testsupport::FilledKeyColumn(b) + ", " + eleven, "lowest NR", {}},
      // SQLite keeps every value whatever the column says; the others would
      // refuse the row (PostgreSQL) or cut it to a whole number (MariaDB).
      {"TBEGIN as an integer", testsupport::ElevenColumns(b, {"TBEGIN"}) + ", TBEGIN INTEGER",
       b == "sqlite" ? ownIdentity.at(b) : "",
       b == "sqlite" ? std::vector<std::string>{} : std::vector<std::string>{"column TBEGIN of type int", "fractions"}},
      {"TQTY as a whole decimal", testsupport::ElevenColumns(b, {"TQTY"}) + ", TQTY NUMERIC(12)",
       b == "sqlite" ? ownIdentity.at(b) : "",
       b == "sqlite" ? std::vector<std::string>{} : std::vector<std::string>{"column TQTY of type", "fractions"}},
      {"CPATH too short", testsupport::ElevenColumns(b, {"CPATH"}) + ", CPATH VARCHAR(20)",
       b == "sqlite" ? ownIdentity.at(b) : "",
       b == "sqlite" ? std::vector<std::string>{} : std::vector<std::string>{"column CPATH of type", "(20)", "45"}},
      {"SPS in single precision", testsupport::ElevenColumns(b, {"SPS"}) + (b == "mariadb" ? ", SPS FLOAT" : ", SPS REAL"),
       ownIdentity.at(b), b == "sqlite" ? std::vector<std::string>{} : std::vector<std::string>{"SPS", "rounded"}},
      {"columns missing", testsupport::ElevenColumns(b, {"TQTY", "FOFF"}), "", {"lacks the columns TQTY, FOFF"}},
      {"a NOT NULL column without a default", eleven + ", EXTRA INTEGER NOT NULL", "", {"EXTRA", "NOT NULL"}},
      {"no table", "", "", {"does not exist"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db->Exec("DROP TABLE IF EXISTS FILELIST");
    if (!c.columns.empty()) db->Exec("CREATE TABLE FILELIST (" + c.columns + ")");
    odbc::Connection fresh;
    fresh.Open(db->connect);
    try {
      const archive::FileListTable& table = archive::CheckFileListTable(fresh);
      // Names as the database spells them.
      EXPECT_EQ(Upper(table.FirstRow().Name()), Upper(c.firstRow));
      std::string warnings;
      for (const std::string& w : table.Warnings()) warnings += Upper(w) + "\n";
      for (const std::string& m : c.mentions) EXPECT_NE(warnings.find(Upper(m)), std::string::npos) << warnings;
      if (c.mentions.empty()) {
        EXPECT_EQ(warnings, "");
      }
      // Kept for the connection: the next call reads no catalogue.
      EXPECT_EQ(&archive::CheckFileListTable(fresh), &table);
    } catch (const archive::FileListTableError& e) {
      EXPECT_EQ(c.firstRow, "") << e.what();
      const std::string what = Upper(e.what());
      for (const std::string& m : c.mentions) EXPECT_NE(what.find(Upper(m)), std::string::npos) << what;
      EXPECT_NE(what.find("TABLE FILELIST OF "), std::string::npos) << what;
    }
  }
  db->Exec("DROP TABLE IF EXISTS FILELIST");
  db->RunScript(db->SchemaScript());
}

// A run into a table that cannot take a row stops before the first data
// file; --check refuses the table too.
TEST_P(TableCheck, RunIntoATableThatCannotTakeARowConvertsNothing) {
  const std::string b = db->backend;
  db->Exec("DROP TABLE FILELIST");
  db->Exec("CREATE TABLE FILELIST (" + testsupport::ElevenColumns(b) + ", EXTRA INTEGER NOT NULL)");
  auto archive = testsupport::LocalArchive::On(std::move(db));
  const std::string input = archive->Root() + "/input.mseed";
  testsupport::WriteVolume(input, testsupport::VolumePlan{});
  const struct {
    std::string columns;
    std::vector<std::string> mentions;
  } tables[] = {
      {testsupport::ElevenColumns(b) + ", EXTRA INTEGER NOT NULL", {"EXTRA", "NOT NULL WITHOUT A DEFAULT"}},
      // Refused by PostgreSQL at every insert, cut by MariaDB: found before anything is written.
      {testsupport::ElevenColumns(b, {"TQTY"}) + ", TQTY INTEGER", {"COLUMN TQTY OF TYPE INT", "FRACTIONS"}},
  };
  for (const auto& t : tables) {
    if (b == "sqlite" && t.columns.find("TQTY INTEGER") != std::string::npos) continue;
    SCOPED_TRACE(t.columns);
    archive->Exec("DROP TABLE FILELIST");
    archive->Exec("CREATE TABLE FILELIST (" + t.columns + ")");
    for (const auto& o : {archive->Convert({input}), archive->CheckCli()}) {
      EXPECT_EQ(o.status, 3) << o.err;
      EXPECT_NE(Upper(o.err).find("TABLE FILELIST OF DATA SOURCE \"VEZ\""), std::string::npos) << o.err;
      for (const std::string& m : t.mentions) EXPECT_NE(Upper(o.err).find(m), std::string::npos) << o.err;
    }
    EXPECT_EQ(testsupport::ParseRunSummary(archive->Convert({input}).err).result, "VEZ Database open error");
    EXPECT_TRUE(std::filesystem::is_empty(archive->DataDir()));
  }
}

INSTANTIATE_TEST_SUITE_P(Db, TableCheck, testsupport::EachBackend(), testsupport::BackendName);

TEST(FileListWithoutDatabase, StoreWithoutConnectionRegistersNothing) {
  CStaInfo store(nullptr);
  EXPECT_NO_THROW(store.UpdateFileList(kPath, "ABCD", "BHZ", kTBegin, 495, 20, 1, 3));
  EXPECT_NO_THROW(store.ReplaceFileList(kPath, "ABCD", "BHZ", kTBegin, 495, 20, 1, 3));
  EXPECT_EQ(store.m_Stats.rowsRegistered, 0u);
}

TEST(FirstRow, ChosenFromWhatTheTableAndDatabaseOffer) {
  struct Case {
    const char* dbms;
    archive::RowIdentities offered;
    const char* name;         // of the strategy, nullptr when none can tell rows apart
    const char* restriction;  // part of the statements' restriction
  } cases[] = {
      {"SQLite", {"\"ID\"", "ID", "", ""}, "lowest ID", "MIN(\"ID\")"},
      {"SQLite", {}, "lowest rowid", "MIN(rowid)"},
      {"PostgreSQL", {}, "lowest ctid", "MIN(ctid)"},
      {"MariaDB", {"`NR`", "NR", "", ""}, "lowest NR", "MIN(`NR`)"},
      {"MariaDB", {}, "first met (LIMIT 1)", "LIMIT 1"},
      {"Other", {"", "", "\"ROWKEY\"", "ROWKEY"}, "lowest ROWKEY", "MIN(\"ROWKEY\")"},
      {"Other", {}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dbms) + " " + c.offered.keyName + c.offered.specialName);
    const auto chosen = archive::ChooseFirstRow(archive::DialectOf(c.dbms), c.offered);
    ASSERT_EQ(chosen != nullptr, c.name != nullptr);
    if (!chosen) continue;
    EXPECT_EQ(chosen->Name(), c.name);
    const std::string restriction = chosen->Restriction("FILELIST", "CPATH");
    EXPECT_NE(restriction.find(c.restriction), std::string::npos) << restriction;
    EXPECT_NE(restriction.find("CPATH = ?"), std::string::npos) << restriction;
  }
}

TEST(FileListWithoutDatabase, NewRowStartsEmptyAndStampedNow) {
  const std::time_t before = std::time(nullptr);
  CFileList row(nullptr);
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(row.m_STA, "");
  EXPECT_EQ(row.m_CPATH, "");
  EXPECT_EQ(row.m_TQTY, 0.0);
  EXPECT_EQ(row.m_FOFF, 0);
  EXPECT_GE(LocalSeconds(row.m_LDDATE), before);
  EXPECT_LE(LocalSeconds(row.m_LDDATE), after);
  EXPECT_EQ(row.m_LDDATE.fraction, 0u);
}

}  // namespace
