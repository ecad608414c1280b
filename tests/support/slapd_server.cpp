// An OpenLDAP server of the tests' own: a temporary directory database on a loopback port.
#include "slapd_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace testutil {

namespace {

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

constexpr const char* kEntries = R"(dn: dc=hotel,dc=test
objectClass: dcObject
objectClass: organization
o: Hotel
dc: hotel

dn: ou=rooms,dc=hotel,dc=test
objectClass: organizationalUnit
ou: rooms

dn: cn=main,ou=rooms,dc=hotel,dc=test
objectClass: inetOrgPerson
cn: main
sn: main
roomNumber: 101
roomNumber: 102
roomNumber: 103

dn: cn=annex,cn=main,ou=rooms,dc=hotel,dc=test
objectClass: inetOrgPerson
cn: annex
sn: annex
roomNumber: 201
roomNumber: 202
)";

// True once something accepts connections on the port.
bool accepts_connections(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

slapd_server& slapd_server::shared() {
  static std::unique_ptr<slapd_server> server;
  static std::string failure;
  if (!server && failure.empty()) {
    try {
      server = std::make_unique<slapd_server>();
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!server) throw std::runtime_error(failure);
  return *server;
}

slapd_server::slapd_server() : port_(unused_port()) {
  for (const char* program : {kSlapd, kSlapadd})
    if (access(program, X_OK) != 0)
      throw std::runtime_error(std::string(program) +
                               " is missing: the LDAP tests need the slapd package "
                               "(make deps installs it)");
  std::filesystem::create_directory(dir_.file("db"));
  std::string conf = dir_.file("slapd.conf");
  write_file(conf, "include /etc/ldap/schema/core.schema\n"
                   "include /etc/ldap/schema/cosine.schema\n"
                   "include /etc/ldap/schema/inetorgperson.schema\n"
                   "pidfile " + dir_.file("slapd.pid") + "\n"
                   "modulepath /usr/lib/ldap\n"
                   "moduleload back_mdb\n"
                   "allow bind_v2\n"
                   "database mdb\n"
                   "maxsize 10485760\n"
                   "suffix \"" + suffix() + "\"\n"
                   "rootdn \"" + admin_dn() + "\"\n"
                   "rootpw " + admin_password() + "\n"
                   "directory " + dir_.file("db") + "\n");
  write_file(dir_.file("seed.ldif"), kEntries);
  std::string log = dir_.file("slapd.log");
  if (run_program({kSlapadd, "-f", conf, "-l", dir_.file("seed.ldif")}, log) != 0)
    throw std::runtime_error("slapadd failed:\n" + tail_of_file(log));
  // -d keeps slapd in the foreground, so the fixture owns the process it started.
  process_ = std::make_unique<child_process>(
      std::vector<std::string>{kSlapd, "-f", conf, "-h",
                               "ldap://127.0.0.1:" + std::to_string(port_) + "/", "-d", "0"},
      log, log);
  bool ready = wait_until([&] { return !process_->running() || accepts_connections(port_); },
                          std::chrono::seconds(30));
  if (!ready || !process_->running())
    throw std::runtime_error("slapd did not come up:\n" + tail_of_file(log));
}

}  // namespace testutil
