// The SQLite driver on real database files: connection, results in memory, field fetches.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include "fias.h"
#include "log_capture.h"
#include "query.h"
#include "sqlite.h"
#include "sqlite_probe.h"
#include "testutil.h"

namespace {

class SqliteDriverTest : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  testutil::log_capture log;
  std::unique_ptr<dbdriver_t> drv = sqlite_create_drv("pbx");

  void SetUp() override {
    drv->database = dir.file("pbx.db");
    ASSERT_EQ(drv->reconnect_if_needed(), 0);
  }

  // Runs a reading statement and moves to its first row.
  void first_row(const std::string& statement) {
    ASSERT_EQ(drv->query(statement), 0);
    ASSERT_EQ(drv->fetch_row(), 0);
  }

  std::vector<std::string> all_rows() {
    std::vector<std::string> rows;
    std::string value;
    while (drv->fetch_row() == 0) {
      EXPECT_EQ(drv->fetch_char_field(0, value, 64), 0);
      rows.push_back(value);
    }
    return rows;
  }
};

TEST_F(SqliteDriverTest, FreshInstanceAsksToBeConnectedAndCarriesTheDefaults) {
  auto fresh = sqlite_create_drv("a-name-longer-than-fifteen");
  EXPECT_TRUE(fresh->needs_connect());
  EXPECT_EQ(fresh->name, "a-name-longer-t");
  EXPECT_EQ(fresh->kind, dbkind::sqlite);
  EXPECT_EQ(fresh->port, 0);
  EXPECT_EQ(fresh->dateformat, "%Y-%m-%d");
  EXPECT_EQ(fresh->timeformat, "%H:%M:%S");
  EXPECT_FALSE(fresh->host || fresh->user || fresh->password || fresh->database);
  EXPECT_FALSE(drv->needs_connect());
}

TEST_F(SqliteDriverTest, IntegerFetchTakesItsBaseFromTheText) {
  struct {
    const char* sql_value;
    int expected;
  } cases[] = {{"'010'", 8},       {"'0x1A'", 26}, {"'42'", 42},       {"'-7'", -7},
               {"'no digits'", 0}, {"'12abc'", 12}, {"'08'", 0},       {"NULL", 0},
               {"'99999999999'", INT_MAX},          {"'-99999999999'", INT_MIN}};
  for (auto& c : cases) {
    first_row(std::string("select ") + c.sql_value);
    int value = -12345;
    EXPECT_EQ(drv->fetch_int_field(0, value), 0) << c.sql_value;
    EXPECT_EQ(value, c.expected) << c.sql_value;
  }
}

TEST_F(SqliteDriverTest, TextFetchKeepsOneCharacterLessThanTheBuffer) {
  first_row("select '123456789', NULL");
  struct {
    size_t len;
    const char* expected;
  } cases[] = {{8, "1234567"}, {1, ""}, {9, "12345678"}, {10, "123456789"}, {100, "123456789"}};
  for (auto& c : cases) {
    std::string value = "old";
    EXPECT_EQ(drv->fetch_char_field(0, value, c.len), 0);
    EXPECT_EQ(value, c.expected) << "len " << c.len;
  }
  std::string null_text = "old";
  EXPECT_EQ(drv->fetch_char_field(1, null_text, 16), 0);
  EXPECT_EQ(null_text, "");
}

TEST_F(SqliteDriverTest, FetchesWithoutRowOrOutsideTheRowStoreNothing) {
  ASSERT_EQ(drv->query("select 5, 6"), 0);
  int number = 99;
  std::string text = "untouched";
  EXPECT_EQ(drv->fetch_int_field(0, number), -1);
  EXPECT_EQ(drv->fetch_char_field(0, text, 16), -1);
  ASSERT_EQ(drv->fetch_row(), 0);
  EXPECT_EQ(drv->fetch_int_field(2, number), -2);
  EXPECT_EQ(drv->fetch_char_field(-1, text, 16), -2);
  EXPECT_EQ(number, 99);
  EXPECT_EQ(text, "untouched");
}

TEST_F(SqliteDriverTest, NextStatementDiscardsUnreadRowsAndEndStaysAtEnd) {
  ASSERT_EQ(drv->query("create table t (v text)"), 0);
  ASSERT_EQ(drv->query("insert into t values ('a'), ('b'), ('c')"), 0);
  EXPECT_EQ(drv->fetch_row(), -1) << "a statement without rows leaves no result";

  first_row("select v from t order by v");
  ASSERT_EQ(drv->query("select 'x' union all select 'y'"), 0);
  EXPECT_EQ(all_rows(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(drv->fetch_row(), -1) << "asking again after the end must not start over";

  first_row("select v from t order by v");
  drv->free_result();
  EXPECT_EQ(drv->fetch_row(), -1);
}

TEST_F(SqliteDriverTest, FailedStatementIsLoggedWithTheExtendedCode) {
  EXPECT_EQ(drv->query("select * from no_such_table"), -1);
  EXPECT_TRUE(log.contains("Sqlite query error: no such table: no_such_table, ext.errcode 1"))
      << log.text();
  ASSERT_EQ(drv->query("create table u (k integer primary key)"), 0);
  ASSERT_EQ(drv->query("insert into u values (1)"), 0);
  EXPECT_EQ(drv->query("insert into u values (1)"), -1);
  EXPECT_TRUE(log.contains("ext.errcode 1555")) << "SQLITE_CONSTRAINT_PRIMARYKEY\n" << log.text();
}

// Failures that pass are told from those that recur, so that a caller knows what to try again:
// a file another connection holds past the wait, and a file grown to its size limit.
TEST_F(SqliteDriverTest, BusyOrFullFileIsReportedAsUnavailable) {
  ASSERT_EQ(drv->query("create table u (v)"), 0);
  ASSERT_EQ(drv->query("PRAGMA busy_timeout = 20"), 0);
  {
    testutil::exclusive_lock other(*drv->database);
    EXPECT_EQ(drv->query("insert into u values (1)"), kDbUnavailable);
    EXPECT_TRUE(log.contains("database is locked")) << log.text();
  }
  ASSERT_EQ(drv->query("insert into u values (1)"), 0) << "the same statement runs once freed";

  int pages = 0;
  first_row("PRAGMA page_count");
  ASSERT_EQ(drv->fetch_int_field(0, pages), 0);
  ASSERT_EQ(drv->query("PRAGMA max_page_count = " + std::to_string(pages)), 0);
  EXPECT_EQ(drv->query("insert into u select zeroblob(100000)"), kDbUnavailable);
  EXPECT_TRUE(log.contains("database or disk is full")) << log.text();
}

TEST_F(SqliteDriverTest, TextWithASecondStatementIsRefusedWholeAndRunsNothing) {
  struct {
    const char* sql;
    int rc;
  } cases[] = {
      {"create table one (v)", 0},
      {"insert into one values ('a');", 0},
      {"insert into one values ('b'); -- done\n  /* and a note */ ;; ", 0},
      {" ; insert into one values ('c')", 0},
      {"", 0},
      {"-- only a comment", 0},
      {"insert into one values ('x'); insert into one values ('y')", -2},
      {"insert into one values ('x'); create table two (v)", -2},
      {"insert into one values ('x'); not sql at all", -2},
      {"insert into one values ('x');\ncreate table three (v); insert into three values (1)", -2},
  };
  for (auto& c : cases) EXPECT_EQ(drv->query(c.sql), c.rc) << c.sql;
  ASSERT_EQ(drv->query("select v from one order by v"), 0);
  EXPECT_EQ(all_rows(), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_EQ(drv->query("select count(*) from sqlite_master where name in ('two', 'three')"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"0"});
  EXPECT_TRUE(log.contains("Sqlite query error: more than one statement in: insert into one "
                           "values ('x'); insert into one values ('y')"))
      << log.text();
}

TEST_F(SqliteDriverTest, TransactionsAndPragmasRunAsSingleStatements) {
  ASSERT_EQ(drv->query("create table t (v)"), 0);
  ASSERT_EQ(drv->query("BEGIN"), 0);
  ASSERT_EQ(drv->query("insert into t values ('dropped')"), 0);
  ASSERT_EQ(drv->query("ROLLBACK"), 0);
  ASSERT_EQ(drv->query("BEGIN IMMEDIATE"), 0);
  ASSERT_EQ(drv->query("insert into t values ('kept')"), 0);
  ASSERT_EQ(drv->query("COMMIT"), 0);
  ASSERT_EQ(drv->query("select v from t"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"kept"});
  ASSERT_EQ(drv->query("PRAGMA user_version = 7"), 0);
  ASSERT_EQ(drv->query("PRAGMA user_version"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"7"});
}

// The two ways a PMS value was turned into SQL of the sender's choosing on SQLite: a room
// number in an unquoted placeholder that stacks a second statement, and a quote in a name.
TEST_F(SqliteDriverTest, TemplateValuesCannotAddStatementsOrLeaveTheirLiteral) {
  ASSERT_EQ(drv->query("create table ext (exten integer, name text, dnd integer)"), 0);
  ASSERT_EQ(drv->query("insert into ext values (101, 'a', 0), (102, 'b', 0)"), 0);
  // The file's name as char(...) codes: escaping leaves no quote for the attacker to use.
  const std::string evil = dir.file("evil.db");
  std::string codes;
  for (unsigned char c : evil) codes += (codes.empty() ? "" : ",") + std::to_string(c);
  const std::string room =
      "101; ATTACH DATABASE char(" + codes + ") AS x; CREATE TABLE x.t(a); --";
  std::string statement =
      prepare_query(*drv, "update ext set dnd=1 where exten=%exten%", {.exten = room});
  EXPECT_EQ(drv->query(statement), -2);
  struct stat st;
  EXPECT_NE(stat(evil.c_str(), &st), 0) << "the attached file must not have been created";

  const std::string name = "O'Brien', dnd='1";
  statement = prepare_query(*drv, "update ext set name='%name%' where exten=%exten%",
                            {.exten = "102", .name = name});
  ASSERT_EQ(drv->query(statement), 0) << log.text();
  ASSERT_EQ(drv->query("select name || '/' || dnd from ext order by exten"), 0);
  EXPECT_EQ(all_rows(), (std::vector<std::string>{"a/0", name + "/0"}));

  // SQLite reads "%name%" as a literal while no column has the name: a double quote in the
  // name ended it, and a name that is a column's read that column.
  for (const std::string& quoted_name : {std::string("x\", dnd=\"1"), std::string("dnd")}) {
    statement = prepare_query(*drv, "update ext set name=\"%name%\" where exten=%exten%",
                              {.exten = "101", .name = quoted_name});
    ASSERT_EQ(drv->query(statement), 0) << statement << "\n" << log.text();
    ASSERT_EQ(drv->query("select name || '/' || dnd from ext where exten=101"), 0);
    EXPECT_EQ(all_rows(), std::vector<std::string>{quoted_name + "/0"}) << statement;
  }
}

TEST_F(SqliteDriverTest, CheckCompilesWithoutRunningAndTellsTheColumns) {
  ASSERT_EQ(drv->query("create table t (a, b, c)"), 0);
  ASSERT_EQ(drv->query("insert into t values (1, 2, 3)"), 0);
  struct {
    const char* sql;
    int rc;
    int columns;
    const char* error;
  } cases[] = {
      {"select a, b from t where a = '1'", 0, 2, ""},
      {"delete from t", 0, 0, ""},
      {"insert into t values (4, 5, 6)", 0, 0, ""},
      {"select * from nowhere", -1, -1, "no such table: nowhere"},
      {"select nocolumn from t", -1, -1, "no such column: nocolumn"},
      {"selec 1", -1, -1, "near \"selec\": syntax error"},
      {"select 1; delete from t", -1, -1, "more than one statement"},
  };
  for (auto& c : cases) {
    int columns = -1;
    std::string error;
    EXPECT_EQ(drv->check(c.sql, columns, error), c.rc) << c.sql;
    EXPECT_EQ(columns, c.columns) << c.sql;
    EXPECT_EQ(error, c.error) << c.sql;
  }
  ASSERT_EQ(drv->query("select count(*) from t"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"1"}) << "check ran a statement";
  EXPECT_FALSE(log.contains("ERROR")) << "check leaves the report to its caller\n" << log.text();
}

TEST_F(SqliteDriverTest, InterruptFromAnotherThreadEndsARunningStatement) {
  drv->interrupt();  // nothing runs: no effect on the next statement
  ASSERT_EQ(drv->query("select 1"), 0);
  std::atomic<int> rc = 1;
  std::thread runner([&] {
    // About 20 s of work unless interrupted.
    rc = drv->query("with recursive n(i) as (select 1 union all select i + 1 from n "
                    "where i < 100000000) select count(*) from n");
  });
  // Interrupting before the statement has started does nothing, so it is repeated until it ends.
  bool ended = testutil::wait_until(
      [&] {
        drv->interrupt();
        return rc != 1;
      },
      std::chrono::seconds(10));
  runner.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(rc, kDbUnavailable) << "a stop's interrupt: the statement may run later";
  EXPECT_TRUE(log.contains("Sqlite query error: interrupted, ext.errcode 9")) << log.text();
  EXPECT_EQ(drv->fetch_row(), -1) << "an interrupted statement leaves no rows";
  ASSERT_EQ(drv->query("select 2"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"2"});
}

TEST_F(SqliteDriverTest, ConnectOnAnOpenHandleKeepsItsFile) {
  ASSERT_EQ(drv->query("create table marker (v)"), 0);
  std::string other = dir.file("other.db");
  EXPECT_EQ(drv->connect(nullptr, 0, nullptr, nullptr, other.c_str()), 0);
  EXPECT_EQ(drv->query("select count(*) from marker"), 0);
  struct stat st;
  EXPECT_NE(stat(other.c_str(), &st), 0) << "the other file must not have been opened";
}

TEST_F(SqliteDriverTest, CloseAndReopenFindsTheData) {
  ASSERT_EQ(drv->query("create table kept (v)"), 0);
  ASSERT_EQ(drv->query("insert into kept values ('still here')"), 0);
  drv->close();
  EXPECT_TRUE(drv->needs_connect());
  EXPECT_EQ(drv->query("select v from kept"), kDbUnavailable) << "a closed handle runs nothing";
  ASSERT_EQ(drv->reconnect_if_needed(), 0);
  EXPECT_FALSE(drv->needs_connect());
  ASSERT_EQ(drv->query("select v from kept"), 0);
  EXPECT_EQ(all_rows(), std::vector<std::string>{"still here"});
}

TEST_F(SqliteDriverTest, FileThatCannotBeOpenedIsLoggedAndLeavesTheHandleClosed) {
  auto broken = sqlite_create_drv("broken");
  std::string path = dir.file("no/such/folder/x.db");
  EXPECT_EQ(broken->connect(nullptr, 0, nullptr, nullptr, path.c_str()), -2);
  EXPECT_TRUE(log.contains("Error connecting to " + path + " sqlite db")) << log.text();
  EXPECT_TRUE(broken->needs_connect());
  EXPECT_EQ(broken->connect(nullptr, 0, nullptr, nullptr, nullptr), -2)
      << "without a file the driver must not fall back to a temporary database";
  EXPECT_TRUE(broken->needs_connect());
}

TEST_F(SqliteDriverTest, ThreadsTakingTurnsUnderTheLockLoseNoStatement) {
  ASSERT_EQ(drv->query("create table calls (n integer)"), 0);
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        std::lock_guard guard(*drv);
        drv->reconnect_if_needed();
        drv->query("insert into calls values (1)");
        drv->query("select count(*) from calls");
        int n = 0;
        drv->fetch_row();
        drv->fetch_int_field(0, n);
      }
    });
  for (auto& t : threads) t.join();
  first_row("select count(*) from calls");
  int count = 0;
  EXPECT_EQ(drv->fetch_int_field(0, count), 0);
  EXPECT_EQ(count, kThreads * kEach);
}

}  // namespace
