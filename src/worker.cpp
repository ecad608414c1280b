// The request worker: one thread applying the PMS's records in order, at the PMS's pace.
#include "worker.h"

#include "logger.h"
#include "sig.h"

request_worker::request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing)
    : apply_(std::move(apply)), capacity_(capacity), pacing_(pacing) {}

request_worker::~request_worker() { stop(); }

void request_worker::start() {
  thread_ = start_jthread([this](std::stop_token stop) { run(stop); });
}

bool request_worker::push(pms_request request) {
  {
    std::lock_guard guard(lock_);
    if (queue_.size() >= capacity_) return false;
    queue_.push_back(std::move(request));
  }
  changed_.notify_all();
  return true;
}

bool request_worker::full() const {
  std::lock_guard guard(lock_);
  return queue_.size() >= capacity_;
}

size_t request_worker::pending() const {
  std::lock_guard guard(lock_);
  return queue_.size() + (busy_ ? 1 : 0);
}

void request_worker::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  std::lock_guard guard(lock_);
  for (const pms_request& r : queue_)
    LOG(L_ERROR, "Stopping: record from the PMS not applied: %s", r.text.c_str());
  queue_.clear();
}

void request_worker::run(std::stop_token stop) {
  std::unique_lock lock(lock_);
  while (!stop.stop_requested()) {
    if (!changed_.wait(lock, stop, [this] { return !queue_.empty(); })) break;
    pms_request request = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    apply_(request);
    lock.lock();
    busy_ = false;
    // The pause between two records; a stop ends it at once.
    changed_.wait_for(lock, stop, pacing_, [] { return false; });
  }
}
