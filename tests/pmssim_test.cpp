// pmssim against the daemon's own PMS link: start-up, script, posting answers, reconnects.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "fias.h"
#include "link_support.h"
#include "logger.h"
#include "pmslink.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

using testlink::next_record_within;

// Connects like the daemon and answers the simulator's link start; null when no connection came.
std::unique_ptr<pms_link> connect_as_daemon(int port) {
  auto link = std::make_unique<pms_link>();
  if (link->connect("127.0.0.1", static_cast<uint16_t>(port)) != 0) return nullptr;
  EXPECT_TRUE(next_record_within(*link).starts_with("LS|DA"));
  EXPECT_EQ(link->answer_link_start(link->id(), "PB"), 0);
  EXPECT_TRUE(next_record_within(*link).starts_with("LA|DA"));
  return link;
}

// Sends a record text on the link, as the poller does.
int send_text(pms_link& link, const std::string& text) {
  fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  return link.send(p.get());
}

struct simulator {
  testutil::temp_dir dir;
  std::unique_ptr<testutil::pmssim_process> process;
  int port = -1;

  explicit simulator(const std::string& script, std::vector<std::string> extra = {}) {
    testutil::write_file(dir.file("script"), script);
    extra.insert(extra.begin(), {"--script", dir.file("script")});
    process = std::make_unique<testutil::pmssim_process>(dir, extra);
    port = process->port() > 0 ? process->port() : -1;
  }
  std::string output() const { return process->output(); }
  std::string errors() const { return process->errors(); }
};

class Pmssim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { logger_init(nullptr, 2, 0, 0); }
};

TEST_F(Pmssim, PlaysTheScriptAfterTheStartUpAndAnswersPostings) {
  simulator sim("# a check-in, a bad line, then a wake-up order\n"
                "GI|RN101|GNGuest|GLEA|GSN|\n"
                "XX|RN101|\n"
                "sleep 0.1\n"
                "WR|RN101|DA091231|TI063000|",
                {"--answer-postings"});
  ASSERT_GT(sim.port, 0) << sim.output() << sim.errors();

  auto link = connect_as_daemon(sim.port);
  ASSERT_TRUE(link);
  EXPECT_EQ(next_record_within(*link), "GI|RN101|GNGuest|GLEA|GSN|");
  EXPECT_EQ(next_record_within(*link), "WR|RN101|DA091231|TI063000|");
  ASSERT_GT(send_text(*link, "PS|P#0001|RN101|PTT|DA091231|TI101500|DU000205|DD200|"), 0);
  EXPECT_EQ(next_record_within(*link), "PA|ASOK|RN101|P#0001|DA091231|TI101500|");
  link->close();

  // The script is over, so the daemon leaving ends the simulator.
  EXPECT_EQ(sim.process->process().wait_exit(5s), 0);
  std::string out = sim.output();
  const char* transcript[] = {
      "< LS|DA",  "> LS|DA", "< LD|DA", "< LR|RIDR|FLDATI|", "< LR|RIPS|", "< LA|DA", "> LA|DA",
      "* link active", "> GI|RN101|GNGuest|GLEA|GSN|", "> WR|RN101|DA091231|TI063000|",
      "* script finished", "< PS|P#0001|", "> PA|ASOK|RN101|P#0001|DA091231|TI101500|",
      "* connection closed",
  };
  size_t at = 0;
  for (const char* line : transcript) {
    size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
    at = found;
  }
  std::vector<std::string> lines = testutil::lines_of(out);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    bool stamped = l.size() > 11 && l[2] == ':' && l[5] == ':' && l[8] == ' ' && l[10] == ' ' &&
                   std::isdigit(static_cast<unsigned char>(l[0])) &&
                   std::isdigit(static_cast<unsigned char>(l[7]));
    EXPECT_TRUE(stamped) << "not \"HH:MM:SS X TEXT\": " << l;
  }
  EXPECT_NE(sim.errors().find("script line 3 \"XX|RN101|\""), std::string::npos) << sim.errors();
}

TEST_F(Pmssim, GoesOnWithTheScriptWhenTheDaemonReconnects) {
  simulator sim("GI|RN101|\nsleep 0.3\nGO|RN101|\n", {"--linger", "0"});
  ASSERT_GT(sim.port, 0) << sim.output() << sim.errors();

  auto first = connect_as_daemon(sim.port);
  ASSERT_TRUE(first);
  EXPECT_EQ(next_record_within(*first), "GI|RN101|");
  first->close();

  auto second = connect_as_daemon(sim.port);
  ASSERT_TRUE(second);
  EXPECT_EQ(next_record_within(*second), "GO|RN101|");
  EXPECT_EQ(sim.process->process().wait_exit(5s), 0) << "--linger 0 ends the simulator with the script";
  second->close();
  EXPECT_EQ(testutil::count_occurrences(sim.output(), "* link active"), 2) << sim.output();
}

TEST_F(Pmssim, PlaysADatabaseSwapAtLinkStartAndForEveryResyncRequest) {
  // The swap comes first; the records of the full set follow as the script gives them.
  const std::vector<std::string> script = {
      "GC|RN102|RO101|G#100001|GNGuest 1|GLEA|",  // a room move
      "GC|RN102|GNNew Name|",                      // a change of the guest's data
      "RE|RN102|MLY|",
      "GO|RN102|G#100001|SF|",
  };
  std::string text;
  for (const std::string& line : script) text += line + "\n";
  simulator sim(text, {"--swap", "3"});
  ASSERT_GT(sim.port, 0) << sim.output() << sim.errors();

  auto link = connect_as_daemon(sim.port);
  ASSERT_TRUE(link);
  const std::vector<std::string> swap = {
      "GI|RN1|GNGuest 1|GLEA|GSN|G#100001|SF|",
      "GI|RN2|GNGuest 2|GLEA|GSN|G#100002|SF|",
      "GI|RN3|GNGuest 3|GLEA|GSN|G#100003|SF|",
  };
  auto expect_swap = [&](const char* when) {
    EXPECT_TRUE(next_record_within(*link).starts_with("DS|DA")) << when;
    for (const std::string& gi : swap) EXPECT_EQ(next_record_within(*link), gi) << when;
    EXPECT_TRUE(next_record_within(*link).starts_with("DE|DA")) << when;
  };
  expect_swap("at link start");
  for (const std::string& line : script) EXPECT_EQ(next_record_within(*link), line);
  ASSERT_GT(send_text(*link, "DR|DA261209|TI120000|"), 0);
  expect_swap("asked for");
  link->close();

  EXPECT_EQ(sim.process->process().wait_exit(5s), 0);
  EXPECT_EQ(sim.errors(), "") << "every record of the script is known";
  EXPECT_EQ(testutil::count_occurrences(sim.output(), "* database swap sent"), 2) << sim.output();
}

}  // namespace
