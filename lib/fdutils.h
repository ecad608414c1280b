// Small helpers for plain descriptors, and the owning descriptor type.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

// Formats into at most 4095 characters and writes them to fd in one write; errors are not reported.
void fdprintf(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Lets the kernel notice a TCP peer that vanished without a word (power loss, a firewall that
// forgot the connection): keepalive probes after `idle_s` seconds of silence, every `interval_s`
// seconds, the connection failing after `count` unanswered ones; and data sent but not
// acknowledged for `user_timeout_ms` fails the connection too (TCP_USER_TIMEOUT), which
// keepalive alone does not cover while a send is pending. 0, or -1 with errno set when an option
// cannot be set (fd is not a TCP socket).
int fd_set_keepalive(int fd, int idle_s, int interval_s, int count, int user_timeout_ms);

// Owns one descriptor and closes it when it goes: the one owning type for descriptors of the
// daemon, the PMS link and the simulator.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};
