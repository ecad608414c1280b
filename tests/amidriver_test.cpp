// The manager driver against the test manager on loopback: the ami sample through the handlers,
// the bytes on the wire, hostile values, Error answers, a manager down or hung, and the check.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "ami_server.h"
#include "amidriver.h"
#include "check.h"
#include "config.h"
#include "fias.h"
#include "handlers.h"
#include "log_capture.h"
#include "query.h"
#include "samples.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using astdb_t = std::map<std::string, std::string>;

static long long ms_since(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

namespace {

constexpr const char* kUser = "velmorant";
constexpr const char* kSecret = "s3cret";

using handler_fn = void (*)(const request_context&, fias_packet_t*);

class AmiDriverTest : public ::testing::Test {
 protected:
  // The store is made before any test's log is captured: its first opening logs the tables it
  // does not find yet.
  static void SetUpTestSuite() { testutil::shared_store_path(); }
  void SetUp() override {
    testutil::sqlite_exec(testutil::shared_store_path(), "delete from rooms;");
  }

  // The ami sample pointed at the test manager, with `extra` lines appended to [services].
  std::string sample(const std::string& extra = "", int seconds = 1) {
    std::string text =
        testutil::ami_sample(server.port(), kUser, kSecret, testutil::shared_store_path(), seconds);
    if (!extra.empty()) text.insert(text.find("\n[rooms]"), "\n" + extra);
    return text;
  }
  void configure(const std::string& text) {
    testutil::write_file(conf, text);
    settings = testutil::load_settings(conf);
  }
  void handle(handler_fn handler, const std::string& record, request_retry* retry = nullptr) {
    auto p = fias_parse_packet(record.c_str(), static_cast<int>(record.size()));
    ASSERT_TRUE(p) << record;
    handler(request_context{*settings, testutil::shared_store(), testutil::shared_store().journal(), retry}, p.get());
  }
  // The names of the actions received since `from` (an index into other_actions()).
  std::vector<std::string> actions_since(size_t from) {
    std::vector<std::string> names;
    const auto all = server.other_actions();
    for (size_t i = from; i < all.size(); ++i) {
      const std::string& a = all[i];
      const size_t start = a.find("Action: ") + 8;
      names.push_back(a.substr(start, a.find('\r', start) - start));
    }
    return names;
  }
  // A driver of its own on the test manager, outside any configuration.
  std::unique_ptr<dbdriver_t> driver(const ami_timing& timing, int seconds = 1) {
    auto drv = ami_create_drv("pbxami", timing);
    drv->host = "127.0.0.1";
    drv->port = server.port();
    drv->user = kUser;
    drv->password = kSecret;
    drv->connect_timeout = seconds;
    drv->read_timeout = seconds;
    return drv;
  }
  // Fills `tmpl` with room 101 and guest name `name` as a check-in does, and runs it.
  int run(dbdriver_t& drv, const std::string& tmpl, const std::string& name = "Guest") {
    std::lock_guard guard(drv);
    if (drv.reconnect_if_needed() != 0) return kDbUnavailable;
    return drv.query(prepare_query(drv, tmpl, {.exten = "101", .name = name}, query_trace::off));
  }

  testutil::temp_dir dir;
  std::string conf = dir.file("v.conf");
  testami::ami_server server{kUser, kSecret};
  std::shared_ptr<const Settings> settings;
  testutil::log_capture log;
};

TEST_F(AmiDriverTest, StayOnTheSampleChangesTheAstdbAsEachRecordSays) {
  configure(sample());
  server.set_event_before_answers(true);
  const std::string on = "Custom:DND101";
  struct step {
    handler_fn handler;
    const char* record;
    std::vector<std::string> actions;
    astdb_t astdb;
    std::string device_state;
  } steps[] = {
      {do_checkin, "GI|RN101|GNSmith|GLEA|",
       {"DBPut", "DBPut", "DBPut", "Setvar", "DBPut"},
       {{"BARRED/101", "NO"}, {"CIDNAME/101", "Smith"}, {"DND/101", "NO"}, {"LANGUAGE/101", "EA"}},
       "NOT_INUSE"},
      {do_room_equip, "RE|RN101|DNY|",
       {"DBPut", "Setvar"},
       {{"BARRED/101", "NO"}, {"CIDNAME/101", "Smith"}, {"DND/101", "YES"}, {"LANGUAGE/101", "EA"}},
       "BUSY"},
      {do_room_equip, "RE|RN101|CS0|",
       {"DBPut"},
       {{"BARRED/101", "YES"}, {"CIDNAME/101", "Smith"}, {"DND/101", "YES"}, {"LANGUAGE/101", "EA"}},
       "BUSY"},
      {do_room_equip, "RE|RN101|CS1|DNN|",
       {"DBPut", "DBPut", "Setvar"},
       {{"BARRED/101", "NO"}, {"CIDNAME/101", "Smith"}, {"DND/101", "NO"}, {"LANGUAGE/101", "EA"}},
       "NOT_INUSE"},
      {do_checkout, "GO|RN101|",
       {"DBPut", "DBPut", "Setvar", "DBDel", "DBDel"},
       {{"BARRED/101", "YES"}, {"DND/101", "NO"}},
       "NOT_INUSE"},
  };
  for (const step& s : steps) {
    SCOPED_TRACE(s.record);
    const size_t before = server.other_actions().size();
    handle(s.handler, s.record);
    EXPECT_EQ(actions_since(before), s.actions);
    EXPECT_EQ(server.astdb(), s.astdb);
    EXPECT_EQ(server.variables(), (astdb_t{{"DEVICE_STATE(" + on + ")", s.device_state}}));
  }
  EXPECT_EQ(server.logins(), 1);  // one login, kept open
  EXPECT_FALSE(log.contains("ERROR[")) << log.text();
}

TEST_F(AmiDriverTest, ActionGoesOnTheWireAsItsHeadersWithTheDriversActionId) {
  configure(sample());
  handle(do_room_equip, "RE|RN101|CS0|");
  const std::string wire = server.received();
  const std::string login =
      "Action: Login\r\nUsername: velmorant\r\nSecret: s3cret\r\nEvents: off\r\n"
      "ActionID: velmorant-1\r\n\r\n";
  EXPECT_EQ(wire, login + "Action: DBPut\r\nFamily: BARRED\r\nKey: 101\r\nVal: YES\r\n"
                          "ActionID: velmorant-2\r\n\r\n");
}

TEST_F(AmiDriverTest, HostileValuesChangeNothingButTheValue) {
  auto drv = driver({});
  const std::string tmpl = "Action: DBPut|Family: CIDNAME|Key: %exten%|Val: %name%";
  struct hostile {
    std::string name;
    std::string stored;
    std::string warned;  // the value as the WARNING shows it; empty: no warning
  } cases[] = {
      {"Smith\r\nAction: Originate\r\nChannel: PJSIP/999\r\n\r\n",
       "SmithAction: OriginateChannel: PJSIP/999",
       "\"Smith\\r\\nAction: Originate\\r\\nChannel: PJSIP/999\\r\\n\\r\\n\""},
      {"Smith|Val: x|Action: DBDelTree|Family: CIDNAME", "Smith|Val: x|Action: DBDelTree|Family: CIDNAME", ""},
      {"Tab\tBell\x07" "Esc\x1b[2J\x7f", "TabBellEsc[2J", "\"Tab\\tBell\\x07Esc\\x1b[2J\\x7f\""},
      {"Ren\xc3\xa9\x1f|", "Ren\xc3\xa9|", "\"Ren\xc3\xa9\\x1f|\""},
  };
  for (const hostile& c : cases) {
    SCOPED_TRACE(c.stored);
    const size_t before = server.other_actions().size();
    EXPECT_EQ(run(*drv, tmpl, c.name), 0);
    EXPECT_EQ(actions_since(before), std::vector<std::string>{"DBPut"});
    EXPECT_EQ(server.astdb(), (astdb_t{{"CIDNAME/101", c.stored}}));
    if (!c.warned.empty()) {
      EXPECT_TRUE(log.contains("control characters removed from the value " + c.warned))
          << log.text();
    }
  }
  EXPECT_EQ(server.actions("Originate") + server.actions("DBDelTree"), 0);
}

TEST_F(AmiDriverTest, RefusedActionIsLoggedWithItsServiceAndMessageAndEndsTheTemplate) {
  struct refusal {
    std::string setup;  // "error:<action>:<message>", "deny:<action>" or a template for dndon
    handler_fn handler;
    const char* record;
    std::vector<std::string> sent;
    std::string line;
  } cases[] = {
      {"error:DBPut:Failed to update entry", do_room_equip, "RE|RN101|DNY|", {"DBPut"},
       "services:dndon: manager pbxami: DBPut answered Error: Failed to update entry"},
      {"error:Setvar:Failed to set variable", do_room_equip, "RE|RN101|DNN|", {"DBPut", "Setvar"},
       "services:dndoff: manager pbxami: Setvar answered Error: Failed to set variable"},
      {"deny:Setvar", do_room_equip, "RE|RN101|DNY|", {"DBPut", "Setvar"},
       "services:dndon: manager pbxami: Setvar answered Error: Permission denied"},
      {"dndon = pbxami:Action: DBPutt|Family: DND|Key: %exten%|Val: YES", do_room_equip,
       "RE|RN101|DNY|", {"DBPutt"},
       "services:dndon: manager pbxami: DBPutt answered Error: Invalid/unknown command: DBPutt."},
      {"dndon = pbxami:Family: DND|Key: %exten%|Val: YES", do_room_equip, "RE|RN101|DNY|", {},
       "services:dndon: the first header is not Action:"},
      {"dndon = pbxami:Action: DBPut|Family DND", do_room_equip, "RE|RN101|DNY|", {},
       "services:dndon: \"Family DND\" is no header (Name: value)"},
  };
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.setup);
    server.set_allowed_actions({"Login", "Logoff", "Ping", "ListCommands", "DBPut", "DBDel",
                                "DBGet", "DBDelTree", "Setvar"});
    std::string extra;
    if (c.setup.starts_with("error:")) {
      const size_t colon = c.setup.find(':', 6);
      server.set_error_answer(c.setup.substr(6, colon - 6), c.setup.substr(colon + 1));
    } else if (c.setup.starts_with("deny:")) {
      server.set_allowed_actions({"Login", "DBPut"});
    } else {
      extra = c.setup;
    }
    std::string text = sample();
    if (!extra.empty()) {
      const size_t at = text.find("\ndndon = ");
      text.replace(at + 1, text.find('\n', at + 1) - at - 1, extra);
    }
    configure(text);
    const size_t before = server.other_actions().size();
    handle(c.handler, c.record);
    EXPECT_EQ(actions_since(before), c.sent);
    EXPECT_TRUE(log.contains("ERROR") && log.contains(c.line)) << log.text();
    server.set_error_answer("DBPut", "");
    server.set_error_answer("Setvar", "");
  }
}

// A manager that is down, closes at once, or takes no actions: the statement is unavailable
// within the driver's limits, at once during the back-off, and the record is applied by the
// worker's retries once the manager answers again.
TEST_F(AmiDriverTest, ManagerDownOrHungIsUnavailableWithinItsBoundsAndTheRecordLandsLater) {
  struct outage {
    const char* name;
    std::function<void(testami::ami_server&)> fail, mend;
    std::chrono::milliseconds bound;
  } cases[] = {
      {"hung", [](auto& s) { s.set_answer_actions(false); },
       [](auto& s) { s.set_answer_actions(true); }, 1500ms},
      {"closes at once", [](auto& s) { s.set_accept_and_close(true); },
       [](auto& s) { s.set_accept_and_close(false); }, 500ms},
      {"refuses the login", [](auto& s) { s.set_credentials("other", "x"); },
       [](auto& s) { s.set_credentials(kUser, kSecret); }, 500ms},
      {"does not answer the login",
       [](auto& s) {
         s.set_credentials("other", "x");
         s.set_failed_login_delay(10s);
       },
       [](auto& s) {
         s.set_credentials(kUser, kSecret);
         s.set_failed_login_delay(0ms);
       },
       1500ms},
  };
  for (const outage& c : cases) {
    SCOPED_TRACE(c.name);
    server.set_failed_login_delay(0ms);
    auto drv = driver({200ms, 400ms, 30s});
    const std::string tmpl = "Action: DBPut|Family: DND|Key: %exten%|Val: YES";
    ASSERT_EQ(run(*drv, "Action: Ping"), 0);  // logged in while the manager works
    drv->close();
    c.fail(server);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(*drv, tmpl), kDbUnavailable);
    EXPECT_LT(ms_since(start), c.bound.count());
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(*drv, tmpl), kDbUnavailable);  // in the back-off: at once
    EXPECT_LT(ms_since(start), 50);
    c.mend(server);

    Settings s;
    s.dndon = "pbxami:" + tmpl;
    s.drivers["pbxami"] = std::move(drv);
    pms_request request{"RE|RN101|DNY|", 1};
    retry_timing timing{50ms, 100ms, 10s};
    std::stop_source stop;
    request_retry retry(request, timing, stop.get_token());
    auto p = fias_parse_packet(request.text.c_str(), static_cast<int>(request.text.size()));
    do_room_equip(request_context{s, testutil::shared_store(), testutil::shared_store().journal(), &retry}, p.get());
    EXPECT_GT(retry.retries(), 0);
    EXPECT_FALSE(retry.given_up());
    EXPECT_EQ(server.astdb(), (astdb_t{{"DND/101", "YES"}}));
    auto clean = driver({});
    ASSERT_EQ(run(*clean, "Action: DBDel|Family: DND|Key: %exten%"), 0);
  }
}

TEST_F(AmiDriverTest, FailedConnectionsArePacedByDoublingPausesUpToTheLongest) {
  server.set_accept_and_close(true);
  auto drv = driver({100ms, 300ms, 30s});
  const auto until = std::chrono::steady_clock::now() + 3s;
  std::lock_guard guard(*drv);
  while (server.connections() < 5 && std::chrono::steady_clock::now() < until) {
    EXPECT_NE(drv->reconnect_if_needed(), 0);
    std::this_thread::sleep_for(5ms);  // the pace of a caller asking again and again
  }
  const auto times = server.connection_times();
  ASSERT_GE(times.size(), 5u);
  const long long expected[] = {100, 200, 300, 300};
  for (size_t i = 0; i < 4; ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i + 1] - times[i]);
    EXPECT_GE(gap.count(), expected[i]) << i;
    EXPECT_LT(gap.count(), expected[i] + 80) << i;
  }
}

TEST_F(AmiDriverTest, InterruptEndsAWaitForAnAnswerSoon) {
  auto drv = driver({}, 10);
  ASSERT_EQ(run(*drv, "Action: Ping"), 0);
  server.set_answer_actions(false);
  std::jthread stopper([&] {
    server.wait_for_actions("DBPut", 1, 5s);
    drv->interrupt();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run(*drv, "Action: DBPut|Family: DND|Key: %exten%|Val: YES"), kDbUnavailable);
  EXPECT_LT(ms_since(start), 1000);
  EXPECT_TRUE(log.contains("stopped waiting for the answer to DBPut")) << log.text();
}

TEST_F(AmiDriverTest, QuietConnectionIsPingedAndOpenedAgainWhenThePingGoesUnanswered) {
  auto drv = driver({1s, 30s, 0ms});
  ASSERT_EQ(run(*drv, "Action: Ping"), 0);
  std::lock_guard guard(*drv);
  EXPECT_FALSE(drv->needs_connect());
  EXPECT_EQ(server.actions("Ping"), 2);
  server.set_answer_ping(false);
  EXPECT_TRUE(drv->needs_connect());
  server.set_answer_ping(true);
  EXPECT_EQ(drv->reconnect_if_needed(), 0);
  EXPECT_EQ(server.accepted_logins(), 2);
}

TEST_F(AmiDriverTest, PollKeysOnAManagerAreRefusedAtLoadAndByTheCheck) {
  for (const char* key :
       {"billcalls", "billmark", "wakeup_result", "wrmark", "room_status", "remark"}) {
    SCOPED_TRACE(key);
    const std::string line = std::string("services:") + key +
                             ": runs on pbxami, a manager (dbdriver = ami), which returns no rows "
                             "to poll";
    testutil::write_file(conf, sample(std::string(key) + " = pbxami:Action: Ping\n"));
    std::shared_ptr<const Settings> loaded;
    EXPECT_EQ(load_conf(conf, loaded), -1);
    EXPECT_TRUE(log.contains(line)) << log.text();
    EXPECT_EQ(check_conf(conf), std::vector<std::string>{line});
  }
}

TEST_F(AmiDriverTest, CheckFindsActionsTheManagerDoesNotOfferToTheUser) {
  const std::vector<std::string> all = {"Login", "Logoff", "Ping", "ListCommands", "DBPut",
                                        "DBDel", "DBGet", "DBDelTree", "Setvar"};
  auto without = [&](const std::string& name) {
    std::vector<std::string> some;
    for (const std::string& a : all)
      if (a != name) some.push_back(a);
    return some;
  };
  const std::string offer = ": action Setvar is not one the manager offers to user velmorant";
  struct check_case {
    const char* name;
    std::vector<std::string> allowed;
    std::string extra;  // appended to [services]
    std::vector<std::string> lines;
  } cases[] = {
      {"the sample", all, "", {}},
      {"Setvar not allowed", without("Setvar"), "",
       {"services:checkin" + offer, "services:checkout" + offer, "services:dndon" + offer,
        "services:dndoff" + offer}},
      {"an unknown action", all, "wakeup_set = pbxami:Action: WakeMe|Room: %exten%",
       {"services:wakeup_set: action WakeMe is not one the manager offers to user velmorant"}},
      {"an Originate", all, "wakeup_clear = pbxami:Action: Originate|Channel: PJSIP/%exten%",
       {"services:wakeup_clear: action Originate is not one the manager offers to user "
        "velmorant"}},
  };
  for (const check_case& c : cases) {
    SCOPED_TRACE(c.name);
    server.set_allowed_actions(c.allowed);
    testutil::write_file(conf, sample(c.extra));
    EXPECT_EQ(check_conf(conf), c.lines);
  }
  EXPECT_EQ(server.actions("Setvar") + server.actions("DBPut") + server.actions("WakeMe"), 0);
}

}  // namespace
