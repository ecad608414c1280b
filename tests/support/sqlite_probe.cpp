// Direct access to SQLite files for tests.
#include "sqlite_probe.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

#include "store.h"
#include "testutil.h"

namespace testutil {

rows_t sqlite_rows(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  sqlite3_busy_timeout(raw, 5000);
  rows_t rows;
  char* err = nullptr;
  int rc = sqlite3_exec(
      raw, sql.c_str(),
      [](void* ctx, int n, char** vals, char**) {
        auto* out = static_cast<rows_t*>(ctx);
        out->emplace_back();
        for (int i = 0; i < n; ++i) out->back().push_back(vals[i] ? vals[i] : "NULL");
        return 0;
      },
      &rows, &err);
  if (rc != SQLITE_OK) {
    std::string message = err ? err : "error";
    sqlite3_free(err);
    throw std::runtime_error(message + " in: " + sql);
  }
  return rows;
}

void sqlite_exec(const std::string& path, const std::string& sql) { sqlite_rows(path, sql); }

namespace {

const std::string& store_file() {
  static temp_dir dir;
  static const std::string path = dir.file("states.db");
  return path;
}

}  // namespace

internal_store& shared_store() {
  static internal_store store;
  static const int opened = store.open(store_file());
  if (opened != 0) throw std::runtime_error("cannot open the internal store at " + store_file());
  return store;
}

const std::string& shared_store_path() {
  shared_store();
  return store_file();
}

exclusive_lock::exclusive_lock(const std::string& path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK ||
      sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    release();
    throw std::runtime_error("cannot take the write lock of " + path);
  }
}

exclusive_lock::~exclusive_lock() { release(); }

void exclusive_lock::release() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

std::shared_ptr<const Settings> load_settings(const std::string& path) {
  std::shared_ptr<const Settings> s;
  if (load_conf(path, s) != 0) throw std::runtime_error("cannot load the configuration " + path);
  return s;
}

}  // namespace testutil
