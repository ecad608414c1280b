// Rooms at start-up: the registry filled from the [rooms] settings, a list of keys or a directory.
#pragma once

#include "config.h"
#include "store.h"

// Time limits of a directory look-up: connecting, and the search itself.
struct ldap_limits {
  int network_timeout_s = 5;
  int search_timeout_s = 10;
};

// Fills the registry from the [rooms] settings: the keys rooms:room1, rooms:room2 and so on, or
// a directory when rooms:type begins with "ldap" (any case); another type loads nothing and says
// so. 0 when the registry was loaded as configured, -1 when something failed; every failure is
// logged and start-up goes on.
int load_rooms_conf(internal_store& store, const rooms_settings& rooms,
                    const ldap_limits& limits = {});

// Registers the values of `ldap.attribute` in the first entry that a search of `ldap.base` with
// `ldap.scope` ("sub...", "base...", "one...", anything else a subtree) and `ldap.filter` finds.
// `ldap.host` is the directory library's host form: one or more host names separated by spaces,
// each optionally with ":port" (`ldap.port` applies to those without). No `ldap.user` (or no
// `ldap.pass`) binds anonymously; `limits` bounds the waits on our side. 0 on success; -1 the
// directory connection cannot be set up, -2 the bind fails (or times out), -3 the search fails
// (or times out), -4 no entry found, -5 the entry has no value of the attribute, -6 the store
// could not be opened.
int load_rooms_ldap(internal_store& store, const rooms_ldap_settings& ldap,
                    const ldap_limits& limits = {});
