// Settings: one immutable snapshot per configuration load, named after the configuration keys.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class dbdriver_t;

// Every setting of one configuration load, with the database drivers of its sections. A snapshot
// never changes once published; a reload publishes a new one, and readers that still hold the old
// one keep it, and the drivers it names, alive until they are done. A driver that no snapshot
// names any more is closed when its last user lets it go.
struct Settings {
  std::string pmshost = "localhost";
  uint16_t pmsport = 5010;
  std::string statesfile = "/var/run/velmorant.db";
  std::optional<std::string> pmsinterface;
  // Seconds of silence on the PMS link after which a link active record is sent; the link is
  // dropped when nothing comes back within as long again. 0: off (not every PMS answers it).
  int pms_heartbeat = 0;
  // Milliseconds from the end of one paced PMS record to the start of the next (see
  // route_record); 0: none.
  int pacing = 1000;
  uint8_t logtype = 0;  // 1: log lines also go to syslog
  uint16_t loglevel = 5;
  int disable_log = 0;
  std::string logfile = "/var/log/velmorant.log";

  int use_manager = 0;
  int mgr_port = 5038;
  std::optional<std::string> mgr_host;
  std::optional<std::string> mgr_user;
  std::optional<std::string> mgr_passwd;
  int mgr_all_calls = 0;  // 1: cache every Cdr event, not only answered calls
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

  // The drivers of the database sections, by section name (exact case).
  std::map<std::string, std::shared_ptr<dbdriver_t>, std::less<>> drivers;

  // The driver of the section `name`; null when there is none.
  std::shared_ptr<dbdriver_t> driver(std::string_view name) const;
};

// The snapshot in force, shared between the threads that read it and the main thread that
// replaces it on reload. Take it once per piece of work and read from the copy.
class settings_store {
 public:
  settings_store() : current_(std::make_shared<const Settings>()) {}
  explicit settings_store(std::shared_ptr<const Settings> first) : current_(std::move(first)) {}

  std::shared_ptr<const Settings> current() const {
    std::lock_guard guard(lock_);
    return current_;
  }
  void publish(std::shared_ptr<const Settings> next) {
    std::lock_guard guard(lock_);
    current_ = std::move(next);
  }

 private:
  mutable std::mutex lock_;  // guards current_; readers copy the pointer and let go at once
  std::shared_ptr<const Settings> current_;
};

// Reads `filename` into a complete new snapshot in `out`, starting from the defaults. A database
// section whose settings are those of a driver of `previous` keeps that driver and its
// connection; other sections get a new driver, connected here. 0; -1 when the file cannot be
// opened or parsed or holds a value that cannot be used (logged), `out` then unchanged.
int load_conf(const std::string& filename, std::shared_ptr<const Settings>& out,
              const Settings* previous = nullptr);

// Every key the daemon reads, as "section:key": those of [pms], [logger], [services] and [rooms]
// ("rooms:room" stands for rooms:room1, rooms:room2 ...), then as "database:key" those of a
// database section. A key missing here is reported as unknown by the configuration check.
std::span<const std::string_view> conf_keys();

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
