// The internal store: the daemon's own SQLite file with the room registry and the call cache.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

// Opens the store on `statesfile` and creates the tables `rooms` and `cdrcache` (with its index)
// when they are missing. 0, or -1 after logging "Unable to open states file %s" (start-up then
// ends with status 1). The store stays on this file for the rest of the run: its instance
// `sqliteint` keeps the path as its database setting, so other users of the store hold its lock
// and call sqliteint.reconnect_if_needed() before their statements.
int store_init(const std::string& statesfile);

// Registers a room with the current date and time, replacing an earlier row of that room.
// 0; -1 the store could not be opened; -2 the statement failed (both logged).
int store_register_room(std::string_view room);
// Removes a room from the registry; results as store_register_room.
int store_remove_room(std::string_view room);
// The registered rooms; empty when there are none or the store cannot be read (logged).
std::vector<std::string> store_rooms();

// Fills the registry from the `rooms` section of a configuration file: the keys rooms:room1,
// rooms:room2 and so on up to the first missing number, or a directory when rooms:type begins
// with "ldap" (any case). 0 when the registry was loaded as configured, -1 when something
// failed; every failure is logged and start-up goes on.
int load_rooms_conf(const char* filename);

// Registers the values of `attribute` in the first entry that a search of `base` with `scope`
// ("sub...", "base...", "one...", anything else a subtree) and `filter` finds. 0 on success;
// -1 the directory connection cannot be set up, -2 the bind fails, -3 the search fails, -4 no
// entry found, -5 the entry has no value of the attribute, -6 the store could not be opened.
// `user` null binds anonymously; `timeout` 0 sets no time limit.
int load_rooms_ldap(const char* host, int port, int version, int timeout, const char* user,
                    const char* pass, const char* base, const char* scope, const char* filter,
                    const char* attribute);

// A thread's own copy of the room registry (the poller's, the manager thread's). refresh adds
// the rooms registered since the last look; rooms removed by a check-out stay until a restart,
// so that their late calls are still reported.
struct room_list {
  std::vector<std::string> rooms;
  std::set<std::string> known;
  // Adds the rooms the registry gained; returns how many were added.
  size_t refresh();
  bool contains(std::string_view room) const { return known.count(std::string(room)) != 0; }
};
