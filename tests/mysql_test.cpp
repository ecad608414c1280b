// The MySQL driver against a real MariaDB server started by the test.
#include <gtest/gtest.h>

#include <iniparser.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "config.h"
#include "log_capture.h"
#include "mariadb_server.h"
#include "mysql.h"
#include "query.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The test server paused with SIGSTOP for as long as the object lives: it then accepts
// connections (the kernel does) but answers nothing, as a paused VM or a partitioned host.
class paused_server {
 public:
  explicit paused_server(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~paused_server() { kill(pid_, SIGCONT); }
  paused_server(const paused_server&) = delete;
  paused_server& operator=(const paused_server&) = delete;

 private:
  pid_t pid_;
};

// The scheduler state of one of this process's threads ('R' running, 'S' waiting, ...).
char thread_state(pid_t tid) {
  std::string stat = testutil::read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
  size_t end_of_name = stat.rfind(')');
  return end_of_name == std::string::npos || end_of_name + 2 >= stat.size()
             ? '?'
             : stat[end_of_name + 2];
}

double seconds_since(steady::time_point start) {
  return std::chrono::duration<double>(steady::now() - start).count();
}

class MysqlDriverTest : public ::testing::Test {
 protected:
  testutil::log_capture log;
  testutil::mariadb_server* server = nullptr;
  std::unique_ptr<dbdriver_t> drv = mysql_create_drv("pbx");

  void SetUp() override {
    // Throws with the reason when the server cannot start, which fails the test.
    server = &testutil::mariadb_server::shared();
    server->create_database("pbx");
    server->execute(
        "create table rooms (room varchar(8), ext int, rate decimal(6,2), seen date, "
        "built year, note varchar(20));"
        "insert into rooms values ('101', 4101, 1.25, '2026-01-02', 1999, NULL),"
        "('102', NULL, NULL, NULL, NULL, 'sea view'), ('103', 4103, 2.50, NULL, NULL, NULL)",
        "pbx");
    configure(*drv);
    ASSERT_EQ(drv->connect_with_settings(), 0) << log.text();
  }

  void configure(dbdriver_t& d) {
    d.host = server->host();
    d.port = server->port();
    d.user = server->user();
    d.password = server->password();
    d.database = "pbx";
  }

  void first_row(const std::string& statement) {
    ASSERT_EQ(drv->query(statement), 0) << log.text();
    ASSERT_EQ(drv->fetch_row(), 0) << log.text();
  }

  std::vector<std::string> remaining_rows() {
    std::vector<std::string> rows;
    std::string value;
    while (drv->fetch_row() == 0) {
      EXPECT_EQ(drv->fetch_char_field(0, value, 64), 0);
      rows.push_back(value);
    }
    return rows;
  }

  // Each row of a reading statement on `d`, its columns joined with "|".
  std::vector<std::string> rows_of(dbdriver_t& d, const std::string& statement) {
    EXPECT_EQ(d.query(statement), 0) << log.text();
    std::vector<std::string> rows;
    while (d.fetch_row() == 0) {
      std::string row, value;
      for (int i = 0; d.fetch_char_field(i, value, 256) == 0; ++i) row += (i ? "|" : "") + value;
      rows.push_back(row);
    }
    return rows;
  }

  int connection_id() {
    int id = -1;
    EXPECT_EQ(drv->query("select connection_id()"), 0);
    EXPECT_EQ(drv->fetch_row(), 0);
    EXPECT_EQ(drv->fetch_int_field(0, id), 0);
    return id;
  }
};

TEST_F(MysqlDriverTest, RowsArriveInOrder) {
  ASSERT_EQ(drv->query("select room from rooms order by room"), 0);
  ASSERT_EQ(drv->fetch_row(), 0);
  EXPECT_EQ(remaining_rows(), (std::vector<std::string>{"102", "103"}));
  EXPECT_EQ(drv->fetch_row(), -2);
}

TEST_F(MysqlDriverTest, StatementWithoutRowsHasNoResultToFetch) {
  ASSERT_EQ(drv->query("update rooms set note = 'x' where room = '999'"), 0);
  EXPECT_EQ(drv->fetch_row(), -1);
}

TEST_F(MysqlDriverTest, HalfReadResultIsReplacedByTheNextStatement) {
  first_row("select room from rooms order by room");
  ASSERT_EQ(drv->query("select 'x' union all select 'y'"), 0) << log.text();
  EXPECT_EQ(remaining_rows(), (std::vector<std::string>{"x", "y"}));
}

TEST_F(MysqlDriverTest, UnreadResultDoesNotBreakTheNextStatement) {
  ASSERT_EQ(drv->query("select room from rooms"), 0);
  EXPECT_EQ(drv->query("insert into rooms (room) values ('104')"), 0) << log.text();
  first_row("select count(*) from rooms");
  int count = 0;
  EXPECT_EQ(drv->fetch_int_field(0, count), 0);
  EXPECT_EQ(count, 4);
}

TEST_F(MysqlDriverTest, LeftoverRowsDoNotMakeTheConnectionLookLost) {
  int id = connection_id();
  first_row("select room from rooms");
  EXPECT_FALSE(drv->needs_connect());
  EXPECT_EQ(connection_id(), id) << "the driver must not have connected anew";
}

TEST_F(MysqlDriverTest, StoredProcedureCallLeavesTheConnectionUsable) {
  server->execute("create procedure free_rooms() select room from rooms order by room", "pbx");
  first_row("call free_rooms()");
  ASSERT_EQ(drv->query("select 'after'"), 0) << log.text();
  EXPECT_EQ(remaining_rows(), std::vector<std::string>{"after"});
}

TEST_F(MysqlDriverTest, NumberFetchesAcceptOnlyNumericColumns) {
  first_row("select ext, rate, seen, built, note, room, null, 0x41 from rooms where room = '101'");
  struct {
    int column;
    int int_rc;
    int int_value;
  } cases[] = {
      {0, 0, 4101},  // int
      {1, 0, 1},     // decimal
      {2, -3, -9},   // date
      {3, 0, 1999},  // year
      {4, -3, -9},   // varchar, NULL here
      {5, -3, -9},   // varchar
      {6, 0, 0},     // a NULL literal has the NULL type
      {7, -3, -9},   // binary string
  };
  for (auto& c : cases) {
    int i = -9;
    EXPECT_EQ(drv->fetch_int_field(c.column, i), c.int_rc) << "column " << c.column;
    EXPECT_EQ(i, c.int_value) << "column " << c.column;
  }
}

TEST_F(MysqlDriverTest, NullReadsAsEmptyTextOrZero) {
  first_row("select ext, rate, seen, note from rooms where room = '102'");
  int ext = -1;
  std::string seen = "old";
  EXPECT_EQ(drv->fetch_int_field(0, ext), 0);
  EXPECT_EQ(ext, 0);
  EXPECT_EQ(drv->fetch_char_field(2, seen, 32), 0);
  EXPECT_EQ(seen, "");
}

TEST_F(MysqlDriverTest, TextFetchReadsEveryColumnTypeCutToTheBuffer) {
  first_row("select seen, ext, note, 'sea view!' from rooms where room = '101'");
  std::string value;
  EXPECT_EQ(drv->fetch_char_field(0, value, 32), 0);
  EXPECT_EQ(value, "2026-01-02");
  EXPECT_EQ(drv->fetch_char_field(1, value, 32), 0);
  EXPECT_EQ(value, "4101");
  struct {
    size_t len;
    const char* expected;
  } cases[] = {{1, ""}, {8, "sea vie"}, {10, "sea view!"}, {64, "sea view!"}};
  for (auto& c : cases) {
    EXPECT_EQ(drv->fetch_char_field(3, value, c.len), 0);
    EXPECT_EQ(value, c.expected) << "len " << c.len;
  }
}

TEST_F(MysqlDriverTest, FetchesWithoutRowOrOutsideTheRowStoreNothing) {
  int number = 7;
  std::string text = "untouched";
  ASSERT_EQ(drv->query("select ext from rooms"), 0);
  EXPECT_EQ(drv->fetch_int_field(0, number), -1);
  ASSERT_EQ(drv->fetch_row(), 0);
  EXPECT_EQ(drv->fetch_int_field(1, number), -2);
  EXPECT_EQ(drv->fetch_char_field(-1, text, 16), -2);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(text, "untouched");
  while (drv->fetch_row() == 0) {
  }
  EXPECT_EQ(drv->fetch_int_field(0, number), -1) << "no current row after the end";
}

TEST_F(MysqlDriverTest, FailedStatementIsLoggedWithTheServersText) {
  EXPECT_EQ(drv->query("select * from no_such_table"), -1);
  EXPECT_TRUE(log.contains("Query error: Table 'pbx.no_such_table' doesn't exist")) << log.text();
  EXPECT_TRUE(log.contains("in my_query")) << log.text();
}

TEST_F(MysqlDriverTest, RefusedLoginIsLoggedAndAsksForAnotherConnect) {
  auto other = mysql_create_drv("wrongpw");
  configure(*other);
  other->password = "not-the-password";
  EXPECT_EQ(other->connect_with_settings(), -2);
  EXPECT_TRUE(log.contains("Failed to connect to database: Error: Access denied for user"))
      << log.text();
  EXPECT_TRUE(other->needs_connect());
  EXPECT_EQ(other->query("select 1"), kDbUnavailable)
      << "statements on a failed connection fail cleanly, as worth trying again";
}

TEST_F(MysqlDriverTest, CloseAndConnectAgain) {
  drv->close();
  EXPECT_TRUE(drv->needs_connect());
  ASSERT_EQ(drv->reconnect_if_needed(), 0);
  first_row("select count(*) from rooms");
}

TEST_F(MysqlDriverTest, ConfigurationSectionMakesAConnectedDriver) {
  testutil::temp_dir dir;
  std::string conf = dir.file("velmorant.conf");
  testutil::write_file(conf, "[PbxMy]\ndbdriver = MySQL\nhost = " + server->host() +
                                 "\nport = " + std::to_string(server->port()) + "\nuser = " +
                                 server->user() + "\npassword = " + server->password() +
                                 "\ndatabase = pbx\n");
  std::unique_ptr<dictionary, void (*)(dictionary*)> ini(iniparser_load(conf.c_str()),
                                                         iniparser_freedict);
  ASSERT_TRUE(ini);
  driver_map drivers;
  ASSERT_EQ(load_dbdrivers(ini.get(), nullptr, drivers), 0);
  ASSERT_TRUE(drivers.count("pbxmy"));
  dbdriver_t* found = drivers.at("pbxmy").get();
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->kind, dbkind::mysql);
  std::lock_guard guard(*found);
  EXPECT_FALSE(found->needs_connect()) << log.text();
  EXPECT_EQ(found->query("select 1"), 0);
}

TEST_F(MysqlDriverTest, TextWithASecondStatementFailsAndRunsNothing) {
  EXPECT_EQ(drv->query("update rooms set note = 'first' where room = '101'; "
                       "update rooms set note = 'second'"),
            -1);
  EXPECT_TRUE(log.contains("Query error: You have an error in your SQL syntax")) << log.text();
  EXPECT_EQ(rows_of(*drv, "select count(*) from rooms where note in ('first', 'second')"),
            std::vector<std::string>{"0"});
}

// A gbk connection reads 0xBF 0x5C as one character: escaping byte by byte put a backslash
// before the quote that this character swallowed, and the rest of the name became SQL. A server
// in NO_BACKSLASH_ESCAPES mode stored a doubled backslash.
TEST_F(MysqlDriverTest, ValuesStayDataWhateverTheConnectionsCharacterSetAndMode) {
  server->execute(
      "create table guests (room varchar(8), name varchar(64) character set gbk, x int);"
      "insert into guests values ('101', 'a', 0), ('102', 'b', 0)",
      "pbx");
  auto gbk = mysql_create_drv("gbk");
  configure(*gbk);
  gbk->charset = "gbk";
  ASSERT_EQ(gbk->connect_with_settings(), 0) << log.text();
  const std::string name = "\xBF\x5C\x27, x=1 -- ";
  const char* set_name = "update guests set name='%name%' where room='101'";
  EXPECT_EQ(gbk->query(prepare_query(*gbk, set_name, {.name = name})), 0)
      << log.text();
  EXPECT_EQ(rows_of(*gbk, "select name, x from guests order by room"),
            (std::vector<std::string>{name + "|0", "b|0"}));

  ASSERT_EQ(drv->query("set session sql_mode = 'NO_BACKSLASH_ESCAPES'"), 0) << log.text();
  const char* set_note = "update rooms set note='%name%' where room='102'";
  EXPECT_EQ(drv->query(prepare_query(*drv, set_note, {.name = "Back\\slash it's"})), 0)
      << log.text();
  EXPECT_EQ(rows_of(*drv, "select note from rooms where room = '102'"),
            std::vector<std::string>{"Back\\slash it's"});

  // Without ANSI_QUOTES a double-quoted text is a string literal too.
  for (const char* mode : {"NO_BACKSLASH_ESCAPES", ""}) {
    ASSERT_EQ(drv->query(std::string("set session sql_mode = '") + mode + "'"), 0) << log.text();
    const std::string quoted = "x\\\", ext=\"1";
    EXPECT_EQ(drv->query(prepare_query(*drv, "update rooms set note=\"%name%\" where room='102'",
                                       {.name = quoted})),
              0)
        << log.text();
    EXPECT_EQ(rows_of(*drv, "select note, ext from rooms where room = '102'"),
              std::vector<std::string>{quoted + "|"})
        << mode;
  }
}

TEST_F(MysqlDriverTest, CheckPreparesOnTheServerWithoutRunning) {
  first_row("select room from rooms");  // an unread result must not stand in the way
  struct {
    const char* sql;
    int rc;
    int columns;
    const char* error;
  } cases[] = {
      {"select room, ext, rate from rooms where room = '101'", 0, 3, ""},
      {"delete from rooms", 0, 0, ""},
      {"select * from nowhere", -1, -1, "Table 'pbx.nowhere' doesn't exist"},
      {"select nocolumn from rooms", -1, -1, "Unknown column 'nocolumn' in '"},
      {"select 1; delete from rooms", -1, -1, "You have an error in your SQL syntax"},
  };
  for (auto& c : cases) {
    int columns = -1;
    std::string error;
    EXPECT_EQ(drv->check(c.sql, columns, error), c.rc) << c.sql;
    EXPECT_EQ(columns, c.columns) << c.sql;
    EXPECT_EQ(error.substr(0, std::string_view(c.error).size()), c.error) << c.sql;
  }
  EXPECT_EQ(rows_of(*drv, "select count(*) from rooms"), std::vector<std::string>{"3"});
  EXPECT_FALSE(log.contains("ERROR")) << "check leaves the report to its caller\n" << log.text();

  auto unconnected = mysql_create_drv("none");
  int columns = -1;
  std::string error;
  EXPECT_EQ(unconnected->check("select 1", columns, error), -1);
  EXPECT_EQ(error, "not connected to the server");
}

// The server stops answering (SIGSTOP): a statement ends when another thread interrupts it, or
// at the read time-out; a connect ends at the connect time-out; once the server answers again
// the driver connects anew.
TEST_F(MysqlDriverTest, ServerThatStopsAnsweringHoldsNoCallForEver) {
  auto timed = mysql_create_drv("timed");
  configure(*timed);
  timed->read_timeout = 2;
  timed->connect_timeout = 2;
  ASSERT_EQ(timed->connect_with_settings(), 0) << log.text();
  ASSERT_EQ(drv->read_timeout, 30);
  {
    paused_server pause(server->pid());
    std::atomic<pid_t> tid = 0;
    std::atomic<int> rc = 1;
    std::optional<std::jthread> runner(std::in_place, [&] {
      tid = gettid();
      rc = drv->query("select count(*) from rooms");
    });
    // The statement is sent and its thread waits for the answer.
    ASSERT_TRUE(testutil::wait_until([&] { return tid != 0 && thread_state(tid) == 'S'; }, 5s));
    const auto interrupted = steady::now();
    drv->interrupt();
    runner.reset();
    const double after_interrupt = seconds_since(interrupted);
    EXPECT_EQ(rc, kDbUnavailable) << "the connection is gone; the statement may run later";
    EXPECT_LT(after_interrupt, 1.0);
    std::printf("statement ended %.3f s after interrupt()\n", after_interrupt);

    auto start = steady::now();
    EXPECT_EQ(timed->query("select 1"), kDbUnavailable);
    const double read_wait = seconds_since(start);
    EXPECT_GE(read_wait, 1.5);
    EXPECT_LT(read_wait, 4.5);
    std::printf("read_timeout 2 s: statement failed after %.3f s\n", read_wait);

    start = steady::now();
    EXPECT_NE(timed->reconnect_if_needed(), 0);
    const double connect_wait = seconds_since(start);
    EXPECT_LT(connect_wait, 4.5);
    std::printf("connect_timeout 2 s: connect failed after %.3f s\n", connect_wait);
  }
  ASSERT_EQ(drv->reconnect_if_needed(), 0) << log.text();
  EXPECT_EQ(rows_of(*drv, "select count(*) from rooms"), std::vector<std::string>{"3"});
  ASSERT_EQ(timed->reconnect_if_needed(), 0) << log.text();
  EXPECT_EQ(rows_of(*timed, "select 'back'"), std::vector<std::string>{"back"});
}

// Runs last in this file's order: it stops the shared server for a moment.
TEST_F(MysqlDriverTest, ServerRestartIsNoticedAndTheNextConnectWorks) {
  int before = connection_id();
  server->restart();
  EXPECT_EQ(drv->query("select count(*) from rooms"), kDbUnavailable)
      << "a lost connection is worth trying again\n" << log.text();
  EXPECT_TRUE(drv->needs_connect()) << "the old connection is gone";
  ASSERT_EQ(drv->reconnect_if_needed(), 0) << log.text();
  EXPECT_NE(connection_id(), before);
  first_row("select count(*) from rooms");
}

}  // namespace
