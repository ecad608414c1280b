// Manager thread: caches the call records (Cdr events) of guest rooms from the AMI.
#pragma once

#include <memory>
#include <string>

#include "mgr.h"
#include "store.h"

// What the manager thread keeps: its copy of the room registry, its session, its message
// record, and the manager's address as text for log lines.
struct cdrmanager_state {
  room_list rooms;
  mansession mans;
  message m;
  std::string iabuf;
};

// Thread start: reads the room registry, sets up the session and sends the login.
// 0 to go on; -1 when the thread must end (store or manager host unusable), logged.
int cdrmanager_start(cdrmanager_state& st);

// Reads and handles one message: the login answer, a Cdr event to cache, or a lost connection
// (logged in again). 0 to go on; -1 when the thread must end: the connection failed after the
// manager had refused the login.
int cdrmanager_step(cdrmanager_state& st);

// Caches the call of one Cdr event when its Source is a registered guest room. Rooms checked
// in since the list was read are looked up before a call is turned away. Always 0.
int mgr_cache_cdr(const message& m, room_list& rooms);

// The thread body: start, then one message after the other until it must end.
void cdrmanager_thread();
