// Query templates: placeholder substitution with values escaped for the target database.
#include "query.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <functional>
#include <utility>
#include <vector>

#include "logger.h"

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

// How one dialect reads a template, byte by byte: outside literals, inside a literal opened by a
// single or a double quote, right behind a backslash in one (MySQL escapes the byte after it),
// or right behind a quote that closes the literal unless a second one follows (two quotes stand
// for one). SQLite reads a double-quoted text as a literal when no column has its name, and
// MySQL without ANSI_QUOTES always does.
class literal_reader {
 public:
  enum state { code, literal, escaped, closing };

  explicit literal_reader(dbkind kind) : kind_(kind) {}

  // Reads the template's byte `c`; `opened` tells whether it opened a literal.
  void read(char c) {
    opened_ = false;
    if (state_ == closing) {
      if (c == quote_) {
        state_ = literal;
        return;
      }
      state_ = code;
    }
    if (state_ == code) {
      if (c == '\'' || c == '"') {
        state_ = literal;
        quote_ = c;
        opened_ = true;
      }
    } else if (state_ == escaped) {
      state_ = literal;
    } else if (kind_ == dbkind::mysql && c == '\\') {
      state_ = escaped;
    } else if (c == quote_) {
      state_ = closing;
    }
  }
  // The value `text` stands here: a quote before it closed its literal, a backslash before it
  // escaped the value's first byte. An empty value leaves the reading as it was: the byte after
  // it is read as if it followed the text in front (a backslash there escapes it, a quote there
  // may pair).
  void value(std::string_view text) {
    opened_ = false;
    if (text.empty()) return;
    if (state_ == closing) state_ = code;
    if (state_ == escaped) state_ = literal;
  }
  state now() const { return state_; }
  char quote() const { return quote_; }
  bool opened() const { return opened_; }
  bool operator==(const literal_reader& other) const {
    return kind_ == other.kind_ && state_ == other.state_ && quote_ == other.quote_;
  }

 private:
  const dbkind kind_;
  state state_ = code;
  char quote_ = 0;
  bool opened_ = false;
};

// The offset in `q` of the piece `text`, which walk_template cut from it.
size_t offset_in(std::string_view q, std::string_view text) {
  return static_cast<size_t>(text.data() - q.data());
}

// Replaces every placeholder known to `lookup`; values are escaped for a single-quoted literal
// on the driver's connection. A double-quoted text that holds a placeholder is written as the
// single-quoted literal it is read as: escaping protects a value inside single quotes only, and
// a guest name holding a double quote would otherwise end the text and go on as SQL. A text
// without a placeholder (a quoted column name) is left as it is.
std::string substitute(dbdriver_t& drv, std::string_view q, const placeholder_fn& lookup) {
  std::vector<size_t> rewritten;  // where the double-quoted texts holding a placeholder open
  {
    literal_reader reader(drv.kind);
    size_t opened_at = 0;
    walk_template(
        q, lookup,
        [&](std::string_view text) {
          for (size_t i = 0; i < text.size(); ++i) {
            reader.read(text[i]);
            if (reader.opened()) opened_at = offset_in(q, text) + i;
          }
        },
        [&](std::string_view, const std::string& value) {
          if (reader.now() == literal_reader::literal && reader.quote() == '"')
            rewritten.push_back(opened_at);
          reader.value(value);
        });
  }

  std::string out;
  out.reserve(q.size() + 64);
  literal_reader reader(drv.kind);
  bool rewriting = false;
  // A rewritten text's closing quote is written once the byte after it shows it is one.
  auto close_rewritten = [&] {
    if (rewriting && reader.now() == literal_reader::closing) {
      out += '\'';
      rewriting = false;
    }
  };
  // Whether the byte `c` at `at`, just read, opens a double-quoted text to rewrite.
  auto opens_rewritten = [&](char c, size_t at) {
    return reader.opened() && c == '"' &&
           std::find(rewritten.begin(), rewritten.end(), at) != rewritten.end();
  };
  walk_template(
      q, lookup,
      [&](std::string_view text) {
        for (size_t i = 0; i < text.size(); ++i) {
          const char c = text[i];
          const size_t at = offset_in(q, text) + i;
          const literal_reader::state before = reader.now();
          reader.read(c);
          if (!rewriting) {
            rewriting = opens_rewritten(c, at);
            out += rewriting ? '\'' : c;
          } else if (before == literal_reader::closing && reader.now() == literal_reader::literal &&
                     !reader.opened()) {
            out += '"';  // two double quotes stood for one
          } else if (before == literal_reader::closing) {
            // The quote before this byte closed the text; this byte is the template's again. A
            // literal right behind it stays a literal of its own (MySQL joins the two).
            out += c == '\'' ? "' " : "'";
            rewriting = opens_rewritten(c, at);
            out += rewriting ? '\'' : c;
          } else if (reader.now() == literal_reader::closing) {
            // Nothing yet: a closing quote, or the first of two.
          } else if (before == literal_reader::literal && c == '\'') {
            out += "''";
          } else {
            out += c;
          }
        }
      },
      [&](std::string_view, const std::string& value) {
        // A rewritten text's quote in front of an empty value may still be the first of two.
        if (value.empty()) return;
        close_rewritten();
        reader.value(value);
        out += drv.escape(value);
      });
  close_rewritten();
  return out;
}

}  // namespace

std::string prepare_query(dbdriver_t& drv, std::string_view tmpl, const query_values& v,
                          query_trace trace) {
  std::string result = substitute(drv, tmpl, [&](std::string_view p) -> std::optional<std::string> {
    if (p == "exten") return v.exten;
    if (p == "oldexten") return v.oldexten;
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
  // Escaped as the log escapes: a guest name must not reach a terminal (-f -d) as control
  // sequences.
  std::string shown;
  if (trace != query_trace::off) append_escaped(shown, result, std::string::npos);
  if (trace == query_trace::record) std::printf("query: %s\n", shown.c_str());
  if (trace == query_trace::plain) std::printf("1query: %s\n", shown.c_str());
  return result;
}

std::vector<std::string> template_unquoted_text_placeholders(std::string_view q) {
  static constexpr std::array<std::string_view, 10> kKnown = {
      "exten", "oldexten", "name",         "lang",         "share",
      "date",  "time",     "current_date", "current_time", "seqno"};
  // The room numbers and the shared flag are checked numbers; the others are free text.
  static constexpr std::array<std::string_view, 3> kNumbers = {"exten", "oldexten", "share"};
  std::vector<std::string> unquoted;
  // The template's dialect is not known here: a placeholder counts as quoted only when SQLite
  // and MySQL both read it inside a literal, and not right behind a backslash, which would pair
  // with the escape in front of a quote in the value. A value may also be empty (a room the
  // record left out, %oldexten% outside a move), and then what follows it is read as if it
  // followed the text in front of it: '\%exten%%name%' puts the name right behind the
  // backslash. So each placeholder keeps both readings, with and without its value, and a later
  // one is quoted only when it is in all of them.
  struct reading {
    literal_reader sqlite{dbkind::sqlite}, mysql{dbkind::mysql};
    bool operator==(const reading&) const = default;
  };
  std::vector<reading> readings(1);
  walk_template(
      q,
      [&](std::string_view name) -> std::optional<std::string> {
        if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end()) return std::nullopt;
        return std::string();
      },
      [&](std::string_view text) {
        for (reading& r : readings)
          for (char c : text) {
            r.sqlite.read(c);
            r.mysql.read(c);
          }
      },
      [&](std::string_view name, const std::string&) {
        const bool quoted = std::all_of(readings.begin(), readings.end(), [](const reading& r) {
          return r.sqlite.now() == literal_reader::literal &&
                 r.mysql.now() == literal_reader::literal;
        });
        std::vector<reading> next;
        auto keep = [&next](const reading& r) {
          if (std::find(next.begin(), next.end(), r) == next.end()) next.push_back(r);
        };
        for (const reading& r : readings)
          for (std::string_view v : {"", "x"}) {
            reading after = r;
            after.sqlite.value(v);
            after.mysql.value(v);
            keep(after);
          }
        readings = std::move(next);
        if (quoted || std::find(kNumbers.begin(), kNumbers.end(), name) != kNumbers.end())
          return;
        if (std::find(unquoted.begin(), unquoted.end(), name) == unquoted.end())
          unquoted.emplace_back(name);
      });
  return unquoted;
}
