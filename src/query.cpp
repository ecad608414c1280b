// Query templates: placeholder substitution with values escaped for the target database.
#include "query.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <utility>

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

// The record's date as a broken-down time that is not normalised: 09 means 2009, and a zero
// date stays month 0 ("2000-00-00").
std::string format_record_date(const dbdriver_t& drv, const fias_date_t& d) {
  std::tm tm{};
  tm.tm_year = d.year + 100;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  return format_tm(drv.dateformat, tm);
}

std::string format_record_time(const dbdriver_t& drv, const fias_time_t& t) {
  std::tm tm{};
  tm.tm_hour = t.hour;
  tm.tm_min = t.min;
  tm.tm_sec = t.sec;
  return format_tm(drv.timeformat, tm);
}

// Replaces every placeholder known to `lookup`; values are escaped for the driver's dialect.
std::string substitute(const dbdriver_t& drv, std::string_view q, const placeholder_fn& lookup) {
  std::string out;
  out.reserve(q.size() + 64);
  size_t pos = 0;
  while (pos < q.size()) {
    size_t pct = q.find('%', pos);
    if (pct == std::string_view::npos) {
      out.append(q.substr(pos));
      break;
    }
    out.append(q.substr(pos, pct - pos));
    size_t end = q.find('%', pct + 1);
    std::optional<std::string> value;
    if (end != std::string_view::npos) value = lookup(q.substr(pct + 1, end - pct - 1));
    if (value) {
      out += sql_escape(drv.kind, *value);
      pos = end + 1;
    } else {
      out += '%';
      pos = pct + 1;
    }
  }
  return out;
}

std::string text_of(const fias_field_t* f) {
  return f && f->value && f->value->str ? *f->value->str : std::string();
}

std::string text_of(const char* s) { return s ? std::string(s) : std::string(); }

// The placeholders the two plain-text variants share.
std::optional<std::string> plain_value(const dbdriver_t& drv, std::string_view name, const char* rn,
                                       const char* da, const char* ti, const char* seq) {
  if (name == "exten") return text_of(rn);
  if (name == "date") return text_of(da);
  if (name == "time") return text_of(ti);
  if (name == "current_date") return format_now(drv.dateformat);
  if (name == "current_time") return format_now(drv.timeformat);
  if (name == "seqno") return text_of(seq);
  return std::nullopt;
}

}  // namespace

std::string prepare_query(const dbdriver_t& drv, std::string_view q, const fias_field_t* rn,
                          const fias_field_t* name, const fias_field_t* lang,
                          const fias_field_t* shared, const fias_field_t* date,
                          const fias_field_t* tim, const fias_field_t* seq) {
  std::string result = substitute(drv, q, [&](std::string_view p) -> std::optional<std::string> {
    if (p == "exten") return text_of(rn);
    if (p == "name") return text_of(name);
    if (p == "lang") return text_of(lang);
    if (p == "share") return std::to_string(shared && shared->value ? shared->value->bval : 0);
    if (p == "date") return date && date->value ? format_record_date(drv, date->value->date) : "";
    if (p == "time") return tim && tim->value ? format_record_time(drv, tim->value->time) : "";
    if (p == "current_date") return format_now(drv.dateformat);
    if (p == "current_time") return format_now(drv.timeformat);
    if (p == "seqno") return text_of(seq);
    return std::nullopt;
  });
  std::printf("query: %s\n", result.c_str());
  return result;
}

std::string prepare_query2(const dbdriver_t& drv, std::string_view q, const char* rn,
                           const char* da, const char* ti, const char* seq) {
  std::string result = substitute(drv, q, [&](std::string_view p) {
    return plain_value(drv, p, rn, da, ti, seq);
  });
  std::printf("1query: %s\n", result.c_str());
  return result;
}

std::string prepare_query3(const dbdriver_t& drv, std::string_view q, const char* param,
                           const char* rn, const char* da, const char* ti, const char* seq) {
  std::string result = substitute(drv, q, [&](std::string_view p) -> std::optional<std::string> {
    if (p == "param") return text_of(param);
    return plain_value(drv, p, rn, da, ti, seq);
  });
  std::printf("1query: %s\n", result.c_str());
  return result;
}
