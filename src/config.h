// Settings: one immutable snapshot per configuration load, named after the configuration keys.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Every setting of one configuration load. A snapshot never changes once published; a reload
// publishes a new one, and readers that still hold the old one keep it alive until they are done.
struct Settings {
  std::string pmshost = "localhost";
  uint16_t pmsport = 5010;
  std::string statesfile = "/var/run/velmorant.db";
  std::optional<std::string> pmsinterface;
  uint8_t logtype = 0;  // 1: log lines also go to syslog
  uint16_t loglevel = 5;
  int disable_log = 0;
  std::string logfile = "/var/log/velmorant.log";

  int use_manager = 0;
  int mgr_port = 5038;
  std::optional<std::string> mgr_host;
  std::optional<std::string> mgr_user;
  std::optional<std::string> mgr_passwd;
  int noremovecalls = 0;

  // Service values ("driver:template") and mark values.
  std::optional<std::string> bareon;
  std::optional<std::string> bareoff;
  std::optional<std::string> dndon;
  std::optional<std::string> dndoff;
  std::optional<std::string> wakeup_set;
  std::optional<std::string> wakeup_clear;
  std::optional<std::string> checkin;
  std::optional<std::string> checkout;
  std::optional<std::string> billmark;
  std::optional<std::string> billok;
  std::optional<std::string> room_state;  // from services:room_status
  std::optional<std::string> wakeup_result;
  std::optional<std::string> billcalls;
  std::optional<std::string> wrmark;
  std::optional<std::string> remark;
};

// The snapshot in force. Take it once per piece of work and read from the copy.
std::shared_ptr<const Settings> settings();

// Path of the configuration file of the last load; used by the reload and the room loader.
// Read and written by the main thread only.
extern std::string config_file;

// Loads `filename`: records it as config_file, starts from the defaults, reads every key, creates
// the database drivers of its sections, and publishes the result. 0, or -1 when the file cannot
// be opened or parsed (the defaults are then in force), or when a port is not a number from 1 to
// 65535 (nothing is published; drivers of other sections may have been loaded).
int load_conf(const std::string& filename);

// Unsets every string setting (numbers are kept). config_file and the drivers stay.
void free_confvals();

// A service value split at its first ':' into a driver name and an SQL template; a value without
// ':' is a template for the driver named "sqlite".
struct service_value {
  std::string driver;
  std::string sql;
};
service_value split_service_value(std::string_view value);

// iniparser_getint and iniparser_getboolean, except that a section named like the key
// ("[pms:port]") counts as an absent key: iniparser 4.1 hands such an entry's missing value to
// strtol and crashes.
//
// Numbers are decimal, also when zero-padded ("05010" is 5010), or hexadecimal after "0x".
struct _dictionary_;
int conf_getint(_dictionary_* ini, const char* key, int notfound);
int conf_getboolean(_dictionary_* ini, const char* key, int notfound);

// A TCP port: 0 with `port` set to the key's value, or to `notfound` when the key is absent; -1,
// after an ERROR that names the key and its value, when the value is not a number from 1 to 65535.
int conf_getport(_dictionary_* ini, const char* key, int notfound, int& port);

// The log line for one of iniparser's error messages, its arguments read by the format's own
// conversions: the file and line number, never the text of the configuration line. A message of
// unknown form gives its fixed text, numbers filled in and every string left out as "...".
std::string conf_error_text(const char* fmt, va_list ap);
