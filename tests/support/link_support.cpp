// Test helpers for the PMS link: socketpairs, a link on one of them, frames of a byte stream.
#include "link_support.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <stdexcept>

namespace testlink {

socket_pair::socket_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error("socketpair failed");
  daemon.reset(fds[0]);
  pms.reset(fds[1]);
}

paired_link::paired_link(link_timing timing) : link(timing) {
  socket_pair sp;
  link.adopt(std::move(sp.daemon));
  pms = std::move(sp.pms);
}

split_stream split_frames(std::string_view stream) {
  split_stream out;
  bool in_frame = false;
  std::string frame;
  for (char c : stream) {
    if (c == FIAS_STX) {
      if (in_frame) out.stray += frame.size() + 1;
      frame.clear();
      in_frame = true;
    } else if (c == FIAS_ETX && in_frame) {
      out.records.push_back(frame);
      in_frame = false;
    } else if (in_frame) {
      frame += c;
    } else {
      ++out.stray;
    }
  }
  if (in_frame) out.rest = FIAS_STX + frame;
  return out;
}

split_stream frames_waiting(int fd) {
  std::string bytes;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
    bytes.append(buf, static_cast<size_t>(n));
  return split_frames(bytes);
}

int queued(int fd) {
  int n = -1;
  ::ioctl(fd, FIONREAD, &n);
  return n;
}

std::string next_record_within(pms_link& link, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string text;
  uint64_t id = 0;
  for (;;) {
    for (int rc; (rc = link.next_record(text, id)) != 0;)
      if (rc == 1) return text;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "<none>";
    pollfd p{link.fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && link.receive() < 0)
      return "<link lost>";
  }
}

}  // namespace testlink
