// Background poller: call charges, wake-up results and room states reported to the PMS.
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <stop_token>
#include <thread>

#include "config.h"
#include "journal.h"
#include "pmslink.h"
#include "store.h"
#include "worker.h"

// One thread that, every `interval` while the PMS link is active, asks the PBX database (or the
// call cache) room by room for what the PMS must be told, sends it, and marks what it sent. Each
// call posting is recorded in the posting journal before it goes out, and no database lock is
// held while a record waits on the PMS.
class poller {
 public:
  // `retry` paces the billok of an answer that came before its call's mark, as the request
  // worker paces a request that meets a busy database.
  poller(settings_store& settings, internal_store& store, posting_journal& journal,
         pms_link& link, std::chrono::milliseconds interval, retry_timing retry = {});
  ~poller();  // stops and joins
  poller(const poller&) = delete;
  poller& operator=(const poller&) = delete;

  void start();
  // Ends the pause at once, or the pass after the record in hand, and waits for the thread.
  void stop();

  // One pass over every room, as the thread makes it (the room list first takes in the rooms
  // checked in since the last pass): on a link that became active since the last pass (a new
  // connection, or a new link start on the same one), the postings that earlier links left
  // unanswered (see posting_journal); calls (from the call cache when the
  // manager is in use, else from services:billcalls), then wake-up results, then room states.
  // Does nothing while the PMS link is not active, and stops between steps when it drops or
  // `stop` is requested.
  void pass(room_list& rooms, std::stop_token stop = {});

  // The registered rooms and the postings awaiting an answer (-1: the states file could not be
  // read), as the last pass (or count_now) found them: the status line reads them without
  // waiting on the states file, which another process may hold locked.
  int rooms_counted() const { return rooms_counted_; }
  int awaiting_counted() const { return awaiting_counted_; }
  // Counts them now; every pass does it first.
  void count_now();

  // Sequence number of the last posting sent (P#). The first pass with an active link takes it
  // from the posting journal, so that numbering goes on across restarts.
  unsigned last_seqno() const { return ps_secno_; }
  // The next posting is numbered n + 1 (after 9999 comes 0000); the journal's number is then
  // not taken.
  void set_last_seqno(unsigned n);

 private:
  void run(std::stop_token stop);

  settings_store& settings_;
  internal_store& store_;
  posting_journal& journal_;
  pms_link& link_;
  const std::chrono::milliseconds interval_;
  const retry_timing retry_;
  std::atomic<unsigned> ps_secno_{0};
  std::atomic<int> rooms_counted_{0};
  std::atomic<int> awaiting_counted_{-1};
  std::atomic<bool> seqno_known_{false};
  // The pass's own state (the poller thread, or a test calling pass).
  bool journal_read_ = false;
  int64_t link_base_ = 0;    // highest link number of earlier runs; links number on from it
  uint64_t resent_on_ = 0;   // the activation the unanswered postings were last sent again on
  std::time_t next_prune_ = 0;
  // Calls held this run, none of whose postings could reach the guest who made them: each is
  // named once.
  std::set<std::string> held_;
  std::jthread thread_;
};
