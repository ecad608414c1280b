// make demo, the daemon's main job as a newcomer first meets it: run here as make runs it, so it
// cannot rot unnoticed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "paths.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;

namespace {

namespace fs = std::filesystem;

struct demo_run {
  std::optional<int> status;
  std::string out, err;
  std::chrono::seconds took;
};

// Runs tools/demo.sh with `args` for at most `bound`; a demo that overruns is stopped the way a
// person would stop it (SIGTERM, which its traps answer by stopping what it started).
demo_run run_demo(const std::vector<std::string>& args, std::chrono::seconds bound) {
  testutil::temp_dir dir;
  std::vector<std::string> argv = {"/bin/bash", testpaths::source_dir() + "/tools/demo.sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = std::chrono::steady_clock::now();
  testutil::child_process demo(argv, dir.file("out"), dir.file("err"));
  demo_run run;
  run.status = demo.wait_exit(bound);
  if (!run.status) {
    demo.signal(SIGTERM);
    demo.wait_exit(20s);
  }
  run.took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  run.out = read_file(dir.file("out"));
  run.err = read_file(dir.file("err"));
  return run;
}

// Processes whose command line mentions `text`.
std::vector<std::string> processes_mentioning(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string cmdline = read_file(entry.path() / "cmdline");
    for (char& c : cmdline)
      if (c == '\0') c = ' ';
    if (cmdline.find(text) != std::string::npos) found.push_back(entry.path().filename().string() + ": " + cmdline);
  }
  return found;
}

bool has(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

TEST(Demo, PlaysAGuestsStayEndToEndAndStopsEverythingItStarted) {
  // In a ThreadSanitizer build a race must end the daemon, so that the demo reports it with the
  // daemon's last log lines instead of the report going away with the demo's folder.
  setenv("TSAN_OPTIONS", "halt_on_error=1", 0);
  demo_run run = run_demo({testpaths::build_dir()}, 120s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  const std::string& out = run.out;

  // The records that crossed the link, in both directions.
  EXPECT_TRUE(has(out, R"(velmorant -> PMS  LR\|RIPS\|)")) << out;
  EXPECT_TRUE(has(out, R"(velmorant -> PMS  LR\|RIGC\|FLRNROG#GNGFGTGLGVGS\|)")) << out;
  EXPECT_TRUE(has(out, R"(PMS -> velmorant  GI\|RN101\|GNO'Brien\|)")) << out;
  EXPECT_TRUE(has(out, R"(velmorant -> PMS  PS\|P#0001\|RN101\|PTT\|DA\d{6}\|TI\d{6}\|DU000205\|DD00442079460123\|)"))
      << out;
  EXPECT_TRUE(has(out, R"(PMS -> velmorant  PA\|ASOK\|RN101\|P#0001\|)")) << out;
  EXPECT_TRUE(has(out, R"(velmorant -> PMS  WA\|RN101\|DA\d{6}\|TI070000\|ASOK\|)")) << out;
  EXPECT_TRUE(has(out, R"(PMS -> velmorant  GO\|RN101\|)")) << out;
  EXPECT_TRUE(has(out, R"(PMS -> velmorant  GC\|RN101\|RO102\|G#4712\|)")) << out;

  // The PBX rows after each step (exten, name, language, dnd, barred, wake-up date and time,
  // result; the call's userfield).
  EXPECT_TRUE(has(out, R"(before +101 +0 +0 +NULL\n +after +101 +O'Brien +EA +0 +0 +NULL)")) << out;
  EXPECT_TRUE(has(out, R"(after +101 +O'Brien +EA +1 +0 +NULL)")) << out;
  EXPECT_TRUE(has(out, R"(after +101 +O'Brien +EA +1 +1 +NULL)")) << out;
  EXPECT_TRUE(has(out, R"(after +101 +O'Brien +EA +1 +1 +\d{4}-\d\d-\d\d +07:00:00 +NULL)")) << out;
  EXPECT_TRUE(has(out, R"(written .* 101 +00442079460123 +125 +ANSWERED\n +after .* 101 +00442079460123 +125 +ANSWERED +PA 0001)"))
      << out;
  EXPECT_TRUE(has(out, R"(written +101 +O'Brien .* 07:00:00 +1\n +after +101 +O'Brien +EA +1 +1 +NULL)")) << out;
  EXPECT_TRUE(has(out, R"(after +101 +0 +1 +NULL\n\n9\. Check-in: Ms Ito)")) << out;
  EXPECT_TRUE(has(out, R"(before +102 +0 +0 +NULL\n +after +102 +Ito +EA +0 +0 +NULL)")) << out;
  // The room move shows the old room's row, then the new room's, before and after: the room left
  // is cleared and barred as a check-out leaves it, the new one has the guest and is open.
  EXPECT_TRUE(has(out, R"(before +102 +Ito +EA +0 +0 +NULL\n +before +101 +0 +1 +NULL\n)"
                       R"( +after +102 +0 +1 +NULL\n +after +101 +Ito +EA +0 +0 +NULL\n)"
                       R"(\nDone in \d+ s)"))
      << out;

  // Nothing of the demo is left: neither its folder nor a program that was started in it.
  std::smatch folder;
  ASSERT_TRUE(std::regex_search(out, folder, std::regex("(/tmp/velmorant-demo\\.[A-Za-z0-9]+)/")));
  EXPECT_FALSE(fs::exists(folder[1].str()));
  EXPECT_EQ(processes_mentioning(folder[1].str()), std::vector<std::string>{});
}

TEST(Demo, FailsAtOnceWithAClearMessage) {
  testutil::silent_listener occupied;  // a port in use
  testutil::temp_dir empty_build;
  struct failure {
    std::vector<std::string> args;
    std::string message;
  };
  const failure failures[] = {
      {{testpaths::build_dir(), std::to_string(occupied.port())},
       "demo failed: port " + std::to_string(occupied.port()) + " on 127.0.0.1 is in use"},
      {{empty_build.path()}, "demo failed: " + empty_build.path() + "/velmorant is missing: run make first"},
      {{testpaths::build_dir(), "5o10"}, "demo failed: the PMS port \"5o10\" is not a number"},
  };
  for (const failure& f : failures) {
    demo_run run = run_demo(f.args, 30s);
    EXPECT_EQ(run.status, 1) << f.message << "\n" << run.out << run.err;
    EXPECT_EQ(run.err.rfind(f.message, 0), 0u) << run.err;
    EXPECT_LT(run.took, 10s) << f.message;
  }
}

}  // namespace
