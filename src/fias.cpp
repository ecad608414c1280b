// FIAS records and their text codec.
#include "fias.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

#include "logger.h"

namespace {

struct field_spec {
  const char* name;
  fias_field_type_t type;
  fias_record_set set = fias_record_set::basic;
};

// One entry of the record-type table, with no values.
constexpr fias_packet_t packet_type(const char* id, int code, const char* desc,
                                    std::initializer_list<field_spec> fields,
                                    fias_record_set set = fias_record_set::basic) {
  fias_packet_t p;
  p.packet[0] = id[0];
  p.packet[1] = id[0] ? id[1] : '\0';
  p.packet_code = code;
  p.desc = desc;
  p.num_fields = static_cast<int>(fields.size());
  p.set = set;
  int i = 0;
  for (const field_spec& f : fields) {
    p.fields[i].name[0] = f.name[0];
    p.fields[i].name[1] = f.name[1];
    p.fields[i].type = f.type;
    p.fields[i].set = f.set;
    ++i;
  }
  return p;
}

constexpr auto S = FIAS_FIELD_STR;
constexpr auto I = FIAS_FIELD_INT;
constexpr auto D = FIAS_FIELD_DATE;
constexpr auto T = FIAS_FIELD_TIME;
constexpr auto B = FIAS_FIELD_BOOL;
constexpr auto U = FIAS_FIELD_DURATION;
constexpr auto full = fias_record_set::full;

}  // namespace

constinit const std::array<fias_packet_t, FIAS_NUM_PACKET_TYPES + 1> fias_packets = {
    packet_type("LS", FIAS_LS, "Link start", {{"DA", D}, {"TI", T}}),
    packet_type("LA", FIAS_LA, "Link active", {{"DA", D}, {"TI", T}}),
    packet_type("LD", FIAS_LD, "Link description", {{"DA", D}, {"TI", T}, {"V#", S}, {"IF", S}}),
    packet_type("LR", FIAS_LR, "Link record", {{"RI", S}, {"FL", S}}),
    packet_type("LE", FIAS_LE, "Link end", {{"DA", D}, {"TI", T}}),
    packet_type("DR", FIAS_DR, "Description record", {{"DA", D}, {"TI", T}}),
    packet_type("GI", FIAS_GI, "Guest checkin",
                {{"RN", S}, {"GN", S}, {"GL", S}, {"GS", B}, {"G#", S, full}, {"SF", S, full}}),
    packet_type("GO", FIAS_GO, "Guest checkout",
                {{"RN", S}, {"GN", S}, {"GL", S}, {"GS", B}, {"G#", S, full}, {"SF", S, full}}),
    packet_type("RE", FIAS_RE, "Room equipment",
                {{"RN", S}, {"RS", S}, {"CS", I}, {"DN", B}, {"ML", B, full}}),
    packet_type("WC", FIAS_WC, "Wakeup clear", {{"RN", S}, {"DA", D}, {"TI", T}}),
    packet_type("WR", FIAS_WR, "Wakeup record", {{"RN", S}, {"DA", D}, {"TI", T}}),
    packet_type("WA", FIAS_WA, "Wakeup answer", {{"RN", S}, {"DA", D}, {"TI", T}, {"AS", S}}),
    packet_type("PA", FIAS_PA, "Post answer",
                {{"AS", S}, {"RN", S}, {"P#", S}, {"DA", D}, {"TI", T}}),
    packet_type("PS", FIAS_PS, "Post simple",
                {{"P#", S}, {"RN", S}, {"PT", S}, {"TA", I}, {"DA", D}, {"TI", T}, {"DU", U},
                 {"DD", S}, {"PC", S}, {"CT", S}, {"G#", S, full}}),
    // The records of the full set come last, so that the basic set's link records keep their order.
    packet_type("GC", FIAS_GC, "Guest change",
                {{"RN", S}, {"RO", S}, {"G#", S}, {"GN", S}, {"GF", S}, {"GT", S}, {"GL", S},
                 {"GV", S}, {"GS", B}},
                full),
    packet_type("DS", FIAS_DS, "Database resync start", {{"DA", D}, {"TI", T}}, full),
    packet_type("DE", FIAS_DE, "Database resync end", {{"DA", D}, {"TI", T}}, full),
    packet_type("", FIAS_UNKNOWN, "", {}),
};

namespace {

// The first record type, scanning from the top to the terminator, that `matches` accepts.
template <typename Visit>
const fias_packet_t* find_type(Visit matches) {
  for (const fias_packet_t& entry : fias_packets) {
    if (entry.num_fields == 0) break;
    if (matches(entry)) return &entry;
  }
  return nullptr;
}

// A two-digit decimal group of a date or time text; stops at the first non-digit.
uint8_t two_digits(std::string_view text) {
  unsigned n = 0;
  for (char c : text.substr(0, 2)) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return static_cast<uint8_t>(n);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view text) { return std::all_of(text.begin(), text.end(), is_digit); }

// A decimal integer, saturated to 32 bits. Always decimal: with base detection a class of service
// "08" read as 0 (an invalid octal digit), and 0 bars the phone. `valid` tells whether the text
// was a plain number that fits.
int32_t decimal_value(std::string_view text, bool& valid) {
  std::string copy(text);
  long long n = std::strtoll(copy.c_str(), nullptr, 10);
  std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  valid = !digits.empty() && all_digits(digits) && n >= INT32_MIN && n <= INT32_MAX;
  return static_cast<int32_t>(std::clamp<long long>(n, INT32_MIN, INT32_MAX));
}

// Whether the day exists; the two-digit year is one of 2000 to 2099, where every fourth is a leap
// year.
bool real_date(const fias_date_t& d) {
  static constexpr uint8_t days_in_month[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.month < 1 || d.month > 12 || d.day < 1) return false;
  if (d.month == 2 && d.year % 4 != 0) return d.day <= 28;
  return d.day <= days_in_month[d.month - 1];
}

// The three two-digit groups of a YYMMDD or HHMMSS text; zero unless the text has six characters.
std::array<uint8_t, 3> three_groups(std::string_view text) {
  if (text.size() != 6) return {0, 0, 0};
  return {two_digits(text.substr(0)), two_digits(text.substr(2)), two_digits(text.substr(4))};
}

// The value of a field parsed from its text, marked not valid when the text is not a value of the
// type (see fias_parse_packet).
fias_value_t parse_value(uint8_t type, std::string_view text) {
  fias_value_t v;
  const bool six_digits = text.size() == 6 && all_digits(text);
  switch (type) {
    case FIAS_FIELD_INT:
      v.ival = static_cast<uint32_t>(decimal_value(text, v.valid));
      break;
    case FIAS_FIELD_DATE: {
      // Only the full YYMMDD form is read; anything else is a present but zero date.
      auto [year, month, day] = three_groups(text);
      v.date = {year, month, day, 0};
      v.valid = six_digits && real_date(v.date);
      break;
    }
    case FIAS_FIELD_TIME:
    case FIAS_FIELD_DURATION: {
      auto [hour, min, sec] = three_groups(text);
      v.time = {hour, min, sec, 0};
      v.valid = six_digits && min < 60 && sec < 60 && (type == FIAS_FIELD_DURATION || hour < 24);
      break;
    }
    case FIAS_FIELD_BOOL:
      v.bval = !text.empty() && text[0] == 'Y';
      v.valid = text == "Y" || text == "N";
      break;
    default:
      v.str = std::string(text);
      break;
  }
  return v;
}

// Whether a value can carry this byte: a bar would start another field and a control byte (STX
// and ETX among them) would break the framing or the PMS's reading of the record.
bool value_cannot_carry(char c) {
  const auto u = static_cast<unsigned char>(c);
  return c == '|' || u < 0x20 || u == 0x7f;
}

bool is_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

// `text` for a log line, with the bytes that `shown_as_code` picks written as \xNN.
template <typename Pick>
std::string escaped(std::string_view text, Pick shown_as_code) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!shown_as_code(c)) {
      out += c;
      continue;
    }
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
    out += code;
  }
  return out;
}

// `text` without the bytes a value cannot carry; a WARNING shows what was removed.
std::string carried_text(const fias_packet_t& p, const fias_field_t& slot,
                         const std::string& text) {
  std::string kept;
  std::remove_copy_if(text.begin(), text.end(), std::back_inserter(kept), value_cannot_carry);
  if (kept.size() != text.size()) {
    const size_t removed = text.size() - kept.size();
    LOG(L_WARNING, "Removed %zu byte%s that FIAS cannot carry from field %s of record %s: %s",
        removed, removed == 1 ? "" : "s", slot.name, p.packet,
        escaped(text, value_cannot_carry).c_str());
  }
  return kept;
}

// The text form of a typed value; text fields keep what they have.
void refresh_text(const fias_field_t& f, fias_value_t& v) {
  char buf[16];
  switch (f.type) {
    case FIAS_FIELD_INT:
      std::snprintf(buf, sizeof buf, "%d", static_cast<int32_t>(v.ival));
      break;
    case FIAS_FIELD_DATE:
      std::snprintf(buf, sizeof buf, "%02u%02u%02u", v.date.year, v.date.month, v.date.day);
      break;
    case FIAS_FIELD_TIME:
    case FIAS_FIELD_DURATION:
      std::snprintf(buf, sizeof buf, "%02u%02u%02u", v.time.hour, v.time.min, v.time.sec);
      break;
    case FIAS_FIELD_BOOL:
      std::snprintf(buf, sizeof buf, "%s", v.bval ? "Y" : "N");
      break;
    default:
      return;
  }
  v.str = buf;
}

}  // namespace

fias_packet_ptr fias_create_packet(int type) {
  const fias_packet_t* entry =
      find_type([type](const fias_packet_t& e) { return e.packet_code == type; });
  if (!entry) return nullptr;
  return std::make_unique<fias_packet_t>(*entry);
}

int fias_set_packet_field(fias_packet_t* p, const char* field, const fias_value_t& val) {
  if (!p || !field) return -1;
  fias_field_t* slot = nullptr;
  for (int i = 0; i < p->num_fields; ++i)
    if (strcasecmp(p->fields[i].name, field) == 0) slot = &p->fields[i];
  if (!slot) {
    LOG(L_WARNING, "Record %s has no field %s; value not set", p->packet, field);
    return -1;
  }
  fias_value_t copy;
  copy.valid = val.valid;
  if (val.str) {
    copy.str = carried_text(*p, *slot, *val.str);
  } else {
    copy.ival = val.ival;
    copy.bval = val.bval;
    copy.date = val.date;
    copy.time = val.time;
  }
  slot->value = std::move(copy);
  return 0;
}

int fias_set_field_str(fias_packet_t* p, const char* field, std::string_view text) {
  fias_value_t v;
  v.str = std::string(text);
  return fias_set_packet_field(p, field, v);
}

int fias_set_field_int(fias_packet_t* p, const char* field, int32_t number) {
  fias_value_t v;
  v.ival = static_cast<uint32_t>(number);
  return fias_set_packet_field(p, field, v);
}

int fias_set_field_bool(fias_packet_t* p, const char* field, bool flag) {
  fias_value_t v;
  v.bval = flag ? 1 : 0;
  return fias_set_packet_field(p, field, v);
}

int fias_set_field_date(fias_packet_t* p, const char* field, fias_date_t date) {
  fias_value_t v;
  v.date = date;
  return fias_set_packet_field(p, field, v);
}

int fias_set_field_time(fias_packet_t* p, const char* field, fias_time_t time) {
  fias_value_t v;
  v.time = time;
  return fias_set_packet_field(p, field, v);
}

fias_date_t fias_date_from_tm(const std::tm& tm) {
  // Modulo rather than "less 100", so that the year keeps two digits in any century.
  int year = tm.tm_year % 100;
  if (year < 0) year += 100;
  return {static_cast<uint8_t>(year), static_cast<uint8_t>(tm.tm_mon + 1),
          static_cast<uint8_t>(tm.tm_mday), 0};
}

fias_time_t fias_time_from_tm(const std::tm& tm) {
  return {static_cast<uint8_t>(tm.tm_hour), static_cast<uint8_t>(tm.tm_min),
          static_cast<uint8_t>(tm.tm_sec), 0};
}

fias_time_t fias_time_from_seconds(long seconds) {
  // The wire form has two digits of hours; a longer (or negative) duration is held at the bound
  // rather than written with a third digit that would shift every following character.
  seconds = std::clamp(seconds, 0L, 99L * 3600 + 59 * 60 + 59);
  return {static_cast<uint8_t>(seconds / 3600), static_cast<uint8_t>(seconds % 3600 / 60),
          static_cast<uint8_t>(seconds % 60), 0};
}

fias_field_t* fias_get_field(fias_packet_t* p, const char* field) {
  if (!p || !field) return nullptr;
  for (fias_field_t& f : p->fields)
    if (f.value && std::strcmp(f.name, field) == 0) return &f;
  return nullptr;
}

std::string fias_packet_to_str(fias_packet_t* p) {
  if (!p) return {};
  std::string out = p->packet;
  out += '|';
  for (fias_field_t& f : p->fields) {
    if (!f.value) continue;
    refresh_text(f, *f.value);
    if (!f.value->str) continue;
    out += f.name;
    out += *f.value->str;
    out += '|';
  }
  return out;
}

fias_packet_ptr fias_parse_packet(const char* line, int len) {
  if (!line) return nullptr;
  std::string_view text(line, len >= 0 ? strnlen(line, static_cast<size_t>(len)) : strlen(line));
  if (text.size() < 2) return nullptr;
  const fias_packet_t* entry = find_type([text](const fias_packet_t& e) {
    return e.packet[0] == text[0] && e.packet[1] == text[1];
  });
  if (!entry) return nullptr;

  auto p = std::make_unique<fias_packet_t>(*entry);
  for (int i = 0; i < p->num_fields; ++i) {
    fias_field_t& f = p->fields[i];
    // "|XX" can only match at the start of a field, so a name inside a value is not taken.
    const std::string key = std::string("|") + f.name;
    size_t at = text.find(key);
    if (at == std::string_view::npos) continue;
    size_t begin = at + key.size();
    size_t end = text.find('|', begin);
    // A value whose closing bar is missing runs to the end of the text.
    if (end == std::string_view::npos) end = text.size();
    const std::string_view value_text = text.substr(begin, end - begin);
    f.value = parse_value(f.type, value_text);
    // A room number goes into statements and file names of the PBX: only a plain one is valid.
    if (std::strcmp(f.name, "RN") == 0 || std::strcmp(f.name, "RO") == 0)
      f.value->valid = fias_room_number_ok(value_text);
  }
  return p;
}

bool fias_room_number_ok(std::string_view room) {
  if (room.empty() || room.size() > 16) return false;
  return std::all_of(room.begin(), room.end(), [](char c) {
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_' || c == '/';
  });
}

const char* fias_invalid_field(const fias_packet_t* p) {
  if (!p) return nullptr;
  for (const fias_field_t& f : p->fields)
    if (f.value && !f.value->valid) return f.name;
  return nullptr;
}

void fias_free_packet(fias_packet_ptr& p) { p.reset(); }

std::vector<std::string> fias_link_records(fias_record_set set) {
  std::vector<std::string> records;
  for (const fias_packet_t& type : fias_packets) {
    if (type.num_fields == 0) break;
    if (type.packet[0] == 'L' || type.set > set) continue;
    std::string fields;
    for (int i = 0; i < type.num_fields; ++i)
      if (type.fields[i].set <= set) fields += type.fields[i].name;
    records.push_back("LR|RI" + std::string(type.packet, strnlen(type.packet, 2)) + "|FL" + fields +
                      "|");
  }
  return records;
}

std::optional<fias_record_set> fias_record_set_named(std::string_view name) {
  for (auto [text, set] : {std::pair{"basic", fias_record_set::basic},
                           std::pair{"full", fias_record_set::full}})
    if (name.size() == std::strlen(text) && strncasecmp(name.data(), text, name.size()) == 0)
      return set;
  return std::nullopt;
}

std::optional<std::string> fias_text_to_utf8(std::string_view text, const std::string& charset) {
  iconv_t cd = ::iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::unique_ptr<void, int (*)(iconv_t)> closer(cd, ::iconv_close);
  std::string in(text), out(text.size() * 4 + 4, '\0');
  char* from = in.data();
  size_t from_left = in.size();
  char* to = out.data();
  size_t to_left = out.size();
  if (::iconv(cd, &from, &from_left, &to, &to_left) == static_cast<size_t>(-1)) return std::nullopt;
  out.resize(out.size() - to_left);
  return out;
}

std::string fias_record_excerpt(std::string_view text) {
  constexpr size_t kShown = 64;
  return escaped(text.substr(0, kShown), is_control) + (text.size() > kShown ? "..." : "");
}
