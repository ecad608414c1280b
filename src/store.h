// The internal store: the daemon's own SQLite file with the room registry, the call cache and the
// posting journal.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class dbdriver_t;

// The daemon's own SQLite file: the room registry and the call cache. One object per daemon,
// shared by the request worker, the poller and the manager feed; each of them holds the
// database's lock (std::lock_guard on db()) around its statements and the rows it reads.
class internal_store {
 public:
  internal_store();
  ~internal_store();
  internal_store(const internal_store&) = delete;
  internal_store& operator=(const internal_store&) = delete;

  // Opens the store on `statesfile` and creates the tables `rooms`, `cdrcache` and `postings`
  // (the posting journal, journal.h) with their indexes when they are missing. A new file is created readable by its owner only. 0, or -1
  // after logging "Unable to open states file %s" (start-up then ends with status 1), also when
  // the file opens but its tables can be neither read nor created.
  int open(const std::string& statesfile);

  // The store's connection ("sqlite-int"). Users lock it and call reconnect_if_needed() first.
  dbdriver_t& db() { return *db_; }
  const std::string& path() const { return path_; }

  // Registers a room with the current date and time, replacing an earlier row of that room.
  // 0; -1 the store could not be opened; -2 the statement failed (both logged).
  int register_room(std::string_view room);
  // Removes a room from the registry; results as register_room.
  int remove_room(std::string_view room);
  // The registered rooms; empty when there are none or the store cannot be read (logged).
  std::vector<std::string> rooms();

 private:
  int open_locked();
  int statement(const std::string& sql);

  std::unique_ptr<dbdriver_t> db_;
  std::string path_;
};

// A thread's own copy of the room registry (the poller's, the manager feed's). refresh adds
// the rooms registered since the last look; rooms removed by a check-out stay until a restart,
// so that their late calls are still reported.
struct room_list {
  std::vector<std::string> rooms;
  std::set<std::string> known;
  // Adds the rooms the registry gained; returns how many were added.
  size_t refresh(internal_store& store);
  bool contains(std::string_view room) const { return known.count(std::string(room)) != 0; }
};
