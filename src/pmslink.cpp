// The PMS link: connecting, frames in and out, the link start-up answer, the link's time limits.
#include "pmslink.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

#include "logger.h"
#include "resolve.h"

// ---- Framing ----

void fias_frame_reader::feed(const char* bytes, size_t n) {
  fed_.erase(0, taken_);
  taken_ = 0;
  fed_.append(bytes, n);
}

int fias_frame_reader::next(std::string& text) {
  while (taken_ < fed_.size()) {
    switch (state_) {
      case state::between_records: {
        const char c = fed_[taken_++];
        std::printf("Read code %x\n", static_cast<unsigned>(static_cast<signed char>(c)));
        if (c != FIAS_STX) return FIAS_READ_NOT_STX;
        record_.clear();
        state_ = state::in_record;
        break;
      }
      case state::in_record: {
        const std::string_view rest = std::string_view(fed_).substr(taken_);
        const size_t end = rest.find_first_of(std::string_view("\x02\x03", 2));
        const size_t room = FIAS_MAX_RECORD_TEXT - record_.size();
        const size_t take = std::min({end, room, rest.size()});
        record_.append(rest.substr(0, take));
        taken_ += take;
        if (take == end && rest[end] == FIAS_ETX) {
          ++taken_;
          state_ = state::between_records;
          // Record texts travel on as C strings (the parser, the log lines): a NUL would cut
          // the record there and apply its start alone, a check-in with half a name and the
          // fields after it lost. A record is taken whole or not at all.
          if (const size_t nul = record_.find('\0'); nul != std::string::npos) {
            LOG(L_WARNING, "Discarding a PMS record with a NUL byte at position %zu: %s", nul,
                fias_record_excerpt(record_).c_str());
            record_.clear();
            break;
          }
          text = std::move(record_);
          record_.clear();
          return 1;
        }
        if (take == room && taken_ < fed_.size()) {
          // The byte after a full record is not its ETX. Acting on the cut text would apply a
          // record with its later fields lost (a check-in with half a name), so all of it goes.
          LOG(L_WARNING, "Discarding a PMS record with no ETX within %zu characters: %s",
              FIAS_MAX_RECORD_TEXT, fias_record_excerpt(record_).c_str());
          record_.clear();
          state_ = state::skipping;
          return FIAS_READ_TOO_LONG;
        }
        if (take == end) {
          // An STX inside a record: its ETX was lost. Taking the STX as text would glue the next
          // record into a field of this one, and the next record would be lost.
          ++taken_;
          LOG(L_WARNING, "Discarding a PMS record cut short by the STX of another: %s",
              fias_record_excerpt(record_).c_str());
          record_.clear();
        }
        break;
      }
      case state::skipping: {
        const size_t stx = fed_.find(FIAS_STX, taken_);
        taken_ = stx == std::string::npos ? fed_.size() : stx;
        if (stx != std::string::npos) state_ = state::between_records;
        break;
      }
    }
  }
  fed_.clear();
  taken_ = 0;
  return 0;
}

bool fias_frame_reader::inside_record() const { return state_ == state::in_record; }

std::string_view fias_frame_reader::partial_record() const {
  return inside_record() ? std::string_view(record_) : std::string_view();
}

void fias_frame_reader::reset() {
  fed_.clear();
  taken_ = 0;
  record_.clear();
  state_ = state::between_records;
}

// ---- Frames on a descriptor ----

namespace {

std::string errno_text(int err) { return std::error_code(err, std::generic_category()).message(); }

// The current local time in a strftime pattern.
std::string now_text(const char* pattern) {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

std::string link_description(const char* iftype) {
  std::string text = now_text("LD|DA%y%m%d|TI%H%M%S|V#1.01|IF");
  if (iftype) text.append(iftype, strnlen(iftype, 2));
  text += '|';
  return text;
}

// Connects `sock` to `addr`, waiting at most `limit_ms` (an address that drops the SYN would
// otherwise hold the caller for minutes). 0, or -1 with errno set.
int connect_within(int sock, const sockaddr_in& addr, int limit_ms) {
  const int flags = ::fcntl(sock, F_GETFL, 0);
  if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int rc = ::connect(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd pfd{sock, POLLOUT, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    int ready;
    do {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
      ready = ::poll(&pfd, 1, static_cast<int>(std::max<long>(0, left.count())));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    int pending = 0;
    socklen_t len = sizeof pending;
    if (ready < 0 || ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &len) < 0) return -1;
    errno = pending;
    rc = pending == 0 ? 0 : -1;
  }
  if (rc != 0) return -1;
  return ::fcntl(sock, F_SETFL, flags);
}

}  // namespace

unique_fd fias_connect(const char* host, int port, std::chrono::milliseconds lookup_limit) {
  if (!host) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo_list list;
  // The lookup has a bound of its own: during a resolver outage getaddrinfo alone would hold the
  // main loop, and with it signals and the stop, for as long as the resolver's retries last.
  const int rc = resolve_within(host, nullptr, hints, lookup_limit, list);
  if (rc == RESOLVE_TIMED_OUT) {
    LOG(L_DEBUG, "Cannot resolve PMS host %s: no answer within %lld ms", host,
        static_cast<long long>(lookup_limit.count()));
    return {};
  }
  if (rc != 0 || !list) {
    LOG(L_DEBUG, "Cannot resolve PMS host %s: %s", host, gai_strerror(rc));
    return {};
  }
  sockaddr_in addr{};
  std::memcpy(&addr, list->ai_addr, sizeof addr);
  addr.sin_port = htons(static_cast<uint16_t>(port));

  unique_fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) {
    LOG(L_DEBUG, "Cannot create a socket for the PMS: %s", errno_text(errno).c_str());
    return {};
  }
  if (connect_within(sock.get(), addr, FIAS_CONNECT_TIMEOUT_MS) != 0) {
    LOG(L_DEBUG, "Cannot connect to PMS %s:%d: %s", host, port, errno_text(errno).c_str());
    return {};
  }
  // A PMS that vanished without a word (power loss, a firewall that forgets the connection) is
  // noticed within about a minute, also while nothing is being sent.
  fd_set_keepalive(sock.get(), 30, 10, 3, 60000);
  fias_send_raw_packet(sock.get(), now_text("LS|DA%y%m%d|TI%H%M%S|").c_str());
  return sock;
}

namespace {

// The frame of a record text: STX, the text, ETX. Empty (and logged) when the text holds a framing
// byte, which would end the record early at the PMS and turn the rest of it into garbage.
std::string frame_of(const char* text) {
  std::string frame;
  frame.reserve(std::strlen(text) + 2);
  frame += FIAS_STX;
  frame += text;
  frame += FIAS_ETX;
  if (frame.find_first_of("\x02\x03", 1) != frame.size() - 1) {
    LOG(L_ERROR, "Not sending a record that contains STX or ETX: %s", text);
    return {};
  }
  return frame;
}

// Sends one frame. Each frame has a time limit of its own, and the sends do not block: a PMS that
// stops reading would otherwise hold the link's send lock, and with it the poller, the link
// start-up answer and the stop, for as long as it keeps the connection open.
int send_frame(int sock, const std::string& frame, int limit_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  bool waited = false;
  size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(sock, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
      if (left.count() > 0) {
        if (!waited) LOG(L_DEBUG, "PMS link is full; waiting up to %d ms to send", limit_ms);
        waited = true;
        // Room in the buffer, a broken link or a signal: the next send tells which.
        pollfd pfd{sock, POLLOUT, 0};
        ::poll(&pfd, 1, static_cast<int>(left.count()));
        continue;
      }
      // Whether or not a part went out, the PMS has not made room for one frame in the whole
      // time limit, and every later frame would wait as long. A fresh link is the way out;
      // shutting the connection down (not closing it: its owner does that) ends the main loop's
      // read.
      LOG(L_WARNING,
          "PMS is not reading: %zu of %zu bytes of a frame sent in %d ms; dropping the link", sent,
          frame.size(), limit_ms);
      ::shutdown(sock, SHUT_RDWR);
      return -1;
    }
    LOG(L_WARNING, "Sending to PMS failed: %s", errno_text(err).c_str());
    // The PMS would take the rest of the next frame for the end of this one.
    if (sent > 0) ::shutdown(sock, SHUT_RDWR);
    return -1;
  }
  return static_cast<int>(frame.size());
}

}  // namespace

int fias_send_raw_packet(int sock, const char* text, int limit_ms) {
  if (!text) return -1;
  LOG(L_DEBUG, "Writing packet %s\n", text);
  std::string frame = frame_of(text);
  if (frame.empty()) return -1;
  return send_frame(sock, frame, limit_ms);
}

int fias_send_packet(int sock, fias_packet_t* p, int limit_ms) {
  std::string text = fias_packet_to_str(p);
  if (text.empty()) return -1;
  return fias_send_raw_packet(sock, text.c_str(), limit_ms);
}

int fias_send_la(int sock, int limit_ms) {
  return fias_send_raw_packet(sock, now_text("LA|DA%y%m%d|TI%H%M%S|").c_str(), limit_ms);
}

int fias_init_connection(int sock, const char* iftype, fias_record_set records, int limit_ms) {
  const std::vector<std::string> link_records = fias_link_records(records);

  bool ok = fias_send_raw_packet(sock, link_description(iftype).c_str(), limit_ms) >= 0;
  for (size_t i = 0; ok && i < link_records.size(); ++i) {
    LOG(L_DEBUG, "%s\n", link_records[i].c_str());
    ok = fias_send_raw_packet(sock, link_records[i].c_str(), limit_ms) >= 0;
  }
  if (ok) ok = fias_send_la(sock, limit_ms) >= 0;
  if (ok) return 0;

  // The main loop may be waiting to read this descriptor, and only the link closes it: closing
  // here would let another thread's next open() reuse the number under the reader. Shutting the
  // connection down makes that read fail, and the main loop closes and reconnects.
  LOG(L_WARNING, "Link start-up answer to the PMS failed; dropping the connection");
  ::shutdown(sock, SHUT_RDWR);
  return -1;
}

// ---- The link ----

pms_link::pms_link(link_timing timing) : timing_(timing) {}

int pms_link::connect(const std::string& host, uint16_t port) {
  close();
  unique_fd sock = fias_connect(host.c_str(), port, timing_.lookup_limit);
  if (!sock) return -1;
  adopt(std::move(sock));
  return 0;
}

void pms_link::adopt(unique_fd sock) {
  close();
  std::lock_guard guard(send_lock_);
  fd_ = std::move(sock);
  id_ = next_id_++;
  reader_.reset();
  last_heard_ = reading_time();
  heartbeat_sent_ = false;
}

void pms_link::close() {
  std::lock_guard guard(send_lock_);
  active_ = false;
  if (!fd_) return;
  fd_.reset();
  reader_.reset();
}

int pms_link::receive() {
  if (!fd_) return -1;
  std::array<char, 4096> buf;
  const bool was_inside = reader_.inside_record();
  for (;;) {
    ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) {
      reader_.feed(buf.data(), static_cast<size_t>(n));
      last_heard_ = reading_time();
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
  if (!fd_) return 0;
  const auto now = reading_time();
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
    fias_send_la(fd_.get(), static_cast<int>(timing_.send_limit.count()));
  }
  return 0;
}

void pms_link::pause_reading() {
  if (!paused_since_) paused_since_ = std::chrono::steady_clock::now();
}

void pms_link::resume_reading() {
  if (!paused_since_) return;
  paused_total_ += std::chrono::steady_clock::now() - *paused_since_;
  paused_since_.reset();
}

std::chrono::steady_clock::duration pms_link::reading_time() const {
  const auto now = std::chrono::steady_clock::now();
  auto paused = paused_total_;
  if (paused_since_) paused += now - *paused_since_;
  return now.time_since_epoch() - paused;
}

void pms_link::set_active(uint64_t link_id) {
  std::lock_guard guard(send_lock_);
  if (!fd_ || link_id != id_ || active_) return;
  active_ = true;
  ++activation_;
}

int pms_link::send(fias_packet_t* p) {
  std::lock_guard guard(send_lock_);
  if (!fd_) return -1;
  return fias_send_packet(fd_.get(), p, static_cast<int>(timing_.send_limit.count()));
}

int pms_link::send_on(uint64_t link_id, fias_packet_t* p) {
  std::lock_guard guard(send_lock_);
  if (!fd_ || link_id != id_ || !active_) return -2;
  return fias_send_packet(fd_.get(), p, static_cast<int>(timing_.send_limit.count()));
}

int pms_link::send_resync_request() {
  std::lock_guard guard(send_lock_);
  if (!fd_ || !active_) return -2;
  return fias_send_raw_packet(fd_.get(), now_text("DR|DA%y%m%d|TI%H%M%S|").c_str(),
                              static_cast<int>(timing_.send_limit.count()));
}

void pms_link::suspend(uint64_t link_id) {
  std::lock_guard guard(send_lock_);
  if (link_id == id_) active_ = false;
}

int pms_link::answer_link_start(uint64_t link_id, const char* iftype, fias_record_set records) {
  std::lock_guard guard(send_lock_);
  if (!fd_ || link_id != id_) {
    LOG(L_WARNING, "The PMS connection that asked for a link start is gone; not answering it");
    return -1;
  }
  active_ = false;
  return fias_init_connection(fd_.get(), iftype, records,
                              static_cast<int>(timing_.send_limit.count()));
}
