// Fuzz target: prepare_query with arbitrary templates, values and driver formats.
// Where the template puts every placeholder inside a quoted literal (single or double quotes,
// read as the filler reads them), no value may change the statement's shape: the code outside
// the literals and the number of literals stay what they are with harmless values. Where
// template_unquoted_text_placeholders finds no free-text placeholder outside quotes, every
// free-text value lands inside a literal. On SQLite the value
// must also come back byte for byte from select '<value>'.
//
// Input: one byte of switches, seven bytes for the record's typed fields (shared flag, date, time),
// then texts separated by NUL bytes: template, room, name, language, sequence number, parameter,
// date text, time text, date format, time format. A text that is missing is a null value.
#include <sqlite3.h>

#include <array>
#include <ctime>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fias.h"
#include "fuzz_support.h"
#include "mysql.h"
#include "query.h"
#include "sqlite.h"

namespace {

// The texts of an input, in order.
enum part {
  TEMPLATE,
  ROOM,
  NAME,
  LANG,
  SEQ,
  PARAM,
  DATE_TEXT,
  TIME_TEXT,
  DATE_FORMAT,
  TIME_FORMAT,
  PARTS
};

// Switches of the first byte.
constexpr uint8_t kMysql = 0x01;         // the driver's kind; otherwise SQLite
constexpr uint8_t kFunctionMask = 0x06;  // 0: the values of a record; else those of a poll row
constexpr uint8_t kHasShared = 0x08;     // the record has a GS field
constexpr uint8_t kHasDate = 0x10;       // ... a DA field
constexpr uint8_t kHasTime = 0x20;       // ... a TI field
constexpr size_t kHeader = 8;
constexpr size_t kFormatMax = 15;  // the longest format a driver section may set

// Stands for every value in the run that finds where the template puts its placeholders. Neither
// a quote nor a backslash, so it cannot change where a literal ends.
constexpr char kMarker = '\x1f';

struct inputs {
  uint8_t switches = 0;
  int shared = 0;
  fias_date_t date;
  fias_time_t time;
  std::array<std::optional<std::string>, PARTS> text;
};

inputs split_input(std::string_view bytes) {
  inputs in;
  in.switches = static_cast<uint8_t>(bytes[0]);
  in.shared = static_cast<uint8_t>(bytes[1]) & 1;
  in.date = {static_cast<uint8_t>(bytes[2]), static_cast<uint8_t>(bytes[3]),
             static_cast<uint8_t>(bytes[4]), 0};
  in.time = {static_cast<uint8_t>(bytes[5]), static_cast<uint8_t>(bytes[6]),
             static_cast<uint8_t>(bytes[7]), 0};
  std::string_view rest = bytes.substr(kHeader);
  for (size_t i = 0; i < PARTS && !rest.empty(); ++i) {
    const size_t nul = rest.find('\0');
    in.text[i] = std::string(rest.substr(0, nul));
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  }
  if (!in.text[TEMPLATE]) in.text[TEMPLATE] = "";
  return in;
}

// Every value replaced by the marker, and both formats too, so that each placeholder the function
// fills shows up as a marker (the shared flag is a digit either way and is kept).
inputs marked(const inputs& real) {
  inputs m = real;
  for (size_t i = ROOM; i < PARTS; ++i)
    if (m.text[i]) m.text[i] = std::string(1, kMarker);
  m.text[DATE_FORMAT] = std::string(1, kMarker);
  m.text[TIME_FORMAT] = std::string(1, kMarker);
  return m;
}

// As marked, with the room number a plain number: the template check leaves %exten% out.
inputs marked_free_text(const inputs& real) {
  inputs m = marked(real);
  if (m.text[ROOM]) m.text[ROOM] = "1";
  return m;
}

std::string text_of(const std::optional<std::string>& text) { return text ? *text : std::string(); }

std::string fill(const inputs& in, dbdriver_t& drv) {
  drv.dateformat = "%Y-%m-%d";
  drv.timeformat = "%H:%M:%S";
  if (in.text[DATE_FORMAT] && in.text[DATE_FORMAT]->size() <= kFormatMax)
    drv.dateformat = *in.text[DATE_FORMAT];
  if (in.text[TIME_FORMAT] && in.text[TIME_FORMAT]->size() <= kFormatMax)
    drv.timeformat = *in.text[TIME_FORMAT];
  const std::string& q = *in.text[TEMPLATE];

  query_values v;
  v.exten = text_of(in.text[ROOM]);
  v.seqno = text_of(in.text[SEQ]);
  if (((in.switches & kFunctionMask) >> 1) != 0) {
    v.date_text = text_of(in.text[DATE_TEXT]);
    v.time_text = text_of(in.text[TIME_TEXT]);
    return prepare_query(drv, q, v, query_trace::plain);
  }
  v.name = text_of(in.text[NAME]);
  v.lang = text_of(in.text[LANG]);
  if (in.switches & kHasShared) v.share = in.shared;
  if (in.switches & kHasDate) {
    std::tm& tm = v.date.emplace();
    tm.tm_year = in.date.year + 100;
    tm.tm_mon = in.date.month - 1;
    tm.tm_mday = in.date.day;
  }
  if (in.switches & kHasTime) {
    std::tm& tm = v.time.emplace();
    tm.tm_hour = in.time.hour;
    tm.tm_min = in.time.min;
    tm.tm_sec = in.time.sec;
  }
  return prepare_query(drv, q, v);
}

// A statement read as SQL string literals, as the filler reads a template: a single or a double
// quote opens a literal (SQLite and MySQL without ANSI_QUOTES read a double-quoted text as one),
// two of its quotes in a row inside it stand for one, a lone one closes it, the other quote is
// a plain byte in it; on MySQL a backslash inside a literal escapes the byte after it.
struct literal_scan {
  std::string shape;           // the code outside literals, each literal written as '' or ""
  bool markers_quoted = true;  // every marker byte stands unescaped inside a literal
  bool open_at_end = false;    // the statement ends inside a literal
};

literal_scan scan_literals(std::string_view sql, dbkind kind) {
  literal_scan out;
  enum { code, literal, escaped } state = code;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == kMarker && state != literal) out.markers_quoted = false;
    switch (state) {
      case code:
        out.shape += c;
        if (c == '\'' || c == '"') {
          quote = c;
          state = literal;
        }
        break;
      case literal:
        if (c == '\\' && kind == dbkind::mysql) {
          state = escaped;
        } else if (c == quote) {
          if (i + 1 < sql.size() && sql[i + 1] == quote) {
            ++i;
          } else {
            out.shape += c;
            state = code;
          }
        }
        break;
      case escaped:
        state = literal;
        break;
    }
  }
  out.open_at_end = state != code;
  return out;
}

// SQLite reads the value back from select '<filled>' as it was, and nothing follows the literal.
void check_sqlite_round_trip(dbdriver_t& drv, const std::string& value) {
  static sqlite3* db = [] {
    sqlite3* handle = nullptr;
    if (sqlite3_open(":memory:", &handle) != SQLITE_OK) std::abort();
    return handle;
  }();
  const std::string sql = prepare_query(drv, "select '%exten%'", {.exten = value}, query_trace::plain);
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail);
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, &sqlite3_finalize);
  FUZZ_CHECK(rc == SQLITE_OK);
  FUZZ_CHECK(tail == sql.c_str() + sql.size());
  FUZZ_CHECK(sqlite3_step(stmt.get()) == SQLITE_ROW);
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
  const int len = sqlite3_column_bytes(stmt.get(), 0);
  FUZZ_CHECK(std::string_view(text ? text : "", static_cast<size_t>(len)) == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  if (size < kHeader) return 0;
  const inputs real = split_input(as_text(data, size));
  static const std::unique_ptr<dbdriver_t> sqlite_drv = sqlite_create_drv("pbx");
  static const std::unique_ptr<dbdriver_t> mysql_drv = mysql_create_drv("pbx");
  dbdriver_t& drv = (real.switches & kMysql) ? *mysql_drv : *sqlite_drv;

  const std::string filled = fill(real, drv);
  const literal_scan shape_of_markers = scan_literals(fill(marked(real), drv), drv.kind);
  if (shape_of_markers.markers_quoted) {
    const literal_scan shape = scan_literals(filled, drv.kind);
    FUZZ_CHECK(shape.shape == shape_of_markers.shape);
    FUZZ_CHECK(shape.open_at_end == shape_of_markers.open_at_end);
  }

  const std::string& q = *real.text[TEMPLATE];
  if (q.find(kMarker) == std::string::npos && template_unquoted_text_placeholders(q).empty())
    FUZZ_CHECK(scan_literals(fill(marked_free_text(real), drv), drv.kind).markers_quoted);

  if (drv.kind == dbkind::sqlite && real.text[ROOM]) check_sqlite_round_trip(drv, *real.text[ROOM]);
  return 0;
}
