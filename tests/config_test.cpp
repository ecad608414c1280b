// Configuration: defaults, number and boolean forms, syslog detection, reload, service values.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>

#include "config.h"
#include "dbdriver.h"
#include "log_capture.h"
#include "testutil.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  std::string path = dir.file("velmorant.conf");
  std::shared_ptr<const Settings> load(const std::string& text) {
    testutil::write_file(path, text);
    std::shared_ptr<const Settings> s;
    EXPECT_EQ(load_conf(path, s), 0);
    return s;
  }
};

TEST_F(ConfigTest, EmptyFileGivesEveryDefault) {
  auto s = load("");
  EXPECT_EQ(s->pmshost, "localhost");
  EXPECT_EQ(s->pmsport, 5010);
  EXPECT_EQ(s->statesfile, "/var/run/velmorant.db");
  EXPECT_FALSE(s->pmsinterface);
  EXPECT_EQ(s->logtype, 0);
  EXPECT_EQ(s->loglevel, 5);
  EXPECT_EQ(s->disable_log, 0);
  EXPECT_EQ(s->logfile, "/var/log/velmorant.log");
  EXPECT_EQ(s->use_manager, 0);
  EXPECT_EQ(s->mgr_port, 5038);
  EXPECT_EQ(s->noremovecalls, 0);
  EXPECT_FALSE(s->mgr_host);
  EXPECT_FALSE(s->checkin);
  EXPECT_FALSE(s->room_state);
  EXPECT_TRUE(s->drivers.empty());
}

TEST_F(ConfigTest, NumbersAreDecimalOrHexAndPortsOutsideTheirRangeRefuseTheFile) {
  auto s = load("[logger]\nlog_level = 010\n[services]\nnoremovecalls = 0x1\n");
  EXPECT_EQ(s->loglevel, 10) << "zero-padded is decimal, not octal";
  EXPECT_EQ(s->noremovecalls, 1);

  struct {
    const char* key;
    const char* value;
    int expected;  // 0: refused
  } cases[] = {
      {"pms:port", "5010", 5010},   {"pms:port", "05010", 5010},  {"pms:port", "0x1392", 5010},
      {"pms:port", "1", 1},         {"pms:port", "65535", 65535}, {"pms:port", "70000", 0},
      {"pms:port", "-1", 0},        {"pms:port", "0", 0},         {"pms:port", "abc", 0},
      {"pms:port", "50x", 0},       {"pms:port", "0x", 0},        {"pms:port", "", 0},
      {"pms:port", "99999999999999999999", 0},
      {"services:cdr_mgr_port", "05039", 5039}, {"services:cdr_mgr_port", "0x10000", 0},
      {"pbx:port", "03306", 3306},  {"pbx:port", "65536", 0},
  };
  for (auto& c : cases) {
    std::string key = c.key;
    std::string section = key.substr(0, key.find(':')), name = key.substr(key.find(':') + 1);
    auto before = load("[pms]\nhost = before\n");
    testutil::log_capture log;
    testutil::write_file(path, "[pbx]\ndbdriver = sqlite\ndatabase = " + dir.file("pbx.db") +
                                   "\n[" + section + "]\n" + name + " = " + c.value + "\n");
    std::shared_ptr<const Settings> loaded = before;
    int rc = load_conf(path, loaded);
    const std::string error = "Configuration key " + key + " = " + c.value +
                              ": not a port number from 1 to 65535";
    if (c.expected == 0) {
      EXPECT_EQ(rc, -1) << key << " = " << c.value;
      EXPECT_TRUE(log.contains(error)) << log.text();
      EXPECT_EQ(loaded, before) << "the settings in force stay";
      continue;
    }
    EXPECT_EQ(rc, 0) << key << " = " << c.value;
    EXPECT_FALSE(log.contains("not a port number")) << log.text();
    int got = section == "pms"        ? loaded->pmsport
              : section == "services" ? loaded->mgr_port
                                      : loaded->driver("pbx")->port;
    EXPECT_EQ(got, c.expected) << key << " = " << c.value;
  }
}

TEST_F(ConfigTest, BooleansFollowTheirFirstLetter) {
  struct {
    const char* value;
    int expected;
  } cases[] = {{"1", 1}, {"yes", 1}, {"Y", 1}, {"true", 1}, {"T", 1}, {"0", 0},
               {"no", 0}, {"N", 0},  {"false", 0}, {"F", 0}, {"maybe", 0}};
  for (auto& c : cases) {
    auto s = load(std::string("[services]\ncdr_use_manager = ") + c.value + "\n");
    EXPECT_EQ(s->use_manager, c.expected) << c.value;
  }
}

TEST_F(ConfigTest, SyslogIsOnWhenLogTypeMentionsItInAnyCase) {
  struct {
    const char* value;
    int expected;
  } cases[] = {{"syslog", 1}, {"SysLog", 1}, {"local-syslog", 1}, {"file", 0}};
  for (auto& c : cases) {
    auto s = load(std::string("[logger]\nlog_type = ") + c.value + "\n");
    EXPECT_EQ(s->logtype, c.expected) << c.value;
  }
  EXPECT_EQ(load("[logger]\nlog_level = 3\n")->logtype, 0);
}

TEST_F(ConfigTest, ReloadForgetsStringKeysRemovedFromTheFile) {
  auto before = load("[pms]\nhost = pms.hotel\ninterface = PBX\n[services]\ncheckin = sqlite:x\nroom_status = pbx:y\n");
  EXPECT_EQ(*before->checkin, "sqlite:x");
  EXPECT_EQ(*before->room_state, "pbx:y");
  auto after = load("[services]\ncheckout = sqlite:z\n");
  EXPECT_EQ(after->pmshost, "localhost") << "defaults come back";
  EXPECT_FALSE(after->pmsinterface);
  EXPECT_FALSE(after->checkin);
  EXPECT_EQ(*after->checkout, "sqlite:z");
  EXPECT_EQ(*before->checkin, "sqlite:x") << "a reader's snapshot is never changed under it";
}

// A section header is stored like a key without a value; read as a number or flag it used to
// reach strtol as a null pointer and end the daemon at start-up.
TEST_F(ConfigTest, SectionNamedLikeANumberOrFlagKeyLeavesItsDefault) {
  auto s = load("[pms:port]\n[logger:log_level]\n[logger:disable_log]\n[services:cdr_use_manager]\n"
                "[services:cdr_mgr_port]\n[services:noremovecalls]\n"
                "[portless]\ndbdriver = sqlite\ndatabase = " + dir.file("pbx.db") +
                "\n[portless:port]\n");
  EXPECT_EQ(s->pmsport, 5010);
  EXPECT_EQ(s->loglevel, 5);
  EXPECT_EQ(s->disable_log, 0);
  EXPECT_EQ(s->use_manager, 0);
  EXPECT_EQ(s->mgr_port, 5038);
  EXPECT_EQ(s->noremovecalls, 0);
  ASSERT_NE(s->driver("portless"), nullptr);
  EXPECT_EQ(s->driver("portless")->port, 0);
}

TEST_F(ConfigTest, MalformedLineIsReportedByFileAndLineWithoutItsText) {
  struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"[db]\nhost = h\n= password = secret\n", ", line 3: syntax error"},
      {"[db]\npassword = secret" + std::string(1100, 's') + "\n", ", line 2: line too long"},
  };
  for (auto& c : cases) {
    testutil::log_capture log;
    testutil::write_file(path, c.text);
    std::shared_ptr<const Settings> s;
    EXPECT_EQ(load_conf(path, s), -1);
    EXPECT_TRUE(log.contains("Configuration file " + path + c.error + "\n")) << log.text();
    EXPECT_EQ(log.text().find("secret"), std::string::npos) << log.text();
  }
}

std::string error_text(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = conf_error_text(fmt, ap);
  va_end(ap);
  return text;
}

TEST(ConfigErrorText, ArgumentsAreReadByTheirTypesAndStringsWithheld) {
  EXPECT_EQ(error_text("iniparser: cannot open %s\n", "/etc/v.conf"),
            "Configuration file /etc/v.conf: cannot open");
  // Each argument taken with its own width: a double or long read as int would shift the rest.
  EXPECT_EQ(error_text("iniparser: %-8.3f %s in %s (%ld) %c %*d%% %lld\n", 2.5, "pw", "f.ini",
                       70000L, 'x', 4, 12, 1LL << 40),
            "iniparser: ... ... in ... (70000) ... 12% 1099511627776");
  EXPECT_EQ(error_text("iniparser: memory allocation failure\n"),
            "iniparser: memory allocation failure");
  EXPECT_EQ(error_text("odd %s then %y %s", "secret"), "odd ... then %y %s");
}

TEST_F(ConfigTest, MissingFileFailsAndLeavesTheSnapshotAlone) {
  auto before = load("[pms]\nhost = elsewhere\n");
  std::shared_ptr<const Settings> s = before;
  EXPECT_EQ(load_conf(dir.file("absent.conf"), s), -1);
  EXPECT_EQ(s, before);
  EXPECT_EQ(s->pmshost, "elsewhere");
}

// A reload keeps the driver (and its connection) of a section it leaves as it was, and replaces
// the driver of a section it changes; the replaced one is closed when its last user lets it go,
// not kept for the rest of the run.
TEST_F(ConfigTest, ReloadKeepsUnchangedDriversAndReleasesReplacedOnes) {
  const std::string pbx = dir.file("pbx.db");
  auto first = load("[same]\ndbdriver = sqlite\ndatabase = " + pbx + "\n[moved]\ndbdriver = sqlite\n"
                    "database = " + pbx + "\n");
  testutil::write_file(path, "[same]\ndbdriver = sqlite\ndatabase = " + pbx +
                                 "\n[moved]\ndbdriver = sqlite\ndatabase = " + dir.file("other.db") + "\n");
  std::shared_ptr<const Settings> second;
  ASSERT_EQ(load_conf(path, second, first.get()), 0);
  EXPECT_EQ(second->driver("same"), first->driver("same"));
  EXPECT_NE(second->driver("moved"), first->driver("moved"));
  std::weak_ptr<dbdriver_t> replaced = first->driver("moved");
  std::shared_ptr<dbdriver_t> in_use = first->driver("moved");
  first.reset();
  EXPECT_FALSE(replaced.expired()) << "a worker still holding it keeps it";
  in_use.reset();
  EXPECT_TRUE(replaced.expired());
}

// The daemon loads its configuration before it forks, and an SQLite file opened then would hand
// its locks over to the child. Loaded for later, a driver opens nothing until it is connected.
TEST_F(ConfigTest, DriversLoadedForLaterOpenNothingUntilConnected) {
  for (driver_connect connect : {driver_connect::now, driver_connect::later}) {
    const bool now = connect == driver_connect::now;
    const std::string pbx = dir.file(now ? "now.db" : "later.db");
    testutil::write_file(path, "[pbx]\ndbdriver = sqlite\ndatabase = " + pbx +
                                   "\n[lost]\ndbdriver = sqlite\ndatabase = " +
                                   dir.file("no/dir/x.db") + "\n");
    testutil::log_capture log;
    std::shared_ptr<const Settings> s;
    ASSERT_EQ(load_conf(path, s, nullptr, connect), 0);
    EXPECT_EQ(access(pbx.c_str(), F_OK) == 0, now) << pbx;
    EXPECT_EQ(s->driver("pbx")->needs_connect(), !now);
    const std::string failure = "Can not connect to DB lost of sqlite. Please check settings\n";
    EXPECT_EQ(log.contains(failure), now) << log.text();

    connect_dbdrivers(*s);
    EXPECT_EQ(access(pbx.c_str(), F_OK), 0);
    EXPECT_FALSE(s->driver("pbx")->needs_connect());
    EXPECT_TRUE(s->driver("lost")->needs_connect());
    EXPECT_TRUE(log.contains(failure)) << log.text();
  }
}

TEST(ServiceValue, SplitsAtTheFirstColonAndDefaultsToSqlite) {
  auto v = split_service_value("asterisk:update users set t='10:00' where ext='%exten%'");
  EXPECT_EQ(v.driver, "asterisk");
  EXPECT_EQ(v.sql, "update users set t='10:00' where ext='%exten%'");
  v = split_service_value("delete from x");
  EXPECT_EQ(v.driver, "sqlite");
  EXPECT_EQ(v.sql, "delete from x");
  v = split_service_value(":select 1");
  EXPECT_EQ(v.driver, "");
  EXPECT_EQ(v.sql, "select 1");
}

}  // namespace

namespace {

TEST_F(ConfigTest, RecordsNameTheAnnouncedSetAndAnUnknownOneRefusesTheFile) {
  EXPECT_EQ(load("")->pms_records, fias_record_set::full);
  EXPECT_EQ(load("[pms]\nrecords = Basic\n")->pms_records, fias_record_set::basic);
  auto before = load("[pms]\nrecords = basic\n");
  testutil::log_capture log;
  testutil::write_file(path, "[pms]\nrecords = all\n");
  std::shared_ptr<const Settings> loaded = before;
  EXPECT_EQ(load_conf(path, loaded), -1);
  EXPECT_TRUE(log.contains("Configuration key pms:records = all: neither basic nor full"))
      << log.text();
  EXPECT_EQ(loaded, before) << "the settings in force stay";
}

}  // namespace
