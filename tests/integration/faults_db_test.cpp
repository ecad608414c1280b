// The daemon against its databases when they misbehave: a MariaDB server that stops answering or
// restarts, a PBX file held by another writer, a states file that cannot be opened; and against
// an administrator's storms of reloads. The real binary where the time of a default limit or the
// process itself is the point, the daemon object with short intervals where only the behaviour is.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_fixture.h"
#include "mariadb_server.h"
#include "pms_peer.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::ms_since;
using testutil::read_file;
using testutil::report_time;
using testutil::rows_t;
using testutil::sqlite_exec;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

// The value of field `name` in a record text ("DD" of "PS|P#0001|...|DD200|" is "200").
std::string field(const std::string& record, const std::string& name) {
  size_t at = record.find("|" + name);
  if (at == std::string::npos) return {};
  at += 1 + name.size();
  return record.substr(at, record.find('|', at) - at);
}

// How often each dialled number was posted on the PMS connection.
std::map<std::string, int> postings_by_number(const pms_peer& pms) {
  std::map<std::string, int> postings;
  for (const std::string& record : pms.received())
    if (record.starts_with("PS|")) ++postings[field(record, "DD")];
  return postings;
}

// Sends SIGCONT to a process when it goes, so that a failed test leaves no server paused.
struct resume_on_exit {
  pid_t pid;
  ~resume_on_exit() { ::kill(pid, SIGCONT); }
};

class DatabaseFaults : public testutil::DaemonTest {
 protected:
  std::string guest_name() { return sqlite_rows(pbx, "select name from users").at(0).at(0); }
};

// A server that stops answering (a paused VM, a partition). A statement that hangs when the stop
// comes is interrupted after the stop's grace, so the process ends within seconds and removes its
// pid file; without a stop, the statement fails within the section's time-outs (the read
// time-out, then the client library's own attempt to connect again) and is retried until the
// server answers.
TEST_F(DatabaseFaults, MariadbThatStopsAnsweringHoldsNeitherTheStopNorTheRecordsForEver) {
  testutil::mariadb_server& server = testutil::mariadb_server::shared();
  server.create_database("pbxhang");
  server.execute("create table users (ext varchar(8) primary key, name varchar(40));"
                 "insert into users (ext) values ('101')",
                 "pbxhang");
  auto name = [&] { return server.query("select name from users", "pbxhang"); };
  pms_peer pms;
  // Applies a check-in while the server answers, then pauses the server.
  auto pause_after_a_checkin = [&](const std::string& guest) {
    ASSERT_TRUE(pms.send_record("GI|RN101|GN" + guest + "|"));
    ASSERT_TRUE(wait_until([&] { return name() == rows_t{{guest}}; }, 10s)) << diagnostics();
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  };
  resume_on_exit resume{server.pid()};

  write_conf(pms.port(), mysql_section("pbxmy", server, "pbxhang") + testutil::typical_services("pbxmy"));
  start_background();
  link_up(pms);
  pause_after_a_checkin("Before");
  ASSERT_TRUE(pms.send_record("GI|RN101|GNHung|"));
  ASSERT_TRUE(logged("Received Guest checkin packet from PMS", 5s, 2)) << diagnostics();
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  const long long hung_stop_ms = stop_ms;
  EXPECT_LT(hung_stop_ms, 15000);
  EXPECT_NE(access(pidfile.c_str(), F_OK), 0) << "pid file left behind";
  ::kill(server.pid(), SIGCONT);

  write_conf(pms.port(), mysql_section("pbxmy", server, "pbxhang", "read_timeout = 1\n") +
                             testutil::typical_services("pbxmy"));
  start_foreground();
  link_up(pms);
  pause_after_a_checkin("Again");
  ASSERT_TRUE(pms.send_record("GI|RN101|GNHungAgain|"));
  const auto sent = std::chrono::steady_clock::now();
  // The check-in's statement fails (its ping within the read time-out, then the connection
  // attempt within the connect time-out) and is held for retries.
  ASSERT_TRUE(logged("trying the request again for up to 10 minutes: GI|RN101|GNHungAgain|", 15s))
      << diagnostics();
  const long long notice_ms = ms_since(sent);
  ::kill(server.pid(), SIGCONT);
  EXPECT_GE(notice_ms, 900);
  EXPECT_LE(notice_ms, 15000);
  // The request that met the paused server is not dropped: it is retried, and applied once the
  // server answers again.
  EXPECT_TRUE(wait_until([&] { return name() == rows_t{{"HungAgain"}}; }, 10s)) << diagnostics();
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  report_time("MariaDB paused: stop with a statement hanging", hung_stop_ms);
  report_time("MariaDB paused: statement failed (noticed) with read_timeout = 1", notice_ms);
}

// Postings of that moment must not be lost: a call whose mark failed is not posted again, its
// mark is retried until it runs; statements while the server is down fail with a log line; after
// the restart the driver connects again by itself.
TEST_F(DatabaseFaults, MariadbRestartLosesNoPostingAndTheDriverConnectsAgain) {
  testutil::mariadb_server* server = &testutil::mariadb_server::shared();
  server->create_database("pbxfaults");
  server->execute(
      "create table users (ext varchar(8) primary key, name varchar(40));"
      "insert into users (ext) values ('101');"
      "create table cdr (calldate varchar(20), src varchar(8), dst varchar(20), billsec int, "
      "userfield varchar(255) default '', index (src, calldate)) engine=InnoDB;"
      "create table markings (dst varchar(20), userfield varchar(255)) engine=InnoDB;"
      // Kept outside transactions, so a refused mark still leaves its trace.
      "create table refused (dst varchar(20) primary key) engine=Aria;"
      "create trigger refuse_first_mark before update on cdr for each row begin "
      "  if new.dst like '9%' and not exists (select 1 from refused where dst = new.dst) then "
      "    insert into refused values (new.dst); "
      "    signal sqlstate '45000' set message_text = 'mark refused once'; "
      "  end if; "
      "end;"
      "create trigger count_marks after update on cdr for each row "
      "  insert into markings values (new.dst, new.userfield);"
      "insert into cdr (calldate, src, dst, billsec) values "
      "('2009-12-31 10:00:01', '101', '9001', 60), ('2009-12-31 10:00:02', '101', '9002', 60);",
      "pbxfaults");
  pms_peer pms;
  write_conf(pms.port(), mysql_section("pbxmy", *server, "pbxfaults") + testutil::typical_services("pbxmy"));
  daemon_timing timing = testutil::quick_timing();
  timing.poll_interval = 300ms;
  start_in_process(timing);
  link_up(pms);

  // The first pass posts both calls; their marks are refused.
  ASSERT_TRUE(logged("Query error: mark refused once", 25s, 2)) << diagnostics();
  server->stop();
  pms.send_record("GI|RN101|GNDuringRestart|");
  EXPECT_TRUE(logged("Failed to connect to database: Error: ", 10s)) << diagnostics();
  EXPECT_TRUE(logged("Query error: not connected to the server", 10s));
  server->start();
  server->execute("insert into cdr (calldate, src, dst, billsec) values "
                  "('2009-12-31 10:00:03', '101', '5003', 60)",
                  "pbxfaults");
  pms.send_record("GI|RN101|GNAfterRestart|");
  auto marked = [&] {
    return server->query("select dst from cdr where userfield != '' order by dst", "pbxfaults");
  };
  EXPECT_TRUE(wait_until([&] { return marked().size() == 3; }, 30s)) << diagnostics();
  EXPECT_TRUE(wait_until([&] {
    return server->query("select name from users", "pbxfaults") == rows_t{{"AfterRestart"}};
  }, 10s)) << diagnostics();

  // A call is marked once its posting is out; the PMS may still be reading it.
  std::map<std::string, int> postings;
  wait_until([&] {
    postings = postings_by_number(pms);
    return postings.size() == 3;
  }, 5s);
  EXPECT_EQ(postings, (std::map<std::string, int>{{"5003", 1}, {"9001", 1}, {"9002", 1}}))
      << "a refused mark is retried; its call is not posted again";
  EXPECT_EQ(server->query("select dst, count(*) from markings group by dst order by dst",
                          "pbxfaults"),
            (rows_t{{"5003", "1"}, {"9001", "1"}, {"9002", "1"}}));
}

// Every reload that changes a MySQL section makes a new driver; the one it replaced is closed,
// so thirty reloads leave one connection on the PBX's server, not thirty.
TEST_F(DatabaseFaults, ReloadsAlternatingAMysqlSectionKeepOneConnection) {
  testutil::mariadb_server& server = testutil::mariadb_server::shared();
  server.create_database("pbxreload");
  server.execute("create table users (ext varchar(8) primary key, name varchar(40));"
                 "insert into users (ext) values ('101')",
                 "pbxreload");
  auto connections = [&] {
    return std::stoi(server.query("select count(*) from information_schema.processlist "
                                  "where db = 'pbxreload' and user = '" + server.user() + "'")
                         .at(0)
                         .at(0));
  };
  pms_peer pms;
  auto conf_with = [&](int round) {
    write_conf(pms.port(), mysql_section("pbxmy", server, "pbxreload",
                                         round % 2 ? "read_timeout = 20\n" : "read_timeout = 25\n") +
                               testutil::typical_services("pbxmy"));
  };
  conf_with(0);
  start_foreground();
  link_up(pms);
  ASSERT_TRUE(wait_until([&] { return connections() == 1; }, 5s)) << connections();

  const auto started = std::chrono::steady_clock::now();
  for (int round = 1; round <= 30; ++round) {
    conf_with(round);
    signal(SIGHUP);
    ASSERT_TRUE(logged("Hangup. Reloading configuration.", 30s, round)) << diagnostics();
  }
  const long long reloads_ms = ms_since(started);
  EXPECT_LE(connections(), 2) << "connections kept by replaced drivers";
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfterReloads|"));
  EXPECT_TRUE(wait_until([&] {
    return server.query("select name from users", "pbxreload") == rows_t{{"AfterReloads"}};
  }, 10s)) << diagnostics();
  EXPECT_EQ(connections(), 1);
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  report_time("30 reloads alternating a MySQL section", reloads_ms);
  report_time("reloads: stop", stop_ms);
}

// Another writer holds the PBX file through whole passes: the calls go out all the same (no
// write lock is needed to read and post them), their marks wait for the file, and none is
// posted twice.
TEST_F(DatabaseFaults, LockedSqlitePbxFileDelaysTheMarksToALaterPassAndPostsNoneTwice) {
  sqlite_exec(pbx, std::string(testutil::kPbxSchema) +
                       "insert into cdr (calldate, src, dst, billsec) values "
                       "('2009-12-31 10:00:01', '101', '201', 60), "
                       "('2009-12-31 10:00:02', '101', '202', 60);");
  // The writer keeps its write lock open: readers may still read, nobody else may write.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(pbx.c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> writer(raw, &sqlite3_close);
  ASSERT_EQ(sqlite3_exec(raw,
                         "begin immediate; insert into cdr (calldate, src, dst, billsec) values "
                         "('2009-12-31 10:00:03', '101', '203', 60)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);

  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  ASSERT_TRUE(logged("No write lock on database pbx; the marks of 2 postings are retried at the "
                     "next pass", 30s))
      << diagnostics();
  EXPECT_TRUE(has_logged("database is locked"));
  EXPECT_TRUE(pms.wait_for_record("PS|", 5s)) << "posted while the marks could not be written";
  ASSERT_EQ(sqlite3_exec(raw, "commit", nullptr, nullptr, nullptr), SQLITE_OK);

  EXPECT_TRUE(wait_until([&] {
    return sqlite_rows(pbx, "select count(*) from cdr where userfield = ''") == rows_t{{"0"}};
  }, 30s)) << diagnostics();
  std::map<std::string, int> postings;
  wait_until([&] { return (postings = postings_by_number(pms)).size() == 3; }, 5s);
  EXPECT_EQ(postings, (std::map<std::string, int>{{"201", 1}, {"202", 1}, {"203", 1}}));
}

TEST_F(DatabaseFaults, StatesFileThatIsAFolderEndsStartUpWithStatusOneAndTheMessage) {
  std::string folder = dir.file("states.d");
  std::filesystem::create_directory(folder);
  testutil::write_file(conf, pms_section(testutil::unused_port(), folder));
  start_foreground();
  EXPECT_EQ(wait_exit(15s), 1);
  EXPECT_TRUE(has_logged("Unable to open states file " + folder)) << diagnostics();
}

// Reloads while the PMS keeps sending: the daemon stays up, serves the link, keeps no more
// descriptors than before, and stops cleanly.
TEST_F(DatabaseFaults, HundredReloadsInThreeSecondsWhileRecordsFlow) {
  sqlite_exec(pbx, testutil::kPbxSchema);
  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_background();
  link_up(pms);
  auto open_descriptors = [&] {
    auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/fd");
    return std::distance(begin(fds), end(fds));
  };
  const long before = open_descriptors();

  std::atomic<bool> storm{true};
  std::thread records([&] {
    for (int i = 0; storm; ++i) {
      pms.send_record("GI|RN101|GNGuest" + std::to_string(i) + "|");
      std::this_thread::sleep_for(1s);  // the pace the daemon reads at, not a wait
    }
  });
  for (int i = 0; i < 100; ++i) {
    signal(SIGHUP);
    std::this_thread::sleep_for(30ms);  // a hundred signals spread over three seconds
  }
  storm = false;
  records.join();

  ASSERT_EQ(kill(pid(), 0), 0) << "the daemon ended\n" << diagnostics();
  EXPECT_GE(count_occurrences(read_file(log), "Hangup. Reloading configuration."), 10);
  EXPECT_LE(open_descriptors(), before + 3) << "descriptors kept by the reloads";
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfterTheStorm|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "AfterTheStorm"; }, 60s)) << diagnostics();
  EXPECT_EQ(stop(20s), 0) << diagnostics();
}


}  // namespace
