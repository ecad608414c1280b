// The daemon with a manager interface: a Cdr event becomes a posting, and its answer settles the
// cached call. The daemon object runs with short intervals, so a poll pass comes within 100 ms.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ami_server.h"
#include "daemon_fixture.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::read_file;
using testutil::rows_t;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

class ManagerFlow : public testutil::DaemonTest {
 protected:
  // Starts pmssim answering postings, and the daemon with the manager in use.
  void start(int noremovecalls) {
    pmssim = std::make_unique<testutil::pmssim_process>(
        dir, std::vector<std::string>{"--answer-postings", "--script", "/dev/null"});
    ASSERT_GT(pmssim->port(), 0) << pmssim->output() << pmssim->errors();
    write_conf(pmssim->port(), "[services]\ncdr_use_manager = 1\ncdr_mgr_host = 127.0.0.1\n"
                               "cdr_mgr_port = " + std::to_string(ami.port()) +
                               "\ncdr_mgr_user = velmorant\ncdr_mgr_password = pbx\n"
                               "noremovecalls = " + std::to_string(noremovecalls) + "\n");
    start_in_process();
    ASSERT_TRUE(ami.wait_for_accepted_logins(1, 10s)) << diagnostics();
    ASSERT_TRUE(logged("Received Link active packet", 10s)) << diagnostics();
  }
  std::string all_output() const { return diagnostics() + pmssim->output(); }
  rows_t cache() { return sqlite_rows(states, "select src, userfield from cdrcache"); }

  testami::ami_server ami{"velmorant", "pbx"};
  std::unique_ptr<testutil::pmssim_process> pmssim;
};

TEST_F(ManagerFlow, CdrEventIsPostedAndTheAnswerDeletesTheCachedCall) {
  start(0);
  testami::cdr_event call;
  call.destination = "200";
  call.start_time = "2009-12-31 10:15:00";
  call.billable_seconds = "125";
  ASSERT_TRUE(ami.send_cdr(call));
  ASSERT_TRUE(wait_until([&] { return cache().size() == 1; }, 5s)) << all_output();
  std::string posting = "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|";
  ASSERT_TRUE(wait_until([&] { return pmssim->output().find("< " + posting) != std::string::npos; }, 5s))
      << all_output();
  EXPECT_TRUE(wait_until([&] { return cache().empty(); }, 5s)) << "the PA settles the call\n" << all_output();
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
  }, 5s)) << all_output();
}

}  // namespace
