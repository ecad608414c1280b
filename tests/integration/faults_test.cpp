// The daemon against peers that misbehave: a PMS that stops inside a record, vanishes without a
// word, cuts a record, sends garbage or stops reading; a directory server that is down or silent;
// a manager port that closes every connection, a manager name that does not resolve, a manager
// that keeps dropping the connection; and a daemon held to a few threads. The real binary where
// the time of a default limit or the process itself is the point, the daemon object with short
// intervals where only the behaviour is.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "ami_server.h"
#include "daemon_fixture.h"
#include "fdutils.h"
#include "link_support.h"
#include "pms_peer.h"
#include "sig.h"
#include "sqlite_probe.h"
#include "testutil.h"

using namespace std::chrono_literals;
using testutil::count_occurrences;
using testutil::ms_since;
using testutil::read_file;
using testutil::report_time;
using testutil::rows_t;
using testutil::sqlite_exec;
using testutil::sqlite_rows;
using testutil::wait_until;

namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

std::string framed(const std::string& text) { return kStx + text + kEtx; }

// The value of field `name` in a record text ("DD" of "PS|P#0001|...|DD200|" is "200").
std::string field(const std::string& record, const std::string& name) {
  size_t at = record.find("|" + name);
  if (at == std::string::npos) return {};
  at += 1 + name.size();
  return record.substr(at, record.find('|', at) - at);
}

std::set<std::string> column_set(const rows_t& rows) {
  std::set<std::string> values;
  for (const auto& row : rows) values.insert(row.at(0));
  return values;
}

// A PMS that takes the daemon's connections, brings the link up when told, and never reads.
class deaf_pms {
 public:
  deaf_pms() {
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
  // Answers the link start as a PMS does (without reading what the daemon sent).
  void bring_link_up(int conn) {
    send_record(conn, "LS|DA091231|TI101500|");
    send_record(conn, "LA|DA091231|TI101501|");
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
  unique_fd listener_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  int port_ = 0;
  std::vector<unique_fd> conns_;
};

// The TCP options of the socket that process `pid` has connected to 127.0.0.1:`peer_port`, read
// from a duplicate of its descriptor (pidfd_getfd). Nothing when there is no such socket.
struct tcp_options {
  int keepalive = 0, idle_s = 0, interval_s = 0, probes = 0, user_timeout_ms = 0;
};

std::optional<tcp_options> tcp_options_of(pid_t pid, int peer_port) {
  unique_fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) return std::nullopt;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
    if (!std::filesystem::read_symlink(entry.path(), ec).string().starts_with("socket:")) continue;
    const int target = std::stoi(entry.path().filename().string());
    unique_fd sock(static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd.get(), target, 0)));
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (!sock || ::getpeername(sock.get(), reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET || ntohs(peer.sin_port) != peer_port)
      continue;
    tcp_options o;
    socklen_t n = sizeof(int);
    ::getsockopt(sock.get(), SOL_SOCKET, SO_KEEPALIVE, &o.keepalive, &n);
    ::getsockopt(sock.get(), IPPROTO_TCP, TCP_KEEPIDLE, &o.idle_s, &n);
    ::getsockopt(sock.get(), IPPROTO_TCP, TCP_KEEPINTVL, &o.interval_s, &n);
    ::getsockopt(sock.get(), IPPROTO_TCP, TCP_KEEPCNT, &o.probes, &n);
    ::getsockopt(sock.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &o.user_timeout_ms, &n);
    return o;
  }
  return std::nullopt;
}

// Threads of a process (a /proc entry), 0 when it is gone.
int threads_of(const std::string& pid) {
  std::string status = read_file("/proc/" + pid + "/status");
  size_t at = status.find("\nThreads:");
  return at == std::string::npos ? 0 : std::stoi(status.substr(at + 9));
}

// Threads of every process of a user, which RLIMIT_NPROC counts.
int threads_of_user(uid_t uid) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (read_file(entry.path().string() + "/status").find("\nUid:\t" + std::to_string(uid) + "\t") !=
        std::string::npos)
      n += threads_of(pid);
  }
  return n;
}

std::string manager_keys(const std::string& host, int port) {
  return "cdr_use_manager = 1\ncdr_mgr_host = " + host + "\ncdr_mgr_port = " +
         std::to_string(port) + "\ncdr_mgr_user = velmorant\ncdr_mgr_password = pbx\n";
}

class Faults : public testutil::DaemonTest {
 protected:
  std::string silent_ldap(int port) const {
    return "[rooms]\ntype = ldap\nldap_host = 127.0.0.1\nldap_port = " + std::to_string(port) +
           "\nldap_base = dc=hotel,dc=test\nldap_filter = (cn=main)\nldap_attribute = roomNumber\n";
  }

  void SetUp() override { sqlite_exec(pbx, testutil::kPbxSchema); }

  std::string guest_name() { return sqlite_rows(pbx, "select name from users").at(0).at(0); }

  // A daemon in this process with `timing`, linked to `pms`, that has 16000 calls of room 101 to
  // post: enough to fill the kernel's buffers on both ends of a loopback connection (a few
  // megabytes; each posting carries a 250-digit number, unique per call). Returns once the link
  // is full and the daemon waits on it.
  void fill_a_deaf_pms(deaf_pms& pms, const daemon_timing& timing) {
    sqlite_exec(pbx, "with recursive n(i) as (select 1 union all select i + 1 from n where i < "
                     "16000) insert into cdr (calldate, src, dst, billsec) select "
                     "datetime('2009-12-31 00:00:00', '+' || i || ' seconds'), '101', "
                     "printf('%05d%0245d', i, 0), 60 from n");
    write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
    start_in_process(timing);
    ASSERT_EQ(pms.accept(15s), 0) << diagnostics();
    pms.bring_link_up(0);
    ASSERT_TRUE(logged("PMS link is full; waiting up to " +
                       std::to_string(timing.link.send_limit.count()) + " ms", 45s))
        << diagnostics();
  }
};

// The record limit of the real binary is ten seconds; meanwhile a reload and, on the next half
// record, a stop are served at once.
TEST_F(Faults, HalfRecordIsDroppedAfterTenSecondsAndSignalsAreServedMeanwhile) {
  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_foreground();
  link_up(pms);
  ASSERT_TRUE(pms.send_bytes("\x02GI|RN101|GNHal"));
  const auto sent = std::chrono::steady_clock::now();

  signal(SIGHUP);
  ASSERT_TRUE(logged("Hangup. Reloading configuration.", 5s)) << diagnostics();
  const long long reload_ms = ms_since(sent);
  EXPECT_LT(reload_ms, 1500) << "a reload waits for no record";

  ASSERT_TRUE(logged("PMS record unfinished after 10000 ms; dropping it and the link", 20s))
      << diagnostics();
  const long long notice_ms = ms_since(sent);
  EXPECT_GE(notice_ms, 9500);
  EXPECT_LE(notice_ms, 12000);
  ASSERT_TRUE(pms.wait_closed(5s)) << "the link is rebuilt";
  link_up(pms);
  const long long rebuilt_ms = ms_since(sent);
  EXPECT_FALSE(has_logged("Received Guest checkin packet")) << "the cut record was applied";

  ASSERT_TRUE(pms.send_bytes("\x02GI|RN101|GNHal"));
  EXPECT_EQ(stop(5s), 0) << diagnostics();
  EXPECT_LT(stop_ms, 1500) << "a stop waits for no record";
  EXPECT_TRUE(has_logged("Caught signal 15. Exiting."));
  report_time("half record: reload served", reload_ms);
  report_time("half record: dropped (noticed)", notice_ms);
  report_time("half record: link up again", rebuilt_ms);
  report_time("half record: stop", stop_ms);
}

// A PMS that is gone without a FIN (power loss, a firewall that forgot the connection) answers
// nothing: with a heartbeat of one second the link is dropped two to three seconds after the
// last word and made again. Keepalive, for a PMS without heartbeat, is on the socket; its probes
// are too slow to wait for here.
TEST_F(Faults, SilentPmsIsDroppedAfterTheHeartbeatAndTheSocketHasKeepalive) {
  pms_peer pms;
  pms_keys = "heartbeat = 1\n";
  write_conf(pms.port(), "");
  start_foreground();
  ASSERT_TRUE(pms.bring_link_up(15s)) << diagnostics();
  const auto last_word = std::chrono::steady_clock::now();  // the PMS's link active went out
  ASSERT_TRUE(logged("Received Link active packet from PMS", 5s)) << diagnostics();

  std::optional<tcp_options> o = tcp_options_of(pid(), pms.port());
  ASSERT_TRUE(o) << "no socket to the PMS found in the daemon";
  EXPECT_NE(o->keepalive, 0);
  EXPECT_EQ(o->idle_s, 30);
  EXPECT_EQ(o->interval_s, 10);
  EXPECT_EQ(o->probes, 3);
  EXPECT_EQ(o->user_timeout_ms, 60000);

  EXPECT_TRUE(pms.wait_for_record("LA|", 3s)) << "no link active sent on a silent link";
  ASSERT_TRUE(logged("PMS did not answer a link active", 6s)) << diagnostics();
  const long long notice_ms = ms_since(last_word);
  EXPECT_GE(notice_ms, 1900);
  EXPECT_LE(notice_ms, 3500);
  EXPECT_TRUE(pms.wait_closed(2s));
  ASSERT_TRUE(pms.bring_link_up(15s)) << "the link is made again\n" << diagnostics();
  EXPECT_EQ(stop(5s), 0) << diagnostics();
  report_time("silent PMS with heartbeat 1 s: dropped (noticed)", notice_ms);
  report_time("silent PMS: stop", stop_ms);
}

// Held to a handful of threads (RLIMIT_NPROC, as systemd's TasksMax or a crowded account would),
// the daemon applies 200 records in the order they came: they are queued for the worker's lanes,
// not given a thread each. The daemon object runs in a child process of its own, as a user of its
// own, since the limit counts the threads of a user and does not hold for root.
TEST_F(Faults, TwoHundredRecordsAreAllAppliedInOrderUnderAThreadLimit) {
  sqlite_exec(pbx, "create table guests (seq integer primary key, name text)");
  pms_peer pms;
  pms_keys = "pacing = 1\n";
  write_conf(pms.port(), sqlite_section() +
                             "[services]\ncheckin = pbx:insert into guests (name) values "
                             "('%name%')\n");
  const uid_t uid = getuid() == 0 ? 65534 : getuid();  // root: run as nobody
  const rlim_t limit = static_cast<rlim_t>(threads_of_user(uid)) + 8;
  if (getuid() == 0) {
    ASSERT_EQ(chown(dir.path().c_str(), uid, uid), 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      ASSERT_EQ(chown(entry.path().c_str(), uid, uid), 0);
  }

  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Statement traces go to standard output: into the folder, as for the real binary.
    unique_fd out(::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out || dup2(out.get(), 1) < 0 || dup2(out.get(), 2) < 0) _exit(119);
    rlimit threads{limit, limit};
    if (setrlimit(RLIMIT_NPROC, &threads) != 0 || (getuid() == 0 && (setgid(uid) != 0 || setuid(uid) != 0)))
      _exit(120);
    signal_set_handler(SIGTERM, 0, [](int) {});
    options opts;
    opts.config_file = conf;
    opts.foreground = true;
    std::shared_ptr<const Settings> first;
    if (load_conf(conf, first) != 0) _exit(121);
    velmorant_daemon d(opts, first, testutil::quick_timing());
    int status = d.start("velmorant");
    _exit(status != 0 ? status : d.run());
  }
  struct reaper {
    pid_t pid;
    ~reaper() {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } reap{child};

  link_up(pms);
  std::string records;
  for (int i = 0; i < 200; ++i) records += framed("GI|RN101|GNGuest" + std::to_string(i) + "|");
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(pms.send_bytes(records));
  int most_threads = 0;
  bool all = wait_until([&] {
    most_threads = std::max(most_threads, threads_of(std::to_string(child)));
    return sqlite_rows(pbx, "select count(*) from guests") == rows_t{{"200"}};
  }, 30s);
  ASSERT_TRUE(all) << diagnostics();
  const long long applied_ms = ms_since(sent);
  rows_t names = sqlite_rows(pbx, "select name from guests order by seq");
  for (int i = 0; i < 200; ++i) EXPECT_EQ(names.at(static_cast<size_t>(i)).at(0), "Guest" + std::to_string(i));
  // The main loop, the worker's three lanes and the poller (and a sanitizer's own thread): none
  // per record.
  EXPECT_LE(most_threads, 7);

  auto stop_sent = std::chrono::steady_clock::now();
  ::kill(child, SIGTERM);
  EXPECT_EQ(testutil::wait_pid(child, 15s), 0) << diagnostics();
  reap.pid = -1;
  report_time("thread limit: 200 records applied", applied_ms);
  report_time("thread limit: stop", ms_since(stop_sent));
}

TEST_F(Faults, PmsClosingInsideARecordIsReconnectedAndThePartIsDroppedWithAWarning) {
  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  ASSERT_TRUE(pms.send_bytes("\x02GI|RN101|GNHalf"));
  pms.close_client();
  EXPECT_TRUE(logged("Connection to PMS lost", 5s));
  EXPECT_TRUE(has_logged("PMS link ended inside a record; dropping its first 15 bytes: GI|RN101|GNHalf"))
      << diagnostics();

  link_up(pms);
  ASSERT_TRUE(pms.send_record("GI|RN101|GNWhole|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "Whole"; }, 10s)) << diagnostics();
  EXPECT_EQ(count_occurrences(read_file(log), "Received Guest checkin packet"), 1);
}

TEST_F(Faults, MegabyteOfRandomBytesFromThePmsCostsOnlyTheLink) {
  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  std::mt19937 random(20240305);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = kStx;  // the first read takes a record of noise, the next one finds no STX
  // The daemon drops the link with most of the megabyte unread, so the send ends in an error.
  pms.send_bytes(noise);
  EXPECT_TRUE(logged("Connection to PMS lost", 10s)) << diagnostics();
  // The noise after the first STX is a record that does not parse, or one cut short by another STX.
  EXPECT_TRUE(has_logged("Can not parse FIAS packet") || has_logged("Discarding a PMS record"))
      << diagnostics();

  link_up(pms);
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfterNoise|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "AfterNoise"; }, 10s)) << diagnostics();
}

// The link is dropped after the send time limit; the postings whose frames went out whole are
// exactly the marked calls, and the main loop connects again.
TEST_F(Faults, PmsThatStopsReadingLosesTheLinkAfterTheSendTimeLimitAndOnlyWholeFramesAreMarked) {
  deaf_pms pms;
  daemon_timing timing = testutil::quick_timing();
  timing.link.send_limit = 1000ms;
  ASSERT_NO_FATAL_FAILURE(fill_a_deaf_pms(pms, timing));
  const int first = 0;
  // The log is polled: the line that the link is full was seen up to a poll (20 ms and a read of
  // a megabyte or two of log) after it was written, longer on a loaded machine.
  auto full = std::chrono::steady_clock::now();
  ASSERT_TRUE(logged("PMS is not reading: ", 30s)) << diagnostics();
  EXPECT_GE(std::chrono::steady_clock::now() - full, 800ms) << "gave up before the time limit";
  int second = pms.accept(10s);
  ASSERT_EQ(second, 1) << "the main loop connects again\n" << diagnostics();
  EXPECT_EQ(pms.first_record(second, 5s).substr(0, 3), "LS|");
  // The poller logs its failure after the link's; the main loop may reconnect in between.
  EXPECT_TRUE(logged("Unable to send fias Post Simple", 5s));

  const std::string marked_query = "select dst from cdr where userfield != ''";
  ASSERT_TRUE(wait_until([&] { return !sqlite_rows(pbx, marked_query).empty(); }, 15s));
  testlink::split_stream sent = testlink::split_frames(pms.read_to_end(first, 2s));
  EXPECT_EQ(sent.stray, 0u) << "bytes outside a frame";
  std::set<std::string> posted;
  for (const std::string& record : sent.records)
    if (record.starts_with("PS|")) posted.insert(field(record, "DD"));
  EXPECT_GT(posted.size(), 1000u);
  EXPECT_LT(posted.size(), 16000u);
  std::set<std::string> marked = column_set(sqlite_rows(pbx, marked_query));
  std::vector<std::string> only_marked, only_posted;
  std::set_difference(marked.begin(), marked.end(), posted.begin(), posted.end(),
                      std::back_inserter(only_marked));
  std::set_difference(posted.begin(), posted.end(), marked.begin(), marked.end(),
                      std::back_inserter(only_posted));
  EXPECT_TRUE(only_marked.empty() && only_posted.empty())
      << "marked calls differ from the postings that went out whole: " << only_marked.size()
      << " marked only (first " << (only_marked.empty() ? "" : only_marked[0].substr(0, 5))
      << "), " << only_posted.size() << " posted only (first "
      << (only_posted.empty() ? "" : only_posted[0].substr(0, 5)) << ") of " << posted.size();
  // At most the head of the frame that did not go out whole follows.
  if (!sent.rest.empty()) {
    EXPECT_EQ(sent.rest[0], kStx);
    EXPECT_EQ(sent.rest.substr(1, 3), std::string("PS|").substr(0, sent.rest.size() - 1));
  }
}

// A PMS that restarts its interface on the same connection sends a link start behind a thousand
// paced records: the start-up answer goes out at once, nothing else goes out until the PMS's link
// active, and then the posting it had not answered goes out again.
TEST_F(Faults, LinkStartBehindAThousandQueuedRecordsIsAnsweredAtOnceAndTheRestartResends) {
  sqlite_exec(pbx, "insert into cdr (calldate, src, dst, billsec) values "
                   "('2009-12-31 10:00:00', '101', '5551234', 60)");
  pms_peer pms;
  pms_keys = "pacing = 1000\n";
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  std::optional<std::string> posting = pms.wait_for_record("PS|", 10s);
  ASSERT_TRUE(posting) << diagnostics();

  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += framed("RE|RN" + std::to_string(1000 + i) + "|DNY|");
  ASSERT_TRUE(pms.send_bytes(burst));
  const size_t before = pms.received().size();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(pms.send_record("LS|DA091231|TI101600|"));
  ASSERT_TRUE(pms.wait_for_record("LA|", 10s)) << diagnostics();
  const long long answered_ms = ms_since(sent);
  std::vector<std::string> answer = pms.received();
  answer.erase(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(before));
  const int applied = count_occurrences(read_file(log), "Received Room equipment");
  ASSERT_GE(answer.size(), 3u);
  EXPECT_TRUE(answer.front().starts_with("LD|")) << answer.front();
  for (size_t i = 1; i + 1 < answer.size(); ++i) EXPECT_TRUE(answer[i].starts_with("LR|")) << answer[i];
  EXPECT_TRUE(answer.back().starts_with("LA|")) << answer.back();
  // The queue is slow under ThreadSanitizer; on a plain build the answer takes milliseconds.
  EXPECT_LT(answered_ms, 1000) << "link start-up answered behind the queued records";
  EXPECT_LT(applied, 10) << "the records were queued, not applied, when the answer went out";

  EXPECT_FALSE(pms.wait_for_record("PS|", 500ms)) << "a posting went out before the link active";
  ASSERT_TRUE(pms.send_record("LA|DA091231|TI101601|"));
  std::optional<std::string> again = pms.wait_for_record("PS|", 5s);
  ASSERT_TRUE(again) << diagnostics();
  EXPECT_EQ(field(*again, "P#"), field(*posting, "P#"));
  EXPECT_EQ(field(*again, "DD"), "5551234");
  report_time("link start behind 1000 queued records: LD..LA out", answered_ms);
}

// The record in hand when the stop came waits out the send time limit; no more than that.
TEST_F(Faults, StopIsNotHeldUpByAPmsThatStopsReading) {
  deaf_pms pms;
  daemon_timing timing = testutil::quick_timing();
  timing.link.send_limit = 2000ms;
  ASSERT_NO_FATAL_FAILURE(fill_a_deaf_pms(pms, timing));
  auto stop = std::chrono::steady_clock::now();
  EXPECT_EQ(stop_in_process(), 0) << diagnostics();
  // The frame in hand may take its whole send limit; the marks of the postings that went out are
  // left to the next run (thousands here), and a stop held by every further posting would take
  // 2 s each.
  EXPECT_LT(std::chrono::steady_clock::now() - stop, timing.link.send_limit + 8s);
  EXPECT_TRUE(has_logged("Caught signal 15. Exiting."));
}

// Another process holds the states file's write lock: every statement on it waits the busy time,
// one after the other, but from the stop on a second at most, so the stop keeps its bound.
TEST_F(Faults, StopIsNotHeldUpByAnotherProcessLockingTheStatesFile) {
  pms_peer pms;
  pms_keys = "pacing = 0\n";
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  std::optional<testutil::exclusive_lock> holder(std::in_place, states);
  for (int i = 0; i < 6; ++i) {
    pms.send_record("GI|RN10" + std::to_string(i) + "|GNGuest|");
    pms.send_record("PA|ASOK|RN10" + std::to_string(i) + "|P#000" + std::to_string(i) + "|");
  }
  ASSERT_TRUE(logged("database is locked", 15s)) << diagnostics();
  const auto stop = std::chrono::steady_clock::now();
  EXPECT_EQ(stop_in_process(), 0) << diagnostics();
  const long long took = ms_since(stop);
  // The stop's grace before it interrupts, and a second for each lane's statement in hand.
  EXPECT_LT(took, 8000) << diagnostics();
  report_time("states file locked by another process: stop", took);
}

TEST_F(Faults, DirectoryServerDownLetsStartUpGoOnWithTheMessage) {
  pms_peer pms;
  write_conf(pms.port(), "", silent_ldap(testutil::unused_port()));
  start_foreground();
  ASSERT_TRUE(pms.accept(15s)) << diagnostics();
  EXPECT_TRUE(pms.wait_for_record("LS|", 5s));
  EXPECT_TRUE(has_logged("LDAP rooms load failure")) << diagnostics();
}

// A directory port that accepts and never answers holds start-up no longer than the LDAP time
// limits (the bind's ten seconds); then the link comes up.
TEST_F(Faults, SilentDirectoryPortDelaysStartUpOnlyByTheLdapTimeLimits) {
  testutil::silent_listener directory;
  pms_peer pms;
  write_conf(pms.port(), "", silent_ldap(directory.port()));
  const auto started = std::chrono::steady_clock::now();
  start_foreground();
  ASSERT_TRUE(pms.accept(20s)) << diagnostics();
  const long long startup_ms = ms_since(started);
  EXPECT_TRUE(has_logged("LDAP rooms load failure")) << diagnostics();
  EXPECT_LT(startup_ms, 15000);
  ASSERT_TRUE(pms.wait_for_record("LS|", 5s));
  pms.send_record("LS|DA091231|TI101500|");
  ASSERT_TRUE(pms.wait_for_record("LA|", 5s));
  pms.send_record("LA|DA091231|TI101501|");
  EXPECT_TRUE(logged("Received Link active packet from PMS", 5s)) << diagnostics();
  EXPECT_EQ(stop(15s), 0);
  report_time("silent LDAP port: start-up went on (noticed)", startup_ms);
  report_time("silent LDAP port: stop", stop_ms);
}

// A manager port that accepts and closes at once (Asterisk restarting, a proxy whose PBX is
// down) is tried again 1 s, 2 s, 4 s ... later, not in a busy loop.
TEST_F(Faults, ManagerPortThatClosesAtOnceIsTriedAgainWithADoublingPause) {
  testami::ami_server ami{"velmorant", "pbx"};
  ami.set_accept_and_close(true);
  write_conf(testutil::unused_port(), "[services]\n" + manager_keys("127.0.0.1", ami.port()));
  start_foreground();
  ASSERT_TRUE(ami.wait_for_connections(4, 15s)) << diagnostics();
  const auto times = ami.connection_times();
  const std::chrono::milliseconds expected[] = {1000ms, 2000ms, 4000ms};
  for (size_t i = 0; i < 3; ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i + 1] - times[i]);
    EXPECT_GE(gap, expected[i] * 9 / 10) << "pause " << i;
    EXPECT_LE(gap, expected[i] + 1000ms) << "pause " << i;
    report_time("manager closing at once: pause " + std::to_string(i + 1),
                static_cast<long long>(gap.count()));
  }
  EXPECT_EQ(ami.connections(), 4) << "no connection beside the paced ones";
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  EXPECT_LT(testutil::lines_of(read_file(log)).size(), 100u) << "a flood of log lines";
  report_time("manager closing at once: stop", stop_ms);
}

// DNS not up yet at boot: the name is tried again with the same pauses, and a reload that
// corrects it starts the feed's caching.
TEST_F(Faults, ManagerNameThatDoesNotResolveIsRetriedAndAReloadWithTheRightOneCaches) {
  testami::ami_server ami{"velmorant", "pbx"};
  write_conf(testutil::unused_port(), "[services]\n" + manager_keys("nosuch.invalid", ami.port()));
  start_foreground();
  ASSERT_TRUE(logged("Host: nosuch.invalid not found", 10s)) << diagnostics();
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(logged("Host: nosuch.invalid not found", 10s, 2)) << "tried once only\n"
                                                                << diagnostics();
  const long long retry_ms = ms_since(first);
  EXPECT_GE(retry_ms, 900);

  EXPECT_EQ(ami.connections(), 0);
  write_conf(testutil::unused_port(), "[services]\n" + manager_keys("127.0.0.1", ami.port()));
  const auto reload = std::chrono::steady_clock::now();
  signal(SIGHUP);
  ASSERT_TRUE(ami.wait_for_accepted_logins(1, 10s)) << diagnostics();
  const long long login_ms = ms_since(reload);
  testami::cdr_event call;
  ASSERT_TRUE(ami.send_cdr(call));
  EXPECT_TRUE(wait_until([&] {
    return sqlite_rows(states, "select uniqueid from cdrcache") == rows_t{{call.unique_id}};
  }, 10s)) << diagnostics();
  EXPECT_EQ(stop(15s), 0) << diagnostics();
  report_time("manager name not resolving: tried again after", retry_ms);
  report_time("manager name corrected: logged in after the reload", login_ms);
  report_time("manager name: stop", stop_ms);
}

TEST_F(Faults, ManagerDroppingTheConnectionEveryFewMessagesLosesAndDuplicatesNoCall) {
  testami::ami_server ami{"velmorant", "pbx"};
  write_conf(testutil::unused_port(), "[services]\n" + manager_keys("127.0.0.1", ami.port()));
  start_in_process();
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

}  // namespace
