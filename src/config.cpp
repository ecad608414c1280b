// Configuration: reads the INI file into a settings snapshot and creates the database drivers.
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

#include "amidriver.h"
#include "dbdriver.h"
#include "logger.h"
#include "query.h"

namespace {

using ini_ptr = std::unique_ptr<dictionary, decltype(&iniparser_freedict)>;

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

}  // namespace

namespace {

// A text placeholder outside single quotes is not protected by the escaping: a guest name there
// becomes SQL. Said once per load, naming the key, so the administrator finds it before a guest.
void warn_unquoted_placeholders(const Settings& s) {
  const std::pair<const char*, const std::optional<std::string>*> services[] = {
      {"bareon", &s.bareon},       {"bareoff", &s.bareoff},       {"dndon", &s.dndon},
      {"dndoff", &s.dndoff},       {"wakeup_set", &s.wakeup_set}, {"wakeup_clear", &s.wakeup_clear},
      {"checkin", &s.checkin},     {"checkout", &s.checkout},     {"billmark", &s.billmark},
      {"billok", &s.billok},       {"room_status", &s.room_state}, {"wakeup_result", &s.wakeup_result},
      {"billcalls", &s.billcalls}, {"wrmark", &s.wrmark},         {"remark", &s.remark}};
  for (const auto& [key, value] : services) {
    if (!*value) continue;
    // A manager's actions are no SQL: there a value stays data wherever it stands.
    const std::shared_ptr<dbdriver_t> drv = s.driver(split_service_value(**value).driver);
    if (drv && drv->kind == dbkind::ami) continue;
    for (const std::string& name : template_unquoted_text_placeholders(split_service_value(**value).sql))
      LOG(L_WARNING, "services:%s has %%%s%% outside single quotes: its value is not protected there",
          key, name.c_str());
  }
}

}  // namespace

std::shared_ptr<dbdriver_t> Settings::driver(std::string_view name) const {
  auto found = drivers.find(name);
  return found == drivers.end() ? nullptr : found->second;
}

int load_conf(const std::string& filename, std::shared_ptr<const Settings>& out,
              const Settings* previous) {
  auto next = std::make_shared<Settings>();

  // A missing file is the caller's message to give; only parse faults come from iniparser.
  iniparser_set_error_callback(report_ini_error);
  ini_ptr ini(access(filename.c_str(), R_OK) == 0 ? iniparser_load(filename.c_str()) : nullptr,
              &iniparser_freedict);
  if (!ini) return -1;
  dictionary* d = ini.get();

  // A port out of range refuses the file before anything of it takes effect.
  int pmsport = 0, mgr_port = 0;
  bool ports_ok = conf_getport(d, "pms:port", 5010, pmsport) == 0;
  ports_ok = conf_getport(d, "services:cdr_mgr_port", 5038, mgr_port) == 0 && ports_ok;
  if (!ports_ok) return -1;

  read_string(d, "pms:host", next->pmshost);
  next->pmsport = static_cast<uint16_t>(pmsport);
  read_string(d, "pms:statesfile", next->statesfile);
  read_string(d, "pms:interface", next->pmsinterface);
  next->pms_heartbeat = conf_getint(d, "pms:heartbeat", 0);
  if (const char* v = iniparser_getstring(d, "logger:log_type", nullptr))
    next->logtype = contains_syslog(v) ? 1 : 0;
  next->loglevel = static_cast<uint16_t>(conf_getint(d, "logger:log_level", 5));
  next->disable_log = conf_getboolean(d, "logger:disable_log", 0);
  read_string(d, "logger:log_file", next->logfile);

  // A poll query on a manager would fail on every pass; the file is refused before it runs.
  const std::vector<std::string> ami_polls = ami_poll_key_problems(d);
  for (const std::string& problem : ami_polls) LOG(L_ERROR, "%s", problem.c_str());
  if (!ami_polls.empty()) return -1;
  if (load_dbdrivers(d, previous ? &previous->drivers : nullptr, next->drivers) != 0) return -1;

  next->use_manager = conf_getboolean(d, "services:cdr_use_manager", 0);
  next->mgr_port = mgr_port;
  read_string(d, "services:cdr_mgr_host", next->mgr_host);
  read_string(d, "services:cdr_mgr_user", next->mgr_user);
  read_string(d, "services:cdr_mgr_password", next->mgr_passwd);
  next->mgr_all_calls = conf_getboolean(d, "services:cdr_mgr_all_calls", 0);
  next->noremovecalls = conf_getint(d, "services:noremovecalls", 0);
  read_string(d, "services:bareon", next->bareon);
  read_string(d, "services:bareoff", next->bareoff);
  read_string(d, "services:dndon", next->dndon);
  read_string(d, "services:dndoff", next->dndoff);
  read_string(d, "services:wakeup_set", next->wakeup_set);
  read_string(d, "services:wakeup_clear", next->wakeup_clear);
  read_string(d, "services:checkin", next->checkin);
  read_string(d, "services:checkout", next->checkout);
  read_string(d, "services:billmark", next->billmark);
  read_string(d, "services:billok", next->billok);
  read_string(d, "services:room_status", next->room_state);
  read_string(d, "services:wakeup_result", next->wakeup_result);
  read_string(d, "services:billcalls", next->billcalls);
  read_string(d, "services:wrmark", next->wrmark);
  read_string(d, "services:remark", next->remark);
  warn_unquoted_placeholders(*next);

  out = std::move(next);
  return 0;
}

std::span<const std::string_view> conf_keys() {
  static constexpr std::string_view kKeys[] = {
      "pms:host", "pms:port", "pms:interface", "pms:heartbeat", "pms:statesfile",
      "logger:log_type", "logger:log_level", "logger:disable_log", "logger:log_file",
      "services:cdr_use_manager", "services:cdr_mgr_host", "services:cdr_mgr_port",
      "services:cdr_mgr_user", "services:cdr_mgr_password", "services:cdr_mgr_all_calls",
      "services:noremovecalls", "services:checkin", "services:checkout", "services:dndon",
      "services:dndoff", "services:bareon", "services:bareoff", "services:wakeup_set",
      "services:wakeup_clear", "services:billcalls", "services:billmark", "services:billok",
      "services:wakeup_result", "services:wrmark", "services:room_status", "services:remark",
      "rooms:type", "rooms:room", "rooms:ldap_host", "rooms:ldap_port", "rooms:ldap_version",
      "rooms:ldap_user", "rooms:ldap_pass", "rooms:ldap_base", "rooms:ldap_scope",
      "rooms:ldap_filter", "rooms:ldap_attribute",
      "database:dbdriver", "database:host", "database:port", "database:user",
      "database:password", "database:database", "database:charset", "database:date_format",
      "database:time_format", "database:connect_timeout", "database:read_timeout",
      "database:write_timeout"};
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
