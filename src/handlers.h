// What each PMS request does: registry updates and the administrator's SQL on the PBX database.
#pragma once

#include "fias.h"

// Each handler logs what it received, keeps the room registry up to date where the request is
// about occupancy, and runs its service template. The record stays with the caller.
void do_checkin(fias_packet_t* p);       // GI: register the room, run services:checkin
void do_checkout(fias_packet_t* p);      // GO: remove the room, run services:checkout
void do_room_equip(fias_packet_t* p);    // RE: barring (CS) first, then do-not-disturb (DN)
void do_wakeup_set(fias_packet_t* p);    // WR: services:wakeup_set
void do_wakeup_clear(fias_packet_t* p);  // WC: services:wakeup_clear
void do_pa(fias_packet_t* p);            // PA: settle a posted call
