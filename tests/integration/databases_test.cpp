// The real binary with its databases: an SQLite file, a MariaDB server, one server that is down,
// and the internal store.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "mariadb_server.h"
#include "daemon_fixture.h"
#include "pms_peer.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;
using testutil::wait_until;

namespace {

class DaemonDatabases : public testutil::DaemonTest {
 protected:
  testutil::mariadb_server* server = nullptr;

  void SetUp() override {
    // Throws with the reason when the server cannot start, which fails the test.
    server = &testutil::mariadb_server::shared();
    server->create_database("hotelpbx");
    server->execute("create table guests (room varchar(8), name varchar(40))", "hotelpbx");
    testutil::sqlite_exec(pbx, "create table checkouts (room varchar(8))");
  }
};

TEST_F(DaemonDatabases, StartsWithSqliteAndMysqlConnectedAndASectionWhoseServerIsDown) {
  pms_peer pms;
  testutil::write_file(
      conf, pms_section(pms.port()) +
                "[pbxlite]\ndbdriver = sqlite\ndatabase = " + pbx +
                "\n[PbxMy]\ndbdriver = MySQL\nhost = " + server->host() +
                "\nport = " + std::to_string(server->port()) + "\nuser = " + server->user() +
                "\npassword = " + server->password() + "\ndatabase = hotelpbx\n"
                "[pbxdown]\ndbdriver = mysql\nhost = 127.0.0.1\nport = " +
                std::to_string(testutil::unused_port()) + "\nuser = nobody\n"
                "[services]\ncheckin = pbxmy:insert into guests values ('%exten%', '%name%')\n"
                "checkout = pbxlite:insert into checkouts values ('%exten%')\n"
                "[rooms]\nroom1 = 101\nroom2 = 102\n");
  start_foreground();
  ASSERT_TRUE(pms.accept(10s)) << diagnostics();

  // The databases are connected once the daemon has started, so their errors are in the log.
  EXPECT_TRUE(logged("Can not connect to DB pbxdown of mysql. Please check settings\n", 10s))
      << diagnostics();
  EXPECT_FALSE(has_logged("Can not connect to DB pbxlite")) << diagnostics();
  EXPECT_FALSE(has_logged("Can not connect to DB pbxmy")) << diagnostics();
  EXPECT_EQ(testutil::sqlite_rows(states, "select room from rooms order by room"),
            (testutil::rows_t{{"101"}, {"102"}}));

  // Both connections do their work: a check-in on MariaDB, a check-out on the SQLite file.
  ASSERT_TRUE(pms.send_record("GI|RN103|GNO'Brien|GLEA|GSN|"));
  EXPECT_TRUE(wait_until([&] {
    return server->query("select room, name from guests", "hotelpbx") ==
           testutil::rows_t{{"103", "O'Brien"}};
  }, 10s)) << diagnostics();
  ASSERT_TRUE(pms.send_record("GO|RN101|"));
  EXPECT_TRUE(wait_until([&] {
    return testutil::sqlite_rows(pbx, "select room from checkouts") ==
           testutil::rows_t{{"101"}};
  }, 10s)) << diagnostics();
  EXPECT_TRUE(wait_until([&] {
    return testutil::sqlite_rows(states, "select room from rooms order by room") ==
           testutil::rows_t{{"102"}, {"103"}};
  }, 10s)) << diagnostics();
}

TEST_F(DaemonDatabases, StatesFileThatCannotBeOpenedEndsStartUpWithStatusOne) {
  std::string bad = dir.file("no/such/folder/states.db");
  testutil::write_file(conf, pms_section(testutil::unused_port(), bad));
  start_foreground();
  EXPECT_EQ(wait_exit(10s), 1);
  EXPECT_TRUE(has_logged("Unable to open states file " + bad)) << diagnostics();
}

}  // namespace
