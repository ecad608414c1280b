// Client session for the Asterisk Manager Interface: connect, log in, read messages line by line.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fdutils.h"

// Printed in place of the manager secret wherever a log line would show it.
inline constexpr const char* mgr_secret_mask = "********";

// One manager connection. It belongs to the one thread that reads from it.
struct mansession {
  static constexpr int inbuf_max = 1023;  // bytes buffered while waiting for a line end

  sockaddr_in sin{};  // the manager's address, port in network byte order
  unique_fd fd;       // the socket; every login starts on a fresh one
  std::array<char, inbuf_max + 1> inbuf{};  // undelivered bytes, always followed by a NUL
  int inlen = 0;                            // bytes in inbuf, 0 to inbuf_max
  // Set while the rest of an over-long line is being thrown away, so that its tail is not
  // taken for a line of its own.
  bool discarding = false;
  // Login state, kept by the session's user: 0 while the answer to the login is awaited,
  // 1 logged in, negative when the manager refused the login.
  int connected = 0;
  std::string user;
  std::string pass;
};

// One manager message: its lines in arrival order, without line ends.
struct message {
  static constexpr int max_headers = 255;  // lines kept; row 255 takes the overflow
  static constexpr std::size_t max_line = 1023;

  int hdrcount = 0;  // lines held; row hdrcount is the one being filled
  std::array<std::string, max_headers + 1> headers;
  // 1 while inside command output (the message began with "Response: Follows"), where empty lines
  // do not end the message.
  int in_command = 0;
  int dropped = 0;  // lines past the 255th, not kept

  // Forgets the previous message. Only the rows used are emptied (their storage is kept), so a
  // reader that clears before every message pays for the lines it saw, not for 256 rows.
  void clear();
};

// Resolves `host` (first IPv4 address; the lookup gives up after 3 s), makes the socket and keeps copies of the credentials;
// does not connect. 0, or -1 when the host cannot be resolved.
int mgr_init(mansession& s, const char* host, uint16_t port, const char* user, const char* passwd);

// One connection attempt of at most a second. The connected socket, or -1 with errno set.
int connect_nonb(mansession& s);

// Connects the session; the socket, or -1. Bytes left over from an earlier connection are dropped.
int mgr_connect(mansession& s);

// Sends all `len` bytes, waiting at most `timeoutms` each time the socket is full.
// 0 when everything went out, -1 otherwise.
int mgr_write_all(int fd, const char* bytes, std::size_t len, int timeoutms);

// Sends the non-empty rows of `m`, each ended by CR LF, then an empty line, waiting at most
// 100 ms each time the socket is full. 0 when everything went out, -1 otherwise.
int mgr_write(mansession& s, const message& m);

// Formats one more line into `m` (at most 1023 characters). 0, or 1 when 255 lines are held.
int mgr_add_header(message& m, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// One connection attempt on a fresh socket, of at most a second, and when it connects the Login
// action asking for call events. Never sleeps and never retries: the caller paces its attempts.
// The connected socket gets TCP keepalive (probes after 30 s of silence, every 10 s, the
// connection failing after 3 unanswered ones) and a 60 s limit on unacknowledged data, so a
// manager that vanished without closing is noticed within about a minute.
//   0  the Login action was sent; its answer (Message: Authentication accepted/failed) comes
//      with the next messages, and s.connected is for the caller to keep;
//  -1  no connection, logged as
//      "manager@<address>: Connect failed, Retrying (1) <reason> [<errno>]",
//      or the Login action could not be sent (logged too);
//   1  at once, without connecting, when the manager has refused a login before (s.connected < 0).
int mgr_login(mansession& s);

// Sends "Action: Ping", which a manager answers with "Response: Success" and "Ping: Pong"; the
// caller's way to learn that a quiet connection still works. 0 sent, -1 it could not be sent.
int mgr_ping(mansession& s);

// The value of the first line of `m` that begins with `var`, ": " (name compared without regard
// to case); an empty view when there is none. The view points into `m`.
std::string_view mgr_get_header(const message& m, std::string_view var);

// Reads lines into `m` until a message is complete: its lines up to an empty line. A line ends at
// LF, without a CR before it; one longer than the session's buffer is dropped whole. A message
// whose first line is exactly "Response: Follows" is command output, where empty lines do not end
// it; a line that is exactly "--END COMMAND--" closes the command output, and 255 lines end it
// too. No header value can change how messages are split. NUL bytes are dropped as they arrive,
// so a value keeps the text around them.
//   1  a message is in `m`; clear `m` before reading the next one;
//   0  `timeout_ms` passed without a complete message. What was read so far stays in `s` (an
//      unfinished line) and in `m` (finished lines, command-output state): call again with the
//      same `m`, NOT cleared, and the message continues where it stopped;
//  -1  the connection ended or failed (what `m` holds is then incomplete).
// A negative `timeout_ms` (the default) waits without limit, so 0 never comes; 0 takes one
// look at what has arrived without waiting.
// A signal does not end the wait early.
int mgr_read(mansession& s, message& m, int timeout_ms = -1);

// `ia` in dotted decimal form in `buf`; null when it does not fit in `bufsiz` bytes.
char* mgr_inet_ntoa(char* buf, std::size_t bufsiz, in_addr ia);
