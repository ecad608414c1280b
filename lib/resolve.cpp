// Name lookups on a helper thread, waited for within a limit and abandoned after it.
#include "resolve.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

std::atomic<int> pending{0};

// What the caller and the lookup's thread share. The thread keeps it alive, so a caller that
// stopped waiting leaves nothing behind: the thread's end frees the state and the addresses.
struct lookup_state {
  std::mutex lock;
  std::condition_variable answered;
  std::optional<int> status;  // set once the lookup returned
  addrinfo_list found;
};

}  // namespace

int resolve_within(const char* host, const char* service, const addrinfo& hints,
                   std::chrono::milliseconds limit, addrinfo_list& found,
                   const lookup_fn& lookup) {
  found.reset();
  if (pending.fetch_add(1) >= RESOLVE_MAX_PENDING) {
    pending.fetch_sub(1);
    return EAI_AGAIN;
  }
  auto state = std::make_shared<lookup_state>();
  // The thread gets copies: the caller's texts and hints may be gone when it ends.
  addrinfo plain{};
  plain.ai_flags = hints.ai_flags;
  plain.ai_family = hints.ai_family;
  plain.ai_socktype = hints.ai_socktype;
  plain.ai_protocol = hints.ai_protocol;
  std::optional<std::string> host_copy, service_copy;
  if (host) host_copy = host;
  if (service) service_copy = service;
  try {
    std::thread([state, host_copy, service_copy, plain, lookup] {
      addrinfo* list = nullptr;
      const int rc = lookup(host_copy ? host_copy->c_str() : nullptr,
                            service_copy ? service_copy->c_str() : nullptr, &plain, &list);
      addrinfo_list owned(list);
      {
        std::lock_guard guard(state->lock);
        state->status = rc;
        state->found = std::move(owned);
      }
      state->answered.notify_all();
      pending.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    pending.fetch_sub(1);
    return EAI_AGAIN;
  }
  std::unique_lock guard(state->lock);
  if (!state->answered.wait_for(guard, limit, [&] { return state->status.has_value(); }))
    return RESOLVE_TIMED_OUT;
  found = std::move(state->found);
  return *state->status;
}

int resolve_pending() { return pending.load(); }
