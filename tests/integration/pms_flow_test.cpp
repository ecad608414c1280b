// The real binary between a PMS and PBX databases: link start-up, requests, postings, stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "mariadb_server.h"
#include "paths.h"
#include "pms_peer.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::read_file;
using testutil::rows_t;
using testutil::sqlite_exec;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

constexpr const char* kPbxSchema =
    "create table users (ext varchar(8) primary key, name varchar(40), lang varchar(4), "
    "dnd int default 0, barred int default 0, wakeup varchar(20));"
    "insert into users (ext) values ('101');"
    "create table cdr (calldate varchar(20), src varchar(8), dst varchar(20), billsec int, "
    "userfield varchar(255) default '');";

// Services of a typical installation, on the driver named `drv`.
std::string services(const std::string& drv) {
  return "checkin = " + drv + ":update users set name='%name%', lang='%lang%' where ext='%exten%'\n"
         "checkout = " + drv + ":update users set name=NULL, dnd=0, barred=0 where ext='%exten%'\n"
         "dndon = " + drv + ":update users set dnd=1 where ext='%exten%'\n"
         "dndoff = " + drv + ":update users set dnd=0 where ext='%exten%'\n"
         "bareon = " + drv + ":update users set barred=1 where ext='%exten%'\n"
         "bareoff = " + drv + ":update users set barred=0 where ext='%exten%'\n"
         "wakeup_set = " + drv + ":update users set wakeup='%date% %time%' where ext='%exten%'\n"
         "wakeup_clear = " + drv + ":update users set wakeup=NULL where ext='%exten%'\n"
         "billcalls = " + drv + ":select substr(calldate,1,10), substr(calldate,12,8), dst, billsec, -1 "
         "from cdr where src='%exten%' and userfield=''\n"
         "billmark = " + drv + ":update cdr set userfield='%seqno%' where src='%exten%' and "
         "calldate='%date% %time%'\n";
}

class PmsFlow : public ::testing::Test {
 protected:
  void SetUp() override { sqlite_exec(pbx, kPbxSchema); }

  void write_conf(const std::string& database_sections, const std::string& service_lines) {
    testutil::write_file(conf, "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(pms_port) +
                                   "\ninterface = PBX\nstatesfile = " + dir.file("states.db") +
                                   "\n[logger]\nlog_file = " + log + "\n" + database_sections +
                                   "[services]\n" + service_lines + "[rooms]\nroom1 = 101\n");
  }
  std::string sqlite_section() const { return "[pbx]\ndbdriver = sqlite\ndatabase = " + pbx + "\n"; }

  void start_daemon() {
    daemon = std::make_unique<testutil::child_process>(
        std::vector<std::string>{testpaths::velmorant_binary(), "-f", "-c", conf}, dir.file("out"),
        dir.file("err"));
  }
  // Takes the daemon's connection and brings the link up as a PMS does.
  void link_up(pms_peer& pms) {
    ASSERT_TRUE(pms.bring_link_up(10s)) << diagnostics();
    ASSERT_TRUE(wait_until([&] { return has_logged("Received Link active packet from PMS"); }, 5s));
  }
  bool has_logged(const std::string& text) const { return read_file(log).find(text) != std::string::npos; }
  std::string diagnostics() const { return read_file(log) + read_file(dir.file("err")); }
  rows_t user101() { return sqlite_rows(pbx, "select name, lang, dnd, barred, wakeup from users where ext='101'"); }

  testutil::temp_dir dir;
  std::string conf = dir.file("v.conf"), log = dir.file("v.log"), pbx = dir.file("pbx.db");
  int pms_port = 0;
  std::unique_ptr<testutil::child_process> daemon;
};

TEST_F(PmsFlow, LinkComesUpAndSurvivesClosedConnectionsGarbageAndEmptyRecords) {
  pms_peer pms;
  pms_port = pms.port();
  write_conf("", "");
  start_daemon();
  link_up(pms);
  std::vector<std::string> startup = pms.received();
  ASSERT_EQ(startup.size(), 12u) << diagnostics();
  EXPECT_EQ(startup[1].substr(0, 3), "LD|");
  EXPECT_EQ(startup[1].substr(startup[1].size() - 12), "V#1.01|IFPB|") << startup[1];
  for (size_t i = 2; i < 11; ++i) EXPECT_EQ(startup[i].substr(0, 5), "LR|RI") << startup[i];
  EXPECT_EQ(startup[2], "LR|RIDR|FLDATI|");
  EXPECT_EQ(startup[10], "LR|RIPS|FLP#RNPTTADATIDUDDPCCT|");

  pms.send_record("GI|RN101|GNGuest|");
  EXPECT_TRUE(wait_until([&] { return has_logged("Received Guest checkin packet from PMS"); }, 5s));
  pms.send_bytes("\x02\x03");
  EXPECT_TRUE(wait_until([&] { return has_logged("Can not parse FIAS packet"); }, 5s)) << diagnostics();

  // A byte outside a frame means the stream cannot be trusted: the daemon starts the link anew.
  pms.send_bytes("X");
  EXPECT_TRUE(pms.wait_closed(5s));
  link_up(pms);
  EXPECT_EQ(count_occurrences(read_file(log), "Connection to PMS lost"), 1);

  // A PMS that closes the connection is reconnected.
  pms.close_client();
  link_up(pms);
  EXPECT_EQ(count_occurrences(read_file(log), "Connection to PMS lost"), 2);
}

TEST_F(PmsFlow, EveryRequestFromThePmsSimulatorChangesThePbxRows) {
  pms_port = testutil::unused_port();
  write_conf(sqlite_section(), services("pbx"));
  std::string script = dir.file("script");
  testutil::write_file(script, "GI|RN101|GNO'Brien|GLEA|GSN|\nRE|RN101|CS0|DNY|\nWR|RN101|DA091231|TI063000|\n"
                               "sleep 5\nWC|RN101|\nGO|RN101|\nsleep 3\n");
  testutil::child_process pmssim({testpaths::pmssim_binary(), "--port", std::to_string(pms_port), "--script",
                                  script},
                                 dir.file("pmssim.out"), dir.file("pmssim.err"));
  ASSERT_TRUE(wait_until([&] { return read_file(dir.file("pmssim.out")).find("listening") != std::string::npos; }, 5s));
  start_daemon();
  EXPECT_TRUE(wait_until([&] {
    return user101() == rows_t{{"O'Brien", "EA", "1", "1", "2009-12-31 06:30:00"}};
  }, 20s)) << diagnostics() << read_file(dir.file("pmssim.out"));
  EXPECT_EQ(sqlite_rows(dir.file("states.db"), "select room from rooms"), (rows_t{{"101"}}));
  EXPECT_TRUE(wait_until([&] { return user101() == rows_t{{"NULL", "EA", "0", "0", "NULL"}}; }, 15s))
      << diagnostics();
  EXPECT_TRUE(sqlite_rows(dir.file("states.db"), "select room from rooms").empty());
}

TEST_F(PmsFlow, CallIsPostedWithinOnePollIntervalAndMarked) {
  pms_peer pms;
  pms_port = pms.port();
  write_conf(sqlite_section(), services("pbx"));
  start_daemon();
  link_up(pms);
  sqlite_exec(pbx, "insert into cdr values ('2009-12-31 10:15:00', '101', '200', 125, '')");
  auto posted = pms.wait_for_record("PS|", 12s);
  ASSERT_TRUE(posted) << diagnostics();
  EXPECT_EQ(*posted, "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|");
  EXPECT_TRUE(wait_until([&] { return sqlite_rows(pbx, "select userfield from cdr") == rows_t{{"0001"}}; }, 5s));

  // Link end: the next call waits, through a whole poll interval, until the PMS activates the
  // link again.
  pms.send_record("LE|DA091231|TI101600|");
  ASSERT_TRUE(wait_until([&] { return has_logged("Received Link end packet from PMS"); }, 5s));
  sqlite_exec(pbx, "insert into cdr values ('2009-12-31 10:17:00', '101', '201', 5, '')");
  EXPECT_FALSE(pms.wait_for_record("PS|P#0002", 11s)) << "posted after the link end";
  pms.send_record("LA|DA091231|TI101800|");
  posted = pms.wait_for_record("PS|P#0002", 12s);
  ASSERT_TRUE(posted) << diagnostics();
  EXPECT_EQ(*posted, "PS|P#0002|RN101|PTT|DA091231|TI101700|DU000005|DD201|");
}

TEST_F(PmsFlow, RequestsAndPostingsThroughAMysqlSection) {
  // Throws with the reason when the server cannot start, which fails the test.
  testutil::mariadb_server* server = &testutil::mariadb_server::shared();
  server->create_database("asterisk");
  server->execute(
      "create table users (ext varchar(8) primary key, name varchar(40), lang varchar(4), dnd int default 0, "
      "barred int default 0, wakeup varchar(20));"
      "insert into users (ext) values ('101');"
      "create table cdr (calldate varchar(20), src varchar(8), dst varchar(20), billsec int, "
      "userfield varchar(255) default '')",
      "asterisk");
  pms_peer pms;
  pms_port = pms.port();
  write_conf("[asterisk]\ndbdriver = mysql\nhost = 127.0.0.1\nport = " + std::to_string(server->port()) +
                 "\nuser = " + server->user() + "\npassword = " + server->password() + "\ndatabase = asterisk\n",
             services("asterisk"));
  start_daemon();
  link_up(pms);
  pms.send_record("GI|RN101|GNO'Brien \\ Sons|GLEA|");
  pms.send_record("RE|RN101|CS0|DNY|");
  EXPECT_TRUE(wait_until([&] {
    return server->query("select name, dnd, barred from users", "asterisk") ==
           rows_t{{"O'Brien \\ Sons", "1", "1"}};
  }, 10s)) << diagnostics();
  server->execute("insert into cdr values ('2009-12-31 10:15:00', '101', '200', 125, '')", "asterisk");
  auto posted = pms.wait_for_record("PS|", 12s);
  ASSERT_TRUE(posted) << diagnostics();
  EXPECT_EQ(*posted, "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|");
  EXPECT_TRUE(wait_until([&] {
    return server->query("select userfield from cdr", "asterisk") == rows_t{{"0001"}};
  }, 5s)) << diagnostics();
}

}  // namespace
