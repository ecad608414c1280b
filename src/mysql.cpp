// The MySQL driver: statements on a MySQL or MariaDB server, rows read from it one at a time.
#include "mysql.h"

// Spelled with its folder: the plain name would find this module's own header first.
#include <mariadb/mysql.h>

#include <algorithm>
#include <string>

#include "logger.h"

namespace {

constexpr int kMysqlPort = 3306;

struct mysql_closer {
  void operator()(MYSQL* m) const { mysql_close(m); }
};
struct result_freer {
  void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};

// The driver's private state: the client connection and the result being read.
struct mysql_handler_t {
  std::unique_ptr<MYSQL, mysql_closer> mysql;
  std::unique_ptr<MYSQL_RES, result_freer> res;  // opened by the first fetch_row
  MYSQL_ROW row = nullptr;
  unsigned long* lengths = nullptr;  // byte lengths of the current row's values
  bool result_waiting = false;       // the last statement returned rows not yet opened
};

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

int m_connect(mysql_handler_t& h, const char* host, uint16_t port, const char* user,
              const char* password, const char* database) {
  discard_results(h);
  h.mysql.reset(mysql_init(nullptr));
  if (!h.mysql) {
    LOG(L_ERROR, "Failed to initialize mysql");
    return -1;
  }
  mysql_options(h.mysql.get(), MYSQL_READ_DEFAULT_GROUP, "velmorant");
  if (!mysql_real_connect(h.mysql.get(), host, user, password, database, port, nullptr, 0)) {
    LOG(L_ERROR, "Failed to connect to database: Error: %s", mysql_error(h.mysql.get()));
    h.mysql.reset();
    return -2;
  }
  return 0;
}

int my_query(mysql_handler_t& h, const std::string& statement) {
  discard_results(h);
  if (!h.mysql) {
    LOG(L_ERROR, "Query error: %s", "not connected to the server");
    return -1;
  }
  if (mysql_query(h.mysql.get(), statement.c_str()) != 0) {
    LOG(L_ERROR, "Query error: %s", mysql_error(h.mysql.get()));
    return -1;
  }
  h.result_waiting = mysql_field_count(h.mysql.get()) > 0;
  return 0;
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

int my_fetch_float_field(const mysql_handler_t& h, int num, float& val) {
  if (int rc = my_column(h, num, true); rc != 0) return rc;
  const char* text = h.row[num];
  val = text ? db_text_to_float(text) : 0.0f;
  return 0;
}

// For a result read row by row: the rows read so far.
int my_numrets(const mysql_handler_t& h) {
  return h.res ? static_cast<int>(mysql_num_rows(h.res.get())) : 0;
}

void my_free_result(mysql_handler_t& h) { discard_results(h); }

void my_close(mysql_handler_t& h) {
  discard_results(h);
  h.mysql.reset();
}

// 1 when the connection must be made again. Rows left from the previous user are dropped
// first: the server cannot answer a ping while they wait.
int my_is_connected(mysql_handler_t& h) {
  if (!h.mysql) return 1;
  discard_results(h);
  return mysql_ping(h.mysql.get()) == 0 ? 0 : 1;
}

// The operation table of a MySQL instance.
class mysql_driver final : public dbdriver_t {
 public:
  explicit mysql_driver(std::string_view instance_name)
      : dbdriver_t(dbkind::mysql, instance_name, kMysqlPort) {}

  int connect(const char* host, uint16_t port, const char* user, const char* password,
              const char* database) override {
    return m_connect(h_, host, port, user, password, database);
  }
  int query(const std::string& statement) override { return my_query(h_, statement); }
  int fetch_row() override { return my_fetch_row(h_); }
  int fetch_int_field(int num, int& val) override { return my_fetch_int_field(h_, num, val); }
  int fetch_char_field(int num, std::string& val, size_t len) override {
    return my_fetch_char_field(h_, num, val, len);
  }
  int fetch_float_field(int num, float& val) override {
    return my_fetch_float_field(h_, num, val);
  }
  int numrets() override { return my_numrets(h_); }
  void free_result() override { my_free_result(h_); }
  void close() override { my_close(h_); }
  int is_connected() override { return my_is_connected(h_); }

 private:
  mysql_handler_t h_;
};

}  // namespace

std::unique_ptr<dbdriver_t> mysql_create_drv(std::string_view name) {
  return std::make_unique<mysql_driver>(name);
}
