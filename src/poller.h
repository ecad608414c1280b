// Background poller: call charges, wake-up results and room states reported to the PMS.
#pragma once

#include <atomic>
#include <set>
#include <string>

#include "list.h"

// Sequence number of the last posting sent (P#); only the poller changes it. Every start of the
// daemon begins again at 0001.
extern std::atomic<unsigned> ps_secno;

// The poller's own copy of the room registry. Rooms checked in after start-up are added at the
// start of each pass; rooms checked out stay until a restart, so their late calls still post.
struct poller_rooms {
  List<std::string> rooms;
  std::set<std::string> known;
  void refresh();
};

// One pass over every room, as the poller makes it every ten seconds: calls (from the call cache
// when the manager is in use, else from services:billcalls), then wake-up results, then room
// states. Does nothing while the PMS link is not active, and stops between steps when it drops.
void poll_pass(poller_rooms& rooms);

// The poller thread: a pass every ten seconds until doexit is set.
void service_background();

// Wakes the poller from its pause so that a stop does not wait out the ten seconds.
void poller_wake();
