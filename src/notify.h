// Readiness, reload, stop, status and watchdog reports to systemd (sd_notify).
//
// Under a unit of Type=notify systemd passes NOTIFY_SOCKET (and, with WatchdogSec=, WATCHDOG_USEC
// and perhaps WATCHDOG_PID) in the environment; each function sends one datagram there. Started
// any other way (by hand, another init system, a test) there is no socket and every function
// does nothing, so callers never need to ask where they run. Failures to send are ignored: a
// report must never stop the daemon.
#pragma once

#include <chrono>
#include <string_view>

// READY=1: start-up, or a reload, is complete.
void notify_ready();

// RELOADING=1 with MONOTONIC_USEC: a reload has begun; notify_ready() ends it.
void notify_reloading();

// STOPPING=1: the stop has begun.
void notify_stopping();

// STATUS=text, the line `systemctl status` shows. Control characters become spaces, since a
// newline would end the field and start another assignment.
void notify_status(std::string_view text);

// WATCHDOG=1: the main loop is alive. Call it at least every half of notify_watchdog_interval().
void notify_watchdog();

// The watchdog interval systemd expects pings within, or 0 when no watchdog is set for this
// process (no WATCHDOG_USEC, or a WATCHDOG_PID that names another process).
std::chrono::microseconds notify_watchdog_interval();
