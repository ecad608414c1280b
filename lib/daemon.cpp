// Daemon support: detaching, descriptor clean-up and the locked pid file.
#include "daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fdutils.h"
#include "lim.h"

namespace {

std::mutex pidfile_lock;   // guards pidfile and pidfile_fd
std::string pidfile;       // path of the pid file this process holds; empty when none
unique_fd pidfile_fd;      // kept open: its record lock marks the daemon as running
std::vector<int> inherited_fds;
bool inherited_noted = false;

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
  return 0;
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

int daemon_lock_pidfile(const char* path) {
  unique_fd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd) {
    // Readable by all whatever the umask: other tools find the daemon through it.
    if (fchmod(fd.get(), 0644) != 0) return -1;
  } else {
    if (errno != EEXIST) return -1;
    // An existing file: never follow a symbolic link planted in its place.
    fd.reset(::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return -1;
  }
  if (fcntl_lock(fd.get(), F_SETLK, F_WRLCK, SEEK_SET, 0, 0) < 0) return -1;
  return fd.release();
}

pid_t daemon_pidfile_holder(const char* name) {
  std::string path;
  if (daemon_construct_pidfile(name, path) < 0) return 0;
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return 0;
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
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
