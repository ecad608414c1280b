// A PMS for tests: a FIAS server on 127.0.0.1 that collects the framed records a client sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Listens on an ephemeral port of 127.0.0.1 and serves one client connection at a time. A
// background thread splits what the client sends into STX...ETX frames; bytes outside a frame are
// counted as stray, so a test can assert that the framing held. Written from the wire protocol
// alone, so that it checks the daemon's side rather than repeating it.
class pms_peer {
 public:
  using duration = std::chrono::milliseconds;

  pms_peer();  // throws std::runtime_error when it cannot listen
  ~pms_peer();
  pms_peer(const pms_peer&) = delete;
  pms_peer& operator=(const pms_peer&) = delete;

  uint16_t port() const { return port_; }

  // Waits for a client and takes it; a previous client is dropped first, and the records of the
  // new connection start an empty list. False on timeout.
  bool accept(duration timeout = std::chrono::seconds(5));

  // Takes the client's connection and brings the link up as a PMS does: waits for its link
  // start, answers with one, waits for its link active, sends one. False when a step times out.
  bool bring_link_up(duration accept_timeout);

  // The earliest record of this connection that starts with `prefix` and that no earlier call
  // returned, waiting up to `timeout` for one to arrive. Nothing on timeout.
  std::optional<std::string> wait_for_record(std::string_view prefix,
                                             duration timeout = std::chrono::seconds(5));

  // Sends STX, `text`, ETX in one write; false when it did not all go out.
  bool send_record(std::string_view text);
  // Sends bytes exactly as given, for framing faults.
  bool send_bytes(std::string_view bytes);

  // Every record of this connection so far, in arrival order.
  std::vector<std::string> received() const;
  // Bytes that arrived outside a frame (including an unfinished frame cut by a new STX).
  size_t stray_bytes() const;

  // True once the client has closed its side (or the connection broke), waiting up to `timeout`.
  bool wait_closed(duration timeout = std::chrono::seconds(5));

  // Drops the client connection, if any.
  void close_client();

 private:
  void read_frames(int fd);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  int client_fd_ = -1;
  std::thread reader_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> records_;
  std::vector<bool> taken_;
  size_t stray_ = 0;
  bool closed_ = true;
};
