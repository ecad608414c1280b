// The daemon's spine: command line, start-up order, the PMS loop, record dispatch, stop, reload.
#include "velmorant.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "daemon.h"
#include "dbdriver.h"
#include "fias.h"
#include "handlers.h"
#include "journal.h"
#include "logger.h"
#include "notify.h"
#include "sig.h"

namespace {

// Starts (or restarts) the logger from the settings in force.
void start_logger(const Settings& s, bool to_console) {
  logger_init(to_console ? "" : s.logfile.c_str(), s.loglevel, s.logtype, s.disable_log);
}

const char* or_empty(const std::optional<std::string>& s) { return s ? s->c_str() : ""; }

using handler_t = void (*)(const request_context&, fias_packet_t*);

// What each request record does, by record code; null means the record is only logged. The link
// records LS, LA and LE act on the link and are handled before this table.
constexpr std::array<handler_t, FIAS_DE + 1> kHandlers = [] {
  std::array<handler_t, FIAS_DE + 1> handlers{};
  handlers[FIAS_GI] = do_checkin;
  handlers[FIAS_GO] = do_checkout;
  handlers[FIAS_RE] = do_room_equip;
  handlers[FIAS_WC] = do_wakeup_clear;
  handlers[FIAS_WR] = do_wakeup_set;
  handlers[FIAS_PA] = do_pa;
  handlers[FIAS_GC] = do_guest_change;
  handlers[FIAS_DS] = do_swap_start;
  handlers[FIAS_DE] = do_swap_end;
  return handlers;
}();

// The deferred signal handlers only count: the main loop reads the counts and acts.
void count_only(int) {}

// An abort (a failed assertion, an uncaught exception, std::terminate) ends the process as a
// failure, so that a supervisor restarts it: daemon_on_abort removes the pid file, says so, and
// the abort goes on with its default action.
void install_signal_handlers() {
  signal_set_handler(SIGHUP, 0, count_only);
  for (int signo : {SIGTERM, SIGINT, SIGQUIT, SIGUSR1}) signal_set_handler(signo, 0, count_only);
  signal_set_handler(SIGABRT, 0, daemon_on_abort);
  for (int signo : {SIGCHLD, SIGUSR2}) signal_set_handler(signo, 0, SIG_IGN);
}

// Takes a signal's count, and clears it.
bool take_signal(int signo) {
  if (signal_received(signo) <= 0) return false;
  signal_handle(signo);
  return true;
}

// Whether a deferred signal has arrived that the main loop has not served yet.
bool deferred_signal_waiting() {
  for (int signo : {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGUSR1})
    if (signal_received(signo) > 0) return true;
  return false;
}

// velmorant -t: one line per problem on standard output, then the summary; 0 when there is none.
// The loader's own errors go to standard error only: not into the log file or syslog of a
// service that may be running on the same configuration.
int check_configuration(const std::string& filename) {
  logger_init("", 1, 0, 0);
  std::vector<std::string> problems = check_conf(filename);
  for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
  std::printf("%s\n", check_summary(problems.size()).c_str());
  return problems.empty() ? 0 : 1;
}

manager_config manager_config_of(const Settings& s) {
  return {s.mgr_host.value_or(""), s.mgr_port, s.mgr_user.value_or(""),
          s.mgr_passwd.value_or(""), s.mgr_all_calls != 0};
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
  std::fprintf(stderr, "\t-t, --test\t\t\tcheck the configuration and exit\n");
  std::fprintf(stderr, "\t-h, --help\t\t\tshow this text\n");
  std::fprintf(stderr, "\n\n");
}

int get_options(int argc, char** argv, options& opts) {
  static const struct option long_options[] = {
      {"config", required_argument, nullptr, 'c'},
      {"foreground", no_argument, nullptr, 'f'},
      {"log-to-console", no_argument, nullptr, 'd'},
      {"test", no_argument, nullptr, 't'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "c:fdht", long_options, nullptr)) != -1) {
    switch (c) {
      case 'c':
        opts.config_file = optarg;
        break;
      case 'f':
        opts.foreground = true;
        break;
      case 'd':
        opts.console_log = true;
        break;
      case 't':
        opts.test = true;
        break;
      default:  // -h, an unknown option or a missing argument
        return 1;
    }
  }
  return opts.console_log && !opts.foreground ? 1 : 0;
}

velmorant_daemon::velmorant_daemon(options opts, std::shared_ptr<const Settings> first,
                                   daemon_timing timing)
    : opts_(std::move(opts)),
      timing_(timing),
      settings_(std::move(first)),
      link_(timing.link),
      worker_([this](const pms_request& r, request_retry& retry) { apply(r, retry); },
              timing.queue_capacity, std::chrono::milliseconds(settings_.current()->pacing),
              timing.retry),
      poller_(settings_, store_, store_.journal(), link_, timing.poll_interval, timing.retry),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  pthread_sigmask(SIG_BLOCK, nullptr, &wait_mask_);
  publish(settings_.current());
}

velmorant_daemon::~velmorant_daemon() { shutdown(); }

int velmorant_daemon::take_instance_lock(const std::string& statesfile, const char* program_name) {
  // Two daemons on one states file would cache and post every call twice, whether they run in
  // the background or in the foreground for troubleshooting: both take this lock.
  // Nobody else reads this file, so it is for the daemon's user alone: a user who could open it
  // could take a read lock and keep every daemon from starting.
  const std::string path = statesfile + ".lock";
  int fd = daemon_lock_pidfile(path.c_str(), 0600);
  if (fd >= 0) {
    instance_lock_.reset(fd);
    if (ftruncate(fd, 0) == 0) fdprintf(fd, "%d\n", static_cast<int>(getpid()));
    return 0;
  }
  if (pid_t holder = daemon_lock_holder(path.c_str())) {
    LOG(L_ERROR, "Another %s is running as process %d on states file %s; exiting", program_name,
        static_cast<int>(holder), statesfile.c_str());
    return 1;
  }
  // The lock file sits beside the states file: when it cannot be made, neither can the store.
  LOG(L_ERROR, "Unable to open states file %s", statesfile.c_str());
  return 1;
}

int velmorant_daemon::start(const char* program_name) {
  auto s = settings_.current();
  link_.close();
  link_.set_heartbeat(std::chrono::seconds(s->pms_heartbeat));
  start_logger(*s, opts_.console_log);
  if (take_instance_lock(s->statesfile, program_name) != 0) return 1;
  if (store_.open(s->statesfile) < 0) return 1;
  load_rooms_conf(store_, s->rooms, timing_.ldap);

  connect_pms();
  worker_.start();
  poller_.count_now();
  poller_.start();
  update_manager_feed(*s);
  notify_ready();
  return 0;
}

// Keeps `systemctl status` current (the link's state, the rooms polled, the manager) and shows
// systemd's watchdog that the main loop turns. Outside systemd the reports go nowhere.
void velmorant_daemon::report_to_service_manager() {
  const auto now = std::chrono::steady_clock::now();
  const auto interval = notify_watchdog_interval();
  if (interval.count() > 0 && now - watchdog_at_ >= interval / 4) {
    notify_watchdog();
    watchdog_at_ = now;
  }
  const bool active = link_.active();
  if (active != link_was_active_) {
    link_was_active_ = active;
    std::array<char, 8> since{};
    time_t wall = time(nullptr);
    struct tm local {};
    strftime(since.data(), since.size(), "%H:%M", localtime_r(&wall, &local));
    active_since_ = since.data();
  } else if (!status_.empty() && now - status_at_ < std::chrono::seconds(60)) {
    return;  // the counts (the poller's, of its last pass) are shown again once a minute
  }
  std::string text = active ? "PMS link active since " + active_since_ : "PMS link down";
  text += "; " + std::to_string(poller_.rooms_counted()) + " rooms";
  if (int awaiting = poller_.awaiting_counted(); awaiting > 0)
    text += "; " + std::to_string(awaiting) + " postings awaiting answer";
  if (feed_) text += feed_->logged_in() ? "; manager connected" : "; manager not connected";
  status_at_ = now;
  if (text == status_) return;
  status_ = text;
  notify_status(status_);
}

void velmorant_daemon::update_manager_feed(const Settings& s) {
  if (!s.use_manager) {
    retire_manager_feed();
    return;
  }
  manager_config wanted = manager_config_of(s);
  // A running feed with the same settings goes on; one that ended (a refused login) or whose
  // settings changed starts anew.
  if (feed_ && feed_->running() && feed_->config() == wanted) return;
  auto next = std::make_unique<manager_feed>(std::move(wanted), store_, store_.journal(), timing_.feed);
  // The calls the old feed holds for the store are cached by the new one, ahead of its own.
  if (feed_) next->follow(*feed_);
  retire_manager_feed();
  feed_ = std::move(next);
  feed_->start();
}

// Stops the feed in force off the main loop: its stop waits for the thread, which may be in the
// middle of a connection attempt or of storing its held calls. The feeds retired earlier that
// have stopped are joined here.
void velmorant_daemon::retire_manager_feed() {
  std::erase_if(retiring_, [](const retiring_feed& r) { return r.done->load(); });
  if (!feed_) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  retiring_.push_back({done, start_jthread([old = std::move(feed_), done]() mutable {
                         old.reset();
                         *done = true;
                       })});
}

// Publishes a snapshot and keeps its drivers within reach of the stop's interrupter.
void velmorant_daemon::publish(std::shared_ptr<const Settings> next) {
  std::lock_guard guard(drivers_lock_);
  std::erase_if(drivers_, [](const std::weak_ptr<dbdriver_t>& d) { return d.expired(); });
  for (const auto& entry : next->drivers) {
    const std::shared_ptr<dbdriver_t>& drv = entry.second;
    bool known = std::any_of(drivers_.begin(), drivers_.end(),
                             [&drv](const std::weak_ptr<dbdriver_t>& d) {
                               return !d.owner_before(drv) && !drv.owner_before(d);
                             });
    if (!known) drivers_.push_back(drv);
  }
  settings_.publish(std::move(next));
}

// Interrupts the statement of every driver still alive, in the snapshot in force or not.
void velmorant_daemon::interrupt_drivers() {
  std::vector<std::shared_ptr<dbdriver_t>> alive;
  {
    std::lock_guard guard(drivers_lock_);
    for (const auto& d : drivers_)
      if (auto drv = d.lock()) alive.push_back(std::move(drv));
  }
  for (const auto& drv : alive) drv->interrupt();
}

void velmorant_daemon::apply(const pms_request& request, request_retry& retry) {
  auto s = settings_.current();
  std::string text = request.text;
  if (!s->pms_charset.empty()) {
    if (std::optional<std::string> converted = fias_text_to_utf8(text, s->pms_charset))
      text = std::move(*converted);
    else
      LOG(L_WARNING, "Record not in code page %s; its bytes are taken as they came: %s",
          s->pms_charset.c_str(), fias_record_excerpt(text).c_str());
  }
  fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  if (!p) {
    LOG(L_WARNING, "Can not parse FIAS packet %s", request.text.c_str());
    return;
  }
  LOG(L_NOTICE, "Received %s packet from PMS", p->desc);
  switch (p->packet_code) {
    case FIAS_LS:
      // Answered on the connection that asked, never on one that replaced it meanwhile.
      link_.answer_link_start(request.link_id, or_empty(s->pmsinterface), s->pms_records);
      return;
    case FIAS_LA:
      link_.set_active(request.link_id);
      send_resync_if_asked();
      return;
    case FIAS_LE:
      // The PMS is shutting its side down: postings wait (in the journal and the PBX) until it
      // activates the link again.
      link_.suspend(request.link_id);
      return;
    default:
      break;
  }
  if (p->packet_code > 0 && p->packet_code < static_cast<int>(kHandlers.size()))
    if (handler_t handler = kHandlers[static_cast<size_t>(p->packet_code)])
      handler(request_context{*s, store_, store_.journal(), &retry, &swap_, &settings_}, p.get());
}

void velmorant_daemon::request_stop() {
  stop_requested_ = true;
  uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) return;
}

void velmorant_daemon::request_reload() {
  reload_requested_ = true;
  uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) return;
}

// Waits up to `how_long` for `fd` to be readable (none: only for the time to pass), for a signal
// (which interrupts the wait: the signals are blocked in every other thread) or for a request
// from another thread. A signal or request that came before the wait and is not served yet ends
// it at once: in the main loop the deferred signals are blocked outside ppoll, so one that
// arrives after the look stays pending until ppoll unblocks it.
void velmorant_daemon::wait(std::chrono::milliseconds how_long, int fd) {
  if (stop_requested_ || reload_requested_ || deferred_signal_waiting()) return;
  std::array<pollfd, 2> fds{{{wake_.get(), POLLIN, 0}, {fd, POLLIN, 0}}};
  const auto ms = how_long.count();
  const timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  if (::ppoll(fds.data(), fd >= 0 ? 2 : 1, &timeout, &wait_mask_) > 0 &&
      (fds[0].revents & POLLIN)) {
    uint64_t count;
    if (::read(wake_.get(), &count, sizeof count) < 0) return;
  }
}

void velmorant_daemon::serve_signals() {
  for (int signo : {SIGTERM, SIGINT, SIGQUIT})
    if (take_signal(signo)) {
      stop_signal_ = signo;
      stop_requested_ = true;
    }
  if (take_signal(SIGHUP) || reload_requested_.exchange(false)) reload();
  if (take_signal(SIGUSR1)) {
    LOG(L_NOTICE, "Database resync requested; sending it once the PMS link is active");
    resync_asked_ = true;
    send_resync_if_asked();
  }
}

// Sends the resync request that a SIGUSR1 asked for, once, when the link is active; called by the
// main loop when asked and by the worker when the PMS activates the link. Whichever takes the
// request sends it: both look at the link after the other's write, so one of them sees it active.
void velmorant_daemon::send_resync_if_asked() {
  if (!link_.active() || !resync_asked_.exchange(false)) return;
  int rc = link_.send_resync_request();
  if (rc >= 0) {
    LOG(L_NOTICE, "Sent database resync request to PMS");
    return;
  }
  // Not gone out: the link went down meanwhile. It is sent once the PMS activates a link again.
  resync_asked_ = true;
  if (rc == -1) LOG(L_WARNING, "Unable to send database resync request to PMS; sending it later");
}

void velmorant_daemon::reload() {
  LOG(L_NOTICE, "Hangup. Reloading configuration.");
  notify_reloading();
  std::shared_ptr<const Settings> next;
  // A configuration that cannot be read (a moment of an editor's save, a bad line) leaves the
  // one in force running: ending here would stop a service that a supervisor only meant to
  // reload.
  if (load_conf(opts_.config_file, next, settings_.current().get()) < 0) {
    LOG(L_ERROR, "Unable to read configuration file %s; keeping the configuration in force",
        opts_.config_file.c_str());
    notify_ready();
    return;
  }
  publish(next);
  start_logger(*next, opts_.console_log);
  link_.set_heartbeat(std::chrono::seconds(next->pms_heartbeat));
  worker_.set_pacing(std::chrono::milliseconds(next->pacing));
  update_manager_feed(*next);
  status_.clear();
  notify_ready();
}

void velmorant_daemon::connect_pms() {
  auto s = settings_.current();
  if (link_.connect(s->pmshost, s->pmsport) == 0) return;
  LOG(L_ERROR, "Unable to connect to PMS at %s:%d/%s", s->pmshost.c_str(), s->pmsport,
      or_empty(s->pmsinterface));
}

// Forgets the connection and pauses before the next attempt; signals end the pause.
void velmorant_daemon::drop_pms_connection() {
  LOG(L_WARNING, "Connection to PMS lost");
  link_.close();
  wait(timing_.pms_retry / 2);
}

// Hands the records the link holds to the worker, reading more when it has none; drops the
// connection when it ended or broke the framing. While the worker's queue is full nothing is
// read: TCP holds the rest at the PMS, and the link's time limits wait with it.
void velmorant_daemon::read_pms() {
  std::string text;
  uint64_t link_id = 0;
  for (;;) {
    if (worker_.full()) {
      link_.pause_reading();
      wait(std::chrono::milliseconds(50));
      return;
    }
    link_.resume_reading();
    int rc = link_.next_record(text, link_id);
    if (rc == 1) {
      LOG(L_DEBUG, "Read %s", text.c_str());
      worker_.push({text, link_id});
      continue;
    }
    if (rc == FIAS_READ_NOT_STX) {
      drop_pms_connection();
      return;
    }
    if (rc == FIAS_READ_TOO_LONG) continue;
    break;
  }
  if (link_.check_time_limits() < 0) {
    drop_pms_connection();
    return;
  }
  // A second at most, so that the time limits are checked; signals end the wait at once.
  auto slice = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(1000),
                                                   timing_.link.record_limit / 4);
  wait(slice, link_.fd());
  if (link_.receive() < 0) drop_pms_connection();
}

int velmorant_daemon::run() {
  // The deferred signals wait for ppoll from here on; a thread started meanwhile inherits the
  // block, as every thread of the daemon has it.
  deferred_signals_blocked outside_waits;
  wait_mask_ = outside_waits.previous();
  while (!stop_requested_) {
    report_to_service_manager();
    serve_signals();
    // Each turn of the loop waits a few seconds at most: a swap the PMS never ends ends in time.
    swap_.expire(std::chrono::seconds(settings_.current()->swap_timeout));
    if (stop_requested_) break;
    if (link_.is_open()) {
      read_pms();
      continue;
    }
    connect_pms();
    if (link_.is_open()) continue;
    // A failed attempt: an ERROR, then a WARNING, and the next attempt two seconds later.
    wait(timing_.pms_retry / 2);
    drop_pms_connection();
  }
  LOG(L_NOTICE, "Caught signal %d. Exiting.", stop_signal_ ? stop_signal_ : SIGTERM);
  notify_stopping();
  shutdown();
  return 0;
}

// Stops every thread and waits for it. A statement that a database does not answer would hold
// a thread for its time-out; after a grace period the drivers are interrupted, so that the stop
// completes within seconds whatever a peer does.
void velmorant_daemon::shutdown() {
  store_.limit_waits_for_stop();
  std::jthread interrupter([this](std::stop_token done) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    if (cv.wait_for(lock, done, timing_.stop_grace, [] { return false; })) return;
    if (done.stop_requested()) return;
    interrupt_drivers();
    store_.interrupt();
  });
  retire_manager_feed();
  retiring_.clear();
  poller_.stop();
  worker_.stop();
  interrupter.request_stop();
  interrupter.join();
  link_.close();
  daemon_close();
  instance_lock_.reset();
}

int velmorant_main(int argc, char** argv) {
  daemon_note_inherited_fds();
  // A write to a PMS or manager that has gone away must fail, not end the daemon.
  std::signal(SIGPIPE, SIG_IGN);

  options opts;
  if (argc > 1 && get_options(argc, argv, opts) != 0) {
    usage(argv);
    return 0;
  }
  // Traces on standard output (the statements run) show up as they happen, even in a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (opts.test) return check_configuration(opts.config_file);
  // Nothing of the databases is opened before the fork.
  std::shared_ptr<const Settings> first;
  if (load_conf(opts.config_file, first, nullptr, driver_connect::later) < 0) {
    std::fprintf(stderr, "\nUnable to open configuration file %s. Exiting...\n\n",
                 opts.config_file.c_str());
    return 1;
  }

  const char* slash = std::strrchr(argv[0], '/');
  const char* program_name = slash ? slash + 1 : argv[0];
  install_signal_handlers();
  if (!opts.foreground) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
      std::fprintf(stderr, "Unable to start in the background: %s\n", std::strerror(errno));
      return 1;
    }
    // The parent leaves at once, without closing or finalising anything the child goes on using.
    if (pid > 0) _exit(0);
    // Any failure of the pid file other than another daemon holding it leaves the daemon
    // running: the states file's lock is what keeps a second instance out.
    if (daemon_init(program_name) != 0) {
      if (pid_t holder = daemon_pidfile_holder(program_name)) {
        start_logger(*first, false);
        LOG(L_ERROR, "Another %s is running as process %d; exiting", program_name,
            static_cast<int>(holder));
        return 1;
      }
    }
  }

  std::shared_ptr<const Settings> loaded = first;
  velmorant_daemon daemon(opts, std::move(first));
  if (int status = daemon.start(program_name); status != 0) return status;
  connect_dbdrivers(*loaded);
  loaded.reset();
  return daemon.run();
}
