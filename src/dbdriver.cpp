// Drivers made from configuration sections, and the parts of the driver interface both kinds share.
#include "dbdriver.h"

#include <iniparser.h>
#include <strings.h>

#include <climits>
#include <cstdlib>

#include "amidriver.h"
#include "config.h"
#include "logger.h"
#include "mysql.h"
#include "sqlite.h"

namespace {

constexpr size_t kNameMax = 15;
constexpr size_t kFormatMax = 15;

}  // namespace

dbdriver_t::dbdriver_t(dbkind k, std::string_view instance_name, int default_port)
    : kind(k), name(instance_name.substr(0, kNameMax)), port(default_port) {}

int dbdriver_t::connect_with_settings() {
  return connect(host ? host->c_str() : nullptr, static_cast<uint16_t>(port),
                 user ? user->c_str() : nullptr, password ? password->c_str() : nullptr,
                 database ? database->c_str() : nullptr);
}

int dbdriver_t::reconnect_if_needed() {
  if (is_connected() == 0) return 0;
  return connect_with_settings();
}

std::string sql_escape(dbkind kind, std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '\'') out += '\'';
    else if (c == '\\' && kind == dbkind::mysql) out += '\\';
    out += c;
  }
  return out;
}

int db_text_to_int(const char* text) {
  long long value = std::strtoll(text, nullptr, 0);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

float db_text_to_float(const char* text) { return std::strtof(text, nullptr); }

namespace {

// The value of "section:key", or null when the section has no such key.
const char* section_value(_dictionary_* ini, const char* section, const char* key) {
  std::string full = std::string(section) + ":" + key;
  return iniparser_getstring(ini, full.c_str(), nullptr);
}

// Takes a date or time format from the section when one is given. A format longer than the
// driver keeps is refused whole, since a cut pattern would write wrong dates into statements.
// ERROR, so that the line shows even before the logger is configured.
void take_format(_dictionary_* ini, const char* section, const char* key, std::string& format) {
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
void take_seconds(_dictionary_* ini, const char* section, const char* key, int& seconds) {
  if (!section_value(ini, section, key)) return;
  int value = conf_getint(ini, (std::string(section) + ":" + key).c_str(), 0);
  if (value < 1) {
    LOG(L_ERROR, "%s:%s is not a number of seconds above 0; keeping %d", section, key, seconds);
    return;
  }
  seconds = value;
}

void take_text(_dictionary_* ini, const char* section, const char* key,
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

int load_dbdrivers(_dictionary_* ini, const driver_map* previous, driver_map& out) {
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
    int rc;
    {
      std::lock_guard guard(*drv);
      rc = drv->connect_with_settings();
    }
    // The driver is kept all the same: its users connect again before each statement.
    if (rc != 0)
      LOG(L_ERROR, "Can not connect to DB %s of %s. Please check settings\n", section, type);
    drivers[drv->name] = std::move(drv);
  }
  out = std::move(drivers);
  return 0;
}

int make_dbdriver(_dictionary_* ini, const char* name, const char* dbtype,
                  std::unique_ptr<dbdriver_t>& out) {
  std::unique_ptr<dbdriver_t> drv;
  if (strcasecmp(dbtype, "sqlite") == 0)
    drv = sqlite_create_drv(name);
  else if (strcasecmp(dbtype, "mysql") == 0)
    drv = mysql_create_drv(name);
  else if (strcasecmp(dbtype, "ami") == 0)
    drv = ami_create_drv(name);
  else
    return 0;

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
