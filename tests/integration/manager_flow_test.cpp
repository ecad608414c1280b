// The real binary with a manager interface: a Cdr event becomes a posting, and its answer
// settles the cached call.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "ami_server.h"
#include "paths.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;
using testutil::rows_t;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

class ManagerFlow : public ::testing::Test {
 protected:
  // Starts pmssim answering postings, and the daemon with the manager in use.
  void start(int noremovecalls) {
    pmssim = std::make_unique<testutil::child_process>(
        std::vector<std::string>{testpaths::pmssim_binary(), "--port", "0", "--answer-postings", "--script",
                                 "/dev/null"},
        sim_out, dir.file("pmssim.err"));
    // The first line names the port pmssim picked: "listening on 127.0.0.1:PORT".
    const std::string banner = "listening on 127.0.0.1:";
    std::string pms_port;
    ASSERT_TRUE(wait_until([&] {
      std::vector<std::string> lines = testutil::lines_of(read_file(sim_out));
      if (lines.empty() || lines[0].rfind(banner, 0) != 0) return false;
      pms_port = lines[0].substr(banner.size());
      return true;
    }, 5s)) << read_file(sim_out) << read_file(dir.file("pmssim.err"));
    testutil::write_file(conf, "[pms]\nhost = 127.0.0.1\nport = " + pms_port + "\nstatesfile = " + states +
                                   "\n[logger]\nlog_file = " + log + "\n[services]\ncdr_use_manager = 1\n"
                                   "cdr_mgr_host = 127.0.0.1\ncdr_mgr_port = " + std::to_string(ami.port()) +
                                   "\ncdr_mgr_user = velmorant\ncdr_mgr_password = pbx\nnoremovecalls = " +
                                   std::to_string(noremovecalls) + "\n[rooms]\nroom1 = 101\n");
    daemon = std::make_unique<testutil::child_process>(
        std::vector<std::string>{testpaths::velmorant_binary(), "-f", "-c", conf}, dir.file("out"),
        dir.file("err"));
    ASSERT_TRUE(ami.wait_for_accepted_logins(1, 10s)) << diagnostics();
    ASSERT_TRUE(wait_until([&] { return read_file(log).find("Received Link active packet") != std::string::npos; }, 10s))
        << diagnostics();
  }
  std::string diagnostics() const { return read_file(log) + read_file(dir.file("err")) + read_file(sim_out); }
  rows_t cache() { return sqlite_rows(states, "select src, userfield from cdrcache"); }

  testutil::temp_dir dir;
  std::string conf = dir.file("v.conf"), log = dir.file("v.log"), states = dir.file("states.db"),
              sim_out = dir.file("pmssim.out");
  testami::ami_server ami{"velmorant", "pbx"};
  std::unique_ptr<testutil::child_process> pmssim, daemon;
};

TEST_F(ManagerFlow, CdrEventIsPostedAndTheAnswerDeletesTheCachedCall) {
  start(0);
  testami::cdr_event call;
  call.destination = "200";
  call.start_time = "2009-12-31 10:15:00";
  call.billable_seconds = "125";
  ASSERT_TRUE(ami.send_cdr(call));
  ASSERT_TRUE(wait_until([&] { return cache().size() == 1; }, 5s)) << diagnostics();
  std::string posting = "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|";
  ASSERT_TRUE(wait_until([&] { return read_file(sim_out).find("< " + posting) != std::string::npos; }, 12s))
      << diagnostics();
  EXPECT_TRUE(wait_until([&] { return cache().empty(); }, 5s)) << "the PA settles the call\n" << diagnostics();
}

TEST_F(ManagerFlow, WithNoremovecallsTheAnsweredCallKeepsThePostAnswer) {
  start(1);
  testami::cdr_event call;
  call.destination = "200";
  call.start_time = "2009-12-31 10:15:00";
  call.billable_seconds = "125";
  ASSERT_TRUE(ami.send_cdr(call));
  EXPECT_TRUE(wait_until([&] {
    return cache() == rows_t{{"101", "PA|ASOK|RN101|P#0001|DA091231|TI101500|"}};
  }, 15s)) << diagnostics();
}

}  // namespace
