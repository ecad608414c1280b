// FIAS record codec: parsing, rendering and setting fields.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fias.h"
#include "log_capture.h"

namespace {

fias_packet_ptr parse(const std::string& text) {
  return fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
}

// The text of a present field, or "<absent>" / "<no text>".
std::string text_of(fias_packet_t* p, const char* name) {
  fias_field_t* f = fias_get_field(p, name);
  if (!f) return "<absent>";
  return f->value->str ? *f->value->str : "<no text>";
}

TEST(FiasCodec, KnownRecordsRenderBackToTheTextTheyWereParsedFrom) {
  const char* texts[] = {
      "GI|RN101|GNGuest|GLEA|GSN|",
      "GO|RN101|GNGuest|GLEA|GSY|",
      "RE|RN101|RS4|CS0|DNY|",
      "WR|RN101|DA091231|TI063000|",
      "WA|RN101|DA091231|TI063000|ASOK|",
      "PA|ASOK|RN101|P#0001|DA091231|TI063000|",
      "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|",
      "PS|P#9999|RN7|PTC|TA-5|DA991231|TI235959|DU990000|DD0044123|PCx|CTy|",
      "LD|DA091231|TI120000|V#1.01|IFPB|",
      "LR|RIPS|FLP#RNPTTADATIDUDDPCCT|",
      "LE|DA091231|TI235959|",
  };
  for (const char* text : texts) {
    auto p = parse(text);
    ASSERT_NE(p, nullptr) << text;
    EXPECT_EQ(fias_packet_to_str(p.get()), text);
  }
}

TEST(FiasCodec, CheckinFieldsAreReadByTypeAndMissingOnesAreAbsent) {
  auto p = parse("GI|RN101|GNGuest|GLEA|GSN|");
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->packet, "GI");
  EXPECT_EQ(p->packet_code, FIAS_GI);
  EXPECT_STREQ(p->desc, "Guest checkin");
  EXPECT_EQ(text_of(p.get(), "RN"), "101");
  EXPECT_EQ(text_of(p.get(), "GN"), "Guest");
  EXPECT_EQ(text_of(p.get(), "GL"), "EA");
  ASSERT_NE(fias_get_field(p.get(), "GS"), nullptr);
  EXPECT_EQ(fias_get_field(p.get(), "GS")->value->bval, 0);

  auto only_room = parse("GI|RN101|");
  ASSERT_NE(only_room, nullptr);
  EXPECT_EQ(text_of(only_room.get(), "RN"), "101");
  EXPECT_EQ(fias_get_field(only_room.get(), "GN"), nullptr);
  EXPECT_EQ(fias_get_field(only_room.get(), "rn"), nullptr) << "look-up is case-sensitive";
  EXPECT_EQ(fias_get_field(only_room.get(), nullptr), nullptr);
  EXPECT_EQ(fias_get_field(nullptr, "RN"), nullptr);
}

TEST(FiasCodec, FieldNameMatchesOnlyRightAfterABar) {
  auto p = parse("GI|GNRNX|RN102|");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(text_of(p.get(), "RN"), "102");
  EXPECT_EQ(text_of(p.get(), "GN"), "RNX");

  auto q = parse("GI|GNA|RN5|RN102|");
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(text_of(q.get(), "RN"), "5") << "the first occurrence of a field counts";
}

TEST(FiasCodec, UnknownOrLowerCaseIdsAreNotParsed) {
  for (const char* text : {"XX|RN101|", "gi|RN101|", "Gi|RN101|", "", "G", "|RN101|"})
    EXPECT_EQ(parse(text), nullptr) << '"' << text << '"';
  EXPECT_EQ(fias_parse_packet(nullptr, 0), nullptr);
}

TEST(FiasCodec, ParsingStopsAtTheGivenLength) {
  const char* text = "GI|RN101|GNX|";
  auto p = fias_parse_packet(text, 8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(text_of(p.get(), "RN"), "101");
  EXPECT_EQ(fias_get_field(p.get(), "GN"), nullptr);
  EXPECT_EQ(fias_parse_packet(text, 1), nullptr);
}

TEST(FiasCodec, ValueWithoutClosingBarRunsToTheEndOfTheText) {
  auto p = parse("GI|RN101|GNAnn Lee");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(text_of(p.get(), "RN"), "101");
  EXPECT_EQ(text_of(p.get(), "GN"), "Ann Lee");
}

TEST(FiasCodec, DatesAndTimesAreReadOnlyFromExactlySixCharacters) {
  struct {
    const char* text;
    int year, month, day, hour, min, sec;
  } cases[] = {
      {"WR|RN1|DA091231|TI063000|", 9, 12, 31, 6, 30, 0},
      {"WR|RN1|DA090808|TI080808|", 9, 8, 8, 8, 8, 8},  // leading zeros are decimal, not octal
      {"WR|RN1|DA0908|TI0630|", 0, 0, 0, 0, 0, 0},
      {"WR|RN1|DA0912311|TI0630001|", 0, 0, 0, 0, 0, 0},
      {"WR|RN1|DA|TI|", 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    auto p = parse(c.text);
    ASSERT_NE(p, nullptr) << c.text;
    fias_field_t* da = fias_get_field(p.get(), "DA");
    fias_field_t* ti = fias_get_field(p.get(), "TI");
    ASSERT_NE(da, nullptr) << c.text << ": a wrong-length date is still present";
    ASSERT_NE(ti, nullptr) << c.text;
    EXPECT_EQ(da->value->date.year, c.year) << c.text;
    EXPECT_EQ(da->value->date.month, c.month) << c.text;
    EXPECT_EQ(da->value->date.day, c.day) << c.text;
    EXPECT_EQ(ti->value->time.hour, c.hour) << c.text;
    EXPECT_EQ(ti->value->time.min, c.min) << c.text;
    EXPECT_EQ(ti->value->time.sec, c.sec) << c.text;
  }
}

TEST(FiasCodec, IntegersAreDecimalAndFlagsAcceptOnlyUpperCaseY) {
  struct {
    const char* text;
    int32_t cs;
    int dn;
  } cases[] = {
      {"RE|RN1|CS1|DNY|", 1, 1},      {"RE|RN1|CS0x1F|DNy|", 0, 0},
      {"RE|RN1|CS010|DNN|", 10, 0},   {"RE|RN1|CS08|DN|", 8, 0},
      {"RE|RN1|CS-5|DN|", -5, 0},
      {"RE|RN1|CS 7x|DNYes|", 7, 1},  {"RE|RN1|CSabc|DNn|", 0, 0},
      {"RE|RN1|CS|DNX|", 0, 0},       {"RE|RN1|CS99999999999|DNY|", INT32_MAX, 1},
  };
  for (const auto& c : cases) {
    auto p = parse(c.text);
    ASSERT_NE(p, nullptr) << c.text;
    ASSERT_NE(fias_get_field(p.get(), "CS"), nullptr) << c.text;
    ASSERT_NE(fias_get_field(p.get(), "DN"), nullptr) << c.text;
    EXPECT_EQ(static_cast<int32_t>(fias_get_field(p.get(), "CS")->value->ival), c.cs) << c.text;
    EXPECT_EQ(fias_get_field(p.get(), "DN")->value->bval, c.dn) << c.text;
  }
}

TEST(FiasCodec, ValuesThatAreNotRealDatesTimesNumbersFlagsOrRoomsAreInvalid) {
  // Each field text in a record whose other fields are fine: WR for DA and TI, RE for CS and DN,
  // PS for DU, GI for RN, PA for a plain text.
  const std::map<std::string, std::string> record_of = {
      {"DA", "WR|RN1|"}, {"TI", "WR|RN1|"}, {"CS", "RE|RN1|"}, {"DN", "RE|RN1|"},
      {"DU", "PS|"},     {"RN", "GI|"},     {"AS", "PA|"}};
  const char* valid[] = {"DA091231", "DA240229", "DA000229", "TI000000", "TI235959", "DU990000",
                         "CS0", "CS08", "CS-5", "CS2147483647", "DNY", "DNN", "RN101",
                         "RNA-12.3_b/4", "RN1234567890123456", "AS\x01 x"};
  const char* invalid[] = {"DA230229", "DA991399", "DA090431", "DA090100", "DA090001",
                           "DA09123a", "DA0912",   "DA",       "TI240000", "TI236000",
                           "TI235960", "TI999999", "TI-12000", "DU006000", "CS2147483648",
                           "CS",       "CSX",      "CS0x1",    "CS 7",     "CS7 ",
                           "CS+7",     "CS-",      "DN",       "DNy",      "DNYes",
                           "DNX",      "RN12345678901234567",  "RN",       "RN101 ",
                           "RN0 or 1=1", "RN101;", "RN1'1",    "RN10\x1b", "RNZi\xc3\xa4"};
  for (bool expected : {true, false}) {
    for (const char* field_text : expected ? std::span<const char* const>(valid) : invalid) {
      const std::string field(field_text, 2);
      auto p = parse(record_of.at(field) + field_text + "|");
      ASSERT_NE(p, nullptr) << field_text;
      ASSERT_NE(fias_get_field(p.get(), field.c_str()), nullptr) << field_text;
      EXPECT_EQ(fias_get_field(p.get(), field.c_str())->value->valid, expected) << field_text;
      EXPECT_STREQ(fias_invalid_field(p.get()), expected ? nullptr : field.c_str()) << field_text;
    }
  }
  auto two_bad = parse("RE|DNX|CS1|RN1;|");
  EXPECT_STREQ(fias_invalid_field(two_bad.get()), "RN") << "the record type's order counts";
  EXPECT_EQ(fias_invalid_field(nullptr), nullptr);
  EXPECT_FALSE(fias_room_number_ok(std::string_view("1\0" "1", 3)));
}

TEST(FiasCodec, TextValuesLoseTheBytesThatWouldAddOrBreakFields) {
  testutil::log_capture log;
  auto ps = fias_create_packet(FIAS_PS);
  ASSERT_NE(ps, nullptr);
  ASSERT_EQ(fias_set_field_str(ps.get(), "P#", "0001"), 0);
  ASSERT_EQ(fias_set_field_str(ps.get(), "dd", "00442079460123|TA1|PC9999"), 0);
  EXPECT_EQ(fias_packet_to_str(ps.get()), "PS|P#0001|DD00442079460123TA1PC9999|");
  EXPECT_EQ(log.text().find("P#"), std::string::npos) << "a clean value is not logged";
  EXPECT_TRUE(log.contains("Removed 2 bytes that FIAS cannot carry from field DD of record PS: "
                           "00442079460123\\x7cTA1\\x7cPC9999\n"))
      << log.text();

  struct {
    std::string value;
    std::string kept;
  } cases[] = {
      {"Ann\x02Lee\x03", "AnnLee"},
      {std::string("a\nb\rc\td\x7f\x1b[0m\0e", 14), "abcd[0me"},
      {"Zo\xc3\xab 'O\\Brien'", "Zo\xc3\xab 'O\\Brien'"},
  };
  auto gi = fias_create_packet(FIAS_GI);
  ASSERT_NE(gi, nullptr);
  for (const auto& c : cases) {
    fias_value_t v;
    v.str = c.value;
    ASSERT_EQ(fias_set_packet_field(gi.get(), "GN", v), 0);
    EXPECT_EQ(text_of(gi.get(), "GN"), c.kept);
  }
}

TEST(FiasCodec, PostingWithOnlyAmountAndDateRendersThoseTwoTwice) {
  auto p = fias_create_packet(FIAS_PS);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(fias_packet_to_str(p.get()), "PS|");
  ASSERT_EQ(fias_set_field_int(p.get(), "TA", 498), 0);
  ASSERT_EQ(fias_set_field_date(p.get(), "DA", fias_date_t{9, 12, 31, 0}), 0);
  EXPECT_EQ(fias_packet_to_str(p.get()), "PS|TA498|DA091231|");
  EXPECT_EQ(fias_packet_to_str(p.get()), "PS|TA498|DA091231|");
  EXPECT_EQ(text_of(p.get(), "DA"), "091231") << "rendering leaves the text in the value";
}

TEST(FiasCodec, RenderingWritesEachTypeInItsOwnForm) {
  auto p = fias_create_packet(FIAS_PS);
  ASSERT_NE(p, nullptr);
  fias_set_field_str(p.get(), "P#", "0001");
  fias_set_field_str(p.get(), "RN", "");
  fias_set_field_int(p.get(), "TA", -5);
  fias_set_field_time(p.get(), "DU", fias_time_from_seconds(325));
  fias_set_field_str(p.get(), "DA", "091231");  // text on a date field: the date member counts
  EXPECT_EQ(fias_packet_to_str(p.get()), "PS|P#0001|RN|TA-5|DA000000|DU000525|");

  auto re = fias_create_packet(FIAS_RE);
  ASSERT_NE(re, nullptr);
  fias_set_field_bool(re.get(), "DN", true);
  fias_set_field_int(re.get(), "CS", 0);
  EXPECT_EQ(fias_packet_to_str(re.get()), "RE|CS0|DNY|");
  fias_set_field_bool(re.get(), "DN", false);
  EXPECT_EQ(fias_packet_to_str(re.get()), "RE|CS0|DNN|");
}

TEST(FiasCodec, SettingAFieldCopiesTheValueAndIgnoresNamesTheTypeLacks) {
  auto p = fias_create_packet(FIAS_WA);
  ASSERT_NE(p, nullptr);

  fias_value_t typed;
  typed.date = {9, 12, 31, 0};
  typed.ival = 7;
  ASSERT_EQ(fias_set_packet_field(p.get(), "da", typed), 0) << "names match in any case";
  typed.date.day = 1;  // the record holds its own copy
  EXPECT_EQ(fias_get_field(p.get(), "DA")->value->date.day, 31);
  EXPECT_EQ(fias_get_field(p.get(), "DA")->value->ival, 7u);

  fias_value_t text;
  text.str = "OK";
  text.ival = 9;
  ASSERT_EQ(fias_set_packet_field(p.get(), "AS", text), 0);
  EXPECT_EQ(fias_get_field(p.get(), "AS")->value->ival, 0u) << "a text value drops typed members";
  ASSERT_EQ(fias_set_field_str(p.get(), "AS", "UR"), 0);
  EXPECT_EQ(text_of(p.get(), "AS"), "UR");

  const std::string before = fias_packet_to_str(p.get());
  EXPECT_EQ(fias_set_field_str(p.get(), "GN", "Guest"), -1);
  EXPECT_EQ(fias_set_field_str(p.get(), nullptr, "x"), -1);
  EXPECT_EQ(fias_set_field_str(nullptr, "RN", "x"), -1);
  EXPECT_EQ(fias_packet_to_str(p.get()), before);
  EXPECT_EQ(before, "WA|DA091231|ASUR|");
}

TEST(FiasCodec, CreatingGivesAnEmptyRecordOfTheTypeOrNothing) {
  auto pa = fias_create_packet(FIAS_PA);
  ASSERT_NE(pa, nullptr);
  EXPECT_STREQ(pa->packet, "PA");
  EXPECT_STREQ(pa->desc, "Post answer");
  EXPECT_EQ(pa->num_fields, 5);
  for (const fias_field_t& f : pa->fields) EXPECT_FALSE(f.value.has_value());
  EXPECT_STREQ(pa->fields[5].name, "");

  EXPECT_EQ(fias_create_packet(FIAS_UNKNOWN), nullptr);
  EXPECT_EQ(fias_create_packet(FIAS_DE + 1), nullptr);
  auto le = fias_create_packet(FIAS_LE);
  ASSERT_NE(le, nullptr);
  EXPECT_STREQ(le->desc, "Link end") << "the dispatcher logs \"Received Link end packet from PMS\"";
  EXPECT_EQ(fias_create_packet(-1), nullptr);

  fias_free_packet(pa);
  EXPECT_EQ(pa, nullptr);
}

TEST(FiasCodec, DurationsAndCalendarTimesBecomeFieldValues) {
  fias_time_t du = fias_time_from_seconds(3 * 3600 + 2 * 60 + 1);
  EXPECT_EQ(du.hour, 3);
  EXPECT_EQ(du.min, 2);
  EXPECT_EQ(du.sec, 1);
  fias_time_t longest = fias_time_from_seconds(1000L * 3600);
  EXPECT_EQ(longest.hour, 99) << "hours keep two digits";
  EXPECT_EQ(fias_time_from_seconds(-4).sec, 0);

  std::tm tm{};
  tm.tm_year = 109;
  tm.tm_mon = 11;
  tm.tm_mday = 31;
  tm.tm_hour = 23;
  tm.tm_min = 59;
  tm.tm_sec = 58;
  fias_date_t d = fias_date_from_tm(tm);
  EXPECT_EQ(d.year, 9);
  EXPECT_EQ(d.month, 12);
  EXPECT_EQ(d.day, 31);
  EXPECT_EQ(fias_time_from_tm(tm).sec, 58);
  tm.tm_year = 200;  // 2100
  EXPECT_EQ(fias_date_from_tm(tm).year, 0);
}

// The records and fields of the full set: GC, DS, DE, G# and SF on GI and GO, ML on RE, G# on PS.
TEST(FiasRecords, FieldsAreFoundInAnyOrderAndRenderInTheTypesOrder) {
  struct {
    const char* text;
    const char* rendered;  // nullptr: the text itself
    std::vector<std::pair<const char*, const char*>> fields;  // name, text of the value
    const char* invalid;   // the first invalid field, or nullptr
  } cases[] = {
      {"GC|RN102|RO101|G#12345666|GNKoehler, Andreas|GFAndreas|GTMr.|GLEA|GV0|GSN|", nullptr,
       {{"RN", "102"}, {"RO", "101"}, {"G#", "12345666"}, {"GV", "0"}}, nullptr},
      {"GC|GV1|GLEA|GNKoehl, Andrea|GFAndrea|GTMrs.|G#654321|RN101|",
       "GC|RN101|G#654321|GNKoehl, Andrea|GFAndrea|GTMrs.|GLEA|GV1|",
       {{"RO", "<absent>"}, {"GT", "Mrs."}, {"GF", "Andrea"}}, nullptr},
      {"GC|RN102|RO10 1|", nullptr, {}, "RO"},
      {"GI|RN102|SF|G#12345666|GSN|", "GI|RN102|GSN|G#12345666|SF|", {{"SF", ""}}, nullptr},
      {"GO|RN102|GSN|G#12345666|CS3|SF|", "GO|RN102|GSN|G#12345666|SF|", {{"SF", ""}}, nullptr},
      {"RE|MLY|RN101|", "RE|RN101|MLY|", {}, nullptr},
      {"RE|RN101|MLy|", "RE|RN101|MLN|", {}, "ML"},
      {"PS|P#0001|RN101|DU000205|DD200|G#4711|", nullptr, {{"G#", "4711"}}, nullptr},
      {"DS|TI120000|DA261209|", "DS|DA261209|TI120000|", {}, nullptr},
  };
  for (const auto& c : cases) {
    auto p = parse(c.text);
    ASSERT_NE(p, nullptr) << c.text;
    for (const auto& [name, text] : c.fields) EXPECT_EQ(text_of(p.get(), name), text) << c.text;
    EXPECT_STREQ(fias_invalid_field(p.get()), c.invalid) << c.text;
    EXPECT_EQ(fias_packet_to_str(p.get()), c.rendered ? c.rendered : c.text);
  }
}

// A PMS interface configured for the records of old must see the same link records, byte for
// byte; the full set adds fields at the end of their records and its records after the others.
TEST(FiasRecords, EachRecordSetAnnouncesItsOwnLinkRecords) {
  const std::vector<std::string> basic = {
      "LR|RIDR|FLDATI|",      "LR|RIGI|FLRNGNGLGS|", "LR|RIGO|FLRNGNGLGS|",
      "LR|RIRE|FLRNRSCSDN|",  "LR|RIWC|FLRNDATI|",   "LR|RIWR|FLRNDATI|",
      "LR|RIWA|FLRNDATIAS|",  "LR|RIPA|FLASRNP#DATI|", "LR|RIPS|FLP#RNPTTADATIDUDDPCCT|",
  };
  const std::vector<std::string> full = {
      "LR|RIDR|FLDATI|",     "LR|RIGI|FLRNGNGLGSG#SF|", "LR|RIGO|FLRNGNGLGSG#SF|",
      "LR|RIRE|FLRNRSCSDNML|", "LR|RIWC|FLRNDATI|",     "LR|RIWR|FLRNDATI|",
      "LR|RIWA|FLRNDATIAS|", "LR|RIPA|FLASRNP#DATI|",   "LR|RIPS|FLP#RNPTTADATIDUDDPCCTG#|",
      "LR|RIGC|FLRNROG#GNGFGTGLGVGS|", "LR|RIDS|FLDATI|", "LR|RIDE|FLDATI|",
  };
  EXPECT_EQ(fias_link_records(fias_record_set::basic), basic);
  EXPECT_EQ(fias_link_records(fias_record_set::full), full);
  EXPECT_EQ(fias_record_set_named("FULL"), fias_record_set::full);
  for (const char* other : {"", "ful", "basic "}) EXPECT_FALSE(fias_record_set_named(other));
}

// A PMS's code page is converted to UTF-8; text that is not in it, or a code page that does not
// exist, gives nothing rather than a guess.
TEST(FiasCodec, TextInACodePageBecomesUtf8OrNothing) {
  const struct {
    const char* text;
    const char* charset;
    std::optional<std::string> utf8;
  } cases[] = {
      {"GI|RN101|GNM\xfcller|", "ISO-8859-1", "GI|RN101|GNM\xc3\xbcller|"},
      {"GI|RN101|GN\x80uro|", "CP1252", "GI|RN101|GN\xe2\x82\xacuro|"},
      {"GI|RN101|GNPlain|", "UTF-8", "GI|RN101|GNPlain|"},
      {"GI|RN101|GN\xff|", "UTF-8", std::nullopt},
      {"GI|RN101|", "NO-SUCH-PAGE", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(fias_text_to_utf8(c.text, c.charset), c.utf8) << c.text;
}

}  // namespace
