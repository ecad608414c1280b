// The internal store: the daemon's own SQLite file with the room registry and the call cache.
#include "store.h"

#include <iniparser.h>
#include <ldap.h>
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
#include "sqlite.h"

namespace {

constexpr int kMaxRoomKeys = 9999;
constexpr int kDefaultLdapPort = 389;
constexpr int kDefaultLdapVersion = 2;

constexpr const char* kCreateRooms =
    "create table rooms (room varchar(8), ci_date date, citime time, calls integer, "
    "primary key(room))";

constexpr const char* kCreateCdrcache =
    "create table if not exists `cdrcache` ("
    "`accountcode` varchar(20) NOT NULL default '', "
    "`src` varchar(80) NOT NULL default '', "
    "`dst` varchar(80) NOT NULL default '', "
    "`dcontext` varchar(80) NOT NULL default '', "
    "`clid` varchar(80) NOT NULL default '', "
    "`channel` varchar(80) NOT NULL default '', "
    "`dstchannel` varchar(80) NOT NULL default '', "
    "`lastapp` varchar(80) NOT NULL default '', "
    "`lastdata` varchar(80) NOT NULL default '', "
    "`start` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`answer` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`end` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`duration` int(11) NOT NULL default '0', "
    "`billsec` int(11) NOT NULL default '0', "
    "`disposition` varchar(45) NOT NULL default '', "
    "`amaflags` int(11) NOT NULL default '', "
    "`c_from` varchar(80) NOT NULL default '', "
    "`c_to` varchar(80) NOT NULL default '', "
    "`cost` varchar(20) NOT NULL default '', "
    "`callclass` int(11) NOT NULL default '0', "
    "`faxdata` varchar(255) NOT NULL default '', "
    "`userfield` varchar(255) NOT NULL default '', "
    "`uniqueid` varchar(32) NOT NULL default '')";

constexpr const char* kCreateCdrcacheIndex =
    "CREATE INDEX IF NOT EXISTS `idx_cdrcache_c_from_start` ON `cdrcache` (`c_from`,`start`)";

// The poller looks up each room's unposted calls; without this index every pass reads the whole
// cache, which grows with noremovecalls. Created on older files too: an index changes nothing
// that an older daemon reads.
constexpr const char* kCreateCdrcacheRoomIndex =
    "CREATE INDEX IF NOT EXISTS `idx_cdrcache_src_userfield` ON `cdrcache` (`src`,`userfield`)";

// The posting journal (journal.h): one row per call posting, from before it is sent until the
// PMS answers it. Created on every file that lacks it; an older daemon never reads it.
constexpr const char* kCreatePostings =
    "create table if not exists postings ("
    "id integer primary key, "                  // order of first sending
    "seqno text not null, "                     // P#
    "room text not null, "
    "da text not null, "                        // DA, YYMMDD
    "ti text not null, "                        // TI, HHMMSS
    "billsec integer not null, "                // DU in seconds
    "number text not null, "                    // DD
    "amount integer not null default -1, "      // TA, -1 none
    "source text not null, "                    // '' the call cache, else the poll driver
    "cache_id integer, "                        // cdrcache rowid
    "call_date text, call_time text, "          // the poll row's texts, for billmark
    "link integer not null, "                   // the link it last went out on
    "first_sent integer not null, "             // Unix time
    "marked integer not null default 0, "       // billmark ran (or none is needed)
    "state text not null default 'sent', "      // sent, answered, refused
    "answer text, "                             // the PA's text
    "settled_at integer)";

// Post answers look postings up by P# and room, a new link looks for the unanswered ones, and
// each pass for the poll driver's postings whose mark has not run.
constexpr const char* kCreatePostingsIndexes[] = {
    "create index if not exists idx_postings_seqno on postings (seqno, room)",
    "create index if not exists idx_postings_state on postings (state, link)",
    "create index if not exists idx_postings_marked on postings (marked, source)",
};

// The local date or time now, in the store's format.
std::string now_formatted(const tm& now, const std::string& format) {
  char text[32];
  size_t n = strftime(text, sizeof text, format.c_str(), &now);
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

}  // namespace

internal_store::internal_store() : db_(sqlite_create_drv("sqlite-int")) {}

internal_store::~internal_store() = default;

// Opens the store if it is not open yet; the caller holds its lock. 0, or -1 after logging.
int internal_store::open_locked() {
  if (db_->reconnect_if_needed() == 0) return 0;
  LOG(L_ERROR, "Unable to open states file %s", path_.empty() ? "(not set)" : path_.c_str());
  return -1;
}

// Runs one statement on the store: 0, -1 the store could not be opened, -2 it failed.
int internal_store::statement(const std::string& sql) {
  std::lock_guard guard(*db_);
  if (open_locked() != 0) return -1;
  return db_->query(sql) == 0 ? 0 : -2;
}

int internal_store::open(const std::string& statesfile) {
  std::lock_guard guard(*db_);
  path_ = statesfile;
  db_->database = statesfile;
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
  db_->query("PRAGMA journal_mode=WAL");
  bool usable = true;
  if (db_->query("select count(*) from rooms") != 0) usable = db_->query(kCreateRooms) == 0;
  // The older index goes only with a table created here; the room index goes on every file.
  if (usable && db_->query("select count(*) from cdrcache") != 0) {
    usable = db_->query(kCreateCdrcache) == 0;
    if (usable) db_->query(kCreateCdrcacheIndex);
  }
  if (usable) db_->query(kCreateCdrcacheRoomIndex);
  if (usable) usable = db_->query(kCreatePostings) == 0;
  if (usable)
    for (const char* index : kCreatePostingsIndexes) db_->query(index);
  db_->free_result();
  // A file that opens but is not a database (a crash, a full disk, a wrong path) would let the
  // daemon report itself running while no room can be registered and no call cached.
  if (!usable) {
    LOG(L_ERROR, "Unable to open states file %s", statesfile.c_str());
    db_->close();
    return -1;
  }
  return 0;
}

int internal_store::register_room(std::string_view room) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  std::string sql = "replace into rooms values ('" + sql_escape(dbkind::sqlite, room) + "','" +
                    now_formatted(local, db_->dateformat) + "','" +
                    now_formatted(local, db_->timeformat) + "',0)";
  return statement(sql);
}

int internal_store::remove_room(std::string_view room) {
  return statement("delete from rooms where room='" + sql_escape(dbkind::sqlite, room) + "'");
}

std::vector<std::string> internal_store::rooms() {
  std::vector<std::string> rooms;
  std::lock_guard guard(*db_);
  if (open_locked() != 0 || db_->query("select room from rooms") != 0) return rooms;
  std::string room;
  while (db_->fetch_row() == 0)
    if (db_->fetch_char_field(0, room, std::string::npos) == 0) rooms.push_back(room);
  db_->free_result();
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
