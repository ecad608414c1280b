// Loading the room registry from a real slapd started by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "config.h"
#include "log_capture.h"
#include "rooms.h"
#include "slapd_server.h"
#include "sqlite_probe.h"
#include "testutil.h"

namespace {

using rooms_t = std::set<std::string>;

class LdapRoomsTest : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  testutil::log_capture log;
  testutil::slapd_server* server = nullptr;
  std::string base;

  void SetUp() override {
    try {
      server = &testutil::slapd_server::shared();
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    base = "ou=rooms," + server->suffix();
    open_store(dir.file("states.db"));
  }

  std::unique_ptr<internal_store> store;
  void open_store(const std::string& path) {
    store = std::make_unique<internal_store>();
    store->open(path);
  }

  // The settings of an anonymous LDAPv3 search of `base` on the test's directory.
  rooms_ldap_settings directory(const char* scope, const char* filter,
                                const char* attribute = "roomNumber") const {
    rooms_ldap_settings ldap;
    ldap.host = server->host();
    ldap.port = server->port();
    ldap.version = 3;
    ldap.base = base;
    if (scope) ldap.scope = scope;
    ldap.filter = filter;
    if (attribute) ldap.attribute = attribute;
    return ldap;
  }
  int load(const char* scope, const char* filter, const char* attribute = "roomNumber",
           const std::string* search_base = nullptr) {
    rooms_ldap_settings ldap = directory(scope, filter, attribute);
    if (search_base) ldap.base = *search_base;
    return load_rooms_ldap(*store, ldap);
  }

  rooms_t rooms() {
    auto list = store->rooms();
    return {list.begin(), list.end()};
  }

  int load_conf_text(const std::string& rooms_section) {
    std::string conf = dir.file("velmorant.conf");
    testutil::write_file(conf, "[rooms]\n" + rooms_section);
    return load_rooms_conf(*store, testutil::load_settings(conf)->rooms);
  }
  std::string directory_keys() const {
    return "ldap_host = " + server->host() + "\nldap_port = " + std::to_string(server->port()) +
           "\nldap_base = " + base + "\nldap_attribute = roomNumber\n";
  }
};

TEST_F(LdapRoomsTest, ValuesOfTheFoundEntryBecomeRooms) {
  EXPECT_EQ(load("sub", "(cn=annex)"), 0) << log.text();
  EXPECT_EQ(rooms(), (rooms_t{"201", "202"}));
}

TEST_F(LdapRoomsTest, OnlyTheFirstEntryFoundCounts) {
  EXPECT_EQ(load("sub", "(roomNumber=*)"), 0) << log.text();
  EXPECT_EQ(rooms(), (rooms_t{"101", "102", "103"}));
}

TEST_F(LdapRoomsTest, ScopeWordsAreReadByTheirBeginningAndCase) {
  struct {
    const char* scope;
    const char* filter;
    int rc;
    rooms_t expected;
  } cases[] = {
      {"sub", "(cn=annex)", 0, {"201", "202"}},
      {"subtree", "(cn=annex)", 0, {"201", "202"}},
      {"Base", "(cn=annex)", 0, {"201", "202"}},  // not a scope word: a subtree search
      {nullptr, "(cn=annex)", 0, {"201", "202"}},
      {"one", "(cn=annex)", -4, {}},  // annex lies two levels down
      {"onelevel", "(roomNumber=*)", 0, {"101", "102", "103"}},
      {"base", "(roomNumber=*)", -4, {}},  // the base entry itself holds no rooms
      {"base", "(objectClass=*)", -5, {}},
  };
  for (auto& c : cases) {
    open_store(dir.file(std::string("scope-") + (c.scope ? c.scope : "none") + c.filter + ".db"));
    EXPECT_EQ(load(c.scope, c.filter), c.rc) << (c.scope ? c.scope : "(none)") << " " << c.filter;
    EXPECT_EQ(rooms(), c.expected) << (c.scope ? c.scope : "(none)") << " " << c.filter;
  }
}

TEST_F(LdapRoomsTest, AdministratorBindSucceedsAndAWrongPasswordIsRefused) {
  std::string admin = server->admin_dn();
  std::string good = server->admin_password();
  rooms_ldap_settings ldap = directory("sub", "(cn=main)");
  ldap.user = admin;
  ldap.pass = good;
  EXPECT_EQ(load_rooms_ldap(*store, ldap), 0) << log.text();
  ldap.filter = "(cn=annex)";
  ldap.pass = "wrong";
  EXPECT_EQ(load_rooms_ldap(*store, ldap), -2);
  EXPECT_TRUE(log.contains("LDAPget: bind failed: Invalid credentials\n")) << log.text();
  EXPECT_EQ(rooms(), (rooms_t{"101", "102", "103"}));
}

TEST_F(LdapRoomsTest, FailuresGiveTheirOwnCodesAndRegisterNothing) {
  std::string nowhere = "ou=nowhere," + server->suffix();
  EXPECT_EQ(load("sub", "(cn=nobody)"), -4);
  EXPECT_TRUE(log.contains("LDAPget: Value not found in directory.\n")) << log.text();
  EXPECT_EQ(load("sub", "(cn=main)", "telephoneNumber"), -5);
  EXPECT_EQ(load("sub", "(cn=main)", nullptr), -5);
  EXPECT_EQ(load("sub", "(cn=main)", "roomNumber", &nowhere), -3);
  EXPECT_TRUE(log.contains("LDAPget: search failed: No such object\n")) << log.text();
  rooms_ldap_settings gopher = directory("sub", "(cn=main)");
  gopher.host = "gopher://host";
  gopher.port = 389;
  EXPECT_EQ(load_rooms_ldap(*store, gopher), -1);
  EXPECT_TRUE(log.contains("LDAPget: unable to initialize ldap connection to gopher://host:389\n"))
      << log.text();
  rooms_ldap_settings closed = directory("sub", "(cn=main)");
  closed.port = testutil::unused_port();
  EXPECT_EQ(load_rooms_ldap(*store, closed), -2)
      << "a directory that does not answer fails at the bind";
  EXPECT_TRUE(rooms().empty());
}

// The directory library's host forms: a list separated by spaces, and host:port entries; the
// first that answers serves.
TEST_F(LdapRoomsTest, HostListsAndHostPortEntriesAreAccepted) {
  const std::string port = std::to_string(server->port());
  const std::string dead = std::to_string(testutil::unused_port());
  for (const std::string& hosts :
       {server->host() + ":" + port, "127.0.0.1:" + dead + " " + server->host() + ":" + port,
        "127.0.0.1:" + dead + " " + server->host()}) {
    open_store(dir.file("hosts" + std::to_string(hosts.size()) + ".db"));
    rooms_ldap_settings ldap = directory("sub", "(cn=annex)");
    ldap.host = hosts;
    EXPECT_EQ(load_rooms_ldap(*store, ldap), 0)
        << hosts << "\n" << log.text();
    EXPECT_EQ(rooms(), (rooms_t{"201", "202"})) << hosts;
  }
}

// A directory that takes the connection and never answers must not hold the start for ever.
TEST_F(LdapRoomsTest, SilentDirectoryFailsWithinItsTimeLimits) {
  testutil::silent_listener silent;
  auto start = std::chrono::steady_clock::now();
  rooms_ldap_settings ldap = directory("sub", "(cn=annex)");
  ldap.host = "127.0.0.1";
  ldap.port = silent.port();
  EXPECT_EQ(load_rooms_ldap(*store, ldap, ldap_limits{1, 1}), -2);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(5)) << "bounded by the 1 s limits";
  EXPECT_TRUE(rooms().empty());
}

TEST_F(LdapRoomsTest, StoreThatCannotBeOpenedIsAFailureNotASuccess) {
  open_store(dir.file("missing/states.db"));
  EXPECT_EQ(load("sub", "(cn=annex)"), -6);
  EXPECT_TRUE(log.contains("Unable to open states file")) << log.text();
}

TEST_F(LdapRoomsTest, RoomsTypeBeginningWithLdapInAnyCaseReadsTheDirectory) {
  for (const char* type : {"LDAP", "ldap", "LdapDirectory"}) {
    open_store(dir.file(std::string(type) + ".db"));
    // No ldap_version key: the default, version 2, which this directory accepts.
    EXPECT_EQ(load_conf_text(std::string("type = ") + type + "\n" + directory_keys() +
                             "ldap_scope = sub\nldap_filter = (cn=annex)\n"),
              0)
        << type << "\n" << log.text();
    EXPECT_EQ(rooms(), (rooms_t{"201", "202"})) << type;
  }
}

TEST_F(LdapRoomsTest, FailedDirectoryLoadFromTheFileIsLogged) {
  EXPECT_EQ(load_conf_text("type = ldap\n" + directory_keys() + "ldap_version = 3\n"
                           "ldap_filter = (cn=nobody)\n"),
            -1);
  EXPECT_TRUE(log.contains("LDAP rooms load failure\n")) << log.text();
  EXPECT_TRUE(rooms().empty());
}

}  // namespace
