// Test helpers: temporary folders, files, waiting on conditions, and child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testutil {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it when the object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);  // empty when missing
void write_file(const std::string& path, const std::string& text);
std::vector<std::string> lines_of(const std::string& text);
int count_occurrences(const std::string& text, const std::string& needle);

// The local time `when` (now by default) in a strftime pattern ("%Y-%m-%d" for today's date).
std::string local_time_text(const char* pattern, std::time_t when = std::time(nullptr));

// Polls `condition` every 20 ms until it holds or `timeout` passes; returns its last answer.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A program started by the test, standard output and error sent to files (one file when both
// paths are the same). It gets SIGKILL should the test program die, and when the object goes
// (a server that must shut down cleanly is stopped first), so no run leaves a program behind.
// The one helper for every program a test starts: the daemon, pmssim, mariadbd, slapd.
class child_process {
 public:
  child_process(const std::vector<std::string>& argv, const std::string& stdout_path,
                const std::string& stderr_path);
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const;
  // The exit status (or 128 + signal number) once the process ends within `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // False once the program has ended (it is then reaped).
  bool running();
  // SIGTERM, then SIGKILL when it has not ended within `grace`; waits for the end.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs a program to its end, its output into `output_path`; the exit status, or -1 when it
// could not run or did not end in five minutes.
int run_program(const std::vector<std::string>& argv, const std::string& output_path);

// The last lines of a file (a server's log), for failure messages.
std::string tail_of_file(const std::string& path, size_t lines = 15);

// Makes this process the reaper of its orphaned descendants, so that a daemon that detached
// from the program the test started can still be waited for.
void become_subreaper();

// Waits for any descendant `pid` (a child or, after become_subreaper, an orphaned grandchild).
std::optional<int> wait_pid(pid_t pid, std::chrono::milliseconds timeout);

// Kills (SIGKILL) every process whose program path is `program`, and reaps those that are this
// process's own: a test that failed half-way must not leave a detached daemon behind.
void kill_all_running(const std::string& program);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int unused_port();

// A TCP port on 127.0.0.1 whose connections the kernel completes and nobody ever reads or
// answers: a peer that has hung, a PMS that stays silent, a port that is in use.
class silent_listener {
 public:
  silent_listener();
  ~silent_listener();
  silent_listener(const silent_listener&) = delete;
  silent_listener& operator=(const silent_listener&) = delete;
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  int fd_ = -1;
};

}  // namespace testutil
