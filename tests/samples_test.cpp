// The sample configurations of etc/: they load, they name only keys and databases the daemon
// knows, and their templates run as the daemon runs them, on the schemas of etc/pbx-sqlite.sql
// (SQLite) and etc/pbx-mysql.sql (the tests' MariaDB), so a sample never drifts into bad SQL.
#include <gtest/gtest.h>
#include <iniparser.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "dbdriver.h"
#include "fias.h"
#include "handlers.h"
#include "log_capture.h"
#include "paths.h"
#include "query.h"
#include "samples.h"
#include "testutil.h"

using testutil::etc_file;
using testutil::read_file;
using testutil::rows_t;

namespace {

namespace fs = std::filesystem;

using ini_ptr = std::unique_ptr<dictionary, decltype(&iniparser_freedict)>;

ini_ptr parse(const std::string& path) {
  return ini_ptr(iniparser_load(path.c_str()), &iniparser_freedict);
}

// The keys of a section as iniparser sees them ("section:key", lower case).
std::vector<std::string> keys_of(dictionary* ini, const std::string& section) {
  int n = iniparser_getsecnkeys(ini, section.c_str());
  std::vector<const char*> keys(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) iniparser_getseckeys(ini, section.c_str(), keys.data());
  return {keys.begin(), keys.end()};
}

std::vector<std::string> sections_of(dictionary* ini) {
  std::vector<std::string> names;
  for (int i = 0; i < iniparser_getnsec(ini); ++i) names.emplace_back(iniparser_getsecname(ini, i));
  return names;
}

bool is_database_section(dictionary* ini, const std::string& section) {
  return iniparser_getstring(ini, (section + ":dbdriver").c_str(), nullptr) != nullptr;
}

// Every key the daemon's sources read, found where the code names them: "section:key" of the
// fixed sections anywhere in src/, the services of the service table, and the keys the driver
// loader takes from a database section as "database:key".
std::set<std::string> keys_the_sources_read() {
  std::set<std::string> keys;
  std::regex literal("\"((pms|logger|services|rooms):[a-z_]+)");
  for (const auto& entry : fs::directory_iterator(testpaths::source_dir() + "/src")) {
    if (entry.path().extension() != ".cpp") continue;
    std::string text = read_file(entry.path());
    for (std::sregex_iterator m(text.begin(), text.end(), literal), end; m != end; ++m)
      keys.insert((*m)[1]);
  }
  for (const service_def& service : services()) keys.insert("services:" + std::string(service.key));
  std::string loader = read_file(testpaths::source_dir() + "/src/config.cpp");
  std::regex database_key(R"re((ini, (name|section), "|\(name\) \+ ":)([a-z_]+)")re");
  for (std::sregex_iterator m(loader.begin(), loader.end(), database_key), end; m != end; ++m)
    keys.insert("database:" + (*m)[3].str());
  return keys;
}

// The daemon's own list of the keys it reads, which the configuration check goes by.
std::set<std::string> keys_the_daemon_reads() {
  std::set<std::string> keys;
  for (std::string_view key : conf_keys()) keys.emplace(key);
  return keys;
}

// A key of a sample as the daemon would look it up: rooms:room7 is one of the rooms:room keys.
std::string generic_key(const std::string& key) {
  static const std::regex numbered_room("rooms:room[0-9]+");
  return std::regex_match(key, numbered_room) ? "rooms:room" : key;
}

TEST(Samples, EverySampleInEtcIsCheckedHere) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(testpaths::source_dir() + "/etc"))
    if (entry.path().extension() == ".conf") found.insert(entry.path().filename());
  EXPECT_EQ(found, (std::set<std::string>{"velmorant.conf", "velmorant-sqlite.conf",
                                          "velmorant-mysql.conf", "velmorant-ami.conf",
                                          "cdr_sqlite3_custom.conf", "cdr_manager.conf"}));
}

TEST(Samples, TheDaemonsListOfKeysIsWhatItsSourcesRead) {
  std::set<std::string> read = keys_the_sources_read();
  ASSERT_TRUE(read.count("services:billcalls") && read.count("rooms:ldap_filter") &&
              read.count("database:dbdriver") && read.count("database:port"));
  EXPECT_EQ(keys_the_daemon_reads(), read);
}

TEST(Samples, UseOnlyKeysTheDaemonReadsAndDatabasesOfTheirOwn) {
  std::set<std::string> known = keys_the_daemon_reads();
  for (const char* name : {"velmorant.conf", "velmorant-sqlite.conf", "velmorant-mysql.conf",
                           "velmorant-ami.conf"}) {
    SCOPED_TRACE(name);
    ini_ptr ini = parse(etc_file(name));
    ASSERT_TRUE(ini);
    for (const std::string& section : sections_of(ini.get())) {
      bool database = is_database_section(ini.get(), section);
      EXPECT_TRUE(database || section == "pms" || section == "logger" || section == "services" ||
                  section == "rooms")
          << "section " << section << " is neither a database nor read by the daemon";
      for (const std::string& key : keys_of(ini.get(), section)) {
        std::string generic = database ? "database" + key.substr(section.size()) : generic_key(key);
        EXPECT_TRUE(known.count(generic)) << key << " is not read by the daemon";
      }
    }
    for (const service_def& service : services()) {
      std::string key = "services:" + std::string(service.key);
      const char* value = iniparser_getstring(ini.get(), key.c_str(), nullptr);
      if (!value) continue;
      std::string driver = split_service_value(value).driver;
      EXPECT_TRUE(is_database_section(ini.get(), driver)) << key << " names driver " << driver;
      // A mark belongs to its poll query and runs on that query's driver.
      if (service.poll.empty()) continue;
      const std::string poll_key = "services:" + std::string(service.poll);
      const char* poll = iniparser_getstring(ini.get(), poll_key.c_str(), nullptr);
      ASSERT_TRUE(poll) << key << " without " << poll_key;
      EXPECT_EQ(driver, split_service_value(poll).driver) << key;
    }
  }
}

TEST(Samples, ReferenceAndManPageDescribeEveryKeyTheDaemonReads) {
  std::string reference = read_file(etc_file("velmorant.conf"));
  std::string manual = read_file(testpaths::source_dir() + "/doc/velmorant.8");
  ASSERT_FALSE(manual.empty());
  for (const std::string& key : keys_the_daemon_reads()) {
    std::string name = key.substr(key.find(':') + 1);
    // Active or commented out, the key has a line of its own in the reference.
    std::regex line("(^|\n);?" + name + "[0-9]* = ");
    EXPECT_TRUE(std::regex_search(reference, line)) << name << " missing from etc/velmorant.conf";
    EXPECT_NE(manual.find(name), std::string::npos) << name << " missing from doc/velmorant.8";
  }
  // The reference is the documentation of the services: it sets every one of them.
  ini_ptr ini = parse(etc_file("velmorant.conf"));
  for (const service_def& service : services())
    EXPECT_TRUE(iniparser_find_entry(ini.get(), ("services:" + std::string(service.key)).c_str()))
        << service.key;
}

// The words of the man page's .TP items in [services] after the service values begin: the
// services it describes, each once.
std::vector<std::string> manual_services(const std::string& manual) {
  size_t at = manual.find("The other keys of this section are service values");
  const size_t end = manual.find(".SS Placeholders", at);
  std::vector<std::string> keys;
  for (at = manual.find("\n.TP\n", at); at < end; at = manual.find("\n.TP\n", at + 1)) {
    std::istringstream item(manual.substr(at + 5, manual.find('\n', at + 5) - at - 5));
    std::string macro, word;
    item >> macro;
    while (item >> word)
      if (word.front() != '"') keys.push_back(word);  // the ", " between two keys
  }
  return keys;
}

TEST(Samples, ManPageListsExactlyTheServicesOfTheServiceTable) {
  std::vector<std::string> listed =
      manual_services(read_file(testpaths::source_dir() + "/doc/velmorant.8"));
  std::multiset<std::string> table;
  for (const service_def& service : services()) table.emplace(service.key);
  EXPECT_EQ(std::multiset<std::string>(listed.begin(), listed.end()), table);
}

// Every key and value of a parsed file, runs of blanks made one (continuation lines add some).
std::map<std::string, std::string> entries_of(const std::string& path) {
  ini_ptr ini = parse(path);
  std::map<std::string, std::string> entries;
  if (!ini) return entries;
  for (const std::string& section : sections_of(ini.get()))
    for (const std::string& key : keys_of(ini.get(), section))
      entries[key] = std::regex_replace(iniparser_getstring(ini.get(), key.c_str(), ""),
                                        std::regex("[ \t]+"), " ");
  return entries;
}

// Replaces every `from` in `text` by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The example blocks of a man page that are configuration files, as a reader sees them.
std::vector<std::string> configuration_examples(const std::string& manual) {
  std::vector<std::string> examples;
  const std::string open = "\n.EX\n", close = "\n.EE\n";
  for (size_t at = manual.find(open); at != std::string::npos; at = manual.find(open, at + 1)) {
    size_t text_start = at + open.size(), text_end = manual.find(close, text_start);
    if (text_end == std::string::npos) break;
    std::string text = manual.substr(text_start, text_end - text_start);
    if (text.find("[pms]") == std::string::npos) continue;
    text = replace_all(text, R"(\(aq)", "'");
    text = replace_all(text, R"(\-)", "-");
    text = replace_all(text, R"(\e)", "\\");
    examples.push_back(text + "\n");
  }
  return examples;
}

TEST(Samples, ManPageExamplesAreTheSqliteAndMysqlSamples) {
  testutil::temp_dir dir;
  std::vector<std::string> examples =
      configuration_examples(read_file(testpaths::source_dir() + "/doc/velmorant.8"));
  ASSERT_EQ(examples.size(), 2u);
  const char* samples[] = {"velmorant-sqlite.conf", "velmorant-mysql.conf"};
  for (size_t i = 0; i < 2; ++i) {
    std::string path = dir.file("example" + std::to_string(i) + ".conf");
    testutil::write_file(path, examples[i]);
    std::map<std::string, std::string> example = entries_of(path);
    EXPECT_FALSE(example.empty()) << examples[i];
    EXPECT_EQ(example, entries_of(etc_file(samples[i]))) << samples[i];
  }
}

// ---- Asterisk's own configuration files ----

// A section of an Asterisk configuration file: "key => value" or "key = value" lines, ";"
// comments.
std::map<std::string, std::string> asterisk_section(const std::string& path,
                                                    const std::string& name) {
  std::map<std::string, std::string> entries;
  std::istringstream in(read_file(path));
  std::string line, section;
  auto trim = [](std::string t) {
    t.erase(0, t.find_first_not_of(" \t"));
    t.erase(t.find_last_not_of(" \t") + 1);
    return t;
  };
  while (std::getline(in, line)) {
    line = trim(line.substr(0, line.find(';')));
    if (line.starts_with("[")) section = line.substr(1, line.find(']') - 1);
    size_t eq = line.find('=');
    if (section != name || eq == std::string::npos) continue;
    size_t value = line.compare(eq, 2, "=>") == 0 ? eq + 2 : eq + 1;
    entries[trim(line.substr(0, eq))] = trim(line.substr(value));
  }
  return entries;
}

// A list as Asterisk splits it: at commas outside parentheses, so ${CDR(amaflags,u)} is one.
std::vector<std::string> asterisk_list(const std::string& text) {
  std::vector<std::string> items(1);
  int depth = 0;
  for (char c : text) {
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (c == ',' && depth == 0)
      items.emplace_back();
    else if (c != ' ' || !items.back().empty())
      items.back() += c;
  }
  for (std::string& item : items) item.erase(item.find_last_not_of(' ') + 1);
  return items;
}

// A call as Asterisk's CDR() function reads it, by the function's argument.
using cdr_fields = std::map<std::string, std::string>;

// The Cdr event of a real Asterisk 22 for a call of room 101, in the CDR() names.
cdr_fields real_call() {
  return {{"start", "2026-12-08 20:14:55"}, {"clid", "\"Room 101\" <101>"}, {"src", "101"},
          {"dst", "0049301234"}, {"dcontext", "from-rooms"},
          {"channel", "Local/101@phone-sim-00000000;1"},
          {"dstchannel", "Local/0049301234@pstn-sim-00000001;1"}, {"lastapp", "Dial"},
          {"lastdata", "Local/0049301234@pstn-sim/n,20"}, {"duration", "5"}, {"billsec", "5"},
          {"disposition", "ANSWERED"}, {"amaflags,u", "3"}, {"accountcode", ""},
          {"uniqueid", "1796760895.0"}, {"userfield", "set by the dialplan"}};
}

// The statement etc/cdr_sqlite3_custom.conf makes Asterisk's cdr_sqlite3_custom run for a call:
// a NULL for the table's first column, then each configured value in order, its quotes
// stripped, every ${CDR(...)} replaced by the call's field, quoted for SQLite.
std::string cdr_sqlite3_custom_insert(const cdr_fields& call) {
  auto conf = asterisk_section(etc_file("cdr_sqlite3_custom.conf"), "master");
  std::string sql = "INSERT INTO " + conf["table"] + " VALUES (NULL";
  for (std::string value : asterisk_list(conf["values"])) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
      value = value.substr(1, value.size() - 2);
    for (size_t at = value.find("${"); at != std::string::npos; at = value.find("${", at)) {
      size_t end = value.find(")}", at);
      std::string function = value.substr(at, end == std::string::npos ? end : end + 2 - at);
      auto field = function.starts_with("${CDR(") ? call.find(function.substr(6, end - at - 6))
                                                 : call.end();
      if (field == call.end()) {
        ADD_FAILURE() << function << " reads no field of a call";
        break;
      }
      value.replace(at, function.size(), field->second);
      at += field->second.size();
    }
    sql += ", '" + replace_all(value, "'", "''") + "'";
  }
  return sql + ")";
}

// The manager sample's actions need only the write classes its user has in
// manager-velmorant.conf (Asterisk's classes of each action), and the dialplan fragment reads
// every AstDB family and custom device state it sets.
TEST(Samples, AmiSampleNeedsOnlyItsUsersRightsAndTheDialplanReadsWhatItSets) {
  const std::map<std::string, std::string> kWriteClass = {
      {"DBPut", "system"}, {"DBDel", "system"}, {"DBDelTree", "system"}, {"Setvar", "call"}};
  ini_ptr ini = parse(etc_file("velmorant-ami.conf"));
  ASSERT_TRUE(ini);
  std::set<std::string> classes, families, states;
  for (const service_def& service : services()) {
    const std::string key = "services:" + std::string(service.key);
    const char* value = iniparser_getstring(ini.get(), key.c_str(), nullptr);
    if (!value) continue;
    EXPECT_EQ(split_service_value(value).driver, "pbxami") << key;
    std::istringstream headers(split_service_value(value).sql);
    for (std::string header; std::getline(headers, header, '|');) {
      if (header.starts_with("Action: ")) {
        auto found = kWriteClass.find(header.substr(8));
        ASSERT_NE(found, kWriteClass.end()) << header;
        classes.insert(found->second);
      }
      if (header.starts_with("Family: ")) families.insert(header.substr(8));
      if (header.starts_with("Variable: DEVICE_STATE("))
        states.insert(header.substr(23, header.find('%') - 23));
    }
  }
  EXPECT_EQ(families, (std::set<std::string>{"BARRED", "CIDNAME", "DND", "LANGUAGE"}));
  EXPECT_EQ(states, std::set<std::string>{"Custom:DND"});

  const std::string manager = etc_file("asterisk/manager-velmorant.conf");
  auto user = asterisk_section(manager, iniparser_getstring(ini.get(), "pbxami:user", ""));
  std::set<std::string> granted;
  for (const std::string& c : asterisk_list(user["write"])) granted.insert(c);
  EXPECT_EQ(granted, classes);
  EXPECT_EQ(user["read"], "");
  EXPECT_EQ(asterisk_section(manager, iniparser_getstring(ini.get(), "services:cdr_mgr_user", ""))
                .at("read"),
            "cdr");

  const std::string dialplan = read_file(etc_file("asterisk/extensions-hotel.conf"));
  for (const std::string& family : families)
    EXPECT_NE(dialplan.find("DB_EXISTS(" + family + "/"), std::string::npos) << family;
  EXPECT_NE(dialplan.find("hint,Custom:DND101"), std::string::npos);
}

TEST(Samples, AsteriskSqliteBackendWritesCallsIntoThePbxSchema) {
  testutil::temp_dir dir;
  std::string db = dir.file("master.db");
  testutil::sqlite_exec(db, read_file(etc_file("pbx-sqlite.sql")));
  auto conf = asterisk_section(etc_file("cdr_sqlite3_custom.conf"), "master");
  ASSERT_EQ(conf["table"], "cdr");
  std::vector<std::string> columns = asterisk_list(conf["columns"]);

  // The module takes an existing table only with its sequence first and one column more than
  // configured; columns are filled by position, so their order must be the table's.
  rows_t table = testutil::sqlite_rows(db, "select name, type, pk from pragma_table_info('cdr')");
  ASSERT_EQ(table.size(), columns.size() + 1);
  EXPECT_EQ(table[0], (std::vector<std::string>{"AcctId", "INTEGER", "1"}));
  for (size_t i = 0; i < columns.size(); ++i) EXPECT_EQ(table[i + 1][0], columns[i]) << i;
  EXPECT_EQ(asterisk_list(conf["values"]).size(), columns.size());

  // Two records of the same second, as a second leg gives them, are two rows.
  std::string insert = cdr_sqlite3_custom_insert(real_call());
  testutil::sqlite_exec(db, insert + ";" + insert);
  EXPECT_EQ(testutil::sqlite_rows(db, "select group_concat(AcctId) from cdr"), (rows_t{{"1,2"}}));
  EXPECT_EQ(testutil::sqlite_rows(db, "select calldate, clid, src, dst, typeof(billsec), billsec, "
                                      "disposition, amaflags, lastdata, userfield from cdr "
                                      "where AcctId=2"),
            (rows_t{{"2026-12-08 20:14:55", "\"Room 101\" <101>", "101", "0049301234", "integer",
                     "5", "ANSWERED", "3", "Local/0049301234@pstn-sim/n,20", ""}}));

  EXPECT_EQ(asterisk_section(etc_file("cdr_manager.conf"), "general")["enabled"], "yes");
}

// ---- The templates on real schemas ----

// The statements that play the PBX's part on the database of a sample (a call ends, a wake-up
// call is answered) and read what the daemon changed.
struct pbx_probes {
  std::string room_probe;     // name, language, dnd, barred, "date time" of a wake-up or ""
  std::string call_mark;      // userfield of room 101's call
  std::string add_calls;      // room 101's call, an unanswered one, and one of room 102
  std::string answer_wakeup;  // the wake-up application reports "answered" for room 101
  std::string report_state;   // housekeeping dials state 4 in room 101
  std::string add_room_102;   // a second room phone, for a room move
  std::string both_rooms;     // room, name, language, dnd, barred, msglight of 101 and 102
};

pbx_probes sqlite_probes() {
  pbx_probes p;
  p.room_probe = "select name, language, dnd, barred, trim(wakeup_date || ' ' || wakeup_time) "
                 "from extensions where exten='101'";
  p.call_mark = "select userfield from cdr where src='101' and billsec>0";
  // The calls as Asterisk's SQLite backend writes them with the sample configuration.
  for (const cdr_fields& changes : std::vector<cdr_fields>{
           {{"start", "2026-12-08 10:15:00"}, {"dst", "00442079460123"}, {"duration", "131"},
            {"billsec", "125"}},
           {{"start", "2026-12-08 10:20:00"}, {"dst", "200"}, {"duration", "20"},
            {"billsec", "0"}, {"disposition", "NO ANSWER"}},
           {{"start", "2026-12-08 10:25:00"}, {"src", "102"}, {"dst", "300"},
            {"duration", "40"}, {"billsec", "35"}}}) {
    cdr_fields call = changes;
    call.merge(real_call());
    p.add_calls += cdr_sqlite3_custom_insert(call) + ";";
  }
  p.answer_wakeup = "update extensions set wakeup_result=1 where exten='101'";
  p.report_state = "update extensions set room_state=4 where exten='101'";
  p.add_room_102 = "insert into extensions (exten, barred) values ('102', 1)";
  p.both_rooms = "select exten, name, language, dnd, barred, msglight from extensions "
                 "where exten in ('101', '102') order by exten";
  return p;
}

pbx_probes mysql_probes() {
  pbx_probes p;
  p.room_probe = "select name, language, dnd, barred, coalesce((select concat(wakeup_date, ' ', "
                 "wakeup_time) from asterisk.wakeups w where w.extension=u.extension limit 1), '') "
                 "from asterisk.users u where extension='101'";
  p.call_mark = "select userfield from asteriskcdrdb.cdr where src='101' and billsec>0";
  p.add_calls = "insert into asteriskcdrdb.cdr (calldate, src, dst, duration, billsec, "
                "disposition) values "
                "('2026-12-08 10:15:00', '101', '00442079460123', 131, 125, 'ANSWERED'), "
                "('2026-12-08 10:20:00', '101', '200', 20, 0, 'NO ANSWER'), "
                "('2026-12-08 10:25:00', '102', '300', 40, 35, 'ANSWERED')";
  p.answer_wakeup = "update asterisk.wakeups set result=1 where extension='101'";
  p.report_state = "update asterisk.users set room_state=4 where extension='101'";
  p.add_room_102 = "insert into asterisk.users (extension, barred) values ('102', 1)";
  p.both_rooms = "select extension, name, language, dnd, barred, msglight from asterisk.users "
                 "where extension in ('101', '102') order by extension";
  return p;
}

struct sample_case {
  const char* file;
  bool mysql;
};

class SampleTemplates : public ::testing::TestWithParam<sample_case> {
 protected:
  // The store logs its first creation; that belongs to no sample.
  static void SetUpTestSuite() { testutil::shared_store(); }

  void SetUp() override {
    if (GetParam().mysql) {
      pbx = std::make_unique<testutil::mysql_pbx>();
      probes = mysql_probes();
    } else {
      pbx = std::make_unique<testutil::sqlite_pbx>();
      probes = sqlite_probes();
    }
    pbx->reset();
    std::string conf = dir.file("velmorant.conf");
    testutil::write_file(conf, testutil::point_at(etc_file(GetParam().file), *pbx));
    settings = testutil::load_settings(conf);
  }

  void handle(void (*handler)(const request_context&, fias_packet_t*), const std::string& text) {
    fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
    ASSERT_TRUE(p) << text;
    handler(request_context{*settings, testutil::shared_store(), testutil::shared_store().journal()},
            p.get());
  }
  dbdriver_t* find_dbdriver(const std::string& name) { return settings->driver(name).get(); }

  std::vector<std::string> room() {
    rows_t r = pbx->rows(probes.room_probe);
    return r.size() == 1 ? r[0] : std::vector<std::string>{};
  }

  // Runs a poll query as the poller does and returns the first row's columns, read as the
  // poller reads them (text or integer), or nothing when it finds no row.
  std::optional<std::vector<std::string>> poll(const std::string& setting,
                                               const std::vector<char>& layout) {
    service_value sv = split_service_value(setting);
    dbdriver_t* drv = find_dbdriver(sv.driver);
    if (!drv) {
      ADD_FAILURE() << "no driver " << sv.driver;
      return std::nullopt;
    }
    std::lock_guard guard(*drv);
    drv->reconnect_if_needed();
    std::string q = prepare_query(*drv, sv.sql, {.exten = "101"}, query_trace::plain);
    EXPECT_EQ(drv->query(q), 0) << q;
    std::optional<std::vector<std::string>> first;
    int rows = 0;
    while (drv->fetch_row() == 0) {
      ++rows;
      std::vector<std::string> values;
      for (size_t i = 0; i < layout.size(); ++i) {
        int column = static_cast<int>(i), number = 0;
        std::string text;
        if (layout[i] == 'i') {
          EXPECT_EQ(drv->fetch_int_field(column, number), 0) << q << " column " << i;
          text = std::to_string(number);
        } else {
          EXPECT_EQ(drv->fetch_char_field(column, text, 256), 0) << q << " column " << i;
        }
        values.push_back(text);
      }
      if (!first) first = values;
    }
    drv->free_result();
    EXPECT_LE(rows, 1) << q << ": one row of room 101 was expected";
    return first;
  }

  // Runs a mark on its poll query's driver with the reported row's values.
  void mark(const std::string& poll_setting, const std::string& mark_setting,
            const std::string& date, const std::string& time, const char* seqno) {
    dbdriver_t* drv = find_dbdriver(split_service_value(poll_setting).driver);
    ASSERT_TRUE(drv);
    std::lock_guard guard(*drv);
    query_values v{.exten = "101", .seqno = seqno, .date_text = date, .time_text = time};
    std::string m = prepare_query(*drv, split_service_value(mark_setting).sql, v,
                                  query_trace::plain);
    EXPECT_EQ(drv->query(m), 0) << m;
  }

  // True when `text` is exactly a date or time in the driver's `pattern`.
  static bool reads_as(const std::string& text, const std::string& pattern) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), pattern.c_str(), &tm);
    return end && *end == '\0';
  }

  testutil::temp_dir dir;
  testutil::log_capture log;
  std::unique_ptr<testutil::pbx_database> pbx;
  pbx_probes probes;
  std::shared_ptr<const Settings> settings;
};

TEST_P(SampleTemplates, RequestsFromThePmsChangeTheRoomAsTheirNamesSay) {
  struct step {
    void (*handler)(const request_context&, fias_packet_t*);
    const char* record;
    std::vector<std::string> room;  // name, language, dnd, barred, wake-up
  };
  const step steps[] = {
      {do_checkin, "GI|RN101|GNO'Brien|GLEA|GSN|", {"O'Brien", "EA", "0", "0", ""}},
      {do_room_equip, "RE|RN101|DNY|", {"O'Brien", "EA", "1", "0", ""}},
      {do_room_equip, "RE|RN101|CS0|", {"O'Brien", "EA", "1", "1", ""}},
      {do_wakeup_set, "WR|RN101|DA261209|TI070000|", {"O'Brien", "EA", "1", "1", "2026-12-09 07:00:00"}},
      {do_wakeup_clear, "WC|RN101|DA261209|TI070000|", {"O'Brien", "EA", "1", "1", ""}},
      {do_room_equip, "RE|RN101|CS1|DNN|", {"O'Brien", "EA", "0", "0", ""}},
  };
  for (const step& s : steps) {
    handle(s.handler, s.record);
    EXPECT_EQ(room(), s.room) << "after " << s.record;
  }
  handle(do_checkout, "GO|RN101|GNO'Brien|");
  std::vector<std::string> after = room();
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(after[0], "") << "the guest's name stays after check-out";
  EXPECT_EQ(after[1], "");
  EXPECT_FALSE(log.contains("ERROR")) << log.text();
}

// The guest records' templates, run as the daemon fills them: a guest change, the message lamp,
// and a room move that opens the new room for the guest and leaves the old one as checkout does.
TEST_P(SampleTemplates, GuestChangeMessageLampAndRoomMoveChangeBothRooms) {
  auto s = settings;
  ASSERT_TRUE(s->guestchange && s->roommove && s->msglighton && s->msglightoff);
  pbx->exec(probes.add_room_102);
  handle(do_checkin, "GI|RN101|GNSato|GLEA|GSN|");
  handle(do_room_equip, "RE|RN101|DNY|");
  struct step {
    const std::optional<std::string>* setting;
    query_values values;
    rows_t rooms;  // room, name, language, dnd, barred, msglight of 101 and 102
  };
  const step steps[] = {
      {&s->guestchange, {.exten = "101", .name = "O'Sato", .lang = "GE"},
       {{"101", "O'Sato", "GE", "1", "0", "0"}, {"102", "", "", "0", "1", "0"}}},
      {&s->msglighton, {.exten = "101"},
       {{"101", "O'Sato", "GE", "1", "0", "1"}, {"102", "", "", "0", "1", "0"}}},
      {&s->roommove, {.exten = "102", .name = "O'Sato", .lang = "GE", .oldexten = "101"},
       {{"101", "", "", "0", "1", "0"}, {"102", "O'Sato", "GE", "0", "0", "0"}}},
      {&s->msglighton, {.exten = "102"},
       {{"101", "", "", "0", "1", "0"}, {"102", "O'Sato", "GE", "0", "0", "1"}}},
      {&s->msglightoff, {.exten = "102"},
       {{"101", "", "", "0", "1", "0"}, {"102", "O'Sato", "GE", "0", "0", "0"}}},
  };
  for (const step& st : steps) {
    service_value sv = split_service_value(**st.setting);
    dbdriver_t* drv = find_dbdriver(sv.driver);
    ASSERT_TRUE(drv) << sv.driver;
    {
      std::lock_guard guard(*drv);
      drv->reconnect_if_needed();
      std::string q = prepare_query(*drv, sv.sql, st.values, query_trace::plain);
      EXPECT_EQ(drv->query(q), 0) << q;
    }
    EXPECT_EQ(pbx->rows(probes.both_rooms), st.rooms) << sv.sql;
  }
  EXPECT_FALSE(log.contains("ERROR")) << log.text();
}

// A name the PMS sent in ISO-8859-1, read with pms:charset, and one longer than the sample
// schemas' columns: the check-in's other effects (barring, do-not-disturb) are never lost to it.
TEST_P(SampleTemplates, AConvertedOrOverlongNameNeverCostsTheCheckin) {
  const std::optional<std::string> name = fias_text_to_utf8("M\xfcller", "ISO-8859-1");
  ASSERT_EQ(name, "M\xc3\xbcller");
  const std::string overlong = *name + std::string(100, 'x');
  for (const std::string& guest : {*name, overlong}) {
    handle(do_room_equip, "RE|RN101|CS0|DNY|");
    handle(do_checkin, "GI|RN101|GN" + guest + "|GLEA|GSN|");
    rows_t rooms = pbx->rows(probes.both_rooms);
    ASSERT_FALSE(rooms.empty());
    EXPECT_EQ(rooms[0][3] + rooms[0][4], "00") << "do-not-disturb off, phone open";
    EXPECT_TRUE(rooms[0][1].starts_with(*name)) << rooms[0][1];
  }
  EXPECT_FALSE(log.contains("ERROR")) << log.text();
}

TEST_P(SampleTemplates, PollQueriesDeliverThePollersColumnsAndMarksHideWhatWasReported) {
  auto s = settings;
  ASSERT_TRUE(s->billcalls && s->billmark && s->billok && s->wakeup_result && s->wrmark &&
              s->room_state && s->remark);
  dbdriver_t* calls_drv = find_dbdriver(split_service_value(*s->billcalls).driver);
  ASSERT_TRUE(calls_drv);

  // Calls: date, time, dialled number, billable seconds, amount; only the answered call of the
  // room, until its mark; then the PMS's answer settles it.
  pbx->exec(probes.add_calls);
  auto call = poll(*s->billcalls, {'s', 's', 's', 'i', 'i'});
  ASSERT_TRUE(call);
  EXPECT_EQ(*call, (std::vector<std::string>{"2026-12-08", "10:15:00", "00442079460123", "125", "-1"}));
  EXPECT_TRUE(reads_as((*call)[0], calls_drv->dateformat));
  EXPECT_TRUE(reads_as((*call)[1], calls_drv->timeformat));
  mark(*s->billcalls, *s->billmark, (*call)[0], (*call)[1], "0001");
  EXPECT_EQ(pbx->rows(probes.call_mark), (rows_t{{"PS 0001"}}));
  EXPECT_FALSE(poll(*s->billcalls, {'s', 's', 's', 'i', 'i'})) << "a posted call is posted again";
  handle(do_pa, "PA|ASOK|RN101|P#0001|DA261208|TI101500|");
  EXPECT_EQ(pbx->rows(probes.call_mark), (rows_t{{"PA 0001"}}));

  // Wake-up results: result code, date, time of the order.
  handle(do_wakeup_set, "WR|RN101|DA261209|TI070000|");
  EXPECT_FALSE(poll(*s->wakeup_result, {'i', 's', 's'})) << "reported before the call was made";
  pbx->exec(probes.answer_wakeup);
  auto wakeup = poll(*s->wakeup_result, {'i', 's', 's'});
  ASSERT_TRUE(wakeup);
  EXPECT_EQ(*wakeup, (std::vector<std::string>{"1", "2026-12-09", "07:00:00"}));
  mark(*s->wakeup_result, *s->wrmark, (*wakeup)[1], (*wakeup)[2], "");
  EXPECT_FALSE(poll(*s->wakeup_result, {'i', 's', 's'}));

  // Room states: the state code.
  EXPECT_FALSE(poll(*s->room_state, {'i'}));
  pbx->exec(probes.report_state);
  auto state = poll(*s->room_state, {'i'});
  ASSERT_TRUE(state);
  EXPECT_EQ(*state, std::vector<std::string>{"4"});
  mark(*s->room_state, *s->remark, "", "", "");
  EXPECT_FALSE(poll(*s->room_state, {'i'}));

  EXPECT_FALSE(log.contains("ERROR")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Etc, SampleTemplates,
                         ::testing::Values(sample_case{"velmorant.conf", false},
                                           sample_case{"velmorant-sqlite.conf", false},
                                           sample_case{"velmorant-mysql.conf", true}),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
