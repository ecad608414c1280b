// The posting journal: postings from before they go out until the PMS answers them, and the
// call cache they are taken from.
#include "journal.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "dbdriver.h"
#include "logger.h"

namespace {

// The tables keep the texts they were first created with: a stored file opens as it always has.
constexpr const char* kCreateCdrcache =
    "create table if not exists `cdrcache` ("
    "`accountcode` varchar(20) NOT NULL default '', "
    "`src` varchar(80) NOT NULL default '', "
    "`dst` varchar(80) NOT NULL default '', "
    "`dcontext` varchar(80) NOT NULL default '', "
    "`clid` varchar(80) NOT NULL default '', "
    "`channel` varchar(80) NOT NULL default '', "
    "`dstchannel` varchar(80) NOT NULL default '', "
    "`lastapp` varchar(80) NOT NULL default '', "
    "`lastdata` varchar(80) NOT NULL default '', "
    "`start` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`answer` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`end` datetime NOT NULL default '0000-00-00 00:00:00', "
    "`duration` int(11) NOT NULL default '0', "
    "`billsec` int(11) NOT NULL default '0', "
    "`disposition` varchar(45) NOT NULL default '', "
    "`amaflags` int(11) NOT NULL default '', "
    "`c_from` varchar(80) NOT NULL default '', "
    "`c_to` varchar(80) NOT NULL default '', "
    "`cost` varchar(20) NOT NULL default '', "
    "`callclass` int(11) NOT NULL default '0', "
    "`faxdata` varchar(255) NOT NULL default '', "
    "`userfield` varchar(255) NOT NULL default '', "
    "`uniqueid` varchar(32) NOT NULL default '')";

constexpr const char* kCreateCdrcacheIndex =
    "CREATE INDEX IF NOT EXISTS `idx_cdrcache_c_from_start` ON `cdrcache` (`c_from`,`start`)";

// The poller looks up each room's unposted calls; without this index every pass reads the whole
// cache, which grows with noremovecalls. Created on older files too: an index changes nothing
// that an older daemon reads.
constexpr const char* kCreateCdrcacheRoomIndex =
    "CREATE INDEX IF NOT EXISTS `idx_cdrcache_src_userfield` ON `cdrcache` (`src`,`userfield`)";

// The posting journal: one row per call posting, from before it is sent until the
// PMS answers it. Created on every file that lacks it; an older daemon never reads it.
constexpr const char* kCreatePostings =
    "create table if not exists postings ("
    "id integer primary key, "                  // order of first sending
    "seqno text not null, "                     // P#
    "room text not null, "
    "da text not null, "                        // DA, YYMMDD
    "ti text not null, "                        // TI, HHMMSS
    "billsec integer not null, "                // DU in seconds
    "number text not null, "                    // DD
    "amount integer not null default -1, "      // TA, -1 none
    "source text not null, "                    // '' the call cache, else the poll driver
    "cache_id integer, "                        // cdrcache rowid
    "call_date text, call_time text, "          // the poll row's texts, for billmark
    "link integer not null, "                   // the link it last went out on
    "first_sent integer not null, "             // Unix time
    "marked integer not null default 0, "       // 1 billmark ran (or none is needed), 2 ran
                                                // and changed no row
    "state text not null default 'sent', "      // sent, expired (past re-sending), answered,
                                                // refused
    "answer text, "                             // the PA's text
    "settled_at integer)";

// Post answers look postings up by P# and room, a new link looks for the unanswered ones, and
// each pass for the poll driver's postings whose mark has not run.
constexpr const char* kCreatePostingsIndexes[] = {
    "create index if not exists idx_postings_seqno on postings (seqno, room)",
    "create index if not exists idx_postings_state on postings (state, link)",
    "create index if not exists idx_postings_marked on postings (marked, source)",
};

// A cached call's INSERT; the parameters number the columns of kCdrcacheColumns in order.
constexpr const char* kInsertCall =
    "INSERT INTO cdrcache (clid,src,dst,dcontext,channel,dstchannel,lastapp,lastdata, "
    "start,answer,end,duration,billsec,disposition,amaflags, c_from, c_to, cost,accountcode, "
    "callclass, faxdata,uniqueid,userfield) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
    "?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21,?22,'')";

// Columns added after the table's first release, to files that lack them: the posting's G#, so
// that a posting sent again carries it, and the room of the call when the posting went to another
// room (the guest moved), so that billmark and billok find the call by the room it was made in.
// An older daemon names its columns and never reads them.
constexpr std::pair<const char*, const char*> kAddedPostingsColumns[] = {
    {"select count(*) from pragma_table_info('postings') where name='guest_no'",
     "alter table postings add column guest_no text"},
    {"select count(*) from pragma_table_info('postings') where name='call_room'",
     "alter table postings add column call_room text"},
};

constexpr const char* kInsertPosting =
    "insert into postings (seqno, room, da, ti, billsec, number, amount, source, cache_id, "
    "call_date, call_time, link, first_sent, marked, guest_no, call_room) values "
    "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)";

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

fias_date_t date_of(const std::string& text) {
  auto d = groups(text);
  return {d[0], d[1], d[2], 0};
}

fias_time_t time_of(const std::string& text) {
  auto t = groups(text);
  return {t[0], t[1], t[2], 0};
}

int int_of(int64_t value) { return static_cast<int>(value); }

// Reads the rows of a select of a posting's columns (id, seqno, ... link, guest_no, call_room);
// none when the read fails. The caller holds the lock.
std::vector<journal_entry> read_entries(store_statement& stmt) {
  std::vector<journal_entry> entries;
  while (stmt.next()) {
    journal_entry e;
    e.id = stmt.integer(0);
    e.seqno = stmt.text(1);
    e.room = stmt.text(2);
    e.da = date_of(stmt.text(3));
    e.ti = time_of(stmt.text(4));
    e.billsec = int_of(stmt.integer(5));
    e.number = stmt.text(6);
    e.amount = int_of(stmt.integer(7));
    e.source = stmt.text(8);
    e.cache_id = stmt.integer(9);
    e.call_date = stmt.text(10);
    e.call_time = stmt.text(11);
    e.link = stmt.integer(12);
    e.guest_no = stmt.text(13);
    e.call_room = stmt.text(14);
    if (e.call_room.empty()) e.call_room = e.room;
    entries.push_back(std::move(e));
  }
  if (stmt.result() != 0) entries.clear();
  return entries;
}

// Runs a compiled statement with its values bound by `bind`; false when it cannot be compiled
// or fails (logged).
template <typename Bind>
bool run_statement(internal_store& store, const char* sql, Bind bind) {
  std::unique_ptr<store_statement> stmt = store.prepare(sql);
  if (!stmt) return false;
  bind(*stmt);
  return stmt->run() == 0;
}

bool insert_posting(internal_store& store, const journal_entry& e, bool marked) {
  return run_statement(store, kInsertPosting, [&](store_statement& s) {
    s.bind(1, e.seqno).bind(2, e.room);
    s.bind(3, six_digits(e.da.year, e.da.month, e.da.day));
    s.bind(4, six_digits(e.ti.hour, e.ti.min, e.ti.sec));
    s.bind(5, int64_t{e.billsec}).bind(6, e.number).bind(7, int64_t{e.amount}).bind(8, e.source);
    if (e.cache_id)
      s.bind(9, e.cache_id);
    else
      s.bind_null(9);
    s.bind(10, e.call_date).bind(11, e.call_time).bind(12, e.link);
    s.bind(13, int64_t{std::time(nullptr)}).bind(14, int64_t{marked ? 1 : 0});
    s.bind(15, e.guest_no);
    if (e.call_room.empty() || e.call_room == e.room)
      s.bind_null(16);
    else
      s.bind(16, e.call_room);
  });
}

// Which postings an answer looks for: open ones (sent, or sent and past the re-send window), or
// answered ones.
enum class wanted { open, answered };

// The newest posting of `seqno` and `room`, from the cache or a poll driver, in the state
// wanted; its id and cache row, or an id of 0. The caller holds the lock.
std::pair<int64_t, int64_t> find_posting(internal_store& store, const std::string& room,
                                         const std::string& seqno, bool cached, wanted state) {
  static constexpr const char* kFind[2][2] = {
      {"select id, cache_id from postings where seqno=?1 and room=?2 and source<>'' "
       "and state in ('sent', 'expired') order by id desc limit 1",
       "select id, cache_id from postings where seqno=?1 and room=?2 and source<>'' "
       "and state='answered' order by id desc limit 1"},
      {"select id, cache_id from postings where seqno=?1 and room=?2 and source='' "
       "and state in ('sent', 'expired') order by id desc limit 1",
       "select id, cache_id from postings where seqno=?1 and room=?2 and source='' "
       "and state='answered' order by id desc limit 1"}};
  std::pair<int64_t, int64_t> found{0, 0};
  std::unique_ptr<store_statement> stmt =
      store.prepare(kFind[cached ? 1 : 0][state == wanted::open ? 0 : 1]);
  if (!stmt) return found;
  stmt->bind(1, seqno).bind(2, room);
  if (stmt->next()) found = {stmt->integer(0), stmt->integer(1)};
  return found;
}

bool settle_posting(internal_store& store, int64_t id, const std::string& answer_text, bool ok) {
  return run_statement(
      store, "update postings set state=?1, answer=?2, settled_at=?3 where id=?4",
      [&](store_statement& s) {
        s.bind(1, ok ? "answered" : "refused").bind(2, answer_text);
        s.bind(3, int64_t{std::time(nullptr)}).bind(4, id);
      });
}

}  // namespace

bool posting_journal::create_tables() {
  // The older index goes only with a table created here; the room index goes on every file.
  if (store_.exec("select count(*) from cdrcache") != 0) {
    if (store_.exec(kCreateCdrcache) != 0) return false;
    store_.exec(kCreateCdrcacheIndex);
  }
  store_.exec(kCreateCdrcacheRoomIndex);
  if (store_.exec(kCreatePostings) != 0) return false;
  for (const auto& [probe, add] : kAddedPostingsColumns) {
    std::unique_ptr<store_statement> stmt = store_.prepare(probe);
    if (!stmt || !stmt->next()) return false;
    if (stmt->integer(0) == 0 && store_.exec(add) != 0) return false;
  }
  for (const char* index : kCreatePostingsIndexes) store_.exec(index);
  return true;
}

int posting_journal::cache_call(const cdr_values& call) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return kDbUnavailable;
  std::unique_ptr<store_statement> stmt = store_.prepare(kInsertCall);
  if (!stmt) return -1;
  for (size_t i = 0; i < kCdrcacheColumns.size(); ++i) stmt->bind(static_cast<int>(i + 1), "");
  for (const auto& [column, value] : call) {
    size_t i = 0;
    while (i < kCdrcacheColumns.size() && column != kCdrcacheColumns[i]) ++i;
    if (i == kCdrcacheColumns.size()) {
      LOG(L_ERROR, "The call cache has no column %.*s", static_cast<int>(column.size()),
          column.data());
      return -1;
    }
    stmt->bind(static_cast<int>(i + 1), value);
  }
  LOG(L_DEBUG, "The query is: %s\n", stmt->expanded().c_str());
  return stmt->run();
}

bool posting_journal::last_numbers(unsigned& seqno, int64_t& link) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return false;
  std::unique_ptr<store_statement> stmt = store_.prepare(
      "select seqno, (select max(link) from postings) from postings order by id desc limit 1");
  if (!stmt || !stmt->next()) return false;
  seqno = static_cast<unsigned>(std::strtoul(stmt->text(0).c_str(), nullptr, 10)) % 10000;
  link = stmt->integer(1);
  return true;
}

int posting_journal::awaiting_answer() {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return -1;
  std::unique_ptr<store_statement> stmt =
      store_.prepare("select count(*) from postings where state in ('sent', 'expired')");
  return stmt && stmt->next() ? int_of(stmt->integer(0)) : -1;
}

bool posting_journal::record(journal_entry& e, bool marked) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0 || !insert_posting(store_, e, marked)) {
    LOG(L_ERROR, "Unable to record posting P#%s of room %s in the journal; it is not sent",
        e.seqno.c_str(), e.room.c_str());
    return false;
  }
  e.id = store_.last_insert_id();
  return true;
}

bool posting_journal::record_cached(journal_entry& e, const std::string& record_text) {
  std::lock_guard guard(store_);
  int64_t id = 0;
  if (store_.connect() != 0 || !store_.together([&] {
        if (!insert_posting(store_, e, true)) return false;
        id = store_.last_insert_id();
        return run_statement(store_, "update cdrcache set userfield=?1 where rowid=?2",
                             [&](store_statement& s) {
                               s.bind(1, record_text).bind(2, e.cache_id);
                             });
      })) {
    LOG(L_ERROR, "Unable to record posting P#%s of room %s in the journal; it is not sent",
        e.seqno.c_str(), e.room.c_str());
    return false;
  }
  e.id = id;
  return true;
}

void posting_journal::forget(const journal_entry& e) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return;
  auto drop = [&] {
    return run_statement(store_, "delete from postings where id=?1",
                         [&](store_statement& s) { s.bind(1, e.id); });
  };
  if (!e.source.empty()) {
    drop();
    return;
  }
  store_.together([&] {
    return drop() && run_statement(store_, "update cdrcache set userfield='' where rowid=?1",
                                   [&](store_statement& s) { s.bind(1, e.cache_id); });
  });
}

std::vector<journal_entry> posting_journal::unanswered_elsewhere(int64_t link, std::time_t since) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return {};
  std::unique_ptr<store_statement> stmt = store_.prepare(
      "select id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, "
      "call_time, link, guest_no, call_room from postings where state='sent' and link<>?1 and "
      "first_sent>=?2 order by id");
  if (!stmt) return {};
  stmt->bind(1, link).bind(2, int64_t{since});
  return read_entries(*stmt);
}

void posting_journal::resent(const journal_entry& e, int64_t link) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return;
  run_statement(store_, "update postings set link=?1, room=?2, call_room=?3 where id=?4",
                [&](store_statement& s) {
                  s.bind(1, link).bind(2, e.room).bind(3, e.call_room).bind(4, e.id);
                });
}

std::vector<journal_entry> posting_journal::unmarked(const std::string& source) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return {};
  std::unique_ptr<store_statement> stmt =
      store_.prepare(
      "select id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, "
      "call_time, link, guest_no, call_room from postings where marked=0 and source=?1 "
      "order by id");
  if (!stmt) return {};
  stmt->bind(1, source);
  return read_entries(*stmt);
}

std::vector<journal_entry> posting_journal::unmatched(const std::string& source) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return {};
  std::unique_ptr<store_statement> stmt = store_.prepare(
      "select id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, "
      "call_time, link, guest_no, call_room from postings where marked=2 and source=?1 "
      "order by id");
  if (!stmt) return {};
  stmt->bind(1, source);
  return read_entries(*stmt);
}

std::vector<posting_ref> posting_journal::set_marked(const std::vector<int64_t>& ids,
                                                     bool matched) {
  std::vector<posting_ref> due;
  if (ids.empty()) return due;
  // Under one hold of the lock, so that an answer settled meanwhile is either seen here or sees
  // the mark (settle_billed): its billok runs exactly once.
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return due;
  bool noted = store_.together([&] {
    for (int64_t id : ids) {
      if (!run_statement(store_, "update postings set marked=?1 where id=?2",
                         [&](store_statement& s) {
                           s.bind(1, int64_t{matched ? 1 : 2}).bind(2, id);
                         }))
        return false;
      std::unique_ptr<store_statement> answered = store_.prepare(
          "select coalesce(call_room, room), seqno, da, ti from postings where id=?1 and "
          "state='answered'");
      if (!answered) return false;
      answered->bind(1, id);
      if (answered->next())
        due.push_back({answered->text(0), answered->text(1), date_of(answered->text(2)),
                       time_of(answered->text(3))});
      if (answered->result() != 0) return false;
    }
    return true;
  });
  if (!noted) due.clear();
  return due;
}

settle_result posting_journal::settle_billed(const std::string& room, const std::string& seqno,
                                             const std::string& answer_text, bool ok,
                                             posting_ref& posting) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return settle_result::failed;
  auto [id, row] = find_posting(store_, room, seqno, false, wanted::open);
  if (id == 0)
    return find_posting(store_, room, seqno, false, wanted::answered).first != 0
               ? settle_result::already
               : settle_result::unknown;
  if (!settle_posting(store_, id, answer_text, ok)) return settle_result::failed;
  std::unique_ptr<store_statement> stmt =
      store_.prepare("select marked, coalesce(call_room, room), seqno, da, ti from postings "
                     "where id=?1");
  if (!stmt) return settle_result::before_mark;
  stmt->bind(1, id);
  if (!stmt->next()) return settle_result::before_mark;
  posting = {stmt->text(1), stmt->text(2), date_of(stmt->text(3)), time_of(stmt->text(4))};
  return stmt->integer(0) != 0 ? settle_result::settled : settle_result::before_mark;
}

settle_result posting_journal::settle_cached(const std::string& room, const std::string& seqno,
                                             const std::string& answer_text, bool ok,
                                             bool keep_calls) {
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return settle_result::failed;
  // Plain variables, not a structured binding: the lambdas below capture them.
  const auto found = find_posting(store_, room, seqno, true, wanted::open);
  const int64_t id = found.first;
  int64_t row = found.second;
  if (id == 0) {
    if (find_posting(store_, room, seqno, true, wanted::answered).first != 0)
      return settle_result::already;
    if (!ok) return settle_result::unknown;
    // A row posted before the journal was kept: its userfield holds the posting's text.
    std::string prefix = "PS|P#" + seqno + "|RN" + room + "|";
    std::unique_ptr<store_statement> legacy = store_.prepare(
        "select max(rowid) from cdrcache where src=?1 and substr(userfield, 1, ?2)=?3");
    if (legacy) {
      legacy->bind(1, room).bind(2, static_cast<int64_t>(prefix.size())).bind(3, prefix);
      if (legacy->next()) row = legacy->integer(0);
    }
    if (row == 0) return settle_result::unknown;
  }
  auto settle_row = [&] {
    std::unique_ptr<store_statement> stmt =
        keep_calls ? store_.prepare("update cdrcache set userfield=?1 where rowid=?2")
                   : store_.prepare("delete from cdrcache where rowid=?1");
    if (!stmt) return false;
    if (keep_calls)
      stmt->bind(1, answer_text).bind(2, row);
    else
      stmt->bind(1, row);
    LOG(L_DEBUG, "OK query is: %s\n", stmt->expanded().c_str());
    return stmt->run() == 0;
  };
  bool done = id == 0 ? settle_row()
              : ok    ? store_.together([&] {
                       return settle_posting(store_, id, answer_text, ok) && settle_row();
                     })
                      : settle_posting(store_, id, answer_text, ok);
  return done ? settle_result::settled : settle_result::failed;
}

std::vector<cached_call> posting_journal::due_cached_calls(const std::string& room) {
  std::vector<cached_call> calls;
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return calls;
  // A userfield of 'NULL' (text) counts as empty, as it always has; the room index serves both.
  std::unique_ptr<store_statement> stmt = store_.prepare(
      "select rowid, start, date(start), time(start), dst, billsec from cdrcache "
      "where src=?1 and userfield in ('', 'NULL') order by rowid");
  if (!stmt) return calls;
  stmt->bind(1, room);
  while (stmt->next()) {
    cached_call c;
    c.row = stmt->integer(0);
    c.start = stmt->text(1);
    c.date = stmt->text(2);
    c.time = stmt->text(3);
    c.number = stmt->text(4);
    // Read as every integer column always was: "010" is 8.
    c.billsec = db_text_to_int(stmt->text(5).c_str());
    calls.push_back(std::move(c));
  }
  if (stmt->result() != 0) calls.clear();
  return calls;
}

std::vector<journal_entry> posting_journal::expire(std::time_t before) {
  std::vector<journal_entry> expired;
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return expired;
  bool noted = store_.together([&] {
    std::unique_ptr<store_statement> stmt = store_.prepare(
        "select id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, "
        "call_time, link, guest_no, call_room from postings where state='sent' and "
        "first_sent<?1 order by id");
    if (!stmt) return false;
    stmt->bind(1, int64_t{before});
    expired = read_entries(*stmt);
    if (stmt->result() != 0) return false;
    return run_statement(store_, "update postings set state='expired' where state='sent' and "
                                 "first_sent<?1",
                         [&](store_statement& s) { s.bind(1, int64_t{before}); });
  });
  if (!noted) expired.clear();
  return expired;
}

std::vector<journal_entry> posting_journal::prune(std::time_t before) {
  std::vector<journal_entry> unanswered;
  std::lock_guard guard(store_);
  if (store_.connect() != 0) return unanswered;
  bool pruned = store_.together([&] {
    std::unique_ptr<store_statement> stmt = store_.prepare(
        "select id, seqno, room, da, ti, billsec, number, amount, source, cache_id, call_date, "
        "call_time, link, guest_no, call_room from postings where marked=1 and state in "
        "('sent', 'expired') and first_sent<?1 order by id");
    if (!stmt) return false;
    stmt->bind(1, int64_t{before});
    unanswered = read_entries(*stmt);
    if (stmt->result() != 0) return false;
    return run_statement(store_,
                         "delete from postings where marked=1 and ((state<>'sent' and "
                         "settled_at<?1) or first_sent<?1)",
                         [&](store_statement& s) { s.bind(1, int64_t{before}); });
  });
  if (!pruned) unanswered.clear();
  return unanswered;
}
