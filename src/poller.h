// Background poller: call charges, wake-up results and room states reported to the PMS.
#pragma once

#include <atomic>

#include "store.h"

// Sequence number of the last posting sent (P#); only the poller changes it. Every start of the
// daemon begins again at 0001.
extern std::atomic<unsigned> ps_secno;

// One pass over every room, as the poller makes it every ten seconds (the room list first takes in
// the rooms checked in since the last pass): calls (from the call cache
// when the manager is in use, else from services:billcalls), then wake-up results, then room
// states. Does nothing while the PMS link is not active, and stops between steps when it drops.
void poll_pass(room_list& rooms);

// The poller thread: a pass every ten seconds until doexit is set.
void service_background();

// Wakes the poller from its pause so that a stop does not wait out the ten seconds.
void poller_wake();
