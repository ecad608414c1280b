// Manager feed: turns Cdr events of guest rooms into rows of the internal call cache.
#include "cdrmanager.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "dbdriver.h"
#include "journal.h"
#include "logger.h"
#include "sig.h"

namespace {

// Columns of the call cache and the Cdr headers they are filled from, in statement order.
constexpr std::array<std::pair<const char*, const char*>, 22> kCdrColumns = {{
    {"clid", "CallerID"},
    {"src", "Source"},
    {"dst", "Destination"},
    {"dcontext", "DestinationContext"},
    {"channel", "Channel"},
    {"dstchannel", "DestinationChannel"},
    {"lastapp", "LastApplication"},
    {"lastdata", "LastData"},
    {"start", "StartTime"},
    {"answer", "AnswerTime"},
    {"end", "EndTime"},
    {"duration", "Duration"},
    {"billsec", "BillableSeconds"},
    {"disposition", "Disposition"},
    {"amaflags", "AMAFlags"},
    {"c_from", "From"},
    {"c_to", "To"},
    {"cost", "Cost"},
    {"accountcode", "AccountCode"},
    {"callclass", "CallClass"},
    {"faxdata", "FaxData"},
    {"uniqueid", "UniqueID"},
}};

// The cache's values of one call. A caller name such as "O'Brien" <101> is cached as sent, and
// no value is ever cut.
cdr_values cache_values(const message& m) {
  cdr_values values;
  values.reserve(kCdrColumns.size());
  for (const auto& [column, header] : kCdrColumns)
    values.emplace_back(column, std::string(mgr_get_header(m, header)));
  return values;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether a Cdr event is a call to bill: answered, with billable time. Asterisk writes a record
// for every dial attempt, busy and unanswered ones included, and a call's own ringing leg with
// no billable time; none of them is a charge.
bool billable(const message& m) {
  if (!equals_ignoring_case(mgr_get_header(m, "Disposition"), "ANSWERED")) return false;
  std::string seconds(mgr_get_header(m, "BillableSeconds"));
  return std::strtol(seconds.c_str(), nullptr, 10) > 0;
}

}  // namespace

std::optional<held_call> mgr_cdr_call(const message& m, room_list& rooms, internal_store& store,
                                      bool all_calls) {
  std::string hdr(mgr_get_header(m, "Source"));

  bool present = false;
  for (int attempt = 0; attempt < 2 && !present; ++attempt) {
    // A room checked in after the list was read must not have its calls turned away.
    if (attempt == 1 && rooms.refresh(store) == 0) break;
    if (rooms.rooms.empty()) continue;
    for (const std::string& room : rooms.rooms) {
      LOG(L_DEBUG, "TESTING '%s' ?= '%s'\n", hdr.c_str(), room.c_str());
      if (hdr == room) {
        LOG(L_DEBUG, "'%s' matches '%s'\n", hdr.c_str(), room.c_str());
        present = true;
        break;
      }
    }
  }
  if (rooms.rooms.empty()) {
    LOG(L_ERROR, "No rooms or empty list iterator\n");
    return std::nullopt;
  }
  if (!present) return std::nullopt;
  if (!all_calls && !billable(m)) {
    LOG(L_DEBUG, "Call of %s to %s not answered or without billable time; not cached",
        hdr.c_str(), std::string(mgr_get_header(m, "Destination")).c_str());
    return std::nullopt;
  }
  return held_call{cache_values(m), std::move(hdr),
                   std::string(mgr_get_header(m, "Destination")),
                   std::string(mgr_get_header(m, "StartTime"))};
}

void held_handover::give(std::deque<held_call> calls) {
  {
    std::lock_guard guard(lock_);
    calls_ = std::move(calls);
  }
  given_.notify_all();
}

std::optional<std::deque<held_call>> held_handover::take() {
  std::lock_guard guard(lock_);
  return std::exchange(calls_, std::nullopt);
}

std::deque<held_call> held_handover::wait_take() {
  std::unique_lock lock(lock_);
  given_.wait(lock, [this] { return calls_.has_value(); });
  return *std::exchange(calls_, std::nullopt);
}

manager_feed::manager_feed(manager_config config, internal_store& store, posting_journal& journal,
                           feed_timing timing)
    : config_(std::move(config)), store_(store), journal_(journal), timing_(timing) {}

// Hands a call to the journal, which caches it.
int manager_feed::store_call(const held_call& call) {
  LOG(L_DEBUG, "sending cache insert query");
  return journal_.cache_call(call.values);
}

manager_feed::~manager_feed() { stop(); }

void manager_feed::start() {
  LOG(L_DEBUG, "1 %s %d %s %s", config_.host.c_str(), config_.port, config_.user.c_str(),
      mgr_secret_mask);
  rooms_.refresh(store_);
  for (const std::string& room : rooms_.rooms)
    LOG(L_DEBUG, "Adding cdrmanager rooms room %s\n", room.c_str());
  running_ = true;
  thread_ = start_jthread([this](std::stop_token stop) { run(stop); });
}

void manager_feed::follow(manager_feed& before) {
  inbound_ = std::make_shared<held_handover>();
  before.outbound_ = inbound_;
}

void manager_feed::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
    running_ = false;
  }
  // The feed replaced stops in a thread of its own; its stop is bounded as this one is.
  if (inbound_) take_over(std::exchange(inbound_, nullptr)->wait_take());
  if (outbound_) {
    std::exchange(outbound_, nullptr)->give(std::exchange(held_, {}));
    return;
  }
  drop_held();
}

// Puts the calls of the feed replaced ahead of this feed's own and tries them at once.
void manager_feed::take_over(std::deque<held_call> calls) {
  if (calls.empty()) return;
  LOG(L_NOTICE, "%zu call records held by the replaced manager feed taken over", calls.size());
  held_.insert(held_.begin(), std::make_move_iterator(calls.begin()),
               std::make_move_iterator(calls.end()));
  retry_at_ = {};
  cached_from_held_ = 0;
}

// Caches a call, or holds it behind the calls already held: a call cached while earlier ones
// wait would reach the PMS out of order; so would one cached before the calls of the feed
// replaced arrive.
void manager_feed::cache(held_call call) {
  if (held_.empty() && !inbound_) {
    int rc = store_call(call);
    if (rc == 0) return;
    LOG(L_ERROR, "Unable to cache the call of %s to %s at %s", call.source.c_str(),
        call.destination.c_str(), call.start.c_str());
    // A call the store refuses for good would hold every call behind it for ever.
    if (rc != kDbUnavailable) return;
    LOG(L_WARNING, "Holding call records in memory until the states file takes them again "
        "(at most %zu)", timing_.held_capacity);
    retry_at_ = std::chrono::steady_clock::now() + timing_.store_retry;
    cached_from_held_ = 0;
  }
  held_.push_back(std::move(call));
  if (held_.size() == timing_.held_capacity)
    LOG(L_WARNING, "%zu call records held; reading from the manager paused until the states "
        "file takes them again", held_.size());
}

// Tries the held calls in order once their pause is over. A pass caches a bounded number, so
// that the manager is read between two passes while a long backlog drains.
void manager_feed::store_held(std::chrono::steady_clock::time_point now) {
  constexpr size_t kPerPass = 500;
  if (inbound_) {
    std::optional<std::deque<held_call>> calls = inbound_->take();
    if (!calls) return;
    inbound_.reset();
    take_over(std::move(*calls));
  }
  if (held_.empty() || now < retry_at_) return;
  for (size_t n = 0; n < kPerPass && !held_.empty(); ++n) {
    const held_call& call = held_.front();
    int rc = store_call(call);
    if (rc == kDbUnavailable) {
      retry_at_ = now + timing_.store_retry;
      return;
    }
    if (rc == 0)
      ++cached_from_held_;
    else
      LOG(L_ERROR, "Unable to cache the call of %s to %s at %s", call.source.c_str(),
          call.destination.c_str(), call.start.c_str());
    held_.pop_front();
  }
  if (held_.empty())
    LOG(L_NOTICE, "The states file takes call records again; %zu held call records cached",
        cached_from_held_);
}

// At a stop: one more try, then every call still held is named, for billing by hand.
void manager_feed::drop_held() {
  if (held_.empty()) return;
  retry_at_ = {};
  while (!held_.empty()) {
    const size_t before = held_.size();
    store_held(std::chrono::steady_clock::now());
    if (held_.size() == before) break;
  }
  for (const held_call& call : held_)
    LOG(L_ERROR, "Stopping: call of %s to %s at %s not cached", call.source.c_str(),
        call.destination.c_str(), call.start.c_str());
  held_.clear();
}

int manager_feed::connect_and_login() {
  // Resolved again at every connection: a name that did not resolve at boot (DNS not up yet), or
  // that moved, is found once it does.
  if (mgr_init(mans_, config_.host.c_str(), static_cast<uint16_t>(config_.port),
               config_.user.c_str(), config_.password.c_str()) < 0)
    return -1;
  char address[64];
  iabuf_ = mgr_inet_ntoa(address, sizeof address, mans_.sin.sin_addr) ? address : config_.host;
  if (mgr_login(mans_) != 0) return -1;
  session_open_ = true;
  m_.clear();
  last_heard_ = std::chrono::steady_clock::now();
  ping_sent_ = false;
  return 0;
}

void manager_feed::adopt_session(unique_fd sock) {
  mans_.fd = std::move(sock);
  mans_.connected = 0;
  session_open_ = true;
  last_heard_ = std::chrono::steady_clock::now();
}

void manager_feed::handle(const message& m) {
  for (int i = 0; i < m.hdrcount; ++i)
    LOG(L_DEBUG, "%s got: %s", iabuf_.c_str(), m.headers[static_cast<size_t>(i)].c_str());
  if (mans_.connected != 0) {
    if (equals_ignoring_case(mgr_get_header(m, "Event"), "Cdr"))
      if (std::optional<held_call> call = mgr_cdr_call(m, rooms_, store_, config_.all_calls))
        cache(std::move(*call));
    return;
  }
  std::string_view answer = mgr_get_header(m, "Message");
  if (answer == "Authentication accepted") {
    mans_.connected = 1;
    LOG(L_DEBUG, "%s: connected successfully!", iabuf_.c_str());
  }
  if (answer == "Authentication failed") {
    mans_.connected = -1;
    LOG(L_ERROR, "Manager at %s refused the login of %s; no call records until a reload",
        iabuf_.c_str(), config_.user.c_str());
  }
}

int manager_feed::step(std::chrono::milliseconds wait) {
  store_held(std::chrono::steady_clock::now());
  if (held_.size() >= timing_.held_capacity) {
    // Nothing is read: the manager's events wait in the socket until the store takes calls.
    const auto until_retry = retry_at_ - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(wait, until_retry));
    return 0;
  }
  int rc = read_step(wait);
  logged_in_ = session_open_ && mans_.connected == 1;
  return rc;
}

int manager_feed::read_step(std::chrono::milliseconds wait) {
  if (!session_open_) return connect_and_login() == 0 ? 0 : -1;
  int rc = mgr_read(mans_, m_, static_cast<int>(wait.count()));
  const auto now = std::chrono::steady_clock::now();
  if (rc < 0) {
    LOG(L_ERROR, "%s: Not connected", iabuf_.c_str());
    session_open_ = false;
    mans_.fd.reset();
    if (mans_.connected < 0) return -2;
    mans_.connected = 0;
    return -1;
  }
  if (rc == 0) {
    const auto silence = now - last_heard_;
    if (!ping_sent_ && silence >= timing_.ping_after) {
      ping_sent_ = true;
      mgr_ping(mans_);
    } else if (ping_sent_ && silence >= timing_.ping_after + timing_.ping_answer) {
      LOG(L_WARNING, "Manager at %s did not answer a Ping; connecting again", iabuf_.c_str());
      session_open_ = false;
      mans_.fd.reset();
      mans_.connected = 0;
      return -1;
    }
    return 0;
  }
  last_heard_ = now;
  ping_sent_ = false;
  handle(m_);
  m_.clear();
  if (mans_.connected < 0) {
    session_open_ = false;
    mans_.fd.reset();
    return -2;
  }
  return 1;
}

void manager_feed::run(std::stop_token stop) {
  std::mutex pause_lock;
  std::condition_variable_any pause;
  auto backoff = timing_.backoff_min;
  while (!stop.stop_requested()) {
    // Short slices, so that a stop is served at once.
    int rc = step(std::chrono::milliseconds(250));
    if (rc == -2) break;
    if (rc == 1 && logged_in()) backoff = timing_.backoff_min;
    if (rc != -1) continue;
    // Whatever way the connection ended, the next attempt waits: a manager port that accepts
    // and closes at once must not make this a busy loop.
    std::unique_lock lock(pause_lock);
    pause.wait_for(lock, stop, backoff, [] { return false; });
    backoff = std::min(backoff * 2, timing_.backoff_max);
  }
  running_ = false;
}
