// The database driver interface: one named connection with its settings and its operations.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Which SQL dialect a driver speaks; decides how values are escaped inside string literals.
// ami: no SQL, the statements are Asterisk Manager actions (amidriver.h).
enum class dbkind { sqlite, mysql, ami };

// What query() returns when a statement failed for a reason that passes (a busy file, a server
// out of reach), so that a caller can try it again rather than give up.
inline constexpr int kDbUnavailable = -3;

// A named database connection. Users hold its lock (it is BasicLockable, so std::lock_guard
// serves) from the connection check until they have read the rows they need: the current result
// and row belong to the connection, and one instance serves one statement at a time.
class dbdriver_t {
 public:
  virtual ~dbdriver_t() = default;
  dbdriver_t(const dbdriver_t&) = delete;
  dbdriver_t& operator=(const dbdriver_t&) = delete;

  const dbkind kind;
  std::string name;                   // at most 15 characters
  std::string dateformat = "%Y-%m-%d";  // strftime pattern for dates in statements, <= 15 chars
  std::string timeformat = "%H:%M:%S";  // strftime pattern for times, <= 15 chars
  std::optional<std::string> host;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> database;  // for SQLite the path of the file
  int port = 0;                         // only its low 16 bits reach connect
  // MySQL only: the client character set of the connection (gbk, utf8mb4, ...); the client
  // library's default when not set.
  std::optional<std::string> charset;
  // MySQL only, in seconds: how long opening a connection, and reading or writing one packet of
  // a statement, may take before the call fails. A server that stops answering (paused VM,
  // network partition) must not hold the driver, and every record waiting for it, for ever.
  int connect_timeout = 5;
  int read_timeout = 30;
  int write_timeout = 30;

  // 0 connected (or already open); -1 client library could not be set up; -2 no connection.
  virtual int connect(const char* host, uint16_t port, const char* user, const char* password,
                      const char* database) = 0;
  // 0 the statement ran; -1 it failed (logged); -2 (SQLite) the text holds more than one
  // statement and none of it ran (logged); kDbUnavailable (logged) the database could not take
  // it now, and the same statement may well run later: busy or locked past the wait, the disk
  // full or failing, no connection or the connection lost. Discards the previous result first.
  virtual int query(const std::string& statement) = 0;
  // Compiles a statement without running it: 0 with the number of columns its result has (0 for
  // a statement without rows), or -1 with the database's message in `error`. Nothing is logged,
  // the current result is kept on SQLite and dropped on MySQL. Needs a connection.
  virtual int check(const std::string& statement, int& columns, std::string& error) = 0;
  // The text of a value made safe inside a single-quoted string literal of a statement run on
  // this connection. MySQL escapes for the connection's character set and SQL mode, so the
  // caller holds the lock and connects (reconnect_if_needed) before filling a statement; without
  // a connection it falls back to escaping byte by byte, which is wrong for a multi-byte
  // character set such as gbk should a connection be made before the statement runs.
  virtual std::string escape(std::string_view value) = 0;
  // Callable from any thread, without the lock, while another thread runs a statement: makes a
  // call that waits on the database return soon with a failure. MySQL shuts the connection's
  // socket down (the next user connects again); SQLite interrupts the running statement. An
  // interrupt while nothing runs drops an idle MySQL connection and does nothing on SQLite. A
  // MySQL connect in progress is not interrupted; connect_timeout bounds it.
  virtual void interrupt() = 0;
  // 0 a row is current; negative when there is no (further) row.
  virtual int fetch_row() = 0;
  // Field fetches, column from 0: 0 stored; -1 no current row; -2 no such column;
  // -3 unsuitable column type. SQL NULL reads as empty text or 0.
  virtual int fetch_int_field(int num, int& val) = 0;
  // Stores at most len - 1 characters of the column (len 1 gives an empty text).
  virtual int fetch_char_field(int num, std::string& val, size_t len) = 0;
  // Rows changed by the last statement that inserted, updated or deleted (MySQL: changed, not
  // only matched); 0 when none did.
  virtual int changes() = 0;
  virtual void free_result() = 0;
  virtual void close() = 0;
  // True when the connection must be opened (again): never opened, closed, or lost.
  virtual bool needs_connect() = 0;
  // Why the last query() returned -1, for a driver that leaves that line to its caller (the
  // manager driver knows the action, the caller the service); empty when the driver logged it.
  virtual std::string last_error() const { return {}; }
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  // Opens the connection with the instance's own settings; connect's result. The caller holds
  // the lock.
  int connect_with_settings();
  // The same, only when needs_connect() says so; 0 when the connection was usable.
  int reconnect_if_needed();

 protected:
  dbdriver_t(dbkind k, std::string_view instance_name, int default_port);

 private:
  std::mutex mutex_;
};

// The text of a value made safe inside a single-quoted SQL string literal of this kind, byte by
// byte: quotes doubled, and for MySQL backslashes too. Right for SQLite, and for MySQL only with a
// character set whose multi-byte characters never hold a backslash byte (not gbk, big5, sjis).
std::string sql_escape(dbkind kind, std::string_view value);

// How both kinds read a column's text as a number. Integers take their base from the text
// ("0x1A" is 26, "010" is 8) and stop at the first character that does not fit; text without
// digits gives 0, and values beyond an int are held at its limits.
int db_text_to_int(const char* text);
