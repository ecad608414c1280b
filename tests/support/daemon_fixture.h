// The daemon as the integration tests run it: a configuration in a folder of the test's own, the
// real binary in the foreground or the background, or the daemon object in this process with
// short intervals; the PMS link brought up; the log read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pms_peer.h"
#include "testutil.h"
#include "velmorant.h"

namespace testutil {

class mariadb_server;

// Intervals for a daemon in this process: a poll pass every 100 ms, the PMS
// tried again after 200 ms, the manager after 20 ms (doubling to 200 ms). The limits on peers
// (record, send, LDAP, stop grace) keep the daemon's own values.
daemon_timing quick_timing();

// The PBX tables of the fault tests: a users table with room 101, and a cdr table.
inline constexpr const char* kPbxSchema =
    "create table users (ext varchar(8) primary key, name varchar(40));"
    "insert into users (ext) values ('101');"
    "create table cdr (calldate varchar(20), src varchar(8), dst varchar(255), billsec int, "
    "userfield varchar(255) default '');"
    "create index cdr_src_calldate on cdr (src, calldate);";

// The [services] section of a typical installation on those tables: check-ins, and calls posted
// and marked, on the driver named `drv`.
std::string typical_services(const std::string& drv);

// Milliseconds since `since`, for the times a test reports.
long long ms_since(std::chrono::steady_clock::time_point since);

// Prints "[ MEASURED ] <what>: <n> ms" into the test's output, where the times of the fault
// tests are read from.
void report_time(const std::string& what, long long ms);

// pmssim, the PMS simulator, on a port it picks (`--port 0`) with `args` after it; output into
// pmssim.out and pmssim.err of `folder`.
class pmssim_process {
 public:
  pmssim_process(const temp_dir& folder, const std::vector<std::string>& args);
  // The port from its banner ("listening on 127.0.0.1:PORT"); 0 when none came within 5 s.
  int port() const { return port_; }
  std::string output() const { return read_file(out_); }
  std::string errors() const { return read_file(err_); }
  child_process& process() { return process_; }

 private:
  std::string out_, err_;
  child_process process_;
  int port_ = 0;
};

// The base of the integration tests' fixtures: one daemon per test, in a folder of its own; what
// the test started is stopped in TearDown (a background daemon and a second instance included).
class DaemonTest : public ::testing::Test {
 protected:
  ~DaemonTest() override;
  void TearDown() override;

  // ---- The configuration ----

  // The [pms] and [logger] sections: a PMS on 127.0.0.1:`pms_port`, interface PB, paced records
  // 10 ms apart unless `pms_keys` sets the pacing, the lines of `pms_keys`, the log at `log`,
  // the states file at `statesfile` (`states` when empty).
  std::string pms_section(int pms_port, const std::string& statesfile = "") const;
  // A [pbx] section (or one named `name`) on the SQLite file `pbx`.
  std::string sqlite_section(const std::string& name = "pbx") const;
  // A section `name` on the test MariaDB server's database `database`, with `extra` key lines.
  std::string mysql_section(const std::string& name, const mariadb_server& server,
                            const std::string& database, const std::string& extra = "") const;
  // Writes `conf`: the PMS section, `sections`, then `rooms`.
  void write_conf(int pms_port, const std::string& sections,
                  const std::string& rooms = "[rooms]\nroom1 = 101\n");

  // ---- The real binary ----

  // -f -c conf; output into out and err of the folder.
  void start_foreground();
  // In the background, where the daemon writes its pid file: the program gets a name of its own
  // (a symbolic link), so that parallel tests have pid files of their own. Waits for the file.
  void start_background();
  pid_t pid() const;
  void signal(int signo) const;
  // The daemon's exit status once it ends within `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // SIGTERM, then the exit status; the time it took is in `stop_ms`.
  std::optional<int> stop(std::chrono::milliseconds timeout);

  // ---- The daemon object in this process ----

  // Builds the daemon on `conf` with `timing`, starts it and runs its main loop in a thread.
  void start_in_process(const daemon_timing& timing = quick_timing());
  // Asks the main loop to stop and waits for it; run()'s status.
  int stop_in_process();

  // ---- The PMS and the log ----

  // Takes the daemon's connection and brings the link up as a PMS does; waits for the daemon to
  // log the link active.
  void link_up(pms_peer& pms, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  bool has_logged(const std::string& text) const;
  // Waits until the log holds `text` at least `times` times.
  bool logged(const std::string& text, std::chrono::milliseconds timeout, int times = 1) const;
  // The end of the log and the daemon's standard error, for failure messages.
  std::string diagnostics() const;

  temp_dir dir;
  std::string conf = dir.file("v.conf"), log = dir.file("v.log"), states = dir.file("states.db"),
              pbx = dir.file("pbx.db");
  std::string pms_keys;  // further lines of the [pms] section ("heartbeat = 1\n")
  // A daemon in the background: its program (a link to the binary), the program's name
  // (velmorant-<test's pid>-<test's name>) and its pid file.
  std::string program, program_name, pidfile;
  long long stop_ms = -1;  // how long the last stop() took

 private:
  std::vector<std::string> command(const std::string& binary,
                                   const std::vector<std::string>& args) const;

  std::unique_ptr<child_process> foreground_;
  pid_t background_pid_ = -1;
  std::unique_ptr<velmorant_daemon> object_;
  std::thread main_loop_;
  int run_status_ = -1;
  int links_up_ = 0;
};

}  // namespace testutil
