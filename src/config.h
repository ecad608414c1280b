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
#include <vector>

#include "fias.h"

class dbdriver_t;

// The drivers of a configuration's sections, by section name.
using driver_map = std::map<std::string, std::shared_ptr<dbdriver_t>, std::less<>>;
// The directory the rooms are read from when rooms:type begins with "ldap". An absent text key
// stays unset: the loader binds anonymously without rooms:ldap_user, and searches a subtree
// without rooms:ldap_scope.
struct rooms_ldap_settings {
  std::optional<std::string> host;  // rooms:ldap_host, the directory library's host form
  int port = 389;
  int version = 2;
  std::optional<std::string> user;
  std::optional<std::string> pass;
  std::optional<std::string> base;
  std::optional<std::string> scope;
  std::optional<std::string> filter;
  std::optional<std::string> attribute;
};

// The [rooms] section: where start-up loads the room registry from.
struct rooms_settings {
  std::string type;  // rooms:type; empty or absent: the room keys
  // One rooms:roomN key as the file gives it, N counting from 1 up to the first number missing.
  struct room_key {
    std::string key;  // "rooms:room1"
    std::string room;
  };
  std::vector<room_key> list;
  rooms_ldap_settings ldap;
};

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
  fias_record_set pms_records = fias_record_set::full;  // the records the link start-up announces
  // The code page of the PMS's records (pms:charset), converted to UTF-8 as they are read; empty:
  // their bytes are taken as they come.
  std::string pms_charset;
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
  std::optional<std::string> guestchange;  // GC without RO; the check-in template when not set
  std::optional<std::string> roommove;     // GC with RO; check-out of RO and check-in of RN when not set
  std::optional<std::string> msglighton;   // RE with ML Y
  std::optional<std::string> msglightoff;  // RE with ML N

  // A database swap (DS ... DE): whether the rooms that got neither GI nor GO are checked out at
  // its end, and the seconds after which a swap without DE ends with no such check-out.
  bool swap_checkout = true;
  int swap_timeout = 300;

  rooms_settings rooms;

  // The drivers of the database sections, by section name (exact case).
  driver_map drivers;

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

// How the daemon fills a service's template, and so which placeholders have values.
enum class filled_by {
  guest,   // check-in and check-out: room, name, language, shared flag
  room,    // do-not-disturb and barring: the room
  wakeup,  // wake-up orders: room, date, time of the record
  answer,  // a post answer: room, date, time, posting number
  poll,    // a poll query: the room
  mark,    // a poll query's mark: room, date and time texts of the row, posting number
  move,    // a room move: as guest, and the old room
};

// One service of [services]: its key, where its value is kept, and what the daemon does with it.
struct service_def {
  std::string_view key;
  std::optional<std::string> Settings::*value;
  filled_by fill;
  int columns = 0;             // a poll query: the columns the poller reads at least
  bool optional_last = false;  // a poll query whose last column the poller reads when present
  std::string_view poll = {};  // a mark: the key of its poll query, on whose driver it runs
};

// Every service, in the order of the samples' [services]. The poller reads date, time, number,
// seconds and, when there is one, an amount of a call; result, date and time of a wake-up; a
// room state.
std::span<const service_def> services();
// The service of `key`; null when there is none.
const service_def* service_named(std::string_view key);

// A parsed configuration file.
struct _dictionary_;
struct conf_file_closer {
  void operator()(_dictionary_* ini) const;
};
using conf_file = std::unique_ptr<_dictionary_, conf_file_closer>;

// The poll keys (billcalls, wakeup_result, room_status) and their marks that name a database
// section with dbdriver = ami: a manager returns no rows. One line per key, naming it; the load
// refuses such a file.
std::vector<std::string> polls_on_a_manager(_dictionary_* ini);

// Parses `filename`; null when it cannot be read (the caller's message to give) or parsed
// (logged, by file and line).
conf_file conf_parse(const std::string& filename);

// When the new drivers of a load open their connections: at once, or later, by their first user
// (every user calls reconnect_if_needed) or connect_dbdrivers. A process that forks after the
// load opens nothing before the fork: the locks of an SQLite file must not cross it.
enum class driver_connect { now, later };

// Reads a parsed file into a complete new snapshot in `out`, starting from the defaults. A
// database section whose settings are those of a driver of `previous` keeps that driver and its
// connection; other sections get a new driver. 0; -1 when the file holds a value that cannot be
// used (logged), `out` then unchanged.
int load_conf(_dictionary_* ini, std::shared_ptr<const Settings>& out,
              const Settings* previous = nullptr, driver_connect connect = driver_connect::now);
// The same for the file `filename`; -1 also when it cannot be opened or parsed.
int load_conf(const std::string& filename, std::shared_ptr<const Settings>& out,
              const Settings* previous = nullptr, driver_connect connect = driver_connect::now);

// Connects every driver of `s` whose connection is not open; each failure is logged as a load
// logs it, and the driver kept.
void connect_dbdrivers(const Settings& s);

// Every key the daemon reads, as "section:key": those of [pms], [logger], [services] and [rooms]
// ("rooms:room" stands for rooms:room1, rooms:room2 ...), then as "database:key" those of a
// database section. A key missing here is reported as unknown by the configuration check.
std::span<const std::string_view> conf_keys();

// Creates the drivers of every section of a parsed configuration file that has a dbdriver key.
// A section whose settings equal those of the driver of the same name in `previous` keeps that
// driver (and its connection); every other driver is new, and connected here unless `connect`
// says later. 0 with the drivers in `out`; -1 when a section's port is not a number from 1 to
// 65535 (logged).
int load_dbdrivers(_dictionary_* ini, const driver_map* previous, driver_map& out,
                   driver_connect connect = driver_connect::now);
// Creates and configures one driver named after its section: 0 with the driver in `out`, or
// with none when `dbtype` names no kind of driver ("sqlite", "mysql", any case); -1 when its
// port is not a number from 1 to 65535 (logged).
int make_dbdriver(_dictionary_* ini, const char* name, const char* dbtype,
                  std::unique_ptr<dbdriver_t>& out);

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
int conf_getint(_dictionary_* ini, const char* key, int notfound);
int conf_getboolean(_dictionary_* ini, const char* key, int notfound);

// A TCP port: 0 with `port` set to the key's value, or to `notfound` when the key is absent; -1,
// after an ERROR that names the key and its value, when the value is not a number from 1 to 65535.
int conf_getport(_dictionary_* ini, const char* key, int notfound, int& port);

// The log line for one of iniparser's error messages, its arguments read by the format's own
// conversions: the file and line number, never the text of the configuration line. A message of
// unknown form gives its fixed text, numbers filled in and every string left out as "...".
std::string conf_error_text(const char* fmt, va_list ap);

// Reads the [rooms] section of a parsed configuration file into `out`.
void read_rooms(_dictionary_* ini, rooms_settings& out);
