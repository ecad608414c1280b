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

#include "config.h"
#include "dbdriver.h"
#include "query.h"

namespace {

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

// The template of one service filled as the daemon fills it, with sample values: room 101, a
// guest, a wake-up at 07:00 on 8 December 2026, posting number 0001.
std::string fill_sample(dbdriver_t& drv, const std::string& sql, filled_by fill) {
  std::tm when{};
  when.tm_year = 126;
  when.tm_mon = 11;
  when.tm_mday = 8;
  when.tm_hour = 7;
  query_values v;
  v.exten = "101";
  switch (fill) {
    case filled_by::move:
      v.oldexten = "102";
      [[fallthrough]];
    case filled_by::guest:
      v.name = "Guest";
      v.lang = "EA";
      break;
    case filled_by::room:
    case filled_by::poll:
      break;
    case filled_by::answer:
      v.seqno = "0001";
      [[fallthrough]];
    case filled_by::wakeup:
      v.date = when;
      v.time = when;
      break;
    case filled_by::mark:
      v.date_text = sample_text(drv.dateformat, when);
      v.time_text = sample_text(drv.timeformat, when);
      v.seqno = "0001";
      break;
  }
  return prepare_query(drv, sql, v, query_trace::off);
}

std::string columns_text(int n) { return std::to_string(n) + (n == 1 ? " column" : " columns"); }

// The driver a service's template runs on; null (with the problem) when there is none. A mark
// runs on its poll query's driver, whatever its own value names.
std::shared_ptr<dbdriver_t> driver_of(const Settings& s, const service_def& entry,
                                      const service_value& value,
                                      std::vector<std::string>& problems) {
  const std::string key = "services:" + std::string(entry.key);
  const std::string poll_key(entry.poll);
  std::string driver = value.driver;
  if (!poll_key.empty()) {
    const std::optional<std::string>& poll = s.*(service_named(poll_key)->value);
    if (!poll) {
      problems.push_back(key + ": never run without services:" + poll_key);
      return nullptr;
    }
    driver = split_service_value(*poll).driver;
    if (driver != value.driver) {
      problems.push_back(key + ": runs on the database of services:" + poll_key + " (\"" +
                         driver + "\"), not on \"" + value.driver + "\"");
      return nullptr;
    }
  }
  std::shared_ptr<dbdriver_t> drv = s.driver(driver);
  if (!drv && poll_key.empty()) problems.push_back(key + ": no database section \"" + driver + "\"");
  return drv;
}

void check_service(const Settings& s, const service_def& entry,
                   const std::map<const dbdriver_t*, bool>& connected,
                   std::vector<std::string>& problems) {
  const std::optional<std::string>& setting = s.*entry.value;
  if (!setting) return;
  const std::string key = "services:" + std::string(entry.key);
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
  // Parsed once: the sections and keys are checked in the file the settings were loaded from.
  conf_file ini = conf_parse(filename);
  std::shared_ptr<const Settings> s;
  if (!ini) return {filename + ": not loaded, see the ERROR lines on standard error"};
  if (load_conf(ini.get(), s) != 0 || !s) {
    // The loader refuses a poll query on a manager; the check names each such key.
    std::vector<std::string> polls = polls_on_a_manager(ini.get());
    if (!polls.empty()) return polls;
    return {filename + ": not loaded, see the ERROR lines on standard error"};
  }

  std::vector<std::string> problems;
  check_sections(ini.get(), *s, problems);
  // The loader has just tried to connect every database section (a server that does not answer
  // took its connect_timeout): one it could not reach is said once, not tried again, and its
  // templates are left unchecked.
  std::map<const dbdriver_t*, bool> connected;
  for (const auto& [name, drv] : s->drivers) {
    std::lock_guard guard(*drv);
    connected[drv.get()] = !drv->needs_connect();
    if (!connected[drv.get()])
      problems.push_back(name +
                         ": unable to connect to the database; its templates are not checked");
  }
  for (const service_def& entry : services()) check_service(*s, entry, connected, problems);
  return problems;
}

std::string check_summary(size_t problems) {
  if (problems == 0) return "configuration ok";
  return std::to_string(problems) + (problems == 1 ? " problem" : " problems");
}
