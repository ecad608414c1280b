// The manager driver: one kept login to Asterisk's manager, templates sent as its actions.
#include "amidriver.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "fdutils.h"
#include "logger.h"
#include "mgr.h"

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kManagerPort = 5038;
constexpr int kAnswerSeconds = 5;
// Every wait is cut into slices this long, so that interrupt() is seen within one.
constexpr int kSliceMs = 100;
// A manager that vanished without closing is noticed by the kernel too, as on the manager feed.
constexpr int kKeepaliveIdleS = 30;
constexpr int kKeepaliveIntervalS = 10;
constexpr int kKeepaliveProbes = 3;
constexpr int kUnacknowledgedLimitMs = 60'000;
// What escape() puts for a '|' in a value: a control character, which escape() removes from
// every value, so in a filled template it can only stand for a value's '|'.
constexpr char kValueBar = '\x1f';

// A value with its control characters written out (\r, \n, \t, \xNN), for a log line.
std::string visible(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The name of a header line "Name: value"; empty when the line is not one.
std::string_view header_name(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const std::string_view name = line.substr(0, colon);
  const bool word = std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_';
  });
  return word ? name : std::string_view{};
}

// One action of a template: its header lines, "Action: <name>" first.
struct action_text {
  std::string name;
  std::vector<std::string> headers;
};

// Splits a filled template at its '|' into header lines and the lines into actions, each
// beginning at an "Action:" header; a value's '|' is put back afterwards. "" with the actions,
// or the reason the template is no list of actions.
std::string split_actions(std::string_view statement, std::vector<action_text>& out) {
  out.clear();
  size_t pos = 0;
  while (pos <= statement.size()) {
    size_t bar = statement.find('|', pos);
    if (bar == std::string_view::npos) bar = statement.size();
    const std::string_view piece = trimmed(statement.substr(pos, bar - pos));
    pos = bar + 1;
    if (piece.empty()) continue;
    std::string line(piece);
    std::replace(line.begin(), line.end(), kValueBar, '|');
    const std::string_view name = header_name(line);
    if (name.empty()) return "\"" + visible(line) + "\" is no header (Name: value)";
    if (strncasecmp(name.data(), "ActionID", name.size()) == 0 && name.size() == 8)
      return "ActionID is the driver's own; the template may not set it";
    if (name.size() == 6 && strncasecmp(name.data(), "Action", 6) == 0) {
      out.push_back({std::string(trimmed(std::string_view(line).substr(7))), {}});
      if (out.back().name.empty()) return "an Action header without the action's name";
    } else if (out.empty()) {
      return "the first header is not Action:";
    }
    if (line.size() > message::max_line)
      return "a header of " + out.back().name + " is longer than 1023 characters";
    if (out.back().headers.size() + 2 > static_cast<size_t>(message::max_headers))
      return "action " + out.back().name + " has more than 254 headers";
    out.back().headers.push_back(std::move(line));
  }
  if (out.empty()) return "no action";
  return {};
}

class ami_driver final : public dbdriver_t {
 public:
  ami_driver(std::string_view instance_name, const ami_timing& timing)
      : dbdriver_t(dbkind::ami, instance_name, kManagerPort), timing_(timing) {
    connect_timeout = kAnswerSeconds;
    read_timeout = kAnswerSeconds;
    backoff_ = timing_.backoff_first;
  }
  ~ami_driver() override { close(); }

  int connect(const char* host, uint16_t port, const char* user, const char* password,
              const char*) override {
    if (logged_in_) return 0;
    const auto now = clock::now();
    if (now < next_attempt_) {
      LOG(L_DEBUG, "Manager %s: waiting before the next connection attempt", name.c_str());
      return -2;
    }
    start_ = interrupts_.load();
    // One limit for the connection and the answer to its login.
    const auto deadline = clock::now() + std::chrono::seconds(connect_timeout);
    const std::string target = std::string(host ? host : "localhost") + ":" + std::to_string(port);
    if (mgr_init(s_, host ? host : "localhost", port, user, password) != 0) return failed(target);
    if (const int err = connect_socket(deadline); err != 0) {
      LOG(L_ERROR, "Manager %s: cannot connect to %s: %s", name.c_str(), target.c_str(),
          std::strerror(err));
      return failed(target);
    }
    if (fd_set_keepalive(s_.fd.get(), kKeepaliveIdleS, kKeepaliveIntervalS, kKeepaliveProbes,
                         kUnacknowledgedLimitMs) < 0)
      LOG(L_WARNING, "Manager %s: no keepalive on the connection: %s", name.c_str(),
          std::strerror(errno));
    // Events are switched off: the answers to our actions are all this connection is for.
    const std::string id = next_id();
    message login;
    mgr_add_header(login, "Action: Login");
    mgr_add_header(login, "Username: %s", s_.user.c_str());
    mgr_add_header(login, "Secret: %s", s_.pass.c_str());
    mgr_add_header(login, "Events: off");
    mgr_add_header(login, "ActionID: %s", id.c_str());
    if (mgr_write(s_, login) != 0) {
      LOG(L_ERROR, "Manager %s: login not sent to %s: %s", name.c_str(), target.c_str(),
          std::strerror(errno));
      return failed(target);
    }
    switch (await(id, deadline)) {
      case answer::answered:
        break;
      case answer::silent:
        LOG(L_ERROR, "Manager %s: no answer to the login from %s within %d s of connecting",
            name.c_str(), target.c_str(), connect_timeout);
        return failed(target);
      case answer::lost:
        LOG(L_ERROR, "Manager %s: %s closed the connection before answering the login",
            name.c_str(), target.c_str());
        return failed(target);
      case answer::interrupted:
        return failed(target);
    }
    if (strcasecmp(std::string(mgr_get_header(in_, "Response")).c_str(), "Success") != 0) {
      LOG(L_ERROR, "Manager %s: login as %s refused by %s: %s", name.c_str(), s_.user.c_str(),
          target.c_str(), std::string(mgr_get_header(in_, "Message")).c_str());
      return failed(target);
    }
    LOG(L_NOTICE, "Manager %s: logged in to %s as %s", name.c_str(), target.c_str(),
        s_.user.c_str());
    logged_in_ = true;
    offered_.reset();
    backoff_ = timing_.backoff_first;
    return 0;
  }

  int query(const std::string& statement) override {
    last_error_.clear();
    std::vector<action_text> actions;
    if (std::string why = split_actions(statement, actions); !why.empty()) {
      last_error_ = why;
      return -1;
    }
    if (!logged_in_) {
      LOG(L_ERROR, "Manager %s: not connected; %s not sent", name.c_str(),
          actions.front().name.c_str());
      return kDbUnavailable;
    }
    start_ = interrupts_.load();
    for (const action_text& action : actions) {
      const std::string id = next_id();
      message m;
      for (const std::string& header : action.headers) mgr_add_header(m, "%s", header.c_str());
      mgr_add_header(m, "ActionID: %s", id.c_str());
      if (mgr_write(s_, m) != 0) {
        LOG(L_ERROR, "Manager %s: connection lost sending %s: %s", name.c_str(),
            action.name.c_str(), std::strerror(errno));
        drop(true);
        return kDbUnavailable;
      }
      if (const int rc = answered(action.name, id); rc != 0) return rc;
    }
    return 0;
  }

  int check(const std::string& statement, int& columns, std::string& error) override {
    columns = 0;
    std::vector<action_text> actions;
    if (std::string why = split_actions(statement, actions); !why.empty()) {
      error = why;
      return -1;
    }
    if (!logged_in_) {
      error = "no connection to the manager";
      return -1;
    }
    if (!offered_ && list_commands(error) != 0) return -1;
    for (const action_text& action : actions) {
      std::string lower = action.name;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (offered_->count(lower)) continue;
      error = "action " + action.name + " is not one the manager offers to user " + s_.user +
              (offered_cut_ ? " (or beyond the first 255 lines of ListCommands)" : "");
      return -1;
    }
    return 0;
  }

  std::string escape(std::string_view value) override {
    std::string out;
    out.reserve(value.size());
    bool removed = false;
    for (char c : value) {
      if (c == '|')
        out += kValueBar;
      else if (is_control(static_cast<unsigned char>(c)))
        removed = true;
      else
        out += c;
    }
    if (removed)
      LOG(L_WARNING, "Manager %s: control characters removed from the value \"%s\"",
          name.c_str(), visible(value).c_str());
    return out;
  }

  void interrupt() override { interrupts_.fetch_add(1); }
  int fetch_row() override { return -1; }
  int fetch_int_field(int, int&) override { return -1; }
  int fetch_char_field(int, std::string&, size_t) override { return -1; }
  int changes() override { return 0; }
  void free_result() override {}

  void close() override {
    if (!logged_in_) return;
    message bye;
    mgr_add_header(bye, "Action: Logoff");
    mgr_write(s_, bye);
    drop(true);
  }

  // True when there is no login, or when a connection silent for longer than the keepalive
  // does not answer a Ping: an idle connection that a firewall forgot takes the statement's
  // whole answer time otherwise, and then a retry.
  bool needs_connect() override {
    if (!logged_in_) return true;
    if (clock::now() - last_heard_ < timing_.keepalive) return false;
    start_ = interrupts_.load();
    const std::string id = next_id();
    message ping;
    mgr_add_header(ping, "Action: Ping");
    mgr_add_header(ping, "ActionID: %s", id.c_str());
    if (mgr_write(s_, ping) == 0 && await(id, answer_deadline()) == answer::answered) return false;
    LOG(L_WARNING, "Manager %s: no answer to a Ping after a quiet spell; connecting again",
        name.c_str());
    drop(true);
    return true;
  }

  std::string last_error() const override { return last_error_; }

 private:
  enum class answer { answered, silent, lost, interrupted };

  std::string next_id() { return "velmorant-" + std::to_string(++actions_sent_); }

  // A failed connection attempt: the socket goes, and the next attempt waits out the back-off.
  int failed(const std::string& target) {
    drop(false);
    next_attempt_ = clock::now() + backoff_;
    LOG(L_NOTICE, "Manager %s: next attempt to reach %s in %lld ms", name.c_str(),
        target.c_str(), static_cast<long long>(backoff_.count()));
    backoff_ = std::min(backoff_ * 2, timing_.backoff_longest);
    return -2;
  }

  // Closes the connection; `at_once` lets the next statement connect again without a pause (a
  // connection that worked until now is worth one immediate attempt).
  void drop(bool at_once) {
    s_.fd.reset();
    logged_in_ = false;
    if (at_once) next_attempt_ = {};
  }

  // A non-blocking connect bounded by `deadline` and by interrupt(). 0, or an errno value.
  int connect_socket(clock::time_point deadline) {
    const int fd = s_.fd.get();
    if (fd < 0) return errno ? errno : EMFILE;
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&s_.sin), sizeof s_.sin) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    for (;;) {
      if (interrupted()) return EINTR;
      const auto left = std::chrono::ceil<milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return ETIMEDOUT;
      pollfd pfd{fd, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
      if (ready < 0 && errno != EINTR) return errno;
      if (ready <= 0) continue;
      int pending = 0;
      socklen_t len = sizeof pending;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) < 0) return errno;
      return pending;
    }
  }

  bool interrupted() const { return interrupts_.load() != start_; }
  clock::time_point answer_deadline() const {
    return clock::now() + std::chrono::seconds(read_timeout);
  }

  // Reads messages until the answer carrying ActionID `id` is in in_, at the latest by
  // `deadline`. Events, and answers to earlier actions that ran out of time, are skipped.
  answer await(const std::string& id, clock::time_point deadline) {
    in_.clear();
    for (;;) {
      if (interrupted()) return answer::interrupted;
      const auto left = std::chrono::ceil<milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return answer::silent;
      const int rc = mgr_read(s_, in_, static_cast<int>(std::min<long long>(left, kSliceMs)));
      if (rc < 0) return answer::lost;
      if (rc == 0) continue;
      last_heard_ = clock::now();
      if (mgr_get_header(in_, "ActionID") == id && !mgr_get_header(in_, "Response").empty())
        return answer::answered;
      in_.clear();
    }
  }

  // Waits for the answer to action `action`: 0 success; -1 with last_error_ when answered
  // otherwise; kDbUnavailable (logged, the connection closed) when none came.
  int answered(const std::string& action, const std::string& id) {
    switch (await(id, answer_deadline())) {
      case answer::answered:
        break;
      case answer::silent:
        LOG(L_ERROR, "Manager %s: no answer to %s within %d s", name.c_str(), action.c_str(),
            read_timeout);
        // A manager that takes no actions is paced like one that takes no connections.
        drop(false);
        next_attempt_ = clock::now() + backoff_;
        backoff_ = std::min(backoff_ * 2, timing_.backoff_longest);
        return kDbUnavailable;
      case answer::lost:
        LOG(L_ERROR, "Manager %s: connection lost waiting for the answer to %s", name.c_str(),
            action.c_str());
        drop(true);
        return kDbUnavailable;
      case answer::interrupted:
        LOG(L_WARNING, "Manager %s: stopped waiting for the answer to %s", name.c_str(),
            action.c_str());
        drop(true);
        return kDbUnavailable;
    }
    const std::string_view response = mgr_get_header(in_, "Response");
    if (response.size() == 7 && strncasecmp(response.data(), "Success", 7) == 0) return 0;
    last_error_ = "manager " + name + ": " + action + " answered " + std::string(response) + ": " +
                  std::string(mgr_get_header(in_, "Message"));
    return -1;
  }

  // Asks ListCommands and keeps the names of the actions it lists, in lower case.
  int list_commands(std::string& error) {
    start_ = interrupts_.load();
    const std::string id = next_id();
    message ask;
    mgr_add_header(ask, "Action: ListCommands");
    mgr_add_header(ask, "ActionID: %s", id.c_str());
    if (mgr_write(s_, ask) != 0 || await(id, answer_deadline()) != answer::answered) {
      error = "no answer to ListCommands within " + std::to_string(read_timeout) + " s";
      drop(true);
      return -1;
    }
    if (mgr_get_header(in_, "Response") != "Success") {
      error = "ListCommands answered: " + std::string(mgr_get_header(in_, "Message"));
      return -1;
    }
    std::set<std::string> names;
    for (int i = 0; i < std::min(in_.hdrcount, message::max_headers); ++i) {
      std::string name(header_name(in_.headers[static_cast<size_t>(i)]));
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (!name.empty() && name != "response" && name != "actionid") names.insert(name);
    }
    offered_cut_ = in_.dropped > 0;
    offered_ = std::move(names);
    return 0;
  }

  const ami_timing timing_;
  mansession s_;
  message in_;  // the message being read; its rows keep their storage between answers
  bool logged_in_ = false;
  clock::time_point last_heard_{};
  clock::time_point next_attempt_{};
  milliseconds backoff_;
  uint64_t actions_sent_ = 0;
  // Counted up by interrupt() from any thread; a wait ends when it differs from the count taken
  // as its call began, so an interrupt while nothing waits has no lasting effect.
  std::atomic<uint64_t> interrupts_{0};
  uint64_t start_ = 0;
  std::string last_error_;
  std::optional<std::set<std::string>> offered_;  // ListCommands of this connection
  bool offered_cut_ = false;
};

}  // namespace

std::unique_ptr<dbdriver_t> ami_create_drv(std::string_view name, const ami_timing& timing) {
  return std::make_unique<ami_driver>(name, timing);
}
