// A MariaDB server of the tests' own: a fresh data folder under /tmp, a loopback port.
#include "mariadb_server.h"

#include <mariadb/mysql.h>
#include <unistd.h>

#include <stdexcept>

namespace testutil {

namespace {

constexpr const char* kInstallDb = "/usr/bin/mariadb-install-db";
constexpr const char* kServer = "/usr/sbin/mariadbd";

struct mysql_closer {
  void operator()(MYSQL* m) const { mysql_close(m); }
};
struct result_freer {
  void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using connection = std::unique_ptr<MYSQL, mysql_closer>;

// The administrator's connection, through the server's socket.
connection admin_connection(const std::string& socket, const std::string& database) {
  connection m(mysql_init(nullptr));
  if (!m) throw std::runtime_error("mysql_init failed");
  if (!mysql_real_connect(m.get(), nullptr, "root", nullptr,
                          database.empty() ? nullptr : database.c_str(), 0, socket.c_str(),
                          CLIENT_MULTI_STATEMENTS))
    throw std::runtime_error(std::string("cannot connect to the test MariaDB: ") +
                             mysql_error(m.get()));
  return m;
}

void require_program(const char* path) {
  if (access(path, X_OK) != 0)
    throw std::runtime_error(std::string(path) +
                             " is missing: the MariaDB tests need the mariadb-server package "
                             "(make deps installs it)");
}

}  // namespace

mariadb_server& mariadb_server::shared() {
  static std::unique_ptr<mariadb_server> server;
  static std::string failure;
  if (!server && failure.empty()) {
    try {
      server = std::make_unique<mariadb_server>();
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!server) throw std::runtime_error(failure);
  return *server;
}

mariadb_server::mariadb_server() : port_(unused_port()) {
  require_program(kInstallDb);
  require_program(kServer);
  std::string log = dir_.file("install.log");
  if (run_program({kInstallDb, "--no-defaults", "--datadir=" + dir_.file("data"), "--user=root",
                   "--auth-root-authentication-method=normal", "--skip-test-db"},
                  log) != 0)
    throw std::runtime_error("mariadb-install-db failed:\n" + tail_of_file(log));
  start();
  execute("CREATE USER '" + user() + "'@'%' IDENTIFIED BY '" + password() +
          "'; GRANT ALL PRIVILEGES ON *.* TO '" + user() + "'@'%'");
}

mariadb_server::~mariadb_server() { stop(); }

void mariadb_server::start() {
  std::string log = dir_.file("server.log");
  process_ = std::make_unique<child_process>(
      std::vector<std::string>{kServer, "--no-defaults", "--user=root",
                               "--datadir=" + dir_.file("data"),
                               "--socket=" + dir_.file("mysqld.sock"),
                               "--pid-file=" + dir_.file("mysqld.pid"),
                               "--port=" + std::to_string(port_), "--bind-address=127.0.0.1",
                               "--skip-name-resolve", "--innodb-buffer-pool-size=16M",
                               "--log-error=" + log},
      dir_.file("server.out"), dir_.file("server.out"));
  bool ready = wait_until(
      [&] {
        if (!process_->running()) return true;
        try {
          admin_connection(dir_.file("mysqld.sock"), "");
          return true;
        } catch (const std::runtime_error&) {
          return false;
        }
      },
      std::chrono::seconds(60));
  if (!ready || !process_->running())
    throw std::runtime_error("mariadbd did not come up:\n" + tail_of_file(log));
}

void mariadb_server::stop() {
  if (process_) process_->stop();
  process_.reset();
}

void mariadb_server::create_database(const std::string& name) {
  execute("DROP DATABASE IF EXISTS `" + name + "`; CREATE DATABASE `" + name + "`");
}

void mariadb_server::execute(const std::string& sql, const std::string& database) {
  query(sql, database);
}

std::vector<std::vector<std::string>> mariadb_server::query(const std::string& sql,
                                                            const std::string& database) {
  connection m = admin_connection(dir_.file("mysqld.sock"), database);
  if (mysql_query(m.get(), sql.c_str()) != 0)
    throw std::runtime_error("\"" + sql + "\" failed: " + mysql_error(m.get()));
  std::vector<std::vector<std::string>> rows;
  do {
    std::unique_ptr<MYSQL_RES, result_freer> res(mysql_store_result(m.get()));
    if (!res) continue;
    unsigned columns = mysql_num_fields(res.get());
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
      std::vector<std::string> values;
      for (unsigned i = 0; i < columns; ++i) values.emplace_back(row[i] ? row[i] : "NULL");
      rows.push_back(std::move(values));
    }
  } while (mysql_next_result(m.get()) == 0);
  if (mysql_errno(m.get()) != 0)
    throw std::runtime_error("\"" + sql + "\" failed: " + mysql_error(m.get()));
  return rows;
}

}  // namespace testutil
