// Manager session: line and message reading over a socketpair, login and connect over loopback.
#include "mgr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ami_server.h"
#include "link_support.h"
#include "logger.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using lines = std::vector<std::string>;

lines rows_of(const message& m) { return lines(m.headers.begin(), m.headers.begin() + m.hdrcount); }

void send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

// Everything the peer sends until it closes.
std::string read_to_end(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  return text;
}

// A session reading from one end of a socketpair; the test writes the manager's side.
struct pair_session {
  mansession s;
  unique_fd peer;
  pair_session() {
    testlink::socket_pair pair;
    s.fd = std::move(pair.daemon);
    peer = std::move(pair.pms);
    s.sin.sin_family = AF_INET;
    s.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  void send(const std::string& bytes) { send_all(peer.get(), bytes); }
};

// A TCP socket bound to a loopback port; connections are refused until listen() is called.
struct loopback_port {
  unique_fd sock{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  uint16_t port = 0;
  loopback_port() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port = ntohs(addr.sin_port);
  }
  void listen() { ::listen(sock.get(), 4); }
  unique_fd accept() { return unique_fd(::accept4(sock.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
};

class MgrTest : public ::testing::Test {
 protected:
  void SetUp() override { logger_init(log.c_str(), 5, 0, 0); }
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }
  std::string logged() const { return testutil::read_file(log); }

  testutil::temp_dir dir;
  std::string log = dir.file("mgr.log");
};

TEST_F(MgrTest, LinesEndAtLfWithOrWithoutCrBeforeIt) {
  const struct {
    std::string stream;
    lines rows;
  } cases[] = {
      {"Event: Hangup\r\nChannel: SIP/101\r\n\r\n", {"Event: Hangup", "Channel: SIP/101"}},
      {"Event: Hangup\nChannel: SIP/101\n\n", {"Event: Hangup", "Channel: SIP/101"}},
      {"Event: Hangup\r\nChannel: SIP/101\n\r\n", {"Event: Hangup", "Channel: SIP/101"}},
      {"Data: a\rb\r\n\r\n", {"Data: a\rb"}},
      {"Data: a\r\r\n\n", {"Data: a\r"}},
      {"\r\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.stream));
    pair_session p;
    p.send(c.stream);
    p.peer.reset();
    message m;
    ASSERT_EQ(mgr_read(p.s, m), 1);
    EXPECT_EQ(rows_of(m), c.rows);
    m.clear();
    EXPECT_EQ(mgr_read(p.s, m), -1) << "bytes left over after the message";
  }
}

TEST_F(MgrTest, MessageArrivingOneBytePerReceiveYieldsTheSameLines) {
  const std::string stream = "Response: Success\r\nMessage: Authentication accepted\r\n\r\n";
  pair_session p;
  message m;
  int partial = 0;
  for (size_t i = 0; i + 1 < stream.size(); ++i) {
    p.send(std::string(1, stream[i]));
    ASSERT_EQ(mgr_read(p.s, m, 0), 0) << "after byte " << i;
    ++partial;
  }
  p.send(stream.substr(stream.size() - 1));
  ASSERT_EQ(mgr_read(p.s, m, 0), 1);
  EXPECT_EQ(partial, static_cast<int>(stream.size()) - 1);
  EXPECT_EQ(rows_of(m), (lines{"Response: Success", "Message: Authentication accepted"}));
}

TEST_F(MgrTest, LineThatDoesNotFitIsDroppedWholeWithAWarningAndReadingGoesOn) {
  // The buffer holds 1023 bytes: a line fits when its LF is among them.
  const struct {
    std::string line;
    bool kept;
  } cases[] = {
      {std::string(1021, 'x') + "\r\n", true},  {std::string(1022, 'x') + "\n", true},
      {std::string(1022, 'x') + "\r\n", false},  // the LF alone must not end the message
      {std::string(1500, 'x') + "\r\n", false}, {std::string(5000, 'x') + "\r\n", false},
  };
  logger_init(log.c_str(), 2, 0, 0);  // the warning must be seen at ordinary log levels
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.size());
    testutil::write_file(log, "");
    pair_session p;
    p.send("Event: Newexten\r\n" + c.line + "Uniqueid: 17.1\r\n\r\nEvent: Next\r\n\r\n");
    message m;
    ASSERT_EQ(mgr_read(p.s, m), 1);
    lines want = {"Event: Newexten", "Uniqueid: 17.1"};
    if (c.kept) want.insert(want.begin() + 1, c.line.substr(0, c.line.find_first_of("\r\n")));
    EXPECT_EQ(rows_of(m), want);
    m.clear();
    ASSERT_EQ(mgr_read(p.s, m), 1);
    EXPECT_EQ(rows_of(m), lines{"Event: Next"});
    EXPECT_EQ(testutil::count_occurrences(
                  logged(), "Warning: Got long line with no end from 127.0.0.1: xxxxxxxxxx"),
              c.kept ? 0 : 1);
  }
}

TEST_F(MgrTest, OnlyAMessageStartingWithResponseFollowsHoldsEmptyLines) {
  testami::cdr_event hostile = testami::asterisk22_cdr();
  hostile.caller_id = "\"Response: Follows\" <555>";
  const std::string cdr = testami::cdr_event_text(hostile);
  const std::string call = testami::cdr_event_text(testami::asterisk22_cdr());
  const lines cdr_rows = [&] {
    lines rows;
    for (std::size_t pos = 0, crlf; (crlf = cdr.find("\r\n", pos)) != pos; pos = crlf + 2)
      rows.push_back(cdr.substr(pos, crlf - pos));
    return rows;
  }();
  lines call_rows = cdr_rows;
  call_rows[6] = "CallerID: \"Room 101\" <101>";
  ASSERT_EQ(cdr_rows[6], "CallerID: \"Response: Follows\" <555>");

  const struct {
    const char* what;
    std::string stream;
    std::vector<lines> messages;
  } cases[] = {
      {"a caller's name cannot glue the following calls into one message",
       cdr + call + call,
       {cdr_rows, call_rows, call_rows}},
      {"nor can any header after the first line",
       "Event: Newexten\r\nResponse: Follows\r\n\r\n" + call,
       {{"Event: Newexten", "Response: Follows"}, call_rows}},
      {"command output keeps empty lines up to the line --END COMMAND--",
       "Response: Follows\r\nPrivilege: Command\r\n\r\nSIP/101-0001 --END COMMAND--\r\n\r\n"
       "--END COMMAND--\r\n\r\nEvent: Newchannel\r\n\r\n",
       {{"Response: Follows", "Privilege: Command", "", "SIP/101-0001 --END COMMAND--", "",
         "--END COMMAND--"},
        {"Event: Newchannel"}}},
      {"an end marker outside command output is an ordinary line",
       "--END COMMAND--\r\nEvent: X\r\n\r\nEvent: Y\r\n\r\n",
       {{"--END COMMAND--", "Event: X"}, {"Event: Y"}}},
      {"NUL bytes are dropped and the rest of the value kept",
       "Event: Cdr\r\nCallerID: \"Ro\0om 1\0\0\" <101>\r\n\0\r\n"s + call,
       {{"Event: Cdr", "CallerID: \"Room 1\" <101>"}, call_rows}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::write_file(log, "");
    pair_session p;
    p.send(c.stream);
    p.peer.reset();
    std::vector<lines> got;
    message m;
    while (mgr_read(p.s, m) == 1) {
      got.push_back(rows_of(m));
      m.clear();
    }
    EXPECT_EQ(got, c.messages);
  }
  EXPECT_EQ(testutil::count_occurrences(logged(), "Dropped 4 NUL bytes received from 127.0.0.1"),
            1);
}

TEST_F(MgrTest, ReadThatTimesOutKeepsTheUnfinishedMessageForTheNextCall) {
  pair_session p;
  message m;
  auto read_for = [&](int ms) {
    const auto start = std::chrono::steady_clock::now();
    const int res = mgr_read(p.s, m, ms);
    const auto took = std::chrono::steady_clock::now() - start;
    if (res == 0) {
      EXPECT_GE(took, std::chrono::milliseconds(ms));
    }
    EXPECT_LT(took, std::chrono::milliseconds(ms) + 2s);
    return res;
  };
  EXPECT_EQ(read_for(0), 0);
  p.send("Event: Cdr\r\nSource: 10");
  EXPECT_EQ(read_for(50), 0);
  EXPECT_EQ(rows_of(m), lines{"Event: Cdr"});
  p.send("1\r\nDestination: 200\r\n");
  EXPECT_EQ(read_for(50), 0);
  p.send("\r\nResponse: Follows\r\n\r\n");
  EXPECT_EQ(read_for(50), 1);
  EXPECT_EQ(rows_of(m), (lines{"Event: Cdr", "Source: 101", "Destination: 200"}));
  m.clear();
  EXPECT_EQ(read_for(50), 0);
  EXPECT_EQ(m.in_command, 1) << "command output is forgotten between calls";
  p.send("out\r\n--END COMMAND--\r\n\r\n");
  EXPECT_EQ(read_for(50), 1);
  EXPECT_EQ(rows_of(m), (lines{"Response: Follows", "", "out", "--END COMMAND--"}));

  // A peer that keeps sending lines and never an empty one still meets the time limit: the
  // read returns with data left unread rather than reading as long as some is there.
  std::string flood;
  while (flood.size() < 64 * 1024) flood += "Variable: x\r\n";
  p.send(flood);
  m.clear();
  EXPECT_EQ(read_for(0), 0);
  int unread = 0;
  ASSERT_EQ(::ioctl(p.s.fd.get(), FIONREAD, &unread), 0);
  EXPECT_GT(unread, 0);

  p.peer.reset();
  m.clear();
  EXPECT_EQ(read_for(1000), -1);
}

TEST_F(MgrTest, LinesPast255OverwriteTheLastRowAndEndCommandOutput) {
  pair_session p;
  std::string stream;
  for (int i = 0; i < 300; ++i) stream += "Line: " + std::to_string(i) + "\r\n";
  stream += "\r\nResponse: Follows\r\n";
  for (int i = 1; i <= 255; ++i) stream += "Out " + std::to_string(i) + "\r\n";
  stream += "\r\nEvent: After\r\n\r\n";
  p.send(stream);

  message m;
  ASSERT_EQ(mgr_read(p.s, m), 1);
  ASSERT_EQ(m.hdrcount, 255);
  EXPECT_EQ(m.headers[0], "Line: 0");
  EXPECT_EQ(m.headers[254], "Line: 254");

  // Line 256 of command output ends command output, so the next empty line ends the message.
  m.clear();
  ASSERT_EQ(mgr_read(p.s, m), 1);
  EXPECT_EQ(m.hdrcount, 255);
  EXPECT_EQ(m.in_command, 0);
  EXPECT_EQ(m.headers[254], "Out 254");
  m.clear();
  ASSERT_EQ(mgr_read(p.s, m), 1);
  EXPECT_EQ(rows_of(m), lines{"Event: After"});
  const std::string text = logged();
  EXPECT_EQ(testutil::count_occurrences(
                text, "Dropped 45 lines past the 255th of a message from 127.0.0.1"),
            1);
  EXPECT_EQ(testutil::count_occurrences(
                text, "Dropped 1 lines past the 255th of a message from 127.0.0.1"),
            1);
}

TEST_F(MgrTest, AddHeaderKeeps255LinesOfAtMost1023Characters) {
  message m;
  EXPECT_EQ(mgr_add_header(m, "Data: %s", std::string(2000, 'd').c_str()), 0);
  EXPECT_EQ(m.headers[0].size(), 1023u);
  for (int i = 1; i < 255; ++i) ASSERT_EQ(mgr_add_header(m, "Line: %d", i), 0);
  EXPECT_EQ(mgr_add_header(m, "Line: %d", 255), 1);
  EXPECT_EQ(m.hdrcount, 255);
  EXPECT_EQ(m.headers[255], "");
}

TEST_F(MgrTest, GetHeaderMatchesTheNameIgnoringCaseFollowedByColonAndBlank) {
  message m;
  for (const char* row : {"Messages: plural", "Message: Authentication accepted", "Event:NoBlank",
                          "Response:  padded value ", "message: second"})
    mgr_add_header(m, "%s", row);
  const struct {
    const char* name;
    std::string_view value;
  } cases[] = {
      {"message", "Authentication accepted"},
      {"MESSAGE", "Authentication accepted"},
      {"Messages", "plural"},
      {"Mess", ""},
      {"Event", ""},
      {"Response", " padded value "},
      {"Channel", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(mgr_get_header(m, c.name), c.value) << c.name;
  EXPECT_EQ(mgr_get_header(message{}, "Message"), "");
}

TEST_F(MgrTest, WriteSendsNonEmptyRowsThenAnEmptyLineAndReportsAFailedSend) {
  pair_session p;
  message m;
  EXPECT_EQ(mgr_write(p.s, m), 0);
  mgr_add_header(m, "Action: Ping");
  mgr_add_header(m, "%s", "");
  mgr_add_header(m, "ActionID: 7");
  EXPECT_EQ(mgr_write(p.s, m), 0);
  p.s.fd.reset();
  EXPECT_EQ(read_to_end(p.peer.get()), "\r\nAction: Ping\r\nActionID: 7\r\n\r\n");

  pair_session gone;
  gone.peer.reset();
  EXPECT_EQ(mgr_write(gone.s, m), -1);
  EXPECT_EQ(mgr_ping(gone.s), -1);
}

TEST_F(MgrTest, WriteGivesUpWhenThePeerStopsReading) {
  pair_session p;
  const std::string big(16 << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mgr_write_all(p.s.fd.get(), big.data(), big.size(), 100), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(MgrTest, LoginSendsExactlyTheLoginLinesAndMasksTheSecret) {
  loopback_port manager;
  manager.listen();
  mansession s;
  ASSERT_EQ(mgr_init(s, "127.0.0.1", manager.port, "admin", "s3cret"), 0);
  ASSERT_EQ(mgr_login(s), 0);
  EXPECT_EQ(s.connected, 0);
  // A manager that vanishes without closing is noticed within about a minute.
  const struct {
    int level, name, value;
  } options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                 {IPPROTO_TCP, TCP_KEEPIDLE, 30},
                 {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                 {IPPROTO_TCP, TCP_KEEPCNT, 3},
                 {IPPROTO_TCP, TCP_USER_TIMEOUT, 60000}};
  for (const auto& o : options) {
    int value = -1;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(s.fd.get(), o.level, o.name, &value, &len), 0);
    EXPECT_EQ(value, o.value) << "option " << o.name;
  }
  const unique_fd not_a_socket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(fd_set_keepalive(not_a_socket.get(), 30, 10, 3, 60000), -1);
  s.fd.reset();
  unique_fd conn = manager.accept();
  EXPECT_EQ(read_to_end(conn.get()),
            "Action: Login\r\nUsername: admin\r\nSecret: s3cret\r\nEvents: call,cdr\r\n\r\n");
  const std::string text = logged();
  EXPECT_NE(text.find("asterisk@127.0.0.1: Connecting (u=admin, p=********)"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
}

TEST_F(MgrTest, RefusedLoginIsNotTriedAgain) {
  loopback_port manager;
  manager.listen();
  mansession s;
  ASSERT_EQ(mgr_init(s, "127.0.0.1", manager.port, "admin", "s3cret"), 0);
  s.connected = -1;
  EXPECT_EQ(mgr_login(s), 1);
  ::fcntl(manager.sock.get(), F_SETFL, O_NONBLOCK);
  EXPECT_FALSE(manager.accept()) << "a connection was made";
}

TEST_F(MgrTest, LoginIsOneBoundedAttemptWhateverThePortDoes) {
  enum port_kind { closed, full_queue, accept_and_close };
  const struct {
    port_kind kind;
    const char* logged;  // after "manager@127.0.0.1: Connect failed, Retrying (1) "
    std::chrono::milliseconds at_least, at_most;
  } cases[] = {
      {closed, "Connection refused [111]", 0ms, 500ms},
      // Linux drops the handshake of a listener whose accept queue is full: only the time limit
      // of the attempt ends it.
      {full_queue, "Connection timed out [110]", 900ms, 2500ms},
      {accept_and_close, nullptr, 0ms, 1500ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    testutil::write_file(log, "");
    loopback_port manager;
    std::vector<unique_fd> queued;
    testami::ami_server closing("admin", "s3cret");
    closing.set_accept_and_close(true);
    uint16_t port = c.kind == accept_and_close ? closing.port() : manager.port;
    if (c.kind == full_queue) {
      ::listen(manager.sock.get(), 0);
      // Connections that complete fill the queue; one more would hang.
      for (int i = 0; i < 8; ++i) {
        mansession filler;
        ASSERT_EQ(mgr_init(filler, "127.0.0.1", manager.port, "a", "b"), 0);
        if (connect_nonb(filler) < 0) break;
        queued.push_back(std::move(filler.fd));
      }
      ASSERT_FALSE(queued.empty());
    }
    mansession s;
    ASSERT_EQ(mgr_init(s, "127.0.0.1", port, "admin", "s3cret"), 0);
    const auto start = std::chrono::steady_clock::now();
    const int res = mgr_login(s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.at_most);
    if (c.logged) {
      EXPECT_EQ(res, -1);
      EXPECT_EQ(
          testutil::count_occurrences(
              logged(), std::string("manager@127.0.0.1: Connect failed, Retrying (1) ") + c.logged),
          1);
    } else {
      // The login may still fit into the socket before the close arrives; the read then fails.
      message m;
      if (res == 0) {
        EXPECT_EQ(mgr_read(s, m, 5000), -1);
      }
      EXPECT_EQ(closing.connections(), 1);
    }
  }
}

TEST_F(MgrTest, PingIsAnsweredWithPongUnlessTheManagerHangs) {
  testami::ami_server server("admin", "s3cret");
  mansession s;
  ASSERT_EQ(mgr_init(s, "127.0.0.1", server.port(), "admin", "s3cret"), 0);
  ASSERT_EQ(mgr_login(s), 0);
  message m;
  ASSERT_EQ(mgr_read(s, m, 5000), 1);
  ASSERT_EQ(mgr_ping(s), 0);
  m.clear();
  ASSERT_EQ(mgr_read(s, m, 5000), 1);
  EXPECT_EQ(mgr_get_header(m, "Response"), "Success");
  EXPECT_EQ(mgr_get_header(m, "Ping"), "Pong");
  server.set_answer_ping(false);
  ASSERT_EQ(mgr_ping(s), 0);
  ASSERT_TRUE(server.wait_for_actions("ping", 2, 5s));
  m.clear();
  EXPECT_EQ(mgr_read(s, m, 200), 0);
  EXPECT_EQ(m.hdrcount, 0);
  server.drop();
  ASSERT_TRUE(server.wait_for_disconnect(5s));
  EXPECT_EQ(mgr_read(s, m, 5000), -1);
  EXPECT_EQ(server.other_actions(), lines(2, "Action: Ping\r\n\r\n"));
}

TEST_F(MgrTest, ManagerAnswersTheLoginAndAFailedLoginEndsTheConnection) {
  const struct {
    const char* secret;
    const char* answer;
    int then;
    std::chrono::milliseconds after;  // as Asterisk, which sleeps a second before refusing
  } cases[] = {
      {"s3cret", "Authentication accepted", 1, 0ms},
      {"wrong", "Authentication failed", -1, 1s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.secret);
    testami::ami_server server("admin", "s3cret");
    mansession s;
    ASSERT_EQ(mgr_init(s, "localhost", server.port(), "admin", c.secret), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(mgr_login(s), 0);
    message m;
    ASSERT_EQ(mgr_read(s, m), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.after);
    EXPECT_EQ(m.headers[0], "Asterisk Call Manager/11.0.0");
    EXPECT_EQ(mgr_get_header(m, "message"), c.answer);
    if (c.then == 1) server.send_event("Hangup", {{"Channel", "SIP/101-1"}});
    m.clear();
    ASSERT_EQ(mgr_read(s, m), c.then);
    EXPECT_EQ(server.logins(), 1);
  }
}

TEST_F(MgrTest, LoginAfterALostConnectionConnectsAFreshSocketWithoutLeftoverBytes) {
  testami::ami_server server("admin", "s3cret");
  mansession s;
  ASSERT_EQ(mgr_init(s, "127.0.0.1", server.port(), "admin", "s3cret"), 0);
  ASSERT_EQ(mgr_login(s), 0);
  message m;
  ASSERT_EQ(mgr_read(s, m), 1);
  ASSERT_TRUE(server.wait_for_accepted_logins(1, 5s));
  server.send("Event: Hal");
  server.drop();
  m.clear();
  ASSERT_EQ(mgr_read(s, m), -1);
  ASSERT_EQ(s.inlen, 10);

  ASSERT_EQ(mgr_login(s), 0);
  m.clear();
  ASSERT_EQ(mgr_read(s, m), 1);
  EXPECT_EQ(rows_of(m), (lines{"Asterisk Call Manager/11.0.0", "Response: Success",
                               "Message: Authentication accepted"}));
  EXPECT_EQ(server.connections(), 2);
  EXPECT_TRUE(server.wait_for_logins(2, 5s));
  EXPECT_EQ(logged().find("Connect failed"), std::string::npos) << "reconnecting took a retry";
}

TEST_F(MgrTest, UnresolvableHostIsReported) {
  mansession s;
  EXPECT_EQ(mgr_init(s, "", 5038, "admin", "s3cret"), -1);
  EXPECT_NE(logged().find("Host:  not found\n"), std::string::npos);
}

std::atomic<int> signals_seen{0};

TEST_F(MgrTest, SignalDoesNotEndTheWaitForAMessage) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = [](int) { ++signals_seen; };
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  pair_session p;
  message m;
  std::promise<int> result;
  auto got = result.get_future();
  std::thread reader([&] { result.set_value(mgr_read(p.s, m, 30000)); });
  signals_seen = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  // Keep interrupting the reader: some signals are bound to land while it waits.
  while (got.wait_for(1ms) != std::future_status::ready && signals_seen < 50 &&
         std::chrono::steady_clock::now() < deadline)
    ::pthread_kill(reader.native_handle(), SIGUSR1);
  EXPECT_NE(got.wait_for(0s), std::future_status::ready) << "a signal ended the wait";
  p.send("x\r\n\r\n");
  reader.join();
  EXPECT_EQ(got.get(), 1);
  ::sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
