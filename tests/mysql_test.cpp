// The MySQL driver against a real MariaDB server started by the test.
#include <gtest/gtest.h>

#include <iniparser.h>

#include "log_capture.h"
#include "mariadb_server.h"
#include "mysql.h"
#include "testutil.h"

namespace {

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

  int connection_id() {
    int id = -1;
    EXPECT_EQ(drv->query("select connection_id()"), 0);
    EXPECT_EQ(drv->fetch_row(), 0);
    EXPECT_EQ(drv->fetch_int_field(0, id), 0);
    return id;
  }
};

TEST_F(MysqlDriverTest, RowsArriveInOrderAndAreCountedAsTheyAreRead) {
  ASSERT_EQ(drv->query("select room from rooms order by room"), 0);
  EXPECT_EQ(drv->numrets(), 0) << "nothing is read before the first fetch";
  ASSERT_EQ(drv->fetch_row(), 0);
  EXPECT_EQ(drv->numrets(), 1);
  EXPECT_EQ(remaining_rows(), (std::vector<std::string>{"102", "103"}));
  EXPECT_EQ(drv->numrets(), 3);
  EXPECT_EQ(drv->fetch_row(), -2);
}

TEST_F(MysqlDriverTest, StatementWithoutRowsHasNoResultToFetch) {
  ASSERT_EQ(drv->query("update rooms set note = 'x' where room = '999'"), 0);
  EXPECT_EQ(drv->fetch_row(), -1);
  EXPECT_EQ(drv->numrets(), 0);
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
  EXPECT_EQ(drv->is_connected(), 0);
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
    int float_rc;
    float float_value;
  } cases[] = {
      {0, 0, 4101, 0, 4101.0f},  // int
      {1, 0, 1, 0, 1.25f},       // decimal
      {2, -3, -9, -3, -9.0f},    // date
      {3, 0, 1999, 0, 1999.0f},  // year
      {4, -3, -9, -3, -9.0f},    // varchar, NULL here
      {5, -3, -9, -3, -9.0f},    // varchar
      {6, 0, 0, 0, 0.0f},        // a NULL literal has the NULL type
      {7, -3, -9, -3, -9.0f},    // binary string
  };
  for (auto& c : cases) {
    int i = -9;
    float f = -9.0f;
    EXPECT_EQ(drv->fetch_int_field(c.column, i), c.int_rc) << "column " << c.column;
    EXPECT_EQ(i, c.int_value) << "column " << c.column;
    EXPECT_EQ(drv->fetch_float_field(c.column, f), c.float_rc) << "column " << c.column;
    EXPECT_FLOAT_EQ(f, c.float_value) << "column " << c.column;
  }
}

TEST_F(MysqlDriverTest, NullReadsAsEmptyTextOrZero) {
  first_row("select ext, rate, seen, note from rooms where room = '102'");
  int ext = -1;
  float rate = -1;
  std::string seen = "old";
  EXPECT_EQ(drv->fetch_int_field(0, ext), 0);
  EXPECT_EQ(ext, 0);
  EXPECT_EQ(drv->fetch_float_field(1, rate), 0);
  EXPECT_EQ(rate, 0.0f);
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
  EXPECT_EQ(other->is_connected(), 1);
  EXPECT_EQ(other->query("select 1"), -1) << "statements on a failed connection fail cleanly";
}

TEST_F(MysqlDriverTest, CloseAndConnectAgain) {
  drv->close();
  EXPECT_EQ(drv->is_connected(), 1);
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
  driver_map drivers = load_dbdrivers(ini.get(), nullptr);
  ASSERT_TRUE(drivers.count("pbxmy"));
  dbdriver_t* found = drivers.at("pbxmy").get();
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->kind, dbkind::mysql);
  std::lock_guard guard(*found);
  EXPECT_EQ(found->is_connected(), 0) << log.text();
  EXPECT_EQ(found->query("select 1"), 0);
}

// Runs last in this file's order: it stops the shared server for a moment.
TEST_F(MysqlDriverTest, ServerRestartIsNoticedAndTheNextConnectWorks) {
  int before = connection_id();
  server->restart();
  EXPECT_EQ(drv->is_connected(), 1) << "the old connection is gone";
  ASSERT_EQ(drv->reconnect_if_needed(), 0) << log.text();
  EXPECT_NE(connection_id(), before);
  first_row("select count(*) from rooms");
}

}  // namespace
