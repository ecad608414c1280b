// Daemon support: detaching, descriptor clean-up and the locked pid file.
#include "daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fdutils.h"
#include "lim.h"
#include "logger.h"

namespace {

std::mutex pidfile_lock;   // guards pidfile and pidfile_fd
std::string pidfile;       // path of the pid file this process holds; empty when none
unique_fd pidfile_fd;      // kept open: its record lock marks the daemon as running
std::vector<int> inherited_fds;
bool inherited_noted = false;
// The pid file's path for the abort handler, which may neither lock nor allocate: written
// before `abort_pidfile_set` is raised, and only read while it is.
std::array<char, PATH_MAX> abort_pidfile{};
std::atomic<bool> abort_pidfile_set{false};

// Closes what the process inherited; without a note, everything but 0 to 2 up to the limit.
void close_inherited(bool keep_std) {
  if (inherited_noted) {
    for (int fd : inherited_fds)
      if (!(keep_std && fd <= 2)) ::close(fd);
    return;
  }
  long limit = limit_open();
  for (long fd = keep_std ? 3 : 0; fd < limit; ++fd) ::close(static_cast<int>(fd));
}

// Removes and forgets the pid file; the caller holds pidfile_lock.
void remove_pidfile_locked() {
  if (pidfile.empty()) return;
  abort_pidfile_set = false;
  ::unlink(pidfile.c_str());
  pidfile.clear();
}

}  // namespace

void daemon_note_inherited_fds() {
  inherited_fds.clear();
  long limit = limit_open();
  for (long fd = 0; fd < limit; ++fd)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) inherited_fds.push_back(static_cast<int>(fd));
  inherited_noted = true;
}

int daemon_started_by_init() { return getppid() == 1 ? 1 : 0; }

int daemon_started_by_inetd() {
  int type;
  socklen_t len = sizeof type;
  return getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? 1 : 0;
}

int daemon_init(const char* name) {
  bool by_inetd = daemon_started_by_inetd() != 0;
  if (!daemon_started_by_init() && !by_inetd) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);  // the child carries on; the parent must not touch shared state
    setsid();
  }
  if (chdir("/") != 0) return -1;
  // Files the daemon creates (log, states file) hold guest names and calls: not for other users.
  umask(027);

  if (by_inetd) {
    close_inherited(true);
  } else {
    close_inherited(false);
    int fd = ::open("/dev/null", O_RDWR);
    if (fd < 0) return -1;
    if (fd != 0) {
      if (dup2(fd, 0) < 0) return -1;
      ::close(fd);
    }
    if (dup2(0, 1) < 0 || dup2(0, 2) < 0) return -1;
  }
  if (name == nullptr) return 0;
  return daemon_pidfile(name);
}

int daemon_pidfile(const char* name) {
  std::lock_guard guard(pidfile_lock);
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string path;
  if (daemon_construct_pidfile(name, path) < 0) return -1;
  int fd = daemon_lock_pidfile(path.c_str());
  if (fd < 0) return -1;
  unique_fd owned(fd);
  pidfile = path;

  // A stale file taken over may be longer than the new text: cut it first.
  std::string text = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    remove_pidfile_locked();
    return -1;
  }
  pidfile_fd = std::move(owned);
  if (path.size() < abort_pidfile.size()) {
    abort_pidfile_set = false;
    std::memcpy(abort_pidfile.data(), path.c_str(), path.size() + 1);
    abort_pidfile_set = true;
  }
  return 0;
}

void daemon_on_abort(int signo) {
  if (abort_pidfile_set.exchange(false)) ::unlink(abort_pidfile.data());
  // "Caught signal N. Exiting.\n", put together without printf.
  char text[48] = "Caught signal ";
  size_t len = std::strlen(text);
  char digits[12];
  size_t n = 0;
  for (unsigned value = static_cast<unsigned>(signo); n == 0 || value != 0; value /= 10)
    digits[n++] = static_cast<char>('0' + value % 10);
  while (n > 0) text[len++] = digits[--n];
  for (const char* tail = ". Exiting.\n"; *tail;) text[len++] = *tail++;
  logger_write_from_signal(text, len);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  raise(signo);
}

int daemon_close() {
  std::lock_guard guard(pidfile_lock);
  remove_pidfile_locked();
  return 0;
}

int daemon_construct_pidfile(const char* name, std::string& path) {
  const char* dir = getuid() == 0 ? "/var/run" : "/tmp";
  long max = limit_path();
  size_t len = std::strlen(name);
  if (name[0] == '/') {
    if (static_cast<long>(len) > max - 1) {
      errno = ENAMETOOLONG;
      return -1;
    }
    path = name;
  } else {
    if (static_cast<long>(len) > max - 10) {
      errno = ENAMETOOLONG;
      return -1;
    }
    path = std::string(dir) + "/" + name + ".pid";
  }
  if (static_cast<long>(path.size()) > max - 1) path.resize(static_cast<size_t>(max - 1));
  return 0;
}

namespace {

// The lock that keeps `fd` from being write-locked: F_UNLCK when there is none (or it cannot be
// told), else F_RDLCK or F_WRLCK with `holder` set.
int blocking_lock(int fd, pid_t& holder) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &lock) != 0) return F_UNLCK;
  holder = lock.l_pid;
  return lock.l_type;
}

// Opens the lock file at `path` with `mode`: created anew, or an existing one given the mode
// when this user owns it (a file from before, readable by all, must not stay so).
unique_fd open_lock_file(const char* path, mode_t mode) {
  unique_fd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd) {
    // `mode` whatever the umask: a pid file is read by other tools to find the daemon.
    if (fchmod(fd.get(), mode) != 0) return unique_fd();
    return fd;
  }
  if (errno != EEXIST) return fd;
  // An existing file: never follow a symbolic link planted in its place.
  fd.reset(::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd && fstat(fd.get(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != mode)
    fchmod(fd.get(), mode);
  return fd;
}

// Puts a new locked file with `mode` in the place of `path`, whose lock someone else holds by
// reading: the new file is written-locked before the rename makes it the one at `path`, so no
// moment shows an unlocked file there. The descriptor, or an empty one.
unique_fd replace_lock_file(const char* path, mode_t mode) {
  std::string temporary = std::string(path) + ".XXXXXX";
  unique_fd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return fd;
  if (fchmod(fd.get(), mode) != 0 || fcntl_lock(fd.get(), F_SETLK, F_WRLCK, SEEK_SET, 0, 0) < 0 ||
      rename(temporary.c_str(), path) != 0) {
    ::unlink(temporary.c_str());
    return unique_fd();
  }
  return fd;
}

}  // namespace

int daemon_lock_pidfile(const char* path, mode_t mode) {
  unique_fd fd = open_lock_file(path, mode);
  if (!fd) return -1;
  if (fcntl_lock(fd.get(), F_SETLK, F_WRLCK, SEEK_SET, 0, 0) == 0) return fd.release();
  pid_t holder = 0;
  if (blocking_lock(fd.get(), holder) != F_RDLCK) return -1;
  fd = replace_lock_file(path, mode);
  return fd ? fd.release() : -1;
}

pid_t daemon_lock_holder(const char* path) {
  unique_fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return 0;
  pid_t holder = 0;
  return blocking_lock(fd.get(), holder) == F_WRLCK ? holder : 0;
}

pid_t daemon_pidfile_holder(const char* name) {
  std::string path;
  if (daemon_construct_pidfile(name, path) < 0) return 0;
  return daemon_lock_holder(path.c_str());
}

int fcntl_lock(int fd, int cmd, int type, int whence, off_t start, off_t len) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = static_cast<short>(type);
  lock.l_whence = static_cast<short>(whence);
  lock.l_start = start;
  lock.l_len = len;
  return fcntl(fd, cmd, &lock);
}
