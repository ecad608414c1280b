// Fuzz target: any text parsed as a FIAS record, rendered, and parsed again. Whatever the PMS
// sends, the record that comes out must render to a text that reads back as the same record, and
// a value found valid must stay valid: rendering never turns good data into bad.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fias.h"
#include "fuzz_support.h"

namespace {

// Whether the record-type table has an entry with this id (the terminator does not count).
bool known_id(std::string_view text) {
  if (text.size() < 2) return false;
  for (const fias_packet_t& entry : fias_packets) {
    if (entry.num_fields == 0) break;
    if (entry.packet[0] == text[0] && entry.packet[1] == text[1]) return true;
  }
  return false;
}

// Two values carry the same data for a field of this type. The text that rendering leaves in a
// typed value does not count; only the typed member does.
bool same_value(uint8_t type, const fias_value_t& a, const fias_value_t& b) {
  switch (type) {
    case FIAS_FIELD_INT:
      return a.ival == b.ival;
    case FIAS_FIELD_DATE:
      return a.date.year == b.date.year && a.date.month == b.date.month && a.date.day == b.date.day;
    case FIAS_FIELD_TIME:
    case FIAS_FIELD_DURATION:
      return a.time.hour == b.time.hour && a.time.min == b.time.min && a.time.sec == b.time.sec;
    case FIAS_FIELD_BOOL:
      return (a.bval != 0) == (b.bval != 0);
    default:
      return a.str == b.str;
  }
}

// `b` is `a` parsed again, from its rendering or from another reading of its text.
void check_same_record(const fias_packet_t& a, const fias_packet_t& b) {
  FUZZ_CHECK(a.packet_code == b.packet_code);
  FUZZ_CHECK(a.num_fields == b.num_fields);
  bool all_valid = true;
  for (int i = 0; i < FIAS_MAX_FIELDS; ++i) {
    const fias_field_t& fa = a.fields[static_cast<size_t>(i)];
    const fias_field_t& fb = b.fields[static_cast<size_t>(i)];
    FUZZ_CHECK(fa.value.has_value() == fb.value.has_value());
    // Slots beyond the record type's fields never take a value.
    FUZZ_CHECK(i < a.num_fields || !fa.value);
    if (!fa.value) continue;
    FUZZ_CHECK(same_value(fa.type, *fa.value, *fb.value));
    FUZZ_CHECK(!fa.value->valid || fb.value->valid);
    all_valid = all_valid && fa.value->valid;
  }
  FUZZ_CHECK((fias_invalid_field(&a) == nullptr) == all_valid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  // A NUL-terminated copy, as the link reader hands records over; the text may hold NULs of its
  // own, which end it.
  const std::string text(as_text(data, size));
  fias_packet_ptr first = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  FUZZ_CHECK(static_cast<bool>(first) == known_id(std::string_view(text.c_str())));
  if (!first) return 0;

  // Reading to the NUL instead of to a length gives the same record.
  fias_packet_ptr to_nul = fias_parse_packet(text.c_str(), -1);
  FUZZ_CHECK(to_nul);
  check_same_record(*first, *to_nul);

  const std::string rendered = fias_packet_to_str(first.get());
  FUZZ_CHECK(fias_packet_to_str(first.get()) == rendered);
  FUZZ_CHECK(rendered.compare(0, 3, std::string(first->packet) + "|") == 0);
  FUZZ_CHECK(rendered.back() == '|');

  fias_packet_ptr second = fias_parse_packet(rendered.c_str(), static_cast<int>(rendered.size()));
  FUZZ_CHECK(second);
  check_same_record(*first, *second);
  FUZZ_CHECK(fias_packet_to_str(second.get()) == rendered);
  return 0;
}
