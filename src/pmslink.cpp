// The link to the PMS: connecting, reading records as they arrive, sending from any thread.
#include "pmslink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "logger.h"

pms_link::pms_link(link_timing timing) : timing_(timing) {}

int pms_link::connect(const std::string& host, uint16_t port) {
  close();
  int sock = fias_connect(host.c_str(), port, nullptr);
  if (sock < 0) return -1;
  adopt(unique_fd(sock));
  return 0;
}

void pms_link::adopt(unique_fd sock) {
  close();
  std::lock_guard guard(send_lock_);
  fd_ = sock.release();
  id_ = next_id_++;
  reader_.reset();
  last_heard_ = std::chrono::steady_clock::now();
  heartbeat_sent_ = false;
}

void pms_link::close() {
  std::lock_guard guard(send_lock_);
  active_ = false;
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  reader_.reset();
}

int pms_link::receive() {
  if (fd_ < 0) return -1;
  std::array<char, 4096> buf;
  const bool was_inside = reader_.inside_record();
  for (;;) {
    ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) {
      reader_.feed(buf.data(), static_cast<size_t>(n));
      last_heard_ = std::chrono::steady_clock::now();
      heartbeat_sent_ = false;
      if (!was_inside) record_started_ = last_heard_;
      return 1;
    }
    if (n == 0) {
      if (reader_.inside_record()) {
        std::string_view part = reader_.partial_record();
        LOG(L_WARNING, "PMS link ended inside a record; dropping its first %zu bytes: %.*s",
            part.size(), static_cast<int>(part.size()), part.data());
      }
      return -1;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

int pms_link::next_record(std::string& text, uint64_t& link_id) {
  int rc = reader_.next(text);
  if (rc == 1) {
    link_id = id_;
    // What is left started within the last receive, or later.
    record_started_ = last_heard_;
  }
  return rc;
}

int pms_link::check_time_limits() {
  if (fd_ < 0) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (reader_.inside_record() && now - record_started_ > timing_.record_limit) {
    LOG(L_WARNING, "PMS record unfinished after %lld ms; dropping it and the link",
        static_cast<long long>(timing_.record_limit.count()));
    return -1;
  }
  if (timing_.heartbeat.count() <= 0) return 0;
  const auto silence = now - last_heard_;
  if (heartbeat_sent_ && silence > 2 * timing_.heartbeat) {
    LOG(L_WARNING, "PMS did not answer a link active in %lld ms; dropping the link",
        static_cast<long long>(timing_.heartbeat.count()));
    return -1;
  }
  if (!heartbeat_sent_ && silence > timing_.heartbeat) {
    heartbeat_sent_ = true;
    std::lock_guard guard(send_lock_);
    fias_send_la(fd_, static_cast<int>(timing_.send_limit.count()));
  }
  return 0;
}

void pms_link::set_active(uint64_t link_id) {
  std::lock_guard guard(send_lock_);
  if (fd_ < 0 || link_id != id_ || active_) return;
  active_ = true;
  ++activation_;
}

int pms_link::send(fias_packet_t* p) {
  std::lock_guard guard(send_lock_);
  if (fd_ < 0) return -1;
  return fias_send_packet(fd_, p, static_cast<int>(timing_.send_limit.count()));
}

int pms_link::send_on(uint64_t link_id, fias_packet_t* p) {
  std::lock_guard guard(send_lock_);
  if (fd_ < 0 || link_id != id_ || !active_) return -2;
  return fias_send_packet(fd_, p, static_cast<int>(timing_.send_limit.count()));
}

void pms_link::suspend(uint64_t link_id) {
  std::lock_guard guard(send_lock_);
  if (link_id == id_) active_ = false;
}

int pms_link::answer_link_start(uint64_t link_id, const char* iftype) {
  std::lock_guard guard(send_lock_);
  if (fd_ < 0 || link_id != id_) {
    LOG(L_WARNING, "The PMS connection that asked for a link start is gone; not answering it");
    return -1;
  }
  active_ = false;
  return fias_init_connection(fd_, iftype, static_cast<int>(timing_.send_limit.count()));
}
