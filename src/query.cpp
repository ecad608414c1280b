// Query templates: placeholder substitution with values escaped for the target database.
#include "query.h"

#include <cstdio>
#include <ctime>
#include <algorithm>
#include <array>
#include <functional>
#include <utility>
#include <vector>

namespace {

// What a placeholder stands for in one substitution: its value, or nothing when the function
// does not know it (the "%" is then copied and scanning goes on after it).
using placeholder_fn = std::function<std::optional<std::string>(std::string_view name)>;

// Formats with a driver pattern; at most 31 characters, as dates and times always were.
std::string format_tm(const std::string& pattern, const std::tm& tm) {
  char buf[32];
  size_t n = strftime(buf, sizeof buf, pattern.c_str(), &tm);
  return std::string(buf, n);
}

std::string format_now(const std::string& pattern) {
  time_t now = time(nullptr);
  std::tm tm_now{};
  localtime_r(&now, &tm_now);
  return format_tm(pattern, tm_now);
}

// Walks a template in order: `text` gets each piece copied as it stands, `value` each
// placeholder known to `lookup` with its value. A "%" that opens no known placeholder is text.
void walk_template(std::string_view q, const placeholder_fn& lookup,
                   const std::function<void(std::string_view)>& text,
                   const std::function<void(std::string_view, const std::string&)>& value) {
  size_t pos = 0;
  while (pos < q.size()) {
    size_t pct = q.find('%', pos);
    if (pct == std::string_view::npos) {
      text(q.substr(pos));
      break;
    }
    text(q.substr(pos, pct - pos));
    size_t end = q.find('%', pct + 1);
    std::optional<std::string> found;
    std::string_view name;
    if (end != std::string_view::npos) {
      name = q.substr(pct + 1, end - pct - 1);
      found = lookup(name);
    }
    if (found) {
      value(name, *found);
      pos = end + 1;
    } else {
      text(q.substr(pct, 1));
      pos = pct + 1;
    }
  }
}

// Replaces every placeholder known to `lookup`; values are escaped for the driver's connection.
std::string substitute(dbdriver_t& drv, std::string_view q, const placeholder_fn& lookup) {
  std::string out;
  out.reserve(q.size() + 64);
  walk_template(
      q, lookup, [&](std::string_view text) { out.append(text); },
      [&](std::string_view, const std::string& value) { out += drv.escape(value); });
  return out;
}

// Whether a template's text so far leaves the next placeholder inside a single-quoted literal,
// read as SQLite reads it (a quote inside a literal is doubled) and as MySQL does (a backslash
// there also escapes the byte after it). The template's dialect is not known here, so a
// placeholder counts as quoted only when both readings agree, and not right behind a backslash,
// which would pair with the escape in front of a quote in the value.
class quote_state {
 public:
  void read(std::string_view text) {
    for (char c : text) {
      if (c == '\'') sqlite_quoted_ = !sqlite_quoted_;
      if (mysql_escaped_)
        mysql_escaped_ = false;
      else if (mysql_quoted_ && c == '\\')
        mysql_escaped_ = true;
      else if (c == '\'')
        mysql_quoted_ = !mysql_quoted_;
    }
  }
  bool quoted() const { return sqlite_quoted_ && mysql_quoted_ && !mysql_escaped_; }
  // An escaped value ends with no escape pending.
  void after_value() { mysql_escaped_ = false; }

 private:
  bool sqlite_quoted_ = false;
  bool mysql_quoted_ = false;
  bool mysql_escaped_ = false;
};

}  // namespace

std::string prepare_query(dbdriver_t& drv, std::string_view tmpl, const query_values& v,
                          query_trace trace) {
  std::string result = substitute(drv, tmpl, [&](std::string_view p) -> std::optional<std::string> {
    if (p == "exten") return v.exten;
    if (p == "name") return v.name;
    if (p == "lang") return v.lang;
    if (p == "share") return std::to_string(v.share);
    if (p == "date") return v.date ? format_tm(drv.dateformat, *v.date) : v.date_text;
    if (p == "time") return v.time ? format_tm(drv.timeformat, *v.time) : v.time_text;
    if (p == "current_date") return format_now(drv.dateformat);
    if (p == "current_time") return format_now(drv.timeformat);
    if (p == "seqno") return v.seqno;
    return std::nullopt;
  });
  if (trace == query_trace::record) std::printf("query: %s\n", result.c_str());
  if (trace == query_trace::plain) std::printf("1query: %s\n", result.c_str());
  return result;
}

std::vector<std::string> template_unquoted_text_placeholders(std::string_view q) {
  static constexpr std::array<std::string_view, 9> kKnown = {
      "exten", "name", "lang", "share", "date", "time", "current_date", "current_time", "seqno"};
  // The room number and the shared flag are checked numbers; the others are free text.
  static constexpr std::array<std::string_view, 2> kNumbers = {"exten", "share"};
  std::vector<std::string> unquoted;
  quote_state state;
  walk_template(
      q,
      [&](std::string_view name) -> std::optional<std::string> {
        if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end()) return std::nullopt;
        return std::string();
      },
      [&](std::string_view text) { state.read(text); },
      [&](std::string_view name, const std::string&) {
        const bool quoted = state.quoted();
        state.after_value();
        if (quoted || std::find(kNumbers.begin(), kNumbers.end(), name) != kNumbers.end())
          return;
        if (std::find(unquoted.begin(), unquoted.end(), name) == unquoted.end())
          unquoted.emplace_back(name);
      });
  return unquoted;
}
