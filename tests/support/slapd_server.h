// An OpenLDAP server of the tests' own: a temporary directory database on a loopback port.
#pragma once

#include <memory>
#include <string>

#include "testutil.h"

namespace testutil {

// Holds, under the suffix dc=hotel,dc=test:
//   ou=rooms                          no room numbers
//   cn=main,ou=rooms                  roomNumber 101, 102, 103
//   cn=annex,cn=main,ou=rooms         roomNumber 201, 202
// Anonymous clients may read; the administrator binds as admin_dn() with admin_password().
// LDAPv2 binds are allowed, since that is the rooms loader's default version.
class slapd_server {
 public:
  // The one server of this test program, started on first use (from the main thread, which
  // the server's life is tied to) and stopped when the program ends. Throws
  // std::runtime_error with the reason when it cannot be started, a missing slapd included.
  static slapd_server& shared();

  slapd_server();
  ~slapd_server() = default;
  slapd_server(const slapd_server&) = delete;
  slapd_server& operator=(const slapd_server&) = delete;

  std::string host() const { return "127.0.0.1"; }
  int port() const { return port_; }
  std::string suffix() const { return "dc=hotel,dc=test"; }
  std::string admin_dn() const { return "cn=admin,dc=hotel,dc=test"; }
  std::string admin_password() const { return "front-desk"; }

 private:
  temp_dir dir_;
  int port_;
  std::unique_ptr<child_process> process_;
};

}  // namespace testutil
