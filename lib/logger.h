// Leveled log lines to a file (or standard error) and, when asked, to syslog.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Levels, lowest first. A line of level L is written when L + the threshold is at least 5.
enum log_level_t {
  L_DEBUG = 0,
  L_EVENT = 1,
  L_NOTICE = 2,
  L_WARNING = 3,
  L_ERROR = 4,
  L_VERBOSE = 5,
};

// Sets every logger setting at once; `file` null or empty sends lines to standard error.
// Safe to call while other threads log: the change takes effect line by line.
int logger_init(const char* file, int start_level, int do_syslog, int disable_log);

// Writes `text` as it is to the log file, or to standard error when there is none, from a signal
// handler: no lock, no allocation, no formatting, only async-signal-safe calls.
void logger_write_from_signal(const char* text, size_t len);

// Formats and writes one line tagged with the caller's file, line and function.
void write_log(int level, const char* file, int line, const char* function, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Appends `message` to `line` as log lines show it: every control character but TAB as an
// escape (\n, \r, \xNN), so that a value from a peer can neither start a line of its own nor
// reach a terminal as a control sequence. Stops before `line` would pass `limit` bytes.
void append_escaped(std::string& line, std::string_view message, size_t limit);

// The one way the daemon logs: carries the calling file, line and function.
#define LOG(level, ...) write_log((level), __FILE_NAME__, __LINE__, __func__, __VA_ARGS__)
