// Poll passes against real SQLite files, with a socketpair standing in for the PMS link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

#include <ctime>
#include <future>
#include <memory>
#include <mutex>

#include "config.h"
#include "dbdriver.h"
#include "fdutils.h"
#include "fias.h"
#include "handlers.h"
#include "logger.h"
#include "mariadb_server.h"
#include "poller.h"
#include "link_support.h"
#include "sqlite_probe.h"
#include "stays.h"
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

class PollerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite_exec(states(), "delete from rooms; delete from cdrcache; delete from postings; "
                          "delete from stays; delete from stay_rooms;");
    sqlite_exec(pbx, "create table cdr (calldate text, src text, dst text, billsec int, amount int, "
                     "userfield text default '');"
                     "create table wakeups (ext text, result int, wdate text, wtime text, reported int default 0);"
                     "create table roomstate (ext text, state int, reported int default 0);");
    logger_init(log.c_str(), 5, 0, 0);
    connect_pms();
  }
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }
  // A fresh link: the poller writes to one end, the test reads the other.
  void connect_pms() {
    testlink::socket_pair pair;
    pms_end = std::move(pair.pms);
    fcntl(pms_end.get(), F_SETFL, O_NONBLOCK);
    link.adopt(std::move(pair.daemon));
    link.set_active(link.id());
  }
  void poll_pass(room_list& r) { pol.pass(r); }
  void store_register_room(const std::string& room) { testutil::shared_store().register_room(room); }
  void store_remove_room(const std::string& room) { testutil::shared_store().remove_room(room); }
  // Every record the PMS has received so far, framing removed.
  std::vector<std::string> received() {
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while ((n = read(pms_end.get(), buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    std::vector<std::string> records;
    for (size_t stx = bytes.find('\x02'); stx != std::string::npos; stx = bytes.find('\x02', stx + 1)) {
      size_t etx = bytes.find('\x03', stx);
      records.push_back(bytes.substr(stx + 1, etx - stx - 1));
    }
    return records;
  }
  void configure(const std::string& services, const std::string& sections = "") {
    std::string conf = dir.file("v.conf");
    testutil::write_file(conf, "[pbx]\ndbdriver = sqlite\ndatabase = " + pbx + "\n" + sections +
                                   "[services]\n" + services);
    settings.publish(testutil::load_settings(conf));
  }
  void add_call(const std::string& room, const std::string& when, const std::string& dst, int billsec,
                int amount = -1) {
    sqlite_exec(pbx, "insert into cdr (calldate, src, dst, billsec, amount) values ('" + when + "', '" +
                         room + "', '" + dst + "', " + std::to_string(billsec) + ", " +
                         std::to_string(amount) + ")");
  }
  // The PMS answers a posting; the worker's handler runs it.
  void answer(const std::string& pa) {
    auto p = fias_parse_packet(pa.c_str(), static_cast<int>(pa.size()));
    ASSERT_TRUE(p) << pa;
    do_pa(request_context{*settings.current(), testutil::shared_store(), testutil::shared_store().journal()},
          p.get());
  }
  // The P# of each record received.
  std::vector<std::string> seqnos(const std::vector<std::string>& records) {
    std::vector<std::string> numbers;
    for (const std::string& r : records) numbers.push_back(r.substr(5, 4));
    return numbers;
  }
  std::string userfields() {
    std::string all;
    for (auto& row : sqlite_rows(pbx, "select userfield from cdr order by rowid")) all += "[" + row[0] + "]";
    return all;
  }

  const std::string calls =
      "billcalls = pbx:select date(calldate), time(calldate), dst, billsec, amount from cdr "
      "where src='%exten%' and userfield=''\n";
  const std::string mark =
      "billmark = pbx:update cdr set userfield='%seqno%' where src='%exten%' and calldate='%date% %time%'\n";

  testutil::temp_dir dir;
  std::string pbx = dir.file("pbx.db"), log = dir.file("v.log");
  unique_fd pms_end;
  room_list rooms;
  settings_store settings;
  pms_link link;
  poller pol{settings, testutil::shared_store(), testutil::shared_store().journal(), link,
             std::chrono::milliseconds(10), retry_timing{5ms, 20ms, 10000ms}};
};

TEST_F(PollerTest, CallsArePostedWithTheirFieldsAndMarked) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  add_call("101", "2000-01-01 08:00:00", "0049301234", 3725, 150);
  add_call("102", "2009-12-31 11:00:00", "300", 10);  // not a guest room
  poll_pass(rooms);
  EXPECT_EQ(received(), (std::vector<std::string>{
                            "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|",
                            "PS|P#0002|RN101|PTC|TA150|DA000101|TI080000|DU010205|DD0049301234|"}));
  EXPECT_EQ(userfields(), "[0001][0002][]");
  poll_pass(rooms);
  EXPECT_TRUE(received().empty()) << "marked calls are not posted again";
}

TEST_F(PollerTest, SequenceNumberWrapsFrom9999To0000) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 1);
  add_call("101", "2009-12-31 10:16:00", "201", 1);
  pol.set_last_seqno(9998);
  poll_pass(rooms);
  auto records = received();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].substr(0, 10), "PS|P#9999|");
  EXPECT_EQ(records[1].substr(0, 10), "PS|P#0000|");
}

TEST_F(PollerTest, WithoutAMarkEveryPassPostsTheSameCallWithANewNumber) {
  configure(calls);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  poll_pass(rooms);
  poll_pass(rooms);
  auto records = received();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].substr(0, 10), "PS|P#0001|");
  EXPECT_EQ(records[1].substr(0, 10), "PS|P#0002|");
}

TEST_F(PollerTest, NothingRunsWhileTheLinkIsInactive) {
  configure(calls + mark + "wakeup_result = pbx:select result, wdate, wtime from wakeups\n");
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  sqlite_exec(pbx, "insert into wakeups values ('101', 1, '2009-12-31', '06:30:00', 0)");
  link.close();
  poll_pass(rooms);
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(userfields(), "[]");
}

TEST_F(PollerTest, AFailedSendLeavesTheCallUnmarkedForALaterPass) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  pms_end.reset();  // the PMS went away: sends fail
  poll_pass(rooms);
  EXPECT_NE(read_file(log).find("Unable to send fias Post Simple"), std::string::npos);
  EXPECT_EQ(userfields(), "[]");
  connect_pms();
  poll_pass(rooms);
  auto records = received();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], "PS|P#0002|RN101|PTT|DA091231|TI101500|DU000205|DD200|");
  EXPECT_EQ(userfields(), "[0002]");
}

TEST_F(PollerTest, RoomsCheckedInAfterStartAreServedAtTheNextPass) {
  configure(calls + mark);
  store_register_room("101");
  poll_pass(rooms);
  store_register_room("102");
  store_remove_room("101");
  add_call("102", "2009-12-31 10:15:00", "200", 5);
  add_call("101", "2009-12-31 10:20:00", "201", 5);
  poll_pass(rooms);
  auto records = received();
  ASSERT_EQ(records.size(), 2u) << "a checked-out room's late call is still posted";
  EXPECT_NE(records[0].find("RN101|"), std::string::npos);
  EXPECT_NE(records[1].find("RN102|"), std::string::npos);
}

TEST_F(PollerTest, MissingMandatoryColumnEndsTheRoomButNotThePass) {
  configure("billcalls = pbx:select date(calldate), time(calldate) from cdr where src='%exten%'\n"
            "room_status = pbx:select state from roomstate where ext='%exten%'\n");
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  sqlite_exec(pbx, "insert into roomstate values ('101', 4, 0)");
  poll_pass(rooms);
  EXPECT_NE(read_file(log).find("No mandatory destination field in cdr query"), std::string::npos);
  EXPECT_EQ(received(), std::vector<std::string>{"RE|RN101|RS4|"});
}

TEST_F(PollerTest, MissingPollDriverSkipsOnlyThatStep) {
  configure(calls + mark + "room_status = nosuch:select 1\n");
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  poll_pass(rooms);
  EXPECT_EQ(received().size(), 1u);
  add_call("101", "2009-12-31 10:30:00", "200", 125);
  poll_pass(rooms);
  EXPECT_EQ(received().size(), 1u) << "later passes still post";
  EXPECT_EQ(count_occurrences(read_file(log), "Unable to find DB driver nosuch"), 2);
}

TEST_F(PollerTest, WakeupResultsReportTheFirstRowWithTheirAnswerCode) {
  configure("wakeup_result = pbx:select result, wdate, wtime from wakeups where ext='%exten%' and reported=0\n"
            "wrmark = pbx:update wakeups set reported=1 where ext='%exten%' and wdate='%date%' and wtime='%time%'\n");
  struct {
    int code;
    const char* answer;
  } cases[] = {{1, "OK"}, {2, "BY"}, {3, "NR"}, {-1, "UR"}, {0, "RY"}, {7, "RY"}};
  store_register_room("101");
  for (auto& c : cases) {
    sqlite_exec(pbx, "delete from wakeups; insert into wakeups values ('101', " + std::to_string(c.code) +
                         ", '2009-12-31', '06:30:00', 0), ('101', 1, '2009-12-31', '07:00:00', 0)");
    poll_pass(rooms);
    EXPECT_EQ(received(),
              std::vector<std::string>{std::string("WA|RN101|DA091231|TI063000|AS") + c.answer + "|"})
        << c.code;
    EXPECT_EQ(sqlite_rows(pbx, "select count(*) from wakeups where reported=1"), (rows_t{{"1"}}));
  }
}

TEST_F(PollerTest, RoomStatesMapToTheirStatusDigits) {
  configure("room_status = pbx:select state from roomstate where ext='%exten%' and reported=0\n"
            "remark = pbx:update roomstate set reported=1 where ext='%exten%'\n");
  store_register_room("101");
  std::string seen;
  for (int state : {1, 2, 3, 4, 5, 6, 7, 0}) {
    sqlite_exec(pbx, "insert into roomstate values ('101', " + std::to_string(state) + ", 0)");
    poll_pass(rooms);
    for (auto& r : received()) seen += r.substr(11, 1);  // "RE|RN101|RS?|"
  }
  EXPECT_EQ(seen, "12045600");
}

TEST_F(PollerTest, UnansweredPostingsGoOutAgainOnceOnEachNewLinkForADay) {
  configure(calls + mark);
  store_register_room("101");
  for (const char* when : {"10:15:00", "10:16:00", "10:17:00", "10:18:00"})
    add_call("101", std::string("2009-12-31 ") + when, "200", 5);
  poll_pass(rooms);
  EXPECT_EQ(userfields(), "[0001][0002][0003][0004]");
  connect_pms();  // the PMS read nothing and crashed
  poll_pass(rooms);
  auto again = received();
  EXPECT_EQ(seqnos(again), (std::vector<std::string>{"0001", "0002", "0003", "0004"}));
  EXPECT_EQ(again[0], "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000005|DD200|");
  poll_pass(rooms);
  EXPECT_TRUE(received().empty()) << "once per link";

  answer("PA|ASOK|RN101|P#1|DA091231|TI101500|");  // the PMS may drop the leading zeros
  answer("PA|ASNO|RN101|P#0002|DA091231|TI101600|");
  answer("PA|ASOK|RN102|P#0003|DA091231|TI101700|");  // another room's P#0003 settles nothing
  sqlite_exec(states(), "update postings set first_sent = first_sent - 86401 where seqno='0004'");
  connect_pms();
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), std::vector<std::string>{"0003"})
      << "answered, refused and day-old postings are not sent again";
  EXPECT_EQ(count_occurrences(read_file(log), "Sending again 4 postings not answered on an earlier link"), 1);
}

TEST_F(PollerTest, SequenceNumbersAndUnansweredPostingsOutliveThePoller) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  add_call("101", "2009-12-31 10:16:00", "200", 5);
  poll_pass(rooms);
  answer("PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  EXPECT_EQ(seqnos(received()), (std::vector<std::string>{"0001", "0002"}));
  // A settled posting a week old is pruned by the next poller's first pass.
  sqlite_exec(states(), "update postings set settled_at = settled_at - 7 * 86400 - 1 where seqno='0001'");

  poller restarted{settings, testutil::shared_store(), testutil::shared_store().journal(), link,
                  std::chrono::milliseconds(10)};
  add_call("101", "2009-12-31 10:17:00", "200", 5);
  room_list fresh;
  restarted.pass(fresh);
  EXPECT_EQ(seqnos(received()), (std::vector<std::string>{"0002", "0003"}))
      << "the unanswered posting first, then the next number";
  EXPECT_EQ(sqlite_rows(states(), "select seqno from postings order by id"), (rows_t{{"0002"}, {"0003"}}));
}

// A posting the PMS never answers is named for billing by hand, once when it leaves the re-send
// window and once when it leaves the journal; one answered meanwhile, even late, is not.
TEST_F(PollerTest, UnansweredPostingsAreNamedOnceWhenTheyLeaveTheResendWindowAndTheJournal) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  add_call("101", "2009-12-31 10:16:00", "201", 6);
  add_call("101", "2009-12-31 10:17:00", "202", 7);
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), (std::vector<std::string>{"0001", "0002", "0003"}));
  answer("PA|ASOK|RN101|P#0002|DA091231|TI101600|");
  sqlite_exec(states(), "update postings set first_sent = first_sent - 86401");
  poll_pass(rooms);
  poll_pass(rooms);
  answer("PA|ASOK|RN101|P#0003|DA091231|TI101700|");  // late, past the re-send window
  sqlite_exec(states(), "update postings set first_sent = first_sent - 7 * 86400, "
                        "settled_at = settled_at - 7 * 86400");
  poller restarted{settings, testutil::shared_store(), testutil::shared_store().journal(), link,
                   std::chrono::milliseconds(10)};
  room_list fresh;
  restarted.pass(fresh);
  restarted.pass(fresh);
  std::string text = read_file(log);
  const std::string call = "Posting P#0001 of room 101 (number 200, date 2009-12-31, time 10:15:00, 5 s)";
  EXPECT_EQ(count_occurrences(text, call + " not answered within a day and not sent again; bill the "
                                           "call by hand"), 1) << text;
  EXPECT_EQ(count_occurrences(text, call + " dropped from the journal after a week without an "
                                           "answer; bill the call by hand"), 1) << text;
  EXPECT_EQ(count_occurrences(text, "not answered within a day"), 2) << "P#0001 and P#0003";
  EXPECT_EQ(count_occurrences(text, "after a week without an answer"), 1);
  EXPECT_TRUE(sqlite_rows(states(), "select seqno from postings").empty());
  EXPECT_TRUE(received().empty());
}

TEST_F(PollerTest, AFailedMarkIsRetriedWithoutPostingTheCallAgain) {
  configure(calls + mark + "billok = pbx:update cdr set userfield='PA ' || '%seqno%' where src='%exten%'\n");
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  add_call("101", "2009-12-31 10:15:00", "200", 5);  // the same call twice: two postings
  sqlite_exec(pbx, "create trigger full_disk before update on cdr begin select raise(fail, 'disk full'); end");
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), (std::vector<std::string>{"0001", "0002"}));
  EXPECT_EQ(count_occurrences(read_file(log), "Mark of posting P#0001 of room 101 failed; it is retried at the next pass"), 1);
  poll_pass(rooms);
  EXPECT_TRUE(received().empty()) << "the journal knows they went out";
  EXPECT_EQ(userfields(), "[][]");

  // The answer overtakes the mark: billok waits for it.
  answer("PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  EXPECT_EQ(userfields(), "[][]");
  EXPECT_NE(read_file(log).find("Posting 0001 is not marked yet; billok runs after its mark"), std::string::npos);
  sqlite_exec(pbx, "drop trigger full_disk");
  poll_pass(rooms);
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(userfields(), "[PA 0001][PA 0001]") << "marked, then billok of the answer";
  answer("PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  EXPECT_EQ(count_occurrences(read_file(log), "Posting 0001 was settled by an earlier answer"), 1);
}

// A mark that runs and changes nothing (its template does not find the call) would leave the call
// to be posted at every pass: it is an ERROR naming the call, once, and the call is not posted
// again; other calls go on being posted.
TEST_F(PollerTest, AMarkThatChangesNoRowIsAnErrorAndItsCallIsNotPostedAgain) {
  configure(calls + "billmark = pbx:update cdr set userfield='%seqno%' where src='%exten%' and "
                    "calldate='%date%T%time%'\n");
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 125);
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), std::vector<std::string>{"0001"});
  poll_pass(rooms);
  add_call("101", "2009-12-31 10:20:00", "201", 5);
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), std::vector<std::string>{"0002"}) << "the first call is not posted again";
  std::string text = read_file(log);
  EXPECT_EQ(count_occurrences(text, "Mark of posting P#0001 of room 101 (number 200, date 2009-12-31, "
                                    "time 10:15:00, 125 s) changed no row; the call is not posted "
                                    "again: check services:billmark"), 1) << text;
  EXPECT_EQ(count_occurrences(text, "changed no row"), 2) << text;
  EXPECT_EQ(userfields(), "[][]");
}

// The same on MariaDB, which counts the rows an update changed: a mark that changes a row is
// noted as run, one that changes none is the ERROR.
TEST_F(PollerTest, MariadbMarksAreCountedByTheRowsTheyChanged) {
  testutil::mariadb_server& server = testutil::mariadb_server::shared();
  server.create_database("poller_marks");
  server.execute("create table cdr (calldate datetime, src varchar(8), dst varchar(32), billsec int, "
                 "amount int, userfield varchar(32) not null default '')", "poller_marks");
  server.execute("insert into cdr (calldate, src, dst, billsec, amount) values "
                 "('2009-12-31 10:15:00', '101', '200', 5, -1), ('2009-12-31 10:16:00', '101', '201', 6, -1)",
                 "poller_marks");
  configure("billcalls = my:select date(calldate), time(calldate), dst, billsec, amount from cdr "
            "where src='%exten%' and userfield='' order by calldate\n"
            "billmark = my:update cdr set userfield='%seqno%' where src='%exten%' and "
            "calldate='%date% %time%' and dst<>'201'\n",
            "[my]\ndbdriver = mysql\nhost = " + server.host() + "\nport = " + std::to_string(server.port()) +
                "\nuser = " + server.user() + "\npassword = " + server.password() +
                "\ndatabase = poller_marks\n");
  store_register_room("101");
  poll_pass(rooms);
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), (std::vector<std::string>{"0001", "0002"})) << "each posted once";
  EXPECT_EQ(server.query("select userfield from cdr order by calldate", "poller_marks"),
            (rows_t{{"0001"}, {""}}));
  std::string text = read_file(log);
  EXPECT_EQ(count_occurrences(text, "changed no row"), 1) << text;
  EXPECT_EQ(count_occurrences(text, "Mark of posting P#0002 of room 101 (number 201, date 2009-12-31, "
                                    "time 10:16:00, 6 s) changed no row"), 1) << text;
}

// The billok of an answer that came before its call's mark runs once the mark does, with the
// posting's own values; a database that is busy at that moment delays it as it delays a request
// from the PMS, and does not lose it.
TEST_F(PollerTest, BillokAfterALateMarkWaitsOutABusyDatabase) {
  std::string billing = dir.file("billing.db");
  sqlite_exec(billing, "create table settled (seqno text, room text, da text, ti text)");
  configure(calls + mark +
                "billok = billing:insert into settled values ('%seqno%', '%exten%', '%date%', "
                "'%time%')\n",
            "[billing]\ndbdriver = sqlite\ndatabase = " + billing + "\n");
  {
    auto drv = settings.current()->driver("billing");
    std::lock_guard guard(*drv);
    ASSERT_EQ(drv->reconnect_if_needed(), 0);
    ASSERT_EQ(drv->query("PRAGMA busy_timeout = 10"), 0) << "the lock is met in milliseconds";
  }
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  sqlite_exec(pbx, "create trigger full_disk before update on cdr begin select raise(fail, 'disk full'); end");
  poll_pass(rooms);
  answer("PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  sqlite_exec(pbx, "drop trigger full_disk");

  std::optional<testutil::exclusive_lock> holder(std::in_place, billing);
  auto pass = std::async(std::launch::async, [&] { poll_pass(rooms); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "database is locked") >= 3; }, 5000ms))
      << read_file(log);
  holder.reset();
  pass.get();
  EXPECT_EQ(userfields(), "[0001]");
  EXPECT_EQ(sqlite_rows(billing, "select * from settled"),
            (rows_t{{"0001", "101", "2009-12-31", "10:15:00"}}));
  EXPECT_EQ(count_occurrences(read_file(log), "Database busy or out of reach; trying the request "
                                              "again for up to 10 seconds: billok of posting "
                                              "P#0001 of room 101"), 1)
      << read_file(log);
}

TEST_F(PollerTest, ThePbxFileTakesWritesWhileAPostingWaitsOnThePms) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  // The PMS has read nothing for a while: its receive buffer is full.
  std::string junk(4096, 'x');
  while (send(link.fd(), junk.data(), junk.size(), MSG_DONTWAIT) > 0) {
  }
  auto pass = std::async(std::launch::async, [&] { poll_pass(rooms); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return sqlite_rows(states(), "select count(*) from postings") == rows_t{{"1"}}; },
      std::chrono::seconds(5)));
  // The PBX's own writer, with a short busy time, and a check-in on the states file.
  EXPECT_NO_THROW(sqlite_exec(pbx, "PRAGMA busy_timeout=100; insert into cdr (src) values ('109')"));
  EXPECT_NO_THROW(sqlite_exec(states(), "PRAGMA busy_timeout=100; insert into rooms (room) values ('109')"));
  std::vector<std::string> records;
  ASSERT_TRUE(testutil::wait_until(
      [&] {
        for (auto& r : received()) records.push_back(r);
        return !records.empty();
      },
      std::chrono::seconds(5)));
  pass.get();
  EXPECT_EQ(seqnos(records), std::vector<std::string>{"0001"});
  EXPECT_EQ(userfields(), "[0001][]");
}

// A wake-up result waiting on a PMS that reads slowly holds no lock of its driver: a check-in on
// the same driver runs meanwhile, and the result is marked once it went out.
TEST_F(PollerTest, CheckinRunsWhileAWakeupResultWaitsOnThePms) {
  sqlite_exec(pbx, "create table seen (ext text); create table guests (ext text, name text)");
  configure("wakeup_result = pbx:insert into seen values ('%exten%') returning 1, '2009-12-31', '06:30:00'\n"
            "wrmark = pbx:update wakeups set reported=1 where ext='%exten%'\n"
            "checkin = pbx:insert into guests values ('%exten%', '%name%')\n");
  sqlite_exec(pbx, "insert into wakeups values ('101', 1, '2009-12-31', '06:30:00', 0)");
  store_register_room("101");
  std::string junk(4096, 'x');
  while (send(link.fd(), junk.data(), junk.size(), MSG_DONTWAIT) > 0) {
  }
  auto pass = std::async(std::launch::async, [&] { poll_pass(rooms); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return sqlite_rows(pbx, "select count(*) from seen") == rows_t{{"1"}}; }, 5000ms));
  auto checkin = std::async(std::launch::async, [&] {
    auto p = fias_parse_packet("GI|RN101|GNGuest|", 17);
    do_checkin(request_context{*settings.current(), testutil::shared_store(),
                               testutil::shared_store().journal()},
               p.get());
  });
  EXPECT_EQ(checkin.wait_for(2000ms), std::future_status::ready) << "the check-in waited on the PMS";
  EXPECT_EQ(pass.wait_for(0ms), std::future_status::timeout) << "the record is still in hand";
  std::vector<std::string> records;
  ASSERT_TRUE(testutil::wait_until(
      [&] {
        for (auto& r : received()) records.push_back(r);
        return !records.empty();
      },
      5000ms));
  pass.get();
  checkin.get();
  EXPECT_EQ(records, std::vector<std::string>{"WA|RN101|DA091231|TI063000|ASOK|"});
  EXPECT_EQ(sqlite_rows(pbx, "select name from guests"), (rows_t{{"Guest"}}));
  EXPECT_EQ(sqlite_rows(pbx, "select reported from wakeups"), (rows_t{{"1"}}));
}

TEST_F(PollerTest, LinkEndHoldsPostingsUntilThePmsActivatesTheLinkAgain) {
  configure(calls + mark);
  store_register_room("101");
  add_call("101", "2009-12-31 10:15:00", "200", 5);
  link.suspend(link.id());
  poll_pass(rooms);
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(userfields(), "[]");
  link.set_active(link.id());
  poll_pass(rooms);
  EXPECT_EQ(seqnos(received()), std::vector<std::string>{"0001"});
}

class CachePoller : public PollerTest {
 protected:
  void cache(const std::string& src, const std::string& start, const std::string& dst, int billsec) {
    sqlite_exec(states(), "insert into cdrcache (src, dst, start, billsec) values ('" + src + "', '" +
                              dst + "', '" + start + "', " + std::to_string(billsec) + ")");
  }
};

TEST_F(CachePoller, CachedCallsComeFirstAndKeepTheirPostingText) {
  configure("cdr_use_manager = 1\n" + calls + mark);
  store_register_room("101");
  cache("101", "2009-12-31 10:15:00", "200", 125);
  add_call("101", "2009-12-31 11:00:00", "999", 1);  // billcalls is not used with the manager
  poll_pass(rooms);
  std::string expected = "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|";
  EXPECT_EQ(received(), std::vector<std::string>{expected});
  EXPECT_EQ(sqlite_rows(states(), "select userfield from cdrcache"), (rows_t{{expected}}));
  EXPECT_EQ(userfields(), "[]");
  poll_pass(rooms);
  EXPECT_TRUE(received().empty());
  EXPECT_NE(read_file(log).find("Cache case: check internal cdrcache values"), std::string::npos);
}

TEST_F(CachePoller, CachedCallIsPostedAgainWhenTheSendFailed) {
  configure("cdr_use_manager = 1\n");
  store_register_room("101");
  cache("101", "2009-12-31 10:15:00", "200", 125);
  pms_end.reset();
  poll_pass(rooms);
  EXPECT_EQ(sqlite_rows(states(), "select userfield from cdrcache"), (rows_t{{""}}));
  connect_pms();
  poll_pass(rooms);
  EXPECT_EQ(received().size(), 1u);
}

TEST_F(CachePoller, CallsOfTheSameSecondArePostedAndSettledEachByItsOwnRow) {
  configure("cdr_use_manager = 1\nnoremovecalls = 1\n");
  store_register_room("101");
  cache("101", "2009-12-31 10:15:00", "200", 5);
  cache("101", "2009-12-31 10:15:00", "200", 5);
  cache("101", "2009/12/31 10:15:00", "300", 7);  // not a date SQLite reads
  poll_pass(rooms);
  auto records = received();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000005|DD200|");
  EXPECT_EQ(records[1], "PS|P#0002|RN101|PTT|DA091231|TI101500|DU000005|DD200|");
  EXPECT_EQ(records[2].substr(0, 28),
            "PS|P#0003|RN101|PTT|DA" + testutil::local_time_text("%y%m%d"))
      << "posted with the current date";
  EXPECT_NE(read_file(log).find("Call of room 101 has no usable start time (2009/12/31 10:15:00); "
                                "posted as P#0003 with the current date and time"),
            std::string::npos);
  poll_pass(rooms);
  EXPECT_TRUE(received().empty()) << "each posted once";

  answer("PA|ASOK|RN101|P#0002|DA091231|TI101500|");
  EXPECT_EQ(sqlite_rows(states(), "select substr(userfield, 1, 9) from cdrcache order by rowid"),
            (rows_t{{"PS|P#0001"}, {"PA|ASOK|R"}, {"PS|P#0003"}}));
  configure("cdr_use_manager = 1\n");
  answer("PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  EXPECT_EQ(sqlite_rows(states(), "select dst, substr(userfield, 1, 9) from cdrcache order by rowid"),
            (rows_t{{"200", "PA|ASOK|R"}, {"300", "PS|P#0003"}}));
}

// A guest's life in the rooms, as the check-in, move and check-out handlers keep it.
struct guest_step {
  std::time_t at;  // seconds after the start of the case
  char what;       // i check-in, o check-out, m move
  std::string room, to, guest_no;
};

class StayCharges : public CachePoller {
 protected:
  void SetUp() override {
    CachePoller::SetUp();
    testutil::shared_store().stays().set_clock([this] { return clock; });
  }
  void TearDown() override {
    testutil::shared_store().stays().set_clock(nullptr);
    CachePoller::TearDown();
  }
  void live(const std::vector<guest_step>& life) {
    stay_book& stays = testutil::shared_store().stays();
    for (const guest_step& g : life) {
      clock = base + g.at;
      if (g.what == 'i') {
        ASSERT_GT(stays.open(g.room, g.guest_no, "Guest", "EA"), 0);
        store_register_room(g.room);
      } else if (g.what == 'o') {
        ASSERT_TRUE(stays.close(g.room));
        store_remove_room(g.room);
      } else {
        ASSERT_TRUE(stays.move(g.room, g.to));
        store_remove_room(g.room);
        store_register_room(g.to);
      }
    }
  }
  static std::string local(std::time_t t, const char* format) {
    return testutil::local_time_text(format, t);
  }

  // Two hours ago: the departures of a case are within the day the poller follows them.
  const std::time_t base = std::time(nullptr) - 7200;
  std::time_t clock = base;
};

// Each case runs on both paths, the call cache and the PBX's billcalls: a call is charged to the
// stay it started in, whatever stay the room has when it is posted or, unanswered, sent again on
// a new link after the steps of `after`. The poller starts anew for each case (a restart): rooms
// a guest left are followed all the same.
TEST_F(StayCharges, CallsAreChargedToTheStayTheyStartedIn) {
  const std::vector<guest_step> turnover = {
      {0, 'i', "101", "", "A1"}, {200, 'o', "101", "", ""}, {300, 'i', "101", "", "B2"}};
  const std::vector<guest_step> leaves = {{0, 'i', "101", "", "A1"}, {200, 'o', "101", "", ""}};
  const std::vector<guest_step> moves = {{0, 'i', "101", "", "A1"}, {200, 'm', "101", "102", ""}};
  const std::vector<guest_step> later_turnover = {{500, 'o', "101", "", ""},
                                                  {600, 'i', "101", "", "B2"}};
  const struct {
    const char* what;
    std::vector<guest_step> life;
    std::time_t call;       // the call's start, in room 101
    const char* records;    // [pms] records
    const char* posted_as;  // the PS's room and, with a G#, "|G#..."; null: held
    std::vector<guest_step> after = {};  // between the posting and the new link
    const char* resent_as = "";          // as posted_as; "" as it was posted
  } cases[] = {
      {"turnover: the departed guest's G# routes it", turnover, 100, "full", "101|G#A1"},
      {"turnover without a G# to route it", turnover, 100, "basic", nullptr},
      {"turnover, the guest had no G#", {{0, 'i', "101", "", ""}, {200, 'o', "101", "", ""},
                                         {300, 'i', "101", "", "B2"}}, 100, "full", nullptr},
      {"call while the room was empty", turnover, 250, "full", nullptr},
      {"the new guest's own call", turnover, 400, "full", "101|G#B2"},
      {"late call, the room still empty", leaves, 100, "full", "101|G#A1"},
      {"late call, basic set: the room", leaves, 100, "basic", "101"},
      {"moved: the guest's room now", moves, 100, "full", "102|G#A1"},
      {"moved, basic set", moves, 100, "basic", "102"},
      {"guest in, basic set as ever", {{0, 'i', "101", "", "A1"}}, 100, "basic", "101"},
      {"no stay known: the room as ever", {}, 100, "full", "101"},
      {"turnover before the re-send, no G#", {{0, 'i', "101", "", ""}}, 100, "basic", "101",
       later_turnover, nullptr},
      {"turnover before the re-send, the G# routes it", {{0, 'i', "101", "", "A1"}}, 100, "full",
       "101|G#A1", later_turnover},
      {"moved before the re-send", {{0, 'i', "101", "", ""}}, 100, "basic", "101",
       {{500, 'm', "101", "102", ""}}, "102"},
  };
  auto posting = [&](std::time_t start, const std::string& as) {
    size_t bar = as.find('|');
    return "PS|P#0001|RN" + as.substr(0, bar) + "|PTT|DA" + local(start, "%y%m%d") + "|TI" +
           local(start, "%H%M%S") + "|DU000100|DD200|" +
           (bar == std::string::npos ? "" : as.substr(bar + 1) + "|");
  };
  for (bool cache_path : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (cache_path ? ", call cache" : ", billcalls"));
      sqlite_exec(states(), "delete from rooms; delete from cdrcache; delete from postings; "
                            "delete from stays; delete from stay_rooms;");
      sqlite_exec(pbx, "delete from cdr");
      configure(cache_path ? "cdr_use_manager = 1\n" : calls + mark,
                std::string("[pms]\nrecords = ") + c.records + "\n");
      live(c.life);
      if (c.life.empty()) store_register_room("101");  // a room of the configuration
      const std::time_t start = base + c.call;
      const std::string start_text = local(start, "%Y-%m-%d %H:%M:%S");
      if (cache_path)
        cache("101", start_text, "200", 60);
      else
        add_call("101", start_text, "200", 60);
      connect_pms();
      poller fresh{settings, testutil::shared_store(), testutil::shared_store().journal(), link,
                   10ms, retry_timing{5ms, 20ms, 10000ms}};
      room_list followed;
      const size_t held_before = count_occurrences(read_file(log), "not posted: ");
      fresh.pass(followed);
      fresh.pass(followed);
      if (!c.posted_as) {
        EXPECT_TRUE(received().empty());
        EXPECT_EQ(count_occurrences(read_file(log), "not posted: "), held_before + 1)
            << "named once";
        EXPECT_NE(read_file(log).find("Call of room 101 to 200, date " + start_text.substr(0, 10) +
                                      ", time " + start_text.substr(11) + ", 60 s, not posted: "),
                  std::string::npos);
        EXPECT_EQ(userfields(), cache_path ? "" : "[]") << "left unmarked in the PBX";
        continue;
      }
      EXPECT_EQ(received(), std::vector<std::string>{posting(start, c.posted_as)});
      EXPECT_EQ(userfields(), cache_path ? "" : "[0001]") << "marked by the room it was made in";
      live(c.after);
      connect_pms();
      const size_t kept_before = count_occurrences(read_file(log), "not sent again: ");
      fresh.pass(followed);
      fresh.pass(followed);
      if (!c.resent_as) {
        EXPECT_TRUE(received().empty()) << "not sent to the new guest";
        EXPECT_EQ(count_occurrences(read_file(log), "not sent again: "), kept_before + 1)
            << "named once";
        continue;
      }
      EXPECT_EQ(received(), std::vector<std::string>{posting(start, *c.resent_as ? c.resent_as
                                                                                : c.posted_as)});
      answer("PA|ASOK|RN" + std::string(*c.resent_as ? c.resent_as : c.posted_as).substr(0, 3) +
             "|P#0001|");
      EXPECT_EQ(sqlite_rows(states(), "select state from postings"), rows_t{{"answered"}})
          << "its answer names the room it was sent to";
    }
  }
}

}  // namespace
