// The daemon's spine: command line, start-up order, the PMS loop, record dispatch, stop, reload.
#include "velmorant.h"

#include <getopt.h>
#include <poll.h>
#include <unistd.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cdrmanager.h"
#include "config.h"
#include "daemon.h"
#include "fias.h"
#include "handlers.h"
#include "logger.h"
#include "notify.h"
#include "poller.h"
#include "sig.h"
#include "store.h"

std::atomic<int> doexit{0};
int foreground = 0;
int console_log = 0;
std::thread bg;

namespace {

constexpr const char* kDefaultConfig = "/etc/velmorant.conf";
constexpr int kPacketBufSize = 4096;  // a record text holds at most 4095 characters

bool config_given = false;

const char* or_empty(const std::optional<std::string>& s) { return s ? s->c_str() : ""; }

// Starts (or restarts) the logger from the settings in force.
void start_logger(const Settings& s, bool to_console) {
  logger_init(to_console ? "" : s.logfile.c_str(), s.loglevel, s.logtype, s.disable_log);
}

// Ends the process without running destructors: detached workers and the manager thread may
// still be using process-wide state. Traces on standard output are flushed first.
[[noreturn]] void leave(int status) {
  std::fflush(nullptr);
#ifdef __SANITIZE_ADDRESS__
  // _exit skips the leak check that the address-sanitized build runs at an ordinary exit; it
  // runs here instead, so that the tests see the daemon's leaks as well as their own.
  __lsan_do_leak_check();
#endif
  _exit(status);
}

// Tells the poller to stop and waits for it, unless the caller is the poller itself (a SIGABRT
// runs the stop in whichever thread it hits).
void stop_poller() {
  doexit = 1;
  poller_wake();
  if (bg.joinable() && bg.get_id() != std::this_thread::get_id()) bg.join();
}

// One second between records: the PMS is served at its own pace, not flooded.
void pause_one_second() {
  struct timespec one_second = {1, 0};
  nanosleep(&one_second, nullptr);
}

// ---- Record dispatch ----

// A link start from the PMS: answer with the link description, link records and link active.
void on_link_start(fias_packet_t*) {
  auto s = settings();
  fias_init_connection(fias_sock, or_empty(s->pmsinterface));
}

// The PMS confirmed the link: the poller may send from now on.
void on_link_active(fias_packet_t*) { pms_connected = 1; }

using record_action_t = void (*)(fias_packet_t*);

// What each record type does, by record code; null means the record is only logged.
constexpr std::array<record_action_t, FIAS_PA + 1> kRecordActions = [] {
  std::array<record_action_t, FIAS_PA + 1> actions{};
  actions[FIAS_LS] = on_link_start;
  actions[FIAS_LA] = on_link_active;
  actions[FIAS_GI] = do_checkin;
  actions[FIAS_GO] = do_checkout;
  actions[FIAS_RE] = do_room_equip;
  actions[FIAS_WC] = do_wakeup_clear;
  actions[FIAS_WR] = do_wakeup_set;
  actions[FIAS_PA] = do_pa;
  return actions;
}();

// Waits until the PMS connection is readable, for at most a second. >0 readable (or closed),
// 0 nothing yet, <0 interrupted by a signal.
int wait_for_pms(int sock) {
  struct pollfd pfd = {sock, POLLIN, 0};
  int r = poll(&pfd, 1, 1000);
  if (r < 0) return errno == EINTR ? -1 : 1;  // other failures surface in the read
  return r;
}

// Connects to the PMS when there is no connection; logs and paces a failed attempt.
void ensure_pms_connection() {
  if (fias_sock > 0) return;
  auto s = settings();
  fias_sock = fias_connect(s->pmshost.c_str(), s->pmsport, or_empty(s->pmsinterface));
  if (fias_sock < 0) {
    LOG(L_ERROR, "Unable to connect to PMS at %s:%d/%s", s->pmshost.c_str(), s->pmsport,
        or_empty(s->pmsinterface));
    signal_handle_all();
    pause_one_second();
  }
}

// Forgets a connection that failed: the main loop alone closes the PMS descriptor.
void drop_pms_connection() {
  LOG(L_WARNING, "Connection to PMS lost");
  fias_close_link();
  pms_connected = 0;
}

// Keeps the status line of `systemctl status` in step with the PMS link.
void report_status(bool link_active) {
  std::string text = "PMS link down";
  if (link_active) {
    std::array<char, 8> since{};
    time_t now = time(nullptr);
    struct tm local {};
    strftime(since.data(), since.size(), "%H:%M", localtime_r(&now, &local));
    text = std::string("PMS link active since ") + since.data();
  }
  notify_status(text + "; " + std::to_string(store_rooms().size()) + " rooms");
}

// Reads and hands over records until the process stops.
[[noreturn]] void pms_loop() {
  std::array<char, kPacketBufSize> packet_buf;
  bool link_active = false;
  report_status(link_active);
  const bool watchdog = notify_watchdog_interval().count() > 0;
  for (;;) {
    // Every pass takes at most about two seconds while the daemon is well, so a watchdog ping
    // per pass shows systemd that the loop turns.
    if (watchdog) notify_watchdog();
    if ((pms_connected != 0) != link_active) report_status(link_active = !link_active);
    ensure_pms_connection();
    int sock = fias_sock;
    if (sock > 0) {
      // Signals are served while the PMS is silent, so a stop or reload never waits for the next
      // record; a second's timeout also covers a signal that lands just before the wait.
      int ready = wait_for_pms(sock);
      if (ready <= 0) {
        signal_handle_all();
        continue;
      }
    }
    int n = sock > 0 ? fias_read_packet(sock, packet_buf.data(), kPacketBufSize) : FIAS_READ_ERROR;
    if (n == FIAS_READ_INTERRUPTED) {
      signal_handle_all();
      continue;
    }
    if (n < 0) {
      drop_pms_connection();
    } else {
      LOG(L_DEBUG, "Read %s", packet_buf.data());
      start_thread(process_fias_packet, std::string(packet_buf.data(), static_cast<size_t>(n)))
          .detach();
    }
    signal_handle_all();
    pause_one_second();
  }
}

// Installs the deferred handlers of a daemon running in the background.
void install_signal_handlers() {
  signal_set_handler(SIGHUP, 0, sig_hup);
  for (int signo : {SIGTERM, SIGINT, SIGABRT, SIGQUIT, SIGKILL}) signal_set_handler(signo, 0, sig_term);
  for (int signo : {SIGCHLD, SIGUSR1, SIGUSR2}) signal_set_handler(signo, 0, SIG_IGN);
}

}  // namespace

void usage(char** argv) {
  std::fprintf(stderr, "\n");
  std::fprintf(stderr, "Velmorant: middle layer FIAS application.\n\n");
  std::fprintf(stderr, "Usage:\n");
  std::fprintf(stderr, "%s [options]\n\n", argv[0]);
  std::fprintf(stderr, "Where options are:\n");
  std::fprintf(stderr, "\t-c <path>, --config=<path>\tuse custom config file \n");
  std::fprintf(stderr, "\t-f, --foreground \t\trun in foreground mode\n");
  std::fprintf(stderr, "\t-d, --log-to-console\t\tlog to console (requires -f)\n");
  std::fprintf(stderr, "\t-h, --help\t\t\tshow this text\n");
  std::fprintf(stderr, "\n\n");
}

int get_options(int argc, char** argv) {
  static const struct option long_options[] = {
      {"config", required_argument, nullptr, 'c'},
      {"foreground", no_argument, nullptr, 'f'},
      {"log-to-console", no_argument, nullptr, 'd'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "c:fdsh", long_options, nullptr)) != -1) {
    switch (c) {
      case 'c':
        config_file = optarg;
        config_given = true;
        break;
      case 'f':
        foreground = 1;
        break;
      case 'd':
        console_log = 1;
        break;
      case 's':
        break;
      default:  // -h, an unknown option or a missing argument
        return 1;
    }
  }
  return console_log && !foreground ? 1 : 0;
}

void process_fias_packet(std::string text) {
  fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  if (!p) {
    LOG(L_WARNING, "Can not parse FIAS packet %s", text.c_str());
    return;
  }
  LOG(L_NOTICE, "Received %s packet from PMS", p->desc);
  if (p->packet_code > 0 && p->packet_code < static_cast<int>(kRecordActions.size()))
    if (record_action_t action = kRecordActions[static_cast<size_t>(p->packet_code)]) action(p.get());
}

void sig_term(int signo) {
  LOG(L_NOTICE, "Caught signal %d. Exiting.", signo);
  notify_stopping();
  stop_poller();
  free_confvals();
  if (!foreground) daemon_close();
  leave(0);
}

void sig_hup(int) {
  std::string path = config_file;
  LOG(L_NOTICE, "Hangup. Reloading configuration.");
  notify_reloading();
  // load_conf starts from the defaults and publishes a complete new snapshot in one step, so
  // there is no moment in which a worker could find its settings released.
  if (load_conf(path) < 0) {
    LOG(L_ERROR, "Unable to open configuration file %s. Exiting...", path.c_str());
    stop_poller();
    leave(0);
  }
  start_logger(*settings(), false);
  notify_ready();
}

int velmorant_main(int argc, char** argv) {
  const char* program_name = nullptr;
  bool daemon_ready = true;
  daemon_note_inherited_fds();
  // A write to a PMS or manager that has gone away must fail, not end the daemon.
  signal(SIGPIPE, SIG_IGN);

  if (argc > 1 && get_options(argc, argv) != 0) {
    usage(argv);
    return 0;
  }
  // Traces on standard output (the statements run) show up as they happen, even in a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!config_given) config_file = kDefaultConfig;
  if (load_conf(config_file) < 0) {
    std::fprintf(stderr, "\nUnable to open configuration file %s. Exiting...\n\n", config_file.c_str());
    return 0;
  }

  if (!foreground) {
    pid_t pid = fork();
    if (pid != 0) {
      // The parent (or a failed fork) leaves at once, without closing or finalising anything the
      // child goes on using.
      free_confvals();
      leave(0);
    }
    install_signal_handlers();
    const char* slash = std::strrchr(argv[0], '/');
    program_name = slash ? slash + 1 : argv[0];
    daemon_ready = daemon_init(program_name) == 0;
  } else if (std::getenv("NOTIFY_SOCKET")) {
    // Under systemd in the foreground, SIGHUP (systemctl reload) and SIGTERM must reload and stop
    // the daemon, not end it by their default action.
    install_signal_handlers();
  }

  pms_connected = 0;
  start_logger(*settings(), console_log != 0);
  // A second instance would post every call a second time: only the one that holds the pid file
  // runs. Any other failure of the pid file leaves the daemon running, as it always did.
  if (!daemon_ready) {
    if (pid_t holder = daemon_pidfile_holder(program_name)) {
      LOG(L_ERROR, "Another %s is running as process %d; exiting", program_name, static_cast<int>(holder));
      leave(1);
    }
  }

  if (store_init(settings()->statesfile) < 0) leave(1);
  load_rooms_conf(config_file.c_str());
  notify_ready();

  {
    auto s = settings();
    fias_sock = fias_connect(s->pmshost.c_str(), s->pmsport, or_empty(s->pmsinterface));
    if (fias_sock < 0)
      LOG(L_ERROR, "Unable to connect to PMS at %s:%d/%s", s->pmshost.c_str(), s->pmsport,
          or_empty(s->pmsinterface));
  }

  bg = start_thread(service_background);
  if (settings()->use_manager) start_thread(cdrmanager_thread).detach();
  pms_loop();
}
