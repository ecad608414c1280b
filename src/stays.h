// The stays: each guest's time in the hotel, and in each of its rooms, kept in the states file so
// that a call can be charged to the guest who was in the room when it was made.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class internal_store;

struct stay {
  int64_t id = 0;
  std::string room;      // where the guest is now, or was last
  std::string guest_no;  // G#, empty when none was sent
  std::string name, lang;
  std::time_t checkin = 0, checkout = 0;  // checkout 0: still in
};

// The stays live in the internal store (tables `stays` and `stay_rooms`); this is the one place
// that holds SQL on them. Each call takes the store's lock for its own statements only. A room
// holds at most one current stay.
//
// Failures of the states file (logged as ERROR by the store) give false, 0 or nullopt and are not
// tried again: the stays follow the PBX, never hold it up, and a record's retry would run its
// template once more. A current() that fails therefore reads as an empty room.
class stay_book {
 public:
  explicit stay_book(internal_store& store) : store_(store) {}

  // Creates the tables and indexes where they are missing; the store's open calls it with the
  // store's lock held. False when they can be neither read nor created.
  bool create_tables();

  // The stay in `room` now.
  std::optional<stay> current(std::string_view room);
  // A check-in: the stay's id, 0 on a failure. A current stay in the room is ended first.
  int64_t open(std::string_view room, std::string_view guest_no, std::string_view name,
               std::string_view lang);
  // A check-out of the current stay of `room`; true also when there was none.
  bool close(std::string_view room);
  // The current stay of `from` moves to `to`; a current stay in `to` is ended first. False when
  // `from` has no current stay (nothing changes) or on a failure.
  bool move(std::string_view from, std::string_view to);
  // The current stay of `room` takes the guest's new G#, name and language; false when the room
  // has none or on a failure. An empty G# keeps the one known.
  bool update(std::string_view room, std::string_view guest_no, std::string_view name,
              std::string_view lang);
  // The stay that was in `room` at `when`: the room's time of the stay began at or before `when`
  // and ended after it (or not yet). A call in the second of a move is the new room's.
  std::optional<stay> at(std::string_view room, std::time_t when);
  // Whether a guest left `room` (check-out or move) at or before `when`: the room was known empty
  // then. False also when the states file cannot be read.
  bool left_before(std::string_view room, std::time_t when);
  // The rooms a guest left (check-out or move) at or after `since`, each once.
  std::vector<std::string> rooms_left_since(std::time_t since);

  // The clock the stays are written with; tests set their own.
  void set_clock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  std::time_t now() const { return clock_ ? clock_() : std::time(nullptr); }

  internal_store& store_;
  std::function<std::time_t()> clock_;
};
