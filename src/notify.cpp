// Readiness, reload, stop, status and watchdog reports to systemd (sd_notify).
#include "notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace {

// Sends one report; sd_notify itself does nothing when NOTIFY_SOCKET is unset. The environment
// is kept (unset_environment 0), so that every later report still finds the socket.
void send(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace

void notify_ready() { send("READY=1"); }

void notify_reloading() {
  // MONOTONIC_USEC lets systemd tell this reload from an earlier one (Type=notify-reload needs
  // it; older systemd ignores it).
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void notify_stopping() { send("STOPPING=1"); }

void notify_status(std::string_view text) {
  std::string state = "STATUS=";
  for (char c : text) state += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  send(state);
}

void notify_watchdog() { send("WATCHDOG=1"); }

std::chrono::microseconds notify_watchdog_interval() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec);
}
