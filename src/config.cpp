// Configuration: reads the INI file into a settings snapshot and makes the drivers of its sections.
#include "config.h"

#include <iniparser.h>
#include <strings.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "amidriver.h"
#include "dbdriver.h"
#include "logger.h"
#include "mysql.h"
#include "query.h"
#include "sqlite.h"

namespace {

// A string key that is present replaces the setting; an absent one leaves it as it is.
void read_string(dictionary* ini, const char* key, std::optional<std::string>& setting) {
  if (const char* v = iniparser_getstring(ini, key, nullptr)) setting = v;
}

void read_string(dictionary* ini, const char* key, std::string& setting) {
  if (const char* v = iniparser_getstring(ini, key, nullptr)) setting = v;
}

// iniparser reports syntax errors through this callback; they belong in the log, not on a
// terminal that a daemon no longer has. The line names the file and line number only: iniparser
// quotes a malformed line whole, and that line may hold a password.
int report_ini_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string line = conf_error_text(fmt, ap);
  va_end(ap);
  LOG(L_ERROR, "%s", line.c_str());
  return 0;
}

bool contains_syslog(std::string_view value) {
  constexpr std::string_view word = "syslog";
  for (size_t i = 0; i + word.size() <= value.size(); ++i)
    if (strncasecmp(value.data() + i, word.data(), word.size()) == 0) return true;
  return false;
}

// In the order of the samples' [services]; adding a service is adding its row.
const service_def kServices[] = {
    {"checkin", &Settings::checkin, filled_by::guest},
    {"checkout", &Settings::checkout, filled_by::guest},
    {"dndon", &Settings::dndon, filled_by::room},
    {"dndoff", &Settings::dndoff, filled_by::room},
    {"bareon", &Settings::bareon, filled_by::room},
    {"bareoff", &Settings::bareoff, filled_by::room},
    {"wakeup_set", &Settings::wakeup_set, filled_by::wakeup},
    {"wakeup_clear", &Settings::wakeup_clear, filled_by::wakeup},
    {"billcalls", &Settings::billcalls, filled_by::poll, 4, true},
    {"billmark", &Settings::billmark, filled_by::mark, 0, false, "billcalls"},
    {"billok", &Settings::billok, filled_by::answer},
    {"wakeup_result", &Settings::wakeup_result, filled_by::poll, 3},
    {"wrmark", &Settings::wrmark, filled_by::mark, 0, false, "wakeup_result"},
    {"room_status", &Settings::room_state, filled_by::poll, 1},
    {"remark", &Settings::remark, filled_by::mark, 0, false, "room_status"},
    {"guestchange", &Settings::guestchange, filled_by::guest},
    {"roommove", &Settings::roommove, filled_by::move},
    {"msglighton", &Settings::msglighton, filled_by::room},
    {"msglightoff", &Settings::msglightoff, filled_by::room},
};

// A text placeholder outside single quotes is not protected by the escaping: a guest name there
// becomes SQL. Said once per load, naming the key, so the administrator finds it before a guest.
void warn_unquoted_placeholders(const Settings& s) {
  for (const service_def& service : kServices) {
    const std::optional<std::string>& value = s.*service.value;
    if (!value) continue;
    // A manager's actions are no SQL: there a value stays data wherever it stands.
    const std::shared_ptr<dbdriver_t> drv = s.driver(split_service_value(*value).driver);
    if (drv && drv->kind == dbkind::ami) continue;
    for (const std::string& name : template_unquoted_text_placeholders(split_service_value(*value).sql))
      LOG(L_WARNING, "services:%s has %%%s%% outside single quotes: its value is not protected there",
          std::string(service.key).c_str(), name.c_str());
  }
}

// The keys of [pms], [logger] and [services] besides the services, then those of [rooms] and
// of a database section.
constexpr std::string_view kFixedKeys[] = {
    "pms:host", "pms:port", "pms:interface", "pms:heartbeat", "pms:pacing", "pms:statesfile",
    "pms:records", "pms:swap_checkout", "pms:swap_timeout", "pms:charset",
    "logger:log_type", "logger:log_level", "logger:disable_log", "logger:log_file",
    "services:cdr_use_manager", "services:cdr_mgr_host", "services:cdr_mgr_port",
    "services:cdr_mgr_user", "services:cdr_mgr_password", "services:cdr_mgr_all_calls",
    "services:noremovecalls"};
constexpr std::string_view kOtherKeys[] = {
    "rooms:type", "rooms:room", "rooms:ldap_host", "rooms:ldap_port", "rooms:ldap_version",
    "rooms:ldap_user", "rooms:ldap_pass", "rooms:ldap_base", "rooms:ldap_scope",
    "rooms:ldap_filter", "rooms:ldap_attribute",
    "database:dbdriver", "database:host", "database:port", "database:user",
    "database:password", "database:database", "database:charset", "database:date_format",
    "database:time_format", "database:connect_timeout", "database:read_timeout",
    "database:write_timeout"};

}  // namespace

std::span<const service_def> services() { return kServices; }

const service_def* service_named(std::string_view key) {
  for (const service_def& service : kServices)
    if (service.key == key) return &service;
  return nullptr;
}

std::shared_ptr<dbdriver_t> Settings::driver(std::string_view name) const {
  auto found = drivers.find(name);
  return found == drivers.end() ? nullptr : found->second;
}

void conf_file_closer::operator()(dictionary* ini) const { iniparser_freedict(ini); }

conf_file conf_parse(const std::string& filename) {
  // A missing file is the caller's message to give; only parse faults come from iniparser.
  iniparser_set_error_callback(report_ini_error);
  return conf_file(access(filename.c_str(), R_OK) == 0 ? iniparser_load(filename.c_str())
                                                         : nullptr);
}

int load_conf(const std::string& filename, std::shared_ptr<const Settings>& out,
              const Settings* previous, driver_connect connect) {
  conf_file ini = conf_parse(filename);
  return ini ? load_conf(ini.get(), out, previous, connect) : -1;
}

int load_conf(dictionary* d, std::shared_ptr<const Settings>& out, const Settings* previous,
              driver_connect connect) {
  auto next = std::make_shared<Settings>();

  // A port out of range refuses the file before anything of it takes effect.
  int pmsport = 0, mgr_port = 0;
  bool ports_ok = conf_getport(d, "pms:port", 5010, pmsport) == 0;
  ports_ok = conf_getport(d, "services:cdr_mgr_port", 5038, mgr_port) == 0 && ports_ok;
  if (!ports_ok) return -1;
  if (const char* v = iniparser_getstring(d, "pms:records", nullptr)) {
    std::optional<fias_record_set> records = fias_record_set_named(v);
    if (!records) {
      LOG(L_ERROR, "Configuration key pms:records = %s: neither basic nor full", v);
      return -1;
    }
    next->pms_records = *records;
  }
  read_string(d, "pms:charset", next->pms_charset);
  if (!next->pms_charset.empty() && !fias_text_to_utf8("", next->pms_charset)) {
    LOG(L_ERROR, "Configuration key pms:charset = %s: not a code page this system converts",
        next->pms_charset.c_str());
    return -1;
  }

  read_string(d, "pms:host", next->pmshost);
  next->pmsport = static_cast<uint16_t>(pmsport);
  read_string(d, "pms:statesfile", next->statesfile);
  read_string(d, "pms:interface", next->pmsinterface);
  next->pms_heartbeat = conf_getint(d, "pms:heartbeat", 0);
  next->pacing = conf_getint(d, "pms:pacing", 1000);
  if (next->pacing < 0) {
    LOG(L_WARNING, "[pms] pacing %d is below 0; records are not paced", next->pacing);
    next->pacing = 0;
  }
  next->swap_checkout = conf_getboolean(d, "pms:swap_checkout", 1) != 0;
  next->swap_timeout = conf_getint(d, "pms:swap_timeout", 300);
  if (next->swap_timeout < 1) {
    LOG(L_WARNING, "[pms] swap_timeout %d is below 1 second; keeping 300", next->swap_timeout);
    next->swap_timeout = 300;
  }
  if (const char* v = iniparser_getstring(d, "logger:log_type", nullptr))
    next->logtype = contains_syslog(v) ? 1 : 0;
  next->loglevel = static_cast<uint16_t>(conf_getint(d, "logger:log_level", 5));
  next->disable_log = conf_getboolean(d, "logger:disable_log", 0);
  read_string(d, "logger:log_file", next->logfile);

  // A poll query on a manager would fail on every pass; the file is refused before it runs.
  const std::vector<std::string> manager_polls = polls_on_a_manager(d);
  for (const std::string& problem : manager_polls) LOG(L_ERROR, "%s", problem.c_str());
  if (!manager_polls.empty()) return -1;
  if (load_dbdrivers(d, previous ? &previous->drivers : nullptr, next->drivers, connect) != 0)
    return -1;

  next->use_manager = conf_getboolean(d, "services:cdr_use_manager", 0);
  next->mgr_port = mgr_port;
  read_string(d, "services:cdr_mgr_host", next->mgr_host);
  read_string(d, "services:cdr_mgr_user", next->mgr_user);
  read_string(d, "services:cdr_mgr_password", next->mgr_passwd);
  next->mgr_all_calls = conf_getboolean(d, "services:cdr_mgr_all_calls", 0);
  next->noremovecalls = conf_getint(d, "services:noremovecalls", 0);
  for (const service_def& service : kServices)
    read_string(d, ("services:" + std::string(service.key)).c_str(), (*next).*service.value);
  warn_unquoted_placeholders(*next);
  read_rooms(d, next->rooms);

  out = std::move(next);
  return 0;
}

std::span<const std::string_view> conf_keys() {
  static const std::vector<std::string> kServiceKeys = [] {
    std::vector<std::string> keys;
    for (const service_def& service : kServices) keys.push_back("services:" + std::string(service.key));
    return keys;
  }();
  static const std::vector<std::string_view> kKeys = [] {
    std::vector<std::string_view> keys(std::begin(kFixedKeys), std::end(kFixedKeys));
    keys.insert(keys.end(), kServiceKeys.begin(), kServiceKeys.end());
    keys.insert(keys.end(), std::begin(kOtherKeys), std::end(kOtherKeys));
    return keys;
  }();
  return kKeys;
}

service_value split_service_value(std::string_view value) {
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return {"sqlite", std::string(value)};
  return {std::string(value.substr(0, colon)), std::string(value.substr(colon + 1))};
}

namespace {

// A configuration number: decimal, also when zero-padded ("05010" is 5010, not octal), or
// hexadecimal after "0x". `end` is set where the number stops, as strtol sets it.
long conf_strtol(const char* text, char** end) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  return std::strtol(text, end, hex ? 16 : 10);
}

// Takes the next integer argument as its length modifier says it was passed; its decimal text.
std::string integer_argument(va_list& args, std::string_view length, bool is_signed) {
  if (length == "l")
    return is_signed ? std::to_string(va_arg(args, long))
                     : std::to_string(va_arg(args, unsigned long));
  if (length == "ll" || length == "q" || length == "L" || length == "j")
    return is_signed ? std::to_string(va_arg(args, long long))
                     : std::to_string(va_arg(args, unsigned long long));
  if (length == "z" || length == "t")
    return is_signed ? std::to_string(va_arg(args, ssize_t))
                     : std::to_string(va_arg(args, size_t));
  return is_signed ? std::to_string(va_arg(args, int)) : std::to_string(va_arg(args, unsigned));
}

// The argument of one printf conversion, taken from the list by the conversion's own type.
struct taken_argument {
  const char* end = nullptr;           // the conversion's last character; null when unknown
  std::string shown;                   // what stands for it in the line: a number, or "..."
  bool is_number = false;
  std::optional<const char*> string;   // a string argument, never shown
};

// Reads the conversion that starts after a '%' at `conversion` (flags, width, precision, length,
// type) and takes its argument, `*` widths included.
taken_argument take_argument(const char* conversion, va_list& args) {
  const char* q = conversion;
  auto skip_number = [&] {
    if (*q == '*') {
      (void)va_arg(args, int);
      ++q;
    }
    while (std::isdigit(static_cast<unsigned char>(*q))) ++q;
  };
  while (*q && std::strchr("-+ #0'I", *q)) ++q;
  skip_number();
  if (*q == '.') {
    ++q;
    skip_number();
  }
  const char* length_start = q;
  while (*q && std::strchr("hlLqjzt", *q)) ++q;
  const std::string_view length(length_start, static_cast<size_t>(q - length_start));

  taken_argument taken;
  taken.end = q;
  taken.shown = "...";
  switch (*q) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      taken.shown = integer_argument(args, length, *q == 'd' || *q == 'i');
      taken.is_number = true;
      break;
    case 's':
      if (length == "l")
        (void)va_arg(args, const wchar_t*);
      else
        taken.string = va_arg(args, const char*);
      break;
    case 'c':
      (void)va_arg(args, int);
      break;
    case 'p':
      (void)va_arg(args, void*);
      break;
    case 'n':
      (void)va_arg(args, void*);
      taken.shown.clear();
      break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (length == "L")
        (void)va_arg(args, long double);
      else
        (void)va_arg(args, double);
      break;
    case 'm':
      taken.shown.clear();
      break;
    default:
      taken.end = nullptr;
      break;
  }
  return taken;
}

}  // namespace

std::string conf_error_text(const char* fmt, va_list ap) {
  struct known_message {
    std::string_view format;
    const char* what;
  };
  // iniparser 4.1's messages that carry a file name (and a line number).
  static constexpr known_message kKnown[] = {
      {"iniparser: syntax error in %s (%d):\n-> %s\n", "syntax error"},
      {"iniparser: input line too long in %s (%d)\n", "line too long"},
      {"iniparser: cannot open %s\n", "cannot open"},
  };
  std::string fixed;                // the format's own text, numbers filled in, strings left out
  std::optional<std::string> file;  // the first string argument
  std::optional<std::string> line;  // the first integer argument
  va_list args;
  va_copy(args, ap);
  for (const char* p = fmt; *p; ++p) {
    if (*p != '%') {
      fixed += *p;
      continue;
    }
    if (p[1] == '%') {
      fixed += '%';
      ++p;
      continue;
    }
    taken_argument taken = take_argument(p + 1, args);
    if (!taken.end) {
      // A conversion of unknown type: no argument after it can be read safely.
      fixed += p;
      break;
    }
    fixed += taken.shown;
    if (taken.is_number && !line) line = taken.shown;
    if (taken.string && !file) file = *taken.string ? *taken.string : "";
    p = taken.end;
  }
  va_end(args);

  for (const known_message& known : kKnown) {
    if (known.format != fmt || !file) continue;
    std::string text = "Configuration file " + *file;
    if (line) text += ", line " + *line;
    return text + ": " + known.what;
  }
  while (!fixed.empty() && fixed.back() == '\n') fixed.pop_back();
  return fixed;
}

int conf_getint(dictionary* ini, const char* key, int notfound) {
  const char* value = iniparser_getstring(ini, key, nullptr);
  return value ? static_cast<int>(conf_strtol(value, nullptr)) : notfound;
}

int conf_getport(dictionary* ini, const char* key, int notfound, int& port) {
  const char* value = iniparser_getstring(ini, key, nullptr);
  if (!value) {
    port = notfound;
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  long number = conf_strtol(value, &end);
  // A port that wraps (70000 as 4464, -1 as 65535) would send the daemon to whatever listens there.
  if (end == value || *end != '\0' || errno == ERANGE || number < 1 || number > 65535) {
    LOG(L_ERROR, "Configuration key %s = %s: not a port number from 1 to 65535", key, value);
    return -1;
  }
  port = static_cast<int>(number);
  return 0;
}

int conf_getboolean(dictionary* ini, const char* key, int notfound) {
  return iniparser_getstring(ini, key, nullptr) ? iniparser_getboolean(ini, key, notfound)
                                                : notfound;
}

// ---- Drivers made from database sections ----

namespace {

constexpr size_t kFormatMax = 15;

// The kinds of driver a section's dbdriver key may name (any case), each with its maker.
struct driver_kind {
  const char* name;
  dbkind kind;
  std::unique_ptr<dbdriver_t> (*create)(std::string_view name);
};
constexpr driver_kind kDriverKinds[] = {
    {"sqlite", dbkind::sqlite, sqlite_create_drv},
    {"mysql", dbkind::mysql, mysql_create_drv},
    {"ami", dbkind::ami, [](std::string_view name) { return ami_create_drv(name); }},
};

// Opens the connection of a driver whose users have not yet; `type` names its kind in the line
// of a failure. The driver is kept all the same: its users connect again before each statement.
void connect_driver(dbdriver_t& drv, const char* section, const char* type) {
  int rc;
  {
    std::lock_guard guard(drv);
    rc = drv.reconnect_if_needed();
  }
  if (rc != 0)
    LOG(L_ERROR, "Can not connect to DB %s of %s. Please check settings\n", section, type);
}

// The value of "section:key", or null when the section has no such key.
const char* section_value(dictionary* ini, const char* section, const char* key) {
  std::string full = std::string(section) + ":" + key;
  return iniparser_getstring(ini, full.c_str(), nullptr);
}

// Takes a date or time format from the section when one is given. A format longer than the
// driver keeps is refused whole, since a cut pattern would write wrong dates into statements.
// ERROR, so that the line shows even before the logger is configured.
void take_format(dictionary* ini, const char* section, const char* key, std::string& format) {
  const char* value = section_value(ini, section, key);
  if (!value) return;
  if (std::string_view(value).size() > kFormatMax) {
    LOG(L_ERROR, "%s:%s \"%s\" is longer than %zu characters; keeping \"%s\"", section, key,
        value, kFormatMax, format.c_str());
    return;
  }
  format = value;
}

// Takes a time-out in seconds from the section when one is given. The client library reads 0 as
// "wait for ever", which is what the time-outs are there to prevent, so only 1 and more count.
void take_seconds(dictionary* ini, const char* section, const char* key, int& seconds) {
  if (!section_value(ini, section, key)) return;
  int value = conf_getint(ini, (std::string(section) + ":" + key).c_str(), 0);
  if (value < 1) {
    LOG(L_ERROR, "%s:%s is not a number of seconds above 0; keeping %d", section, key, seconds);
    return;
  }
  seconds = value;
}

void take_text(dictionary* ini, const char* section, const char* key,
               std::optional<std::string>& setting) {
  if (const char* value = section_value(ini, section, key)) setting = value;
}

bool same_settings(const dbdriver_t& a, const dbdriver_t& b) {
  return a.kind == b.kind && a.dateformat == b.dateformat && a.timeformat == b.timeformat &&
         a.host == b.host && a.user == b.user && a.password == b.password &&
         a.database == b.database && a.port == b.port && a.charset == b.charset &&
         a.connect_timeout == b.connect_timeout && a.read_timeout == b.read_timeout &&
         a.write_timeout == b.write_timeout;
}

}  // namespace

int load_dbdrivers(dictionary* ini, const driver_map* previous, driver_map& out,
                   driver_connect connect) {
  driver_map drivers;
  int sections = iniparser_getnsec(ini);
  for (int i = 0; i < sections; ++i) {
    const char* section = iniparser_getsecname(ini, i);
    if (!section) continue;
    const char* type = section_value(ini, section, "dbdriver");
    if (!type) continue;
    std::unique_ptr<dbdriver_t> made;
    if (make_dbdriver(ini, section, type, made) != 0) return -1;
    if (!made) continue;
    std::shared_ptr<dbdriver_t> drv = std::move(made);
    // A reload that leaves a section as it was keeps the driver it has, so that a nightly reload
    // does not open a new connection to the PBX every time.
    if (previous) {
      auto loaded = previous->find(drv->name);
      if (loaded != previous->end() && same_settings(*loaded->second, *drv)) {
        drivers[drv->name] = loaded->second;
        continue;
      }
    }
    if (connect == driver_connect::now) connect_driver(*drv, section, type);
    drivers[drv->name] = std::move(drv);
  }
  out = std::move(drivers);
  return 0;
}

int make_dbdriver(dictionary* ini, const char* name, const char* dbtype,
                  std::unique_ptr<dbdriver_t>& out) {
  std::unique_ptr<dbdriver_t> drv;
  for (const driver_kind& kind : kDriverKinds)
    if (strcasecmp(dbtype, kind.name) == 0) drv = kind.create(name);
  if (!drv) return 0;

  take_format(ini, name, "date_format", drv->dateformat);
  take_format(ini, name, "time_format", drv->timeformat);
  take_text(ini, name, "host", drv->host);
  take_text(ini, name, "user", drv->user);
  take_text(ini, name, "password", drv->password);
  take_text(ini, name, "database", drv->database);
  take_text(ini, name, "charset", drv->charset);
  take_seconds(ini, name, "connect_timeout", drv->connect_timeout);
  take_seconds(ini, name, "read_timeout", drv->read_timeout);
  take_seconds(ini, name, "write_timeout", drv->write_timeout);
  if (conf_getport(ini, (std::string(name) + ":port").c_str(), drv->port, drv->port) != 0)
    return -1;
  out = std::move(drv);
  return 0;
}

void connect_dbdrivers(const Settings& s) {
  for (const auto& [name, drv] : s.drivers)
    for (const driver_kind& kind : kDriverKinds)
      if (kind.kind == drv->kind) connect_driver(*drv, name.c_str(), kind.name);
}

namespace {

// rooms:room1, rooms:room2 ... are read up to the first missing number, and at most this many.
constexpr int kMaxRoomKeys = 9999;

}  // namespace

std::vector<std::string> polls_on_a_manager(dictionary* ini) {
  std::vector<std::string> problems;
  for (const service_def& service : kServices) {
    if (service.fill != filled_by::poll && service.fill != filled_by::mark) continue;
    const std::string key = "services:" + std::string(service.key);
    const char* value = iniparser_getstring(ini, key.c_str(), nullptr);
    if (!value) continue;
    const std::string driver = split_service_value(value).driver;
    const char* type = iniparser_getstring(ini, (driver + ":dbdriver").c_str(), nullptr);
    if (type && strcasecmp(type, "ami") == 0)
      problems.push_back(key + ": runs on " + driver +
                         ", a manager (dbdriver = ami), which returns no rows to poll");
  }
  return problems;
}

void read_rooms(dictionary* ini, rooms_settings& out) {
  read_string(ini, "rooms:type", out.type);
  for (int n = 1; n <= kMaxRoomKeys; ++n) {
    std::string key = "rooms:room" + std::to_string(n);
    const char* room = iniparser_getstring(ini, key.c_str(), nullptr);
    if (!room) break;
    out.list.push_back({std::move(key), room});
  }
  rooms_ldap_settings& ldap = out.ldap;
  read_string(ini, "rooms:ldap_host", ldap.host);
  ldap.port = conf_getint(ini, "rooms:ldap_port", ldap.port);
  ldap.version = conf_getint(ini, "rooms:ldap_version", ldap.version);
  read_string(ini, "rooms:ldap_user", ldap.user);
  read_string(ini, "rooms:ldap_pass", ldap.pass);
  read_string(ini, "rooms:ldap_base", ldap.base);
  read_string(ini, "rooms:ldap_scope", ldap.scope);
  read_string(ini, "rooms:ldap_filter", ldap.filter);
  read_string(ini, "rooms:ldap_attribute", ldap.attribute);
}
