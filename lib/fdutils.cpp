// Path, formatted-write, line-read and socket-option helpers for plain descriptors.
#include "fdutils.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* getbasename(const char* filename) {
  size_t len = std::strlen(filename);
  if (len == 0) return nullptr;
  size_t i = len - 1;
  while (i > 0 && filename[i] != '/' && filename[i] != '\\') --i;
  if (i == 0) return filename;
  return filename + i + 1;
}

void fdprintf(int fd, const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  ssize_t written = ::write(fd, buf, len);
  (void)written;
}

ssize_t fdgets(int fd, char* buf, size_t size) {
  if (size == 0) return 0;
  std::memset(buf, 0, size);
  size_t stored = 0;
  while (stored < size - 1) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    buf[stored++] = c;
    if (c == '\n') break;
  }
  return static_cast<ssize_t>(stored);
}

int fd_set_keepalive(int fd, int idle_s, int interval_s, int count, int user_timeout_ms) {
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) < 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) < 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms) < 0)
    return -1;
  return 0;
}
