// The link to the PMS: one connection at a time, with its descriptor, its send lock and its reader.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "fdutils.h"
#include "fias.h"

// The limits a link keeps. Defaults are the daemon's; tests give shorter ones.
struct link_timing {
  std::chrono::milliseconds send_limit{FIAS_SEND_TIMEOUT_MS};  // for one frame to go out
  std::chrono::milliseconds record_limit{10000};  // from a record's STX to its ETX
  std::chrono::milliseconds heartbeat{0};  // silence before a link active is sent; 0: off
};

// The PMS connection. The main loop connects it, reads from it and closes it; the request worker
// and the poller send on it from their threads. Every send takes the send lock, and the
// descriptor is closed only under that lock, so a frame never goes to a connection that has
// replaced the one it was meant for. Each connection gets a number of its own (its id), which
// records carry from the reader to the worker: the link start-up answer and the link's activation
// apply only to the connection that asked for them.
class pms_link {
 public:
  explicit pms_link(link_timing timing = {});
  pms_link(const pms_link&) = delete;
  pms_link& operator=(const pms_link&) = delete;

  // ---- Main loop ----

  // Connects to the PMS and sends a link start (fias_connect). A connection that was open is
  // closed first. 0, or -1 when no connection could be made (the reason logged at DEBUG).
  int connect(const std::string& host, uint16_t port);
  // Takes a connected socket as the new connection (tests hand over one end of a socketpair).
  void adopt(unique_fd sock);
  // Closes the connection, if any; the link is inactive afterwards.
  void close();
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }  // for the main loop's poll

  // Reads what the connection holds without waiting: 1 bytes were read, 0 none were there, -1 the
  // connection ended or failed.
  int receive();
  // The next whole record received: 1 (text and the connection's id set), 0 none yet, or
  // FIAS_READ_NOT_STX / FIAS_READ_TOO_LONG (see fias_frame_reader).
  int next_record(std::string& text, uint64_t& link_id);
  // What the link's time limits ask for now: 0 nothing; -1 the link must be dropped (a record
  // unfinished for longer than the record limit, or no answer to a heartbeat; logged). Sends the
  // heartbeat when it is due.
  int check_time_limits();
  // Changes the heartbeat (a reload); 0 turns it off.
  void set_heartbeat(std::chrono::milliseconds heartbeat) { timing_.heartbeat = heartbeat; }

  // ---- Any thread ----

  uint64_t id() const { return id_; }
  // True once the PMS confirmed the current connection with its link active (pms_connected).
  bool active() const { return active_; }
  // Counts the times a link became active, on a new connection or again on the same one (a PMS
  // that restarted its interface sends a new link start on it): each is a link of its own.
  uint64_t activation() const { return activation_; }
  // Marks connection `link_id` active, when it is still the current one; counts an activation
  // when it was not active.
  void set_active(uint64_t link_id);
  // Renders `p` and sends it on the current connection; -1 when there is none or it failed.
  int send(fias_packet_t* p);
  // Sends `p` only while connection `link_id` is the current one and active: as send, or -2 when
  // nothing was sent because the link is inactive or was replaced (a posting meant for one link
  // never goes out on another unnoticed).
  int send_on(uint64_t link_id, fias_packet_t* p);
  // The PMS ended the link (Link End): connection `link_id`, when it is still the current one,
  // is inactive until the PMS activates it again.
  void suspend(uint64_t link_id);
  // Sends the link start-up answer (description, link records, link active) on connection
  // `link_id`, without another frame between them; -1 when that connection is gone or a send
  // failed. The link is inactive from then until the PMS's link active.
  int answer_link_start(uint64_t link_id, const char* iftype);

 private:
  link_timing timing_;  // the heartbeat changes on reload, in the main loop
  mutable std::mutex send_lock_;  // held for each send and for closing
  int fd_ = -1;                   // written by the main loop under send_lock_
  std::atomic<uint64_t> id_{0};
  uint64_t next_id_ = 1;  // main loop only
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> activation_{0};  // written under send_lock_

  // Reading state, main loop only.
  fias_frame_reader reader_;
  std::chrono::steady_clock::time_point record_started_{};
  std::chrono::steady_clock::time_point last_heard_{};
  bool heartbeat_sent_ = false;
};
