// Client session for the Asterisk Manager Interface: connect, log in, read messages line by line.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
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
  unique_fd fd;       // the socket; a connection attempt that finds it unusable replaces it
  std::array<char, inbuf_max + 1> inbuf{};  // undelivered bytes, always followed by a NUL
  int inlen = 0;                            // bytes in inbuf, 0 to inbuf_max
  // Set while the rest of an over-long line is being thrown away, so that its tail is not
  // taken for a line of its own.
  bool discarding = false;
  // Login state, kept by the session's user: 0 while the answer to the login is awaited,
  // 1 logged in, negative when the manager refused the login.
  int connected = 0;
  // When set, a wait for input that a signal interrupts ends the read with -1.
  std::atomic<int> dead{0};
  std::string user;
  std::string pass;
};

// One manager message: its lines in arrival order, without line ends.
struct message {
  static constexpr int max_headers = 255;  // lines kept; row 255 takes the overflow
  static constexpr std::size_t max_line = 1023;

  int hdrcount = 0;  // lines held; row hdrcount is the one being filled
  std::array<std::string, max_headers + 1> headers;
  int in_command = 0;  // 1 while inside command output, where empty lines do not end the message
  int dropped = 0;     // lines past the 255th, not kept

  // Forgets the previous message. Only the rows used are emptied (their storage is kept), so a
  // reader that clears before every message pays for the lines it saw, not for 256 rows.
  void clear();
};

// Resolves `host` (first IPv4 address), makes the socket and keeps copies of the credentials;
// does not connect. 0, or -1 when the host cannot be resolved.
int mgr_init(mansession& s, const char* host, uint16_t port, const char* user, const char* passwd);

// One connection attempt of at most a second. The connected socket, or -1 with errno set; the
// socket is replaced when the attempt shows it cannot be used again.
int connect_nonb(mansession& s);

// Connects the session; the socket, or -1. Bytes left over from an earlier connection are dropped.
int mgr_connect(mansession& s);

// Sends all `len` bytes, waiting at most `timeoutms` each time the socket is full.
// 0 when everything went out, -1 otherwise.
int __mgr_write(int fd, const char* bytes, std::size_t len, int timeoutms);

// Sends the non-empty rows of `m`, each ended by CR LF, then an empty line. Always 0: a failed
// write shows up as a failed read later.
int mgr_write(mansession& s, const message& m);

// Formats one more line into `m` (at most 1023 characters). 0, or 1 when 255 lines are held.
int mgr_add_header(message& m, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Connects, retrying every second until it succeeds, and sends the Login action asking for call
// events. 0 once the login was sent; 1 at once when the manager has refused a login before.
int mgr_login(mansession& s);

// The value of the first line of `m` that begins with `var`, ": " (name compared without regard
// to case); an empty view when there is none. The view points into `m`.
std::string_view mgr_get_header(const message& m, std::string_view var);

// Delivers the next received line into `output`, without its LF and a CR before it.
// 1 a line was delivered; 0 bytes arrived but no line is complete yet; -1 connection ended.
int mgr_get_input(mansession& s, std::string& output);

// Reads lines into `m` until a message is complete; the caller clears `m` first.
// 1 a message was read; -1 the connection ended or failed.
int mgr_read(mansession& s, message& m);

// `ia` in dotted decimal form in `buf`; null when it does not fit in `bufsiz` bytes.
char* mgr_inet_ntoa(char* buf, std::size_t bufsiz, in_addr ia);
