// The request worker: applies the PMS's records in lanes, in order per room, at the PMS's pace.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

// The thread that applies a record. Link control has a lane of its own, so that it is never
// served behind guest records; the states file and the PBX database each have one, so that a
// states file that cannot be written does not hold up the PBX, nor a busy PBX the answers.
enum class request_lane : uint8_t { link, pbx, states };

// Where a record goes and what it must wait for, read from its text (route_record).
struct request_route {
  request_lane lane = request_lane::pbx;
  // Paced records start no sooner than the pacing after the previous paced one ended.
  bool paced = true;
  // The rooms the record touches (RN, and RO of a room move); none: the record waits for every
  // earlier record of its lane, and every later one of its lane waits for it.
  std::vector<std::string> rooms;
};

// LS, LA and LE go to the link lane; PA (a settle in the states file) to the states lane; all
// else to the PBX lane. A database swap's records (GI and GO with the SF field, DS, DE) and link
// control are not paced.
request_route route_record(std::string_view text);

// One record as the main loop read it, with the number of the connection it came on.
struct pms_request {
  std::string text;
  uint64_t link_id = 0;
};

// How a record whose statement met a busy or unreachable database is tried again: after `first`,
// the pause doubling up to `longest`, for at most `limit` after the first failure.
struct retry_timing {
  std::chrono::milliseconds first{1000};
  std::chrono::milliseconds longest{30000};
  std::chrono::milliseconds limit{std::chrono::minutes(10)};
};

// The retries of the record in hand, handed to the apply function with it. A statement that
// failed for a reason that passes (a locked file, a server that is down) asks again() before it
// runs once more; the record stays in hand meanwhile, so the records of its room and lane behind it
// wait and none of them overtakes it.
class request_retry {
 public:
  // `request` is the caller's and must outlive the object; the timing is copied.
  request_retry(const pms_request& request, retry_timing timing, std::stop_token stop);
  request_retry(pms_request&& request, retry_timing timing, std::stop_token stop) = delete;

  // Waits the next pause and says whether to run the statement again. False, with the record
  // logged as not applied, once the limit since the first failure is reached or a stop is asked
  // for (the pause ends at once then); false without waiting after that.
  bool again();
  int retries() const { return retries_; }
  bool given_up() const { return given_up_; }

 private:
  const pms_request& request_;
  const retry_timing timing_;
  std::stop_token stop_;
  std::chrono::steady_clock::time_point first_failure_{};
  std::chrono::milliseconds pause_{0};
  int retries_ = 0;
  bool given_up_ = false;
};

// A thread per lane and a bounded queue. The main loop pushes records as it reads them and
// stops reading from the PMS while the queue is full (TCP holds the rest), so nothing is dropped
// and no thread is started per record.
//
// Order: a record that touches room R starts only once every earlier record of room R, in any
// lane, is done; records of other rooms go past it. Within a lane, a record without a room keeps
// its place against every other. Link control is applied as it comes, in its order.
//
// Bounds: `capacity` guest records (PBX and states lanes) and as many link control records are
// held; paced records start `pacing` apart (set_pacing changes it at once).
//
// Stop: the record in hand of each lane finishes (its retries end at once). Queued link control
// and PBX records are logged as not applied. Queued posting answers (the states lane) are still
// applied: the PMS answered them, and a posting not settled goes out again on the next run, to be
// charged twice. Each is local work bounded by the states file's busy time; once one fails, it and
// the rest are logged as not applied.
class request_worker {
 public:
  using apply_fn = std::function<void(const pms_request&, request_retry&)>;

  request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing,
                 retry_timing retry = {});
  ~request_worker();  // stops and joins
  request_worker(const request_worker&) = delete;
  request_worker& operator=(const request_worker&) = delete;

  void start();
  // Queues a record on the lane route_record gives it; false (nothing queued) when its part of
  // the queue is full.
  bool push(pms_request request);
  // True while the main loop must not read: guest records or link control at capacity.
  bool full() const;
  // Records waiting, those in hand included.
  size_t pending() const;
  void set_pacing(std::chrono::milliseconds pacing);
  // Asks the threads to end after their records in hand, settles the queued answers, and waits.
  void stop();

 private:
  static constexpr size_t kLanes = 3;
  struct entry {
    pms_request request;
    request_route route;
    uint64_t seq = 0;  // its place in the order of arrival
    bool in_hand = false;
  };
  using entry_list = std::list<entry>;

  void run(request_lane lane, std::stop_token stop);
  // The first record of `lane` that may start now; else end(), with `wake` set to when a paced
  // one may start (max when none waits on the pacing). Under lock_.
  entry_list::iterator next_for(request_lane lane, std::chrono::steady_clock::time_point& wake);
  // Takes a record that is done or dropped off its lane and its rooms. Under lock_.
  void forget(request_lane lane, entry_list::iterator it);
  // Logs and drops the queued records of `lane`. Under lock_.
  void drop_queued(request_lane lane);
  // Guest records (PBX and states lanes) or link control records queued. Under lock_.
  size_t queued(bool link) const;
  // Wakes the thread of `lane`, or all. Under lock_.
  void changed(request_lane lane);
  void changed_all();

  const apply_fn apply_;
  const size_t capacity_;
  const retry_timing retry_;
  std::stop_source stopping_;  // ends the retries of every lane
  mutable std::mutex lock_;    // guards the members below
  std::array<entry_list, kLanes> lanes_;
  // Per room, the records that touch it and are not done, by seq in order of arrival: a record
  // starts only when it is the first of each of its rooms.
  std::unordered_map<std::string, std::deque<uint64_t>> rooms_;
  std::chrono::milliseconds pacing_;
  uint64_t next_seq_ = 0;
  std::array<size_t, kLanes> unpaced_{};  // queued unpaced records per lane
  std::array<std::chrono::steady_clock::time_point, kLanes> paced_done_{};
  std::array<uint64_t, kLanes> changes_{};  // per lane, counts what its thread must look at again
  std::array<std::condition_variable_any, kLanes> changed_;
  std::array<std::jthread, kLanes> threads_;
};
