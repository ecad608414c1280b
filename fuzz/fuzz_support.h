// Shared pieces of the fuzz targets: a quiet process, property checks that stop the run, and a
// stream socket fed with the input.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fdutils.h"
#include "logger.h"

// Stops the run when a property does not hold; libFuzzer keeps the input as a crash, and the
// replay of the kept inputs fails.
[[noreturn]] inline void fuzz_fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}
#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_fail(#cond, __FILE_NAME__, __LINE__))

// Silences the log and the traces that the code under test prints on standard output, once per
// process: millions of runs would otherwise bury the fuzzer's own report.
inline void fuzz_quiet() {
  static const bool done = [] {
    logger_init(nullptr, 0, 0, 1);
    std::fflush(stdout);
    unique_fd devnull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (devnull) ::dup2(devnull.get(), STDOUT_FILENO);
    return true;
  }();
  (void)done;
}

// The reading end of a stream socket that holds `bytes` and then the end of the stream, as a
// peer would leave it after sending them and closing. `sent` is what got into the socket: a
// socket buffer smaller than the input keeps only its front.
struct fed_stream {
  unique_fd reader;
  std::string_view sent;
};

inline fed_stream feed_stream(std::string_view bytes) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    std::perror("socketpair");
    std::abort();
  }
  fed_stream out{unique_fd(sv[0]), {}};
  unique_fd writer(sv[1]);
  ::fcntl(writer.get(), F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(writer.get(), bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  out.sent = bytes.substr(0, sent);
  return out;
}

inline std::string_view as_text(const uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
