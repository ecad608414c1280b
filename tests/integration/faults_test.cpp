// The real binary against peers that misbehave: a PMS that cuts a record, sends garbage or stops
// reading; a manager that keeps dropping the connection; a MariaDB server that restarts; a PBX
// file held by another writer; a states file that cannot be opened; a directory server that is
// down; a storm of reloads while records flow.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ami_server.h"
#include "fdutils.h"
#include "mariadb_server.h"
#include "paths.h"
#include "pms_peer.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::read_file;
using testutil::rows_t;
using testutil::sqlite_exec;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

std::string framed(const std::string& text) { return kStx + text + kEtx; }

// The records of a framed stream, and what follows the last ETX.
struct split_stream {
  std::vector<std::string> records;
  std::string rest;
};

split_stream split_frames(const std::string& stream) {
  split_stream out;
  size_t at = 0;
  for (size_t etx; (etx = stream.find(kEtx, at)) != std::string::npos; at = etx + 1)
    out.records.push_back(stream.substr(at + 1, etx - at - 1));
  out.rest = stream.substr(at);
  return out;
}

// The value of field `name` in a record text ("DD" of "PS|P#0001|...|DD200|" is "200").
std::string field(const std::string& record, const std::string& name) {
  size_t at = record.find("|" + name);
  if (at == std::string::npos) return {};
  at += 1 + name.size();
  return record.substr(at, record.find('|', at) - at);
}

// How often each dialled number was posted on the PMS connection.
std::map<std::string, int> postings_by_number(const pms_peer& pms) {
  std::map<std::string, int> postings;
  for (const std::string& record : pms.received())
    if (record.starts_with("PS|")) ++postings[field(record, "DD")];
  return postings;
}

std::set<std::string> column_set(const rows_t& rows) {
  std::set<std::string> values;
  for (const auto& row : rows) values.insert(row.at(0));
  return values;
}

// A PMS that takes the daemon's connections, brings the link up when told, and never reads.
class deaf_pms {
 public:
  deaf_pms() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("deaf_pms: cannot listen");
    port_ = ntohs(addr.sin_port);
  }
  int port() const { return port_; }

  // Takes the daemon's next connection; its index, or -1 when none came in time.
  int accept(std::chrono::milliseconds timeout) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return -1;
    unique_fd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) return -1;
    conns_.push_back(std::move(conn));
    return static_cast<int>(conns_.size()) - 1;
  }
  bool send_record(int conn, const std::string& text) {
    std::string frame = framed(text);
    return ::send(conns_.at(static_cast<size_t>(conn)).get(), frame.data(), frame.size(),
                  MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
  }
  // Reads what the daemon sent on a connection until the end of the stream, or until `timeout`
  // passes without a byte; for a PMS that was deaf until now.
  std::string read_to_end(int conn, std::chrono::milliseconds timeout) {
    const int fd = conns_.at(static_cast<size_t>(conn)).get();
    std::string stream;
    std::vector<char> buf(1 << 16);
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) break;
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      stream.append(buf.data(), static_cast<size_t>(n));
    }
    return stream;
  }
  // The first record of a connection, read byte by byte so that nothing after it is taken.
  std::string first_record(int conn, std::chrono::milliseconds timeout) {
    const int fd = conns_.at(static_cast<size_t>(conn)).get();
    std::string text;
    for (char c = 0; c != kEtx;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1 || ::recv(fd, &c, 1, 0) != 1)
        return {};
      if (c != kStx && c != kEtx) text += c;
    }
    return text;
  }

 private:
  unique_fd listener_;
  int port_ = 0;
  std::vector<unique_fd> conns_;
};

constexpr const char* kPbxSchema =
    "create table users (ext varchar(8) primary key, name varchar(40));"
    "insert into users (ext) values ('101');"
    "create table cdr (calldate varchar(20), src varchar(8), dst varchar(255), billsec int, "
    "userfield varchar(255) default '');"
    "create index cdr_src_calldate on cdr (src, calldate);";

// Check-ins and calls of a typical installation, on the driver named `drv`.
std::string services(const std::string& drv) {
  return "[services]\ncheckin = " + drv + ":update users set name='%name%' where ext='%exten%'\n"
         "billcalls = " + drv + ":select substr(calldate,1,10), substr(calldate,12,8), dst, "
         "billsec, -1 from cdr where src='%exten%' and userfield=''\n"
         "billmark = " + drv + ":update cdr set userfield='%seqno%' where src='%exten%' and "
         "calldate='%date% %time%'\n";
}

class Faults : public ::testing::Test {
 protected:
  void TearDown() override {
    if (daemon_pid > 0) {
      kill(daemon_pid, SIGKILL);
      testutil::wait_pid(daemon_pid, 5s);
      unlink(pidfile.c_str());
    }
    // A sanitized daemon writes its reports here (see command); none may have come.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      if (entry.path().filename().string().starts_with("sanitizer"))
        ADD_FAILURE() << "report of the daemon's sanitizer:\n" << read_file(entry.path());
  }

  // Runs the daemon through env, so that a sanitized build writes its reports into the test's
  // folder, where TearDown finds them, rather than to a standard error that a daemon in the
  // background does not have.
  std::vector<std::string> command(const std::string& program,
                                   const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"/usr/bin/env"};
    for (const char* var : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      const char* old = std::getenv(var);
      argv.push_back(std::string(var) + "=" + (old ? std::string(old) + ":" : "") +
                     "log_path=" + dir.file("sanitizer"));
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  std::string pms_section(int port, const std::string& statesfile) const {
    return "[pms]\nhost = 127.0.0.1\nport = " + std::to_string(port) +
           "\ninterface = PB\nstatesfile = " + statesfile + "\n[logger]\nlog_file = " + log +
           "\n";
  }
  std::string sqlite_pbx() const { return "[pbx]\ndbdriver = sqlite\ndatabase = " + pbx + "\n"; }
  void write_conf(int pms_port, const std::string& rest) {
    testutil::write_file(conf, pms_section(pms_port, states) + rest + "[rooms]\nroom1 = 101\n");
  }

  void start_foreground() {
    daemon = std::make_unique<testutil::child_process>(
        command(testpaths::velmorant_binary(), {"-f", "-c", conf}), dir.file("out"),
        dir.file("err"));
  }
  // In the background the daemon installs its signal handlers. The pid file is named after the
  // program, so a name of its own keeps parallel tests apart.
  void start_background() {
    testutil::become_subreaper();
    std::string name = "velmorant-faults-" + std::to_string(getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string program = dir.file(name);
    ASSERT_EQ(symlink(testpaths::velmorant_binary().c_str(), program.c_str()), 0);
    pidfile = (getuid() == 0 ? "/var/run/" : "/tmp/") + name + ".pid";
    testutil::child_process launcher(command(program, {"-c", conf}), dir.file("out"),
                                     dir.file("err"));
    ASSERT_EQ(launcher.wait_exit(20s), 0) << read_file(dir.file("err"));
    ASSERT_TRUE(wait_until([&] { return !read_file(pidfile).empty(); }, 10s)) << pidfile;
    daemon_pid = std::stoi(read_file(pidfile));
  }
  // SIGTERM to the background daemon; its exit status, or nothing when it has not ended in time.
  std::optional<int> stop_background(std::chrono::milliseconds timeout) {
    kill(daemon_pid, SIGTERM);
    auto status = testutil::wait_pid(daemon_pid, timeout);
    if (status) daemon_pid = -1;
    return status;
  }

  // Takes the daemon's connection and brings the link up as a PMS does.
  void link_up(pms_peer& pms) {
    ASSERT_TRUE(pms.bring_link_up(15s)) << diagnostics();
    ASSERT_TRUE(logged_times("Received Link active packet from PMS", links_up + 1, 5s));
    ++links_up;
  }
  bool has_logged(const std::string& text) const {
    return read_file(log).find(text) != std::string::npos;
  }
  bool logged_times(const std::string& text, int times, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count_occurrences(read_file(log), text) >= times; }, timeout);
  }
  std::string diagnostics() const {
    std::string text = read_file(log);
    if (text.size() > 20000) text = "..." + text.substr(text.size() - 20000);
    return text + read_file(dir.file("err"));
  }
  std::string guest_name() { return sqlite_rows(pbx, "select name from users").at(0).at(0); }

  // Calls of room 101 enough to fill the kernel's buffers on both ends of a loopback connection
  // (a few megabytes): each posting carries a 250-digit number, unique per call.
  void insert_calls(int n) {
    sqlite_exec(pbx, "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
                         std::to_string(n) +
                         ") insert into cdr (calldate, src, dst, billsec) select "
                         "datetime('2009-12-31 00:00:00', '+' || i || ' seconds'), '101', "
                         "printf('%05d%0245d', i, 0), 60 from n");
  }

  testutil::temp_dir dir;
  std::string conf = dir.file("v.conf"), log = dir.file("v.log"), states = dir.file("states.db"),
              pbx = dir.file("pbx.db");
  std::unique_ptr<testutil::child_process> daemon;
  pid_t daemon_pid = -1;
  std::string pidfile;
  int links_up = 0;
};

TEST_F(Faults, PmsClosingInsideARecordIsReconnectedAndThePartIsDroppedWithAWarning) {
  sqlite_exec(pbx, kPbxSchema);
  pms_peer pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_foreground();
  link_up(pms);
  ASSERT_TRUE(pms.send_bytes("\x02GI|RN101|GNHalf"));
  pms.close_client();
  EXPECT_TRUE(wait_until([&] { return has_logged("Connection to PMS lost"); }, 5s));
  EXPECT_TRUE(has_logged("PMS link ended inside a record; dropping its first 15 bytes: GI|RN101|GNHalf"))
      << diagnostics();

  link_up(pms);
  ASSERT_TRUE(pms.send_record("GI|RN101|GNWhole|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "Whole"; }, 10s)) << diagnostics();
  EXPECT_EQ(count_occurrences(read_file(log), "Received Guest checkin packet"), 1);
}

TEST_F(Faults, MegabyteOfRandomBytesFromThePmsCostsOnlyTheLink) {
  sqlite_exec(pbx, kPbxSchema);
  pms_peer pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_foreground();
  link_up(pms);
  std::mt19937 random(20240305);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = kStx;  // the first read takes a record of noise, the next one finds no STX
  // The daemon drops the link with most of the megabyte unread, so the send ends in an error.
  pms.send_bytes(noise);
  EXPECT_TRUE(wait_until([&] { return has_logged("Connection to PMS lost"); }, 10s)) << diagnostics();
  // The noise after the first STX is a record that does not parse, or one cut short by another STX.
  EXPECT_TRUE(has_logged("Can not parse FIAS packet") || has_logged("Discarding a PMS record"))
      << diagnostics();

  link_up(pms);
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfterNoise|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "AfterNoise"; }, 10s)) << diagnostics();
  EXPECT_FALSE(daemon->wait_exit(0ms)) << "the daemon ended";
}

// The link is dropped after the send time limit; the postings whose frames went out whole are
// exactly the marked calls, and the main loop connects again.
TEST_F(Faults, PmsThatStopsReadingLosesTheLinkAfterTheSendTimeLimitAndOnlyWholeFramesAreMarked) {
  sqlite_exec(pbx, kPbxSchema);
  insert_calls(16000);
  deaf_pms pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_foreground();
  int first = pms.accept(15s);
  ASSERT_EQ(first, 0) << diagnostics();
  pms.send_record(first, "LS|DA091231|TI101500|");
  pms.send_record(first, "LA|DA091231|TI101501|");
  ASSERT_TRUE(logged_times("Received Link active packet from PMS", 1, 5s)) << diagnostics();

  ASSERT_TRUE(wait_until([&] { return has_logged("PMS link is full; waiting up to 10000 ms"); }, 45s))
      << diagnostics();
  auto full = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_until([&] { return has_logged("PMS is not reading: "); }, 30s)) << diagnostics();
  EXPECT_GE(std::chrono::steady_clock::now() - full, 9500ms) << "gave up before the time limit";
  int second = pms.accept(10s);
  ASSERT_EQ(second, 1) << "the main loop connects again\n" << diagnostics();
  EXPECT_EQ(pms.first_record(second, 5s).substr(0, 3), "LS|");
  EXPECT_TRUE(has_logged("Unable to send fias Post Simple"));

  const std::string marked_query = "select dst from cdr where userfield != ''";
  ASSERT_TRUE(wait_until([&] { return !sqlite_rows(pbx, marked_query).empty(); }, 15s));
  split_stream sent = split_frames(pms.read_to_end(first, 5s));
  std::set<std::string> posted;
  for (const std::string& record : sent.records)
    if (record.starts_with("PS|")) posted.insert(field(record, "DD"));
  EXPECT_GT(posted.size(), 1000u);
  EXPECT_LT(posted.size(), 16000u);
  EXPECT_TRUE(column_set(sqlite_rows(pbx, marked_query)) == posted)
      << "marked calls differ from the postings that went out whole";
  // At most the head of the frame that did not go out whole follows.
  if (!sent.rest.empty()) {
    EXPECT_EQ(sent.rest[0], kStx);
    EXPECT_EQ(sent.rest.substr(1, 3), std::string("PS|").substr(0, sent.rest.size() - 1));
  }
}

TEST_F(Faults, StopIsNotHeldUpByAPmsThatStopsReading) {
  sqlite_exec(pbx, kPbxSchema);
  insert_calls(16000);
  deaf_pms pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_background();
  int conn = pms.accept(15s);
  ASSERT_EQ(conn, 0) << diagnostics();
  pms.send_record(conn, "LS|DA091231|TI101500|");
  pms.send_record(conn, "LA|DA091231|TI101501|");
  ASSERT_TRUE(wait_until([&] { return has_logged("PMS link is full; waiting up to 10000 ms"); }, 45s))
      << diagnostics();
  auto stop = std::chrono::steady_clock::now();
  EXPECT_EQ(stop_background(30s), 0) << diagnostics();
  // The record in hand when the stop came waits out the send time limit; no more than that.
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 15s);
  EXPECT_TRUE(has_logged("Caught signal 15. Exiting."));
}

TEST_F(Faults, ManagerDroppingTheConnectionEveryFewMessagesLosesAndDuplicatesNoCall) {
  testami::ami_server ami{"velmorant", "pbx"};
  write_conf(testutil::unused_port(),
             "[services]\ncdr_use_manager = 1\ncdr_mgr_host = 127.0.0.1\ncdr_mgr_port = " +
                 std::to_string(ami.port()) + "\ncdr_mgr_user = velmorant\ncdr_mgr_password = pbx\n");
  start_foreground();
  constexpr int kRounds = 10;
  std::set<std::string> sent;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(ami.wait_for_accepted_logins(round + 1, 15s)) << diagnostics();
    for (int i = 0; i < 3; ++i) {
      testami::cdr_event call;
      call.unique_id = "1709647629." + std::to_string(round * 10 + i);
      call.start_time = "2024-03-05 14:" + std::to_string(10 + round) + ":0" + std::to_string(i);
      ASSERT_TRUE(ami.send_cdr(call));
      sent.insert(call.unique_id);
    }
    if (round % 2 == 1) {  // an event cut by the drop is not a call
      testami::cdr_event cut;
      cut.unique_id = "cut." + std::to_string(round);
      std::string text = testami::cdr_event_text(cut);
      ASSERT_TRUE(ami.send(text.substr(0, text.size() / 2)));
    }
    ami.drop();
  }
  // A new login comes only after the manager thread has read the last connection to its end.
  ASSERT_TRUE(ami.wait_for_accepted_logins(kRounds + 1, 15s)) << diagnostics();
  rows_t cached = sqlite_rows(states, "select uniqueid from cdrcache");
  EXPECT_EQ(cached.size(), sent.size());
  EXPECT_TRUE(column_set(cached) == sent) << diagnostics();
  EXPECT_EQ(count_occurrences(read_file(log), ": Not connected"), kRounds);
}

// Postings of that moment must not be lost: a call whose mark failed is not posted again, its
// mark is retried until it runs; statements while the server is down fail with a log line; after the restart the driver
// connects again by itself.
TEST_F(Faults, MariadbRestartLosesNoPostingAndTheDriverConnectsAgain) {
  // Throws with the reason when the server cannot start, which fails the test.
  testutil::mariadb_server* server = &testutil::mariadb_server::shared();
  server->create_database("pbxfaults");
  server->execute(
      "create table users (ext varchar(8) primary key, name varchar(40));"
      "insert into users (ext) values ('101');"
      "create table cdr (calldate varchar(20), src varchar(8), dst varchar(20), billsec int, "
      "userfield varchar(255) default '', index (src, calldate)) engine=InnoDB;"
      "create table markings (dst varchar(20), userfield varchar(255)) engine=InnoDB;"
      // Kept outside transactions, so a refused mark still leaves its trace.
      "create table refused (dst varchar(20) primary key) engine=Aria;"
      "create trigger refuse_first_mark before update on cdr for each row begin "
      "  if new.dst like '9%' and not exists (select 1 from refused where dst = new.dst) then "
      "    insert into refused values (new.dst); "
      "    signal sqlstate '45000' set message_text = 'mark refused once'; "
      "  end if; "
      "end;"
      "create trigger count_marks after update on cdr for each row "
      "  insert into markings values (new.dst, new.userfield);"
      "insert into cdr (calldate, src, dst, billsec) values "
      "('2009-12-31 10:00:01', '101', '9001', 60), ('2009-12-31 10:00:02', '101', '9002', 60);",
      "pbxfaults");
  pms_peer pms;
  write_conf(pms.port(), "[pbxmy]\ndbdriver = mysql\nhost = 127.0.0.1\nport = " +
                             std::to_string(server->port()) + "\nuser = " + server->user() +
                             "\npassword = " + server->password() + "\ndatabase = pbxfaults\n" +
                             services("pbxmy"));
  start_foreground();
  link_up(pms);

  // The first pass posts both calls; their marks are refused.
  ASSERT_TRUE(logged_times("Query error: mark refused once", 2, 25s)) << diagnostics();
  server->stop();
  pms.send_record("GI|RN101|GNDuringRestart|");
  EXPECT_TRUE(wait_until([&] { return has_logged("Failed to connect to database: Error: "); }, 10s))
      << diagnostics();
  EXPECT_TRUE(wait_until([&] { return has_logged("Query error: not connected to the server"); }, 10s));
  server->start();
  server->execute("insert into cdr (calldate, src, dst, billsec) values "
                  "('2009-12-31 10:00:03', '101', '5003', 60)",
                  "pbxfaults");
  pms.send_record("GI|RN101|GNAfterRestart|");
  auto marked = [&] {
    return server->query("select dst from cdr where userfield != '' order by dst", "pbxfaults");
  };
  EXPECT_TRUE(wait_until([&] { return marked().size() == 3; }, 30s)) << diagnostics();
  EXPECT_EQ(server->query("select name from users", "pbxfaults"), (rows_t{{"AfterRestart"}}));

  // A call is marked once its posting is out; the PMS may still be reading it.
  std::map<std::string, int> postings;
  wait_until([&] {
    postings = postings_by_number(pms);
    return postings.size() == 3;
  }, 5s);
  EXPECT_EQ(postings, (std::map<std::string, int>{{"5003", 1}, {"9001", 1}, {"9002", 1}}))
      << "a refused mark is retried; its call is not posted again";
  EXPECT_EQ(server->query("select dst, count(*) from markings group by dst order by dst",
                          "pbxfaults"),
            (rows_t{{"5003", "1"}, {"9001", "1"}, {"9002", "1"}}));
}

// Another writer holds the PBX file through whole passes: the calls go out all the same (no
// write lock is needed to read and post them), their marks wait for the file, and none is
// posted twice.
TEST_F(Faults, LockedSqlitePbxFileDelaysTheMarksToALaterPassAndPostsNoneTwice) {
  sqlite_exec(pbx, std::string(kPbxSchema) +
                       "insert into cdr (calldate, src, dst, billsec) values "
                       "('2009-12-31 10:00:01', '101', '201', 60), "
                       "('2009-12-31 10:00:02', '101', '202', 60);");
  // The writer keeps its write lock open: readers may still read, nobody else may write.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(pbx.c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> writer(raw, &sqlite3_close);
  ASSERT_EQ(sqlite3_exec(raw,
                         "begin immediate; insert into cdr (calldate, src, dst, billsec) values "
                         "('2009-12-31 10:00:03', '101', '203', 60)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);

  pms_peer pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_foreground();
  link_up(pms);
  ASSERT_TRUE(wait_until([&] {
    return has_logged("No write lock on database pbx; the marks of 2 postings are retried at the "
                      "next pass");
  }, 30s)) << diagnostics();
  EXPECT_TRUE(has_logged("database is locked"));
  EXPECT_TRUE(pms.wait_for_record("PS|", 5s)) << "posted while the marks could not be written";
  ASSERT_EQ(sqlite3_exec(raw, "commit", nullptr, nullptr, nullptr), SQLITE_OK);

  EXPECT_TRUE(wait_until([&] {
    return sqlite_rows(pbx, "select count(*) from cdr where userfield = ''") == rows_t{{"0"}};
  }, 30s)) << diagnostics();
  std::map<std::string, int> postings;
  wait_until([&] { return (postings = postings_by_number(pms)).size() == 3; }, 5s);
  EXPECT_EQ(postings, (std::map<std::string, int>{{"201", 1}, {"202", 1}, {"203", 1}}));
}

TEST_F(Faults, StatesFileThatIsAFolderEndsStartUpWithStatusOneAndTheMessage) {
  std::string folder = dir.file("states.d");
  std::filesystem::create_directory(folder);
  testutil::write_file(conf, pms_section(testutil::unused_port(), folder));
  start_foreground();
  EXPECT_EQ(daemon->wait_exit(15s), 1);
  EXPECT_TRUE(has_logged("Unable to open states file " + folder)) << diagnostics();
}

TEST_F(Faults, DirectoryServerDownLetsStartUpGoOnWithTheMessage) {
  pms_peer pms;
  testutil::write_file(conf, pms_section(pms.port(), states) +
                                 "[rooms]\ntype = ldap\nldap_host = 127.0.0.1\nldap_port = " +
                                 std::to_string(testutil::unused_port()) +
                                 "\nldap_base = dc=hotel,dc=test\nldap_filter = (cn=main)\n"
                                 "ldap_attribute = roomNumber\n");
  start_foreground();
  ASSERT_TRUE(pms.accept(15s)) << diagnostics();
  EXPECT_TRUE(pms.wait_for_record("LS|", 5s));
  EXPECT_TRUE(has_logged("LDAP rooms load failure")) << diagnostics();
}

// Reloads while the PMS keeps sending: the daemon stays up, serves the link, keeps no more
// descriptors than before, and stops cleanly.
TEST_F(Faults, HundredReloadsInTenSecondsWhileRecordsFlow) {
  sqlite_exec(pbx, kPbxSchema);
  pms_peer pms;
  write_conf(pms.port(), sqlite_pbx() + services("pbx"));
  start_background();
  link_up(pms);
  auto open_descriptors = [&] {
    auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(daemon_pid) + "/fd");
    return std::distance(begin(fds), end(fds));
  };
  const long before = open_descriptors();

  std::atomic<bool> storm{true};
  std::thread records([&] {
    for (int i = 0; storm; ++i) {
      pms.send_record("GI|RN101|GNGuest" + std::to_string(i) + "|");
      std::this_thread::sleep_for(1s);  // the pace the daemon reads at, not a wait
    }
  });
  for (int i = 0; i < 100; ++i) {
    kill(daemon_pid, SIGHUP);
    std::this_thread::sleep_for(100ms);  // a hundred signals spread over ten seconds
  }
  storm = false;
  records.join();

  ASSERT_EQ(kill(daemon_pid, 0), 0) << "the daemon ended\n" << diagnostics();
  EXPECT_GE(count_occurrences(read_file(log), "Hangup. Reloading configuration."), 10);
  EXPECT_LE(open_descriptors(), before + 3) << "descriptors kept by the reloads";
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfterTheStorm|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "AfterTheStorm"; }, 60s)) << diagnostics();
  EXPECT_EQ(stop_background(20s), 0) << diagnostics();
}

}  // namespace
