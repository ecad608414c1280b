// Driver registry and the parts of the driver interface shared by both kinds.
#include "dbdriver.h"

#include <list>

#include "logger.h"

namespace {

constexpr size_t kNameMax = 15;

std::mutex registry_lock;  // a reload registers drivers while workers look them up
std::list<std::unique_ptr<dbdriver_t>> registry;

}  // namespace

dbdriver_t::dbdriver_t(dbkind k, std::string_view instance_name, int default_port)
    : kind(k), name(instance_name.substr(0, kNameMax)), port(default_port) {}

void dbdriver_t::reconnect_if_needed() {
  if (is_connected() == 0) return;
  connect(host ? host->c_str() : nullptr, static_cast<uint16_t>(port),
          user ? user->c_str() : nullptr, password ? password->c_str() : nullptr,
          database ? database->c_str() : nullptr);
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

dbdriver_t* find_dbdriver(std::string_view name) {
  std::lock_guard guard(registry_lock);
  for (auto& drv : registry)
    if (drv->name == name) return drv.get();
  return nullptr;
}

void register_dbdriver(std::unique_ptr<dbdriver_t> drv) {
  std::lock_guard guard(registry_lock);
  registry.push_front(std::move(drv));
}

// Until the drivers land, no section creates a driver.
void load_dbdrivers(_dictionary_*) {}
