// A MariaDB server of the tests' own: a fresh data folder under /tmp, a loopback port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testutil.h"

namespace testutil {

class mariadb_server {
 public:
  // The one server of this test program: started on first use (from the main thread, which
  // the server's life is tied to) and stopped when the program ends. Throws
  // std::runtime_error with the reason when it cannot be started, a missing mariadb-server
  // package included.
  static mariadb_server& shared();

  mariadb_server();
  ~mariadb_server();
  mariadb_server(const mariadb_server&) = delete;
  mariadb_server& operator=(const mariadb_server&) = delete;

  // Where and as whom a client connects: a user with every privilege and a password.
  std::string host() const { return "127.0.0.1"; }
  int port() const { return port_; }
  std::string user() const { return "velmorant"; }
  std::string password() const { return "hotel-pbx-secret"; }

  // Drops a database of that name if there is one, and creates it empty.
  void create_database(const std::string& name);
  // Runs statements as the administrator; throws std::runtime_error when one fails.
  void execute(const std::string& sql, const std::string& database = "");
  // The rows of a reading statement, SQL NULL as "NULL".
  std::vector<std::vector<std::string>> query(const std::string& sql,
                                              const std::string& database = "");

  bool running() { return process_ && process_->running(); }
  // The server's process, -1 when it is stopped: a test pauses it with SIGSTOP to play a server
  // that no longer answers.
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  void stop();
  // Starts the stopped server again on the same port and data.
  void start();
  void restart() {
    stop();
    start();
  }

 private:
  temp_dir dir_;
  int port_;
  std::unique_ptr<child_process> process_;
};

}  // namespace testutil
