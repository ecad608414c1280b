// The SQLite driver: statements on an SQLite file, their rows copied into memory as they run.
#include "sqlite.h"

#include <sqlite3.h>

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
struct sqlite_text_freer {
  void operator()(char* text) const { sqlite3_free(text); }
};

// One result row; a value is empty for SQL NULL.
struct row_t {
  std::vector<std::optional<std::string>> vals;
  std::vector<std::string> colnames;
};

// The driver's private state: the connection and the current result with its cursor.
struct sqlite_handler_t {
  std::unique_ptr<sqlite3, sqlite_closer> sqlite;
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

int sq_connect(sqlite_handler_t& h, const char* database) {
  if (h.initialized == 1) return 0;
  sq_free_result(h);
  h.sqlite.reset();
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
  h.sqlite.reset(db);  // SQLite hands out a handle even on failure, and it must be closed
  if (rc != SQLITE_OK) {
    LOG(L_ERROR, "Error connecting to %s sqlite db", database);
    h.sqlite.reset();
    return -2;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  h.initialized = 1;
  return 0;
}

// Row collector handed to sqlite3_exec: appends one row of the running statement.
int sq_callback(void* context, int colcount, char** values, char** names) {
  auto& h = *static_cast<sqlite_handler_t*>(context);
  // An exception must not unwind through SQLite's C frames; a non-zero answer aborts the
  // statement instead, and sq_query logs it.
  try {
    row_t row;
    row.vals.reserve(static_cast<size_t>(colcount));
    row.colnames.reserve(static_cast<size_t>(colcount));
    for (int i = 0; i < colcount; ++i) {
      row.vals.push_back(values[i] ? std::optional<std::string>(values[i]) : std::nullopt);
      row.colnames.emplace_back(names[i] ? names[i] : "");
    }
    h.rows.push_back(std::move(row));
    return 0;
  } catch (...) {
    return 1;
  }
}

int sq_query(sqlite_handler_t& h, const std::string& statement) {
  sq_free_result(h);
  if (!h.sqlite) {
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d", "database is not open", SQLITE_MISUSE);
    return -1;
  }
  char* raw_error = nullptr;
  int rc = sqlite3_exec(h.sqlite.get(), statement.c_str(), sq_callback, &h, &raw_error);
  std::unique_ptr<char, sqlite_text_freer> error(raw_error);
  if (rc != SQLITE_OK) {
    LOG(L_ERROR, "Sqlite query error: %s, ext.errcode %d",
        error ? error.get() : sqlite3_errmsg(h.sqlite.get()),
        sqlite3_extended_errcode(h.sqlite.get()));
    return -1;
  }
  return 0;
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
  if (num < 0 || static_cast<size_t>(num) >= h.cur_row->vals.size()) return -2;
  *text = &h.cur_row->vals[static_cast<size_t>(num)];
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

int sq_fetch_float_field(const sqlite_handler_t& h, int num, float& val) {
  const std::optional<std::string>* text = nullptr;
  if (int rc = sq_column(h, num, &text); rc != 0) return rc;
  val = *text ? db_text_to_float((*text)->c_str()) : 0.0f;
  return 0;
}

int sq_numrets(const sqlite_handler_t& h) { return static_cast<int>(h.rows.size()); }

void sq_close(sqlite_handler_t& h) {
  sq_free_result(h);
  h.sqlite.reset();
  h.initialized = 0;
}

int sq_is_connected(const sqlite_handler_t& h) { return h.initialized == 1 ? 0 : 1; }

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
  int fetch_row() override { return sq_fetch_row(h_); }
  int fetch_int_field(int num, int& val) override { return sq_fetch_int_field(h_, num, val); }
  int fetch_char_field(int num, std::string& val, size_t len) override {
    return sq_fetch_char_field(h_, num, val, len);
  }
  int fetch_float_field(int num, float& val) override {
    return sq_fetch_float_field(h_, num, val);
  }
  int numrets() override { return sq_numrets(h_); }
  void free_result() override { sq_free_result(h_); }
  void close() override { sq_close(h_); }
  int is_connected() override { return sq_is_connected(h_); }

 private:
  sqlite_handler_t h_;
};

}  // namespace

std::unique_ptr<dbdriver_t> sqlite_create_drv(std::string_view name) {
  return std::make_unique<sqlite_driver>(name);
}
