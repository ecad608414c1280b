// The posting journal: postings from before they go out until the PMS answers them.
#include "journal.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "dbdriver.h"
#include "logger.h"

namespace {

constexpr const char* kEntryColumns =
    "id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, call_time, "
    "link";

// A text as a single-quoted SQLite literal.
std::string quoted(std::string_view text) { return "'" + sql_escape(dbkind::sqlite, text) + "'"; }

std::string number_text(int64_t n) { return std::to_string(n); }

std::string six_digits(int a, int b, int c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", a % 100, b % 100, c % 100);
  return buf;
}

// The three two-digit groups of a YYMMDD or HHMMSS text.
std::array<uint8_t, 3> groups(const std::string& text) {
  std::array<uint8_t, 3> g{};
  for (size_t i = 0; i < 3 && text.size() >= 2 * i + 2; ++i)
    g[i] = static_cast<uint8_t>((text[2 * i] - '0') * 10 + (text[2 * i + 1] - '0'));
  return g;
}

std::string text_field(dbdriver_t& db, int column) {
  std::string value;
  db.fetch_char_field(column, value, std::string::npos);
  return value;
}

int64_t int64_field(dbdriver_t& db, int column) {
  return std::strtoll(text_field(db, column).c_str(), nullptr, 10);
}

int int_field(dbdriver_t& db, int column) {
  int value = 0;
  db.fetch_int_field(column, value);
  return value;
}

// Reads the rows of a select of kEntryColumns; the caller holds the lock.
std::vector<journal_entry> read_entries(dbdriver_t& db, const std::string& sql) {
  std::vector<journal_entry> entries;
  if (db.query(sql) != 0) return entries;
  while (db.fetch_row() == 0) {
    journal_entry e;
    e.id = int64_field(db, 0);
    e.seqno = text_field(db, 1);
    e.room = text_field(db, 2);
    auto d = groups(text_field(db, 3));
    e.da = {d[0], d[1], d[2], 0};
    auto t = groups(text_field(db, 4));
    e.ti = {t[0], t[1], t[2], 0};
    e.billsec = int_field(db, 5);
    e.number = text_field(db, 6);
    e.amount = int_field(db, 7);
    e.source = text_field(db, 8);
    e.cache_id = int64_field(db, 9);
    e.call_date = text_field(db, 10);
    e.call_time = text_field(db, 11);
    e.link = int64_field(db, 12);
    entries.push_back(std::move(e));
  }
  db.free_result();
  return entries;
}

// The id of the last row inserted on the connection; the caller holds the lock.
int64_t last_insert_id(dbdriver_t& db) {
  int64_t id = 0;
  if (db.query("select last_insert_rowid()") == 0 && db.fetch_row() == 0) id = int64_field(db, 0);
  db.free_result();
  return id;
}

// Runs statements as one transaction; false (rolled back) when one of them fails.
bool run_together(dbdriver_t& db, std::initializer_list<std::string> statements) {
  if (db.query("BEGIN IMMEDIATE") != 0) return false;
  for (const std::string& sql : statements) {
    if (db.query(sql) != 0) {
      db.query("ROLLBACK");
      return false;
    }
  }
  if (db.query("COMMIT") == 0) return true;
  db.query("ROLLBACK");
  return false;
}

std::string insert_statement(const journal_entry& e, bool marked) {
  std::string da = six_digits(e.da.year, e.da.month, e.da.day);
  std::string ti = six_digits(e.ti.hour, e.ti.min, e.ti.sec);
  return "insert into postings (seqno, room, da, ti, billsec, number, amount, source, cache_id, "
         "call_date, call_time, link, first_sent, marked) values (" +
         quoted(e.seqno) + ", " + quoted(e.room) + ", " + quoted(da) + ", " + quoted(ti) + ", " +
         number_text(e.billsec) + ", " + quoted(e.number) + ", " + number_text(e.amount) + ", " +
         quoted(e.source) + ", " + (e.cache_id ? number_text(e.cache_id) : "NULL") + ", " +
         quoted(e.call_date) + ", " + quoted(e.call_time) + ", " + number_text(e.link) + ", " +
         number_text(std::time(nullptr)) + ", " + (marked ? "1" : "0") + ")";
}

// The newest posting of `seqno` and `room` from `source` ("" the cache) in `state`; its id and
// cache row, or an id of 0. The caller holds the lock.
std::pair<int64_t, int64_t> find_posting(dbdriver_t& db, const std::string& room,
                                         const std::string& seqno, bool cached,
                                         const char* state) {
  std::pair<int64_t, int64_t> found{0, 0};
  std::string sql = "select id, cache_id from postings where seqno=" + quoted(seqno) +
                    " and room=" + quoted(room) + " and source" + (cached ? "=''" : "<>''") +
                    " and state='" + state + "' order by id desc limit 1";
  if (db.query(sql) == 0 && db.fetch_row() == 0) found = {int64_field(db, 0), int64_field(db, 1)};
  db.free_result();
  return found;
}

std::string settle_statement(int64_t id, const std::string& answer_text, bool ok) {
  return std::string("update postings set state=") + (ok ? "'answered'" : "'refused'") +
         ", answer=" + quoted(answer_text) + ", settled_at=" + number_text(std::time(nullptr)) +
         " where id=" + number_text(id);
}

}  // namespace

bool posting_journal::last_numbers(unsigned& seqno, int64_t& link) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return false;
  bool found = false;
  if (db.query("select seqno, (select max(link) from postings) from postings "
               "order by id desc limit 1") == 0 &&
      db.fetch_row() == 0) {
    seqno = static_cast<unsigned>(std::strtoul(text_field(db, 0).c_str(), nullptr, 10)) % 10000;
    link = int64_field(db, 1);
    found = true;
  }
  db.free_result();
  return found;
}

int posting_journal::awaiting_answer() {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  int count = -1;
  if (db.reconnect_if_needed() == 0 &&
      db.query("select count(*) from postings where state='sent'") == 0 && db.fetch_row() == 0)
    db.fetch_int_field(0, count);
  db.free_result();
  return count;
}

bool posting_journal::record(journal_entry& e, bool marked) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0 || db.query(insert_statement(e, marked)) != 0) {
    LOG(L_ERROR, "Unable to record posting P#%s of room %s in the journal; it is not sent",
        e.seqno.c_str(), e.room.c_str());
    return false;
  }
  e.id = last_insert_id(db);
  return true;
}

bool posting_journal::record_cached(journal_entry& e, const std::string& record_text) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0 ||
      !run_together(db, {insert_statement(e, true),
                         "update cdrcache set userfield=" + quoted(record_text) +
                             " where rowid=" + number_text(e.cache_id)})) {
    LOG(L_ERROR, "Unable to record posting P#%s of room %s in the journal; it is not sent",
        e.seqno.c_str(), e.room.c_str());
    return false;
  }
  // The update after the insert leaves the connection's last inserted row as it was.
  e.id = last_insert_id(db);
  return true;
}

void posting_journal::forget(const journal_entry& e) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return;
  std::string drop = "delete from postings where id=" + number_text(e.id);
  if (e.source.empty())
    run_together(db, {drop, "update cdrcache set userfield='' where rowid=" +
                                number_text(e.cache_id)});
  else
    db.query(drop);
}

std::vector<journal_entry> posting_journal::unanswered_elsewhere(int64_t link, std::time_t since) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return {};
  return read_entries(db, std::string("select ") + kEntryColumns +
                              " from postings where state='sent' and link<>" + number_text(link) +
                              " and first_sent>=" + number_text(since) + " order by id");
}

void posting_journal::resent(int64_t id, int64_t link) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return;
  db.query("update postings set link=" + number_text(link) + " where id=" + number_text(id));
}

std::vector<journal_entry> posting_journal::unmarked(const std::string& source) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return {};
  return read_entries(db, std::string("select ") + kEntryColumns +
                              " from postings where marked=0 and source=" + quoted(source) +
                              " order by id");
}

std::vector<std::string> posting_journal::set_marked(const std::vector<int64_t>& ids) {
  std::vector<std::string> answers;
  if (ids.empty()) return answers;
  std::string list;
  for (int64_t id : ids) list += (list.empty() ? "" : ",") + number_text(id);
  dbdriver_t& db = store_.db();
  // Under one hold of the lock, so that an answer settled meanwhile is either seen here or sees
  // the mark (settle_billed): its billok runs exactly once.
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0 ||
      db.query("update postings set marked=1 where id in (" + list + ")") != 0)
    return answers;
  if (db.query("select answer from postings where state='answered' and id in (" + list +
               ") order by id") == 0)
    while (db.fetch_row() == 0) answers.push_back(text_field(db, 0));
  db.free_result();
  return answers;
}

settle_result posting_journal::settle_billed(const std::string& room, const std::string& seqno,
                                             const std::string& answer_text, bool ok) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return settle_result::failed;
  auto [id, row] = find_posting(db, room, seqno, false, "sent");
  if (id == 0)
    return find_posting(db, room, seqno, false, "answered").first != 0 ? settle_result::already
                                                                       : settle_result::unknown;
  if (db.query(settle_statement(id, answer_text, ok)) != 0) return settle_result::failed;
  bool marked = false;
  if (db.query("select marked from postings where id=" + number_text(id)) == 0 &&
      db.fetch_row() == 0)
    marked = int_field(db, 0) != 0;
  db.free_result();
  return marked ? settle_result::settled : settle_result::before_mark;
}

settle_result posting_journal::settle_cached(const std::string& room, const std::string& seqno,
                                             const std::string& answer_text, bool ok,
                                             bool keep_calls) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return settle_result::failed;
  auto [id, row] = find_posting(db, room, seqno, true, "sent");
  if (id == 0) {
    if (find_posting(db, room, seqno, true, "answered").first != 0) return settle_result::already;
    if (!ok) return settle_result::unknown;
    // A row posted before the journal was kept: its userfield holds the posting's text.
    std::string prefix = "PS|P#" + seqno + "|RN" + room + "|";
    if (db.query("select max(rowid) from cdrcache where src=" + quoted(room) +
                 " and substr(userfield, 1, " + std::to_string(prefix.size()) +
                 ")=" + quoted(prefix)) == 0 &&
        db.fetch_row() == 0)
      row = int64_field(db, 0);
    db.free_result();
    if (row == 0) return settle_result::unknown;
  }
  std::string settle_row =
      keep_calls ? "update cdrcache set userfield=" + quoted(answer_text) +
                       " where rowid=" + number_text(row)
                 : "delete from cdrcache where rowid=" + number_text(row);
  LOG(L_DEBUG, "OK query is: %s\n", settle_row.c_str());
  bool done = id == 0 ? db.query(settle_row) == 0
              : ok    ? run_together(db, {settle_statement(id, answer_text, ok), settle_row})
                      : db.query(settle_statement(id, answer_text, ok)) == 0;
  return done ? settle_result::settled : settle_result::failed;
}

std::vector<cached_call> posting_journal::due_cached_calls(const std::string& room) {
  std::vector<cached_call> calls;
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return calls;
  // A userfield of 'NULL' (text) counts as empty, as it always has; the room index serves both.
  if (db.query("select rowid, start, date(start), time(start), dst, billsec from cdrcache "
               "where src=" + quoted(room) + " and userfield in ('', 'NULL') order by rowid") != 0)
    return calls;
  while (db.fetch_row() == 0) {
    cached_call c;
    c.row = int64_field(db, 0);
    c.start = text_field(db, 1);
    c.date = text_field(db, 2);
    c.time = text_field(db, 3);
    c.number = text_field(db, 4);
    c.billsec = int_field(db, 5);
    calls.push_back(std::move(c));
  }
  db.free_result();
  return calls;
}

void posting_journal::prune(std::time_t before) {
  dbdriver_t& db = store_.db();
  std::lock_guard guard(db);
  if (db.reconnect_if_needed() != 0) return;
  db.query("delete from postings where marked=1 and ((state<>'sent' and settled_at<" +
           number_text(before) + ") or first_sent<" + number_text(before) + ")");
}
