// The internal store: the daemon's own SQLite file with the room registry and the call cache.
#include "store.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <mutex>

#include "logger.h"
#include "dbdriver.h"
#include "sqlite.h"

namespace {

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

size_t room_list::refresh(internal_store& store) {
  size_t added = 0;
  for (std::string& room : store.rooms()) {
    if (!known.insert(room).second) continue;
    rooms.push_back(std::move(room));
    ++added;
  }
  return added;
}
