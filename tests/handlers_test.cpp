// PMS request handlers against real SQLite files: the PBX database and the internal store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "config.h"
#include "dbdriver.h"
#include "fias.h"
#include "handlers.h"
#include "journal.h"
#include "logger.h"
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

// A record in hand with its retries, paced in milliseconds (5 ms doubling to 20 ms, for up to
// 10 s) and never stopped.
struct retried {
  explicit retried(std::string text) : record{std::move(text)} {}
  pms_request record;
  std::stop_source never;
  request_retry retry{record, retry_timing{5ms, 20ms, 10000ms}, never.get_token()};
};

class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_states();
    sqlite_exec(pbx, "create table ext (ext text primary key, name text, lang text, shared int, "
                     "dnd int, barred int, wakeup text);"
                     "insert into ext (ext) values ('101');"
                     "create table actions (n integer primary key, what text, room text);");
    logger_init(log.c_str(), 5, 0, 0);
  }
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }
  void clear_states() {
    sqlite_exec(states(), "delete from rooms; delete from cdrcache; delete from postings; "
                          "delete from stays; delete from stay_rooms;");
  }
  // A case of a table from an empty states file, no actions and no swap running.
  void start_over() {
    clear_states();
    sqlite_exec(pbx, "delete from actions");
    swap.finish();
  }

  // Loads a configuration whose [sqlite] and [pbx] sections both open the test's PBX file.
  void configure(const std::string& services, const std::string& extra = "") {
    std::string conf = dir.file("v.conf");
    testutil::write_file(conf, "[pms]\nstatesfile = " + states() + "\n[sqlite]\ndbdriver = sqlite\n"
                               "database = " + pbx + "\n[PBX]\ndbdriver = SQLite\ndatabase = " +
                               pbx + "\n" + extra + "[services]\n" + services);
    s = testutil::load_settings(conf);
  }
  void handle(void (*handler)(const request_context&, fias_packet_t*), const std::string& text,
              request_retry* retry = nullptr) {
    auto p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
    ASSERT_TRUE(p) << text;
    handler(request_context{*s, testutil::shared_store(), testutil::shared_store().journal(), retry,
                            &swap},
            p.get());
  }
  rows_t ext() { return sqlite_rows(pbx, "select ext, name, lang, shared, dnd, barred, wakeup from ext"); }
  rows_t rooms() { return sqlite_rows(states(), "select room, ci_date, calls from rooms"); }
  std::string actions() {
    std::string seen;
    for (auto& row : sqlite_rows(pbx, "select what from actions order by n")) seen += row[0] + " ";
    return seen;
  }

  testutil::temp_dir dir;
  std::string pbx = dir.file("pbx.db"), log = dir.file("v.log");
  std::shared_ptr<const Settings> s;
  database_swap swap;
};

std::string today() { return testutil::local_time_text("%Y-%m-%d"); }

TEST_F(HandlersTest, CheckinRegistersTheRoomAndRunsTheTemplate) {
  configure("checkin = sqlite:update ext set name='%name%', lang='%lang%', shared=%share% where ext='%exten%'\n");
  handle(do_checkin, "GI|RN101|GNGuest|GLEA|GSY|");
  EXPECT_EQ(rooms(), (rows_t{{"101", today(), "0"}}));
  EXPECT_EQ(ext()[0], (std::vector<std::string>{"101", "Guest", "EA", "1", "NULL", "NULL", "NULL"}));
  std::string text = read_file(log);
  for (const char* line : {"Checkin", "\tRoom number: 101", "\tName: Guest", "\tLanguage: EA", "\tShared: 1"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(HandlersTest, GuestNamedOBrienReachesThePbxAsSent) {
  configure("checkin = pbx:update ext set name='%name%' where ext='%exten%'\n");
  handle(do_checkin, "GI|RN101|GNO'Brien|");
  EXPECT_EQ(ext()[0][1], "O'Brien");
}

TEST_F(HandlersTest, CheckinWithoutRoomTouchesNothing) {
  configure("checkin = sqlite:update ext set name='%name%'\n");
  handle(do_checkin, "GI|GNGuest|");
  EXPECT_TRUE(rooms().empty());
  EXPECT_EQ(ext()[0][1], "NULL");
  EXPECT_NE(read_file(log).find("ERROR["), std::string::npos);
  EXPECT_NE(read_file(log).find("No room number"), std::string::npos);
}

TEST_F(HandlersTest, CheckoutRemovesTheRoomEvenWithoutATemplate) {
  configure("");
  handle(do_checkin, "GI|RN101|");
  handle(do_checkin, "GI|RN102|");
  handle(do_checkout, "GO|RN101|GNGuest|");
  EXPECT_EQ(rooms(), (rows_t{{"102", today(), "0"}}));
}

TEST_F(HandlersTest, RoomEquipmentRunsBarringFirstThenDoNotDisturb) {
  configure("bareon = pbx:insert into actions (what, room) values ('bareon', '%exten%')\n"
            "bareoff = pbx:insert into actions (what, room) values ('bareoff', '%exten%')\n"
            "dndon = pbx:insert into actions (what, room) values ('dndon', '%exten%')\n"
            "dndoff = pbx:insert into actions (what, room) values ('dndoff', '%exten%')\n"
            "msglighton = pbx:insert into actions (what, room) values ('mlon', '%exten%')\n"
            "msglightoff = pbx:insert into actions (what, room) values ('mloff', '%exten%')\n");
  struct {
    const char* record;
    const char* expected;
  } cases[] = {
      {"RE|RN101|", ""},
      {"RE|RN101|RS1|", ""},
      {"RE|RN101|CS0|", "bareon "},
      {"RE|RN101|CS2|", "bareoff "},
      {"RE|RN101|DNY|", "dndon "},
      {"RE|RN101|DNN|", "dndoff "},
      {"RE|RN101|CS0|DNY|", "bareon dndon "},
      {"RE|RN101|CS0|DNy|", "bareon "},  // DN is Y or N, nothing else
      {"RE|RN101|CS|DNY|", "dndon "},    // an empty, odd or octal-looking CS never bars
      {"RE|RN101|CSX|", ""},
      {"RE|RN101|CS0x0|", ""},
      {"RE|RN101|CS08|", "bareoff "},    // decimal 8
      {"RE|RN101|CS1|DNY|", "bareoff dndon "},
      {"RE|RN101|CS2|DNN|", "bareoff dndoff "},
      {"RE|RN101|MLY|", "mlon "},
      {"RE|RN101|MLN|", "mloff "},
      {"RE|RN101|ML1|", ""},  // ML is Y or N, nothing else
      {"RE|RN101|CS0|DNY|MLY|", "bareon dndon mlon "},
  };
  for (auto& c : cases) {
    sqlite_exec(pbx, "delete from actions");
    handle(do_room_equip, c.record);
    EXPECT_EQ(actions(), c.expected) << c.record;
  }
  EXPECT_EQ(sqlite_rows(pbx, "select distinct room from actions"), (rows_t{{"101"}}));
}

// Templates that write what ran, for which room and guest, into `actions`.
const std::string kGuestActions =
    "checkin = pbx:insert into actions (what, room) values ('in %exten% %name% %lang%', '%exten%')\n"
    "checkout = pbx:insert into actions (what, room) values ('out %exten% %name%', '%exten%')\n";
const std::string kChangeActions =
    "guestchange = pbx:insert into actions (what, room) values ('change %exten% %name% %lang%', "
    "'%exten%')\n"
    "roommove = pbx:insert into actions (what, room) values ('move %oldexten%>%exten% %name%', "
    "'%exten%')\n";

// The stay now in `room`: its room, G#, name and language, or "-".
std::string stay_in(const std::string& room) {
  std::optional<stay> in = testutil::shared_store().stays().current(room);
  return in ? in->room + "/" + in->guest_no + "/" + in->name + "/" + in->lang : "-";
}

// GC: a change without RO fills the change (or check-in) template with what the record sends and
// the stay knows; with RO the guest moves, the room move's template or a check-out and a check-in.
TEST_F(HandlersTest, GuestChangesAndRoomMovesRunTheirTemplatesAndTheStayFollows) {
  struct {
    const char* why;
    std::string services;
    std::vector<std::string> records;
    const char* actions;
    rows_t registry;
    const char* in_101;
    const char* in_102;
  } cases[] = {
      {"a change without its own template is a check-in", kGuestActions,
       {"GC|RN101|GLGE|"}, "in 101 Smith GE ", {{"101"}}, "101/1/Smith/GE", "-"},
      {"a change with its own template", kGuestActions + kChangeActions,
       {"GC|RN101|G#7|GNSmith-Lee|"}, "change 101 Smith-Lee EA ", {{"101"}},
       "101/7/Smith-Lee/EA", "-"},
      {"a move without its own template is a check-out and a check-in", kGuestActions,
       {"GC|RN102|RO101|"}, "out 101 Smith in 102 Smith EA ", {{"102"}}, "-",
       "102/1/Smith/EA"},
      {"a move with its own template, into a room of another guest", kGuestActions + kChangeActions,
       {"GI|RN102|G#2|GNJones|", "GC|RN102|RO101|GNSmith|"},
       "in 102 Jones  move 101>102 Smith ", {{"102"}}, "-", "102/1/Smith/EA"},
      {"a move of a guest without a stay keeps one from now", kGuestActions + kChangeActions,
       {"GO|RN101|", "GC|RN102|RO101|G#3|GNBrown|"}, "out 101  move 101>102 Brown ",
       {{"102"}}, "-", "102/3/Brown/"},
      {"an old room that is no room refuses the record", kGuestActions + kChangeActions,
       {"GC|RN102|RO101 or 1=1|"}, "", {{"101"}}, "101/1/Smith/EA", "-"},
      {"a move to the room it comes from is a change", kGuestActions,
       {"GC|RN101|RO101|GNSmyth|"}, "in 101 Smyth EA ", {{"101"}}, "101/1/Smyth/EA", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    start_over();
    configure("");
    handle(do_checkin, "GI|RN101|G#1|GNSmith|GLEA|");
    configure(c.services);
    for (const std::string& record : c.records)
      handle(record.starts_with("GC") ? do_guest_change
             : record.starts_with("GI") ? do_checkin : do_checkout, record);
    EXPECT_EQ(actions(), c.actions);
    EXPECT_EQ(sqlite_rows(states(), "select room from rooms order by room"), c.registry);
    EXPECT_EQ(stay_in("101"), c.in_101);
    EXPECT_EQ(stay_in("102"), c.in_102);
  }
  EXPECT_NE(read_file(log).find("\tRoom move from 101 to 102: a wake-up of room 101 is not "
                                "carried over"), std::string::npos);
}

// A database swap applies GI and GO as the room's state, and its end checks out (or names) the
// registered rooms it did not name.
TEST_F(HandlersTest, DatabaseSwapChangesOnlyWhatDiffersAndEndsWithTheRoomsItDidNotName) {
  struct {
    const char* why;
    bool swap_checkout;
    std::vector<std::string> records;
    const char* actions;
    rows_t registry;
    const char* log_line;
  } cases[] = {
      {"same guest, another guest, GOs of an empty and a stayless room, a room not named", true,
       {"DS|", "GI|RN101|G#1|GNSmith J|GLEA|SF|", "GI|RN102|GNMiller|SF|", "GO|RN104|SF|",
        "GO|RN105|SF|", "DE|"},
       "out 102 Jones in 102 Miller  out 105  out 103 Brown ", {{"101"}, {"102"}},
       "Database swap: room 103 got no record; checked out"},
      {"the rooms not named are only logged", false,
       {"DS|", "GI|RN101|G#1|GNSmith|SF|", "DE|"}, "", {{"101"}, {"102"}, {"103"}, {"105"}},
       "Database swap: room 102 got no record; left checked in"},
      {"a second DS forgets the rooms named before it", true,
       {"DS|", "GI|RN101|G#1|GNSmith|SF|", "GI|RN102|GNJones|SF|", "GI|RN103|GNBrown|SF|",
        "GO|RN105|SF|", "DS|", "GI|RN101|G#9|GNSmith|SF|", "DE|"},
       "out 105  out 101 Smith in 101 Smith  out 102 Jones out 103 Brown ", {{"101"}},
       "Database swap started again"},
      {"swap records outside a swap are applied as state", true,
       {"GI|RN101|GNSmith|SF|", "GO|RN102|SF|", "GO|RN104|SF|", "DE|"},
       "out 102  ", {{"101"}, {"103"}, {"105"}},
       "Database swap end without a swap running; no room checked out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    start_over();
    configure("");
    for (const char* record : {"GI|RN101|G#1|GNSmith|GLEA|", "GI|RN102|GNJones|",
                               "GI|RN103|G#3|GNBrown|"})
      handle(do_checkin, record);
    sqlite_exec(states(), "insert into rooms values ('105', '2026-01-01', '00:00:00', 0)");
    configure(kGuestActions, c.swap_checkout ? "" : "[pms]\nswap_checkout = no\n");
    for (const std::string& record : c.records) {
      auto handler = record.starts_with("DS")   ? do_swap_start
                     : record.starts_with("DE") ? do_swap_end
                     : record.starts_with("GI") ? do_checkin : do_checkout;
      handle(handler, record);
    }
    EXPECT_EQ(actions(), c.actions);
    EXPECT_EQ(sqlite_rows(states(), "select room from rooms order by room"), c.registry);
    EXPECT_NE(read_file(log).find(c.log_line), std::string::npos) << read_file(log);
  }
  EXPECT_EQ(stay_in("101"), "101/1/Smith/EA") << "the outside GI of the same name changed nothing";
}

TEST_F(HandlersTest, SwapLeftOpenEndsAfterItsLimitWithoutACheckout) {
  configure(kGuestActions);
  handle(do_checkin, "GI|RN101|GNSmith|");
  const auto t0 = database_swap::clock::now();
  EXPECT_FALSE(swap.start(t0));
  EXPECT_TRUE(swap.saw("102", t0 + 100s));
  EXPECT_FALSE(swap.expire(300s, t0 + 399s)) << "counted from the last swap record";
  EXPECT_TRUE(swap.expire(300s, t0 + 400s));
  EXPECT_FALSE(swap.expire(300s, t0 + 900s)) << "once";
  handle(do_swap_end, "DE|");
  EXPECT_EQ(actions(), "in 101 Smith  ");
  EXPECT_EQ(rooms().size(), 1u);
  EXPECT_EQ(count_occurrences(read_file(log), "Database swap not ended by the PMS within 300 "
                                              "seconds of its last record; no room checked out"),
            1);
}

// A room number that is not one, or a date or time that does not exist, refuses the whole
// record: a room number may stand unquoted in a template, and "101; ATTACH ..." or "0 or 1=1"
// must never reach the PBX.
TEST_F(HandlersTest, RecordsWithImpossibleRoomsDatesOrTimesAreRefusedWhole) {
  configure("checkin = pbx:update ext set name='%name%' where ext=%exten%\n"
            "wakeup_set = pbx:update ext set wakeup='%date% %time%' where ext='%exten%'\n");
  const std::pair<void (*)(const request_context&, fias_packet_t*), const char*> refused[] = {
      {do_checkin, "GI|RN101; ATTACH DATABASE 'x.db' AS x; --|GNGuest|"},
      {do_checkin, "GI|RN0 or 1=1|GNGuest|"},
      {do_wakeup_set, "WR|RN101|DA991399|TI070000|"},
      {do_wakeup_set, "WR|RN101|DA261209|TI999999|"},
      {do_wakeup_set, "WR|RN101|DA260230|TI070000|"},
  };
  for (const auto& [handler, record] : refused) handle(handler, record);
  EXPECT_EQ(ext()[0], (std::vector<std::string>{"101", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL"}));
  EXPECT_TRUE(rooms().empty());
  EXPECT_FALSE(std::ifstream(dir.file("x.db")).good());
  EXPECT_EQ(count_occurrences(read_file(log), "Record refused, nothing of it applied"), 5) << read_file(log);
  handle(do_wakeup_set, "WR|RN101|DA280229|TI235959|");
  EXPECT_EQ(ext()[0][6], "2028-02-29 23:59:59");
}

TEST_F(HandlersTest, MissingTemplateOrDriverSkipsOnlyThatService) {
  configure("bareon = nosuch:delete from ext\n"
            "dndon = pbx:insert into actions (what) values ('dndon')\n");
  handle(do_room_equip, "RE|RN101|DNN|");
  EXPECT_NE(read_file(log).find("Phone DND off"), std::string::npos);
  EXPECT_EQ(actions(), "");
  handle(do_room_equip, "RE|RN101|CS0|DNY|");
  EXPECT_NE(read_file(log).find("Unable to find DB driver nosuch"), std::string::npos);
  EXPECT_EQ(actions(), "dndon ");
  EXPECT_EQ(ext().size(), 1u);
}

TEST_F(HandlersTest, DriverNamesAreCaseSensitiveAndNoColonMeansSqlite) {
  configure("dndon = PBX:insert into actions (what) values ('upper')\n"
            "dndoff = insert into actions (what) values ('no colon')\n");
  handle(do_room_equip, "RE|RN101|DNY|");
  EXPECT_NE(read_file(log).find("Unable to find DB driver PBX"), std::string::npos);
  handle(do_room_equip, "RE|RN101|DNN|");
  EXPECT_EQ(actions(), "no colon ");
}

TEST_F(HandlersTest, WakeupDatesAndTimesUseTheTargetDriversFormats) {
  configure("wakeup_set = pbx:update ext set wakeup='%date% %time%' where ext='%exten%'\n"
            "wakeup_clear = sqlite:update ext set wakeup=NULL where ext='%exten%'\n",
            "date_format = %d.%m.%Y\ntime_format = %H%M\n");
  handle(do_wakeup_set, "WR|RN101|DA091231|TI063000|");
  EXPECT_EQ(ext()[0][6], "31.12.2009 0630");
  std::string text = read_file(log);
  EXPECT_NE(text.find("\tDate: 09-12-31"), std::string::npos);
  EXPECT_NE(text.find("\tTime: 06:30:00"), std::string::npos);
  handle(do_wakeup_clear, "WC|RN101|");
  EXPECT_EQ(ext()[0][6], "NULL");
}

// A check-in that meets a PBX file another connection holds locked waits for it (the record in
// hand, retried) and is applied once the lock goes; a statement that fails for a reason that does
// not pass is not tried again.
TEST_F(HandlersTest, CheckinMeetingALockedPbxFileIsAppliedWhenTheLockGoes) {
  configure("checkin = sqlite:update ext set name='%name%' where ext='%exten%'\n");
  {
    auto drv = s->driver("sqlite");
    std::lock_guard guard(*drv);
    ASSERT_EQ(drv->query("PRAGMA busy_timeout = 10"), 0) << "the lock is met in milliseconds";
  }
  std::optional<testutil::exclusive_lock> holder(std::in_place, pbx);

  retried checkin("GI|RN101|GNGuest|");
  request_retry& retry = checkin.retry;
  std::jthread applying([&] { handle(do_checkin, checkin.record.text, &retry); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "database is locked") >= 3; }, 5000ms));
  EXPECT_FALSE(retry.given_up());
  holder.reset();
  applying.join();
  EXPECT_EQ(ext()[0][1], "Guest");
  EXPECT_GE(retry.retries(), 2);
  EXPECT_FALSE(retry.given_up());

  configure("checkin = sqlite:update no_such_table set name='%name%' where ext='%exten%'\n");
  retried broken("GI|RN101|GNOther|");
  handle(do_checkin, broken.record.text, &broken.retry);
  EXPECT_EQ(broken.retry.retries(), 0) << "a missing table is not tried again";
  EXPECT_EQ(count_occurrences(read_file(log), "trying the request again"), 1) << read_file(log);
}

// Barring reaches the PBX; do-not-disturb goes to a database that is out of reach (its folder is
// not mounted yet) and is tried again until it comes: barring is not run a second time.
TEST_F(HandlersTest, RoomEquipmentRetriesOnlyTheStatementThatMetAnAbsentDatabase) {
  std::string later = dir.file("later"), staging = dir.file("staging");
  configure("bareon = pbx:insert into actions (what, room) values ('bareon', '%exten%')\n"
            "dndon = phones:insert into dnd (room) values ('%exten%')\n",
            "[phones]\ndbdriver = sqlite\ndatabase = " + later + "/phones.db\n");
  retried equipment("RE|RN101|CS0|DNY|");
  request_retry& retry = equipment.retry;
  std::jthread applying([&] { handle(do_room_equip, equipment.record.text, &retry); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "Error connecting to") >= 3; }, 5000ms));
  ASSERT_EQ(mkdir(staging.c_str(), 0700), 0);
  sqlite_exec(staging + "/phones.db", "create table dnd (room text)");
  ASSERT_EQ(rename(staging.c_str(), later.c_str()), 0);
  applying.join();
  EXPECT_EQ(actions(), "bareon ");
  EXPECT_EQ(sqlite_rows(later + "/phones.db", "select room from dnd"), (rows_t{{"101"}}));
  EXPECT_FALSE(retry.given_up());
}

// A reload that mends the section of a database out of reach reaches the record being retried:
// the next attempt runs on the settings in force, and the statement that ran already (barring)
// is not run again.
TEST_F(HandlersTest, RetriedStatementRunsOnTheSettingsAReloadPublished) {
  const std::string services =
      "bareon = pbx:insert into actions (what, room) values ('bareon', '%exten%')\n"
      "dndon = phones:insert into dnd (room) values ('%exten%')\n";
  const std::string mended = dir.file("phones.db");
  sqlite_exec(mended, "create table dnd (room text)");
  configure(services, "[phones]\ndbdriver = sqlite\ndatabase = " + dir.file("absent") +
                          "/phones.db\n");
  settings_store live(s);
  retried equipment("RE|RN101|CS0|DNY|");
  request_retry& retry = equipment.retry;
  const std::string& text = equipment.record.text;
  auto p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  std::jthread applying([&, first = s] {
    do_room_equip(request_context{*first, testutil::shared_store(),
                                  testutil::shared_store().journal(), &retry, nullptr, &live},
                  p.get());
  });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "Error connecting to") >= 2; }, 5000ms));
  configure(services, "[phones]\ndbdriver = sqlite\ndatabase = " + mended + "\n");
  live.publish(s);
  applying.join();
  EXPECT_EQ(actions(), "bareon ");
  EXPECT_EQ(sqlite_rows(mended, "select room from dnd"), (rows_t{{"101"}}));
  EXPECT_FALSE(retry.given_up());
}

// Cached calls posted before the posting journal was kept: the answer finds the row by the
// posting's text in its userfield.
class PostAnswer : public HandlersTest {
 protected:
  void cache_call(const std::string& seqno = "0001") {
    sqlite_exec(states(), "insert into cdrcache (src, dst, start, billsec, userfield) values "
                          "('101', '200', '2009-12-31 06:30:00', 125, 'PS|P#" + seqno + "|RN101|')");
  }
  rows_t cache() { return sqlite_rows(states(), "select src, userfield from cdrcache"); }
};

TEST_F(PostAnswer, WithTheManagerAnOkAnswerDeletesTheCachedCallOfItsNumberOnly) {
  configure("cdr_use_manager = 1\nbillok = pbx:insert into actions (what) values ('billok')\n");
  cache_call();
  cache_call("0002");  // the same room, date and time
  handle(do_pa, "PA|ASok|RN101|P#0001|DA091231|TI063000|");
  EXPECT_EQ(cache(), (rows_t{{"101", "PS|P#0002|RN101|"}}));
  EXPECT_EQ(actions(), "") << "billok is not used with the manager";
}

TEST_F(PostAnswer, WithNoremovecallsTheCachedCallKeepsTheAnswerText) {
  configure("cdr_use_manager = yes\nnoremovecalls = 1\n");
  cache_call();
  handle(do_pa, "PA|ASOK|RN101|P#0001|DA091231|TI063000|");
  EXPECT_EQ(cache(), (rows_t{{"101", "PA|ASOK|RN101|P#0001|DA091231|TI063000|"}}));
}

TEST_F(PostAnswer, AnswersThatAreNotOkOrLackASequenceNumberChangeNothing) {
  configure("cdr_use_manager = 1\n");
  cache_call();
  handle(do_pa, "PA|ASNO|RN101|P#0001|DA091231|TI063000|");
  handle(do_pa, "PA|RN101|P#0001|DA091231|TI063000|");
  handle(do_pa, "PA|ASOK|RN101|DA091231|TI063000|");
  EXPECT_EQ(cache().size(), 1u);
  std::string text = read_file(log);
  EXPECT_EQ(count_occurrences(text, "Non-OK answer on Post call. Please check"), 2);
  EXPECT_EQ(count_occurrences(text, "\tAnswer not contains p#\n"), 1);
}

// billok finds the call by what its mark wrote: it is filled with the posting's room, P#, date and
// time, whatever spelling the answer uses. A posting the journal does not know takes the answer's
// fields, its P# in four digits.
TEST_F(PostAnswer, WithoutTheManagerBillokRunsWithThePostingsValues) {
  configure("billok = pbx:insert into actions (what, room) values ('%seqno% %date% %time%', '%exten%')\n");
  journal_entry posted;
  posted.seqno = "0007";
  posted.room = "101";
  posted.da = {9, 12, 31, 0};
  posted.ti = {6, 30, 0, 0};
  posted.number = "200";
  posted.source = "pbx";
  ASSERT_TRUE(testutil::shared_store().journal().record(posted, true));
  struct {
    const char* answer;
    const char* billok;
  } cases[] = {
      {"PA|ASOK|RN101|P#7|DA091231|TI063001|", "0007 2009-12-31 06:30:00"},
      {"PA|ASOK|RN101|P#0007|DA091231|TI063000|", ""},  // settled by the answer before
      {"PA|ASOK|RN101|P#0008|DA091231|TI063000|", "0008 2009-12-31 06:30:00"},
      {"PA|ASOK|RN101|P#9|DA100101|TI070000|", "0009 2010-01-01 07:00:00"},
  };
  for (const auto& c : cases) {
    sqlite_exec(pbx, "delete from actions");
    handle(do_pa, c.answer);
    EXPECT_EQ(actions(), *c.billok ? std::string(c.billok) + " " : "") << c.answer;
  }
  EXPECT_EQ(sqlite_rows(states(), "select state from postings"), (rows_t{{"answered"}}));
}

// The PMS's answer must not be lost to a states file that cannot be written just now (a full
// disk, another writer's lock): it is tried again like a busy PBX database, and settles its call
// once the file takes it; otherwise the posting would stay open and go out again on a new link.
TEST_F(PostAnswer, AnswerMeetingALockedStatesFileSettlesItsCallWhenTheLockGoes) {
  configure("cdr_use_manager = 1\n");
  cache_call();
  testutil::short_store_waits short_waits;
  std::optional<testutil::exclusive_lock> holder(std::in_place, states());

  retried answer("PA|ASOK|RN101|P#0001|DA091231|TI063000|");
  request_retry& retry = answer.retry;
  std::jthread applying([&] { handle(do_pa, answer.record.text, &retry); });
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_occurrences(read_file(log), "database is locked") >= 2; }, 5000ms))
      << read_file(log);
  holder.reset();
  applying.join();
  EXPECT_TRUE(cache().empty()) << read_file(log);
  EXPECT_GE(retry.retries(), 1);
  EXPECT_FALSE(retry.given_up());
}

}  // namespace
