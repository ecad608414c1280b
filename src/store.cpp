// The internal store: the daemon's own SQLite file with the room registry; the journal keeps the
// call cache and the postings in it.
#include "store.h"

#include <sqlite3.h>
#include <strings.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "logger.h"
#include "dbdriver.h"
#include "journal.h"
#include "sqlite.h"
#include "stays.h"

namespace {

constexpr const char* kCreateRooms =
    "create table rooms (room varchar(8), ci_date date, citime time, calls integer, "
    "primary key(room))";

// The local date or time now, in the store's format.
std::string now_formatted(const tm& now, const char* format) {
  char text[32];
  size_t n = strftime(text, sizeof text, format, &now);
  return std::string(text, n);
}

// The busy time, kBusyTime, is how long a statement waits for a lock held by another connection
// to the same file (an administrator's shell, a backup job) before it fails with "database is
// locked". The same during a stop: a statement that meets another process's lock then gives up within a
// second, so that a lock holder cannot stretch the stop past its bound statement by statement.
constexpr int kStopBusyTimeoutMs = 1000;


// Logs a failed statement as the SQLite driver logs it; the code callers act on.
int failure(sqlite3* db) {
  LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", sqlite3_errmsg(db),
      sqlite3_extended_errcode(db));
  return sq_unavailable(sqlite3_extended_errcode(db)) ? kDbUnavailable : -1;
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

internal_store::internal_store()
    : busy_limit_ms_(static_cast<int>(kBusyTime.count())),
      journal_(std::make_unique<posting_journal>(*this)),
      stays_(std::make_unique<stay_book>(*this)) {}

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
  sqlite3_busy_handler(raw, &internal_store::wait_while_busy, this);
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

int internal_store::wait_while_busy(void* self, int attempts) {
  // Sleeps that add up to the busy time, short at first so that a brief lock costs little.
  static constexpr int kSleepsMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  static constexpr int kSteps = sizeof kSleepsMs / sizeof kSleepsMs[0];
  int waited = 0;
  for (int i = 0; i < attempts; ++i) waited += kSleepsMs[std::min(i, kSteps - 1)];
  const int limit = static_cast<internal_store*>(self)->busy_limit_ms_.load();
  if (waited >= limit) return 0;
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::min(kSleepsMs[std::min(attempts, kSteps - 1)], limit - waited)));
  return 1;
}

void internal_store::limit_waits_for_stop() { busy_limit_ms_ = kStopBusyTimeoutMs; }

void internal_store::set_busy_time(std::chrono::milliseconds busy_time) {
  busy_limit_ms_ = static_cast<int>(busy_time.count());
}

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
  if (usable) usable = stays_->create_tables();
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

size_t room_list::refresh(internal_store& store) {
  size_t added = 0;
  std::vector<std::string> found = store.rooms();
  for (std::string& room : store.stays().rooms_left_since(std::time(nullptr) - kFollowLeftRooms))
    found.push_back(std::move(room));
  for (std::string& room : found) {
    if (!known.insert(room).second) continue;
    rooms.push_back(std::move(room));
    ++added;
  }
  return added;
}
