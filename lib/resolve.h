// Name lookups with a time bound of their own, so that a resolver that does not answer never
// holds the caller (the daemon's main loop, a connecting thread) past a limit it can name.
#pragma once

#include <netdb.h>

#include <chrono>
#include <functional>
#include <memory>

// The addresses a lookup found; freed with freeaddrinfo.
struct addrinfo_deleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using addrinfo_list = std::unique_ptr<addrinfo, addrinfo_deleter>;

// A blocking lookup with getaddrinfo's contract (tests hand in one of their own).
using lookup_fn = std::function<int(const char* host, const char* service, const addrinfo* hints,
                                    addrinfo** found)>;

// resolve_within's result when the lookup gave no answer within the limit. getaddrinfo's own
// results are 0 or a negative EAI_ code.
inline constexpr int RESOLVE_TIMED_OUT = 1;
// Lookups abandoned and still running at most; beyond it a lookup fails at once with EAI_AGAIN,
// so that a resolver that never answers cannot pile up threads.
inline constexpr int RESOLVE_MAX_PENDING = 8;

// Looks up `host` (and `service`, which may be null) with the flags, family, socket type and
// protocol of `hints`, on a thread of its own, and waits at most `limit` for the answer. 0 with
// the addresses in `found`; getaddrinfo's error code; EAI_AGAIN when RESOLVE_MAX_PENDING lookups
// are still running or no thread could be started; RESOLVE_TIMED_OUT when the limit passed.
// A lookup given up on is abandoned, not stopped: its thread ends when `lookup` returns and
// frees what it found.
int resolve_within(const char* host, const char* service, const addrinfo& hints,
                   std::chrono::milliseconds limit, addrinfo_list& found,
                   const lookup_fn& lookup = ::getaddrinfo);

// Lookups started by resolve_within whose thread has not ended yet.
int resolve_pending();
