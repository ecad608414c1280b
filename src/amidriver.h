// The manager driver: templates that are Asterisk Manager actions rather than SQL.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbdriver.h"


// The driver's own intervals: the pause after a failed connection (doubling up to `longest`,
// during which every statement is answered kDbUnavailable at once), and the silence after which
// a Ping must be answered before the connection is used again.
struct ami_timing {
  std::chrono::milliseconds backoff_first{1000};
  std::chrono::milliseconds backoff_longest{30000};
  std::chrono::milliseconds keepalive{30000};
};

// A new, unconnected manager driver named `name` (cut to 15 characters), with port 5038, a
// 5 s limit on connecting (connect_timeout) and on each answer (read_timeout).
//
// A statement is one or more actions written as headers separated by '|': each "Action:" header
// begins a new action ("Action: DBPut|Family: DND|Key: %exten%|Val: YES"). The actions are sent
// in order, each with an ActionID of the driver's own, and each must be answered
// "Response: Success" before the next one goes; events arriving meanwhile are skipped.
//   query: 0 every action succeeded; -1 the template is no list of actions, or an action was
//          answered otherwise (the actions after it are not sent), with the action and the
//          manager's Message in last_error() and nothing logged, so that the caller names its
//          service in the one line; kDbUnavailable (logged) no connection, the manager did not
//          answer within read_timeout, the connection was lost or a stop interrupted the wait.
//          A statement retried after kDbUnavailable is sent from its first action again.
//   check: logs in, then asks ListCommands once per connection: -1 with the reason when an
//          action is not one the manager offers to this user. Never sends the actions.
//   escape: a value is data. Control characters (CR, LF, ...) are removed, with a WARNING that
//          shows the value escaped, so that no value can begin a header, an action or a line; a
//          '|' in a value stays a '|' inside its header and never splits the action.
// One login per driver, kept open. A connection silent for longer than `timing.keepalive` is
// asked a Ping by needs_connect() and opened again when no answer comes. interrupt() ends a
// waiting call within 100 ms.
std::unique_ptr<dbdriver_t> ami_create_drv(std::string_view name, const ami_timing& timing = {});

