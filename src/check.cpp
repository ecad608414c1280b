// Configuration check: loads a configuration, compiles its templates and reports what would fail.
#include "check.h"

#include <iniparser.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "amidriver.h"
#include "config.h"
#include "dbdriver.h"
#include "fias.h"
#include "query.h"

namespace {

using ini_ptr = std::unique_ptr<dictionary, decltype(&iniparser_freedict)>;

// How the daemon fills a service's template, and so which sample values the check fills in.
enum class filled_by {
  guest,   // check-in and check-out: room, name, language, shared flag
  room,    // do-not-disturb and barring: the room
  wakeup,  // wake-up orders: room, date, time of the record
  answer,  // a post answer: room, date, time, posting number
  poll,    // a poll query: the room
  mark,    // a poll query's mark: room, date and time texts of the row, posting number
};

struct service_entry {
  const char* key;
  std::optional<std::string> Settings::*value;
  filled_by fill;
  int columns = 0;             // a poll query: the columns the poller needs at least
  const char* poll = nullptr;  // a mark: the key of its poll query, on whose driver it runs
  bool optional_last = false;  // a poll query whose last column the poller reads when present
};

// In the order of the samples' [services]. The poller reads date, time, number, seconds and,
// when there is one, an amount of a call; result, date and time of a wake-up; a room state.
const service_entry kServices[] = {
    {"checkin", &Settings::checkin, filled_by::guest},
    {"checkout", &Settings::checkout, filled_by::guest},
    {"dndon", &Settings::dndon, filled_by::room},
    {"dndoff", &Settings::dndoff, filled_by::room},
    {"bareon", &Settings::bareon, filled_by::room},
    {"bareoff", &Settings::bareoff, filled_by::room},
    {"wakeup_set", &Settings::wakeup_set, filled_by::wakeup},
    {"wakeup_clear", &Settings::wakeup_clear, filled_by::wakeup},
    {"billcalls", &Settings::billcalls, filled_by::poll, 4, nullptr, true},
    {"billmark", &Settings::billmark, filled_by::mark, 0, "billcalls"},
    {"billok", &Settings::billok, filled_by::answer},
    {"wakeup_result", &Settings::wakeup_result, filled_by::poll, 3},
    {"wrmark", &Settings::wrmark, filled_by::mark, 0, "wakeup_result"},
    {"room_status", &Settings::room_state, filled_by::poll, 1},
    {"remark", &Settings::remark, filled_by::mark, 0, "room_status"},
};

const service_entry* service_named(std::string_view key) {
  for (const service_entry& entry : kServices)
    if (key == entry.key) return &entry;
  return nullptr;
}

bool is_fixed_section(std::string_view section) {
  return section == "pms" || section == "logger" || section == "services" || section == "rooms";
}

bool known_key(std::string_view key) {
  auto keys = conf_keys();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::vector<std::string> keys_of(dictionary* ini, const char* section) {
  int n = iniparser_getsecnkeys(ini, section);
  std::vector<const char*> keys(static_cast<size_t>(std::max(n, 0)));
  if (n > 0) iniparser_getseckeys(ini, section, keys.data());
  return {keys.begin(), keys.end()};
}

// The daemon reads rooms:room1, rooms:room2 ... up to the first number missing; a room key past
// that gap, or written otherwise ("room01"), is never read. Empty when the key is read.
std::optional<std::string> unread_room_key(dictionary* ini, const std::string& key) {
  constexpr std::string_view prefix = "rooms:room";
  std::string digits = key.substr(prefix.size());
  if (digits.empty() || digits.size() > 4 || digits[0] == '0' ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
    return key + ": unknown key";
  for (int n = 1; n < std::stoi(digits); ++n) {
    std::string before = std::string(prefix) + std::to_string(n);
    if (!iniparser_find_entry(ini, before.c_str()))
      return key + ": not read, " + before + " is missing";
  }
  return std::nullopt;
}

// A value that the driver refused on loading (logged then) and replaced by its default.
void refused_driver_values(dictionary* ini, const std::string& section, const dbdriver_t& drv,
                           std::vector<std::string>& problems) {
  const std::pair<const char*, const std::string*> formats[] = {
      {"date_format", &drv.dateformat}, {"time_format", &drv.timeformat}};
  for (const auto& [key, kept] : formats) {
    std::string full = section + ":" + key;
    const char* value = iniparser_getstring(ini, full.c_str(), nullptr);
    if (value && *kept != value) problems.push_back(full + ": longer than 15 characters, not used");
  }
  const std::pair<const char*, int> seconds[] = {{"connect_timeout", drv.connect_timeout},
                                                 {"read_timeout", drv.read_timeout},
                                                 {"write_timeout", drv.write_timeout}};
  for (const auto& [key, kept] : seconds) {
    std::string full = section + ":" + key;
    if (iniparser_find_entry(ini, full.c_str()) && conf_getint(ini, full.c_str(), 0) != kept)
      problems.push_back(full + ": not a number of seconds above 0, not used");
  }
}

// Problems of the sections and keys themselves, in the file's order: keys the daemon does not
// read, sections it ignores, database sections it cannot use.
void check_sections(dictionary* ini, const Settings& s, std::vector<std::string>& problems) {
  for (int i = 0; i < iniparser_getnsec(ini); ++i) {
    const char* name = iniparser_getsecname(ini, i);
    if (!name) continue;
    const std::string section = name;
    const bool fixed = is_fixed_section(section);
    const char* type = iniparser_getstring(ini, (section + ":dbdriver").c_str(), nullptr);
    if (!fixed && !type) {
      problems.push_back(section + ": unknown section, without a dbdriver key it is no database");
      continue;
    }
    for (const std::string& key : keys_of(ini, name)) {
      if (key.starts_with("rooms:room")) {
        if (auto unread = unread_room_key(ini, key)) problems.push_back(*unread);
        continue;
      }
      std::string generic = fixed ? key : "database" + key.substr(section.size());
      if (!known_key(generic)) problems.push_back(key + ": unknown key");
    }
    if (fixed) continue;
    // The driver is made under the section's name cut to 15 characters: the services that name
    // the section in full find no driver.
    std::shared_ptr<dbdriver_t> drv = s.driver(std::string_view(section).substr(0, 15));
    if (!drv) {
      problems.push_back(section + ":dbdriver: \"" + type + "\" is neither sqlite nor mysql");
      continue;
    }
    if (section.size() > 15)
      problems.push_back(section + ": a database section's name has at most 15 characters");
    refused_driver_values(ini, section, *drv, problems);
  }
}

std::string sample_text(const std::string& pattern, const std::tm& when) {
  std::string text(64, '\0');
  text.resize(strftime(text.data(), text.size(), pattern.c_str(), &when));
  return text;
}

fias_field_t text_field(const char* text) {
  fias_field_t f;
  f.value.emplace();
  f.value->str = text;
  return f;
}

// The template of one service filled as the daemon fills it, with sample values: room 101, a
// guest, a wake-up at 07:00 on 8 December 2026, posting number 0001.
std::string fill_sample(dbdriver_t& drv, const std::string& sql, filled_by fill) {
  static constexpr const char* kRoom = "101";
  static constexpr const char* kPosting = "0001";
  fias_field_t rn = text_field(kRoom), name = text_field("Guest"), lang = text_field("EA");
  fias_field_t shared = text_field(""), seq = text_field(kPosting);
  fias_field_t date, time;
  date.value.emplace();
  date.value->date = {26, 12, 8, 0};
  time.value.emplace();
  time.value->time = {7, 0, 0, 0};
  std::tm when{};
  when.tm_year = 126;
  when.tm_mon = 11;
  when.tm_mday = 8;
  when.tm_hour = 7;
  const std::string day = sample_text(drv.dateformat, when);
  const std::string hour = sample_text(drv.timeformat, when);
  constexpr query_trace quiet = query_trace::off;
  switch (fill) {
    case filled_by::guest:
      return prepare_query(drv, sql, &rn, &name, &lang, &shared, nullptr, nullptr, nullptr, quiet);
    case filled_by::room:
      return prepare_query(drv, sql, &rn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           quiet);
    case filled_by::wakeup:
      return prepare_query(drv, sql, &rn, nullptr, nullptr, nullptr, &date, &time, nullptr, quiet);
    case filled_by::answer:
      return prepare_query(drv, sql, &rn, nullptr, nullptr, nullptr, &date, &time, &seq, quiet);
    case filled_by::poll:
      return prepare_query2(drv, sql, kRoom, nullptr, nullptr, nullptr, quiet);
    case filled_by::mark:
      return prepare_query2(drv, sql, kRoom, day.c_str(), hour.c_str(), kPosting, quiet);
  }
  return sql;
}

std::string columns_text(int n) { return std::to_string(n) + (n == 1 ? " column" : " columns"); }

// The driver a service's template runs on; null (with the problem) when there is none. A mark
// runs on its poll query's driver, whatever its own value names.
std::shared_ptr<dbdriver_t> driver_of(const Settings& s, const service_entry& entry,
                                      const service_value& value,
                                      std::vector<std::string>& problems) {
  const std::string key = std::string("services:") + entry.key;
  std::string driver = value.driver;
  if (entry.poll) {
    const std::optional<std::string>& poll = s.*(service_named(entry.poll)->value);
    if (!poll) {
      problems.push_back(key + ": never run without services:" + entry.poll);
      return nullptr;
    }
    driver = split_service_value(*poll).driver;
    if (driver != value.driver) {
      problems.push_back(key + ": runs on the database of services:" + entry.poll + " (\"" +
                         driver + "\"), not on \"" + value.driver + "\"");
      return nullptr;
    }
  }
  std::shared_ptr<dbdriver_t> drv = s.driver(driver);
  if (!drv && !entry.poll) problems.push_back(key + ": no database section \"" + driver + "\"");
  return drv;
}

void check_service(const Settings& s, const service_entry& entry,
                   const std::map<const dbdriver_t*, bool>& connected,
                   std::vector<std::string>& problems) {
  const std::optional<std::string>& setting = s.*entry.value;
  if (!setting) return;
  const std::string key = std::string("services:") + entry.key;
  const service_value value = split_service_value(*setting);
  // A manager's actions are no SQL: there a value stays data wherever it stands.
  const std::shared_ptr<dbdriver_t> named = s.driver(value.driver);
  if (!named || named->kind != dbkind::ami)
    for (const std::string& name : template_unquoted_text_placeholders(value.sql))
      problems.push_back(key + ": %" + name +
                         "% outside single quotes: its value is not protected there");
  std::shared_ptr<dbdriver_t> drv = driver_of(s, entry, value, problems);
  if (!drv || !connected.at(drv.get())) return;

  // A connection lost since makes the check fail with the client's message.
  std::lock_guard guard(*drv);
  drv->reconnect_if_needed();
  int columns = 0;
  std::string error;
  if (drv->check(fill_sample(*drv, value.sql, entry.fill), columns, error) != 0) {
    problems.push_back(key + ": " + error);
    return;
  }
  if (columns < entry.columns)
    problems.push_back(key + ": returns " + columns_text(columns) + ", the poller reads " +
                       (entry.optional_last ? "at least " : "") + std::to_string(entry.columns));
}

}  // namespace

std::vector<std::string> check_conf(const std::string& filename) {
  if (access(filename.c_str(), R_OK) != 0)
    return {filename + ": cannot be read: " + std::strerror(errno)};
  std::shared_ptr<const Settings> s;
  if (load_conf(filename, s) != 0 || !s) {
    // The loader refuses a poll query on a manager; the check names each such key.
    ini_ptr refused(iniparser_load(filename.c_str()), &iniparser_freedict);
    std::vector<std::string> polls;
    if (refused) polls = ami_poll_key_problems(refused.get());
    if (!polls.empty()) return polls;
    return {filename + ": not loaded, see the ERROR lines on standard error"};
  }
  ini_ptr ini(iniparser_load(filename.c_str()), &iniparser_freedict);
  if (!ini) return {filename + ": cannot be read"};

  std::vector<std::string> problems;
  check_sections(ini.get(), *s, problems);
  // The loader has just tried to connect every database section (a server that does not answer
  // took its connect_timeout): one it could not reach is said once, not tried again, and its
  // templates are left unchecked.
  std::map<const dbdriver_t*, bool> connected;
  for (const auto& [name, drv] : s->drivers) {
    std::lock_guard guard(*drv);
    connected[drv.get()] = drv->is_connected() == 0;
    if (!connected[drv.get()])
      problems.push_back(name +
                         ": unable to connect to the database; its templates are not checked");
  }
  for (const service_entry& entry : kServices) check_service(*s, entry, connected, problems);
  return problems;
}

std::string check_summary(size_t problems) {
  if (problems == 0) return "configuration ok";
  return std::to_string(problems) + (problems == 1 ? " problem" : " problems");
}
