// The request worker: a thread per lane applying the PMS's records in order per room.
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

request_retry::request_retry(const pms_request& request, retry_timing timing,
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

request_route route_record(std::string_view text) {
  request_route route;
  const std::string_view kind = text.substr(0, text.find('|'));
  bool swap = false;
  for (size_t pos = kind.size(); pos < text.size();) {
    const size_t begin = pos + 1;
    const size_t end = std::min(text.find('|', begin), text.size());
    const std::string_view field = text.substr(begin, end - begin);
    if ((field.starts_with("RN") || field.starts_with("RO")) && field.size() > 2)
      route.rooms.emplace_back(field.substr(2));
    else if (field.starts_with("SF"))
      swap = true;
    pos = end;
  }
  if (kind == "LS" || kind == "LA" || kind == "LE") {
    route.lane = request_lane::link;
    route.paced = false;
    route.rooms.clear();
  } else if (kind == "PA") {
    route.lane = request_lane::states;
    route.paced = false;
  } else if (kind == "DS" || kind == "DE" || (swap && (kind == "GI" || kind == "GO"))) {
    route.paced = false;
  }
  return route;
}

request_worker::request_worker(apply_fn apply, size_t capacity, std::chrono::milliseconds pacing,
                               retry_timing retry)
    : apply_(std::move(apply)), capacity_(capacity), retry_(retry), pacing_(pacing) {}

request_worker::~request_worker() { stop(); }

void request_worker::start() {
  for (request_lane lane : {request_lane::link, request_lane::pbx, request_lane::states})
    threads_[static_cast<size_t>(lane)] =
        start_jthread([this, lane](std::stop_token stop) { run(lane, stop); });
}

bool request_worker::push(pms_request request) {
  request_route route = route_record(request.text);
  const request_lane lane = route.lane;
  std::lock_guard guard(lock_);
  if (queued(lane == request_lane::link) >= capacity_) return false;
  const uint64_t seq = next_seq_++;
  for (const std::string& room : route.rooms) rooms_[room].push_back(seq);
  if (!route.paced) ++unpaced_[static_cast<size_t>(lane)];
  lanes_[static_cast<size_t>(lane)].push_back({std::move(request), std::move(route), seq});
  changed(lane);
  return true;
}

bool request_worker::full() const {
  std::lock_guard guard(lock_);
  return queued(true) >= capacity_ || queued(false) >= capacity_;
}

size_t request_worker::pending() const {
  std::lock_guard guard(lock_);
  return queued(true) + queued(false);
}

size_t request_worker::queued(bool link) const {
  auto size = [this](request_lane lane) { return lanes_[static_cast<size_t>(lane)].size(); };
  return link ? size(request_lane::link) : size(request_lane::pbx) + size(request_lane::states);
}

void request_worker::set_pacing(std::chrono::milliseconds pacing) {
  std::lock_guard guard(lock_);
  pacing_ = pacing;
  changed_all();
}

void request_worker::changed(request_lane lane) {
  ++changes_[static_cast<size_t>(lane)];
  changed_[static_cast<size_t>(lane)].notify_all();
}

void request_worker::changed_all() {
  for (request_lane lane : {request_lane::link, request_lane::pbx, request_lane::states})
    changed(lane);
}

void request_worker::stop() {
  auto& states = threads_[static_cast<size_t>(request_lane::states)];
  if (!states.joinable()) return;
  stopping_.request_stop();
  for (request_lane lane : {request_lane::link, request_lane::pbx}) {
    threads_[static_cast<size_t>(lane)].request_stop();
    threads_[static_cast<size_t>(lane)].join();
  }
  {
    std::lock_guard guard(lock_);
    drop_queued(request_lane::link);
    drop_queued(request_lane::pbx);
  }
  // Nothing holds the answers' rooms any more: the states lane settles what is queued and ends.
  states.request_stop();
  states.join();
}

void request_worker::forget(request_lane lane, entry_list::iterator it) {
  for (const std::string& room : it->route.rooms) {
    auto r = rooms_.find(room);
    std::deque<uint64_t>& seqs = r->second;
    seqs.erase(std::find(seqs.begin(), seqs.end(), it->seq));
    if (seqs.empty()) rooms_.erase(r);
  }
  if (!it->route.paced && !it->in_hand) --unpaced_[static_cast<size_t>(lane)];
  lanes_[static_cast<size_t>(lane)].erase(it);
  // A room let go may let a record of any lane start.
  changed_all();
}

void request_worker::drop_queued(request_lane lane) {
  entry_list& queue = lanes_[static_cast<size_t>(lane)];
  for (auto it = queue.begin(); it != queue.end();) {
    auto next = std::next(it);
    if (!it->in_hand) {
      LOG(L_ERROR, "Stopping: record from the PMS not applied: %s", it->request.text.c_str());
      forget(lane, it);
    }
    it = next;
  }
}

request_worker::entry_list::iterator request_worker::next_for(
    request_lane lane, std::chrono::steady_clock::time_point& wake) {
  const size_t l = static_cast<size_t>(lane);
  entry_list& queue = lanes_[l];
  const auto paced_from = paced_done_[l] + pacing_;
  const bool paced_due = std::chrono::steady_clock::now() >= paced_from;
  wake = std::chrono::steady_clock::time_point::max();
  // While the pacing runs only an unpaced record may start: none queued, none to look for.
  if (!paced_due && unpaced_[l] == 0) {
    if (!queue.empty()) wake = paced_from;
    return queue.end();
  }
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    const auto& rooms = it->route.rooms;
    const bool first_of_rooms =
        rooms.empty() ? it == queue.begin()
                      : std::all_of(rooms.begin(), rooms.end(), [&](const std::string& room) {
                          return rooms_.at(room).front() == it->seq;
                        });
    if (!it->in_hand && first_of_rooms) {
      if (!it->route.paced || paced_due) return it;
      wake = paced_from;
    }
    if (rooms.empty()) break;  // nothing of this lane goes past it
  }
  return queue.end();
}

void request_worker::run(request_lane lane, std::stop_token stop) {
  const size_t l = static_cast<size_t>(lane);
  // The states lane is asked to end only once nothing else is left: it settles what is queued.
  const bool drains = lane == request_lane::states;
  std::unique_lock lock(lock_);
  for (;;) {
    if (stopping_.stop_requested() && !drains) return;
    auto wake = std::chrono::steady_clock::time_point::max();
    auto it = next_for(lane, wake);
    if (it == lanes_[l].end()) {
      if (stop.stop_requested()) return;
      const uint64_t seen = changes_[l];
      auto looked_at = [&] { return changes_[l] != seen; };
      if (wake == std::chrono::steady_clock::time_point::max())
        changed_[l].wait(lock, stop, looked_at);
      else
        changed_[l].wait_until(lock, stop, wake, looked_at);
      continue;
    }
    it->in_hand = true;
    if (!it->route.paced) --unpaced_[l];
    lock.unlock();
    request_retry retry(it->request, retry_, stopping_.get_token());
    apply_(it->request, retry);
    if (retry.retries() > 0 && !retry.given_up())
      LOG(L_NOTICE, "Request applied after %d retries: %s", retry.retries(),
          it->request.text.c_str());
    lock.lock();
    if (it->route.paced) paced_done_[l] = std::chrono::steady_clock::now();
    forget(lane, it);
    // A states file that failed an answer during the stop fails the others too: they are named
    // as not applied rather than each waiting out the file's busy time.
    if (drains && retry.given_up() && stopping_.stop_requested()) drop_queued(lane);
  }
}
