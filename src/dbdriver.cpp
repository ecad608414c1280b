// The parts of the driver interface both kinds share.
#include "dbdriver.h"

#include <climits>
#include <cstdlib>

namespace {

constexpr size_t kNameMax = 15;

}  // namespace

dbdriver_t::dbdriver_t(dbkind k, std::string_view instance_name, int default_port)
    : kind(k), name(instance_name.substr(0, kNameMax)), port(default_port) {}

int dbdriver_t::connect_with_settings() {
  return connect(host ? host->c_str() : nullptr, static_cast<uint16_t>(port),
                 user ? user->c_str() : nullptr, password ? password->c_str() : nullptr,
                 database ? database->c_str() : nullptr);
}

int dbdriver_t::reconnect_if_needed() {
  if (!needs_connect()) return 0;
  return connect_with_settings();
}

std::string sql_escape(dbkind kind, std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '\'') out += '\'';
    else if (c == '\\' && kind == dbkind::mysql) out += '\\';
    out += c;
  }
  return out;
}

int db_text_to_int(const char* text) {
  long long value = std::strtoll(text, nullptr, 0);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
