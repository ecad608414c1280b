// The internal store: the daemon's own SQLite file with the room registry; the journal keeps the
// call cache and the postings in it.
#include "store.h"

#include <iniparser.h>
#include <ldap.h>
#include <sqlite3.h>
#include <strings.h>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "config.h"
#include "logger.h"
#include "dbdriver.h"
#include "journal.h"

namespace {

constexpr int kMaxRoomKeys = 9999;
constexpr int kDefaultLdapPort = 389;
constexpr int kDefaultLdapVersion = 2;

constexpr const char* kCreateRooms =
    "create table rooms (room varchar(8), ci_date date, citime time, calls integer, "
    "primary key(room))";

// The local date or time now, in the store's format.
std::string now_formatted(const tm& now, const char* format) {
  char text[32];
  size_t n = strftime(text, sizeof text, format, &now);
  return std::string(text, n);
}

// Registers one room read by a loader. Empty values are refused: the PMS never sends an empty
// room number, so one here is a mistake in the file or the directory.
int register_loaded_room(internal_store& store, std::string_view room, const char* where) {
  if (room.empty()) {
    LOG(L_WARNING, "Empty room number in %s skipped", where);
    return 0;
  }
  return store.register_room(room);
}

int load_rooms_list(internal_store& store, dictionary* ini) {
  int result = 0;
  for (int n = 1; n <= kMaxRoomKeys; ++n) {
    std::string key = "rooms:room" + std::to_string(n);
    const char* room = iniparser_getstring(ini, key.c_str(), nullptr);
    if (!room) break;
    int rc = register_loaded_room(store, room, key.c_str());
    if (rc == -1) return -1;  // no store: the rooms that follow cannot be kept either
    if (rc != 0) result = -1;
  }
  return result;
}

int load_rooms_from_directory(internal_store& store, dictionary* ini, const ldap_limits& limits) {
  auto text = [ini](const char* key) { return iniparser_getstring(ini, key, nullptr); };
  int rc = load_rooms_ldap(store, text("rooms:ldap_host"),
                           conf_getint(ini, "rooms:ldap_port", kDefaultLdapPort),
                           conf_getint(ini, "rooms:ldap_version", kDefaultLdapVersion), 0,
                           text("rooms:ldap_user"), text("rooms:ldap_pass"),
                           text("rooms:ldap_base"), text("rooms:ldap_scope"),
                           text("rooms:ldap_filter"), text("rooms:ldap_attribute"), limits);
  if (rc == 0) return 0;
  LOG(L_ERROR, "LDAP rooms load failure\n");
  return -1;
}

struct dictionary_freer {
  void operator()(dictionary* d) const { iniparser_freedict(d); }
};
struct ldap_unbinder {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct ldap_message_freer {
  void operator()(LDAPMessage* msg) const { ldap_msgfree(msg); }
};
struct ldap_values_freer {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};

// The URI list ldap_initialize takes, from the host forms the directory library accepts: host
// names separated by spaces, each optionally with ":port" (or a full ldap:// URI); an IPv6
// address needs brackets in a URI.
std::string ldap_uris(const char* hosts, int port) {
  std::string uris;
  std::string_view rest = hosts ? hosts : "";
  while (!rest.empty()) {
    size_t begin = rest.find_first_not_of(" \t,");
    if (begin == std::string_view::npos) break;
    size_t end = rest.find_first_of(" \t,", begin);
    std::string host(rest.substr(begin, end == std::string_view::npos ? end : end - begin));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    std::string uri;
    if (host.find("://") != std::string::npos) {
      uri = host;
    } else if (host.starts_with('[')) {
      uri = "ldap://" + host + (host.find("]:") == std::string::npos ? ":" + std::to_string(port) : "");
    } else if (size_t colon = host.find(':'); colon == std::string::npos) {
      uri = "ldap://" + host + ":" + std::to_string(port);
    } else if (host.find(':', colon + 1) == std::string::npos) {
      uri = "ldap://" + host;  // host:port
    } else {
      uri = "ldap://[" + host + "]:" + std::to_string(port);  // a bare IPv6 address
    }
    if (!uris.empty()) uris += ' ';
    uris += uri;
  }
  return uris.empty() ? "ldap://:" + std::to_string(port) : uris;
}

// Scope words are compared by their beginning and case-sensitively; anything else is a subtree.
int ldap_scope(const char* scope) {
  std::string_view word = scope ? scope : "";
  if (word.starts_with("sub")) return LDAP_SCOPE_SUBTREE;
  if (word.starts_with("base")) return LDAP_SCOPE_BASE;
  if (word.starts_with("one")) return LDAP_SCOPE_ONELEVEL;
  return LDAP_SCOPE_SUBTREE;
}

// How long a statement waits for a lock held by another connection to the same file (an
// administrator's shell, a backup job) before it fails with "database is locked".
constexpr int kBusyTimeoutMs = 5000;

// Failures that pass: another connection holds the file, the disk is full or failing, the file
// cannot be opened, a stop interrupted the statement. Anything else (a syntax error, a constraint)
// fails the same way every time.
bool unavailable(int code) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_INTERRUPT:
      return true;
    default:
      return false;
  }
}

// Logs a failed statement as the SQLite driver logs it; the code callers act on.
int failure(sqlite3* db) {
  LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", sqlite3_errmsg(db),
      sqlite3_extended_errcode(db));
  return unavailable(sqlite3_extended_errcode(db)) ? kDbUnavailable : -1;
}

}  // namespace

store_statement::~store_statement() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

store_statement& store_statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

store_statement& store_statement::bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

store_statement& store_statement::bind_null(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

int store_statement::parameter(const char* name) const {
  return sqlite3_bind_parameter_index(stmt_, name);
}

bool store_statement::next() {
  if (result_ != 0) return false;
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) result_ = failure(db_);
  return false;
}

int store_statement::run() {
  while (next()) {
  }
  return result_;
}

std::string store_statement::text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

int64_t store_statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string store_statement::expanded() const {
  std::unique_ptr<char, decltype(&sqlite3_free)> sql(sqlite3_expanded_sql(stmt_), sqlite3_free);
  return sql ? std::string(sql.get()) : std::string();
}

void internal_store::sqlite_closer::operator()(sqlite3* db) const { sqlite3_close(db); }
void internal_store::statement_finalizer::operator()(sqlite3_stmt* stmt) const {
  sqlite3_finalize(stmt);
}

internal_store::internal_store() : journal_(std::make_unique<posting_journal>(*this)) {}

internal_store::~internal_store() = default;

void internal_store::close() {
  prepared_.clear();
  std::lock_guard guard(handle_lock_);
  db_.reset();
}

int internal_store::connect() {
  if (db_) return 0;
  sqlite3* raw = nullptr;
  int rc = SQLITE_CANTOPEN;
  // A store without a file would otherwise open a private temporary database and quietly lose
  // every room and call. Full mutex mode: the connection is used by several threads in turn
  // (each under the store's lock), which SQLite allows only when it serialises access itself.
  if (!path_.empty())
    rc = sqlite3_open_v2(path_.c_str(), &raw,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                         nullptr);
  std::unique_ptr<sqlite3, sqlite_closer> opened(raw);  // handed out even on failure, and closed
  if (rc != SQLITE_OK) {
    LOG(L_ERROR, "Error connecting to %s sqlite db",
        path_.empty() ? "(no database file set)" : path_.c_str());
    return -1;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  std::lock_guard guard(handle_lock_);
  db_ = std::move(opened);
  return 0;
}

std::unique_ptr<store_statement> internal_store::prepare(const char* sql) {
  if (!db_) {
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", "database is not open", SQLITE_MISUSE);
    return nullptr;
  }
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
        SQLITE_OK) {
      failure(db_.get());
      return nullptr;
    }
    found = prepared_.emplace(sql, statement_ptr(raw)).first;
  }
  return std::make_unique<store_statement>(found->second.get(), db_.get());
}

int internal_store::exec(const std::string& sql) {
  if (!db_) {
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", "database is not open", SQLITE_MISUSE);
    return kDbUnavailable;
  }
  // SQLite rolls a transaction back by itself on some failures (a full disk among them); the
  // caller's ROLLBACK then has nothing to do, and is not an error worth a log line.
  if (sqlite3_get_autocommit(db_.get()) != 0 && strcasecmp(sql.c_str(), "ROLLBACK") == 0)
    return 0;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
    return failure(db_.get());
  statement_ptr compiled(raw);
  return store_statement(raw, db_.get()).run();
}

int64_t internal_store::last_insert_id() { return db_ ? sqlite3_last_insert_rowid(db_.get()) : 0; }

int internal_store::changes() { return db_ ? sqlite3_changes(db_.get()) : 0; }

void internal_store::interrupt() {
  std::lock_guard guard(handle_lock_);
  if (db_) sqlite3_interrupt(db_.get());
}

// Opens the store for the registry's own statements; 0, or -1 after logging.
int internal_store::open_locked() {
  if (connect() == 0) return 0;
  LOG(L_ERROR, "Unable to open states file %s", path_.empty() ? "(not set)" : path_.c_str());
  return -1;
}

// Runs one statement on the store with `values` bound in order: 0, -1 the store could not be
// opened, -2 it failed.
int internal_store::statement(const char* sql, std::initializer_list<std::string_view> values) {
  std::lock_guard guard(*this);
  if (open_locked() != 0) return -1;
  std::unique_ptr<store_statement> stmt = prepare(sql);
  if (!stmt) return -2;
  int index = 0;
  for (std::string_view value : values) stmt->bind(++index, value);
  return stmt->run() == 0 ? 0 : -2;
}

int internal_store::open(const std::string& statesfile) {
  std::lock_guard guard(*this);
  close();
  path_ = statesfile;
  // The file holds every cached call and guest room: created for its owner alone. SQLite gives
  // its -wal and -shm companions the mode of the database file.
  if (!statesfile.empty()) {
    int fd = ::open(statesfile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  if (open_locked() != 0) return -1;
  // Write-ahead logging: a cached call is committed with one disk wait instead of the several of
  // a rollback journal, which keeps the manager feed ahead of a busy PBX's call records
  // without giving up durability (synchronous stays FULL).
  exec("PRAGMA journal_mode=WAL");
  bool usable = true;
  if (exec("select count(*) from rooms") != 0) usable = exec(kCreateRooms) == 0;
  if (usable) usable = journal_->create_tables();
  // A file that opens but is not a database (a crash, a full disk, a wrong path) would let the
  // daemon report itself running while no room can be registered and no call cached.
  if (!usable) {
    LOG(L_ERROR, "Unable to open states file %s", statesfile.c_str());
    close();
    return -1;
  }
  return 0;
}

int internal_store::register_room(std::string_view room) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return statement("replace into rooms values (?, ?, ?, 0)",
                   {room, now_formatted(local, kDateFormat), now_formatted(local, kTimeFormat)});
}

int internal_store::remove_room(std::string_view room) {
  return statement("delete from rooms where room=?", {room});
}

std::vector<std::string> internal_store::rooms() {
  std::vector<std::string> rooms;
  std::lock_guard guard(*this);
  if (open_locked() != 0) return rooms;
  std::unique_ptr<store_statement> stmt = prepare("select room from rooms");
  if (!stmt) return rooms;
  while (stmt->next()) rooms.push_back(stmt->text(0));
  if (stmt->result() != 0) rooms.clear();
  return rooms;
}

int load_rooms_conf(internal_store& store, const char* filename, const ldap_limits& limits) {
  std::unique_ptr<dictionary, dictionary_freer> ini(filename ? iniparser_load(filename) : nullptr);
  if (!ini) {
    LOG(L_ERROR, "Unable to read the rooms of configuration file %s; no rooms loaded",
        filename ? filename : "(none)");
    return -1;
  }
  const char* type = iniparser_getstring(ini.get(), "rooms:type", nullptr);
  if (!type || *type == '\0') return load_rooms_list(store, ini.get());
  if (strncasecmp(type, "ldap", 4) == 0) return load_rooms_from_directory(store, ini.get(), limits);
  LOG(L_WARNING, "Unknown rooms:type %s; no rooms loaded", type);
  return 0;
}

int load_rooms_ldap(internal_store& store, const char* host, int port, int version, int timeout,
                    const char* user, const char* pass, const char* base, const char* scope,
                    const char* filter, const char* attribute, const ldap_limits& limits) {
  LDAP* raw_ld = nullptr;
  if (ldap_initialize(&raw_ld, ldap_uris(host, port).c_str()) != LDAP_SUCCESS || !raw_ld) {
    LOG(L_WARNING, "LDAPget: unable to initialize ldap connection to %s:%d\n", host ? host : "",
        port);
    return -1;
  }
  std::unique_ptr<LDAP, ldap_unbinder> ld(raw_ld);
  ldap_set_option(ld.get(), LDAP_OPT_TIMELIMIT, &timeout);
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  // A directory that accepts the connection and never answers must not hold start-up: the
  // connection, the bind and the search each get a bound.
  timeval network{limits.network_timeout_s, 0};
  timeval operation{limits.search_timeout_s, 0};
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &network);
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &operation);

  berval credentials{};
  if (user && pass) {
    credentials.bv_val = const_cast<char*>(pass);
    credentials.bv_len = std::strlen(pass);
  }
  int rc = ldap_sasl_bind_s(ld.get(), user, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                            nullptr);
  if (rc != LDAP_SUCCESS) {
    LOG(L_WARNING, "LDAPget: bind failed: %s\n", ldap_err2string(rc));
    return -2;
  }

  LDAPMessage* raw_result = nullptr;
  rc = ldap_search_ext_s(ld.get(), base, ldap_scope(scope), filter, nullptr, 0, nullptr, nullptr,
                         &operation, LDAP_NO_LIMIT, &raw_result);
  std::unique_ptr<LDAPMessage, ldap_message_freer> result(raw_result);
  if (rc != LDAP_SUCCESS) {
    LOG(L_DEBUG, "LDAPget: search failed: %s\n", ldap_err2string(rc));
    return -3;
  }
  LDAPMessage* entry = ldap_first_entry(ld.get(), result.get());
  if (!entry) {
    LOG(L_WARNING, "LDAPget: Value not found in directory.\n");
    return -4;
  }
  if (!attribute) return -5;
  std::unique_ptr<berval*, ldap_values_freer> values(
      ldap_get_values_len(ld.get(), entry, attribute));
  if (!values || ldap_count_values_len(values.get()) == 0) return -5;

  for (berval** value = values.get(); *value; ++value) {
    std::string_view room((*value)->bv_val, (*value)->bv_len);
    // Without the store no room can be kept; a success code here would hide that.
    if (register_loaded_room(store, room, attribute) == -1) return -6;
  }
  return 0;
}

size_t room_list::refresh(internal_store& store) {
  size_t added = 0;
  for (std::string& room : store.rooms()) {
    if (!known.insert(room).second) continue;
    rooms.push_back(std::move(room));
    ++added;
  }
  return added;
}
