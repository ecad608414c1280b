// Fuzz target: load_conf on arbitrary INI text. The file must load or be refused, never crash.
//
// load_conf also makes a database driver for every section with a dbdriver key and connects it.
// So that no input reaches a real server or writes a file anywhere, every such section is bound
// to harmless settings before the file is loaded: an SQLite file in a folder that does not exist,
// and a MySQL server at 127.0.0.1 on a port where nothing listens. The bindings are appended as
// the same sections opened again; the file is then parsed once more with the calls load_conf
// itself makes, and loaded only when every driver section is seen bound. Drivers stay registered
// for the life of the process, so after a budget of them the sections are switched off instead.
#include <fcntl.h>
#include <iniparser.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kDriverBudget = 10000;

// Where the target writes its file, the database path that cannot be opened, and a port on which
// connecting is refused: a socket holds it bound without listening, so no other program can
// start a server there while the target runs.
struct scratch {
  std::string dir;
  std::string file;
  std::string database;
  std::string port;
  unique_fd port_holder;

  scratch() {
    char folder[] = "/tmp/velmorant-conf-fuzz.XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    dir = folder;
    file = dir + "/velmorant.conf";
    database = dir + "/absent/pbx.db";
    port_holder.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (!port_holder || ::bind(port_holder.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(port_holder.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      std::abort();
    port = std::to_string(ntohs(addr.sin_port));
  }
  ~scratch() {
    ::unlink(file.c_str());
    ::rmdir(dir.c_str());
  }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
};

void write_file(const std::string& path, std::string_view text) {
  unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  FUZZ_CHECK(static_cast<bool>(fd));
  FUZZ_CHECK(::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()));
}

using ini_ptr = std::unique_ptr<dictionary, decltype(&iniparser_freedict)>;

const char* value_of(dictionary* ini, const std::string& section, const char* key) {
  return iniparser_getstring(ini, (section + ":" + key).c_str(), nullptr);
}

// The sections of a parsed file that would make a driver, found as load_conf finds them.
std::vector<std::string> driver_sections(dictionary* ini) {
  std::vector<std::string> names;
  for (int i = 0; i < iniparser_getnsec(ini); ++i) {
    const char* section = iniparser_getsecname(ini, i);
    if (!section) continue;
    const char* type = value_of(ini, section, "dbdriver");
    if (type && (strcasecmp(type, "sqlite") == 0 || strcasecmp(type, "mysql") == 0))
      names.emplace_back(section);
  }
  return names;
}

bool bound_to_scratch(dictionary* ini, const std::string& section, const scratch& s) {
  auto is = [&](const char* key, const std::string& want) {
    const char* v = value_of(ini, section, key);
    return v && want == v;
  };
  return is("database", s.database) && is("host", "127.0.0.1") && is("port", s.port);
}

std::string bindings(const std::vector<std::string>& sections, const scratch& s, bool drivers) {
  // Blank lines first: the input may end inside a continued line.
  std::string text = "\n\n";
  for (const std::string& section : sections) {
    text += "[" + section + "]\n";
    if (drivers)
      text += "database = " + s.database + "\nhost = 127.0.0.1\nport = " + s.port + "\n";
    else
      text += "dbdriver = none\n";
  }
  return text;
}

// A service value reads back as its driver name and template.
void check_service_value(const std::optional<std::string>& value) {
  if (!value) return;
  const service_value sv = split_service_value(*value);
  if (value->find(':') == std::string::npos)
    FUZZ_CHECK(sv.driver == "sqlite" && sv.sql == *value);
  else
    FUZZ_CHECK(sv.driver + ":" + sv.sql == *value && sv.driver.find(':') == std::string::npos);
}

int quiet_ini_errors(const char*, ...) { return 0; }

// A port key reads as 1..65535 or is refused; a value of decimal digits alone reads as that
// decimal number, leading zeros and all. The port, or nothing when refused.
std::optional<int> read_port(dictionary* ini, const char* key, int notfound) {
  int port = 0;
  if (conf_getport(ini, key, notfound, port) != 0) return std::nullopt;
  FUZZ_CHECK(port >= 1 && port <= 65535);
  // A section named like the key ("[pms:port]") reads as a null value, not as the default.
  const char* text = iniparser_getstring(ini, key, nullptr);
  const std::string_view value = text ? text : "";
  if (!value.empty() && value.size() <= 9 &&
      value.find_first_not_of("0123456789") == std::string_view::npos)
    FUZZ_CHECK(port == std::atoi(std::string(value).c_str()));
  return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet();
  static const scratch s;
  static size_t drivers_made = 0;
  static const bool errors_quiet = (iniparser_set_error_callback(quiet_ini_errors), true);
  (void)errors_quiet;

  const std::string_view text = as_text(data, size);
  write_file(s.file, text);
  ini_ptr first(iniparser_load(s.file.c_str()), &iniparser_freedict);
  std::shared_ptr<const Settings> loaded;
  if (!first) {
    FUZZ_CHECK(load_conf(s.file, loaded) == -1);
    return 0;
  }

  const std::vector<std::string> sections = driver_sections(first.get());
  ini_ptr bound(nullptr, &iniparser_freedict);
  if (!sections.empty()) {
    const bool drivers = drivers_made + sections.size() <= kDriverBudget;
    write_file(s.file, std::string(text) + bindings(sections, s, drivers));
    bound.reset(iniparser_load(s.file.c_str()));
    if (!bound) return 0;
    const std::vector<std::string> left = driver_sections(bound.get());
    if (!drivers && !left.empty()) return 0;
    for (const std::string& section : left)
      if (!bound_to_scratch(bound.get(), section, s)) return 0;
    drivers_made += left.size();
  }

  // The file loads exactly when its ports are in range (the drivers' ports are the scratch one).
  dictionary* parsed = bound ? bound.get() : first.get();
  const std::optional<int> pms_port = read_port(parsed, "pms:port", 5010);
  const std::optional<int> mgr_port = read_port(parsed, "services:cdr_mgr_port", 5038);
  if (!pms_port || !mgr_port) {
    FUZZ_CHECK(load_conf(s.file, loaded) == -1);
    return 0;
  }
  FUZZ_CHECK(load_conf(s.file, loaded) == 0);
  FUZZ_CHECK(loaded->pmsport == *pms_port && loaded->mgr_port == *mgr_port);
  for (const auto* value :
       {&loaded->bareon, &loaded->bareoff, &loaded->dndon, &loaded->dndoff, &loaded->wakeup_set,
        &loaded->wakeup_clear, &loaded->checkin, &loaded->checkout, &loaded->billmark,
        &loaded->billok, &loaded->room_state, &loaded->wakeup_result, &loaded->billcalls,
        &loaded->wrmark, &loaded->remark})
    check_service_value(*value);
  return 0;
}
