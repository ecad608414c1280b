// Direct access to SQLite files for tests, through the SQLite library rather than the driver.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "store.h"

struct sqlite3;

namespace testutil {

using rows_t = std::vector<std::vector<std::string>>;

// Runs `sql` on the file (creating it when missing); throws on failure. SQL NULL reads "NULL".
rows_t sqlite_rows(const std::string& path, const std::string& sql);
void sqlite_exec(const std::string& path, const std::string& sql);

// This test program's internal store, opened on first use on a file of its own, and that
// file's path.
internal_store& shared_store();
const std::string& shared_store_path();

// The shared store's busy time shortened while the object lives, so that a test meets another
// connection's lock in milliseconds; then the store's own again.
class short_store_waits {
 public:
  explicit short_store_waits(std::chrono::milliseconds busy_time = std::chrono::milliseconds(10)) {
    shared_store().set_busy_time(busy_time);
  }
  ~short_store_waits() { shared_store().set_busy_time(internal_store::kBusyTime); }
  short_store_waits(const short_store_waits&) = delete;
  short_store_waits& operator=(const short_store_waits&) = delete;
};

// Another connection to the SQLite file at `path` that holds its write lock (BEGIN EXCLUSIVE)
// until it goes: an administrator's shell or a backup job in the middle of a transaction. Throws
// when the lock cannot be taken.
class exclusive_lock {
 public:
  explicit exclusive_lock(const std::string& path);
  ~exclusive_lock();
  exclusive_lock(const exclusive_lock&) = delete;
  exclusive_lock& operator=(const exclusive_lock&) = delete;
  // Lets the lock go now.
  void release();

 private:
  sqlite3* db_ = nullptr;
};

// The settings of a configuration file, loaded as the daemon loads them; throws when it cannot.
std::shared_ptr<const Settings> load_settings(const std::string& path);

}  // namespace testutil
