// The internal store: the daemon's own SQLite file with the room registry, the call cache and the
// posting journal.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class posting_journal;
class stay_book;

// One prepared statement of the store in use, under the store's lock. Values are bound, never
// written into the statement's text. When it goes out of scope it is reset and its values are
// cleared, and the store keeps it compiled for the next use.
class store_statement {
 public:
  store_statement(sqlite3_stmt* stmt, sqlite3* db) : stmt_(stmt), db_(db) {}
  ~store_statement();
  store_statement(const store_statement&) = delete;
  store_statement& operator=(const store_statement&) = delete;

  // Parameters count from 1, as SQLite numbers them.
  store_statement& bind(int index, std::string_view text);
  store_statement& bind(int index, int64_t value);
  store_statement& bind_null(int index);
  // The number of the parameter named `name` (":src"), 0 when the statement has none.
  int parameter(const char* name) const;
  // Steps to the next row: true with a row current; false at the end or on a failure, which
  // result() then tells (logged).
  bool next();
  // Runs the statement to its end: 0, kDbUnavailable (busy, locked, the disk full or failing, the
  // file out of reach, an interrupt) or -1 (logged).
  int run();
  // 0 after the last row; the failure's code (as run) when a step failed.
  int result() const { return result_; }
  // Columns of the current row, from 0; SQL NULL reads as empty text or 0.
  std::string text(int column) const;
  int64_t integer(int column) const;
  // The statement with its values written in, for debug lines.
  std::string expanded() const;

 private:
  sqlite3_stmt* stmt_;
  sqlite3* db_;
  int result_ = 0;
};

// The daemon's own SQLite file: the room registry, the call cache and posting journal that
// the journal (journal.h) keeps in it, and the guests' stays (stays.h). One object per daemon,
// shared by the request worker, the poller and the manager feed; each holds the store's lock (it is BasicLockable) around its
// statements and the rows it reads. The store opens its own connection, so that its statements
// are compiled once and run with bound values.
class internal_store {
 public:
  internal_store();
  ~internal_store();
  internal_store(const internal_store&) = delete;
  internal_store& operator=(const internal_store&) = delete;

  // Dates and times the store writes (the registry's check-in time).
  static constexpr const char* kDateFormat = "%Y-%m-%d";
  static constexpr const char* kTimeFormat = "%H:%M:%S";

  // Opens the store on `statesfile` and creates the table `rooms`, the journal's tables and the
  // stays' tables with their indexes when they are missing. A new file is created readable by its
  // owner only. 0, or -1 after logging "Unable to open states file %s" (start-up then ends with status 1), also
  // when the file opens but its tables can be neither read nor created.
  int open(const std::string& statesfile);
  const std::string& path() const { return path_; }

  // The posting journal kept in this store.
  posting_journal& journal() { return *journal_; }
  // The guests' stays kept in this store.
  stay_book& stays() { return *stays_; }

  // Registers a room with the current date and time, replacing an earlier row of that room.
  // 0; -1 the store could not be opened; -2 the statement failed (both logged).
  int register_room(std::string_view room);
  // Removes a room from the registry; results as register_room.
  int remove_room(std::string_view room);
  // The registered rooms; empty when there are none or the store cannot be read (logged).
  std::vector<std::string> rooms();

  // What the store's users call with its lock held. connect opens the file when it is not open:
  // 0, or -1 (logged). prepare gives the compiled statement
  // of `sql`, a string literal without values: compiled on first use and kept by its address
  // until the store closes; null when it does not compile or the store is not open (logged).
  // exec compiles and runs a statement without values (a PRAGMA, BEGIN, COMMIT, a table's
  // creation) once: the results of store_statement::run.
  int connect();
  std::unique_ptr<store_statement> prepare(const char* sql);
  int exec(const std::string& sql);
  int64_t last_insert_id();
  // Runs `body` (true when its statements ran) as one transaction; false, rolled back, when
  // anything of it fails. The caller holds the lock.
  template <typename Body>
  bool together(Body body) {
    if (exec("BEGIN IMMEDIATE") != 0) return false;
    if (body() && exec("COMMIT") == 0) return true;
    exec("ROLLBACK");
    return false;
  }
  // Rows changed by the last statement.
  int changes();

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  // Callable from any thread without the lock, while another thread runs a statement: the stop
  // uses it to end a statement that waits on a lock held by another connection.
  void interrupt();
  // From the start of a stop, a statement waits a second at most for another connection's lock
  // (5 s otherwise); any thread.
  void limit_waits_for_stop();
  // How long a statement waits for another connection's lock (the busy time), from now on; any
  // thread. kBusyTime unless a stop or a test shortens it.
  void set_busy_time(std::chrono::milliseconds busy_time);
  static constexpr std::chrono::milliseconds kBusyTime{5000};

 private:
  struct sqlite_closer {
    void operator()(sqlite3* db) const;
  };
  struct statement_finalizer {
    void operator()(sqlite3_stmt* stmt) const;
  };
  using statement_ptr = std::unique_ptr<sqlite3_stmt, statement_finalizer>;
  void close();
  int open_locked();
  // SQLite's busy handler: true (1) to try the locked file again after a pause, until the busy
  // time of busy_limit_ms_ has passed.
  static int wait_while_busy(void* self, int attempts);
  int statement(const char* sql, std::initializer_list<std::string_view> values);

  std::mutex mutex_;
  // Held while the handle is opened or closed, and by interrupt() from another thread: SQLite may
  // be interrupted from any thread, but not on a handle that is being closed.
  std::mutex handle_lock_;
  std::atomic<int> busy_limit_ms_;  // the busy time: 5 s, a second from the stop on
  // Declared after the handle: the compiled statements are finalized before it closes.
  std::unique_ptr<sqlite3, sqlite_closer> db_;
  std::unordered_map<const char*, statement_ptr> prepared_;
  std::unique_ptr<posting_journal> journal_;
  std::unique_ptr<stay_book> stays_;
  std::string path_;
};

// A thread's own copy of the room registry (the poller's, the manager feed's). refresh adds
// the rooms registered since the last look, and the rooms a guest left (check-out or move)
// within the last kFollowLeftRooms seconds: a call hung up just before the guest left is cached
// and posted to that guest after it, a restart in between included. Rooms stay in the list until
// a restart.
struct room_list {
  static constexpr std::time_t kFollowLeftRooms = 24 * 3600;
  std::vector<std::string> rooms;
  std::set<std::string> known;
  // Adds the rooms the registry and the recent departures gained; returns how many were added.
  size_t refresh(internal_store& store);
  bool contains(std::string_view room) const { return known.count(std::string(room)) != 0; }
};
