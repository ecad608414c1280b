// The SQLite driver: statements on an SQLite file, one at a time, their rows copied into memory.
#include "sqlite.h"

#include <sqlite3.h>
#include <strings.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "logger.h"

namespace {

constexpr int kSqlitePort = 0;
// How long a statement waits for a lock held by another connection to the same file (the PBX,
// a backup job, an administrator's shell) before it fails with "database is locked".
constexpr int kBusyTimeoutMs = 5000;

struct sqlite_closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct statement_finalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using statement_ptr = std::unique_ptr<sqlite3_stmt, statement_finalizer>;

// One result row; a value is empty for SQL NULL.
using row_t = std::vector<std::optional<std::string>>;

// The driver's private state: the connection and the current result with its cursor.
struct sqlite_handler_t {
  std::unique_ptr<sqlite3, sqlite_closer> sqlite;
  // Held while `sqlite` is opened or closed, and by interrupt() from another thread: SQLite may
  // be interrupted from any thread, but not on a handle that is being closed.
  std::mutex handle_lock;
  std::vector<row_t> rows;
  size_t next_row = 0;              // index of the row the next fetch_row makes current
  const row_t* cur_row = nullptr;   // null before the first fetch_row and after the last
  int initialized = 0;              // 1 while the database is open
};

void sq_free_result(sqlite_handler_t& h) {
  h.rows.clear();
  h.next_row = 0;
  h.cur_row = nullptr;
}

void sq_close_handle(sqlite_handler_t& h) {
  std::lock_guard guard(h.handle_lock);
  h.sqlite.reset();
}

int sq_connect(sqlite_handler_t& h, const char* database) {
  if (h.initialized == 1) return 0;
  sq_free_result(h);
  sq_close_handle(h);
  // A driver without a database file would otherwise open a private temporary database and
  // quietly lose every statement run on it.
  if (database == nullptr || *database == '\0') {
    LOG(L_ERROR, "Error connecting to %s sqlite db", "(no database file set)");
    return -2;
  }
  sqlite3* db = nullptr;
  // Full mutex mode: the connection is used by several threads in turn (each under the
  // instance's lock), which SQLite allows only when it serialises access itself.
  int rc = sqlite3_open_v2(database, &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  std::unique_ptr<sqlite3, sqlite_closer> opened(db);  // handed out even on failure, and closed
  if (rc != SQLITE_OK) {
    LOG(L_ERROR, "Error connecting to %s sqlite db", database);
    return -2;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  {
    std::lock_guard guard(h.handle_lock);
    h.sqlite = std::move(opened);
  }
  h.initialized = 1;
  return 0;
}


enum class compiled { ok, failed, several };

// Compiles the statement of `sql` into `stmt`, left null when the text holds only whitespace,
// comments and semicolons. `several` when anything else follows the first statement: a filled
// template must never run a statement that a value smuggled in behind it (a room number
// "1; ATTACH DATABASE ..."), so what follows is compiled, never run, only to see whether it is
// empty. `failed` leaves SQLite's message on the handle.
compiled sq_compile(sqlite3* db, const char* sql, statement_ptr& stmt) {
  const char* rest = sql;
  while (*rest != '\0') {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db, rest, -1, &raw, &tail);
    statement_ptr next(raw);
    if (stmt && (rc != SQLITE_OK || next)) return compiled::several;
    if (rc != SQLITE_OK) return compiled::failed;
    if (next) stmt = std::move(next);
    if (tail == nullptr || tail == rest) break;
    rest = tail;
  }
  return compiled::ok;
}

// Steps a compiled statement to its end, its rows into the current result. SQLITE_OK or the
// failure's code.
int sq_run(sqlite_handler_t& h, sqlite3_stmt* stmt) {
  const int columns = sqlite3_column_count(stmt);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    row_t& row = h.rows.emplace_back();
    row.reserve(static_cast<size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
        row.emplace_back();
        continue;
      }
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      if (text == nullptr) return SQLITE_NOMEM;
      row.emplace_back(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, i))));
    }
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int sq_query(sqlite_handler_t& h, const std::string& statement) {
  sq_free_result(h);
  if (!h.sqlite) {
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", "database is not open", SQLITE_MISUSE);
    return kDbUnavailable;
  }
  sqlite3* db = h.sqlite.get();
  // SQLite rolls a transaction back by itself on some failures (a full disk among them); the
  // caller's ROLLBACK then has nothing to do, and is not an error worth a log line.
  if (sqlite3_get_autocommit(db) != 0 && strcasecmp(statement.c_str(), "ROLLBACK") == 0) return 0;
  statement_ptr stmt;
  switch (sq_compile(db, statement.c_str(), stmt)) {
    case compiled::several:
      LOG(L_ERROR, "Sqlite query error: more than one statement in: %s", statement.c_str());
      return -2;
    case compiled::failed:
      LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", sqlite3_errmsg(db),
          sqlite3_extended_errcode(db));
      return sq_unavailable(sqlite3_errcode(db)) ? kDbUnavailable : -1;
    case compiled::ok:
      break;
  }
  if (!stmt) return 0;
  if (sq_run(h, stmt.get()) != SQLITE_OK) {
    // Rows read before the failure are no result: a caller must not act on half of one.
    sq_free_result(h);
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", sqlite3_errmsg(db),
        sqlite3_extended_errcode(db));
    return sq_unavailable(sqlite3_errcode(db)) ? kDbUnavailable : -1;
  }
  return 0;
}

int sq_check(sqlite_handler_t& h, const std::string& statement, int& columns,
             std::string& error) {
  if (!h.sqlite) {
    error = "database is not open";
    return -1;
  }
  statement_ptr stmt;
  switch (sq_compile(h.sqlite.get(), statement.c_str(), stmt)) {
    case compiled::several:
      error = "more than one statement";
      return -1;
    case compiled::failed:
      error = sqlite3_errmsg(h.sqlite.get());
      return -1;
    case compiled::ok:
      break;
  }
  columns = stmt ? sqlite3_column_count(stmt.get()) : 0;
  return 0;
}

void sq_interrupt(sqlite_handler_t& h) {
  std::lock_guard guard(h.handle_lock);
  if (h.sqlite) sqlite3_interrupt(h.sqlite.get());
}

// Unlike a list cursor that starts over after the end, a result read to its end stays there:
// a caller that asks once more must not see the first row again.
int sq_fetch_row(sqlite_handler_t& h) {
  if (h.next_row >= h.rows.size()) {
    h.cur_row = nullptr;
    return -1;
  }
  h.cur_row = &h.rows[h.next_row++];
  return 0;
}

// The text of column `num` of the current row through `text` (null for SQL NULL), or the
// fetch's failure code: -1 no current row, -2 no such column.
int sq_column(const sqlite_handler_t& h, int num, const std::optional<std::string>** text) {
  if (h.cur_row == nullptr) return -1;
  if (num < 0 || static_cast<size_t>(num) >= h.cur_row->size()) return -2;
  *text = &(*h.cur_row)[static_cast<size_t>(num)];
  return 0;
}

int sq_fetch_int_field(const sqlite_handler_t& h, int num, int& val) {
  const std::optional<std::string>* text = nullptr;
  if (int rc = sq_column(h, num, &text); rc != 0) return rc;
  val = *text ? db_text_to_int((*text)->c_str()) : 0;
  return 0;
}

int sq_fetch_char_field(const sqlite_handler_t& h, int num, std::string& val, size_t len) {
  const std::optional<std::string>* text = nullptr;
  if (int rc = sq_column(h, num, &text); rc != 0) return rc;
  val = *text ? (*text)->substr(0, len > 0 ? len - 1 : 0) : std::string();
  return 0;
}

void sq_close(sqlite_handler_t& h) {
  sq_free_result(h);
  sq_close_handle(h);
  h.initialized = 0;
}

bool sq_needs_connect(const sqlite_handler_t& h) { return h.initialized != 1; }

// The operation table of an SQLite instance. Host, port, user and password mean nothing to
// SQLite: the database setting is the file.
class sqlite_driver final : public dbdriver_t {
 public:
  explicit sqlite_driver(std::string_view instance_name)
      : dbdriver_t(dbkind::sqlite, instance_name, kSqlitePort) {}

  int connect(const char*, uint16_t, const char*, const char*, const char* database) override {
    return sq_connect(h_, database);
  }
  int query(const std::string& statement) override { return sq_query(h_, statement); }
  int check(const std::string& statement, int& columns, std::string& error) override {
    return sq_check(h_, statement, columns, error);
  }
  std::string escape(std::string_view value) override { return sql_escape(kind, value); }
  void interrupt() override { sq_interrupt(h_); }
  int fetch_row() override { return sq_fetch_row(h_); }
  int fetch_int_field(int num, int& val) override { return sq_fetch_int_field(h_, num, val); }
  int fetch_char_field(int num, std::string& val, size_t len) override {
    return sq_fetch_char_field(h_, num, val, len);
  }
  int changes() override { return h_.sqlite ? sqlite3_changes(h_.sqlite.get()) : 0; }
  void free_result() override { sq_free_result(h_); }
  void close() override { sq_close(h_); }
  bool needs_connect() override { return sq_needs_connect(h_); }

 private:
  sqlite_handler_t h_;
};

}  // namespace

std::unique_ptr<dbdriver_t> sqlite_create_drv(std::string_view name) {
  return std::make_unique<sqlite_driver>(name);
}

bool sq_unavailable(int code) {
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
