// Leveled log lines: one open-write-close per line, so a rotated log file is simply created again.
#include "logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "fdutils.h"

namespace {

constexpr size_t kLineMax = 1023;  // prefix and message together, as in a 1024-byte buffer
constexpr size_t kPathMax = 1023;

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

std::mutex path_lock;  // guards log_path and link_reported: logger_init runs while others log
std::string log_path;
bool link_reported = false;  // the symbolic link at log_path has been reported

// The log path for logger_write_from_signal, which can take no lock: written while
// `signal_path_set` is down, read only while it is up. Empty: standard error.
std::array<char, kPathMax + 1> signal_path{};
std::atomic<bool> signal_path_set{false};

struct log_target {
  std::string path;
  bool link_reported;
};

log_target current_target() {
  std::lock_guard guard(path_lock);
  return {log_path, link_reported};
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

// " LEVEL[pid]: file:line in function: ", or " VERBOSE[pid]: " for VERBOSE lines.
std::string line_prefix(int level, const char* file, int line, const char* function) {
  std::string prefix = " " + std::string(kLevels[level].name) + "[" + std::to_string(getpid()) +
                       "]: ";
  if (level != L_VERBOSE)
    prefix += std::string(file) + ":" + std::to_string(line) + " in " + function + ": ";
  return prefix.substr(0, kLineMax);
}

}  // namespace

// A value from a peer (a guest name holding a newline) must not start a line of its own that
// reads like one of the daemon's. An escape is never cut in half.
void append_escaped(std::string& line, std::string_view message, size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char c : message) {
    auto byte = static_cast<unsigned char>(c);
    const char escape[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    std::string_view shown(escape, sizeof escape);
    if (c == '\n')
      shown = "\\n";
    else if (c == '\r')
      shown = "\\r";
    else if ((byte >= 0x20 && byte != 0x7f) || c == '\t')
      shown = std::string_view(&c, 1);
    if (line.size() + shown.size() > limit) return;
    line += shown;
  }
}

namespace {

std::string time_stamp() {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  strftime(stamp, sizeof stamp, "%D %T", &tm_now);
  return stamp;
}

// Tells standard error and syslog, once for this path, that the log file is a symbolic link:
// whoever planted it wants the daemon to append to a file of their choosing, and the
// administrator must hear of it even though the log itself is not written.
void report_link(const std::string& path) {
  {
    std::lock_guard guard(path_lock);
    if (link_reported || log_path != path) return;
    link_reported = true;
  }
  std::string line = line_prefix(L_ERROR, __FILE_NAME__, __LINE__, __func__);
  append_escaped(line, "Log file " + path + " is a symbolic link; not writing to it", kLineMax);
  syslog(LOG_ERR, "%s", line.c_str());
  write_all(STDERR_FILENO, time_stamp() + ": " + line + "\n");
}

// Appends a line to the file; false when the file cannot be opened. A symbolic link in the
// file's place is refused: the daemon runs as root, and the log's folder may be writable by the
// user who rotates the logs.
bool append_to_file(const log_target& target, const std::string& text) {
  // 0640, not the 0666 of a plain fopen: the log holds guest names and, at DEBUG, every
  // statement sent to the PBX's databases.
  unique_fd fd(::open(target.path.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  if (!fd) {
    struct stat st;
    if (errno == ELOOP && lstat(target.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      report_link(target.path);
    return false;
  }
  write_all(fd.get(), text);
  fd.reset();
  if (target.link_reported) {
    // The link is gone: a new one planted later is reported again.
    std::lock_guard guard(path_lock);
    if (log_path == target.path) link_reported = false;
  }
  return true;
}

}  // namespace

int logger_init(const char* file, int start_level, int do_syslog, int disable_log) {
  dont_log = disable_log;
  log_level = start_level;
  {
    std::lock_guard guard(path_lock);
    log_path = file ? std::string(file).substr(0, kPathMax) : std::string();
    link_reported = false;
    signal_path_set = false;
    std::memcpy(signal_path.data(), log_path.c_str(), log_path.size() + 1);
    signal_path_set = true;
  }
  log_to_syslog = do_syslog;
  return 0;
}

void logger_write_from_signal(const char* text, size_t len) {
  int fd = -1;
  if (dont_log != 1 && signal_path_set && signal_path[0] != '\0')
    fd = ::open(signal_path.data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  const int target = fd >= 0 ? fd : STDERR_FILENO;
  while (len > 0) {
    ssize_t n = ::write(target, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text += n;
    len -= static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
}

void write_log(int level, const char* file, int line, const char* function, const char* fmt, ...) {
  if (dont_log == 1) return;
  if (level + log_level < 5) return;
  if (level < L_DEBUG || level > L_VERBOSE) {
    std::fprintf(stderr, "log called with bogus level: %d\n", level);
    return;
  }

  std::string text = line_prefix(level, file, line, function);
  // Many formats end in "\n" out of habit; the line ends anyway, and one call writes one line.
  std::string format(fmt);
  while (!format.empty() && format.back() == '\n') format.pop_back();
  // Escapes only lengthen the message, so its first characters up to the room left are enough.
  std::string message(kLineMax - text.size() + 1, '\0');
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(message.data(), message.size(), format.c_str(), ap);
  va_end(ap);
  message.resize(n < 0 ? 0 : std::min(static_cast<size_t>(n), message.size() - 1));
  append_escaped(text, message, kLineMax);

  if (log_to_syslog) syslog(kLevels[level].priority, "%s", text.c_str());

  text = time_stamp() + ": " + text + "\n";
  log_target target = current_target();
  if (!target.path.empty() && append_to_file(target, text)) return;
  write_all(STDERR_FILENO, text);
}
