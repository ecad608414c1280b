// Manager feed: login states, Cdr events of guest rooms into the call cache, re-login, pacing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <memory>
#include <mutex>
#include <thread>

#include "ami_server.h"
#include "cdrmanager.h"
#include "config.h"
#include "dbdriver.h"
#include "logger.h"
#include "link_support.h"
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

const std::string& states() { return testutil::shared_store_path(); }

rows_t cached() { return sqlite_rows(states(), "select src, dst, clid, cost, faxdata, callclass, userfield from cdrcache"); }

constexpr auto kWait = 5000ms;

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite_exec(states(), "delete from rooms; delete from cdrcache;");
    testutil::shared_store().register_room("101");
    logger_init(log.c_str(), 5, 0, 0);
  }
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }

  std::unique_ptr<manager_feed> make_feed(int port, const std::string& password, bool all_calls = false,
                                          feed_timing timing = {}) {
    return std::make_unique<manager_feed>(
        manager_config{"127.0.0.1", port, "velmorant", password, all_calls}, testutil::shared_store(),
        testutil::shared_store().journal(), timing);
  }
  // Connects the feed to `ami` with its password, and reads up to the login answer.
  std::unique_ptr<manager_feed> logged_in(testami::ami_server& ami, const std::string& password,
                                          bool all_calls = false, feed_timing timing = {}) {
    auto feed = make_feed(ami.port(), password, all_calls, timing);
    feed->rooms().refresh(testutil::shared_store());
    EXPECT_EQ(feed->step(kWait), 0) << "connects and sends the login";
    for (int i = 0; i < 5 && !feed->logged_in(); ++i) EXPECT_EQ(feed->step(kWait), 1);
    EXPECT_TRUE(feed->logged_in());
    return feed;
  }

  testutil::temp_dir dir;
  std::string log = dir.file("v.log");
};

TEST_F(ManagerTest, OnlyCallsPlacedFromRegisteredRoomsAreCached) {
  testami::ami_server ami("velmorant", "s3cret");
  auto feed = logged_in(ami, "s3cret");
  feed->start();

  testami::cdr_event call;
  call.destination = "200";
  ami.send_cdr(call);
  call.source = "1010";
  ami.send_cdr(call);
  call.source = "200";
  call.destination = "101";
  ami.send_cdr(call);
  ASSERT_TRUE(testutil::wait_until([] { return !cached().empty(); }, kWait));
  feed->stop();
  EXPECT_EQ(cached(), (rows_t{{"101", "200", "\"Room 101\" <101>", "", "", "", ""}}));
  EXPECT_NE(read_file(log).find("1 127.0.0.1 " + std::to_string(ami.port()) + " velmorant ********"),
            std::string::npos);
  EXPECT_EQ(read_file(log).find("s3cret"), std::string::npos) << "the secret never reaches the log";
}

TEST_F(ManagerTest, EventNameIsComparedWithoutCaseAndOtherEventsAreIgnored) {
  testami::ami_server ami("velmorant", "pw");
  auto feed = logged_in(ami, "pw");
  const testami::header_list answered = {{"Disposition", "ANSWERED"}, {"BillableSeconds", "5"}};
  auto with = [&](std::string dst) {
    testami::header_list h = {{"Source", "101"}, {"Destination", dst}};
    h.insert(h.end(), answered.begin(), answered.end());
    return h;
  };
  ami.send_event("cdr", with("201"));
  ami.send_event("CDR", with("202"));
  ami.send_event("Newchannel", with("203"));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(sqlite_rows(states(), "select dst from cdrcache order by dst"), (rows_t{{"201"}, {"202"}}));
}

// Asterisk writes a record for every dial attempt; only answered calls with billable time are
// charges, unless the PMS wants every call.
TEST_F(ManagerTest, OnlyAnsweredCallsWithBillableTimeAreCachedUnlessAllCallsAreWanted) {
  struct {
    const char* disposition;
    const char* billsec;
    bool cached;
  } cases[] = {{"ANSWERED", "5", true},  {"ANSWERED", "0", false}, {"BUSY", "0", false},
               {"NO ANSWER", "0", false}, {"FAILED", "", false},   {"answered", "12", true}};
  for (bool all_calls : {false, true}) {
    testami::ami_server ami("velmorant", "pw");
    auto feed = logged_in(ami, "pw", all_calls);
    for (auto& c : cases) {
      sqlite_exec(states(), "delete from cdrcache");
      testami::cdr_event call;
      call.disposition = c.disposition;
      call.billable_seconds = c.billsec;
      ami.send_cdr(call);
      ASSERT_EQ(feed->step(kWait), 1);
      EXPECT_EQ(cached().size(), c.cached || all_calls ? 1u : 0u)
          << c.disposition << " " << c.billsec << " all calls " << all_calls;
    }
  }
}

TEST_F(ManagerTest, CallerNamesWithQuotesAreCachedAndLongValuesKept) {
  testami::ami_server ami("velmorant", "pw");
  auto feed = logged_in(ami, "pw");
  testami::cdr_event call;
  call.caller_id = "\"O'Brien\" <101>";
  call.last_data = std::string(900, 'd');
  call.extra = {{"Cost", "0.12"}, {"CallClass", "3"}};
  ami.send_cdr(call);
  ASSERT_EQ(feed->step(kWait), 1);
  rows_t rows = cached();
  ASSERT_EQ(rows.size(), 1u) << read_file(log);
  EXPECT_EQ(rows[0][2], "\"O'Brien\" <101>");
  EXPECT_EQ(rows[0][3], "0.12");
  EXPECT_EQ(rows[0][5], "3");
  EXPECT_EQ(sqlite_rows(states(), "select length(lastdata) from cdrcache"), (rows_t{{"900"}}));
}

TEST_F(ManagerTest, RoomCheckedInAfterStartIsMatched) {
  testami::ami_server ami("velmorant", "pw");
  auto feed = logged_in(ami, "pw");
  testutil::shared_store().register_room("102");
  testami::cdr_event call;
  call.source = "102";
  ami.send_cdr(call);
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(sqlite_rows(states(), "select src from cdrcache"), (rows_t{{"102"}}));
}

TEST_F(ManagerTest, DroppedConnectionIsLoggedInAgainAndCachingResumes) {
  testami::ami_server ami("velmorant", "pw");
  auto feed = logged_in(ami, "pw");
  ami.drop();
  ASSERT_EQ(feed->step(kWait), -1);  // the read fails; the thread would pause here
  EXPECT_FALSE(feed->logged_in());
  EXPECT_EQ(count_occurrences(read_file(log), "127.0.0.1: Not connected"), 1);
  ASSERT_EQ(feed->step(kWait), 0);  // a new connection and login
  ASSERT_TRUE(ami.wait_for_logins(2, 5s));
  for (int i = 0; i < 5 && !feed->logged_in(); ++i) ASSERT_EQ(feed->step(kWait), 1);
  testami::cdr_event call;
  ami.send_cdr(call);
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(cached().size(), 1u);
}

TEST_F(ManagerTest, RefusedLoginEndsTheFeed) {
  testami::ami_server ami("velmorant", "right");
  auto feed = make_feed(ami.port(), "wrong");
  feed->start();
  ASSERT_TRUE(testutil::wait_until([&] { return !feed->running(); }, kWait));
  EXPECT_EQ(feed->session().connected, -1);
  EXPECT_EQ(ami.logins(), 1) << "a refused login is not retried";
  EXPECT_NE(read_file(log).find("refused the login of velmorant"), std::string::npos);
}

// However the connection ends, the next attempt waits, the pause doubling: a manager port that
// refuses or closes at once must not turn the feed into a busy loop. A stop in the middle of a
// pause is served at once.
TEST_F(ManagerTest, ReconnectsArePacedAndTheStopIsServedAtOnce) {
  uint16_t port;
  {
    testami::ami_server gone("velmorant", "pw");
    port = gone.port();
  }
  feed_timing timing;
  timing.backoff_min = 100ms;
  timing.backoff_max = 400ms;
  manager_feed feed(manager_config{"127.0.0.1", port, "velmorant", "pw", false},
                    testutil::shared_store(), testutil::shared_store().journal(), timing);
  auto start = std::chrono::steady_clock::now();
  feed.start();
  // Attempts at 0, 100, 300 and 700 ms, then every 400 ms.
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "Connect failed") >= 4; }, kWait));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
  auto stop_start = std::chrono::steady_clock::now();
  feed.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_start, 300ms);
}

// The read path over a socketpair, where the test decides when the login answer arrives.
TEST_F(ManagerTest, NothingIsCachedBeforeTheLoginIsAccepted) {
  testlink::socket_pair pair;
  unique_fd peer = std::move(pair.pms);
  auto feed = make_feed(0, "pw");
  feed->adopt_session(std::move(pair.daemon));
  feed->rooms().refresh(testutil::shared_store());
  std::string cdr = testami::cdr_event_text(testami::cdr_event{});
  ASSERT_EQ(write(peer.get(), cdr.data(), cdr.size()), static_cast<ssize_t>(cdr.size()));
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_TRUE(cached().empty());
  std::string near_miss = "Response: Success\r\nMessage: Authentication accepted.\r\n\r\n";
  ASSERT_EQ(write(peer.get(), near_miss.data(), near_miss.size()), static_cast<ssize_t>(near_miss.size()));
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_FALSE(feed->logged_in()) << "only the exact answer logs in";
  std::string accepted = "Response: Success\r\nMessage: Authentication accepted\r\n\r\n" + cdr;
  ASSERT_EQ(write(peer.get(), accepted.data(), accepted.size()), static_cast<ssize_t>(accepted.size()));
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_TRUE(feed->logged_in());
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(cached().size(), 1u);
}

// The states file locked past the busy time (or its disk full): calls are held in memory in the
// order they came, and with the held calls at their capacity the feed reads nothing more from
// the manager. When the store takes calls again every call is cached once, in order; a stop
// names the calls it still holds.
TEST_F(ManagerTest, CallsTheStoreCannotTakeAreHeldInOrderAndCachedOnceItTakesThemAgain) {
  testutil::short_store_waits short_waits;
  feed_timing timing;
  timing.held_capacity = 3;
  timing.store_retry = 20ms;
  testami::ami_server ami("velmorant", "pw");
  auto feed = logged_in(ami, "pw", false, timing);

  std::optional<testutil::exclusive_lock> holder(std::in_place, states());
  for (int i = 1; i <= 5; ++i) {
    testami::cdr_event call;
    call.destination = "20" + std::to_string(i);
    ASSERT_TRUE(ami.send_cdr(call));
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(feed->held(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(feed->step(50ms), 0) << "nothing is read while full";
  EXPECT_EQ(feed->held(), 3u);
  std::string text = read_file(log);
  EXPECT_EQ(count_occurrences(text, "Unable to cache the call of 101 to 201 at 2024-03-05 14:07:09"), 1) << text;
  EXPECT_EQ(count_occurrences(text, "Unable to cache the call of"), 1) << "one line, not one per call";
  EXPECT_EQ(count_occurrences(text, "Holding call records in memory until the states file takes them "
                                    "again (at most 3)"), 1) << text;
  EXPECT_EQ(count_occurrences(text, "3 call records held; reading from the manager paused until the "
                                    "states file takes them again"), 1) << text;

  holder.reset();
  ASSERT_TRUE(testutil::wait_until(
      [&] {
        feed->step(20ms);
        return sqlite_rows(states(), "select count(*) from cdrcache") == rows_t{{"5"}};
      },
      kWait));
  EXPECT_EQ(feed->held(), 0u);
  EXPECT_EQ(sqlite_rows(states(), "select dst from cdrcache order by rowid"),
            (rows_t{{"201"}, {"202"}, {"203"}, {"204"}, {"205"}}));
  EXPECT_EQ(count_occurrences(read_file(log),
                              "The states file takes call records again; 3 held call records cached"), 1)
      << read_file(log);

  holder.emplace(states());
  testami::cdr_event late;
  late.destination = "299";
  ASSERT_TRUE(ami.send_cdr(late));
  ASSERT_EQ(feed->step(kWait), 1);
  EXPECT_EQ(feed->held(), 1u);
  feed->stop();
  EXPECT_EQ(feed->held(), 0u);
  EXPECT_EQ(count_occurrences(read_file(log), "Stopping: call of 101 to 299 at 2024-03-05 14:07:09 not cached"), 1)
      << read_file(log);
}

// A reload replaces the feed while the states file cannot take calls: the calls the old feed
// holds are handed to the new one as its stop ends, in order and ahead of the new feed's own
// (held meanwhile), and none is named as lost.
TEST_F(ManagerTest, CallsHeldByAReplacedFeedAreCachedByItsSuccessorAheadOfItsOwn) {
  testutil::short_store_waits short_waits;
  feed_timing timing;
  timing.store_retry = 20ms;
  testami::ami_server old_ami("velmorant", "pw"), new_ami("velmorant", "pw");
  auto old_feed = logged_in(old_ami, "pw", false, timing);
  auto new_feed = logged_in(new_ami, "pw", false, timing);
  new_feed->follow(*old_feed);

  std::optional<testutil::exclusive_lock> holder(std::in_place, states());
  auto send = [](testami::ami_server& ami, const std::string& destination) {
    testami::cdr_event call;
    call.destination = destination;
    return ami.send_cdr(call);
  };
  ASSERT_TRUE(send(old_ami, "201") && send(old_ami, "202") && send(new_ami, "203"));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(old_feed->step(kWait), 1);
  ASSERT_EQ(new_feed->step(kWait), 1);
  EXPECT_EQ(old_feed->held(), 2u);
  EXPECT_EQ(new_feed->held(), 1u);

  std::jthread stopping([&] { old_feed->stop(); });
  holder.reset();
  ASSERT_TRUE(testutil::wait_until(
      [&] {
        new_feed->step(20ms);
        return sqlite_rows(states(), "select count(*) from cdrcache") == rows_t{{"3"}};
      },
      kWait));
  EXPECT_EQ(sqlite_rows(states(), "select dst from cdrcache order by rowid"),
            (rows_t{{"201"}, {"202"}, {"203"}}));
  const std::string text = read_file(log);
  EXPECT_EQ(count_occurrences(text, "Stopping: call of"), 0) << text;
  EXPECT_EQ(count_occurrences(text, "2 call records held by the replaced manager feed taken over"), 1)
      << text;
}

}  // namespace
