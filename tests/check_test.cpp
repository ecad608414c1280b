// The configuration check: the samples pass on their databases, each mistake gives one line
// naming its key, and `velmorant -t` prints them, exits 1, and leaves the daemon's files alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "paths.h"
#include "samples.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;
using lines = std::vector<std::string>;

namespace {

// Replaces the first `from` in `text`; a sample that no longer holds it fails the test.
std::string edit(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct check_case {
  const char* name;
  const char* sample;
  bool mysql;
  const char* database;     // the first database section
  const char* no_column;    // the database's message for the misspelt column "nam"
};

class ConfigurationCheck : public ::testing::TestWithParam<check_case> {
 protected:
  void SetUp() override {
    if (GetParam().mysql)
      pbx = std::make_unique<testutil::mysql_pbx>();
    else
      pbx = std::make_unique<testutil::sqlite_pbx>();
    pbx->reset();
    sample = testutil::point_at(testutil::etc_file(GetParam().sample), *pbx);
  }

  std::string write(const std::string& text) {
    std::string path = dir.file("velmorant.conf");
    testutil::write_file(path, text);
    return path;
  }

  // The sample with four mistakes: a misspelt column, a poll query short of a column, a key no
  // database section has, and a service naming a database that is not there.
  std::string broken() {
    std::string db = GetParam().database;
    std::string text = edit(sample, "set name=", "set nam=");
    text = edit(text, "dst, billsec, -1 from", "dst from");
    text = edit(text, "[" + db + "]\n", "[" + db + "]\nhostname = pbx.example\n");
    return edit(text, "\ndndon = " + db + ":", "\ndndon = pbx2:");
  }

  testutil::temp_dir dir;
  std::unique_ptr<testutil::pbx_database> pbx;
  std::string sample;
};

TEST_P(ConfigurationCheck, SamplePassesOnItsDatabase) {
  EXPECT_EQ(check_conf(write(sample)), lines{});
}

TEST_P(ConfigurationCheck, EachMistakeGivesOneLineNamingItsKey) {
  EXPECT_EQ(check_conf(write(broken())),
            (lines{std::string(GetParam().database) + ":hostname: unknown key",
                   std::string("services:checkin: ") + GetParam().no_column,
                   "services:dndon: no database section \"pbx2\"",
                   "services:billcalls: returns 3 columns, the poller reads at least 4"}));
}

INSTANTIATE_TEST_SUITE_P(
    Etc, ConfigurationCheck,
    ::testing::Values(check_case{"reference", "velmorant.conf", false, "pbx",
                                 "no such column: nam"},
                      check_case{"sqlite", "velmorant-sqlite.conf", false, "pbx",
                                 "no such column: nam"},
                      check_case{"mysql", "velmorant-mysql.conf", true, "asterisk",
                                 "Unknown column 'nam' in 'SET'"}),
    [](const auto& info) { return std::string(info.param.name); });

// What the daemon would silently ignore or misread: each gets its line, in the file's order,
// then the services in the order of [services].
TEST(ConfigurationCheckFindings, IgnoredKeysSectionsAndDatabasesAreNamed) {
  testutil::temp_dir dir;
  testutil::sqlite_pbx pbx;
  pbx.reset();
  const std::string db = pbx.connection()["database"];
  const std::string conf = dir.file("v.conf");
  testutil::write_file(conf,
      "[pms]\nport = 5010\nhots = pms.example\n"
      "[rooms]\nroom1 = 101\nroom3 = 103\nroom01 = 104\n"
      "[pbx]\ndbdriver = postgres\n"
      "[hotelpbxdatabase]\ndbdriver = sqlite\ndatabase = " + db + "\n"
      "date_format = %Y-%m-%d %H:%M:%S\nconnect_timeout = 0\n"
      "[gone]\ndbdriver = sqlite\ndatabase = " + dir.file("no/such/folder.db") + "\n"
      "[sevices]\ncheckin = pbx:select 1\n"
      "[services]\n"
      "checkin = hotelpbxdatabas:update extensions set name=%name% where exten='%exten%'\n"
      "dndon = pbx:update extensions set dnd=1\n"
      "bareon = gone:update nothing\n"
      "billcalls = hotelpbxdatabas:select date(calldate), time(calldate), dst, billsec from cdr\n"
      "billmark = gone:update cdr set userfield='PS %seqno%'\n"
      "wrmark = hotelpbxdatabas:delete from extensions\n"
      "room_status = hotelpbxdatabas:update extensions set room_state=NULL\n");
  EXPECT_EQ(check_conf(conf),
            (lines{"pms:hots: unknown key",
                   "rooms:room3: not read, rooms:room2 is missing",
                   "rooms:room01: unknown key",
                   "pbx:dbdriver: \"postgres\" is neither sqlite nor mysql",
                   "hotelpbxdatabase: a database section's name has at most 15 characters",
                   "hotelpbxdatabase:date_format: longer than 15 characters, not used",
                   "hotelpbxdatabase:connect_timeout: not a number of seconds above 0, not used",
                   "sevices: unknown section, without a dbdriver key it is no database",
                   "gone: unable to connect to the database; its templates are not checked",
                   "services:checkin: %name% outside single quotes: its value is not "
                   "protected there",
                   "services:checkin: no such column: Guest",
                   "services:dndon: no database section \"pbx\"",
                   "services:billmark: runs on the database of services:billcalls "
                   "(\"hotelpbxdatabas\"), not on \"gone\"",
                   "services:wrmark: never run without services:wakeup_result",
                   "services:room_status: returns 0 columns, the poller reads 1"}));
}

// The real program, as an administrator runs it beside the live service.
TEST(ConfigurationCheckProgram, PrintsTheFindingsAndTheirCountAndTouchesNoStatesFile) {
  testutil::temp_dir dir;
  testutil::sqlite_pbx pbx;
  pbx.reset();
  const std::string states = dir.file("states.db");
  const std::string good =
      edit(testutil::point_at(testutil::etc_file("velmorant-sqlite.conf"), pbx),
           "statesfile = /var/lib/velmorant/velmorant.db", "statesfile = " + states);
  const std::string conf = dir.file("v.conf"), out = dir.file("out"), err = dir.file("err");
  auto run = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{testpaths::velmorant_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::child_process p(argv, out, err);
    return p.wait_exit(20s).value_or(-1);
  };

  testutil::write_file(conf, good);
  EXPECT_EQ(run({"-t", "-c", conf}), 0);
  EXPECT_EQ(read_file(out), "configuration ok\n");
  EXPECT_EQ(read_file(err), "");

  testutil::write_file(conf, edit(edit(good, "dst, billsec, -1 from", "dst from"),
                                  "\n[pbx]\n", "\n[pbx]\nhostname = pbx.example\n"));
  EXPECT_EQ(run({"--test", "-c", conf}), 1);
  EXPECT_EQ(read_file(out), "pbx:hostname: unknown key\n"
                            "services:billcalls: returns 3 columns, the poller reads at least 4\n"
                            "2 problems\n");

  // A file the daemon would not start with is one problem.
  EXPECT_EQ(run({"-t", "-c", dir.file("absent.conf")}), 1);
  EXPECT_EQ(read_file(out), dir.file("absent.conf") +
                                ": cannot be read: No such file or directory\n1 problem\n");
  testutil::write_file(conf, edit(good, "port = 5010", "port = 70000"));
  EXPECT_EQ(run({"-t", "-c", conf}), 1);
  EXPECT_EQ(read_file(out), conf + ": not loaded, see the ERROR lines on standard error\n"
                                   "1 problem\n");
  EXPECT_NE(read_file(err).find("pms:port = 70000: not a port number"), std::string::npos)
      << read_file(err);

  EXPECT_NE(access(states.c_str(), F_OK), 0) << "the check opened the states file";
  EXPECT_NE(access((states + ".lock").c_str(), F_OK), 0) << "the check took the instance lock";
}

}  // namespace
