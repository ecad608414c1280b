// Drivers made from configuration sections, found by section name, kept or replaced on reload.
#include <gtest/gtest.h>

#include <iniparser.h>

#include "config.h"
#include "log_capture.h"
#include "mysql.h"
#include "sqlite.h"
#include "testutil.h"

namespace {

struct dictionary_freer {
  void operator()(dictionary* d) const { iniparser_freedict(d); }
};

class DriverLoadTest : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  testutil::log_capture log;

  // Loads the drivers of a configuration text, as a configuration load does.
  void load(const std::string& text) {
    std::string path = dir.file("velmorant.conf");
    testutil::write_file(path, text);
    std::unique_ptr<dictionary, dictionary_freer> ini(iniparser_load(path.c_str()));
    ASSERT_TRUE(ini);
    driver_map loaded;
    ASSERT_EQ(load_dbdrivers(ini.get(), &drivers, loaded), 0);
    drivers = std::move(loaded);
  }
  dbdriver_t* find_dbdriver(const std::string& name) {
    auto found = drivers.find(name);
    return found == drivers.end() ? nullptr : found->second.get();
  }
  driver_map drivers;
};

TEST_F(DriverLoadTest, SqliteSectionMakesAConnectedDriverNamedInLowerCase) {
  load("[PbxLite]\ndbdriver = SQLite\ndatabase = " + dir.file("pbx.db") +
       "\ndate_format = %d.%m.%Y\ntime_format = %H%M\nhost = ignored\nuser = u\n"
       "password = p\nport = 0x10\n");
  EXPECT_EQ(find_dbdriver("PbxLite"), nullptr) << "names are compared case-sensitively";
  dbdriver_t* drv = find_dbdriver("pbxlite");
  ASSERT_NE(drv, nullptr);
  EXPECT_EQ(drv->kind, dbkind::sqlite);
  EXPECT_FALSE(drv->needs_connect()) << "the loader connects every driver once";
  EXPECT_EQ(drv->dateformat, "%d.%m.%Y");
  EXPECT_EQ(drv->timeformat, "%H%M");
  EXPECT_EQ(drv->host, "ignored");
  EXPECT_EQ(drv->user, "u");
  EXPECT_EQ(drv->password, "p");
  EXPECT_EQ(drv->database, dir.file("pbx.db"));
  EXPECT_EQ(drv->port, 16);
}

TEST_F(DriverLoadTest, LongSectionNameIsCutToFifteenCharacters) {
  load("[abcdefghijklmnopqrst]\ndbdriver = sqlite\ndatabase = " + dir.file("a.db") + "\n");
  EXPECT_EQ(find_dbdriver("abcdefghijklmnopqrst"), nullptr);
  ASSERT_NE(find_dbdriver("abcdefghijklmno"), nullptr);
}

TEST_F(DriverLoadTest, OnlySqliteAndMysqlMakeDrivers) {
  load("[ora]\ndbdriver = oracle\n[empty]\ndbdriver =\n[plain]\nhost = x\n"
       "[mydb]\ndbdriver = MySQL\nhost = 127.0.0.1\nport = " +
       std::to_string(testutil::unused_port()) + "\n");
  EXPECT_EQ(find_dbdriver("ora"), nullptr);
  EXPECT_EQ(find_dbdriver("empty"), nullptr);
  EXPECT_EQ(find_dbdriver("plain"), nullptr);
  dbdriver_t* my = find_dbdriver("mydb");
  ASSERT_NE(my, nullptr) << "a MySQL driver is kept even when its server is down";
  EXPECT_EQ(my->kind, dbkind::mysql);
  EXPECT_TRUE(my->needs_connect());
  EXPECT_TRUE(log.contains("Can not connect to DB mydb of MySQL. Please check settings\n"))
      << log.text();
  EXPECT_TRUE(log.contains("Failed to connect to database: Error: ")) << log.text();
}

TEST_F(DriverLoadTest, MysqlDefaultsArePortAndFormats) {
  auto drv = mysql_create_drv("abcdefghijklmnopq");
  EXPECT_EQ(drv->name, "abcdefghijklmno");
  EXPECT_EQ(drv->kind, dbkind::mysql);
  EXPECT_EQ(drv->port, 3306);
  EXPECT_EQ(drv->dateformat, "%Y-%m-%d");
  EXPECT_EQ(drv->timeformat, "%H:%M:%S");
  EXPECT_TRUE(drv->needs_connect()) << "never connected";
  EXPECT_EQ(drv->charset, std::nullopt);
  EXPECT_EQ(drv->connect_timeout, 5);
  EXPECT_EQ(drv->read_timeout, 30);
  EXPECT_EQ(drv->write_timeout, 30);
}

TEST_F(DriverLoadTest, MysqlSectionSetsCharsetAndTimeOutsAboveZeroOnly) {
  const std::string closed_port = "\nport = " + std::to_string(testutil::unused_port());
  load("[mydb]\ndbdriver = mysql\nhost = 127.0.0.1" + closed_port +
       "\ncharset = gbk\nconnect_timeout = 2\nread_timeout = 45\nwrite_timeout = 0\n"
       "[other]\ndbdriver = mysql\nhost = 127.0.0.1" + closed_port +
       "\nread_timeout = -3\nwrite_timeout = soon\n");
  dbdriver_t* drv = find_dbdriver("mydb");
  ASSERT_NE(drv, nullptr);
  EXPECT_EQ(drv->charset, "gbk");
  EXPECT_EQ(drv->connect_timeout, 2);
  EXPECT_EQ(drv->read_timeout, 45);
  EXPECT_EQ(drv->write_timeout, 30);
  EXPECT_TRUE(log.contains("mydb:write_timeout is not a number of seconds above 0; keeping 30"))
      << log.text();
  dbdriver_t* other = find_dbdriver("other");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->read_timeout, 30);
  EXPECT_EQ(other->write_timeout, 30);
  EXPECT_TRUE(log.contains("other:read_timeout is not a number")) << log.text();
  EXPECT_TRUE(log.contains("other:write_timeout is not a number")) << log.text();
}

TEST_F(DriverLoadTest, OverlongFormatIsRefusedWithAnErrorNamingTheSection) {
  load("[fmt]\ndbdriver = sqlite\ndatabase = " + dir.file("f.db") +
       "\ndate_format = %Y-%m-%d %A, %B %Z\ntime_format = %H:%M:%S.%%%%%%%%\n");
  dbdriver_t* drv = find_dbdriver("fmt");
  ASSERT_NE(drv, nullptr);
  EXPECT_EQ(drv->dateformat, "%Y-%m-%d");
  EXPECT_EQ(drv->timeformat, "%H:%M:%S");
  EXPECT_TRUE(log.contains("ERROR")) << log.text();
  EXPECT_TRUE(log.contains("fmt:date_format")) << log.text();
  EXPECT_TRUE(log.contains("fmt:time_format")) << log.text();
}

TEST_F(DriverLoadTest, FormatOfExactlyFifteenCharactersIsKept) {
  load("[fifteen]\ndbdriver = sqlite\ndatabase = " + dir.file("f.db") +
       "\ndate_format = %Y/%m/%d %A\n");
  dbdriver_t* drv = find_dbdriver("fifteen");
  ASSERT_NE(drv, nullptr);
  EXPECT_EQ(drv->dateformat, "%Y/%m/%d %A");
}

TEST_F(DriverLoadTest, UnopenableSqliteFileIsLoggedAndTheDriverKept) {
  load("[lost]\ndbdriver = sqlite\ndatabase = " + dir.file("no/dir/x.db") + "\n");
  dbdriver_t* drv = find_dbdriver("lost");
  ASSERT_NE(drv, nullptr);
  EXPECT_TRUE(drv->needs_connect());
  EXPECT_TRUE(log.contains("Can not connect to DB lost of sqlite. Please check settings\n"))
      << log.text();
}

TEST_F(DriverLoadTest, ReloadReplacesAChangedSectionsDriverAndReleasesTheOldOne) {
  load("[again]\ndbdriver = sqlite\ndatabase = " + dir.file("1.db") + "\n");
  std::weak_ptr<dbdriver_t> first = drivers.at("again");
  load("[again]\ndbdriver = sqlite\ndatabase = " + dir.file("2.db") + "\n");
  dbdriver_t* second = find_dbdriver("again");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->database, dir.file("2.db"));
  EXPECT_TRUE(first.expired()) << "nobody holds the old driver: it is closed, not kept connected";
}

TEST_F(DriverLoadTest, ReloadOfAnUnchangedSectionKeepsItsDriver) {
  const std::string section = "[same]\ndbdriver = sqlite\ndatabase = " + dir.file("s.db") +
                              "\ndate_format = %d.%m.%Y\n";
  load(section);
  dbdriver_t* first = find_dbdriver("same");
  ASSERT_NE(first, nullptr);
  load(section);
  EXPECT_EQ(find_dbdriver("same"), first) << "no second connection for the same settings";
  load(section + "time_format = %H%M\n");
  dbdriver_t* changed = find_dbdriver("same");
  EXPECT_NE(changed, first);
  EXPECT_EQ(changed->timeformat, "%H%M");
}

}  // namespace
