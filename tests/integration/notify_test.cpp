// Reports to systemd: what the notify functions send, and what the real daemon reports on its
// notify socket from start to stop.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fdutils.h"
#include "notify.h"
#include "paths.h"
#include "pms_peer.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;

namespace {

// The socket systemd would listen on: collects every datagram sent to it.
class notify_socket {
 public:
  explicit notify_socket(std::string path) : path_(std::move(path)) {
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("cannot bind " + path_);
  }
  const std::string& path() const { return path_; }

  // The first datagram after the one the previous call returned that starts with `prefix`,
  // waiting up to `timeout`; so a series of calls checks the order of the reports.
  std::optional<std::string> next(std::string_view prefix, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (; cursor_ < seen_.size(); ++cursor_)
        if (seen_[cursor_].starts_with(prefix)) return seen_[cursor_++];
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pfd = {fd_.get(), POLLIN, 0};
      if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      std::string buf(4096, '\0');
      ssize_t n = recv(fd_.get(), buf.data(), buf.size(), 0);
      if (n > 0) seen_.push_back(buf.substr(0, static_cast<size_t>(n)));
    }
  }
  // Everything received so far, one report a line, for failure messages.
  std::string all() const {
    std::string text;
    for (const std::string& s : seen_) text += "[" + s + "]\n";
    return text;
  }

 private:
  std::string path_;
  unique_fd fd_;
  std::vector<std::string> seen_;
  size_t cursor_ = 0;
};

// Sets environment variables for one scope and restores what was there before.
class scoped_env {
 public:
  scoped_env(std::vector<std::pair<std::string, std::optional<std::string>>> values) {
    for (auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      set(name, value);
    }
  }
  ~scoped_env() {
    for (auto& [name, value] : saved_) set(name, value);
  }

 private:
  static void set(const std::string& name, const std::optional<std::string>& value) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Notify, EachReportIsOneDatagramAndAStatusCannotSmuggleAnotherAssignment) {
  testutil::temp_dir dir;
  notify_socket systemd(dir.file("notify"));
  {
    scoped_env env({{"NOTIFY_SOCKET", systemd.path()}});
    notify_ready();
    notify_reloading();
    notify_status("link up\nREADY=1\x1b");
    notify_watchdog();
    notify_stopping();
  }
  EXPECT_EQ(systemd.next("", 2s), "READY=1");
  std::string reloading = systemd.next("", 2s).value_or("");
  EXPECT_TRUE(reloading.starts_with("RELOADING=1\nMONOTONIC_USEC=")) << reloading;
  EXPECT_GT(std::stoll(reloading.substr(reloading.find('=', 12) + 1)), 0);
  EXPECT_EQ(systemd.next("", 2s), "STATUS=link up READY=1 ");
  EXPECT_EQ(systemd.next("", 2s), "WATCHDOG=1");
  EXPECT_EQ(systemd.next("", 2s), "STOPPING=1");

  // Outside systemd nothing is sent: the marker sent afterwards is the next datagram.
  {
    scoped_env env({{"NOTIFY_SOCKET", std::nullopt}});
    notify_ready();
    notify_status("not sent");
  }
  scoped_env env({{"NOTIFY_SOCKET", systemd.path()}});
  notify_status("marker");
  EXPECT_EQ(systemd.next("", 2s), "STATUS=marker") << systemd.all();
}

TEST(Notify, WatchdogIntervalOnlyWhenSetForThisProcess) {
  const std::string self = std::to_string(getpid());
  struct row {
    std::optional<std::string> usec, pid;
    std::chrono::microseconds interval;
  };
  const row rows[] = {
      {std::nullopt, std::nullopt, 0us},
      {"2000000", std::nullopt, 2s},
      {"2000000", self, 2s},
      {"2000000", std::to_string(getppid()), 0us},  // meant for another process
      {"0", std::nullopt, 0us},
      {"soon", std::nullopt, 0us},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.usec.value_or("unset") + " " + r.pid.value_or("unset"));
    scoped_env env({{"WATCHDOG_USEC", r.usec}, {"WATCHDOG_PID", r.pid}});
    EXPECT_EQ(notify_watchdog_interval(), r.interval);
  }
}

TEST(Notify, DaemonReportsReadyStatusReloadWatchdogAndStopInOrder) {
  testutil::temp_dir dir;
  notify_socket systemd(dir.file("notify"));
  pms_peer pms;
  std::string conf = dir.file("v.conf"), log = dir.file("v.log");
  testutil::write_file(conf, "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(pms.port()) +
                                 "\ninterface = PB\nstatesfile = " + dir.file("states.db") +
                                 "\n[logger]\nlog_file = " + log +
                                 "\n[rooms]\nroom1 = 101\nroom2 = 102\n");
  // As systemd starts it: in the foreground, with the socket and a watchdog of 2 s for exactly
  // this process (the shell's pid stays the daemon's through exec).
  testutil::child_process daemon(
      {"/bin/sh", "-c",
       "export NOTIFY_SOCKET=\"$0\" WATCHDOG_USEC=2000000 WATCHDOG_PID=$$; exec \"$@\"",
       systemd.path(), testpaths::velmorant_binary(), "-f", "-c", conf},
      dir.file("out"), dir.file("err"));
  auto diagnostics = [&] { return systemd.all() + read_file(log) + read_file(dir.file("err")); };

  ASSERT_TRUE(systemd.next("READY=1", 10s)) << diagnostics();
  EXPECT_EQ(systemd.next("STATUS=", 5s), "STATUS=PMS link down; 2 rooms") << diagnostics();
  ASSERT_TRUE(pms.bring_link_up(10s)) << diagnostics();
  std::string status = systemd.next("STATUS=", 5s).value_or("");
  EXPECT_TRUE(status.starts_with("STATUS=PMS link active since ")) << diagnostics();
  EXPECT_TRUE(status.ends_with("; 2 rooms")) << status;
  // Pings keep coming within the interval.
  ASSERT_TRUE(systemd.next("WATCHDOG=1", 3s)) << diagnostics();
  ASSERT_TRUE(systemd.next("WATCHDOG=1", 3s)) << diagnostics();

  daemon.signal(SIGHUP);
  EXPECT_TRUE(systemd.next("RELOADING=1", 5s)) << diagnostics();
  EXPECT_TRUE(systemd.next("READY=1", 5s)) << diagnostics();
  EXPECT_TRUE(systemd.next("WATCHDOG=1", 3s)) << "the loop runs on after the reload\n" << diagnostics();

  daemon.signal(SIGTERM);
  EXPECT_TRUE(systemd.next("STOPPING=1", 5s)) << diagnostics();
  EXPECT_EQ(daemon.wait_exit(15s), 0) << diagnostics();
  EXPECT_NE(read_file(log).find("Caught signal 15. Exiting."), std::string::npos) << diagnostics();
}

}  // namespace
