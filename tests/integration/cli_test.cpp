// The real binary: command line, start-up failures, reconnect pacing, background stop and reload,
// one instance per states file and its locks; the main loop's stop in this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "mariadb_server.h"
#include "paths.h"
#include "pms_peer.h"
#include "sqlite_probe.h"
#include "sig.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::read_file;
using testutil::wait_until;

namespace {

class CommandLine : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  std::string out = dir.file("stdout"), err = dir.file("stderr");

  // Runs the daemon with `args` and returns its exit status.
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), testpaths::velmorant_binary());
    testutil::child_process p(args, out, err);
    return p.wait_exit(20s).value_or(-1);
  }
  std::string usage_text() const {
    return "\nVelmorant: middle layer FIAS application.\n\nUsage:\n" + testpaths::velmorant_binary() +
           " [options]\n\nWhere options are:\n"
           "\t-c <path>, --config=<path>\tuse custom config file \n"
           "\t-f, --foreground \t\trun in foreground mode\n"
           "\t-d, --log-to-console\t\tlog to console (requires -f)\n"
           "\t-t, --test\t\t\tcheck the configuration and exit\n"
           "\t-h, --help\t\t\tshow this text\n\n\n";
  }
};

TEST_F(CommandLine, HelpPrintsTheUsageTextExactlyAndExitsZero) {
  EXPECT_EQ(run({"-h"}), 0);
  EXPECT_EQ(read_file(err), usage_text());
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(read_file(err), usage_text());
}

TEST_F(CommandLine, ConsoleLoggingWithoutForegroundShowsUsage) {
  EXPECT_EQ(run({"-d"}), 0);
  EXPECT_EQ(read_file(err), usage_text());
}

TEST_F(CommandLine, UnknownOptionIsReportedThenUsage) {
  for (const char* option : {"-x", "-s"}) {
    EXPECT_EQ(run({option}), 0) << option;
    std::string text = read_file(err);
    EXPECT_NE(text.find("invalid option"), std::string::npos) << option << "\n" << text;
    EXPECT_NE(text.find(usage_text()), std::string::npos) << option;
  }
}

TEST_F(CommandLine, MissingConfigurationFileIsReportedOnStandardErrorAndFails) {
  std::string missing = dir.file("absent.conf");
  EXPECT_EQ(run({"-f", "-c", missing}), 1);
  EXPECT_EQ(read_file(err), "\nUnable to open configuration file " + missing + ". Exiting...\n\n");
}

TEST_F(CommandLine, UnreachablePmsGivesOneErrorAndOneWarningEveryTwoSeconds) {
  int port = testutil::unused_port();
  std::string conf = dir.file("v.conf");
  testutil::write_file(conf, "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(port) +
                                 "\ninterface = PB\nstatesfile = " + dir.file("states.db") +
                                 "\n[logger]\nlog_file = " + dir.file("ignored.log") + "\n");
  testutil::child_process daemon({testpaths::velmorant_binary(), "-f", "-d", "-c", conf}, out, err);
  auto start = std::chrono::steady_clock::now();
  std::string error_line = "Unable to connect to PMS at 127.0.0.1:" + std::to_string(port) + "/PB";
  // The start-up attempt and the loop's first attempt come together; then one every two seconds.
  ASSERT_TRUE(wait_until([&] { return count_occurrences(read_file(err), error_line) >= 4; }, 15s))
      << read_file(err);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 3500ms) << "retries come about two seconds apart";
  EXPECT_LE(elapsed, 10s);
  std::string text = read_file(err);
  int errors = count_occurrences(text, error_line);
  int warnings = count_occurrences(text, "WARNING[");
  EXPECT_EQ(warnings, count_occurrences(text, "Connection to PMS lost")) << "no other warnings";
  EXPECT_TRUE(warnings == errors - 1 || warnings == errors - 2) << text;
  EXPECT_EQ(read_file(dir.file("ignored.log")), "") << "-d logs to standard error only";
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(5s), 0) << "in the foreground too, SIGTERM is an orderly stop";
  EXPECT_NE(read_file(err).find("Caught signal 15. Exiting."), std::string::npos);
}

// The daemon in the background, whose PMS accepts it and then stays silent.
class Background : public testutil::DaemonTest {
 protected:
  void write_conf(const std::string& log_file) {
    testutil::write_file(conf, "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(pms.port()) +
                                   "\nstatesfile = " + states + "\n[logger]\nlog_file = " +
                                   log_file + "\n");
  }

  testutil::silent_listener pms;
};

TEST_F(Background, SigtermRemovesThePidFileAndExitsZero) {
  write_conf(log);
  start_background();
  EXPECT_EQ(stop(12s), 0);
  EXPECT_NE(access(pidfile.c_str(), F_OK), 0) << "pid file left behind";
  EXPECT_NE(read_file(log).find("Caught signal 15. Exiting."), std::string::npos) << read_file(log);
}

TEST_F(Background, SighupReloadsWithinASecondWhileThePmsIsSilent) {
  write_conf(log);
  start_background();
  std::string new_log = dir.file("after-reload.log");
  write_conf(new_log);
  auto sent = std::chrono::steady_clock::now();
  signal(SIGHUP);
  ASSERT_TRUE(wait_until([&] {
    return read_file(log).find("Hangup. Reloading configuration.") != std::string::npos;
  }, 3s)) << read_file(log);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s) << "about a second, with room for a loaded machine";
  // The reloaded logger writes to the new file; the silent link was not dropped.
  ASSERT_EQ(stop(12s), 0);
  EXPECT_NE(read_file(new_log).find("Caught signal 15. Exiting."), std::string::npos);
  EXPECT_EQ(read_file(log).find("Connection to PMS lost"), std::string::npos) << read_file(log);
}

TEST_F(Background, SecondInstanceLeavesWithStatusOneAndTheFirstKeepsItsPidFile) {
  write_conf(log);
  start_background();
  testutil::child_process launcher({program, "-c", conf}, dir.file("out2"), dir.file("err2"));
  ASSERT_EQ(launcher.wait_exit(10s), 0);
  // The second daemon detached from its launcher (through an intermediate process that leaves
  // with 0); as their reaper this process sees each of them end.
  bool refused = wait_until([&] {
    int st = 0;
    pid_t ended = waitpid(-1, &st, WNOHANG);
    return ended > 0 && ended != pid() && WIFEXITED(st) && WEXITSTATUS(st) == 1;
  }, 10s);
  EXPECT_TRUE(refused) << "no process of the second start left with status 1";
  EXPECT_NE(read_file(log).find("Another " + program_name + " is running as process " + std::to_string(pid()) +
                                "; exiting"),
            std::string::npos)
      << read_file(log);
  EXPECT_EQ(read_file(pidfile), std::to_string(pid()) + "\n");
  EXPECT_EQ(kill(pid(), 0), 0) << "the first instance runs on";

  // Started in the foreground for troubleshooting, on the same states file: refused too.
  testutil::child_process foreground({program, "-f", "-d", "-c", conf}, dir.file("out3"), dir.file("err3"));
  EXPECT_EQ(foreground.wait_exit(10s), 1);
  EXPECT_NE(read_file(dir.file("err3")).find("Another " + program_name + " is running as process " +
                                             std::to_string(pid()) + " on states file"),
            std::string::npos)
      << read_file(dir.file("err3"));
  EXPECT_EQ(kill(pid(), 0), 0) << "the first instance runs on";
}

// Forks a process that becomes user nobody and read-locks `paths`, as any user who can read them
// can, and holds the locks until it is killed. Its pid, and whether every lock was taken.
std::pair<pid_t, bool> read_lock_as_nobody(const std::vector<std::string>& paths) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return {-1, false};
  pid_t child = fork();
  if (child == 0) {
    const passwd* nobody = getpwnam("nobody");
    bool locked = nobody && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0;
    for (const std::string& path : paths) {
      struct flock lock {};
      lock.l_type = F_RDLCK;
      int fd = ::open(path.c_str(), O_RDONLY);
      locked = locked && fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0;
    }
    const char answer = locked ? '1' : '0';
    if (write(ready[1], &answer, 1) == 1) pause();
    _exit(0);
  }
  close(ready[1]);
  char answer = '0';
  pollfd readable{ready[0], POLLIN, 0};
  if (poll(&readable, 1, 5000) != 1 || read(ready[0], &answer, 1) != 1) answer = '0';
  close(ready[0]);
  return {child, answer == '1'};
}

void end_process(pid_t pid) {
  ::kill(pid, SIGKILL);
  testutil::wait_pid(pid, 5s);
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A read lock needs only read access. A user holding one on the pid file (which stays readable
// for the tools that look the daemon up) or on an instance lock file left readable by an older
// version must not keep the daemon from starting; the instance lock is the daemon's user's alone.
TEST_F(Background, ReadLocksOfAnotherUserDoNotKeepTheDaemonFromStarting) {
  if (getuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  write_conf(log);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string lock = states + ".lock";
  const std::string pid_path = "/var/run/velmorant-" + std::to_string(getpid()) + "-" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                               ".pid";
  for (const std::string& path : {lock, pid_path}) {
    testutil::write_file(path, "");
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  }
  auto [reader, locked] = read_lock_as_nobody({lock, pid_path});
  ASSERT_TRUE(locked);
  start_background();
  end_process(reader);
  ASSERT_EQ(pidfile, pid_path);
  EXPECT_EQ(read_file(pidfile), std::to_string(pid()) + "\n");
  EXPECT_EQ(mode_of(lock), 0600u);
  EXPECT_EQ(mode_of(pidfile), 0644u) << "the pid file is for everyone to read";
  auto [second, relocked] = read_lock_as_nobody({lock});
  end_process(second);
  EXPECT_FALSE(relocked) << "another user opened the instance lock";
  EXPECT_EQ(stop(12s), 0);
}

// A check-in whose statement hangs on a server that stopped answering, and a reload that drops
// that server's section meanwhile: the request still holds the driver, and the stop interrupts
// it after its grace all the same, so the daemon ends within seconds.
TEST_F(Background, StopInterruptsAStatementOfASectionThatAReloadDropped) {
  testutil::mariadb_server& server = testutil::mariadb_server::shared();
  server.create_database("pbxdropped");
  server.execute("create table users (ext varchar(8) primary key, name varchar(40));"
                 "insert into users (ext) values ('101')",
                 "pbxdropped");
  pms_peer peer;
  testutil::DaemonTest::write_conf(peer.port(), mysql_section("pbxmy", server, "pbxdropped") +
                                                    testutil::typical_services("pbxmy"));
  start_background();
  link_up(peer);
  struct resume_on_exit {
    pid_t pid;
    ~resume_on_exit() { ::kill(pid, SIGCONT); }
  } resume{server.pid()};
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  ASSERT_TRUE(peer.send_record("GI|RN101|GNHung|"));
  ASSERT_TRUE(logged("Received Guest checkin packet from PMS", 5s)) << diagnostics();
  testutil::sqlite_exec(pbx, testutil::kPbxSchema);
  testutil::DaemonTest::write_conf(peer.port(), sqlite_section() + testutil::typical_services("pbx"));
  signal(SIGHUP);
  ASSERT_TRUE(logged("Hangup. Reloading configuration.", 5s)) << diagnostics();
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  testutil::report_time("stop with a statement of a dropped section hanging", stop_ms);
  EXPECT_LT(stop_ms, 12000) << "bounded by the grace and the interrupt, not by the server";
}

// A supervisor's reload must not stop the service: a file that is briefly missing or has a bad
// line leaves the configuration in force running.
TEST_F(Background, ReloadOfAVanishedOrBrokenFileKeepsTheDaemonRunning) {
  write_conf(log);
  start_background();
  unlink(conf.c_str());
  signal(SIGHUP);
  const std::string kept = "Unable to read configuration file " + conf + "; keeping the configuration in force";
  ASSERT_TRUE(wait_until([&] { return count_occurrences(read_file(log), kept) == 1; }, 5s)) << read_file(log);
  testutil::write_file(conf, "[pms]\nport = 70000\n");
  signal(SIGHUP);
  ASSERT_TRUE(wait_until([&] { return count_occurrences(read_file(log), kept) == 2; }, 5s)) << read_file(log);
  EXPECT_EQ(kill(pid(), 0), 0) << "still running";
  EXPECT_EQ(stop(12s), 0);
  EXPECT_NE(access(pidfile.c_str(), F_OK), 0) << "pid file left behind";
}

// SIGUSR1 asks the PMS for a database resync (DR), once per signal: at once on an active link,
// after the PMS's link active on one that is not, and never on its own on a start or reconnect.
class Resync : public testutil::DaemonTest {
 protected:
  static size_t resync_requests(const pms_peer& pms) {
    size_t n = 0;
    for (const std::string& r : pms.received())
      if (r.rfind("DR|", 0) == 0) ++n;
    return n;
  }
};

TEST_F(Resync, SigusrOneSendsOneResyncRequestOnceTheLinkIsActive) {
  pms_peer pms;
  write_conf(pms.port(), "");
  start_foreground();
  ASSERT_TRUE(pms.accept(15s)) << diagnostics();
  ASSERT_TRUE(pms.wait_for_record("LS|")) << diagnostics();

  // Asked before the link is active: the request waits for the PMS's link active.
  signal(SIGUSR1);
  ASSERT_TRUE(logged("Database resync requested", 5s)) << diagnostics();
  pms.send_record("LS|DA091231|TI101500|");
  ASSERT_TRUE(pms.wait_for_record("LA|")) << diagnostics();
  EXPECT_EQ(resync_requests(pms), 0u) << "a DR before the PMS activated the link";
  pms.send_record("LA|DA091231|TI101501|");
  std::optional<std::string> dr = pms.wait_for_record("DR|");
  ASSERT_TRUE(dr) << diagnostics();
  EXPECT_EQ(dr->size(), std::string("DR|DA091231|TI101501|").size()) << *dr;
  EXPECT_EQ(dr->substr(11, 3), "|TI") << *dr;
  EXPECT_TRUE(logged("Sent database resync request to PMS", 5s)) << diagnostics();

  // Asked while the link is active: sent at once, one record per signal.
  signal(SIGUSR1);
  ASSERT_TRUE(pms.wait_for_record("DR|")) << diagnostics();
  EXPECT_TRUE(logged("Sent database resync request to PMS", 5s, 2)) << diagnostics();
  EXPECT_EQ(resync_requests(pms), 2u);

  // A new connection without a signal: none, up to the stop, which lets the link active that is
  // in hand finish and closes the connection after it.
  pms.close_client();
  ASSERT_TRUE(pms.bring_link_up(15s)) << diagnostics();
  ASSERT_TRUE(logged("Received Link active packet from PMS", 5s, 2)) << diagnostics();
  EXPECT_EQ(stop(12s), 0);
  EXPECT_TRUE(pms.wait_closed(5s));
  EXPECT_EQ(resync_requests(pms), 0u) << "a DR nobody asked for";
  EXPECT_EQ(count_occurrences(read_file(log), "Sent database resync request to PMS"), 2);
}

// The main loop of a daemon in this process, its PMS refusing connections and tried again only
// every 20 s: a stop asked for during one of the two pauses between attempts is served at once,
// not after the other pause. Asked for by a request, and by SIGTERM with this thread blocking the
// deferred signals, as every thread but the daemon's main loop does.
class MainLoop : public testutil::DaemonTest {};

void count_only(int) {}

TEST_F(MainLoop, StopDuringThePauseBetweenPmsAttemptsIsServedAtOnce) {
  write_conf(testutil::unused_port(), "");
  daemon_timing timing = testutil::quick_timing();
  timing.pms_retry = 20s;
  int round = 0;
  for (bool by_signal : {false, true}) {
    SCOPED_TRACE(by_signal ? "SIGTERM" : "request");
    ++round;
    if (by_signal) signal_set_handler(SIGTERM, 0, count_only);
    start_in_process(timing);
    // The attempt of the start and the loop's first: the loop is now in its pause.
    ASSERT_TRUE(logged("Unable to connect to PMS", 5s, 2 * round)) << diagnostics();
    const auto asked = std::chrono::steady_clock::now();
    if (by_signal) {
      deferred_signals_blocked here;
      ::kill(getpid(), SIGTERM);
      EXPECT_TRUE(logged("Caught signal 15. Exiting.", 15s)) << diagnostics();
    }
    EXPECT_EQ(stop_in_process(), 0);
    const long long took = testutil::ms_since(asked);
    testutil::report_time(by_signal ? "stop by SIGTERM in the PMS pause" : "stop by request in the PMS pause", took);
    EXPECT_LT(took, 5000) << "the stop waited for a pause of 10 s";
    signal_set_handler(SIGTERM, 0, SIG_DFL);
  }
}

// A reload that ends the manager feed while the feed is in a connection attempt (its manager's
// accept queue is full, so every attempt takes its whole second): the main loop serves the next
// signal at once instead of waiting for the attempt to end.
TEST_F(MainLoop, ReloadDoesNotWaitForTheReplacedFeedToStop) {
  unique_fd manager_port(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(manager_port.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(manager_port.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::listen(manager_port.get(), 0), 0);
  std::vector<unique_fd> queued;  // connections that complete fill the queue
  for (int i = 0; i < 8; ++i) {
    mansession filler;
    ASSERT_EQ(mgr_init(filler, "127.0.0.1", ntohs(addr.sin_port), "a", "b"), 0);
    if (connect_nonb(filler) < 0) break;
    queued.push_back(std::move(filler.fd));
  }
  ASSERT_FALSE(queued.empty());
  const std::string manager = "cdr_mgr_host = 127.0.0.1\ncdr_mgr_port = " +
                              std::to_string(ntohs(addr.sin_port)) +
                              "\ncdr_mgr_user = velmorant\ncdr_mgr_password = pbx\n";
  const int pms_port = testutil::unused_port();
  write_conf(pms_port, "[services]\ncdr_use_manager = 1\n" + manager);
  daemon_timing timing = testutil::quick_timing();
  timing.pms_retry = 20s;
  signal_set_handler(SIGHUP, 0, count_only);
  signal_set_handler(SIGTERM, 0, count_only);
  start_in_process(timing);
  write_conf(pms_port, "[services]\ncdr_use_manager = 0\n" + manager);
  {
    deferred_signals_blocked here;
    // The feed's second attempt has just begun.
    ASSERT_TRUE(logged("asterisk@127.0.0.1: Connecting", 10s, 2)) << diagnostics();
    ::kill(getpid(), SIGHUP);
    ASSERT_TRUE(logged("Hangup. Reloading configuration.", 5s)) << diagnostics();
    const auto asked = std::chrono::steady_clock::now();
    ::kill(getpid(), SIGTERM);
    EXPECT_TRUE(logged("Caught signal 15. Exiting.", 10s)) << diagnostics();
    const long long took = testutil::ms_since(asked);
    testutil::report_time("SIGTERM served after a reload that ends a feed", took);
    EXPECT_LT(took, 500) << "the main loop waited for the old feed's connection attempt";
  }
  EXPECT_EQ(stop_in_process(), 0);
  signal_set_handler(SIGHUP, 0, SIG_DFL);
  signal_set_handler(SIGTERM, 0, SIG_DFL);
}

}  // namespace
