// The daemon as the integration tests run it: the real binary or the daemon object, its
// configuration, the PMS link and the log.
#include "daemon_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "mariadb_server.h"
#include "paths.h"
#include "sqlite_probe.h"

namespace testutil {

std::string typical_services(const std::string& drv) {
  return "[services]\ncheckin = " + drv + ":update users set name='%name%' where ext='%exten%'\n"
         "billcalls = " + drv + ":select substr(calldate,1,10), substr(calldate,12,8), dst, "
         "billsec, -1 from cdr where src='%exten%' and userfield=''\n"
         "billmark = " + drv + ":update cdr set userfield='%seqno%' where src='%exten%' and "
         "calldate='%date% %time%'\n";
}

daemon_timing quick_timing() {
  daemon_timing t;
  t.poll_interval = 100ms;
  t.pms_retry = 200ms;
  t.feed.backoff_min = 20ms;
  t.feed.backoff_max = 200ms;
  return t;
}

long long ms_since(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

void report_time(const std::string& what, long long ms) {
  std::printf("[ MEASURED ] %s: %lld ms\n", what.c_str(), ms);
  std::fflush(stdout);
}

namespace {

std::vector<std::string> pmssim_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {testpaths::pmssim_binary(), "--port", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

pmssim_process::pmssim_process(const temp_dir& folder, const std::vector<std::string>& args)
    : out_(folder.file("pmssim.out")),
      err_(folder.file("pmssim.err")),
      process_(pmssim_command(args), out_, err_) {
  const std::string banner = "listening on 127.0.0.1:";
  wait_until([&] {
    std::string text = output();
    if (!text.starts_with(banner) || text.find('\n') == std::string::npos) return false;
    port_ = std::stoi(text.substr(banner.size()));
    return true;
  }, 5s);
}

DaemonTest::~DaemonTest() {
  if (object_) stop_in_process();
}

void DaemonTest::TearDown() {
  if (object_) stop_in_process();
  if (background_pid_ > 0) {
    ::kill(background_pid_, SIGKILL);
    wait_pid(background_pid_, 5s);
    background_pid_ = -1;
  }
  // A second instance a test started may still run.
  if (!program.empty()) kill_all_running(program);
  if (!pidfile.empty()) unlink(pidfile.c_str());
  foreground_.reset();
  // A sanitized daemon writes its reports here (see command); none may have come.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename().string().starts_with("sanitizer"))
      ADD_FAILURE() << "report of the daemon's sanitizer:\n" << read_file(entry.path());
}

std::string DaemonTest::pms_section(int pms_port, const std::string& statesfile) const {
  return "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(pms_port) +
         "\ninterface = PB\nstatesfile = " + (statesfile.empty() ? states : statesfile) +
         "\n" + (pms_keys.find("pacing") == std::string::npos ? "pacing = 10\n" : "") + pms_keys +
         "[logger]\nlog_file = " + log + "\n";
}

std::string DaemonTest::sqlite_section(const std::string& name) const {
  return "[" + name + "]\ndbdriver = sqlite\ndatabase = " + pbx + "\n";
}

std::string DaemonTest::mysql_section(const std::string& name, const mariadb_server& server,
                                      const std::string& database,
                                      const std::string& extra) const {
  return "[" + name + "]\ndbdriver = mysql\nhost = " + server.host() +
         "\nport = " + std::to_string(server.port()) + "\nuser = " + server.user() +
         "\npassword = " + server.password() + "\ndatabase = " + database + "\n" + extra;
}

void DaemonTest::write_conf(int pms_port, const std::string& sections, const std::string& rooms) {
  write_file(conf, pms_section(pms_port) + sections + rooms);
}

// Runs the daemon through env, so that a sanitized build writes its reports into the test's
// folder, where TearDown finds them, rather than to a standard error that a daemon in the
// background does not have.
std::vector<std::string> DaemonTest::command(const std::string& binary,
                                             const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/env"};
  for (const char* var : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = std::getenv(var);
    argv.push_back(std::string(var) + "=" + (old ? std::string(old) + ":" : "") +
                   "log_path=" + dir.file("sanitizer"));
  }
  argv.push_back(binary);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

void DaemonTest::start_foreground() {
  foreground_ = std::make_unique<child_process>(
      command(testpaths::velmorant_binary(), {"-f", "-c", conf}), dir.file("out"), dir.file("err"));
}

void DaemonTest::start_background() {
  become_subreaper();
  program_name = "velmorant-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
  program = dir.file(program_name);
  ASSERT_EQ(symlink(testpaths::velmorant_binary().c_str(), program.c_str()), 0);
  pidfile = (getuid() == 0 ? "/var/run/" : "/tmp/") + program_name + ".pid";
  child_process launcher(command(program, {"-c", conf}), dir.file("out"), dir.file("err"));
  ASSERT_EQ(launcher.wait_exit(20s), 0) << read_file(dir.file("err"));
  ASSERT_TRUE(wait_until([&] { return !read_file(pidfile).empty(); }, 10s)) << pidfile;
  background_pid_ = std::stoi(read_file(pidfile));
}

pid_t DaemonTest::pid() const { return foreground_ ? foreground_->pid() : background_pid_; }

void DaemonTest::signal(int signo) const {
  if (pid_t p = pid(); p > 0) ::kill(p, signo);
}

std::optional<int> DaemonTest::wait_exit(std::chrono::milliseconds timeout) {
  if (foreground_) return foreground_->wait_exit(timeout);
  auto status = wait_pid(background_pid_, timeout);
  if (status) background_pid_ = -1;
  return status;
}

std::optional<int> DaemonTest::stop(std::chrono::milliseconds timeout) {
  auto sent = std::chrono::steady_clock::now();
  signal(SIGTERM);
  auto status = wait_exit(timeout);
  stop_ms = ms_since(sent);
  return status;
}

void DaemonTest::start_in_process(const daemon_timing& timing) {
  options opts;
  opts.config_file = conf;
  opts.foreground = true;
  object_ = std::make_unique<velmorant_daemon>(opts, load_settings(conf), timing);
  ASSERT_EQ(object_->start("velmorant"), 0) << diagnostics();
  main_loop_ = std::thread([this] { run_status_ = object_->run(); });
}

int DaemonTest::stop_in_process() {
  if (!object_) return -1;
  object_->request_stop();
  if (main_loop_.joinable()) main_loop_.join();
  object_.reset();
  return run_status_;
}

void DaemonTest::link_up(pms_peer& pms, std::chrono::milliseconds timeout) {
  ASSERT_TRUE(pms.bring_link_up(timeout)) << diagnostics();
  ASSERT_TRUE(logged("Received Link active packet from PMS", 5s, links_up_ + 1)) << diagnostics();
  ++links_up_;
}

bool DaemonTest::has_logged(const std::string& text) const {
  return read_file(log).find(text) != std::string::npos;
}

bool DaemonTest::logged(const std::string& text, std::chrono::milliseconds timeout,
                        int times) const {
  return wait_until([&] { return count_occurrences(read_file(log), text) >= times; }, timeout);
}

std::string DaemonTest::diagnostics() const {
  std::string text = read_file(log);
  if (text.size() > 20000) text = "..." + text.substr(text.size() - 20000);
  return text + read_file(dir.file("err"));
}

}  // namespace testutil
