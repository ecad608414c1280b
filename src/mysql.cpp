// The MySQL driver: statements on a MySQL or MariaDB server, rows read from it one at a time.
#include "mysql.h"

// Spelled with its folder: the plain name would find this module's own header first.
#include <mariadb/errmsg.h>
#include <mariadb/mysql.h>
#include <mariadb/mysqld_error.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "fdutils.h"
#include "logger.h"

namespace {

constexpr int kMysqlPort = 3306;

struct mysql_closer {
  void operator()(MYSQL* m) const { mysql_close(m); }
};
struct result_freer {
  void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
struct statement_closer {
  void operator()(MYSQL_STMT* stmt) const { mysql_stmt_close(stmt); }
};
using connection_ptr = std::unique_ptr<MYSQL, mysql_closer>;

// The driver's private state: the client connection and the result being read.
struct mysql_handler_t {
  connection_ptr mysql;
  std::unique_ptr<MYSQL_RES, result_freer> res;  // opened by the first fetch_row
  MYSQL_ROW row = nullptr;
  unsigned long* lengths = nullptr;  // byte lengths of the current row's values
  bool result_waiting = false;       // the last statement returned rows not yet opened
  // A duplicate of the connection's socket, for interrupt() to shut down from another thread.
  // The client library closes its own descriptor when it loses the connection, and that number
  // may then be reused by any socket of the process (the PMS link); the duplicate is ours, so
  // the number stays the connection's until it is closed here, under `socket_lock`.
  std::mutex socket_lock;
  unique_fd socket;
};

// Takes the connection away from interrupt(), then closes it (a COM_QUIT to the server).
void close_connection(mysql_handler_t& h) {
  connection_ptr closing;
  {
    std::lock_guard guard(h.socket_lock);
    h.socket.reset();
    closing = std::move(h.mysql);
  }
}

// Drops the current result and any result the server still holds for this connection. The
// client library refuses every further command (ping included) while rows wait to be read,
// so a result left half-read or never opened would otherwise break the next statement.
void discard_results(mysql_handler_t& h) {
  MYSQL* m = h.mysql.get();
  if (!h.res && h.result_waiting && m) h.res.reset(mysql_use_result(m));
  h.res.reset();  // freeing a row-by-row result reads and drops its remaining rows
  h.row = nullptr;
  h.lengths = nullptr;
  h.result_waiting = false;
  // A stored procedure call ends with further results (at least its status).
  while (m && mysql_more_results(m) && mysql_next_result(m) == 0) {
    std::unique_ptr<MYSQL_RES, result_freer> more(mysql_use_result(m));
  }
}

int m_connect(mysql_handler_t& h, const dbdriver_t& settings, const char* host, uint16_t port,
              const char* user, const char* password, const char* database) {
  discard_results(h);
  close_connection(h);
  connection_ptr m(mysql_init(nullptr));
  if (!m) {
    LOG(L_ERROR, "Failed to initialize mysql");
    return -1;
  }
  mysql_options(m.get(), MYSQL_READ_DEFAULT_GROUP, "velmorant");
  const unsigned connect_timeout = static_cast<unsigned>(settings.connect_timeout);
  const unsigned read_timeout = static_cast<unsigned>(settings.read_timeout);
  const unsigned write_timeout = static_cast<unsigned>(settings.write_timeout);
  mysql_options(m.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_options(m.get(), MYSQL_OPT_READ_TIMEOUT, &read_timeout);
  mysql_options(m.get(), MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
  if (settings.charset) mysql_options(m.get(), MYSQL_SET_CHARSET_NAME, settings.charset->c_str());
  // No CLIENT_MULTI_STATEMENTS: a statement filled from a template runs alone, whatever a value
  // holds, and the server refuses a text with a second statement behind the first.
  if (!mysql_real_connect(m.get(), host, user, password, database, port, nullptr, 0)) {
    LOG(L_ERROR, "Failed to connect to database: Error: %s", mysql_error(m.get()));
    return -2;
  }
  unique_fd socket(fcntl(static_cast<int>(mysql_get_socket(m.get())), F_DUPFD_CLOEXEC, 0));
  std::lock_guard guard(h.socket_lock);
  h.mysql = std::move(m);
  h.socket = std::move(socket);
  return 0;
}

// Failures that pass: the server out of reach or gone, the connection lost, a lock wait that
// ran out, a deadlock, a full table. Anything else (a syntax error, a constraint) fails the same
// way every time.
bool my_unavailable(unsigned int error) {
  switch (error) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case ER_CON_COUNT_ERROR:
    case ER_SERVER_SHUTDOWN:
    case ER_LOCK_WAIT_TIMEOUT:
    case ER_LOCK_DEADLOCK:
    case ER_RECORD_FILE_FULL:
      return true;
    default:
      return false;
  }
}

int my_query(mysql_handler_t& h, const std::string& statement) {
  discard_results(h);
  if (!h.mysql) {
    LOG(L_ERROR, "Query error: %s", "not connected to the server");
    return kDbUnavailable;
  }
  if (mysql_real_query(h.mysql.get(), statement.data(), statement.size()) != 0) {
    LOG(L_ERROR, "Query error: %s", mysql_error(h.mysql.get()));
    return my_unavailable(mysql_errno(h.mysql.get())) ? kDbUnavailable : -1;
  }
  h.result_waiting = mysql_field_count(h.mysql.get()) > 0;
  return 0;
}

// A server-side prepare: the server parses the statement and resolves its tables and columns,
// and runs nothing.
int my_check(mysql_handler_t& h, const std::string& statement, int& columns, std::string& error) {
  discard_results(h);
  if (!h.mysql) {
    error = "not connected to the server";
    return -1;
  }
  std::unique_ptr<MYSQL_STMT, statement_closer> stmt(mysql_stmt_init(h.mysql.get()));
  if (!stmt) {
    error = mysql_error(h.mysql.get());
    return -1;
  }
  if (mysql_stmt_prepare(stmt.get(), statement.data(), statement.size()) != 0) {
    error = mysql_stmt_error(stmt.get());
    return -1;
  }
  columns = static_cast<int>(mysql_stmt_field_count(stmt.get()));
  return 0;
}

// The connection knows its character set and whether the server reads a backslash in a literal
// as an escape (NO_BACKSLASH_ESCAPES, reported with every answer); escaping byte by byte would
// split a gbk character whose second byte is a backslash and let the quote after it end the
// literal.
std::string my_escape(mysql_handler_t& h, std::string_view value) {
  if (!h.mysql) return sql_escape(dbkind::mysql, value);
  std::string out(value.size() * 2 + 1, '\0');
  unsigned long n =
      mysql_real_escape_string(h.mysql.get(), out.data(), value.data(), value.size());
  // (unsigned long)-1 would mean an overflow, which this buffer size rules out; an empty value
  // is then the safe answer.
  out.resize(n < out.size() ? n : 0);
  return out;
}

void my_interrupt(mysql_handler_t& h) {
  std::lock_guard guard(h.socket_lock);
  if (h.socket) shutdown(h.socket.get(), SHUT_RDWR);
}

int my_fetch_row(mysql_handler_t& h) {
  if (!h.res) {
    if (!h.result_waiting) return -1;
    h.result_waiting = false;
    h.res.reset(mysql_use_result(h.mysql.get()));
    if (!h.res) return -1;
  }
  h.row = mysql_fetch_row(h.res.get());
  if (!h.row) {
    h.lengths = nullptr;
    // The same answer as the end of the rows, but a connection lost half-way through must
    // not pass for a complete result without a word.
    if (mysql_errno(h.mysql.get()) != 0)
      LOG(L_ERROR, "Query error: %s", mysql_error(h.mysql.get()));
    return -2;
  }
  h.lengths = mysql_fetch_lengths(h.res.get());
  return 0;
}

// The column types whose text reads as a number: MYSQL_TYPE_DECIMAL to MYSQL_TYPE_INT24
// (NULL and TIMESTAMP among them), YEAR and NEWDECIMAL.
bool is_numeric(enum_field_types type) {
  return (type >= MYSQL_TYPE_DECIMAL && type <= MYSQL_TYPE_INT24) || type == MYSQL_TYPE_YEAR ||
         type == MYSQL_TYPE_NEWDECIMAL;
}

// Checks that column `num` of the current row can be read (as a number when `numeric`): 0, or
// -1 no current row, -2 no such column, -3 not a numeric column.
int my_column(const mysql_handler_t& h, int num, bool numeric) {
  if (!h.row) return -1;
  // mysql_fetch_field_direct does not check the index itself.
  if (num < 0 || static_cast<unsigned>(num) >= mysql_num_fields(h.res.get())) return -2;
  const MYSQL_FIELD* field = mysql_fetch_field_direct(h.res.get(), static_cast<unsigned>(num));
  if (!field) return -2;
  if (numeric && !is_numeric(field->type)) return -3;
  return 0;
}

int my_fetch_int_field(const mysql_handler_t& h, int num, int& val) {
  if (int rc = my_column(h, num, true); rc != 0) return rc;
  const char* text = h.row[num];
  val = text ? db_text_to_int(text) : 0;
  return 0;
}

// Every column type reads as text: callers read dates, times and numbers alike through it.
int my_fetch_char_field(const mysql_handler_t& h, int num, std::string& val, size_t len) {
  if (int rc = my_column(h, num, false); rc != 0) return rc;
  const char* text = h.row[num];
  size_t keep = len > 0 ? len - 1 : 0;
  val = text ? std::string(text, std::min<size_t>(h.lengths[num], keep)) : std::string();
  return 0;
}

void my_free_result(mysql_handler_t& h) { discard_results(h); }

void my_close(mysql_handler_t& h) {
  discard_results(h);
  close_connection(h);
}

// True when the connection must be made again. Rows left from the previous user are dropped
// first: the server cannot answer a ping while they wait.
bool my_needs_connect(mysql_handler_t& h) {
  if (!h.mysql) return true;
  discard_results(h);
  return mysql_ping(h.mysql.get()) != 0;
}

// The operation table of a MySQL instance.
class mysql_driver final : public dbdriver_t {
 public:
  explicit mysql_driver(std::string_view instance_name)
      : dbdriver_t(dbkind::mysql, instance_name, kMysqlPort) {}

  int connect(const char* host, uint16_t port, const char* user, const char* password,
              const char* database) override {
    return m_connect(h_, *this, host, port, user, password, database);
  }
  int query(const std::string& statement) override { return my_query(h_, statement); }
  int check(const std::string& statement, int& columns, std::string& error) override {
    return my_check(h_, statement, columns, error);
  }
  std::string escape(std::string_view value) override { return my_escape(h_, value); }
  void interrupt() override { my_interrupt(h_); }
  int fetch_row() override { return my_fetch_row(h_); }
  int fetch_int_field(int num, int& val) override { return my_fetch_int_field(h_, num, val); }
  int fetch_char_field(int num, std::string& val, size_t len) override {
    return my_fetch_char_field(h_, num, val, len);
  }
  int changes() override {
    return h_.mysql ? static_cast<int>(mysql_affected_rows(h_.mysql.get())) : 0;
  }
  void free_result() override { my_free_result(h_); }
  void close() override { my_close(h_); }
  bool needs_connect() override { return my_needs_connect(h_); }

 private:
  mysql_handler_t h_;
};

}  // namespace

std::unique_ptr<dbdriver_t> mysql_create_drv(std::string_view name) {
  return std::make_unique<mysql_driver>(name);
}
