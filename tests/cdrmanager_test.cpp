// Manager thread: login states, Cdr events of guest rooms into the call cache, re-login.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "ami_server.h"
#include "cdrmanager.h"
#include "config.h"
#include "logger.h"
#include "sqlite_probe.h"
#include "store.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::read_file;
using testutil::rows_t;
using testutil::sqlite_exec;
using testutil::sqlite_rows;

namespace {

const std::string& states() { return testutil::shared_store(); }

rows_t cached() { return sqlite_rows(states(), "select src, dst, clid, cost, faxdata, callclass, userfield from cdrcache"); }

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite_exec(states(), "delete from rooms; delete from cdrcache;");
    store_register_room("101");
    logger_init(log.c_str(), 5, 0, 0);
  }
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }

  void configure(int port, const std::string& password) {
    std::string conf = dir.file("v.conf");
    testutil::write_file(conf, "[pms]\nstatesfile = " + states() + "\n[services]\ncdr_use_manager = 1\n"
                               "cdr_mgr_host = 127.0.0.1\ncdr_mgr_port = " + std::to_string(port) +
                               "\ncdr_mgr_user = velmorant\ncdr_mgr_password = " + password + "\n");
    ASSERT_EQ(load_conf(conf), 0);
  }
  // Starts the thread's work against `ami` with its password, and reads up to the login answer.
  void start_logged_in(testami::ami_server& ami, const std::string& password, cdrmanager_state& st) {
    configure(ami.port(), password);
    ASSERT_EQ(cdrmanager_start(st), 0);
    step_until_logged_in(st);
  }
  // Reads messages until the login answer has been seen.
  void step_until_logged_in(cdrmanager_state& st) {
    for (int i = 0; i < 5 && st.mans.connected == 0; ++i) ASSERT_EQ(cdrmanager_step(st), 0);
    ASSERT_EQ(st.mans.connected, 1);
  }

  testutil::temp_dir dir;
  std::string log = dir.file("v.log");
};

TEST_F(ManagerTest, OnlyCallsPlacedFromRegisteredRoomsAreCached) {
  testami::ami_server ami("velmorant", "s3cret");
  cdrmanager_state st;
  start_logged_in(ami, "s3cret", st);

  testami::cdr_event call;
  call.destination = "200";
  ami.send_cdr(call);
  call.source = "1010";
  ami.send_cdr(call);
  call.source = "200";
  call.destination = "101";
  ami.send_cdr(call);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(cached(), (rows_t{{"101", "200", "\"Room 101\" <101>", "", "", "", ""}}));
  EXPECT_NE(read_file(log).find("1 127.0.0.1 " + std::to_string(ami.port()) + " velmorant ********"),
            std::string::npos);
  EXPECT_EQ(read_file(log).find("s3cret"), std::string::npos) << "the secret never reaches the log";
}

TEST_F(ManagerTest, EventNameIsComparedWithoutCaseAndOtherEventsAreIgnored) {
  testami::ami_server ami("velmorant", "pw");
  cdrmanager_state st;
  start_logged_in(ami, "pw", st);
  ami.send_event("cdr", {{"Source", "101"}, {"Destination", "201"}, {"StartTime", "2024-03-05 10:00:00"}});
  ami.send_event("CDR", {{"Source", "101"}, {"Destination", "202"}, {"StartTime", "2024-03-05 10:01:00"}});
  ami.send_event("Newchannel", {{"Source", "101"}, {"Destination", "203"}});
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(sqlite_rows(states(), "select dst from cdrcache order by dst"), (rows_t{{"201"}, {"202"}}));
}

TEST_F(ManagerTest, CallerNamesWithQuotesAreCachedAndLongValuesKept) {
  testami::ami_server ami("velmorant", "pw");
  cdrmanager_state st;
  start_logged_in(ami, "pw", st);
  testami::cdr_event call;
  call.caller_id = "\"O'Brien\" <101>";
  call.last_data = std::string(900, 'd');
  call.extra = {{"Cost", "0.12"}, {"CallClass", "3"}};
  ami.send_cdr(call);
  ASSERT_EQ(cdrmanager_step(st), 0);
  rows_t rows = cached();
  ASSERT_EQ(rows.size(), 1u) << read_file(log);
  EXPECT_EQ(rows[0][2], "\"O'Brien\" <101>");
  EXPECT_EQ(rows[0][3], "0.12");
  EXPECT_EQ(rows[0][5], "3");
  EXPECT_EQ(sqlite_rows(states(), "select length(lastdata) from cdrcache"), (rows_t{{"900"}}));
}

TEST_F(ManagerTest, RoomCheckedInAfterStartIsMatched) {
  testami::ami_server ami("velmorant", "pw");
  cdrmanager_state st;
  start_logged_in(ami, "pw", st);
  store_register_room("102");
  testami::cdr_event call;
  call.source = "102";
  ami.send_cdr(call);
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(sqlite_rows(states(), "select src from cdrcache"), (rows_t{{"102"}}));
}

TEST_F(ManagerTest, DroppedConnectionIsLoggedInAgainAndCachingResumes) {
  testami::ami_server ami("velmorant", "pw");
  cdrmanager_state st;
  start_logged_in(ami, "pw", st);
  ami.drop();
  ASSERT_EQ(cdrmanager_step(st), 0);  // the read fails; a new connection and login follow
  EXPECT_EQ(st.mans.connected, 0);
  EXPECT_EQ(count_occurrences(read_file(log), "127.0.0.1: Not connected"), 1);
  ASSERT_TRUE(ami.wait_for_logins(2, 5s));
  step_until_logged_in(st);
  testami::cdr_event call;
  ami.send_cdr(call);
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(cached().size(), 1u);
}

TEST_F(ManagerTest, RefusedLoginEndsTheThreadAtTheNextReadFailure) {
  testami::ami_server ami("velmorant", "right");
  configure(ami.port(), "wrong");
  cdrmanager_state st;
  ASSERT_EQ(cdrmanager_start(st), 0);
  int result = 0;
  for (int i = 0; i < 5 && result == 0; ++i) result = cdrmanager_step(st);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(st.mans.connected, -1);
  EXPECT_EQ(ami.logins(), 1) << "a refused login is not retried";
}

// The read path over a socketpair, where the test decides when the login answer arrives.
TEST_F(ManagerTest, NothingIsCachedBeforeTheLoginIsAccepted) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  unique_fd peer(sv[1]);
  cdrmanager_state st;
  st.mans.fd.reset(sv[0]);
  st.rooms.refresh();
  std::string cdr = testami::cdr_event_text(testami::cdr_event{});
  ASSERT_EQ(write(peer.get(), cdr.data(), cdr.size()), static_cast<ssize_t>(cdr.size()));
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_TRUE(cached().empty());
  std::string near_miss = "Response: Success\r\nMessage: Authentication accepted.\r\n\r\n";
  ASSERT_EQ(write(peer.get(), near_miss.data(), near_miss.size()), static_cast<ssize_t>(near_miss.size()));
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(st.mans.connected, 0) << "only the exact answer logs in";
  std::string accepted = "Response: Success\r\nMessage: Authentication accepted\r\n\r\n" + cdr;
  ASSERT_EQ(write(peer.get(), accepted.data(), accepted.size()), static_cast<ssize_t>(accepted.size()));
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(st.mans.connected, 1);
  ASSERT_EQ(cdrmanager_step(st), 0);
  EXPECT_EQ(cached().size(), 1u);
}

}  // namespace
