// The sample configurations of etc/, pointed at PBX databases the tests own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sqlite_probe.h"
#include "testutil.h"

namespace testutil {

// The path of a file of etc/.
std::string etc_file(const std::string& name);

// The PBX database of one kind, with the schema the samples expect (etc/pbx-sqlite.sql, or
// etc/pbx-mysql.sql on the tests' MariaDB) and the phone of room 101.
class pbx_database {
 public:
  virtual ~pbx_database() = default;
  // Creates the schema afresh.
  virtual void reset() = 0;
  virtual void exec(const std::string& sql) = 0;
  virtual rows_t rows(const std::string& sql) = 0;
  // The values of a database section that point it at this database.
  virtual std::map<std::string, std::string> connection() = 0;
};

// An SQLite file in a folder of its own, removed with the object.
class sqlite_pbx : public pbx_database {
 public:
  void reset() override;
  void exec(const std::string& sql) override;
  rows_t rows(const std::string& sql) override;
  std::map<std::string, std::string> connection() override;

 private:
  temp_dir dir_;
  std::string file_ = dir_.file("pbx.db");
};

// The databases asterisk and asteriskcdrdb on the shared MariaDB server.
class mysql_pbx : public pbx_database {
 public:
  void reset() override;
  void exec(const std::string& sql) override;
  rows_t rows(const std::string& sql) override;
  std::map<std::string, std::string> connection() override;
};

// The text of etc/velmorant-ami.conf with its manager section pointed at a test manager on
// 127.0.0.1:`port` with `user` and `secret`, its answer limits at `seconds`, and the states file
// at `statesfile`; every other line is kept as it is.
std::string ami_sample(uint16_t port, const std::string& user, const std::string& secret,
                       const std::string& statesfile, int seconds = 5);

// The text of the configuration file `sample` with its database sections pointed at `pbx`:
// every other line is kept as it is.
std::string point_at(const std::string& sample, pbx_database& pbx);

}  // namespace testutil
