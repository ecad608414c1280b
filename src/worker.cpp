// The request worker: one thread applying the PMS's records in order, at the PMS's pace.
#include "worker.h"

#include <algorithm>

#include "logger.h"
#include "sig.h"

namespace {

// A duration as a log line says it: "10 minutes", "30 seconds", "250 ms".
std::string duration_text(std::chrono::milliseconds d) {
  const long long ms = d.count();
  if (ms % 60000 == 0) return std::to_string(ms / 60000) + (ms == 60000 ? " minute" : " minutes");
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
  return std::to_string(ms) + " ms";
}

}  // namespace

request_retry::request_retry(const pms_request& request, const retry_timing& timing,
                             std::stop_token stop)
    : request_(request), timing_(timing), stop_(std::move(stop)) {}

bool request_retry::again() {
  if (given_up_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (retries_ == 0) {
    first_failure_ = now;
    pause_ = timing_.first;
    LOG(L_WARNING, "Database busy or out of reach; trying the request again for up to %s: %s",
        duration_text(timing_.limit).c_str(), request_.text.c_str());
  }
  const auto left = first_failure_ + timing_.limit - now;
  if (left > decltype(left)::zero() && !stop_.stop_requested()) {
    // The last attempt falls on the limit itself, not a pause after it.
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait_for(lock, stop_, std::min<std::chrono::steady_clock::duration>(pause_, left),
                [] { return false; });
  }
  if (stop_.stop_requested()) {
    given_up_ = true;
    LOG(L_ERROR, "Stopping: record from the PMS not applied: %s", request_.text.c_str());
    return false;
  }
  if (left <= decltype(left)::zero()) {
    given_up_ = true;
    LOG(L_ERROR, "Request not applied after %s: %s", duration_text(timing_.limit).c_str(),
        request_.text.c_str());
    return false;
  }
  pause_ = std::min(pause_ * 2, timing_.longest);
  ++retries_;
  return true;
}

request_worker::request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing,
                               retry_timing retry)
    : apply_(std::move(apply)), capacity_(capacity), pacing_(pacing), retry_(retry) {}

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
    request_retry retry(request, retry_, stop);
    apply_(request, retry);
    if (retry.retries() > 0 && !retry.given_up())
      LOG(L_NOTICE, "Request applied after %d retries: %s", retry.retries(), request.text.c_str());
    lock.lock();
    busy_ = false;
    // The pause between two records; a stop ends it at once.
    changed_.wait_for(lock, stop, pacing_, [] { return false; });
  }
}
