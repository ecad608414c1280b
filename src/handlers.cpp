// PMS request handlers: each runs the administrator's template for its kind of request.
#include "handlers.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "config.h"
#include "dbdriver.h"
#include "journal.h"
#include "logger.h"
#include "query.h"
#include "stays.h"

namespace {

// The record fields a service template may use; unset ones stay null.
struct template_fields {
  fias_field_t* rn = nullptr;
  fias_field_t* old = nullptr;  // RO of a room move
  fias_field_t* name = nullptr;
  fias_field_t* lang = nullptr;
  fias_field_t* shared = nullptr;
  fias_field_t* date = nullptr;
  fias_field_t* time = nullptr;
  fias_field_t* seq = nullptr;
};

// The record's fields as a template's values; a date or time as the record holds it.
query_values values_of(const template_fields& f) {
  auto text = [](const fias_field_t* field) {
    return field && field->value && field->value->str ? *field->value->str : std::string();
  };
  query_values v{text(f.rn), text(f.name), text(f.lang), text(f.seq)};
  v.oldexten = text(f.old);
  v.share = f.shared && f.shared->value ? f.shared->value->bval : 0;
  if (f.date && f.date->value) {
    std::tm& tm = v.date.emplace();
    tm.tm_year = f.date->value->date.year + 100;
    tm.tm_mon = f.date->value->date.month - 1;
    tm.tm_mday = f.date->value->date.day;
  }
  if (f.time && f.time->value) {
    std::tm& tm = v.time.emplace();
    tm.tm_hour = f.time->value->time.hour;
    tm.tm_min = f.time->value->time.min;
    tm.tm_sec = f.time->value->time.sec;
  }
  return v;
}

// Runs one service: split the setting, find its driver, and under the driver's lock reconnect
// when the connection must be made again, fill the template (values are escaped the way the live
// connection reads them) and run it. Statement failures are logged by the driver; a statement
// the driver refused as more than one is named here by its key. A database that is busy or out
// of reach (the connection cannot be made, or the statement reports it) is tried again while the
// context's retries allow, with the driver's lock released during each pause.
void run_service(const request_context& ctx, const char* key,
                 const std::optional<std::string>& setting, const template_fields& f) {
  if (!setting) return;
  service_value sv = split_service_value(*setting);
  std::shared_ptr<dbdriver_t> drv = ctx.settings.driver(sv.driver);
  if (!drv) {
    LOG(L_ERROR, "Unable to find DB driver %s", sv.driver.c_str());
    return;
  }
  for (;;) {
    int rc;
    {
      std::lock_guard guard(*drv);
      if (drv->reconnect_if_needed() != 0) {
        rc = kDbUnavailable;
      } else {
        std::string statement = prepare_query(*drv, sv.sql, values_of(f));
        rc = drv->query(statement);
        if (rc == -1)
          if (std::string why = drv->last_error(); !why.empty())
            LOG(L_ERROR, "services:%s: %s", key, why.c_str());
      }
    }
    if (rc == -2)
      LOG(L_ERROR, "services:%s holds more than one statement; nothing of it was run", key);
    if (rc != kDbUnavailable || !ctx.retry || !ctx.retry->again()) return;
  }
}

// A request whose room number, date or time cannot be what it claims is refused whole: a room
// number reaches statements (an administrator may well leave it unquoted for an integer column),
// and a date such as 991399 would reach the PBX as "99 ? 2099".
bool refused(fias_packet_t* p) {
  static constexpr std::pair<const char*, const char*> kChecked[] = {
      {"RN", "room number"}, {"RO", "room number"}, {"DA", "date"}, {"TI", "time"}};
  for (const auto& [field, what] : kChecked) {
    fias_field_t* f = fias_get_field(p, field);
    if (!f || f->value->valid) continue;
    LOG(L_ERROR, "Record refused, nothing of it applied: %s is not a valid %s in %s", field, what,
        fias_packet_to_str(p).c_str());
    return true;
  }
  return false;
}

// Logs the handler's headline and its room; null when the record has no room number or is
// refused.
fias_field_t* headline_and_room(fias_packet_t* p, const char* headline) {
  LOG(L_NOTICE, "%s", headline);
  fias_field_t* rn = fias_get_field(p, "RN");
  if (!rn) {
    LOG(L_ERROR, "No room number");
    return nullptr;
  }
  LOG(L_NOTICE, "\tRoom number: %s", rn->value->str.value_or("").c_str());
  return refused(p) ? nullptr : rn;
}

// The guest fields of GI and GO, logged in the order name, language, shared.
template_fields guest_fields(fias_packet_t* p, fias_field_t* rn) {
  template_fields f;
  f.rn = rn;
  f.lang = fias_get_field(p, "GL");
  f.name = fias_get_field(p, "GN");
  f.shared = fias_get_field(p, "GS");
  if (f.name) LOG(L_NOTICE, "\tName: %s", f.name->value->str.value_or("").c_str());
  if (f.lang) LOG(L_NOTICE, "\tLanguage: %s", f.lang->value->str.value_or("").c_str());
  if (f.shared) LOG(L_NOTICE, "\tShared: %d", f.shared->value->bval);
  return f;
}

// Looks up DA and TI and logs them as the wake-up and post-answer handlers do.
void date_and_time(fias_packet_t* p, template_fields& f) {
  f.date = fias_get_field(p, "DA");
  f.time = fias_get_field(p, "TI");
  if (f.date) {
    const fias_date_t& d = f.date->value->date;
    LOG(L_NOTICE, "\tDate: %02d-%02d-%02d", d.year, d.month, d.day);
  }
  if (f.time) {
    const fias_time_t& t = f.time->value->time;
    LOG(L_NOTICE, "\tTime: %02d:%02d:%02d", t.hour, t.min, t.sec);
  }
}

std::string room_of(const fias_field_t* rn) { return rn->value->str.value_or(""); }

// A field that holds `text`, for a template filled with values the record does not carry.
fias_field_t text_field(const std::string& text) {
  fias_field_t f;
  f.value.emplace().str = text;
  return f;
}

// The text of the record's field `name`; empty when the record has none.
std::string text_of(fias_packet_t* p, const char* name) {
  fias_field_t* f = fias_get_field(p, name);
  return f && f->value ? f->value->str.value_or("") : std::string();
}

// Whether the guest of a GI is the one the stay holds: by G# when both have one, else by name.
bool same_guest(const stay& s, const std::string& guest_no, const std::string& name) {
  if (!s.guest_no.empty() && !guest_no.empty()) return s.guest_no == guest_no;
  return s.name == name;
}

bool registered(internal_store& store, const std::string& room) {
  for (const std::string& r : store.rooms())
    if (r == room) return true;
  return false;
}

// A GI or GO with SF: counted by the swap running, else logged as applied outside one.
void swap_record(const request_context& ctx, fias_packet_t* p, const std::string& room) {
  if (!ctx.swap || !ctx.swap->saw(room))
    LOG(L_NOTICE, "Swap record outside a database swap, applied as the room's state: %s",
        fias_packet_to_str(p).c_str());
}

// Checks out the guest of `room` that the record does not name (a swap's): registry, stay, and
// services:checkout with the guest's stored name and language.
void check_out_stay(const request_context& ctx, const std::string& room, const stay* guest) {
  if (ctx.store.remove_room(room) == -1) return;
  ctx.store.stays().close(room);
  fias_field_t rn = text_field(room), name = text_field(guest ? guest->name : ""),
               lang = text_field(guest ? guest->lang : "");
  template_fields f;
  f.rn = &rn;
  f.name = &name;
  f.lang = &lang;
  run_service(ctx, "checkout", ctx.settings.checkout, f);
}

// Settles a posted call in the call cache by its posting: the row is deleted, or kept with the
// answer's text.
// Settles an answer in the journal. A states file that cannot be written just now (a full disk,
// another writer's lock) is tried again as a busy PBX database is, so that the PMS's answer is
// not lost: its posting would otherwise stay open and go out again on the next link.
template <typename Settle>
settle_result settle_retrying(const request_context& ctx, Settle settle) {
  settle_result result = settle();
  while (result == settle_result::failed && ctx.retry && ctx.retry->again()) result = settle();
  return result;
}

// A wake-up order or its cancellation: the room, the date and the time go to the template.
void wakeup_request(const request_context& ctx, fias_packet_t* p, const char* headline,
                    const char* key, std::optional<std::string> Settings::*service) {
  fias_field_t* rn = headline_and_room(p, headline);
  if (!rn) return;
  template_fields f;
  f.rn = rn;
  date_and_time(p, f);
  run_service(ctx, key, ctx.settings.*service, f);
}

}  // namespace

void do_checkin(const request_context& ctx, fias_packet_t* p) {
  fias_field_t* rn = headline_and_room(p, "Checkin");
  if (!rn) return;
  template_fields f = guest_fields(p, rn);
  const std::string room = room_of(rn);
  const std::string guest_no = text_of(p, "G#"), name = text_of(p, "GN"), lang = text_of(p, "GL");
  stay_book& stays = ctx.store.stays();
  if (fias_get_field(p, "SF")) {
    swap_record(ctx, p, room);
    std::optional<stay> in_room = stays.current(room);
    // The check-in template would clear what the guest set up (a wake-up, do-not-disturb).
    if (in_room && same_guest(*in_room, guest_no, name)) {
      LOG(L_NOTICE, "\tGuest already checked in; nothing to do");
      // What the record carries replaces what the stay knows; what it leaves out is kept.
      const std::string new_name = fias_get_field(p, "GN") ? name : in_room->name;
      const std::string new_lang = fias_get_field(p, "GL") ? lang : in_room->lang;
      if (new_name != in_room->name || new_lang != in_room->lang ||
          (!guest_no.empty() && guest_no != in_room->guest_no))
        stays.update(room, guest_no, new_name, new_lang);
      return;
    }
    if (in_room) {
      LOG(L_NOTICE, "\tAnother guest is in the room; checked out first");
      check_out_stay(ctx, room, &*in_room);
    }
  }
  if (ctx.store.register_room(room) == -1) return;  // the store could not be opened
  stays.open(room, guest_no, name, lang);
  run_service(ctx, "checkin", ctx.settings.checkin, f);
}

void do_checkout(const request_context& ctx, fias_packet_t* p) {
  fias_field_t* rn = headline_and_room(p, "Checkout");
  if (!rn) return;
  template_fields f = guest_fields(p, rn);
  const std::string room = room_of(rn);
  if (fias_get_field(p, "SF")) {
    swap_record(ctx, p, room);
    // A room registered before the stays were kept has no stay and is checked out all the same.
    if (!ctx.store.stays().current(room) && !registered(ctx.store, room)) {
      LOG(L_NOTICE, "\tNo guest checked in; nothing to do");
      return;
    }
  }
  if (ctx.store.remove_room(room) == -1) return;
  ctx.store.stays().close(room);
  run_service(ctx, "checkout", ctx.settings.checkout, f);
}

void do_guest_change(const request_context& ctx, fias_packet_t* p) {
  fias_field_t* rn = headline_and_room(p, "Guest change");
  if (!rn) return;
  template_fields f = guest_fields(p, rn);
  const std::string room = room_of(rn);
  std::optional<std::string> old;
  if (fias_field_t* ro = fias_get_field(p, "RO")) {
    LOG(L_NOTICE, "\tOld room number: %s", room_of(ro).c_str());
    if (room_of(ro) != room) old = room_of(ro);
  }
  stay_book& stays = ctx.store.stays();
  // A change sends what changed: the rest of the guest's data is the stay's.
  std::optional<stay> known = stays.current(old ? *old : room);
  auto pick = [&](const char* field, std::string stay::*member) {
    if (fias_get_field(p, field)) return text_of(p, field);
    return known ? (*known).*member : std::string();
  };
  const std::string guest_no = pick("G#", &stay::guest_no), name = pick("GN", &stay::name),
                    lang = pick("GL", &stay::lang);
  fias_field_t name_field = text_field(name), lang_field = text_field(lang);
  f.name = &name_field;
  f.lang = &lang_field;
  if (!old) {
    if (!stays.update(room, guest_no, name, lang) && !known) stays.open(room, guest_no, name, lang);
    const bool own = ctx.settings.guestchange.has_value();
    run_service(ctx, own ? "guestchange" : "checkin",
                own ? ctx.settings.guestchange : ctx.settings.checkin, f);
    return;
  }
  // The PBX's wake-ups are not known here: one set for the old room is the PMS's to send again.
  LOG(L_NOTICE, "\tRoom move from %s to %s: a wake-up of room %s is not carried over",
      old->c_str(), room.c_str(), old->c_str());
  if (ctx.store.remove_room(*old) == -1 || ctx.store.register_room(room) == -1) return;
  if (!stays.move(*old, room)) stays.open(room, guest_no, name, lang);
  else stays.update(room, guest_no, name, lang);
  fias_field_t old_field = text_field(*old);
  if (ctx.settings.roommove) {
    f.old = &old_field;
    run_service(ctx, "roommove", ctx.settings.roommove, f);
    return;
  }
  template_fields leaving = f;
  leaving.rn = &old_field;
  run_service(ctx, "checkout", ctx.settings.checkout, leaving);
  run_service(ctx, "checkin", ctx.settings.checkin, f);
}

void do_swap_start(const request_context& ctx, fias_packet_t*) {
  if (!ctx.swap) {
    LOG(L_WARNING, "Database swap record ignored: no swap is kept");
    return;
  }
  if (ctx.swap->start())
    LOG(L_NOTICE, "Database swap started again; the rooms seen so far are forgotten");
  else
    LOG(L_NOTICE, "Database swap started");
}

void do_swap_end(const request_context& ctx, fias_packet_t*) {
  if (!ctx.swap) {
    LOG(L_WARNING, "Database swap record ignored: no swap is kept");
    return;
  }
  std::optional<std::set<std::string>> seen = ctx.swap->finish();
  if (!seen) {
    LOG(L_WARNING, "Database swap end without a swap running; no room checked out");
    return;
  }
  size_t missing = 0;
  std::vector<std::string> rooms = ctx.store.rooms();
  std::sort(rooms.begin(), rooms.end());  // checked out in an order the log can be read by
  for (const std::string& room : rooms) {
    if (seen->count(room)) continue;
    ++missing;
    if (!ctx.settings.swap_checkout) {
      LOG(L_NOTICE, "Database swap: room %s got no record; left checked in", room.c_str());
      continue;
    }
    LOG(L_NOTICE, "Database swap: room %s got no record; checked out", room.c_str());
    std::optional<stay> guest = ctx.store.stays().current(room);
    check_out_stay(ctx, room, guest ? &*guest : nullptr);
  }
  LOG(L_NOTICE, "Database swap ended: %zu rooms named, %zu registered rooms not named",
      seen->size(), missing);
}

void do_room_equip(const request_context& ctx, fias_packet_t* p) {
  fias_field_t* rn = headline_and_room(p, "Room equipment request");
  if (!rn) return;
  const Settings& s = ctx.settings;
  template_fields f;
  f.rn = rn;
  // Barring changes only on a decimal number (0 bars, any other clears), do-not-disturb only on
  // Y or N: an empty or odd value read as 0 would bar the phone of a guest who asked for nothing.
  fias_field_t* cs = fias_get_field(p, "CS");
  if (cs && !cs->value->valid) {
    LOG(L_WARNING, "Class of service ignored, not a decimal number: %s", fias_packet_to_str(p).c_str());
    cs = nullptr;
  }
  fias_field_t* dn = fias_get_field(p, "DN");
  if (dn && !dn->value->valid) {
    LOG(L_WARNING, "Do-not-disturb ignored, neither Y nor N: %s", fias_packet_to_str(p).c_str());
    dn = nullptr;
  }
  fias_field_t* ml = fias_get_field(p, "ML");
  if (ml && !ml->value->valid) {
    LOG(L_WARNING, "Message light ignored, neither Y nor N: %s", fias_packet_to_str(p).c_str());
    ml = nullptr;
  }
  if (cs) {
    bool barred = static_cast<int32_t>(cs->value->ival) == 0;
    LOG(L_NOTICE, barred ? "Phone bar on" : "Phone bar off");
    run_service(ctx, barred ? "bareon" : "bareoff", barred ? s.bareon : s.bareoff, f);
  }
  if (dn) {
    bool dnd = dn->value->bval != 0;
    LOG(L_NOTICE, dnd ? "Phone DND on" : "Phone DND off");
    run_service(ctx, dnd ? "dndon" : "dndoff", dnd ? s.dndon : s.dndoff, f);
  }
  if (ml) {
    bool on = ml->value->bval != 0;
    LOG(L_NOTICE, on ? "Message light on" : "Message light off");
    run_service(ctx, on ? "msglighton" : "msglightoff", on ? s.msglighton : s.msglightoff, f);
  }
}

void do_wakeup_set(const request_context& ctx, fias_packet_t* p) {
  wakeup_request(ctx, p, "Wakeup set", "wakeup_set", &Settings::wakeup_set);
}

void do_wakeup_clear(const request_context& ctx, fias_packet_t* p) {
  wakeup_request(ctx, p, "Wakeup clear", "wakeup_clear", &Settings::wakeup_clear);
}

void do_pa(const request_context& ctx, fias_packet_t* p) {
  fias_field_t* rn = headline_and_room(p, "Posting answer");
  if (!rn) return;
  template_fields f;
  f.rn = rn;
  date_and_time(p, f);
  f.seq = fias_get_field(p, "P#");
  if (!f.seq) {
    LOG(L_NOTICE, "\tAnswer not contains p#\n");
    return;
  }
  const std::string room = room_of(rn);
  // The poller numbers its postings with four digits; a PMS that echoes P#7 for P#0007 means it.
  std::string seqno = f.seq->value->str.value_or("");
  if (!seqno.empty() && seqno.size() < 4 &&
      seqno.find_first_not_of("0123456789") == std::string::npos)
    seqno.insert(0, 4 - seqno.size(), '0');
  const std::string answer_text = fias_packet_to_str(p);
  posting_journal& journal = ctx.journal;
  // An answer that is missing cannot be judged, and is treated as not OK.
  fias_field_t* as = fias_get_field(p, "AS");
  std::string answer = as ? as->value->str.value_or("") : "";
  if (as) LOG(L_NOTICE, "\tAnswer is: %s", answer.c_str());
  if (answer.size() < 2 || strncasecmp(answer.c_str(), "OK", 2) != 0) {
    LOG(L_WARNING, "Non-OK answer on Post call. Please check");
    // Settled all the same: a refused posting is not sent again on a new link.
    posting_ref posting;
    settle_retrying(ctx, [&] {
      return ctx.settings.use_manager ? journal.settle_cached(room, seqno, answer_text, false, false)
                                      : journal.settle_billed(room, seqno, answer_text, false, posting);
    });
    return;
  }
  if (ctx.settings.use_manager) {
    if (settle_retrying(ctx, [&] {
          return journal.settle_cached(room, seqno, answer_text, true,
                                       ctx.settings.noremovecalls != 0);
        }) == settle_result::already)
      LOG(L_NOTICE, "\tPosting %s was settled by an earlier answer", seqno.c_str());
    return;
  }
  // billok comes after the call's mark: an answer that overtook the mark leaves it to the poller.
  // billok is filled with the posting's room, P#, date and time: a template that finds the call
  // by what the mark wrote ('PS %seqno%') must see P#0007 where the answer spelled P#7. A posting
  // the journal does not know (sent before it was kept, or long ago) is settled as the answer
  // says, with its P# in four digits.
  posting_ref posting;
  switch (settle_retrying(ctx, [&] {
    return journal.settle_billed(room, seqno, answer_text, true, posting);
  })) {
    case settle_result::before_mark:
      LOG(L_NOTICE, "\tPosting %s is not marked yet; billok runs after its mark", seqno.c_str());
      return;
    case settle_result::already:
      LOG(L_NOTICE, "\tPosting %s was settled by an earlier answer", seqno.c_str());
      return;
    case settle_result::settled:
      run_billok(ctx, posting);
      return;
    default: {
      fias_field_t four_digits;
      four_digits.value.emplace().str = seqno;
      f.seq = &four_digits;
      run_service(ctx, "billok", ctx.settings.billok, f);
    }
  }
}

void run_billok(const request_context& ctx, const posting_ref& posting) {
  // The posting's values as the fields of a record, which is what the template filler reads.
  fias_field_t rn = text_field(posting.room), seq = text_field(posting.seqno), date, time;
  date.value.emplace().date = posting.da;
  time.value.emplace().time = posting.ti;
  template_fields f;
  f.rn = &rn;
  f.date = &date;
  f.time = &time;
  f.seq = &seq;
  run_service(ctx, "billok", ctx.settings.billok, f);
}

bool database_swap::start(clock::time_point now) {
  std::lock_guard guard(lock_);
  bool again = running_;
  running_ = true;
  last_ = now;
  seen_.clear();
  return again;
}

bool database_swap::saw(std::string_view room, clock::time_point now) {
  std::lock_guard guard(lock_);
  if (!running_) return false;
  seen_.emplace(room);
  last_ = now;
  return true;
}

std::optional<std::set<std::string>> database_swap::finish() {
  std::lock_guard guard(lock_);
  if (!running_) return std::nullopt;
  running_ = false;
  std::set<std::string> seen;
  seen.swap(seen_);
  return seen;
}

bool database_swap::expire(clock::duration limit, clock::time_point now) {
  std::lock_guard guard(lock_);
  if (!running_ || now - last_ < limit) return false;
  running_ = false;
  seen_.clear();
  LOG(L_WARNING, "Database swap not ended by the PMS within %lld seconds of its last record; "
      "no room checked out",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
  return true;
}
