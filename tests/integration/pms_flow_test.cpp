// The daemon between a PMS and PBX databases: link start-up, requests, postings. The daemon object
// runs with short intervals, so a poll pass comes within 100 ms.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "fias.h"
#include "mariadb_server.h"
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

class PmsFlow : public testutil::DaemonTest {
 protected:
  void SetUp() override { sqlite_exec(pbx, kPbxSchema); }

  void write_conf(int pms_port, const std::string& database_sections,
                  const std::string& service_lines) {
    DaemonTest::write_conf(pms_port, database_sections + "[services]\n" + service_lines);
  }
  rows_t user101() { return sqlite_rows(pbx, "select name, lang, dnd, barred, wakeup from users where ext='101'"); }
};

TEST_F(PmsFlow, LinkComesUpAndSurvivesClosedConnectionsGarbageAndEmptyRecords) {
  pms_peer pms;
  write_conf(pms.port(), "", "");
  start_in_process();
  link_up(pms);
  std::vector<std::string> startup = pms.received();
  ASSERT_EQ(startup.size(), 15u) << diagnostics();
  EXPECT_EQ(startup[1].substr(0, 3), "LD|");
  EXPECT_EQ(startup[1].substr(startup[1].size() - 12), "V#1.01|IFPB|") << startup[1];
  EXPECT_EQ(std::vector<std::string>(startup.begin() + 2, startup.begin() + 14),
            fias_link_records(fias_record_set::full))
      << "the full record set unless the configuration says otherwise";

  pms.send_record("GI|RN101|GNGuest|");
  EXPECT_TRUE(logged("Received Guest checkin packet from PMS", 5s));
  pms.send_bytes("\x02\x03");
  EXPECT_TRUE(logged("Can not parse FIAS packet", 5s)) << diagnostics();

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

// A PMS interface configured for the records of earlier versions sees the same start-up.
TEST_F(PmsFlow, BasicRecordSetAnnouncesTheLinkRecordsOfOld) {
  pms_peer pms;
  pms_keys = "records = basic\n";
  write_conf(pms.port(), "", "");
  start_in_process();
  link_up(pms);
  std::vector<std::string> startup = pms.received();
  ASSERT_EQ(startup.size(), 12u) << diagnostics();
  EXPECT_EQ(std::vector<std::string>(startup.begin() + 2, startup.begin() + 11),
            fias_link_records(fias_record_set::basic));
}

TEST_F(PmsFlow, EveryRequestFromThePmsSimulatorChangesThePbxRows) {
  std::string script = dir.file("script");
  testutil::write_file(script, "GI|RN101|GNO'Brien|GLEA|GSN|\nRE|RN101|CS0|DNY|\nWR|RN101|DA091231|TI063000|\n"
                               "sleep 1\nWC|RN101|\nGO|RN101|\nsleep 1\n");
  testutil::pmssim_process pmssim(dir, {"--script", script});
  ASSERT_GT(pmssim.port(), 0) << pmssim.output() << pmssim.errors();
  write_conf(pmssim.port(), sqlite_section(), services("pbx"));
  start_in_process();
  EXPECT_TRUE(wait_until([&] {
    return user101() == rows_t{{"O'Brien", "EA", "1", "1", "2009-12-31 06:30:00"}};
  }, 20s)) << diagnostics() << pmssim.output();
  EXPECT_EQ(sqlite_rows(dir.file("states.db"), "select room from rooms"), (rows_t{{"101"}}));
  EXPECT_TRUE(wait_until([&] { return user101() == rows_t{{"NULL", "EA", "0", "0", "NULL"}}; }, 15s))
      << diagnostics();
  EXPECT_TRUE(sqlite_rows(dir.file("states.db"), "select room from rooms").empty());
}

TEST_F(PmsFlow, CallIsPostedAtTheNextPollPassAndMarked) {
  pms_peer pms;
  write_conf(pms.port(), sqlite_section(), services("pbx"));
  start_in_process();
  link_up(pms);
  sqlite_exec(pbx, "insert into cdr values ('2009-12-31 10:15:00', '101', '200', 125, '')");
  auto posted = pms.wait_for_record("PS|", 2s);
  ASSERT_TRUE(posted) << diagnostics();
  EXPECT_EQ(*posted, "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|");
  EXPECT_TRUE(wait_until([&] { return sqlite_rows(pbx, "select userfield from cdr") == rows_t{{"0001"}}; }, 5s));

  // Link end: the next call waits, through a whole poll interval, until the PMS activates the
  // link again.
  pms.send_record("LE|DA091231|TI101600|");
  ASSERT_TRUE(wait_until([&] { return has_logged("Received Link end packet from PMS"); }, 5s));
  sqlite_exec(pbx, "insert into cdr values ('2009-12-31 10:17:00', '101', '201', 5, '')");
  // Ten poll passes of this daemon: a call posted after the link end would show within them.
  EXPECT_FALSE(pms.wait_for_record("PS|P#0002", 1s)) << "posted after the link end";
  pms.send_record("LA|DA091231|TI101800|");
  posted = pms.wait_for_record("PS|P#0002", 2s);
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
  write_conf(pms.port(), mysql_section("asterisk", *server, "asterisk"), services("asterisk"));
  start_in_process();
  link_up(pms);
  pms.send_record("GI|RN101|GNO'Brien \\ Sons|GLEA|");
  pms.send_record("RE|RN101|CS0|DNY|");
  EXPECT_TRUE(wait_until([&] {
    return server->query("select name, dnd, barred from users", "asterisk") ==
           rows_t{{"O'Brien \\ Sons", "1", "1"}};
  }, 10s)) << diagnostics();
  server->execute("insert into cdr values ('2009-12-31 10:15:00', '101', '200', 125, '')", "asterisk");
  auto posted = pms.wait_for_record("PS|", 2s);
  ASSERT_TRUE(posted) << diagnostics();
  EXPECT_EQ(*posted, "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|");
  EXPECT_TRUE(wait_until([&] {
    return server->query("select userfield from cdr", "asterisk") == rows_t{{"0001"}};
  }, 5s)) << diagnostics();
}

}  // namespace
