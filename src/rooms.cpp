// Rooms at start-up: the registry filled from the room keys of the settings or from a directory.
#include "rooms.h"

#include <ldap.h>
#include <strings.h>

#include <sys/time.h>

#include <memory>
#include <string>
#include <string_view>

#include "logger.h"

namespace {

// Registers one room read by a loader. Empty values are refused: the PMS never sends an empty
// room number, so one here is a mistake in the file or the directory.
int register_loaded_room(internal_store& store, std::string_view room, const char* where) {
  if (room.empty()) {
    LOG(L_WARNING, "Empty room number in %s skipped", where);
    return 0;
  }
  return store.register_room(room);
}

int load_rooms_list(internal_store& store, const rooms_settings& rooms) {
  int result = 0;
  for (const rooms_settings::room_key& entry : rooms.list) {
    int rc = register_loaded_room(store, entry.room, entry.key.c_str());
    if (rc == -1) return -1;  // no store: the rooms that follow cannot be kept either
    if (rc != 0) result = -1;
  }
  return result;
}

struct ldap_unbinder {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct ldap_message_freer {
  void operator()(LDAPMessage* msg) const { ldap_msgfree(msg); }
};
struct ldap_values_freer {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};

// The text of a setting for the directory library, which takes null for "not given".
const char* c_str_or_null(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

// The URI list ldap_initialize takes, from the host forms the directory library accepts: host
// names separated by spaces, each optionally with ":port" (or a full ldap:// URI); an IPv6
// address needs brackets in a URI.
std::string ldap_uris(std::string_view rest, int port) {
  std::string uris;
  while (!rest.empty()) {
    size_t begin = rest.find_first_not_of(" \t,");
    if (begin == std::string_view::npos) break;
    size_t end = rest.find_first_of(" \t,", begin);
    std::string host(rest.substr(begin, end == std::string_view::npos ? end : end - begin));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    std::string uri;
    if (host.find("://") != std::string::npos) {
      uri = host;
    } else if (host.starts_with('[')) {
      uri = "ldap://" + host + (host.find("]:") == std::string::npos ? ":" + std::to_string(port) : "");
    } else if (size_t colon = host.find(':'); colon == std::string::npos) {
      uri = "ldap://" + host + ":" + std::to_string(port);
    } else if (host.find(':', colon + 1) == std::string::npos) {
      uri = "ldap://" + host;  // host:port
    } else {
      uri = "ldap://[" + host + "]:" + std::to_string(port);  // a bare IPv6 address
    }
    if (!uris.empty()) uris += ' ';
    uris += uri;
  }
  return uris.empty() ? "ldap://:" + std::to_string(port) : uris;
}

// Scope words are compared by their beginning and case-sensitively; anything else is a subtree.
int ldap_scope(std::string_view word) {
  if (word.starts_with("sub")) return LDAP_SCOPE_SUBTREE;
  if (word.starts_with("base")) return LDAP_SCOPE_BASE;
  if (word.starts_with("one")) return LDAP_SCOPE_ONELEVEL;
  return LDAP_SCOPE_SUBTREE;
}

}  // namespace

int load_rooms_conf(internal_store& store, const rooms_settings& rooms, const ldap_limits& limits) {
  if (rooms.type.empty()) return load_rooms_list(store, rooms);
  if (strncasecmp(rooms.type.c_str(), "ldap", 4) == 0) {
    if (load_rooms_ldap(store, rooms.ldap, limits) == 0) return 0;
    LOG(L_ERROR, "LDAP rooms load failure\n");
    return -1;
  }
  LOG(L_WARNING, "Unknown rooms:type %s; no rooms loaded", rooms.type.c_str());
  return 0;
}

int load_rooms_ldap(internal_store& store, const rooms_ldap_settings& ldap,
                    const ldap_limits& limits) {
  const std::string host = ldap.host.value_or("");
  LDAP* raw_ld = nullptr;
  if (ldap_initialize(&raw_ld, ldap_uris(host, ldap.port).c_str()) != LDAP_SUCCESS || !raw_ld) {
    LOG(L_WARNING, "LDAPget: unable to initialize ldap connection to %s:%d\n", host.c_str(),
        ldap.port);
    return -1;
  }
  std::unique_ptr<LDAP, ldap_unbinder> ld(raw_ld);
  int version = ldap.version;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  // A directory that accepts the connection and never answers must not hold start-up: the
  // connection, the bind and the search each get a bound.
  timeval network{limits.network_timeout_s, 0};
  timeval operation{limits.search_timeout_s, 0};
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &network);
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &operation);

  // The bind's credentials point into `ldap`, which outlives the call.
  berval credentials{};
  if (ldap.user && ldap.pass) {
    credentials.bv_val = const_cast<char*>(ldap.pass->c_str());
    credentials.bv_len = ldap.pass->size();
  }
  int rc = ldap_sasl_bind_s(ld.get(), c_str_or_null(ldap.user), LDAP_SASL_SIMPLE, &credentials,
                            nullptr, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    LOG(L_WARNING, "LDAPget: bind failed: %s\n", ldap_err2string(rc));
    return -2;
  }

  LDAPMessage* raw_result = nullptr;
  rc = ldap_search_ext_s(ld.get(), c_str_or_null(ldap.base), ldap_scope(ldap.scope.value_or("")),
                         c_str_or_null(ldap.filter), nullptr, 0, nullptr, nullptr, &operation,
                         LDAP_NO_LIMIT, &raw_result);
  std::unique_ptr<LDAPMessage, ldap_message_freer> result(raw_result);
  if (rc != LDAP_SUCCESS) {
    LOG(L_DEBUG, "LDAPget: search failed: %s\n", ldap_err2string(rc));
    return -3;
  }
  LDAPMessage* entry = ldap_first_entry(ld.get(), result.get());
  if (!entry) {
    LOG(L_WARNING, "LDAPget: Value not found in directory.\n");
    return -4;
  }
  if (!ldap.attribute) return -5;
  const char* attribute = ldap.attribute->c_str();
  std::unique_ptr<berval*, ldap_values_freer> values(
      ldap_get_values_len(ld.get(), entry, attribute));
  if (!values || ldap_count_values_len(values.get()) == 0) return -5;

  for (berval** value = values.get(); *value; ++value) {
    std::string_view room((*value)->bv_val, (*value)->bv_len);
    // Without the store no room can be kept; a success code here would hide that.
    if (register_loaded_room(store, room, attribute) == -1) return -6;
  }
  return 0;
}
