// Query templates: SQL written by the administrator, with %placeholders% filled in.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbdriver.h"

// Whether prepare_query traces the statement it made on standard output, and how: statements
// filled from a received record as "query: %s\n", those filled from a poll row as
// "1query: %s\n". The configuration check fills every template without running it and keeps
// standard output for its findings.
enum class query_trace { off, record, plain };

// The values a template is filled with; an empty text gives empty text. Every member has its
// default, so that a caller names only the values it has.
struct query_values {
  std::string exten{}, name{}, lang{}, seqno{};
  std::string oldexten{};  // a room move: the room the guest left
  int share = 0;
  // A record's date and time, written in the driver's formats. Not normalised: tm_year is the
  // record's two-digit year + 100, and a zero date stays month 0 ("2000-00-00").
  std::optional<std::tm> date{}, time{};
  // Texts that go in as given (a poll row's date and time columns) when date or time is unset.
  std::string date_text{}, time_text{};
};

// Fills a template: every value is escaped for a single-quoted literal on the driver's
// connection (dbdriver_t::escape), so the caller holds the driver's lock and has connected it.
// A double-quoted text that holds a placeholder is written as a single-quoted literal, as the
// driver reads it. The statement is traced with its control characters escaped.
// Placeholders: %exten% %name% %lang% %share% %date% %time% %current_date% %current_time% %seqno%
// %oldexten%
// (the current ones from the clock, in the driver's formats). A "%" that opens none of them is
// copied as it is.
std::string prepare_query(dbdriver_t& drv, std::string_view tmpl, const query_values& v,
                          query_trace trace = query_trace::record);

// The free-text placeholders (all but %exten% and %share%, numbers written without quotes for
// integer columns) that stand outside quotes in a template, each once, in order: outside a
// literal, a value is read as SQL.
std::vector<std::string> template_unquoted_text_placeholders(std::string_view sql);
