// make install: the tree it lays out under DESTDIR for the usual prefixes, the configuration it
// never overwrites, and man pages that render cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "paths.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;

namespace {

namespace fs = std::filesystem;

struct outcome {
  int status;
  std::string out, err;
};

// Runs a program with extra environment settings ("NAME=value") through env(1).
outcome run(const std::vector<std::string>& env, const std::vector<std::string>& argv) {
  testutil::temp_dir dir;
  std::vector<std::string> command = {"/usr/bin/env"};
  command.insert(command.end(), env.begin(), env.end());
  command.insert(command.end(), argv.begin(), argv.end());
  testutil::child_process p(command, dir.file("out"), dir.file("err"));
  int status = p.wait_exit(120s).value_or(-1);
  return {status, read_file(dir.file("out")), read_file(dir.file("err"))};
}

outcome install(const std::string& destdir, const std::string& prefix) {
  return run({"DESTDIR=" + destdir},
             {"cmake", "--install", testpaths::build_dir(), "--prefix", prefix});
}

// Terminal columns of a UTF-8 line: every byte but the continuation bytes.
size_t columns(const std::string& line) {
  size_t n = 0;
  for (unsigned char c : line) n += (c & 0xC0) != 0x80;
  return n;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST(Install, LaysOutProgramsManPagesExamplesUnitAndConfigurationForEachPrefix) {
  struct layout {
    std::string prefix, sbin, bin, man, doc, unit, conf;
  };
  const layout layouts[] = {
      {"/usr", "/usr/sbin", "/usr/bin", "/usr/share/man", "/usr/share/doc/velmorant",
       "/usr/lib/systemd/system", "/etc"},
      // The daemon reads /etc/velmorant.conf without -c, so a system-wide /usr/local install
      // puts it there too; its unit goes where systemd looks for local units.
      {"/usr/local", "/usr/local/sbin", "/usr/local/bin", "/usr/local/share/man",
       "/usr/local/share/doc/velmorant", "/usr/local/lib/systemd/system", "/etc"},
      {"/opt/velmorant", "/opt/velmorant/sbin", "/opt/velmorant/bin", "/opt/velmorant/share/man",
       "/opt/velmorant/share/doc/velmorant", "/opt/velmorant/lib/systemd/system",
       "/etc/opt/velmorant"},
  };
  for (const layout& l : layouts) {
    SCOPED_TRACE(l.prefix);
    testutil::temp_dir root;
    outcome o = install(root.path(), l.prefix);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    auto at = [&](const std::string& path) { return root.path() + path; };

    EXPECT_EQ(mode_of(at(l.sbin + "/velmorant")), 0755u);
    EXPECT_EQ(mode_of(at(l.bin + "/pmssim")), 0755u);
    EXPECT_EQ(read_file(at(l.man + "/man8/velmorant.8")),
              read_file(testpaths::source_dir() + "/doc/velmorant.8"));
    EXPECT_EQ(read_file(at(l.man + "/man1/pmssim.1")),
              read_file(testpaths::source_dir() + "/doc/pmssim.1"));
    for (const char* example : {"velmorant.conf", "velmorant-sqlite.conf", "velmorant-mysql.conf",
                                "pbx-sqlite.sql", "pbx-mysql.sql", "cdr_sqlite3_custom.conf",
                                "cdr_manager.conf"})
      EXPECT_TRUE(fs::exists(at(l.doc + "/examples/" + example))) << example;
    EXPECT_TRUE(fs::exists(at(l.doc + "/README.md")));

    std::string unit = read_file(at(l.unit + "/velmorant.service"));
    const std::string unit_lines[] = {
        "Type=notify\n",
        "ExecStart=" + l.sbin + "/velmorant -f -c " + l.conf + "/velmorant.conf\n",
        "ExecReload=/bin/kill -HUP $MAINPID\n", "Restart=on-failure\n", "WatchdogSec=30s\n",
        "StandardOutput=null\n", "User=velmorant\n", "StateDirectoryMode=0750\n",
        "WantedBy=multi-user.target\n"};
    for (const std::string& line : unit_lines)
      EXPECT_NE(unit.find(line), std::string::npos) << line << " missing from\n" << unit;
    EXPECT_EQ(unit.find("PIDFile="), std::string::npos) << "systemd follows the foreground process";

    // The configuration holds database passwords: not for every local user to read.
    std::string conf = at(l.conf + "/velmorant.conf");
    EXPECT_EQ(read_file(conf), read_file(testpaths::source_dir() + "/etc/velmorant.conf"));
    EXPECT_EQ(mode_of(conf), 0640u);

    // Nothing lands outside the prefix and the configuration folder.
    for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
      if (!entry.is_regular_file()) continue;
      std::string path = entry.path().string().substr(root.path().size());
      EXPECT_TRUE(path.starts_with(l.prefix + "/") || path.starts_with(l.conf + "/")) << path;
    }
  }
}

// The sandbox stays tight: systemd's own rating of the installed unit, which also reports any
// directive it does not know (a misspelt one would silently leave its protection off).
TEST(Install, InstalledUnitIsSandboxedToAnExposureOfAtMostTwoAndAHalf) {
  testutil::temp_dir root;
  ASSERT_EQ(install(root.path(), "/usr").status, 0);
  outcome rating = run({}, {"systemd-analyze", "security", "--offline=true", "--no-pager",
                            root.file("usr/lib/systemd/system/velmorant.service")});
  ASSERT_EQ(rating.status, 0) << rating.err;
  EXPECT_EQ(rating.err, "") << "warnings about the unit";
  const std::string label = "Overall exposure level for velmorant.service: ";
  size_t at = rating.out.find(label);
  ASSERT_NE(at, std::string::npos) << rating.out;
  double exposure = std::stod(rating.out.substr(at + label.size()));
  EXPECT_LE(exposure, 2.5) << rating.out;
}

TEST(Install, AnUpgradeKeepsTheAdministratorsConfiguration) {
  testutil::temp_dir root;
  ASSERT_EQ(install(root.path(), "/usr").status, 0);
  std::string conf = root.file("etc/velmorant.conf");
  testutil::write_file(conf, "[pms]\nhost = pms.hotel.example\n");
  outcome again = install(root.path(), "/usr");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(conf), "[pms]\nhost = pms.hotel.example\n");
  EXPECT_NE(again.out.find("Keeping: " + conf), std::string::npos) << again.out;
  // The rest is brought up to date as usual.
  EXPECT_TRUE(fs::exists(root.file("usr/sbin/velmorant")));
}

TEST(Install, InstalledProgramsRunAndTheirManPagesRenderWithoutWarnings) {
  testutil::temp_dir root;
  ASSERT_EQ(install(root.path(), "/usr").status, 0);

  outcome help = run({}, {root.file("usr/sbin/velmorant"), "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.err.find("Velmorant: middle layer FIAS application."), std::string::npos);
  outcome sim_help = run({}, {root.file("usr/bin/pmssim"), "--help"});
  EXPECT_EQ(sim_help.status, 0);
  EXPECT_NE(sim_help.out.find("Usage: pmssim"), std::string::npos);

  struct page {
    std::string path, header;
    std::vector<std::string> sections;
  };
  const page pages[] = {
      {root.file("usr/share/man/man8/velmorant.8"), "VELMORANT(8)",
       {"SYNOPSIS", "OPTIONS", "CONFIGURATION", "POLL QUERIES", "SIGNALS", "FILES",
        "EXIT STATUS", "EXAMPLES"}},
      {root.file("usr/share/man/man1/pmssim.1"), "PMSSIM(1)",
       {"SYNOPSIS", "OPTIONS", "SCRIPT", "EXIT STATUS", "EXAMPLES"}},
  };
  for (const page& p : pages) {
    SCOPED_TRACE(p.path);
    outcome lint = run({}, {"groff", "-man", "-ww", "-z", "-Tutf8", p.path});
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.err, "");
    outcome shown =
        run({"LC_ALL=C.UTF-8", "MANWIDTH=80"}, {"man", "--warnings", "-l", p.path});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out.rfind(p.header, 0), 0u) << shown.out.substr(0, 200);
    for (const std::string& section : p.sections)
      EXPECT_NE(shown.out.find("\n" + section + "\n"), std::string::npos) << section;
    for (const std::string& line : testutil::lines_of(shown.out))
      EXPECT_LE(columns(line), 80u) << "wider than the terminal: " << line;
  }
}

}  // namespace
