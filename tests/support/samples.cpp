// The sample configurations of etc/, pointed at PBX databases the tests own.
#include "samples.h"

#include <iniparser.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>

#include "mariadb_server.h"
#include "paths.h"

namespace testutil {

namespace {

mariadb_server& server() { return mariadb_server::shared(); }

}  // namespace

std::string etc_file(const std::string& name) {
  return testpaths::source_dir() + "/etc/" + name;
}

void sqlite_pbx::reset() {
  std::filesystem::remove(file_);
  exec(read_file(etc_file("pbx-sqlite.sql")) + "\ninsert into extensions (exten) values ('101')");
}

void sqlite_pbx::exec(const std::string& sql) { sqlite_exec(file_, sql); }

rows_t sqlite_pbx::rows(const std::string& sql) { return sqlite_rows(file_, sql); }

std::map<std::string, std::string> sqlite_pbx::connection() { return {{"database", file_}}; }

void mysql_pbx::reset() {
  exec("DROP DATABASE IF EXISTS asterisk; DROP DATABASE IF EXISTS asteriskcdrdb; " +
       read_file(etc_file("pbx-mysql.sql")) +
       "\ninsert into asterisk.users (extension) values ('101')");
}

void mysql_pbx::exec(const std::string& sql) { server().execute(sql); }

rows_t mysql_pbx::rows(const std::string& sql) { return server().query(sql); }

std::map<std::string, std::string> mysql_pbx::connection() {
  return {{"host", server().host()},
          {"port", std::to_string(server().port())},
          {"user", server().user()},
          {"password", server().password()}};
}

std::string ami_sample(uint16_t port, const std::string& user, const std::string& secret,
                       const std::string& statesfile, int seconds) {
  const std::map<std::string, std::string> values = {
      {"pbxami:host", "127.0.0.1"},       {"pbxami:port", std::to_string(port)},
      {"pbxami:user", user},              {"pbxami:password", secret},
      {"pbxami:connect_timeout", std::to_string(seconds)},
      {"pbxami:read_timeout", std::to_string(seconds)},
      {"pms:statesfile", statesfile}};
  std::istringstream in(read_file(etc_file("velmorant-ami.conf")));
  std::ostringstream out;
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.starts_with("[")) section = line.substr(1, line.find(']') - 1);
    const auto found = values.find(section + ":" + line.substr(0, line.find(" = ")));
    out << (found == values.end() ? line : line.substr(0, line.find(" = ") + 3) + found->second)
        << "\n";
  }
  return out.str();
}

std::string point_at(const std::string& sample, pbx_database& pbx) {
  std::unique_ptr<dictionary, decltype(&iniparser_freedict)> ini(iniparser_load(sample.c_str()),
                                                                  &iniparser_freedict);
  auto is_database = [&](const std::string& section) {
    return ini && iniparser_getstring(ini.get(), (section + ":dbdriver").c_str(), nullptr);
  };
  std::map<std::string, std::string> values = pbx.connection();
  std::istringstream in(read_file(sample));
  std::ostringstream out;
  std::string line, section;
  std::set<std::string> written;
  auto finish_section = [&] {
    if (!is_database(section)) return;
    for (const auto& [key, value] : values)
      if (!written.count(key)) out << key << " = " << value << "\n";
  };
  while (std::getline(in, line)) {
    if (line.starts_with("[")) {
      finish_section();
      section = line.substr(1, line.find(']') - 1);
      for (char& c : section) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      written.clear();
      out << line << "\n";
      continue;
    }
    std::string key = line.substr(0, line.find_first_of(" ="));
    if (is_database(section) && values.count(key)) {
      out << key << " = " << values[key] << "\n";
      written.insert(key);
    } else {
      out << line << "\n";
    }
  }
  finish_section();
  return out.str();
}

}  // namespace testutil
