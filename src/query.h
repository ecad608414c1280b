// Query templates: SQL written by the administrator, with %placeholders% filled in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dbdriver.h"
#include "fias.h"

// Whether a fill function traces the statement it made on standard output. The configuration
// check fills every template without running it and keeps standard output for its findings.
enum class query_trace { on, off };

// Fills a template from the fields of a received record. Record dates and times are written in
// the driver's own formats; every value is escaped for a single-quoted literal on the driver's
// connection (dbdriver_t::escape), so the caller holds the driver's lock and has connected it.
// Null fields give empty text ("%share%" gives "0"). Traces "query: %s\n" on standard output.
// Placeholders: %exten% %name% %lang% %share% %date% %time% %current_date% %current_time% %seqno%
std::string prepare_query(dbdriver_t& drv, std::string_view q, const fias_field_t* rn,
                          const fias_field_t* name, const fias_field_t* lang,
                          const fias_field_t* shared, const fias_field_t* date,
                          const fias_field_t* tim, const fias_field_t* seq,
                          query_trace trace = query_trace::on);

// Fills a template from plain texts (null gives empty text); dates and times go in as given.
// Traces "1query: %s\n". Placeholders: %exten% %date% %time% %current_date% %current_time% %seqno%
std::string prepare_query2(dbdriver_t& drv, std::string_view q, const char* rn,
                           const char* da, const char* ti, const char* seq,
                           query_trace trace = query_trace::on);

// As prepare_query2, with %param% besides.
std::string prepare_query3(dbdriver_t& drv, std::string_view q, const char* param,
                           const char* rn, const char* da, const char* ti, const char* seq);

// The free-text placeholders (%name% %lang% %date% %time% %seqno% %param% %current_date%
// %current_time%) that stand outside single quotes in a template, each once, in order. Escaping
// keeps a value inside a single-quoted literal only: outside one, or inside double quotes, a
// value is read as SQL. %exten% and %share% are left out, as numbers written without quotes
// for integer columns.
std::vector<std::string> template_unquoted_text_placeholders(std::string_view sql);
