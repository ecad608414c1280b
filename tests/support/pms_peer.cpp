// A PMS for tests: a FIAS server on 127.0.0.1 that collects the framed records a client sends.
#include "pms_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

// Writes all of `bytes`; false on an error.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

pms_peer::pms_peer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("pms_peer: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 4) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("pms_peer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
}

pms_peer::~pms_peer() {
  close_client();
  ::close(listen_fd_);
}

bool pms_peer::bring_link_up(duration accept_timeout) {
  if (!accept(accept_timeout) || !wait_for_record("LS|")) return false;
  send_record("LS|DA091231|TI101500|");
  if (!wait_for_record("LA|")) return false;
  return send_record("LA|DA091231|TI101501|");
}

bool pms_peer::accept(duration timeout) {
  close_client();
  pollfd p{listen_fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  {
    std::lock_guard guard(lock_);
    records_.clear();
    taken_.clear();
    stray_ = 0;
    closed_ = false;
  }
  client_fd_ = fd;
  reader_ = std::thread([this, fd] { read_frames(fd); });
  return true;
}

void pms_peer::read_frames(int fd) {
  std::string frame;
  bool in_frame = false;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard guard(lock_);
    for (ssize_t i = 0; i < n; ++i) {
      char c = buf[i];
      if (c == kStx) {
        if (in_frame) stray_ += frame.size() + 1;
        frame.clear();
        in_frame = true;
      } else if (c == kEtx && in_frame) {
        records_.push_back(frame);
        taken_.push_back(false);
        in_frame = false;
      } else if (in_frame) {
        frame += c;
      } else {
        ++stray_;
      }
    }
    changed_.notify_all();
  }
  std::lock_guard guard(lock_);
  closed_ = true;
  changed_.notify_all();
}

std::optional<std::string> pms_peer::wait_for_record(std::string_view prefix, duration timeout) {
  std::unique_lock guard(lock_);
  std::optional<std::string> found;
  changed_.wait_for(guard, timeout, [&] {
    for (size_t i = 0; i < records_.size(); ++i) {
      if (!taken_[i] && records_[i].starts_with(prefix)) {
        taken_[i] = true;
        found = records_[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

bool pms_peer::send_record(std::string_view text) {
  std::string frame;
  frame += kStx;
  frame += text;
  frame += kEtx;
  return send_bytes(frame);
}

bool pms_peer::send_bytes(std::string_view bytes) {
  return client_fd_ >= 0 && write_all(client_fd_, bytes);
}

std::vector<std::string> pms_peer::received() const {
  std::lock_guard guard(lock_);
  return records_;
}

size_t pms_peer::stray_bytes() const {
  std::lock_guard guard(lock_);
  return stray_;
}

bool pms_peer::wait_closed(duration timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, timeout, [this] { return closed_; });
}

void pms_peer::close_client() {
  if (client_fd_ < 0) return;
  // Shutting down wakes the reader thread out of recv; the descriptor is closed after it ended.
  ::shutdown(client_fd_, SHUT_RDWR);
  reader_.join();
  ::close(client_fd_);
  client_fd_ = -1;
}
