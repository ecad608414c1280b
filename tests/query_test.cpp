// Query templates: placeholders, defaults, record dates in driver formats, escaping.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>

#include "fdutils.h"
#include "fias.h"
#include "mysql.h"
#include "query.h"
#include "sqlite.h"
#include "testutil.h"

namespace {

class QueryTest : public ::testing::Test {
 protected:
  std::unique_ptr<dbdriver_t> sq = sqlite_create_drv("pbx");
  std::unique_ptr<dbdriver_t> my = mysql_create_drv("mysql");

  fias_packet_ptr parse(const std::string& text) {
    return fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  }
  // Fills `q` from the fields of a received record, as the request handlers do.
  std::string from_record(dbdriver_t& drv, const std::string& q, const std::string& record) {
    auto p = parse(record);
    auto text = [&](const char* name) {
      const fias_field_t* f = fias_get_field(p.get(), name);
      return f && f->value && f->value->str ? *f->value->str : std::string();
    };
    query_values v{text("RN"), text("GN"), text("GL"), text("P#")};
    if (const fias_field_t* gs = fias_get_field(p.get(), "GS"); gs && gs->value)
      v.share = gs->value->bval;
    if (const fias_field_t* da = fias_get_field(p.get(), "DA"); da && da->value) {
      v.date.emplace();
      v.date->tm_year = da->value->date.year + 100;
      v.date->tm_mon = da->value->date.month - 1;
      v.date->tm_mday = da->value->date.day;
    }
    if (const fias_field_t* ti = fias_get_field(p.get(), "TI"); ti && ti->value) {
      v.time.emplace();
      v.time->tm_hour = ti->value->time.hour;
      v.time->tm_min = ti->value->time.min;
      v.time->tm_sec = ti->value->time.sec;
    }
    return prepare_query(drv, q, v);
  }
};

TEST_F(QueryTest, RecordFieldsFillTheirPlaceholders) {
  struct {
    const char* q;
    const char* record;
    const char* expected;
  } cases[] = {
      {"select 1", "GI|RN101|", "select 1"},
      {"update users set dnd=1 where ext='%exten%'", "RE|RN101|DNY|",
       "update users set dnd=1 where ext='101'"},
      {"%exten%%exten%", "GI|RN101|", "101101"},
      {"update ext set name='%name%', lang='%lang%', shared=%share% where ext='%exten%'",
       "GI|RN101|GNGuest|GLEA|GSY|", "update ext set name='Guest', lang='EA', shared=1 where ext='101'"},
      {"s=%share% n='%name%'", "GI|RN101|", "s=0 n=''"},
      {"d='%date%' t='%time%'", "WR|RN101|DA091231|TI063000|", "d='2009-12-31' t='06:30:00'"},
      {"d='%date%' t='%time%'", "WR|RN101|", "d='' t=''"},
      {"d='%date%' t='%time%'", "WR|RN101|DA0912|TI06|", "d='2000-00-00' t='00:00:00'"},
      {"p='%seqno%'", "PA|ASOK|RN101|P#0042|", "p='0042'"},
      {"where ext like '10%' and ext='%exten%'", "GI|RN101|", "where ext like '10%' and ext='101'"},
      {"%bogus% %exten% 100%", "GI|RN101|", "%bogus% 101 100%"},
      {"%exten", "GI|RN101|", "%exten"},
  };
  for (auto& c : cases) EXPECT_EQ(from_record(*sq, c.q, c.record), c.expected) << c.q;
}

TEST_F(QueryTest, RecordDatesFollowTheDriverFormats) {
  sq->dateformat = "%d.%m.%Y";
  sq->timeformat = "%H%M";
  EXPECT_EQ(from_record(*sq, "%date% %time%", "WR|RN1|DA090808|TI063000|"), "08.08.2009 0630");
}

TEST_F(QueryTest, CurrentDateAndTimeComeFromTheClock) {
  EXPECT_EQ(from_record(*sq, "%current_date%", "GI|RN1|"), testutil::local_time_text("%Y-%m-%d"));
  std::string t = prepare_query(*sq, "%current_time%", {}, query_trace::plain);
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[2], ':');
}

TEST_F(QueryTest, DateAndTimeTextsGoInAsGivenWhenNoRecordDateIsSet) {
  query_values row{.exten = "101", .seqno = "0001", .date_text = "2009-12-31",
                   .time_text = "10:15:00"};
  EXPECT_EQ(prepare_query(*sq, "%exten% %date% %time% %seqno% %name%", row), "101 2009-12-31 10:15:00 0001 ");
  EXPECT_EQ(prepare_query(*sq, "'%exten%' '%date%' %share%", {}), "'' '' 0");
  row.date = std::tm{};
  row.date->tm_year = 109;
  EXPECT_EQ(prepare_query(*sq, "%date% %time%", row), "2009-01-00 10:15:00")
      << "a record's date comes before the text";
  EXPECT_EQ(prepare_query(*sq, "%param%", row), "%param%");
}

TEST_F(QueryTest, ValuesAreEscapedForTheDriversDialect) {
  const char* q = "update ext set name='%name%' where ext='%exten%'";
  EXPECT_EQ(from_record(*sq, q, "GI|RN101|GNO'Brien \\ Co|"),
            "update ext set name='O''Brien \\ Co' where ext='101'");
  EXPECT_EQ(from_record(*my, q, "GI|RN101|GNO'Brien \\ Co|"),
            "update ext set name='O''Brien \\\\ Co' where ext='101'");
  EXPECT_EQ(from_record(*sq, q, "GI|RN1'; drop table ext; --|GNx|"),
            "update ext set name='x' where ext='1''; drop table ext; --'");
  EXPECT_EQ(prepare_query(*sq, "'%date%'", {.date_text = "it's"}), "'it''s'");
}

TEST(TemplateCheckTest, FindsFreeTextPlaceholdersOutsideSingleQuotes) {
  using names = std::vector<std::string>;
  struct {
    const char* q;
    names expected;
  } cases[] = {
      {"update ext set name='%name%', lang='%lang%' where exten=%exten%", {}},
      {"update ext set name=%name%, shared=%share% where exten=%exten%", {"name"}},
      // A double-quoted text holding a placeholder is filled as a single-quoted literal.
      {"update ext set name=\"%name%\" where exten='%exten%'", {}},
      {"set a=\"it's %name%\", b=%lang%", {"lang"}},
      // Read differently: MySQL escapes the quote after the backslash, SQLite ends the text.
      {"set a=\"x\\\" %name% \"", {"name"}},
      {"insert into w values ('%date%', %time%, %seqno%, '%param%', %param%)",
       {"time", "seqno"}},
      {"select %current_date%, '%current_time%', %current_date%", {"current_date"}},
      {"set note='it''s %name%' where x=%lang%", {"lang"}},
      {"set a='x', b=%name%, c='%lang%'", {"name"}},
      {"where a like '10%' and b=%name%", {"name"}},
      {"set a='%name%%lang%' , b=%bogus%", {}},
      // A backslash escapes the quote after it on MySQL only: counted unquoted for safety.
      {"set a='\\'' %name% '", {"name"}},
      {"set a='it\\'s %name%'", {"name"}},
      {"set a='\\%name%'", {"name"}},
      // An empty room leaves the backslash to the next value, or to the quote after it.
      {"set a='\\%exten%%name%'", {"name"}},
      {"set a='\\%oldexten%', b='%name%'", {"name"}},
      {"set a=%name%param%", {"name"}},
  };
  for (auto& c : cases) EXPECT_EQ(template_unquoted_text_placeholders(c.q), c.expected) << c.q;
}

// SQLite reads name="%name%" as a literal when no column has the name, and MySQL does without
// ANSI_QUOTES: a guest name with a double quote ended it and went on as SQL.
TEST_F(QueryTest, DoubleQuotedTextHoldingAPlaceholderIsFilledAsASingleQuotedLiteral) {
  struct {
    dbdriver_t& drv;
    const char* q;
    const char* name;
    const char* expected;
  } cases[] = {
      {*sq, "set name=\"%name%\" where x=1", "O\"Brien\", dnd=\"1",
       "set name='O\"Brien\", dnd=\"1' where x=1"},
      {*sq, "set name=\"Mr \"\"%name%\"\" it's\"", "x", "set name='Mr \"x\" it''s'"},
      {*sq, "select \"users\" from \"t\" where n=\"%name%\"", "O'Brien",
       "select \"users\" from \"t\" where n='O''Brien'"},
      {*sq, "set a=\"%name%\"'b', c='%name%'", "x", "set a='x' 'b', c='x'"},
      {*sq, "set a=\"%name%", "x\"", "set a='x\""},
      {*my, "set note=\"%name%\"", "a\\\" b", "set note='a\\\\\" b'"},
      {*my, "set note=\"it\\\"s %name%\" where a=\"\"", "x'",
       "set note='it\\\"s x''' where a=\"\""},
      // The empty room leaves the backslash to escape the quote after it.
      {*my, "set a=\"\\%exten%'%name%\"", "x", "set a='\\'x'"},
  };
  for (auto& c : cases)
    EXPECT_EQ(prepare_query(c.drv, c.q, {.name = c.name}, query_trace::off), c.expected) << c.q;
}

// What `fill` writes on standard output.
std::string printed(const std::function<void()>& fill) {
  testutil::temp_dir dir;
  const std::string path = dir.file("stdout");
  std::fflush(stdout);
  unique_fd saved(dup(STDOUT_FILENO));
  {
    unique_fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    dup2(file.get(), STDOUT_FILENO);
  }
  fill();
  std::fflush(stdout);
  dup2(saved.get(), STDOUT_FILENO);
  return testutil::read_file(path);
}

// A guest name reached the terminal of `velmorant -f -d` as it came, escape sequences included.
TEST_F(QueryTest, TraceShowsControlBytesAsTheLogDoes) {
  struct {
    query_trace trace;
    const char* name;
    const char* expected;
  } cases[] = {
      {query_trace::record, "Guest", "query: n='Guest'\n"},
      {query_trace::record, "\x1b]0;owned\x07\x1b[2J", "query: n='\\x1b]0;owned\\x07\\x1b[2J'\n"},
      {query_trace::plain, "a\nb\r\tc\x7f", "1query: n='a\\nb\\r\tc\\x7f'\n"},
      {query_trace::off, "\x1b[2J", ""},
  };
  for (auto& c : cases) {
    std::string filled;
    EXPECT_EQ(printed([&] { filled = prepare_query(*sq, "n='%name%'", {.name = c.name}, c.trace); }),
              c.expected);
    EXPECT_EQ(filled, "n='" + std::string(c.name) + "'") << "the statement itself is not changed";
  }
}

TEST_F(QueryTest, LongValuesAreNeverCut) {
  std::string name(5000, 'n');
  EXPECT_EQ(from_record(*sq, "%name%", "GI|RN1|GN" + name + "|"), name);
}

}  // namespace
