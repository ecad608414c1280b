// Configuration: reads the INI file into a settings snapshot and creates the database drivers.
#include "config.h"

#include <iniparser.h>
#include <strings.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "dbdriver.h"
#include "logger.h"

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
// terminal that a daemon no longer has.
int report_ini_error(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
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

  read_string(d, "pms:host", next->pmshost);
  next->pmsport = static_cast<uint16_t>(conf_getint(d, "pms:port", 5010));
  read_string(d, "pms:statesfile", next->statesfile);
  read_string(d, "pms:interface", next->pmsinterface);
  next->pms_heartbeat = conf_getint(d, "pms:heartbeat", 0);
  if (const char* v = iniparser_getstring(d, "logger:log_type", nullptr))
    next->logtype = contains_syslog(v) ? 1 : 0;
  next->loglevel = static_cast<uint16_t>(conf_getint(d, "logger:log_level", 5));
  next->disable_log = conf_getboolean(d, "logger:disable_log", 0);
  read_string(d, "logger:log_file", next->logfile);

  next->drivers = load_dbdrivers(d, previous ? &previous->drivers : nullptr);

  next->use_manager = conf_getboolean(d, "services:cdr_use_manager", 0);
  next->mgr_port = conf_getint(d, "services:cdr_mgr_port", 5038);
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

  out = std::move(next);
  return 0;
}

service_value split_service_value(std::string_view value) {
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return {"sqlite", std::string(value)};
  return {std::string(value.substr(0, colon)), std::string(value.substr(colon + 1))};
}

int conf_getint(dictionary* ini, const char* key, int notfound) {
  return iniparser_getstring(ini, key, nullptr) ? iniparser_getint(ini, key, notfound) : notfound;
}

int conf_getboolean(dictionary* ini, const char* key, int notfound) {
  return iniparser_getstring(ini, key, nullptr) ? iniparser_getboolean(ini, key, notfound)
                                                : notfound;
}
