// The posting journal: every call posting from before it goes out until the PMS answers it, and
// the call cache's rows as postings claim and settle them.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fias.h"
#include "store.h"

// One posting (PS) as the journal keeps it: the record's fields, where the call came from, and
// the link it last went out on.
struct journal_entry {
  int64_t id = 0;  // the journal's own number; postings are sent again in its order
  std::string seqno;  // P#, four digits
  std::string room;
  fias_date_t da;
  fias_time_t ti;
  int billsec = 0;     // DU
  std::string number;  // DD, as the PBX gave it
  int amount = -1;     // TA; -1: none (PT T)
  // Where the call came from: the call cache (empty source, with the cache row's id), or the
  // poll driver of services:billcalls with the date and time texts its query returned, which
  // services:billmark is filled with.
  std::string source;
  int64_t cache_id = 0;
  std::string call_date;
  std::string call_time;
  int64_t link = 0;  // the link (see posting_journal::last_link) it last went out on
  std::string guest_no;   // G# of the stay the call is charged to; empty when the PMS sent none
  std::string call_room;  // the room the call was made in; empty or `room` unless the guest moved
};

// A call in the cache that has not been posted yet, with the row's own id.
struct cached_call {
  int64_t row = 0;
  std::string start;  // as stored
  std::string date;   // date(start), empty when SQLite cannot read start as a date
  std::string time;   // time(start), likewise
  std::string number;
  int billsec = 0;
};

// What a post answer found in the journal.
enum class settle_result {
  settled,        // the posting is settled now (billok may run: its call is marked)
  before_mark,    // settled, but its call is not marked yet: billok runs after the mark
  already,        // the posting had been settled by an earlier answer
  unknown,        // no posting of that P# and room in the journal
  failed,         // the store could not be read or written (logged)
};

// What services:billok is filled with: the room the call was made in (the posting's own room
// unless the guest moved since), the posting's P#, date and time, whatever spelling the answer
// used.
struct posting_ref {
  std::string room;
  std::string seqno;
  fias_date_t da;
  fias_time_t ti;
};

// One call for the cache: the value of each column by its name ("src", "dst", "billsec", ...).
// The columns are those of kCdrcacheColumns; one not given is cached as empty text.
using cdr_values = std::vector<std::pair<std::string_view, std::string>>;

// The columns of the call cache that a cached call fills.
inline constexpr std::array<const char*, 22> kCdrcacheColumns = {
    "clid",     "src",     "dst",   "dcontext",    "channel",     "dstchannel",
    "lastapp",  "lastdata", "start", "answer",     "end",         "duration",
    "billsec",  "disposition", "amaflags", "c_from", "c_to",      "cost",
    "accountcode", "callclass", "faxdata", "uniqueid"};

// The journal lives in the internal store (tables `postings` and `cdrcache`); this is the one
// place that holds SQL on them. Each call takes the store's lock for its own statements only,
// never across a send or a statement on the PBX.
class posting_journal {
 public:
  explicit posting_journal(internal_store& store) : store_(store) {}

  // Creates the tables `cdrcache` and `postings` with their indexes where they are missing; the
  // store's open calls it with the store's lock held. False when they can be neither read nor
  // created.
  bool create_tables();
  // Writes a call into the cache: 0 cached; kDbUnavailable the store cannot take it now (busy,
  // full, out of reach) and may later; -1 the store refuses it for good (logged).
  int cache_call(const cdr_values& call);

  // The P# of the last posting recorded and the highest link number used; false (both left as
  // they are) when the journal is empty or cannot be read.
  bool last_numbers(unsigned& seqno, int64_t& link);

  // Records a posting of the PBX database before it is sent, marked already when there is no
  // mark to run; sets e.id. False (logged) when it cannot be recorded: it is then not sent.
  bool record(journal_entry& e, bool marked);
  // Records a posting of the call cache before it is sent and, in the same transaction, marks its
  // cache row with the record's text; sets e.id. False (logged) when it cannot be recorded.
  bool record_cached(journal_entry& e, const std::string& record_text);
  // Forgets a posting whose send failed (it never reached the PMS); a cache row is unmarked.
  void forget(const journal_entry& e);

  // Postings not answered that last went out on another link than `link`, first sent at or after
  // `since`, oldest first.
  std::vector<journal_entry> unanswered_elsewhere(int64_t link, std::time_t since);
  // Notes that posting `e` went out again on `link`, to its room (and from its call's room) as
  // it was sent: the room follows a guest who moved.
  void resent(const journal_entry& e, int64_t link);

  // Postings from poll driver `source` whose billmark has not run yet, oldest first.
  std::vector<journal_entry> unmarked(const std::string& source);
  // Postings from poll driver `source` whose billmark ran and changed no row: their calls still
  // look unposted in the PBX and are not posted again.
  std::vector<journal_entry> unmatched(const std::string& source);
  // Notes that the marks of postings `ids` ran (`matched` false: and changed no row). The
  // postings whose OK answer came before their mark: their billok is now due.
  std::vector<posting_ref> set_marked(const std::vector<int64_t>& ids, bool matched = true);

  // A post answer (`answer_text`, AS OK or not) for posting `seqno` of `room` from the PBX
  // database path: settles the newest open posting of that P# and room, and gives its room,
  // P#, date and time through `posting` when the journal knows it.
  settle_result settle_billed(const std::string& room, const std::string& seqno,
                              const std::string& answer_text, bool ok, posting_ref& posting);
  // The same for the call cache: an OK answer deletes the posting's cache row, or with
  // `keep_calls` writes the answer's text into its userfield. A row posted before the journal
  // existed is found by its userfield, which begins with the posting's "PS|P#nnnn|RN<room>|".
  settle_result settle_cached(const std::string& room, const std::string& seqno,
                              const std::string& answer_text, bool ok, bool keep_calls);

  // The calls of `room` in the cache that were not posted yet, in the order they were cached.
  std::vector<cached_call> due_cached_calls(const std::string& room);

  // Postings sent and not answered yet (-1 when the store cannot be read), for the status line.
  int awaiting_answer();
  // Postings first sent before `before` and not answered: they are not sent again from now on
  // (an answer still settles them). Each is returned once, for billing by hand.
  std::vector<journal_entry> expire(std::time_t before);
  // Drops postings settled before `before`, and postings first sent before `before` that are
  // marked; a posting whose mark has not run (or changed no row) is kept. The postings dropped
  // without an answer, for billing by hand.
  std::vector<journal_entry> prune(std::time_t before);

 private:
  internal_store& store_;
};
