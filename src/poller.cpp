// Background poller: finds what the PMS must be told, tells it, and marks it as told.
#include "poller.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "config.h"
#include "dbdriver.h"
#include "fias.h"
#include "list.h"
#include "logger.h"
#include "query.h"
#include "sig.h"
#include "store.h"

namespace {

constexpr size_t kDateTimeBuf = 32;   // column texts are read as into buffers of these sizes
constexpr size_t kNumberBuf = 256;

constexpr const char* kCacheMark =
    "update cdrcache set userfield='%param%' where src='%exten%' and date(start)='%date%' and "
    "time(start)='%time%'";

// What the steps of one pass work with.
struct pass_context {
  pms_link& link;
  internal_store& store;
  std::atomic<unsigned>& seqno;
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
// not supply stays zero.
std::tm parse_with(const std::string& text, const std::string& pattern) {
  std::tm tm{};
  strptime(text.c_str(), pattern.c_str(), &tm);
  return tm;
}

fias_date_t fias_date_of(const dbdriver_t& drv, const std::string& text) {
  return fias_date_from_tm(parse_with(text, drv.dateformat));
}

fias_time_t fias_time_of(const dbdriver_t& drv, const std::string& text) {
  return fias_time_from_tm(parse_with(text, drv.timeformat));
}

std::string four_digits(unsigned n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04u", n);
  return buf;
}

// A posted call: the record text and its sequence number, or nothing when it was not sent.
struct posting {
  std::string text;
  std::string seqno;
};

// Builds and sends the PS record of one call. Nothing is returned when the record could not be
// sent: the row then stays unmarked and is posted again at a later pass.
std::optional<posting> post_call(pass_context& pc, const dbdriver_t& drv, const std::string& room,
                                 const call_row& row) {
  fias_packet_ptr ps = fias_create_packet(FIAS_PS);
  if (!ps) return std::nullopt;
  fias_set_field_str(ps.get(), "RN", room);
  fias_set_field_str(ps.get(), "DD", row.number);
  unsigned next = pc.seqno + 1;
  if (next > 9999) next = 0;
  pc.seqno = next;
  std::string seqno = four_digits(next);
  fias_set_field_str(ps.get(), "P#", seqno);
  fias_set_field_time(ps.get(), "DU", fias_time_from_seconds(row.billsec));
  fias_set_field_date(ps.get(), "DA", fias_date_of(drv, row.date));
  fias_set_field_time(ps.get(), "TI", fias_time_of(drv, row.time));
  if (row.amount != -1) {
    fias_set_field_int(ps.get(), "TA", row.amount);
    fias_set_field_str(ps.get(), "PT", "C");
  } else {
    fias_set_field_str(ps.get(), "PT", "T");
  }
  if (pc.link.send(ps.get()) < 0) {
    LOG(L_ERROR, "Unable to send fias Post Simple");
    return std::nullopt;
  }
  return posting{fias_packet_to_str(ps.get()), seqno};
}

// Runs the marks collected while a room's rows were read; the rows must be read to the end first,
// since a new statement on the same driver replaces the result being read.
void run_marks(dbdriver_t& drv, List<std::string>& marks) {
  for (const std::string& mark : marks) drv.query(mark);
}

// Runs the marks in the transaction that is open and commits it. When the transaction cannot be
// committed it is rolled back and the marks run one by one, so that no posted call is left
// unmarked.
void commit_marks(dbdriver_t& drv, List<std::string>& marks) {
  run_marks(drv, marks);
  if (drv.query("COMMIT") == 0) return;
  drv.query("ROLLBACK");
  run_marks(drv, marks);
}

// Runs the marks of a whole step as one transaction: on an SQLite file every commit waits for
// the disk, and a thousand postings in one pass would otherwise take a thousand waits.
void run_marks_together(dbdriver_t& drv, List<std::string>& marks) {
  if (marks.empty()) return;
  if (marks.length() == 1 || drv.query("BEGIN") != 0) {
    run_marks(drv, marks);
    return;
  }
  commit_marks(drv, marks);
}

// Finds the driver of a poll setting; logged and skipped for this pass when there is none, so a
// reload that corrects the name takes effect at the next pass.
std::shared_ptr<dbdriver_t> poll_driver(const Settings& s, const std::string& name) {
  std::shared_ptr<dbdriver_t> drv = s.driver(name);
  if (!drv) LOG(L_ERROR, "Unable to find DB driver %s", name.c_str());
  return drv;
}

// Calls from the call cache that the manager thread fills; marked with the PS text once sent.
void cache_step(pass_context& pc, const std::vector<std::string>& rooms) {
  LOG(L_DEBUG, "Cache case: check internal cdrcache values");
  dbdriver_t& db = pc.store.db();
  for (const std::string& room : rooms) {
    if (pc.stopping()) return;
    std::string query = "select date(start),time(start),dst,billsec,-1 from cdrcache where src='" +
                        sql_escape(dbkind::sqlite, room) +
                        "' and (userfield='NULL' or userfield=NULL or userfield='')";
    std::lock_guard guard(db);
    db.reconnect_if_needed();
    db.query(query);
    List<std::string> marks;
    call_row row;
    while (!pc.stopping() && db.fetch_row() == 0) {
      LOG(L_DEBUG, "Have something in cache for room %s\n", room.c_str());
      if (!read_call_row(db, row)) break;
      std::optional<posting> sent = post_call(pc, db, room, row);
      if (!sent) continue;
      std::string mark = prepare_query3(db, kCacheMark, sent->text.c_str(), room.c_str(),
                                        row.date.c_str(), row.time.c_str(), sent->seqno.c_str());
      LOG(L_DEBUG, "Sending mark query: %s\n", mark.c_str());
      marks.append(std::move(mark));
    }
    db.free_result();
    run_marks(db, marks);
  }
}

// Calls from the PBX database through services:billcalls, marked with services:billmark.
void billcalls_step(pass_context& pc, const Settings& s, const std::vector<std::string>& rooms) {
  service_value poll = split_service_value(*s.billcalls);
  std::shared_ptr<dbdriver_t> drv = poll_driver(s, poll.driver);
  if (!drv) return;
  std::optional<std::string> mark_template;
  if (s.billmark) mark_template = split_service_value(*s.billmark).sql;
  // The driver stays locked for the whole step, so that a post answer's statement (which waits
  // for the lock) always comes after the mark of the call it answers.
  std::lock_guard guard(*drv);

  // First every room's new calls are read, each room's rows to the end.
  std::vector<std::pair<std::string, call_row>> calls;
  for (const std::string& room : rooms) {
    if (pc.stopping()) return;
    drv->reconnect_if_needed();
    std::string query = prepare_query2(*drv, poll.sql, room.c_str(), nullptr, nullptr, nullptr);
    drv->query(query);
    call_row row;
    while (drv->fetch_row() == 0 && read_call_row(*drv, row)) calls.emplace_back(room, row);
    drv->free_result();
  }
  if (calls.empty()) return;

  // On an SQLite file the write lock is taken before anything is posted: were another writer to
  // hold the file through the marks, the calls would be posted again at the next pass. When the
  // lock cannot be had within the driver's busy time, the calls wait for a later pass. Only a
  // pass that has calls to mark takes it, so the PBX's own writes are held up for no more than
  // the postings take.
  drv->reconnect_if_needed();
  const bool write_lock_first = mark_template && drv->kind == dbkind::sqlite;
  if (write_lock_first && drv->query("BEGIN IMMEDIATE") != 0) {
    LOG(L_WARNING, "No write lock on database %s; its calls are posted at a later pass",
        drv->name.c_str());
    return;
  }
  List<std::string> marks;
  for (const auto& [room, row] : calls) {
    if (pc.stopping()) break;
    std::optional<posting> sent = post_call(pc, *drv, room, row);
    if (!sent || !mark_template) continue;
    std::string mark = prepare_query2(*drv, *mark_template, room.c_str(), row.date.c_str(),
                                      row.time.c_str(), sent->seqno.c_str());
    std::printf("Sending mark query: %s\n", mark.c_str());
    marks.append(std::move(mark));
  }
  drv->reconnect_if_needed();
  if (write_lock_first)
    commit_marks(*drv, marks);
  else
    run_marks_together(*drv, marks);
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
// be sent stays unmarked and is reported again at a later pass.
void report_step(pass_context& pc, const Settings& s, const std::string& poll_value,
                 const std::optional<std::string>& mark_value,
                 const std::vector<std::string>& rooms, read_report_t read_row,
                 const char* send_failure) {
  service_value poll = split_service_value(poll_value);
  std::shared_ptr<dbdriver_t> drv = poll_driver(s, poll.driver);
  if (!drv) return;
  for (const std::string& room : rooms) {
    if (pc.stopping()) return;
    std::lock_guard guard(*drv);
    drv->reconnect_if_needed();
    std::string query = prepare_query2(*drv, poll.sql, room.c_str(), nullptr, nullptr, nullptr);
    drv->query(query);
    report r;
    row_outcome outcome = drv->fetch_row() == 0 ? read_row(*drv, room, r) : row_outcome::skip;
    drv->free_result();  // only the first row is used
    if (outcome == row_outcome::broken) return;
    if (outcome == row_outcome::skip) continue;
    if (pc.link.send(r.record.get()) < 0) {
      LOG(L_ERROR, "%s", send_failure);
      continue;
    }
    if (!mark_value) continue;
    std::string mark = prepare_query2(*drv, split_service_value(*mark_value).sql, room.c_str(),
                                      r.date.c_str(), r.time.c_str(), nullptr);
    LOG(L_DEBUG, "Sending mark query: %s\n", mark.c_str());
    drv->query(mark);
  }
}

}  // namespace

poller::poller(settings_store& settings, internal_store& store, pms_link& link,
               std::chrono::milliseconds interval)
    : settings_(settings), store_(store), link_(link), interval_(interval) {}

poller::~poller() { stop(); }

void poller::start() {
  thread_ = start_jthread([this](std::stop_token stop) { run(stop); });
}

void poller::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void poller::pass(room_list& r, std::stop_token stop) {
  r.refresh(store_);
  if (!link_.active()) return;
  auto s = settings_.current();
  pass_context pc{link_, store_, ps_secno_, std::move(stop)};
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
