// Background poller: finds what the PMS must be told, tells it, and marks it as told.
#include "poller.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "config.h"
#include "dbdriver.h"
#include "fias.h"
#include "handlers.h"
#include "journal.h"
#include "logger.h"
#include "query.h"
#include "sig.h"
#include "stays.h"
#include "store.h"

namespace {

constexpr size_t kDateTimeBuf = 32;   // column texts are read as into buffers of these sizes
constexpr size_t kNumberBuf = 256;

// A posting not answered is sent again on each new link for this long after it was first sent;
// answered ones are kept in the journal for a week, then pruned (at most once an hour).
constexpr std::time_t kResendWindow = 24 * 3600;
constexpr std::time_t kKeepSettled = 7 * 24 * 3600;
constexpr std::time_t kPruneEvery = 3600;

// What the steps of one pass work with.
struct pass_context {
  pms_link& link;
  internal_store& store;
  posting_journal& journal;
  const retry_timing& retry;
  const Settings& settings;
  std::atomic<unsigned>& seqno;
  uint64_t link_id;  // the connection this pass posts on
  int64_t link_key;  // its number in the journal, unique across restarts
  std::set<std::string>& held;  // the calls held this run (see hold_call)
  std::stop_token stop;
  // True once a stop was asked for. A step then ends after the record in hand instead of keeping
  // the stop waiting through every room (a PMS that reads slowly or not at all makes each record
  // take up to the send time limit); what it did not reach is reported after the restart.
  bool stopping() const { return stop.stop_requested(); }
};

// One call row, read from the columns date, time, dialled number, billable seconds, amount.
struct call_row {
  std::string date;
  std::string time;
  std::string number;
  int billsec = 0;
  int amount = -1;
};

// Reads the current row; false (logged) when a mandatory column is missing.
bool read_call_row(dbdriver_t& drv, call_row& row) {
  row = call_row{};
  if (drv.fetch_char_field(0, row.date, kDateTimeBuf) < 0) {
    LOG(L_ERROR, "No mandatory date field in cdr query");
    return false;
  }
  if (drv.fetch_char_field(1, row.time, kDateTimeBuf) < 0) {
    LOG(L_ERROR, "No mandatory time field in cdr query");
    return false;
  }
  if (drv.fetch_char_field(2, row.number, kNumberBuf) < 0) {
    LOG(L_ERROR, "No mandatory destination field in cdr query");
    return false;
  }
  if (drv.fetch_int_field(3, row.billsec) < 0) {
    LOG(L_ERROR, "No mandatory billsec field in cdr query");
    return false;
  }
  if (drv.fetch_int_field(4, row.amount) < 0) row.amount = -1;
  return true;
}

// Parses a date or time text with a driver pattern, as strptime reads it; what the text does
// not supply stays zero. False when the text does not begin with what the pattern asks for.
bool parse_with(const std::string& text, const std::string& pattern, std::tm& tm) {
  tm = std::tm{};
  return strptime(text.c_str(), pattern.c_str(), &tm) != nullptr;
}

fias_date_t fias_date_of(const dbdriver_t& drv, const std::string& text) {
  std::tm tm{};
  parse_with(text, drv.dateformat, tm);
  return fias_date_from_tm(tm);
}

fias_time_t fias_time_of(const dbdriver_t& drv, const std::string& text) {
  std::tm tm{};
  parse_with(text, drv.timeformat, tm);
  return fias_time_from_tm(tm);
}

std::string four_digits(unsigned n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04u", n);
  return buf;
}

// A call's start, its date and time texts read with a driver's formats as local time; nothing
// when they cannot be read so.
std::optional<std::time_t> start_of(const std::string& dateformat, const std::string& timeformat,
                                    const call_row& row) {
  std::tm start{}, time{};
  if (!parse_with(row.date, dateformat, start) || !parse_with(row.time, timeformat, time))
    return std::nullopt;
  start.tm_hour = time.tm_hour;
  start.tm_min = time.tm_min;
  start.tm_sec = time.tm_sec;
  start.tm_isdst = -1;
  std::time_t t = std::mktime(&start);
  if (t == -1) return std::nullopt;
  return t;
}

// Whom a call is charged to: the room and G# of its posting, or held when no posting can reach
// the guest who made it.
struct charge {
  bool held = false;
  bool departed = false;  // the stay it is charged to has ended
  std::string room;
  std::string guest_no;
  const char* why = "";  // for a held call
};

// The stay during which a call started decides whom it is charged to, not the guest in the room
// when it is posted: a call hung up just before a check-out, or posted after the next guest
// checked in (the PMS link down meanwhile), is the departed guest's. A guest who moved since is
// posted with the room they are in now, or were in last. The PMS routes a posting by its G#
// (sent with the full record set only); without one it charges whoever is in the posting's
// room, so a call of an earlier stay goes out with that stay's room only while nobody else is in
// it, and is held otherwise. A call from before any stay the room knows (a file from before
// stays were kept, a room of the configuration) is charged as it always was, to the room.
charge charge_of(stay_book& stays, const std::string& room, std::optional<std::time_t> start,
                 bool with_guest_no) {
  auto guest_no = [with_guest_no](const stay& s) {
    return with_guest_no ? s.guest_no : std::string();
  };
  std::optional<stay> now = stays.current(room);
  // A start that cannot be read is posted with the current time: the current stay's.
  if (!start) return {false, false, room, now ? guest_no(*now) : std::string()};
  std::optional<stay> then = stays.at(room, *start);
  if (!then) {
    // Before the room's first stay known (stays kept since an upgrade, a guest checked in
    // before) the daemon cannot tell an empty room from an occupied one: posted as always.
    if (!now || !stays.left_before(room, *start)) return {false, false, room, ""};
    return {true, false, room, "", "it started while the room had no guest"};
  }
  const bool departed = then->checkout != 0;
  if (!departed || !guest_no(*then).empty() || !stays.current(then->room))
    return {false, departed, then->room, guest_no(*then)};
  return {true, true, then->room, "", "its guest has left and another guest is in the room"};
}

// Holds a call that no posting can charge to the guest who made it: it is not posted, and is
// named once a run for billing by hand. Its row stays as it is (unposted in the cache, unmarked
// in the PBX), so it is named again after a restart.
void hold_call(pass_context& pc, std::string key, const std::string& room, const call_row& row,
               const charge& ch) {
  if (!pc.held.insert(std::move(key)).second) return;
  LOG(L_ERROR, "Call of room %s to %s, date %s, time %s, %d s, not posted: %s, and no "
      "reservation number (G#) routes it to the guest who made it; bill it by hand",
      room.c_str(), row.number.c_str(), row.date.c_str(), row.time.c_str(), row.billsec, ch.why);
}

// Gives a posting the room and G# of its charge, and says so when that is not the room's guest
// of now.
void apply_charge(journal_entry& e, const charge& ch) {
  e.room = ch.room;
  e.guest_no = ch.guest_no;
  if (ch.departed || e.room != e.call_room)
    LOG(L_NOTICE, "Call of room %s to %s posted as P#%s to the %s guest who made it, room %s%s%s",
        e.call_room.c_str(), e.number.c_str(), e.seqno.c_str(),
        ch.departed ? "departed" : "moved", e.room.c_str(), e.guest_no.empty() ? "" : ", G#",
        e.guest_no.c_str());
}

// A new journal entry for a call of `room` with the next P#. The call's DA and TI come from its
// start texts, read with the driver's formats; a call whose start cannot be read that way (an
// empty text, or 2009/12/31 where 2009-12-31 is expected) is posted once all the same, with the
// date and time it is posted at, and logged.
journal_entry new_posting(pass_context& pc, const std::string& dateformat,
                          const std::string& timeformat, const std::string& room,
                          const call_row& row, const std::string& shown_start) {
  journal_entry e;
  unsigned next = pc.seqno + 1;
  if (next > 9999) next = 0;
  pc.seqno = next;
  e.seqno = four_digits(next);
  e.room = room;
  e.call_room = room;
  std::tm date{}, time{};
  if (!parse_with(row.date, dateformat, date) || !parse_with(row.time, timeformat, time)) {
    LOG(L_WARNING, "Call of room %s has no usable start time (%s); posted as P#%s with the "
        "current date and time", room.c_str(), shown_start.c_str(), e.seqno.c_str());
    std::time_t now = std::time(nullptr);
    localtime_r(&now, &date);
    time = date;
  }
  e.da = fias_date_from_tm(date);
  e.ti = fias_time_from_tm(time);
  e.billsec = row.billsec;
  e.number = row.number;
  e.amount = row.amount;
  e.link = pc.link_key;
  return e;
}

// The PS record of a posting; its G# only where the link's record set announces the field.
fias_packet_ptr posting_record(const journal_entry& e, fias_record_set set) {
  fias_packet_ptr ps = fias_create_packet(FIAS_PS);
  if (!ps) return ps;
  fias_set_field_str(ps.get(), "RN", e.room);
  fias_set_field_str(ps.get(), "DD", e.number);
  fias_set_field_str(ps.get(), "P#", e.seqno);
  fias_set_field_time(ps.get(), "DU", fias_time_from_seconds(e.billsec));
  fias_set_field_date(ps.get(), "DA", e.da);
  fias_set_field_time(ps.get(), "TI", e.ti);
  if (e.amount != -1) {
    fias_set_field_int(ps.get(), "TA", e.amount);
    fias_set_field_str(ps.get(), "PT", "C");
  } else {
    fias_set_field_str(ps.get(), "PT", "T");
  }
  if (set == fias_record_set::full && !e.guest_no.empty())
    fias_set_field_str(ps.get(), "G#", e.guest_no);
  return ps;
}

// A posting as an ERROR names it for billing by hand.
std::string describe(const journal_entry& e) {
  char text[512];
  std::snprintf(text, sizeof text,
                "P#%s of room %s (number %s, date 20%02d-%02d-%02d, time %02d:%02d:%02d, %d s)",
                e.seqno.c_str(), e.room.c_str(), e.number.c_str(), e.da.year, e.da.month,
                e.da.day, e.ti.hour, e.ti.min, e.ti.sec, e.billsec);
  return text;
}

enum class sent_outcome { sent, failed, link_gone };

// Sends a posting on the pass's link, with no lock held: a PMS that reads slowly holds only
// this thread. A failure is logged; a link that went inactive or was replaced sends nothing.
sent_outcome send_posting(pass_context& pc, fias_packet_t* ps) {
  int rc = pc.link.send_on(pc.link_id, ps);
  if (rc == -2) return sent_outcome::link_gone;
  if (rc < 0) {
    LOG(L_ERROR, "Unable to send fias Post Simple");
    return sent_outcome::failed;
  }
  return sent_outcome::sent;
}

// Records a posting in the journal, sends it, and forgets it again when it did not go out, so
// that its call is posted at a later pass.
sent_outcome post_call(pass_context& pc, journal_entry& e) {
  fias_packet_ptr ps = posting_record(e, pc.settings.pms_records);
  if (!ps) return sent_outcome::failed;
  bool recorded = e.source.empty() ? pc.journal.record_cached(e, fias_packet_to_str(ps.get()))
                                   : pc.journal.record(e, !pc.settings.billmark);
  if (!recorded) return sent_outcome::failed;
  sent_outcome out = send_posting(pc, ps.get());
  if (out != sent_outcome::sent) pc.journal.forget(e);
  return out;
}

// When a posting's call started: its DA and TI, which came from the call's start.
std::optional<std::time_t> posting_start(const journal_entry& e) {
  std::tm start{};
  start.tm_year = 100 + e.da.year;
  start.tm_mon = e.da.month - 1;
  start.tm_mday = e.da.day;
  start.tm_hour = e.ti.hour;
  start.tm_min = e.ti.min;
  start.tm_sec = e.ti.sec;
  start.tm_isdst = -1;
  std::time_t t = std::mktime(&start);
  if (t == -1) return std::nullopt;
  return t;
}

// Sends again, oldest first and with their own P#, the postings that went out on an earlier
// link within the last day and were never answered: a PMS that stopped reading, or crashed
// with them unread, gets them once on each new link. A posting without a G# goes to the room of
// its guest's stay now (the guest may have moved since), and is held, named once a run, when
// its guest has left and another guest is in the room: sent again, it would be charged to that
// guest. False when the link went inactive meanwhile (they are sent when it is active again).
bool resend_unanswered(pass_context& pc) {
  std::vector<journal_entry> due =
      pc.journal.unanswered_elsewhere(pc.link_key, std::time(nullptr) - kResendWindow);
  if (!due.empty())
    LOG(L_NOTICE, "Sending again %zu postings not answered on an earlier link", due.size());
  const bool full_set = pc.settings.pms_records == fias_record_set::full;
  for (journal_entry& e : due) {
    if (pc.stopping()) return false;
    if (e.guest_no.empty() || !full_set) {
      std::string key = "posting " + std::to_string(e.id);
      if (pc.held.count(key) != 0) continue;
      charge ch = charge_of(pc.store.stays(), e.room, posting_start(e), full_set);
      if (ch.held) {
        pc.held.insert(std::move(key));
        LOG(L_ERROR, "Posting %s not sent again: %s, and no reservation number (G#) routes it to "
            "the guest who made it; bill it by hand", describe(e).c_str(), ch.why);
        continue;
      }
      if (ch.room != e.room) {
        LOG(L_NOTICE, "Posting %s sent again to the moved guest who made it, room %s",
            describe(e).c_str(), ch.room.c_str());
        e.room = ch.room;
      }
    }
    fias_packet_ptr ps = posting_record(e, pc.settings.pms_records);
    if (!ps) continue;
    sent_outcome out = send_posting(pc, ps.get());
    if (out == sent_outcome::link_gone) return false;
    if (out == sent_outcome::failed) return true;  // this link is lost; the next one sends them
    pc.journal.resent(e, pc.link_key);
  }
  return true;
}

// Finds the driver of a poll setting; logged and skipped for this pass when there is none, so a
// reload that corrects the name takes effect at the next pass.
std::shared_ptr<dbdriver_t> poll_driver(const Settings& s, const std::string& name) {
  std::shared_ptr<dbdriver_t> drv = s.driver(name);
  if (!drv) LOG(L_ERROR, "Unable to find DB driver %s", name.c_str());
  return drv;
}

// Calls from the call cache that the manager thread fills. Each is claimed by its row's id (its
// userfield takes the posting's text) in the journal's transaction, before it is sent.
void cache_step(pass_context& pc, const std::vector<std::string>& rooms) {
  LOG(L_DEBUG, "Cache case: check internal cdrcache values");
  const bool full_set = pc.settings.pms_records == fias_record_set::full;
  for (const std::string& room : rooms) {
    for (const cached_call& c : pc.journal.due_cached_calls(room)) {
      if (pc.stopping()) return;
      LOG(L_DEBUG, "Have something in cache for room %s\n", room.c_str());
      std::string key = "cache " + std::to_string(c.row);
      if (pc.held.count(key) != 0) continue;
      call_row row{c.date, c.time, c.number, c.billsec, -1};
      charge ch = charge_of(
          pc.store.stays(), room,
          start_of(internal_store::kDateFormat, internal_store::kTimeFormat, row), full_set);
      if (ch.held) {
        hold_call(pc, std::move(key), room, row, ch);
        continue;
      }
      journal_entry e = new_posting(pc, internal_store::kDateFormat, internal_store::kTimeFormat,
                                    room, row, c.start);
      apply_charge(e, ch);
      e.cache_id = c.row;
      if (post_call(pc, e) == sent_outcome::link_gone) return;
    }
  }
}

// Notes in the journal that the marks of postings `ids` ran, and runs billok for the answers
// that came before them. A billok that meets a busy or unreachable PBX database is tried again
// as a request from the PMS is, until it runs, the retries give up (logged) or a stop ends them.
void note_marked(pass_context& pc, const std::vector<int64_t>& ids, bool matched = true) {
  for (const posting_ref& posting : pc.journal.set_marked(ids, matched)) {
    const pms_request what{"billok of posting P#" + posting.seqno + " of room " + posting.room};
    request_retry retry(what, pc.retry, pc.stop);
    run_billok(request_context{pc.settings, pc.store, pc.journal, &retry}, posting);
  }
}

// Runs services:billmark for posted calls on the PBX database, in one transaction, and notes in
// the journal which marks ran. A mark that fails is retried at the next pass; its call is not
// posted again meanwhile. A mark that ran and changed no row would leave its call to be posted
// at every pass: it is an ERROR naming the call, and the journal keeps the call from being posted
// again. Answers that came before their call's mark get their billok now. Entries whose mark ran
// are removed from `entries`.
void mark_calls(pass_context& pc, dbdriver_t& drv, const std::string& mark_template,
                std::vector<journal_entry>& entries) {
  std::vector<int64_t> ran;
  std::vector<const journal_entry*> unmatched;
  {
    std::lock_guard guard(drv);
    drv.reconnect_if_needed();
    // On an SQLite file the write lock is asked for first: while another writer holds the file
    // the marks wait for the next pass after one busy time, not one busy time each. Every commit
    // there waits for the disk, so the marks of a pass share one.
    bool together = false;
    if (drv.kind == dbkind::sqlite) {
      if (drv.query("BEGIN IMMEDIATE") != 0) {
        LOG(L_WARNING, "No write lock on database %s; the marks of %zu postings are retried at "
            "the next pass", drv.name.c_str(), entries.size());
        return;
      }
      together = true;
    } else {
      together = entries.size() > 1 && drv.query("BEGIN") == 0;
    }
    for (const journal_entry& e : entries) {
      query_values v{.exten = e.call_room, .seqno = e.seqno, .date_text = e.call_date,
                     .time_text = e.call_time};
      std::string mark = prepare_query(drv, mark_template, v, query_trace::plain);
      std::printf("Sending mark query: %s\n", mark.c_str());
      if (drv.query(mark) != 0)
        LOG(L_WARNING, "Mark of posting P#%s of room %s failed; it is retried at the next pass",
            e.seqno.c_str(), e.room.c_str());
      else if (drv.changes() > 0)
        ran.push_back(e.id);
      else
        unmatched.push_back(&e);
    }
    if (together && drv.query("COMMIT") != 0) {
      drv.query("ROLLBACK");
      LOG(L_WARNING, "Marks of %zu postings not committed; they are retried at the next pass",
          entries.size());
      ran.clear();
      unmatched.clear();
    }
  }
  std::vector<int64_t> missed;
  for (const journal_entry* e : unmatched) {
    LOG(L_ERROR, "Mark of posting %s changed no row; the call is not posted again: check "
        "services:billmark", describe(*e).c_str());
    missed.push_back(e->id);
  }
  note_marked(pc, ran);
  note_marked(pc, missed, false);
  ran.insert(ran.end(), missed.begin(), missed.end());
  std::erase_if(entries, [&ran](const journal_entry& e) {
    return std::find(ran.begin(), ran.end(), e.id) != ran.end();
  });
}

// Whether `row` of `room` is the call of a posting whose mark has not run; that posting is
// taken from `unmarked`, so that two such rows match two postings.
bool awaits_mark(std::vector<journal_entry>& unmarked, const std::string& room,
                 const call_row& row) {
  auto it = std::find_if(unmarked.begin(), unmarked.end(), [&](const journal_entry& e) {
    return e.call_room == room && e.call_date == row.date && e.call_time == row.time &&
           e.number == row.number && e.billsec == row.billsec;
  });
  if (it == unmarked.end()) return false;
  unmarked.erase(it);
  return true;
}

// Calls from the PBX database through services:billcalls, marked with services:billmark. The
// driver is locked only to read the calls and to mark them: never while a posting waits on the
// PMS, so the PBX's own writers are not held up by a slow PMS.
void billcalls_step(pass_context& pc, const Settings& s, const std::vector<std::string>& rooms) {
  service_value poll = split_service_value(*s.billcalls);
  std::shared_ptr<dbdriver_t> drv = poll_driver(s, poll.driver);
  if (!drv) return;
  std::optional<std::string> mark_template;
  if (s.billmark) mark_template = split_service_value(*s.billmark).sql;

  // Marks that failed at an earlier pass go first; their calls are not posted again.
  std::vector<journal_entry> unmarked = pc.journal.unmarked(drv->name);
  if (!unmarked.empty()) {
    if (mark_template) {
      mark_calls(pc, *drv, *mark_template, unmarked);
    } else {
      // The mark was taken out of the configuration: nothing is left to run.
      std::vector<int64_t> ids;
      for (const journal_entry& e : unmarked) ids.push_back(e.id);
      note_marked(pc, ids);
      unmarked.clear();
    }
  }

  // Calls whose mark changed nothing are still in the PBX as not posted; they are not posted again.
  for (journal_entry& e : pc.journal.unmatched(drv->name)) unmarked.push_back(std::move(e));

  // Every room's new calls are read, each room's rows to the end, with the driver locked for one
  // room at a time: a check-in waits for one query, not for the whole pass.
  std::vector<std::pair<std::string, call_row>> calls;
  for (const std::string& room : rooms) {
    if (pc.stopping()) return;
    std::lock_guard guard(*drv);
    drv->reconnect_if_needed();
    std::string query = prepare_query(*drv, poll.sql, {.exten = room}, query_trace::plain);
    drv->query(query);
    call_row row;
    while (drv->fetch_row() == 0 && read_call_row(*drv, row))
      if (!awaits_mark(unmarked, room, row)) calls.emplace_back(room, row);
    drv->free_result();
  }

  // Each call is charged to the stay it started in, as the cache's are.
  const bool full_set = pc.settings.pms_records == fias_record_set::full;
  std::vector<journal_entry> sent;
  for (const auto& [room, row] : calls) {
    if (pc.stopping()) break;
    std::string key = drv->name + " " + room + " " + row.date + " " + row.time + " " +
                      row.number + " " + std::to_string(row.billsec);
    if (pc.held.count(key) != 0) continue;
    charge ch = charge_of(pc.store.stays(), room,
                          start_of(drv->dateformat, drv->timeformat, row), full_set);
    if (ch.held) {
      hold_call(pc, std::move(key), room, row, ch);
      continue;
    }
    journal_entry e =
        new_posting(pc, drv->dateformat, drv->timeformat, room, row, row.date + " " + row.time);
    apply_charge(e, ch);
    e.source = drv->name;
    e.call_date = row.date;
    e.call_time = row.time;
    sent_outcome out = post_call(pc, e);
    if (out == sent_outcome::link_gone) break;
    if (out == sent_outcome::sent) sent.push_back(std::move(e));
  }
  // At a stop the marks wait for the next run: the journal keeps these postings as not marked,
  // its first pass marks them before it reads any call, and their calls are not posted again.
  // Marking thousands of them here would hold the stop for as long.
  if (mark_template && !sent.empty() && !pc.stopping()) mark_calls(pc, *drv, *mark_template, sent);
}

// The answer text of a wake-up result code.
const char* wakeup_answer(int code) {
  switch (code) {
    case 1: return "OK";
    case 2: return "BY";
    case 3: return "NR";
    case -1: return "UR";
    default: return "RY";
  }
}

// The one-character room status reported for a room state.
const char* room_status(int state) {
  switch (state) {
    case 1: return "1";
    case 2: return "2";
    case 4: return "4";
    case 5: return "5";
    case 6: return "6";
    default: return "0";
  }
}

// What a report step makes of a room's first row: the record to send, and the date and time
// texts its mark may use.
struct report {
  fias_packet_ptr record;
  std::string date;
  std::string time;
};

enum class row_outcome { report, skip, broken };

// Reads a wake-up result: result code, date, time.
row_outcome read_wakeup_result(dbdriver_t& drv, const std::string& room, report& r) {
  int code = 0;
  if (drv.fetch_int_field(0, code) < 0) {
    LOG(L_ERROR, "No mandatory billsec field in cdr query");
    return row_outcome::broken;
  }
  if (drv.fetch_char_field(1, r.date, kDateTimeBuf) < 0) {
    LOG(L_ERROR, "No mandatory date field in cdr query");
    return row_outcome::broken;
  }
  if (drv.fetch_char_field(2, r.time, kDateTimeBuf) < 0) {
    LOG(L_ERROR, "No mandatory time field in cdr query");
    return row_outcome::broken;
  }
  r.record = fias_create_packet(FIAS_WA);
  if (!r.record) return row_outcome::skip;
  fias_set_field_str(r.record.get(), "RN", room);
  fias_set_field_date(r.record.get(), "DA", fias_date_of(drv, r.date));
  fias_set_field_time(r.record.get(), "TI", fias_time_of(drv, r.time));
  fias_set_field_str(r.record.get(), "AS", wakeup_answer(code));
  return row_outcome::report;
}

// Reads a room state.
row_outcome read_room_state(dbdriver_t& drv, const std::string& room, report& r) {
  int state = 0;
  if (drv.fetch_int_field(0, state) < 0) {
    LOG(L_ERROR, "No mandatory billsec field in cdr query");
    return row_outcome::broken;
  }
  r.record = fias_create_packet(FIAS_RE);
  if (!r.record) return row_outcome::skip;
  fias_set_field_str(r.record.get(), "RN", room);
  fias_set_field_str(r.record.get(), "RS", room_status(state));
  return row_outcome::report;
}

using read_report_t = row_outcome (*)(dbdriver_t&, const std::string&, report&);

// Reports the first row of each room's poll query and marks it once its record was sent. A row
// whose mandatory columns cannot be read ends the step for this pass; a record that could not
// be sent stays unmarked and is reported again at a later pass. The driver is locked to read the
// row and again to mark it, never while the record waits on the PMS: a slow PMS must not hold
// up the check-ins and other requests that run on the same driver.
void report_step(pass_context& pc, const Settings& s, const std::string& poll_value,
                 const std::optional<std::string>& mark_value,
                 const std::vector<std::string>& rooms, read_report_t read_row,
                 const char* send_failure) {
  service_value poll = split_service_value(poll_value);
  std::shared_ptr<dbdriver_t> drv = poll_driver(s, poll.driver);
  if (!drv) return;
  for (const std::string& room : rooms) {
    if (pc.stopping()) return;
    report r;
    row_outcome outcome;
    {
      std::lock_guard guard(*drv);
      drv->reconnect_if_needed();
      std::string query = prepare_query(*drv, poll.sql, {.exten = room}, query_trace::plain);
      drv->query(query);
      outcome = drv->fetch_row() == 0 ? read_row(*drv, room, r) : row_outcome::skip;
      drv->free_result();  // only the first row is used
    }
    if (outcome == row_outcome::broken) return;
    if (outcome == row_outcome::skip) continue;
    int rc = pc.link.send_on(pc.link_id, r.record.get());
    if (rc == -2) return;  // the link went inactive or was replaced
    if (rc < 0) {
      LOG(L_ERROR, "%s", send_failure);
      continue;
    }
    if (!mark_value) continue;
    std::lock_guard guard(*drv);
    drv->reconnect_if_needed();
    query_values v{.exten = room, .date_text = r.date, .time_text = r.time};
    std::string mark =
        prepare_query(*drv, split_service_value(*mark_value).sql, v, query_trace::plain);
    LOG(L_DEBUG, "Sending mark query: %s\n", mark.c_str());
    drv->query(mark);
  }
}

}  // namespace

poller::poller(settings_store& settings, internal_store& store, posting_journal& journal,
               pms_link& link, std::chrono::milliseconds interval, retry_timing retry)
    : settings_(settings),
      store_(store),
      journal_(journal),
      link_(link),
      interval_(interval),
      retry_(retry) {}

poller::~poller() { stop(); }

void poller::start() {
  thread_ = start_jthread([this](std::stop_token stop) { run(stop); });
}

void poller::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void poller::set_last_seqno(unsigned n) {
  ps_secno_ = n;
  seqno_known_ = true;
}

void poller::count_now() {
  rooms_counted_ = static_cast<int>(store_.rooms().size());
  awaiting_counted_ = journal_.awaiting_answer();
}

void poller::pass(room_list& r, std::stop_token stop) {
  r.refresh(store_);
  count_now();
  if (!link_.active()) return;
  // The journal's last P# and link number, once: numbering goes on where the last run stopped,
  // and the links of this run are told apart from those of earlier runs.
  if (!journal_read_) {
    unsigned last = 0;
    if (journal_.last_numbers(last, link_base_) && !seqno_known_) ps_secno_ = last;
    journal_read_ = true;
  }
  auto s = settings_.current();
  const uint64_t link_id = link_.id();
  const uint64_t activation = link_.activation();
  pass_context pc{link_, store_, journal_, retry_, *s, ps_secno_,
                  link_id, link_base_ + static_cast<int64_t>(activation), held_, std::move(stop)};
  if (activation != resent_on_ && resend_unanswered(pc)) resent_on_ = activation;
  if (!link_.active() || pc.stopping()) return;
  if (s->use_manager)
    cache_step(pc, r.rooms);
  else if (s->billcalls)
    billcalls_step(pc, *s, r.rooms);
  if (!link_.active() || pc.stopping()) return;
  if (s->wakeup_result)
    report_step(pc, *s, *s->wakeup_result, s->wrmark, r.rooms, read_wakeup_result,
                "Unable to send fias WR");
  if (!link_.active() || pc.stopping()) return;
  if (s->room_state)
    report_step(pc, *s, *s->room_state, s->remark, r.rooms, read_room_state,
                "Unable to send fias RE");
  // A posting that is never answered is neither re-sent nor dropped without a word: each is named
  // once for billing by hand when it leaves the re-send window, and again when it leaves the
  // journal.
  const std::time_t now = std::time(nullptr);
  for (const journal_entry& e : journal_.expire(now - kResendWindow))
    LOG(L_ERROR, "Posting %s not answered within a day and not sent again; bill the call by hand",
        describe(e).c_str());
  if (now >= next_prune_) {
    for (const journal_entry& e : journal_.prune(now - kKeepSettled))
      LOG(L_ERROR, "Posting %s dropped from the journal after a week without an answer; bill the "
          "call by hand", describe(e).c_str());
    next_prune_ = now + kPruneEvery;
  }
}

void poller::run(std::stop_token stop) {
  room_list rooms;
  std::mutex pause_lock;
  std::condition_variable_any pause;
  while (!stop.stop_requested()) {
    pass(rooms, stop);
    // The pause between passes; a stop ends it at once.
    std::unique_lock lock(pause_lock);
    pause.wait_for(lock, stop, interval_, [] { return false; });
  }
}
