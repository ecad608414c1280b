// The PMS link: connecting, frames in and out, the link start-up answer, the link's time limits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "fdutils.h"
#include "fias.h"

// ---- Framing ----

inline constexpr char FIAS_STX = 0x02;
inline constexpr char FIAS_ETX = 0x03;

// The longest record text (between STX and ETX) taken from the PMS: the record buffer is 4096
// bytes with its NUL.
inline constexpr size_t FIAS_MAX_RECORD_TEXT = 4095;

// Results of fias_frame_reader::next besides a record (1) and "need more bytes" (0).
inline constexpr int FIAS_READ_NOT_STX = -2;  // a byte other than STX where a record starts
inline constexpr int FIAS_READ_TOO_LONG = -4;

// Splits the byte stream from the PMS into record texts. It is fed whatever recv() gave and keeps
// a partial record between calls, so the caller can wait for the rest with a time limit of its
// own and serve signals meanwhile. The framing rules:
//  - Between records every byte is where a record must start: "Read code %x\n" is printed on
//    standard output for it; STX opens a record, any other byte is consumed and reported as
//    FIAS_READ_NOT_STX, one result per byte.
//  - Inside a record every byte up to ETX is text; ETX closes the record. An STX inside a record
//    means that its ETX was lost: that record is discarded with a WARNING, without a result,
//    and the STX opens the next one. A record whose text holds a NUL byte is discarded whole
//    at its ETX with a WARNING (its excerpt shows the byte as \x00), without a result.
//  - A record whose text has FIAS_MAX_RECORD_TEXT characters and whose next byte is not ETX is
//    discarded whole with a WARNING (it is never handed out cut) and FIAS_READ_TOO_LONG is
//    reported once; the bytes up to the next STX are then skipped without a result or a trace.
//    While they are skipped the reader is not inside a record: they are noise between records.
// One reader per connection, used by one thread.
class fias_frame_reader {
 public:
  // Appends received bytes; they are taken by the following calls of next.
  void feed(const char* bytes, size_t n);
  // 1: the next whole record's text (no STX/ETX) is in `text`; 0: no whole record buffered yet
  // (every fed byte has been taken); FIAS_READ_NOT_STX: a byte other than STX stood where a
  // record must start (consumed); FIAS_READ_TOO_LONG: a record reached FIAS_MAX_RECORD_TEXT
  // characters without its ETX and was discarded. `text` is changed only for a record.
  int next(std::string& text);
  // An STX was taken and its ETX has not come yet.
  bool inside_record() const;
  // The text taken so far of the record being read; empty when not inside a record.
  std::string_view partial_record() const;
  // Forgets everything, fed bytes and partial record alike (a new connection).
  void reset();

 private:
  enum class state : uint8_t { between_records, in_record, skipping };
  std::string fed_;   // bytes fed; those before `taken_` have been dealt with
  size_t taken_ = 0;
  std::string record_;  // text so far of the record being read
  state state_ = state::between_records;
};

// ---- Frames on a descriptor ----

// Time limits of the link: the name lookup of the PMS host, a connection attempt, and one frame
// going out.
inline constexpr int FIAS_LOOKUP_TIMEOUT_MS = 3000;
inline constexpr int FIAS_CONNECT_TIMEOUT_MS = 5000;
inline constexpr int FIAS_SEND_TIMEOUT_MS = 10000;

// Connects to the PMS (first IPv4 address of `host`, looked up within `lookup_limit`), waiting
// at most FIAS_CONNECT_TIMEOUT_MS for the connection, turns on TCP keepalive, and sends a link
// start record. The connection, or an empty descriptor (the reason logged at DEBUG).
unique_fd fias_connect(const char* host, int port,
                       std::chrono::milliseconds lookup_limit =
                           std::chrono::milliseconds(FIAS_LOOKUP_TIMEOUT_MS));

// Sends STX, `text`, ETX as one frame; a short write is continued, and a closed peer gives -1
// rather than SIGPIPE. Text length + 2, or -1. A frame that has not gone out whole within
// `limit_ms` fails, and so does one that went out only in part; either way the connection is then
// shut down (not closed), so that the reader's next read fails and the link is started anew.
// Frames sent from several threads at once must be serialised by the caller (pms_link does).
int fias_send_raw_packet(int sock, const char* text, int limit_ms = FIAS_SEND_TIMEOUT_MS);

// Renders `p` and sends it; the record stays with the caller. As fias_send_raw_packet; -1 when
// there is nothing to render.
int fias_send_packet(int sock, fias_packet_t* p, int limit_ms = FIAS_SEND_TIMEOUT_MS);

// Sends a link active record for the current local time.
int fias_send_la(int sock, int limit_ms = FIAS_SEND_TIMEOUT_MS);

// Answers the PMS's link start: link description (interface type cut to two characters), the link
// records of `records` (fias_link_records), link active. A caller that names no set answers with
// the basic one. 0, or -1 after a failed send, in which case the connection has been shut down
// (not closed: its owner closes it).
int fias_init_connection(int sock, const char* iftype,
                         fias_record_set records = fias_record_set::basic,
                         int limit_ms = FIAS_SEND_TIMEOUT_MS);

// ---- The link ----

// The limits a link keeps. Defaults are the daemon's; tests give shorter ones.
struct link_timing {
  std::chrono::milliseconds lookup_limit{FIAS_LOOKUP_TIMEOUT_MS};  // for the PMS host's address
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

  // Connects to the PMS and sends a link start (fias_connect, the name lookup bounded by the
  // lookup limit). A connection that was open is closed first. 0, or -1 when no connection could
  // be made (the reason logged at DEBUG).
  int connect(const std::string& host, uint16_t port);
  // Takes a connected socket as the new connection (tests hand over one end of a socketpair).
  void adopt(unique_fd sock);
  // Closes the connection, if any; the link is inactive afterwards.
  void close();
  bool is_open() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }  // for the main loop's poll

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
  // The main loop stops reading while the request worker's queue is full (TCP holds the rest at
  // the PMS) and reads again once there is room. The record limit and the heartbeat count only
  // reading time, each pause left out: a burst waiting in TCP behind a full queue is not a PMS
  // that stalled inside a record, nor one that went silent. Both calls may repeat.
  void pause_reading();
  void resume_reading();
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
  // Sends a database resync request (DR with the current local date and time) while the current
  // connection is active: as send, or -2 when nothing was sent because the link is inactive.
  int send_resync_request();
  // The PMS ended the link (Link End): connection `link_id`, when it is still the current one,
  // is inactive until the PMS activates it again.
  void suspend(uint64_t link_id);
  // Sends the link start-up answer (description, the link records of `records`, link active) on
  // connection `link_id`, without another frame between them; -1 when that connection is gone or
  // a send failed. The link is inactive from then until the PMS's link active.
  int answer_link_start(uint64_t link_id, const char* iftype,
                        fias_record_set records = fias_record_set::basic);

 private:
  link_timing timing_;  // the heartbeat changes on reload, in the main loop
  mutable std::mutex send_lock_;  // held for each send and for closing
  unique_fd fd_;                  // replaced and closed by the main loop under send_lock_
  std::atomic<uint64_t> id_{0};
  uint64_t next_id_ = 1;  // main loop only
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> activation_{0};  // written under send_lock_

  // Time the main loop has spent reading: the steady clock less the pauses.
  std::chrono::steady_clock::duration reading_time() const;

  // Reading state, main loop only. The times are reading times.
  fias_frame_reader reader_;
  std::chrono::steady_clock::duration record_started_{};
  std::chrono::steady_clock::duration last_heard_{};
  bool heartbeat_sent_ = false;
  std::chrono::steady_clock::duration paused_total_{};
  std::optional<std::chrono::steady_clock::time_point> paused_since_;
};
