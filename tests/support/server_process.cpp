// A server program that a test fixture runs for the whole test program.
#include "server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "testutil.h"

namespace testutil {

namespace {

// fork and exec with output to a file; in the child, a parent's death kills the program.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output_path) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);  // the parent died before the line above
    int out = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

server_process::server_process(const std::vector<std::string>& argv,
                               const std::string& output_path)
    : pid_(spawn(argv, output_path)) {}

server_process::~server_process() { stop(); }

bool server_process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

void server_process::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (!wait_until([this] { return !running(); }, grace)) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

std::string tail_of_file(const std::string& path, size_t lines) {
  auto all = lines_of(read_file(path));
  std::string tail;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    tail += all[i] + "\n";
  return tail;
}

int run_program(const std::vector<std::string>& argv, const std::string& output_path) {
  pid_t pid = spawn(argv, output_path);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace testutil
