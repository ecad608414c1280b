// What each PMS request does: registry updates and the administrator's SQL on the PBX database.
#pragma once

#include "config.h"
#include "fias.h"
#include "journal.h"
#include "store.h"
#include "worker.h"

// What a handler works with: the settings snapshot taken for this record, the internal store
// and its posting journal, the retries of the record (none: a statement that meets a busy or
// unreachable database is not tried again), and where the settings in force are published (none:
// a retry runs on the snapshot too). A retried statement takes the template and the driver of
// the snapshot in force at each attempt, so that a reload that mends a database section reaches
// a request already waiting for it.
struct request_context {
  const Settings& settings;
  internal_store& store;
  posting_journal& journal;
  request_retry* retry = nullptr;
  const settings_store* live = nullptr;
};

// Each handler logs what it received, keeps the room registry up to date where the request is
// about occupancy, and runs its service template. A template statement that meets a busy or
// unreachable database is run again, after the context's retry pauses, until it runs or the
// retries give up; the statements of the record that ran already are not run again. The record
// stays with the caller.
void do_checkin(const request_context& ctx, fias_packet_t* p);       // GI: register, services:checkin
void do_checkout(const request_context& ctx, fias_packet_t* p);      // GO: remove, services:checkout
void do_room_equip(const request_context& ctx, fias_packet_t* p);    // RE: barring (CS), then DND (DN)
void do_wakeup_set(const request_context& ctx, fias_packet_t* p);    // WR: services:wakeup_set
void do_wakeup_clear(const request_context& ctx, fias_packet_t* p);  // WC: services:wakeup_clear
void do_pa(const request_context& ctx, fias_packet_t* p);            // PA: settle a posted call

// Runs services:billok for an answered posting with its room, P#, date and time; the poller runs
// it for an answer that came before the mark of its call.
void run_billok(const request_context& ctx, const posting_ref& posting);
