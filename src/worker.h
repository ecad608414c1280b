// The request worker: applies the PMS's records one after the other, in the order they came.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

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
// runs once more; the record stays in hand meanwhile, so the records behind it wait and none
// overtakes it.
class request_retry {
 public:
  request_retry(const pms_request& request, const retry_timing& timing, std::stop_token stop);

  // Waits the next pause and says whether to run the statement again. False, with the record
  // logged as not applied, once the limit since the first failure is reached or a stop is asked
  // for (the pause ends at once then); false without waiting after that.
  bool again();
  int retries() const { return retries_; }
  bool given_up() const { return given_up_; }

 private:
  const pms_request& request_;
  const retry_timing& timing_;
  std::stop_token stop_;
  std::chrono::steady_clock::time_point first_failure_{};
  std::chrono::milliseconds pause_{0};
  int retries_ = 0;
  bool given_up_ = false;
};

// One thread and a bounded queue. The main loop pushes records as it reads them and stops
// reading from the PMS while the queue is full (TCP holds the rest), so nothing is dropped and no
// thread is started per record. Records are applied strictly in arrival order, with `pacing`
// between two of them: the PBX is served at the PMS's pace, not flooded. A stop lets the record in
// hand finish (ending its retries); records still queued are logged as not applied.
class request_worker {
 public:
  using apply_fn = std::function<void(const pms_request&, request_retry&)>;

  request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing,
                 retry_timing retry = {});
  ~request_worker();  // stops and joins
  request_worker(const request_worker&) = delete;
  request_worker& operator=(const request_worker&) = delete;

  void start();
  // Queues a record; false (nothing queued) when the queue is full.
  bool push(pms_request request);
  bool full() const;
  // Records waiting, the one in hand included.
  size_t pending() const;
  // Asks the thread to end after the record in hand and waits for it.
  void stop();

 private:
  void run(std::stop_token stop);

  const apply_fn apply_;
  const size_t capacity_;
  const std::chrono::milliseconds pacing_;
  const retry_timing retry_;
  mutable std::mutex lock_;  // guards queue_ and busy_
  std::condition_variable_any changed_;
  std::deque<pms_request> queue_;
  bool busy_ = false;
  std::jthread thread_;
};
