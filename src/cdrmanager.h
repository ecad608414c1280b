// Manager feed: caches the call records (Cdr events) of guest rooms from the AMI.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "journal.h"
#include "mgr.h"
#include "store.h"

// Where the feed logs in, from the services section.
struct manager_config {
  std::string host;
  int port = 5038;
  std::string user;
  std::string password;
  bool all_calls = false;  // cache every Cdr event, not only answered calls with billable time
  bool operator==(const manager_config&) const = default;
};

// How the feed paces itself with the manager.
struct feed_timing {
  std::chrono::milliseconds backoff_min{1000};   // first pause after a failed or lost connection
  std::chrono::milliseconds backoff_max{30000};  // the pause doubles up to this
  std::chrono::milliseconds ping_after{30000};   // silence after which a Ping is sent
  std::chrono::milliseconds ping_answer{10000};  // time the manager has to answer it
  size_t held_capacity = 10000;                   // calls held while the store cannot take them
  std::chrono::milliseconds store_retry{1000};    // pause before the store is tried again
};

// A call the feed took from the manager: its values for the cache, and what log lines name it by.
struct held_call {
  cdr_values values;
  std::string source;
  std::string destination;
  std::string start;
};

// The calls a feed still holds when it stops, for the feed that replaces it: the old feed's stop
// gives them once its thread has stopped reading; the new one takes them ahead of its own.
class held_handover {
 public:
  void give(std::deque<held_call> calls);
  // The calls once they are given (once), none before.
  std::optional<std::deque<held_call>> take();
  // Waits until they are given.
  std::deque<held_call> wait_take();

 private:
  std::mutex lock_;
  std::condition_variable given_;
  std::optional<std::deque<held_call>> calls_;  // guarded by lock_
};

// One thread that logs in to the manager, reads its messages and caches the Cdr events of the
// registered rooms. A connection that fails, ends or goes silent (no answer to a Ping) is made
// again after a pause of 1 s, doubling up to 30 s; a host name that does not resolve is retried
// the same way. A refused login ends the feed until a reload starts it again.
// A call the store cannot take now (the disk full, the file locked past the busy time) is held in
// memory, with every call after it, and the store is tried again every `store_retry`: the calls
// are cached once each, in the order they came, when it takes them again. While `held_capacity`
// calls are held the feed reads nothing from the manager, so that the rest wait at the PBX (in
// the socket and the manager's queue) rather than being dropped. A stop tries the store once more
// and logs every call it still holds, unless a feed that replaces it takes them (follow).
class manager_feed {
 public:
  // The registry of `store` tells the guest rooms; `journal` caches their calls.
  manager_feed(manager_config config, internal_store& store, posting_journal& journal,
               feed_timing timing = {});
  ~manager_feed();  // stops and joins
  manager_feed(const manager_feed&) = delete;
  manager_feed& operator=(const manager_feed&) = delete;

  // Makes this feed, not started yet, take the calls `before` holds when it stops: they are
  // cached ahead of this feed's own, which are held until then. Call before `before` stops.
  void follow(manager_feed& before);
  void start();
  void stop();
  const manager_config& config() const { return config_; }
  // False once the thread has ended on its own (a refused login).
  bool running() const { return running_; }

  // One unit of the thread's work. First the held calls, when their pause is over, go to the
  // store; while the held calls fill their capacity nothing is read and the step waits up to
  // `wait` (0). Without a connection: resolves the host, connects and sends the login (no
  // waiting besides the connection attempt). With one: waits up to `wait` for a message and
  // handles it (the login answer, a Cdr event), pings a manager that has been silent and drops
  // one that does not answer. 1 a message was handled; 0 nothing complete yet; -1 the connection
  // could not be made or was lost (the thread then pauses); -2 the manager refused the login
  // (the thread ends).
  int step(std::chrono::milliseconds wait);
  // Calls held for the store (read it from the thread that calls step).
  size_t held() const { return held_.size(); }
  // Whether the manager has accepted the login on the current connection; any thread.
  bool logged_in() const { return logged_in_; }
  // Takes a connected socket as the session, as if the login had just been sent (tests).
  void adopt_session(unique_fd sock);
  mansession& session() { return mans_; }
  room_list& rooms() { return rooms_; }

 private:
  void run(std::stop_token stop);
  int read_step(std::chrono::milliseconds wait);
  int connect_and_login();
  void handle(const message& m);
  void cache(held_call call);
  int store_call(const held_call& call);
  void store_held(std::chrono::steady_clock::time_point now);
  void drop_held();
  void take_over(std::deque<held_call> calls);

  const manager_config config_;
  internal_store& store_;
  posting_journal& journal_;
  const feed_timing timing_;
  room_list rooms_;
  mansession mans_;
  message m_;
  bool session_open_ = false;
  std::string iabuf_;  // the manager's address as text, for log lines
  std::chrono::steady_clock::time_point last_heard_{};
  bool ping_sent_ = false;
  std::deque<held_call> held_;
  std::chrono::steady_clock::time_point retry_at_{};  // when the held calls are tried again
  size_t cached_from_held_ = 0;
  std::shared_ptr<held_handover> inbound_;   // the calls of the feed this one replaces
  std::shared_ptr<held_handover> outbound_;  // where the stop leaves the calls held
  std::atomic<bool> running_{false};
  std::atomic<bool> logged_in_{false};
  std::jthread thread_;
};

// The call of one Cdr event when its Source is a registered guest room and the call was answered
// with billable time (any call with `all_calls`); none when it is not for the cache. Rooms
// checked in since the list was read are looked up before a call is turned away.
std::optional<held_call> mgr_cdr_call(const message& m, room_list& rooms, internal_store& store,
                                      bool all_calls);
