// The daemon: command line, start-up order, the PMS loop, record dispatch, stop and reload.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "cdrmanager.h"
#include "config.h"
#include "fdutils.h"
#include "handlers.h"
#include "pmslink.h"
#include "poller.h"
#include "rooms.h"
#include "store.h"
#include "worker.h"

// What the command line asks for.
struct options {
  std::string config_file = "/etc/velmorant.conf";
  bool foreground = false;   // -f: no fork, no pid file
  bool console_log = false;  // -d: log lines go to standard error (requires -f)
  bool test = false;         // -t: check the configuration and exit
};

// Parses the command line into `opts`. 0 to go on; 1 when the usage text must be shown (help, a
// bad option, -d without -f).
int get_options(int argc, char** argv, options& opts);

// Writes the usage text to standard error.
void usage(char** argv);

// The intervals and sizes the daemon's objects are built with. The defaults are the daemon's;
// tests run a poll cycle in milliseconds with shorter ones.
struct daemon_timing {
  std::chrono::milliseconds poll_interval{10000};  // pause between two poll passes
  std::chrono::milliseconds pms_retry{2000};       // between two connection attempts to the PMS
  std::chrono::milliseconds stop_grace{3000};      // before a stop interrupts hung statements
  size_t queue_capacity = 4096;                    // records read ahead of the worker
  retry_timing retry;                              // requests meeting a busy or absent database
  link_timing link;
  feed_timing feed;
  ldap_limits ldap;
};

// The daemon's object graph: it owns the settings store, the internal store, the PMS link, the
// request worker, the poller and the manager feed, and the main loop that reads the PMS,
// serves signals, reloads and stops. Every thread it starts is joined by the stop.
class velmorant_daemon {
 public:
  velmorant_daemon(options opts, std::shared_ptr<const Settings> first, daemon_timing timing = {});
  ~velmorant_daemon();
  velmorant_daemon(const velmorant_daemon&) = delete;
  velmorant_daemon& operator=(const velmorant_daemon&) = delete;

  // Start-up once the configuration is loaded (and, in the background, the process detached):
  // the logger, the one-instance lock, the states file, the rooms, the first PMS connection, the
  // threads. 0, or the exit status to end with (logged).
  int start(const char* program_name);
  // The PMS loop until a stop is asked for (SIGTERM, SIGINT, SIGQUIT or request_stop), then the
  // stop. The exit status.
  int run();

  // For tests: ask for a stop or a reload from another thread, as the signals do.
  void request_stop();
  void request_reload();

  settings_store& settings() { return settings_; }
  internal_store& store() { return store_; }
  pms_link& link() { return link_; }

 private:
  void apply(const pms_request& request, request_retry& retry);
  void serve_signals();
  void reload();
  void connect_pms();
  void drop_pms_connection();
  void read_pms();
  void update_manager_feed(const Settings& s);
  void retire_manager_feed();
  void publish(std::shared_ptr<const Settings> next);
  void interrupt_drivers();
  void wait(std::chrono::milliseconds how_long, int fd = -1);
  void report_to_service_manager();
  int take_instance_lock(const std::string& statesfile, const char* program_name);
  void shutdown();

  const options opts_;
  const daemon_timing timing_;
  settings_store settings_;
  internal_store store_;
  // The PMS's database swap: the PBX lane applies its records, the main loop ends one left open.
  database_swap swap_;
  pms_link link_;
  request_worker worker_;
  poller poller_;
  std::unique_ptr<manager_feed> feed_;
  // Feeds replaced by a reload, stopping in threads of their own so that the main loop goes on
  // meanwhile; `done` is raised when one has stopped. Joined at the latest by the stop.
  struct retiring_feed {
    std::shared_ptr<std::atomic<bool>> done;
    std::jthread stopper;
  };
  std::vector<retiring_feed> retiring_;
  // Every driver of every snapshot this daemon published, for the stop to interrupt those that
  // a request or a pass still holds after a reload dropped them from the snapshot in force.
  std::mutex drivers_lock_;  // guards drivers_
  std::vector<std::weak_ptr<dbdriver_t>> drivers_;
  // The signal mask the main loop waits with; the deferred signals are blocked outside its
  // waits, so that one arriving between two waits ends the next wait at once.
  sigset_t wait_mask_{};
  unique_fd instance_lock_;
  unique_fd wake_;  // an eventfd that request_stop and request_reload write to
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> reload_requested_{false};
  int stop_signal_ = 0;

  // What systemd was last told (main loop only).
  std::string status_;
  bool link_was_active_ = false;
  std::string active_since_;
  std::chrono::steady_clock::time_point status_at_{};
  std::chrono::steady_clock::time_point watchdog_at_{};
};

// The whole program; main only calls this. The exit status.
int velmorant_main(int argc, char** argv);
