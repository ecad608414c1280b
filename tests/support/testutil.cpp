// Test helpers: temporary folders, files, waiting on conditions, and child processes.
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testutil {

temp_dir::temp_dir() {
  std::string pattern = "/tmp/velmorant-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int count_occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

std::string local_time_text(const char* pattern, std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, pattern, &tm));
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

namespace {

// fork and exec with the output in files; in the child, the death of the test kills the program.
pid_t spawn(const std::vector<std::string>& argv, const std::string& stdout_path,
            const std::string& stderr_path) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);  // the test died before the line above
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND;
    int out = ::open(stdout_path.c_str(), flags, 0644);
    int err = stderr_path == stdout_path ? out : ::open(stderr_path.c_str(), flags, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The test's own signal mask and dispositions must not leak into the program under test.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

child_process::child_process(const std::vector<std::string>& argv, const std::string& stdout_path,
                             const std::string& stderr_path)
    : pid_(spawn(argv, stdout_path, stderr_path)) {}

child_process::~child_process() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void child_process::signal(int signo) const {
  if (!reaped_) ::kill(pid_, signo);
}

std::optional<int> child_process::wait_exit(std::chrono::milliseconds timeout) {
  if (reaped_) return std::nullopt;
  auto status = wait_pid(pid_, timeout);
  if (status) reaped_ = true;
  return status;
}

bool child_process::running() {
  if (!reaped_ && waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void child_process::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (!wait_until([this] { return !running(); }, grace)) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
}

int run_program(const std::vector<std::string>& argv, const std::string& output_path) {
  child_process p(argv, output_path, output_path);
  return p.wait_exit(std::chrono::minutes(5)).value_or(-1);
}

std::string tail_of_file(const std::string& path, size_t lines) {
  auto all = lines_of(read_file(path));
  std::string tail;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    tail += all[i] + "\n";
  return tail;
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::optional<int> wait_pid(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  bool done = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!done) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

void kill_all_running(const std::string& program) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_file(entry.path().string() + "/cmdline");
    if (cmdline.substr(0, cmdline.find('\0')) != program) continue;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

namespace {

// A TCP socket bound to an ephemeral port of 127.0.0.1, and that port.
int bound_socket(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int unused_port() {
  uint16_t port = 0;
  ::close(bound_socket(port));
  return port;
}

silent_listener::silent_listener() : fd_(bound_socket(port_)) {
  if (::listen(fd_, 16) != 0) throw std::runtime_error("silent_listener: listen failed");
}

silent_listener::~silent_listener() { ::close(fd_); }

}  // namespace testutil
