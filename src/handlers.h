// What each PMS request does: registry updates and the administrator's SQL on the PBX database.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "config.h"
#include "fias.h"
#include "journal.h"
#include "store.h"
#include "worker.h"

// A database swap (DS ... DE): while it runs, the rooms that got a GI or GO with SF. One object
// per daemon: the PBX lane applies the records, the main loop ends a swap the PMS left open.
class database_swap {
 public:
  using clock = std::chrono::steady_clock;

  // DS: starts the swap, or starts it again with no rooms seen. True when one was running.
  bool start(clock::time_point now = clock::now());
  // A GI or GO with SF for `room`: counted when a swap runs (which it says), and the swap's time
  // limit counts from now.
  bool saw(std::string_view room, clock::time_point now = clock::now());
  // DE: ends the swap; the rooms it saw, none when no swap was running.
  std::optional<std::set<std::string>> finish();
  // Ends a swap whose last record (DS or a swap record) is `limit` or more before `now`, with a
  // WARNING and no room checked out; true when it did.
  bool expire(clock::duration limit, clock::time_point now = clock::now());

 private:
  std::mutex lock_;
  bool running_ = false;
  clock::time_point last_{};
  std::set<std::string> seen_;
};

// What a handler works with: the settings snapshot taken for this record, the internal store
// and its posting journal, the retries of the record (none: a statement that meets a busy or
// unreachable database is not tried again), and the daemon's database swap (none: swap records
// are applied as outside a swap, DS and DE are ignored with a WARNING).
struct request_context {
  const Settings& settings;
  internal_store& store;
  posting_journal& journal;
  request_retry* retry = nullptr;
  database_swap* swap = nullptr;
};

// Each handler logs what it received, keeps the room registry up to date where the request is
// about occupancy, and runs its service template. A template statement that meets a busy or
// unreachable database is run again, after the context's retry pauses, until it runs or the
// retries give up; the statements of the record that ran already are not run again. The record
// stays with the caller.
// The stays (stays.h) follow GI, GO and GC. A GI or GO with SF (a database swap's record) is
// applied as the room's state: a GI of the guest already in the room (same G# when both have
// one, else the same name) and a GO of an empty room do nothing; a GI of another guest checks
// the one in the room out first.
void do_checkin(const request_context& ctx, fias_packet_t* p);       // GI: register, services:checkin
void do_checkout(const request_context& ctx, fias_packet_t* p);      // GO: remove, services:checkout
// GC without RO: services:guestchange (else services:checkin) with the guest's data, the fields
// the record leaves out taken from the stay. GC with RO: the guest moves from RO to RN:
// services:roommove (else services:checkout for RO and services:checkin for RN), the registry
// and the stay follow.
void do_guest_change(const request_context& ctx, fias_packet_t* p);
// DS starts the swap; DE ends it, and each registered room the swap did not name is checked out
// (services:checkout, registry, stay) with pms:swap_checkout, else logged.
void do_swap_start(const request_context& ctx, fias_packet_t* p);
void do_swap_end(const request_context& ctx, fias_packet_t* p);
// RE: barring (CS), then DND (DN), then the message light (ML)
void do_room_equip(const request_context& ctx, fias_packet_t* p);
void do_wakeup_set(const request_context& ctx, fias_packet_t* p);    // WR: services:wakeup_set
void do_wakeup_clear(const request_context& ctx, fias_packet_t* p);  // WC: services:wakeup_clear
void do_pa(const request_context& ctx, fias_packet_t* p);            // PA: settle a posted call

// Runs services:billok for an answered posting with its room, P#, date and time; the poller runs
// it for an answer that came before the mark of its call.
void run_billok(const request_context& ctx, const posting_ref& posting);
