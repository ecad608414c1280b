// A test Asterisk manager, written from the AMI protocol: banner, Login action, events.
#include "ami_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace testami {

namespace {

constexpr const char* kBanner = "Asterisk Call Manager/11.0.0\r\n";
// The answer to a Login, with the ActionID it carried (none when it carried none).
std::string login_answer(bool accepted, const std::string& id) {
  return std::string(accepted ? "Response: Success\r\n" : "Response: Error\r\n") +
         (id.empty() ? "" : "ActionID: " + id + "\r\n") + "Message: Authentication " +
         (accepted ? "accepted" : "failed") + "\r\n\r\n";
}

// The actions the server answers beyond Login and Ping, with the synopsis and the class
// ListCommands gives for each, as Asterisk 22 lists them.
struct known_action {
  const char* name;
  const char* synopsis;
  const char* privilege;
};
constexpr known_action kKnownActions[] = {
    {"Login", "Login Manager.", "<none>"},
    {"Logoff", "Logoff Manager.", "<none>"},
    {"Ping", "Keepalive command.", "<none>"},
    {"ListCommands", "List available manager commands.", "<none>"},
    {"DBGet", "Get DB Entry.", "system,reporting,all"},
    {"DBPut", "Put DB entry.", "system,all"},
    {"DBDel", "Delete DB entry.", "system,all"},
    {"DBDelTree", "Delete DB Tree.", "system,all"},
    {"Setvar", "Sets a channel variable or function value.", "call,all"},
    {"Originate", "Originate a call.", "originate,all"},
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("ami_server: " + what + ": " + std::strerror(errno));
}

// The value of header `name` (compared without regard to case) in an action's text; empty when
// the action has no such header.
std::string header_value(const std::string& action, const std::string& name) {
  std::size_t pos = 0;
  while (pos < action.size()) {
    std::size_t end = action.find('\n', pos);
    if (end == std::string::npos) end = action.size();
    std::string line = action.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      std::size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      return line.substr(value);
    }
    pos = end + 1;
  }
  return {};
}

bool is_action(const std::string& text, const std::string& name) {
  return strcasecmp(header_value(text, "Action").c_str(), name.c_str()) == 0;
}

// Asterisk's answer to a Ping: the ActionID it carried, then Pong and the server's clock.
std::string pong(const std::string& action) {
  std::string text = "Response: Success\r\n";
  if (const std::string id = header_value(action, "ActionID"); !id.empty())
    text += "ActionID: " + id + "\r\n";
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%lld.%06lld", static_cast<long long>(us / 1000000),
                static_cast<long long>(us % 1000000));
  return text + "Ping: Pong\r\nTimestamp: " + stamp + "\r\n\r\n";
}

}  // namespace

cdr_event asterisk22_cdr() {
  cdr_event cdr;
  cdr.source = "101";
  cdr.destination = "0049301234";
  cdr.destination_context = "from-rooms";
  cdr.caller_id = "\"Room 101\" <101>";
  cdr.channel = "Local/101@phone-sim-00000000;1";
  cdr.destination_channel = "Local/0049301234@pstn-sim-00000001;1";
  cdr.last_application = "Dial";
  cdr.last_data = "Local/0049301234@pstn-sim/n,20";
  cdr.start_time = "2026-12-08 20:14:55";
  cdr.answer_time = "2026-12-08 20:14:55";
  cdr.end_time = "2026-12-08 20:15:01";
  cdr.duration = "5";
  cdr.billable_seconds = "5";
  cdr.disposition = "ANSWERED";
  cdr.ama_flags = "DOCUMENTATION";
  cdr.unique_id = "1796760895.0";
  return cdr;
}

std::string event_text(const std::string& name, const header_list& headers) {
  std::string text = "Event: " + name + "\r\n";
  for (const auto& [key, value] : headers) text += key + ": " + value + "\r\n";
  return text + "\r\n";
}

std::string cdr_event_text(const cdr_event& cdr) {
  header_list headers = {
      {"Privilege", "cdr,all"},
      {"AccountCode", cdr.account_code},
      {"Source", cdr.source},
      {"Destination", cdr.destination},
      {"DestinationContext", cdr.destination_context},
      {"CallerID", cdr.caller_id},
      {"Channel", cdr.channel},
      {"DestinationChannel", cdr.destination_channel},
      {"LastApplication", cdr.last_application},
      {"LastData", cdr.last_data},
      {"StartTime", cdr.start_time},
      {"AnswerTime", cdr.answer_time},
      {"EndTime", cdr.end_time},
      {"Duration", cdr.duration},
      {"BillableSeconds", cdr.billable_seconds},
      {"Disposition", cdr.disposition},
      {"AMAFlags", cdr.ama_flags},
      {"UniqueID", cdr.unique_id},
      {"UserField", cdr.user_field},
  };
  headers.insert(headers.end(), cdr.extra.begin(), cdr.extra.end());
  return event_text("Cdr", headers);
}

ami_server::ami_server(std::string user, std::string secret, uint16_t port)
    : user_(std::move(user)), secret_(std::move(secret)) {
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_) fail("socket");
  const int one = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) fail("bind");
  if (::listen(listener_.get(), 8) < 0) fail("listen");
  socklen_t len = sizeof addr;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) < 0)
    fail("getsockname");
  port_ = ntohs(addr.sin_port);
  wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_) fail("eventfd");
  thread_ = std::thread([this] { run(); });
}

ami_server::~ami_server() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake();
  thread_.join();
}

void ami_server::set_credentials(std::string user, std::string secret) {
  std::lock_guard guard(lock_);
  user_ = std::move(user);
  secret_ = std::move(secret);
}

void ami_server::set_hangup_on_failed_login(bool hangup) {
  std::lock_guard guard(lock_);
  hangup_on_failed_login_ = hangup;
}

void ami_server::set_failed_login_delay(std::chrono::milliseconds delay) {
  std::lock_guard guard(lock_);
  failed_login_delay_ = delay;
}

void ami_server::set_answer_ping(bool answer) {
  std::lock_guard guard(lock_);
  answer_ping_ = answer;
}

void ami_server::set_accept_and_close(bool on) {
  std::lock_guard guard(lock_);
  accept_and_close_ = on;
}

void ami_server::set_allowed_actions(std::vector<std::string> names) {
  std::lock_guard guard(lock_);
  allowed_ = std::move(names);
}

void ami_server::set_error_answer(const std::string& action, const std::string& message) {
  std::lock_guard guard(lock_);
  if (message.empty())
    error_answers_.erase(lower(action));
  else
    error_answers_[lower(action)] = message;
}

void ami_server::set_answer_actions(bool answer) {
  std::lock_guard guard(lock_);
  answer_actions_ = answer;
}

void ami_server::set_event_before_answers(bool on) {
  std::lock_guard guard(lock_);
  event_before_answers_ = on;
}

std::map<std::string, std::string> ami_server::astdb() const {
  std::lock_guard guard(lock_);
  return astdb_;
}

std::map<std::string, std::string> ami_server::variables() const {
  std::lock_guard guard(lock_);
  return variables_;
}

std::string ami_server::received() const {
  std::lock_guard guard(lock_);
  return received_;
}

int ami_server::connections() const {
  std::lock_guard guard(lock_);
  return static_cast<int>(connection_times_.size());
}

std::vector<std::chrono::steady_clock::time_point> ami_server::connection_times() const {
  std::lock_guard guard(lock_);
  return connection_times_;
}

int ami_server::actions_locked(const std::string& name) const {
  return static_cast<int>(std::count_if(actions_.begin(), actions_.end(),
                                        [&](const std::string& a) { return is_action(a, name); }));
}

int ami_server::actions(const std::string& name) const {
  std::lock_guard guard(lock_);
  return actions_locked(name);
}

int ami_server::logins() const { return actions("Login"); }

int ami_server::accepted_logins() const {
  std::lock_guard guard(lock_);
  return accepted_;
}

std::vector<std::string> ami_server::login_texts() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> texts;
  std::copy_if(actions_.begin(), actions_.end(), std::back_inserter(texts),
               [](const std::string& a) { return is_action(a, "Login"); });
  return texts;
}

std::vector<std::string> ami_server::other_actions() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> texts;
  std::copy_if(actions_.begin(), actions_.end(), std::back_inserter(texts),
               [](const std::string& a) { return !is_action(a, "Login"); });
  return texts;
}

bool ami_server::wait_for(std::chrono::milliseconds timeout,
                          const std::function<bool()>& done) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, timeout, done);
}

bool ami_server::wait_for_connections(int n, std::chrono::milliseconds timeout) const {
  return wait_for(timeout, [&] { return static_cast<int>(connection_times_.size()) >= n; });
}

bool ami_server::wait_for_logins(int n, std::chrono::milliseconds timeout) const {
  return wait_for_actions("Login", n, timeout);
}

bool ami_server::wait_for_actions(const std::string& name, int n,
                                  std::chrono::milliseconds timeout) const {
  return wait_for(timeout, [&] { return actions_locked(name) >= n; });
}

bool ami_server::wait_for_accepted_logins(int n, std::chrono::milliseconds timeout) const {
  return wait_for(timeout, [&] { return accepted_ >= n; });
}

bool ami_server::wait_for_disconnect(std::chrono::milliseconds timeout) const {
  return wait_for(timeout, [&] { return !client_; });
}

bool ami_server::send(const std::string& bytes) {
  std::lock_guard guard(lock_);
  return send_locked(bytes);
}

bool ami_server::send_event(const std::string& name, const header_list& headers) {
  return send(event_text(name, headers));
}

bool ami_server::send_cdr(const cdr_event& cdr) { return send(cdr_event_text(cdr)); }

void ami_server::drop() {
  {
    std::lock_guard guard(lock_);
    close_client_locked();
  }
  wake();
}

void ami_server::wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

bool ami_server::send_locked(const std::string& bytes) {
  if (!client_) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(client_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ami_server::close_client_locked() {
  if (!client_) return;
  ::shutdown(client_.get(), SHUT_RDWR);
  client_.reset();
  pending_.clear();
  refusal_due_.reset();
  changed_.notify_all();
}

// The loop of the server thread. It polls a snapshot of the current connection; all I/O on that
// connection happens under the lock after checking that it is still the current one, because
// the test thread may drop it meanwhile. A connection whose login refusal is pending is not read,
// and the poll ends when the refusal is due.
void ami_server::run() {
  for (;;) {
    int client;
    int wait_ms = -1;
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
      if (refusal_due_ && std::chrono::steady_clock::now() >= *refusal_due_) refuse_login_locked();
      client = refusal_due_ ? -1 : client_.get();
      if (refusal_due_)
        wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                       *refusal_due_ - std::chrono::steady_clock::now())
                                       .count());
    }
    pollfd fds[3] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}, {client, POLLIN, 0}};
    if (::poll(fds, client >= 0 ? 3 : 2, wait_ms) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    if (fds[1].revents) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    }
    if (fds[0].revents & POLLIN) accept_one();
    if (client >= 0 && fds[2].revents) read_client(client);
  }
}

void ami_server::accept_one() {
  unique_fd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!conn) return;
  std::lock_guard guard(lock_);
  connection_times_.push_back(std::chrono::steady_clock::now());
  changed_.notify_all();
  if (accept_and_close_) return;
  close_client_locked();
  client_ = std::move(conn);
  send_locked(kBanner);
}

void ami_server::read_client(int fd) {
  std::lock_guard guard(lock_);
  if (client_.get() != fd) return;
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    close_client_locked();
    return;
  }
  pending_.append(buf, static_cast<std::size_t>(n));
  received_.append(buf, static_cast<std::size_t>(n));
  parse_actions_locked();
}

// Handles the complete actions among the bytes received. An action is its lines up to an empty
// line; lines end at LF, with or without a CR. A refused login stops the parsing until answered.
void ami_server::parse_actions_locked() {
  std::size_t pos = 0;
  while (client_ && !refusal_due_) {
    const std::size_t lf = pending_.find('\n', pos);
    if (lf == std::string::npos) break;
    const bool empty = lf == pos || (lf == pos + 1 && pending_[pos] == '\r');
    if (!empty) {
      pos = lf + 1;
      continue;
    }
    const std::string action = pending_.substr(0, lf + 1);
    pending_.erase(0, lf + 1);
    pos = 0;
    handle_action_locked(action);
  }
}

void ami_server::handle_action_locked(const std::string& text) {
  actions_.push_back(text);
  changed_.notify_all();
  if (is_action(text, "Ping")) {
    if (answer_ping_) send_locked(pong(text));
    return;
  }
  if (!is_action(text, "Login")) {
    if (!answer_actions_) return;
    if (event_before_answers_)
      send_locked(event_text("VarSet", {{"Privilege", "dialplan,all"},
                                        {"Channel", "PJSIP/101-00000001"},
                                        {"Variable", "RINGTIME"},
                                        {"Value", "4"}}));
    const std::string answer = answer_locked(text);
    send_locked(answer);
    if (answer.starts_with("Response: Goodbye")) close_client_locked();
    return;
  }
  if (header_value(text, "Username") == user_ && header_value(text, "Secret") == secret_) {
    ++accepted_;
    send_locked(login_answer(true, header_value(text, "ActionID")));
    return;
  }
  refusal_due_ = std::chrono::steady_clock::now() + failed_login_delay_;
  refused_login_id_ = header_value(text, "ActionID");
}

// The answer to an action other than Login and Ping, with the ActionID it carried.
std::string ami_server::answer_locked(const std::string& text) {
  const std::string action = header_value(text, "Action");
  const std::string id = header_value(text, "ActionID");
  auto reply = [&](const std::string& response, const std::string& lines) {
    return "Response: " + response + "\r\n" + (id.empty() ? "" : "ActionID: " + id + "\r\n") +
           lines + "\r\n";
  };
  auto error = [&](const std::string& message) { return reply("Error", "Message: " + message + "\r\n"); };
  auto success = [&](const std::string& message) {
    return reply("Success", "Message: " + message + "\r\n");
  };
  const known_action* known = nullptr;
  for (const known_action& k : kKnownActions)
    if (strcasecmp(k.name, action.c_str()) == 0) known = &k;
  if (!known)
    return error("Invalid/unknown command: " + action +
                 ". Use Action: ListCommands to show available commands.");
  auto allowed = [&](const char* name) {
    return !allowed_ || std::any_of(allowed_->begin(), allowed_->end(), [&](const std::string& a) {
      return strcasecmp(a.c_str(), name) == 0;
    });
  };
  if (!allowed(known->name)) return error("Permission denied");
  if (auto failing = error_answers_.find(lower(action)); failing != error_answers_.end())
    return error(failing->second);

  const std::string name = known->name;
  const std::string family = header_value(text, "Family"), key = header_value(text, "Key");
  const std::string entry = family + "/" + key;
  if (name == "Logoff") return reply("Goodbye", "Message: Thanks for all the fish.\r\n");
  if (name == "ListCommands") {
    std::string lines;
    for (const known_action& k : kKnownActions)
      if (allowed(k.name))
        lines += std::string(k.name) + ": " + k.synopsis + "  (Priv: " + k.privilege + ")\r\n";
    return reply("Success", lines);
  }
  if (name == "DBPut") {
    if (family.empty() || key.empty()) return error(family.empty() ? "No family specified." : "No key specified.");
    astdb_[entry] = header_value(text, "Val");
    changed_.notify_all();
    return success("Updated database successfully");
  }
  if (name == "DBGet") {
    auto found = astdb_.find(entry);
    if (found == astdb_.end()) return error("Database entry not found");
    header_list values = {{"Family", family}, {"Key", key}, {"Val", found->second}};
    if (!id.empty()) values.insert(values.begin(), {"ActionID", id});
    return success("Result will follow") + event_text("DBGetResponse", values) +
           event_text("DBGetComplete", {{"ActionID", id}, {"EventList", "Complete"}});
  }
  if (name == "DBDel") {
    if (astdb_.erase(entry) == 0) return error("Database entry not found");
    changed_.notify_all();
    return success("Key deleted successfully");
  }
  if (name == "DBDelTree") {
    const std::string prefix = key.empty() ? family + "/" : entry;
    const auto erased = std::erase_if(astdb_, [&](const auto& item) {
      return item.first.starts_with(prefix) &&
             (key.empty() || item.first.size() == prefix.size() || item.first[prefix.size()] == '/');
    });
    if (erased == 0) return error("Database entry not found");
    changed_.notify_all();
    return success("Key tree deleted successfully");
  }
  if (name == "Setvar") {
    const std::string variable = header_value(text, "Variable");
    if (variable.empty()) return error("No variable specified");
    variables_[variable] = header_value(text, "Value");
    changed_.notify_all();
    return success("Variable Set");
  }
  return error("Originate is not answered by this server");
}

void ami_server::refuse_login_locked() {
  refusal_due_.reset();
  send_locked(login_answer(false, refused_login_id_));
  if (hangup_on_failed_login_)
    close_client_locked();
  else
    parse_actions_locked();
}

}  // namespace testami
