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

// One thread and a bounded queue. The main loop pushes records as it reads them and stops
// reading from the PMS while the queue is full (TCP holds the rest), so nothing is dropped and no
// thread is started per record. Records are applied strictly in arrival order, with `pacing`
// between two of them: the PBX is served at the PMS's pace, not flooded. A stop lets the record in
// hand finish; records still queued are logged as not applied.
class request_worker {
 public:
  using apply_fn = std::function<void(const pms_request&)>;

  request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing);
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
  mutable std::mutex lock_;  // guards queue_ and busy_
  std::condition_variable_any changed_;
  std::deque<pms_request> queue_;
  bool busy_ = false;
  std::jthread thread_;
};
