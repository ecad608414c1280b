// Client session for the Asterisk Manager Interface: one bounded step per call.
#include "mgr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "logger.h"
#include "resolve.h"

namespace {

constexpr int kConnectTimeoutMs = 1000;
// The longest a name lookup of the manager's host may take.
constexpr std::chrono::milliseconds kLookupLimit{3000};
constexpr int kWriteTimeoutMs = 100;
// A manager that vanished without closing is noticed after 30 s of silence plus 3 probes 10 s
// apart, or when data it was sent stays unacknowledged for 60 s.
constexpr int kKeepaliveIdleS = 30;
constexpr int kKeepaliveIntervalS = 10;
constexpr int kKeepaliveProbes = 3;
constexpr int kUnacknowledgedLimitMs = 60'000;

int new_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// The manager's address in dotted form, for log lines.
struct address_text {
  char text[INET_ADDRSTRLEN] = "";
  explicit address_text(const mansession& s) { mgr_inet_ntoa(text, sizeof text, s.sin.sin_addr); }
};

bool ascii_iequal(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// Drops the first `n` buffered bytes, keeping the rest at the front and terminated.
void consume(mansession& s, int n) {
  std::memmove(s.inbuf.data(), s.inbuf.data() + n, static_cast<std::size_t>(s.inlen - n));
  s.inlen -= n;
  s.inbuf[static_cast<std::size_t>(s.inlen)] = '\0';
}

// Position of the first LF among the buffered bytes, or -1.
int find_lf(const mansession& s) {
  const void* lf = std::memchr(s.inbuf.data(), '\n', static_cast<std::size_t>(s.inlen));
  return lf ? static_cast<int>(static_cast<const char*>(lf) - s.inbuf.data()) : -1;
}

}  // namespace

void message::clear() {
  for (int i = 0; i <= std::min(hdrcount, max_headers); ++i)
    headers[static_cast<std::size_t>(i)].clear();
  hdrcount = 0;
  in_command = 0;
  dropped = 0;
}

int mgr_init(mansession& s, const char* host, uint16_t port, const char* user, const char* passwd) {
  s.sin = sockaddr_in{};
  s.fd.reset();
  s.inbuf.fill('\0');
  s.inlen = 0;
  s.discarding = false;
  s.connected = 0;
  s.user.clear();
  s.pass.clear();

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  // A resolver that does not answer must not hold the feed, and with it the stop, for the
  // minutes getaddrinfo may wait: the lookup has a bound of its own.
  addrinfo_list found;
  if (!host || resolve_within(host, nullptr, hints, kLookupLimit, found) != 0 || !found) {
    LOG(L_ERROR, "Host: %s not found\n", host ? host : "");
    return -1;
  }
  s.sin.sin_family = AF_INET;
  s.sin.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  s.sin.sin_port = htons(port);

  s.fd.reset(new_socket());
  s.user = user ? user : "";
  s.pass = passwd ? passwd : "";
  return 0;
}

int connect_nonb(mansession& s) {
  // A socket that could not be made earlier (descriptors exhausted) is made now, so that the
  // session recovers once descriptors are free again.
  if (!s.fd) {
    s.fd.reset(new_socket());
    if (!s.fd) return -1;
  }
  const int fd = s.fd.get();
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  auto restore = [&](int err) {
    ::fcntl(fd, F_SETFL, flags);
    errno = err;
    return -1;
  };

  if (::connect(fd, reinterpret_cast<const sockaddr*>(&s.sin), sizeof s.sin) == 0) {
    ::fcntl(fd, F_SETFL, flags);
    return fd;
  }
  const int err = errno;
  if (err != EINPROGRESS) return restore(err);

  // The attempt is left under way when the second runs out: the next attempt on this socket
  // learns its outcome from connect itself.
  pollfd pfd{fd, POLLIN | POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&pfd, 1, kConnectTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return restore(ETIMEDOUT);
  if (ready < 0) return restore(errno);

  int pending = 0;
  socklen_t len = sizeof pending;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) < 0) return restore(errno);
  if (pending != 0) return restore(pending);
  ::fcntl(fd, F_SETFL, flags);
  return fd;
}

int mgr_connect(mansession& s) {
  const int fd = connect_nonb(s);
  if (fd < 0) return -1;
  LOG(L_DEBUG, "returning mgr_connect with %d", fd);
  // Whatever was buffered belongs to the lost connection and would be glued to our first line.
  s.inlen = 0;
  s.inbuf[0] = '\0';
  s.discarding = false;
  return fd;
}

int mgr_write_all(int fd, const char* bytes, std::size_t len, int timeoutms) {
  while (len > 0) {
    // Non-blocking, so that a manager that stops reading cannot hold us past the time limit.
    const ssize_t n = ::send(fd, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      bytes += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd pfd{fd, POLLOUT, 0};
    const int ready = ::poll(&pfd, 1, timeoutms);
    if (ready == 0) errno = ETIMEDOUT;
    if (ready <= 0) return -1;
  }
  return 0;
}

int mgr_write(mansession& s, const message& m) {
  std::string out;
  for (int i = 0; i < m.hdrcount; ++i) {
    const std::string& row = m.headers[static_cast<std::size_t>(i)];
    if (row.empty()) continue;
    out += row;
    out += "\r\n";
  }
  out += "\r\n";
  return mgr_write_all(s.fd.get(), out.data(), out.size(), kWriteTimeoutMs);
}

int mgr_add_header(message& m, const char* fmt, ...) {
  if (m.hdrcount >= message::max_headers) return 1;
  std::array<char, message::max_line + 1> line;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(line.data(), line.size(), fmt, ap);
  va_end(ap);
  m.headers[static_cast<std::size_t>(m.hdrcount)].assign(
      line.data(), n < 0 ? 0 : std::min(static_cast<std::size_t>(n), message::max_line));
  ++m.hdrcount;
  return 0;
}

int mgr_login(mansession& s) {
  if (s.connected < 0) return 1;
  s.connected = 0;
  const address_text addr(s);
  LOG(L_DEBUG, "asterisk@%s: Connecting (u=%s, p=%s)", addr.text, s.user.c_str(), mgr_secret_mask);

  // Every login starts on a fresh socket. The socket of a lost connection cannot be reused, and
  // it does not always say so: after a non-blocking connect, Linux answers a second connect on a
  // socket whose peer has closed with success, and the login would go into a dead connection
  // again and again.
  s.fd.reset(new_socket());
  if (mgr_connect(s) < 0) {
    const int err = errno;
    LOG(L_ERROR, "manager@%s: Connect failed, Retrying (%d) %s [%d]", addr.text, 1,
        std::strerror(err), err);
    return -1;
  }
  if (fd_set_keepalive(s.fd.get(), kKeepaliveIdleS, kKeepaliveIntervalS, kKeepaliveProbes,
                       kUnacknowledgedLimitMs) < 0)
    LOG(L_WARNING, "manager@%s: No keepalive on the connection: %s", addr.text,
        std::strerror(errno));

  message m;
  mgr_add_header(m, "Action: Login");
  mgr_add_header(m, "Username: %s", s.user.c_str());
  mgr_add_header(m, "Secret: %s", s.pass.c_str());
  // Asterisk sends Cdr events in the class "cdr" since version 1.6; older releases send them in
  // "call" and ignore the word they do not know.
  mgr_add_header(m, "Events: call,cdr");
  if (mgr_write(s, m) < 0) {
    const int err = errno;
    LOG(L_ERROR, "manager@%s: Login not sent, Retrying %s [%d]", addr.text, std::strerror(err),
        err);
    return -1;
  }
  return 0;
}

int mgr_ping(mansession& s) {
  message m;
  mgr_add_header(m, "Action: Ping");
  return mgr_write(s, m);
}

std::string_view mgr_get_header(const message& m, std::string_view var) {
  const std::size_t n = var.size();
  for (int i = 0; i < std::min(m.hdrcount, message::max_headers); ++i) {
    std::string_view row = m.headers[static_cast<std::size_t>(i)];
    if (row.size() >= n + 2 && row[n] == ':' && row[n + 1] == ' ' &&
        ascii_iequal(row.substr(0, n), var))
      return row.substr(n + 2);
  }
  return {};
}

namespace {

// Moves the next complete line from the buffer into `output`: 1, or 0 when no line is complete.
// A line that fills the buffer without an end is dropped whole, its tail discarded on arrival.
int take_line(mansession& s, std::string& output) {
  if (s.inlen > 0 && s.discarding) {
    const int lf = find_lf(s);
    if (lf < 0) {
      consume(s, s.inlen);
    } else {
      consume(s, lf + 1);
      s.discarding = false;
    }
  }
  if (s.inlen > 0 && !s.discarding) {
    const int lf = find_lf(s);
    if (lf >= 0) {
      const int len = lf > 0 && s.inbuf[static_cast<std::size_t>(lf - 1)] == '\r' ? lf - 1 : lf;
      output.assign(s.inbuf.data(), static_cast<std::size_t>(len));
      consume(s, lf + 1);
      return 1;
    }
  }
  if (s.inlen >= mansession::inbuf_max) {
    // The line does not fit: it is dropped whole, up to its line end, and reading goes on.
    const address_text addr(s);
    LOG(L_WARNING, "Warning: Got long line with no end from %s: %s\n", addr.text, s.inbuf.data());
    consume(s, s.inlen);
    s.discarding = true;
  }
  return 0;
}

// Removes the NUL bytes among the `n` bytes just received at the end of the buffer. A NUL in a
// value would otherwise cut the value short wherever it is used as C text (the call cache's
// INSERT failed on it and the call was lost); without it the rest of the value survives.
int drop_nul_bytes(mansession& s, int n) {
  char* first = s.inbuf.data() + s.inlen;
  char* last = std::remove(first, first + n, '\0');
  const int kept = static_cast<int>(last - first);
  if (kept < n) {
    const address_text addr(s);
    LOG(L_DEBUG, "Dropped %d NUL bytes received from %s", n - kept, addr.text);
  }
  return kept;
}

using clock = std::chrono::steady_clock;

// Receives what has arrived, waiting for it until `deadline` (none: without limit).
// 1 bytes arrived (possibly only NUL bytes, which are dropped); 0 the deadline passed; -1 the
// connection ended or failed. A signal does not end the wait.
int receive(mansession& s, std::optional<clock::time_point> deadline) {
  // Try the receive first and wait only when nothing is there: on a busy manager connection
  // data is usually waiting, and this saves a system call per receive.
  for (;;) {
    const ssize_t n =
        ::recv(s.fd.get(), s.inbuf.data() + s.inlen,
               static_cast<std::size_t>(mansession::inbuf_max - s.inlen), MSG_DONTWAIT);
    if (n > 0) {
      s.inlen += drop_nul_bytes(s, static_cast<int>(n));
      s.inbuf[static_cast<std::size_t>(s.inlen)] = '\0';
      return 1;
    }
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;

    pollfd pfd{s.fd.get(), POLLIN, 0};
    for (;;) {
      int wait_ms = -1;
      if (deadline) {
        // Rounded up, so that a wait never ends just before the deadline and spins.
        const auto left = *deadline - clock::now();
        wait_ms = static_cast<int>(
            std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
      }
      const int ready = ::poll(&pfd, 1, wait_ms);
      if (ready > 0) break;
      if (ready == 0) return 0;
      if (errno != EINTR) {
        LOG(L_ERROR, "Select returned error");
        return -1;
      }
    }
  }
}

}  // namespace

int mgr_read(mansession& s, message& m, int timeout_ms) {
  std::optional<clock::time_point> deadline;
  if (timeout_ms >= 0) deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (bool received = false;;) {
    std::string& row = m.headers[static_cast<std::size_t>(m.hdrcount)];
    if (!take_line(s, row)) {
      // A peer that never stops sending lines without ending the message still runs into the
      // deadline: it is checked before every receive but the first, not only while waiting.
      if (deadline && received && clock::now() >= *deadline) return 0;
      received = true;
      const int res = receive(s, deadline);
      if (res <= 0) return res;
      continue;
    }
    // Only the first line of a message can make it command output, and only when it is exactly
    // "Response: Follows": a caller's name or any other header value that contains those words
    // must not glue the following events into one message.
    if (m.hdrcount == 0 && row == "Response: Follows") {
      LOG(L_DEBUG, "Found Response Follows");
      m.in_command = 1;
    } else if (m.in_command && row == "--END COMMAND--") {
      LOG(L_DEBUG, "Found END COMMAND");
      m.in_command = 0;
    }
    if (!m.in_command && row.empty()) {
      if (m.dropped > 0) {
        const address_text addr(s);
        LOG(L_WARNING, "Dropped %d lines past the 255th of a message from %s", m.dropped,
            addr.text);
      }
      return 1;
    }
    // Past 255 lines the last row is overwritten; command output ends there so that a runaway
    // command cannot hold the message open for ever.
    if (m.hdrcount < message::max_headers) {
      ++m.hdrcount;
    } else {
      m.in_command = 0;
      ++m.dropped;
    }
  }
}

char* mgr_inet_ntoa(char* buf, std::size_t bufsiz, in_addr ia) {
  return ::inet_ntop(AF_INET, &ia, buf, static_cast<socklen_t>(bufsiz)) ? buf : nullptr;
}
