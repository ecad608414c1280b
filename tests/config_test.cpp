// Configuration: defaults, number and boolean forms, syslog detection, reload, service values.
#include <gtest/gtest.h>

#include "config.h"
#include "dbdriver.h"
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

TEST_F(ConfigTest, IntegersReadWithBaseAndPortKeptTo16Bits) {
  auto s = load("[pms]\nport = 0x1392\n[logger]\nlog_level = 010\n[services]\ncdr_mgr_port = 5039\n");
  EXPECT_EQ(s->pmsport, 5010);
  EXPECT_EQ(s->loglevel, 8);
  EXPECT_EQ(s->mgr_port, 5039);
  s = load("[pms]\nport = 70000\n");
  EXPECT_EQ(s->pmsport, 70000 & 0xFFFF);
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
