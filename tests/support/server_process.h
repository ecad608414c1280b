// A server program that a test fixture runs for the whole test program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testutil {

// Started with its output in one file. It is stopped with SIGTERM when the object goes, and
// the kernel kills it should the test program itself die, so no run leaves a server behind.
class server_process {
 public:
  server_process(const std::vector<std::string>& argv, const std::string& output_path);
  ~server_process();
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  pid_t pid() const { return pid_; }
  // False once the program has ended (it is then reaped).
  bool running();
  // SIGTERM, then SIGKILL when it has not ended within `grace`; waits for the end.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
};

// The last lines of a server's log, for failure messages.
std::string tail_of_file(const std::string& path, size_t lines = 15);

// Runs a program to its end, its output into `output_path`; the exit status, or -1 when it
// could not run or was killed.
int run_program(const std::vector<std::string>& argv, const std::string& output_path);

}  // namespace testutil
