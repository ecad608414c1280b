// FIAS records and their text codec: the record-type table, fields, parsing, rendering. No sockets.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Type of a field's value; decides which member of fias_value_t holds it and how it is written.
enum fias_field_type_t : uint8_t {
  FIAS_FIELD_STR = 0,       // text as it is
  FIAS_FIELD_INT = 1,       // decimal integer
  FIAS_FIELD_DATE = 2,      // YYMMDD
  FIAS_FIELD_TIME = 3,      // HHMMSS, a time of day
  FIAS_FIELD_BOOL = 4,      // "Y" or "N"
  FIAS_FIELD_DURATION = 5,  // HHMMSS with hours up to 99; held in the `time` member
};

// Record codes. The table below lists PA before PS although PA's code is higher.
enum fias_packet_code_t {
  FIAS_UNKNOWN = 0,
  FIAS_LS = 1,
  FIAS_LA = 2,
  FIAS_LD = 3,
  FIAS_LR = 4,
  FIAS_DR = 5,
  FIAS_GI = 6,
  FIAS_GO = 7,
  FIAS_RE = 8,
  FIAS_WC = 9,
  FIAS_WR = 10,
  FIAS_WA = 11,
  FIAS_PS = 12,
  FIAS_PA = 13,
  FIAS_LE = 14,  // Link end: read from the PMS, never announced in the link records
  FIAS_GC = 15,
  FIAS_DS = 16,
  FIAS_DE = 17,
};

// The records and fields the link start-up announces. `basic` is the exchange a PMS configured for
// this system's first record set expects, byte for byte: no guest change, no database swap, no
// reservation number or swap flag on check-in and check-out, no message light, no reservation
// number on postings. `full` announces those too. Parsing knows every record whatever the set.
enum class fias_record_set : uint8_t { basic = 0, full = 1 };

struct fias_date_t {
  uint8_t year = 0;  // two-digit year, 0 to 99
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t reserve = 0;
};

struct fias_time_t {
  uint8_t hour = 0;
  uint8_t min = 0;
  uint8_t sec = 0;
  uint8_t reserve = 0;
};

// A field's value. For a text field `str` is the value; for the typed fields `str` holds the text
// written by the last rendering, or nothing.
struct fias_value_t {
  std::optional<std::string> str;
  uint32_t ival = 0;  // parsed and rendered as a signed 32-bit number
  int bval = 0;       // any non-zero value is true
  fias_date_t date;
  fias_time_t time;
  // False when the parsed text is not a value of the field's type; the members above then hold
  // what could be read of it, which must not be acted on. See fias_parse_packet.
  bool valid = true;
};

// One field slot of a record. `value` is empty when the record carries no such field.
struct fias_field_t {
  char name[3] = "";  // two-letter name ("RN", "P#"); empty beyond the record type's fields
  uint8_t type = FIAS_FIELD_STR;
  fias_record_set set = fias_record_set::basic;  // the first record set that announces the field
  std::optional<fias_value_t> value;
};

// The most fields a record type has (a posting's).
inline constexpr int FIAS_MAX_FIELDS = 11;

// One record: its type (id, code, description, field layout) and its field values.
struct fias_packet_t {
  char packet[3] = "";      // record id, e.g. "GI"
  int packet_code = FIAS_UNKNOWN;
  const char* desc = "";    // e.g. "Guest checkin"; static text of the record-type table
  int num_fields = 0;       // the first num_fields slots are the type's fields
  fias_record_set set = fias_record_set::basic;  // the first record set that announces the type
  std::array<fias_field_t, FIAS_MAX_FIELDS> fields{};
};

using fias_packet_ptr = std::unique_ptr<fias_packet_t>;

// The record types this system knows, in the order lookups scan them and the link start-up
// announces them, closed by an entry with num_fields 0 (empty id, code FIAS_UNKNOWN).
//
// Fields of note: RN is a room; GC (guest change) carries RO, the room a guest moved out of, when
// it is a room move (RN being the room moved into), and without RO changes the guest data of RN.
// G# is the reservation number. SF, the swap flag, marks a check-in or check-out sent during a
// database swap (DS ... DE, asked for by DR); it has no value ("SF|"), so it is a text field whose
// presence is the flag. ML is the message light, Y or N.
inline constexpr int FIAS_NUM_PACKET_TYPES = 17;
extern const std::array<fias_packet_t, FIAS_NUM_PACKET_TYPES + 1> fias_packets;

// ---- Records and codec ----

// The link records ("LR|RIGI|FLRNGNGLGS|") of `set`: one per record type that the set announces,
// skipping the link records' own types (LS, LA, LD, LR, LE), in table order, each listing the
// fields the set announces in table order.
std::vector<std::string> fias_link_records(fias_record_set set);

// The set a configuration names: "basic" or "full" (any case); nothing for another text.
std::optional<fias_record_set> fias_record_set_named(std::string_view name);

// A new, empty record of the type with code `type`; null for FIAS_UNKNOWN or an unknown code.
fias_packet_ptr fias_create_packet(int type);

// Gives the field named `field` (any case) a copy of `val`: when `val.str` is set, the copy keeps
// only that text and zero typed members; otherwise it keeps the typed members and no text.
// Bytes that a value cannot carry ('|', which would start another field, and every control byte
// below 0x20 or 0x7f, STX and ETX among them) are removed from the text, with a WARNING that
// names the record and the field and shows the value with those bytes as \xNN; the field is set
// all the same, so that a call with an odd dialled number is still posted.
// 0 when set; -1 (logged, record unchanged) when the record type has no such field.
int fias_set_packet_field(fias_packet_t* p, const char* field, const fias_value_t& val);

// Typed setters on top of fias_set_packet_field; same results.
int fias_set_field_str(fias_packet_t* p, const char* field, std::string_view text);
int fias_set_field_int(fias_packet_t* p, const char* field, int32_t number);
int fias_set_field_bool(fias_packet_t* p, const char* field, bool flag);
int fias_set_field_date(fias_packet_t* p, const char* field, fias_date_t date);
int fias_set_field_time(fias_packet_t* p, const char* field, fias_time_t time);

// Date and time of a broken-down calendar time (two-digit year), and a duration in seconds as
// hours, minutes and seconds.
fias_date_t fias_date_from_tm(const std::tm& tm);
fias_time_t fias_time_from_tm(const std::tm& tm);
fias_time_t fias_time_from_seconds(long seconds);

// The slot named `field` (exact case) when it has a value; null otherwise or for null arguments.
fias_field_t* fias_get_field(fias_packet_t* p, const char* field);

// The record as text ("GI|RN101|GNGuest|"). Brings the `str` of every typed value up to date as a
// side effect, so the record changes. Empty for a null record.
std::string fias_packet_to_str(fias_packet_t* p);

// The record in `line` (no framing), or null when `line` is null or its id is unknown. The text
// ends after `len` characters or at a NUL, whichever comes first (a negative `len`: at the NUL).
// A present field's value is marked not valid when its text is not, for its type:
//   INT       a plain decimal number: an optional '-' and digits, within 32 bits ("08" is 8;
//             "", "X", "0x1", " 7" are not valid); the number read is decimal in any case;
//   DATE      YYMMDD, a day that exists (month 1-12; 29 February in years divisible by four,
//             the two-digit year meaning 2000 to 2099);
//   TIME      HHMMSS, hour below 24, minute and second below 60;
//   DURATION  HHMMSS, minute and second below 60;
//   BOOL      exactly "Y" or "N" (anything else reads as false, or true when it starts with 'Y');
//   RN, RO    (any record) a room number as fias_room_number_ok accepts it.
fias_packet_ptr fias_parse_packet(const char* line, int len);

// Whether `room` can be a room number: 1 to 16 characters, each an ASCII letter or digit or one
// of the separators '-', '.', '_' and '/'. Nothing else reaches a statement as a room.
bool fias_room_number_ok(std::string_view room);

// The name of the first present field of `p` (in the record type's order) whose value is not
// valid, pointing into the record; null when every present field is valid or `p` is null.
const char* fias_invalid_field(const fias_packet_t* p);

// Releases a record early; the pointer is null afterwards.
void fias_free_packet(fias_packet_ptr& p);

// The start of a record's text for a log line: at most 64 characters, control bytes (NUL among
// them) written as \xNN, "..." marking a cut.
std::string fias_record_excerpt(std::string_view text);

// `text` in the code page `charset` (an iconv name: "ISO-8859-1", "CP1252" ...) converted to
// UTF-8; nothing when the text is not in that code page or the code page is unknown. Many PMSs
// send a single-byte code page, and a UTF-8 database in strict mode refuses its bytes.
std::optional<std::string> fias_text_to_utf8(std::string_view text, const std::string& charset);
