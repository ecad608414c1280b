// Formatted-write and socket-option helpers for plain descriptors.
#include "fdutils.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>

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
