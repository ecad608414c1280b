// The stays in the states file: one row per stay, one per room of it.
#include "stays.h"

#include <memory>
#include <mutex>

#include "logger.h"
#include "store.h"

namespace {

// One row per stay, from check-in to check-out (0 while the guest is in), in Unix time. Created on
// every file that lacks it; an older daemon never reads it.
constexpr const char* kCreateStays =
    "create table if not exists stays ("
    "id integer primary key, "
    "guest_no text not null default '', "  // G#
    "name text not null default '', "      // GN
    "lang text not null default '', "      // GL
    "checkin integer not null, "
    "checkout integer not null default 0)";

// The rooms of a stay in order: the guest was in `room` from `since` until `until` (0: still
// there). A move ends one row and starts the next.
constexpr const char* kCreateStayRooms =
    "create table if not exists stay_rooms ("
    "stay integer not null, "
    "room text not null, "
    "since integer not null, "
    "until integer not null default 0)";

// A call is looked up by room and time, the rooms left by the time they were left.
constexpr const char* kCreateStayIndexes[] = {
    "create index if not exists idx_stay_rooms_room on stay_rooms (room, since)",
    "create index if not exists idx_stay_rooms_until on stay_rooms (until)",
};

// A stay's columns as read_stay takes them, with its last room; `r` names the stay_rooms row.
#define STAY_COLUMNS                                                                    \
  "select s.id, (select x.room from stay_rooms x where x.stay = s.id order by x.rowid " \
  "desc limit 1), s.guest_no, s.name, s.lang, s.checkin, s.checkout "                   \
  "from stay_rooms r join stays s on s.id = r.stay "

constexpr const char* kCurrent =
    STAY_COLUMNS "where r.room = ?1 and r.until = 0 order by r.rowid desc limit 1";
constexpr const char* kAt =
    STAY_COLUMNS "where r.room = ?1 and r.since <= ?2 and (r.until = 0 or r.until > ?2) "
    "order by r.since desc, r.rowid desc limit 1";
#undef STAY_COLUMNS

constexpr const char* kEndStay =
    "update stays set checkout = ?2 where id in "
    "(select stay from stay_rooms where room = ?1 and until = 0)";
constexpr const char* kLeaveRoom =
    "update stay_rooms set until = ?2 where room = ?1 and until = 0";
constexpr const char* kInsertStay =
    "insert into stays (guest_no, name, lang, checkin) values (?1, ?2, ?3, ?4)";
constexpr const char* kEnterRoom = "insert into stay_rooms (stay, room, since) values (?1, ?2, ?3)";
constexpr const char* kUpdateGuest =
    "update stays set guest_no = case when ?2 = '' then guest_no else ?2 end, name = ?3, "
    "lang = ?4 where id = ?1";
constexpr const char* kLeftBefore =
    "select 1 from stay_rooms where room = ?1 and until > 0 and until <= ?2 limit 1";

constexpr const char* kRoomsLeft =
    "select distinct room from stay_rooms where until >= ?1 and until > 0 order by room";

// Runs `sql` with the values `bind` gives; false when it cannot be compiled or fails (logged).
// The caller holds the lock.
template <typename Bind>
bool run(internal_store& store, const char* sql, Bind bind) {
  std::unique_ptr<store_statement> stmt = store.prepare(sql);
  if (!stmt) return false;
  bind(*stmt);
  return stmt->run() == 0;
}

// The first row of a select of STAY_COLUMNS; none when there is none or the read fails.
std::optional<stay> read_stay(store_statement& stmt) {
  if (!stmt.next()) return std::nullopt;
  stay s;
  s.id = stmt.integer(0);
  s.room = stmt.text(1);
  s.guest_no = stmt.text(2);
  s.name = stmt.text(3);
  s.lang = stmt.text(4);
  s.checkin = static_cast<std::time_t>(stmt.integer(5));
  s.checkout = static_cast<std::time_t>(stmt.integer(6));
  return s;
}

// Ends the current stay of `room` (if any) at `when`. The caller holds the lock.
bool end_stay(internal_store& store, std::string_view room, int64_t when) {
  auto bind = [&](store_statement& s) { s.bind(1, room).bind(2, when); };
  return run(store, kEndStay, bind) && run(store, kLeaveRoom, bind);
}

// The current stay of `room`, the lock held.
std::optional<stay> current_locked(internal_store& store, std::string_view room) {
  std::unique_ptr<store_statement> stmt = store.prepare(kCurrent);
  if (!stmt) return std::nullopt;
  stmt->bind(1, room);
  return read_stay(*stmt);
}

}  // namespace

bool stay_book::create_tables() {
  if (store_.exec(kCreateStays) != 0 || store_.exec(kCreateStayRooms) != 0) return false;
  for (const char* index : kCreateStayIndexes) store_.exec(index);
  return true;
}

std::optional<stay> stay_book::current(std::string_view room) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return std::nullopt;
  return current_locked(store_, room);
}

int64_t stay_book::open(std::string_view room, std::string_view guest_no, std::string_view name,
                        std::string_view lang) {
  const int64_t when = now();
  int64_t id = 0;
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return 0;
  bool done = store_.together([&] {
    if (!end_stay(store_, room, when)) return false;
    if (!run(store_, kInsertStay, [&](store_statement& s) {
          s.bind(1, guest_no).bind(2, name).bind(3, lang).bind(4, when);
        }))
      return false;
    id = store_.last_insert_id();
    return run(store_, kEnterRoom,
               [&](store_statement& s) { s.bind(1, id).bind(2, room).bind(3, when); });
  });
  return done ? id : 0;
}

bool stay_book::close(std::string_view room) {
  const int64_t when = now();
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return false;
  return store_.together([&] { return end_stay(store_, room, when); });
}

bool stay_book::move(std::string_view from, std::string_view to) {
  const int64_t when = now();
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return false;
  std::optional<stay> moving = current_locked(store_, from);
  if (!moving) return false;
  if (from == to) return true;
  return store_.together([&] {
    return end_stay(store_, to, when) &&
           run(store_, kLeaveRoom, [&](store_statement& s) { s.bind(1, from).bind(2, when); }) &&
           run(store_, kEnterRoom,
               [&](store_statement& s) { s.bind(1, moving->id).bind(2, to).bind(3, when); });
  });
}

bool stay_book::update(std::string_view room, std::string_view guest_no, std::string_view name,
                       std::string_view lang) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return false;
  std::optional<stay> in_room = current_locked(store_, room);
  if (!in_room) return false;
  return run(store_, kUpdateGuest, [&](store_statement& s) {
    s.bind(1, in_room->id).bind(2, guest_no).bind(3, name).bind(4, lang);
  });
}

std::optional<stay> stay_book::at(std::string_view room, std::time_t when) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return std::nullopt;
  std::unique_ptr<store_statement> stmt = store_.prepare(kAt);
  if (!stmt) return std::nullopt;
  stmt->bind(1, room).bind(2, int64_t{when});
  return read_stay(*stmt);
}

bool stay_book::left_before(std::string_view room, std::time_t when) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return false;
  std::unique_ptr<store_statement> stmt = store_.prepare(kLeftBefore);
  if (!stmt) return false;
  stmt->bind(1, room).bind(2, int64_t{when});
  return stmt->next();
}

std::vector<std::string> stay_book::rooms_left_since(std::time_t since) {
  std::vector<std::string> rooms;
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return rooms;
  std::unique_ptr<store_statement> stmt = store_.prepare(kRoomsLeft);
  if (!stmt) return rooms;
  stmt->bind(1, int64_t{since});
  while (stmt->next()) rooms.push_back(stmt->text(0));
  if (stmt->result() != 0) rooms.clear();
  return rooms;
}
