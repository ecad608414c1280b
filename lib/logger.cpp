// Leveled log lines: one open-write-close per line, so a rotated log file is simply created again.
#include "logger.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace {

constexpr int kLineMax = 1023;  // prefix and message together, as in a 1024-byte buffer
constexpr int kPathMax = 1023;

struct level_info {
  const char* name;
  int priority;
};

constexpr level_info kLevels[] = {
    {"DEBUG", LOG_DEBUG},     {"EVENT", LOG_INFO}, {"NOTICE", LOG_NOTICE},
    {"WARNING", LOG_WARNING}, {"ERROR", LOG_ERR},  {"VERBOSE", LOG_DEBUG},
};

// Until logger_init runs only ERROR and VERBOSE lines are written, to syslog and standard error,
// so that faults of the first configuration load are still seen.
std::atomic<int> log_level{1};
std::atomic<int> log_to_syslog{1};
std::atomic<int> dont_log{0};

std::mutex path_lock;  // guards log_path: logger_init runs while other threads log
std::string log_path;

std::string current_path() {
  std::lock_guard guard(path_lock);
  return log_path;
}

// Writes the whole text with as few calls as the kernel allows; a log line is never split on
// purpose, and O_APPEND keeps concurrent lines whole.
void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

// Appends a line to the file; false when the file cannot be opened.
bool append_to_file(const std::string& path, const std::string& text) {
  // 0644, not the 0666 of a plain fopen: the daemon clears its umask, and a world-writable log
  // would let any local user forge entries.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  write_all(fd, text);
  ::close(fd);
  return true;
}

}  // namespace

int logger_init(const char* file, int start_level, int do_syslog, int disable_log) {
  dont_log = disable_log;
  log_level = start_level;
  {
    std::lock_guard guard(path_lock);
    log_path = file ? std::string(file).substr(0, kPathMax) : std::string();
  }
  log_to_syslog = do_syslog;
  return 0;
}

void set_log_level(int level) { log_level = level; }

void write_log(int level, const char* file, int line, const char* function, const char* fmt, ...) {
  if (dont_log == 1) return;
  if (level + log_level < 5) return;
  if (level < L_DEBUG || level > L_VERBOSE) {
    std::fprintf(stderr, "log called with bogus level: %d\n", level);
    return;
  }

  char buf[kLineMax + 1];
  int used;
  if (level == L_VERBOSE)
    used = std::snprintf(buf, sizeof buf, " VERBOSE[%ld]: ", static_cast<long>(getpid()));
  else
    used = std::snprintf(buf, sizeof buf, " %s[%ld]: %s:%d in %s: ", kLevels[level].name,
                         static_cast<long>(getpid()), file, line, function);
  if (used < 0) used = 0;
  if (used > kLineMax) used = kLineMax;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf + used, sizeof buf - static_cast<size_t>(used), fmt, ap);
  va_end(ap);

  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  strftime(stamp, sizeof stamp, "%D %T", &tm_now);

  if (log_to_syslog) syslog(kLevels[level].priority, "%s", buf);

  std::string text = std::string(stamp) + ": " + buf + "\n";
  std::string path = current_path();
  if (!path.empty() && append_to_file(path, text)) return;
  write_all(STDERR_FILENO, text);
}
