// A test Asterisk manager: listens on 127.0.0.1, answers the Login action, pushes events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fdutils.h"

namespace testami {

using header_list = std::vector<std::pair<std::string, std::string>>;

// The headers of one Cdr event, with the values of a plausible answered call.
struct cdr_event {
  std::string account_code;
  std::string source = "101";
  std::string destination = "0049301234567";
  std::string destination_context = "from-rooms";
  std::string caller_id = "\"Room 101\" <101>";
  std::string channel = "SIP/101-00000001";
  std::string destination_channel = "SIP/trunk-00000002";
  std::string last_application = "Dial";
  std::string last_data = "SIP/trunk/0049301234567,60";
  std::string start_time = "2024-03-05 14:07:09";
  std::string answer_time = "2024-03-05 14:07:15";
  std::string end_time = "2024-03-05 14:09:15";
  std::string duration = "126";
  std::string billable_seconds = "120";
  std::string disposition = "ANSWERED";
  std::string ama_flags = "DOCUMENTATION";
  std::string unique_id = "1709647629.1";
  std::string user_field;
  header_list extra;  // further headers (From, To, Cost, CallClass, FaxData ...), sent last
};

// The Cdr event of an answered call of room 101 exactly as Asterisk 22.10 with cdr_manager sent it.
cdr_event asterisk22_cdr();

// The wire text of an event: "Event: <name>", the headers, an empty line; every line CR LF.
std::string event_text(const std::string& name, const header_list& headers);
// The wire text of a Cdr event, with the Privilege header Asterisk sends.
std::string cdr_event_text(const cdr_event& cdr);

// One manager on an ephemeral port (or a given one, to stand in for a manager that restarts),
// behaving as Asterisk 22 does. Every accepted connection gets the banner
// "Asterisk Call Manager/11.0.0" (no empty line after it); the newest connection is the current
// one, to which events go, and an older one is closed when a new one arrives. A Login action is
// answered with success when its Username and Secret match; else, after a delay (1 s by default,
// as Asterisk sleeps), with "Response: Error" / "Message: Authentication failed", after which the
// connection is closed (unless set_hangup_on_failed_login(false)); nothing else the client sends
// is read meanwhile. A Ping action is answered with "Response: Success" / "Ping: Pong" (with the
// ActionID it carried) unless set_answer_ping(false).
//
// The manager's other actions, answered as Asterisk answers them and with the ActionID they
// carried: DBPut, DBGet, DBDel and DBDelTree on an in-memory AstDB ("Family/Key" → value), Setvar
// (the variable kept by name, without a channel), ListCommands (one "Name: Synopsis.  (Priv:
// class)" line per action the user may send), Logoff. An action the server does not know gets
// "Invalid/unknown command", one outside the allowed set (set_allowed_actions) "Permission
// denied". set_error_answer makes an action fail with a Message of the test's choosing;
// set_answer_actions(false) leaves every action but Login and Ping unanswered, as a hung manager
// does. Every byte received, on every connection, is kept (received()).
class ami_server {
 public:
  ami_server(std::string user, std::string secret, uint16_t port = 0);
  ~ami_server();
  ami_server(const ami_server&) = delete;
  ami_server& operator=(const ami_server&) = delete;

  uint16_t port() const { return port_; }

  void set_credentials(std::string user, std::string secret);
  void set_hangup_on_failed_login(bool hangup);
  void set_failed_login_delay(std::chrono::milliseconds delay);
  // Off: a Ping gets no answer, as from a manager that hangs.
  void set_answer_ping(bool answer);
  // On: every connection is closed as soon as it is accepted, before the banner, as a manager
  // port does while Asterisk restarts (or a proxy whose PBX is down). Connections are counted.
  void set_accept_and_close(bool on);

  // The actions a user may send, in any case; the default is every action the server knows.
  void set_allowed_actions(std::vector<std::string> names);
  // `action` (any case) is answered "Response: Error" with `message`; an empty message ends that.
  void set_error_answer(const std::string& action, const std::string& message);
  void set_answer_actions(bool answer);
  // On: an event (VarSet) goes out before each answer, as on a busy manager.
  void set_event_before_answers(bool on);

  // The AstDB ("Family/Key" → value) and the variables set, as the actions left them.
  std::map<std::string, std::string> astdb() const;
  std::map<std::string, std::string> variables() const;
  // Every byte received so far, on every connection, in order.
  std::string received() const;

  int connections() const;  // connections accepted so far
  // When each connection was accepted, oldest first: the pace of a client's reconnects.
  std::vector<std::chrono::steady_clock::time_point> connection_times() const;
  int logins() const;                              // Login actions received, accepted or not
  int accepted_logins() const;                     // Login actions answered with success
  std::vector<std::string> login_texts() const;    // each Login action as received, CR LF and all
  std::vector<std::string> other_actions() const;  // any other action as received
  int actions(const std::string& name) const;      // actions received named `name` (any case)

  // Wait until the count reaches `n`; false when `timeout` passes first.
  bool wait_for_connections(int n, std::chrono::milliseconds timeout) const;
  bool wait_for_logins(int n, std::chrono::milliseconds timeout) const;
  bool wait_for_actions(const std::string& name, int n, std::chrono::milliseconds timeout) const;
  bool wait_for_accepted_logins(int n, std::chrono::milliseconds timeout) const;
  // Waits until the current connection was closed by the client (or dropped).
  bool wait_for_disconnect(std::chrono::milliseconds timeout) const;

  // Raw bytes to the current connection; false when there is none or the send fails.
  bool send(const std::string& bytes);
  bool send_event(const std::string& name, const header_list& headers);
  bool send_cdr(const cdr_event& cdr);

  // Closes the current connection (the client reads the end of the stream).
  void drop();

 private:
  void run();
  void accept_one();
  void read_client(int fd);
  void parse_actions_locked();
  void handle_action_locked(const std::string& text);
  void refuse_login_locked();
  std::string answer_locked(const std::string& text);
  int actions_locked(const std::string& name) const;
  bool send_locked(const std::string& bytes);
  void close_client_locked();
  void wake() const;
  bool wait_for(std::chrono::milliseconds timeout, const std::function<bool()>& done) const;

  unique_fd listener_;
  unique_fd wake_;  // eventfd that ends run()
  uint16_t port_ = 0;

  mutable std::mutex lock_;
  bool stopping_ = false;
  mutable std::condition_variable changed_;
  std::string user_;
  std::string secret_;
  bool hangup_on_failed_login_ = true;
  std::chrono::milliseconds failed_login_delay_{1000};
  bool answer_ping_ = true;
  bool accept_and_close_ = false;
  unique_fd client_;
  std::string pending_;  // bytes of the current connection not yet parsed into an action
  // When the refusal of the current connection's login is due; the connection is not read until.
  std::optional<std::chrono::steady_clock::time_point> refusal_due_;
  std::string refused_login_id_;  // the ActionID of the login whose refusal is due
  std::vector<std::chrono::steady_clock::time_point> connection_times_;
  int accepted_ = 0;
  std::vector<std::string> actions_;  // every action received, in order
  std::string received_;
  std::optional<std::vector<std::string>> allowed_;
  std::map<std::string, std::string> error_answers_;  // by action name in lower case
  bool answer_actions_ = true;
  bool event_before_answers_ = false;
  std::map<std::string, std::string> astdb_;
  std::map<std::string, std::string> variables_;

  std::thread thread_;
};

}  // namespace testami
