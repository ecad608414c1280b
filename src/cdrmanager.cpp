// Manager thread: turns Cdr events of guest rooms into rows of the internal call cache.
#include "cdrmanager.h"

#include <signal.h>
#include <strings.h>

#include <array>
#include <utility>

#include "config.h"
#include "logger.h"
#include "sqlite.h"

namespace {

// Columns of the call cache and the Cdr headers they are filled from, in statement order.
constexpr std::array<std::pair<const char*, const char*>, 22> kCdrColumns = {{
    {"clid", "CallerID"},
    {"src", "Source"},
    {"dst", "Destination"},
    {"dcontext", "DestinationContext"},
    {"channel", "Channel"},
    {"dstchannel", "DestinationChannel"},
    {"lastapp", "LastApplication"},
    {"lastdata", "LastData"},
    {"start", "StartTime"},
    {"answer", "AnswerTime"},
    {"end", "EndTime"},
    {"duration", "Duration"},
    {"billsec", "BillableSeconds"},
    {"disposition", "Disposition"},
    {"amaflags", "AMAFlags"},
    {"c_from", "From"},
    {"c_to", "To"},
    {"cost", "Cost"},
    {"accountcode", "AccountCode"},
    {"callclass", "CallClass"},
    {"faxdata", "FaxData"},
    {"uniqueid", "UniqueID"},
}};

// The INSERT of one call. Values are escaped, so a caller name such as "O'Brien" <101> is cached
// rather than failing the statement, and the statement is never cut.
std::string cache_insert(const message& m) {
  std::string q =
      "INSERT INTO cdrcache (clid,src,dst,dcontext,channel,dstchannel,lastapp,lastdata, "
      "start,answer,end,duration,billsec,disposition,amaflags, c_from, c_to, cost,accountcode, "
      "callclass, faxdata,uniqueid,userfield) VALUES (";
  for (size_t i = 0; i < kCdrColumns.size(); ++i) {
    if (i > 0) q += i >= 21 ? "," : ", ";
    q += '\'';
    q += sql_escape(dbkind::sqlite, mgr_get_header(m, kCdrColumns[i].second));
    q += '\'';
  }
  q += ",'')";
  return q;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

int mgr_cache_cdr(const message& m, room_list& rooms) {
  std::string q = cache_insert(m);
  LOG(L_DEBUG, "The query is: %s\n", q.c_str());
  std::string hdr(mgr_get_header(m, "Source"));

  bool present = false;
  for (int attempt = 0; attempt < 2 && !present; ++attempt) {
    // A room checked in after the list was read must not have its calls turned away.
    if (attempt == 1 && rooms.refresh() == 0) break;
    if (rooms.rooms.empty()) continue;
    for (const std::string& room : rooms.rooms) {
      LOG(L_DEBUG, "TESTING '%s' ?= '%s'\n", hdr.c_str(), room.c_str());
      if (hdr == room) {
        LOG(L_DEBUG, "'%s' matches '%s'\n", hdr.c_str(), room.c_str());
        present = true;
        break;
      }
    }
  }
  if (rooms.rooms.empty()) {
    LOG(L_ERROR, "No rooms or empty list iterator\n");
    return 0;
  }
  if (!present) return 0;

  LOG(L_DEBUG, "sending cache insert query");
  std::lock_guard guard(sqliteint);
  if (sqliteint.query(q) != 0) {
    std::string dst(mgr_get_header(m, "Destination")), start(mgr_get_header(m, "StartTime"));
    LOG(L_ERROR, "Unable to cache the call of %s to %s at %s", hdr.c_str(), dst.c_str(),
        start.c_str());
  }
  return 0;
}

int cdrmanager_start(cdrmanager_state& st) {
  auto s = settings();
  const char* host = s->mgr_host ? s->mgr_host->c_str() : "";
  const char* user = s->mgr_user ? s->mgr_user->c_str() : "";
  const char* pass = s->mgr_passwd ? s->mgr_passwd->c_str() : "";
  LOG(L_DEBUG, "1 %s %d %s %s", host, s->mgr_port, user, mgr_secret_mask);

  {
    std::lock_guard guard(sqliteint);
    sqliteint.reconnect_if_needed();
    if (sqliteint.is_connected() != 0) {
      LOG(L_ERROR, "Unable to open states file %s", s->statesfile.c_str());
      return -1;
    }
  }
  st.rooms.refresh();
  for (const std::string& room : st.rooms.rooms)
    LOG(L_DEBUG, "Adding cdrmanager rooms room %s\n", room.c_str());

  if (mgr_init(st.mans, host, static_cast<uint16_t>(s->mgr_port), user, pass) < 0) {
    LOG(L_ERROR, "Error initiating manager. exiting manager thread");
    return -1;
  }
  char address[64];
  st.iabuf = mgr_inet_ntoa(address, sizeof address, st.mans.sin.sin_addr) ? address : host;
  LOG(L_DEBUG, "2");
  mgr_login(st.mans);
  LOG(L_DEBUG, "3");
  // Writes to a manager that has gone away must fail, not end the daemon.
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

int cdrmanager_step(cdrmanager_state& st) {
  st.m.clear();
  if (mgr_read(st.mans, st.m) < 0) {
    LOG(L_ERROR, "%s: Not connected", st.iabuf.c_str());
    return mgr_login(st.mans) != 0 ? -1 : 0;
  }
  for (int i = 0; i < st.m.hdrcount; ++i)
    LOG(L_DEBUG, "%s got: %s", st.iabuf.c_str(), st.m.headers[static_cast<size_t>(i)].c_str());
  if (st.mans.connected != 0) {
    if (equals_ignoring_case(mgr_get_header(st.m, "Event"), "Cdr")) mgr_cache_cdr(st.m, st.rooms);
    return 0;
  }
  std::string_view answer = mgr_get_header(st.m, "Message");
  if (answer == "Authentication accepted") {
    st.mans.connected = 1;
    LOG(L_DEBUG, "%s: connected successfully!", st.iabuf.c_str());
  }
  if (answer == "Authentication failed") st.mans.connected = -1;
  return 0;
}

void cdrmanager_thread() {
  auto st = std::make_unique<cdrmanager_state>();
  if (cdrmanager_start(*st) < 0) return;
  while (cdrmanager_step(*st) == 0) {
  }
}
