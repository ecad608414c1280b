// FIAS link: framed reading over a socketpair, sending, connecting and the link start-up answer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fias.h"
#include "logger.h"
#include "pms_peer.h"
#include "pmslink.h"

namespace {

using namespace std::chrono_literals;

// Two connected stream sockets; [0] is the daemon's end, [1] the PMS's.
struct socket_pair {
  int fd[2] = {-1, -1};
  socket_pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~socket_pair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void close_pms_end() {
    ::close(fd[1]);
    fd[1] = -1;
  }
};

void write_bytes(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Bytes waiting to be read on `fd`.
int queued(int fd) {
  int n = -1;
  ::ioctl(fd, FIONREAD, &n);
  return n;
}

// Polls `done` until it holds or `limit` passes.
template <typename Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit = 5s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// True while thread `tid` of this process sleeps in a blocking call.
bool thread_sleeping(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

// A read on a descriptor, run in its own thread so that a test can signal it while it blocks.
struct background_read {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  int result = 0;
  std::string text;
  std::thread thread;

  background_read(int fd, int maxlen) {
    thread = std::thread([this, fd, maxlen] {
      tid = gettid();
      std::vector<char> buf(static_cast<size_t>(maxlen) + 1, '\0');
      result = fias_read_packet(fd, buf.data(), maxlen);
      if (result >= 0) text.assign(buf.data(), static_cast<size_t>(result));
      done = true;
    });
  }
  ~background_read() {
    if (thread.joinable()) thread.join();
  }
  bool blocked() { return tid != 0 && thread_sleeping(tid); }
};

std::atomic<int> signals_seen{0};
void count_signal(int) { signals_seen.fetch_add(1); }

struct read_result {
  int rc;
  std::string text;
};

read_result read_one(int fd, int maxlen = 4096) {
  std::vector<char> buf(static_cast<size_t>(std::max(maxlen, 1)), '\x7f');
  int rc = fias_read_packet(fd, buf.data(), maxlen);
  return {rc, rc > 0 ? std::string(buf.data()) : std::string()};
}

std::string today(const char* pattern) {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  strftime(buf, sizeof buf, pattern, &tm);
  return buf;
}

// True when `text` is "ID|DAyymmdd|TIhhmmss|" followed by exactly `tail`.
bool is_stamped(const std::string& text, const std::string& id, const std::string& tail = "") {
  const std::string shape = id + "|DA??????|TI??????|" + tail;
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == '?' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  return true;
}

class FiasLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    logger_init(nullptr, 2, 0, 0);  // warnings and errors to standard error, nothing to syslog
    // Without SA_RESTART, as the daemon installs its handlers: a blocked read returns EINTR.
    struct sigaction sa {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, nullptr);
  }
};

TEST_F(FiasLink, ReaderReturnsTheTextBetweenStxAndEtx) {
  struct {
    std::string input;
    int rc;
    std::string text;
    std::string printed;
  } cases[] = {
      {"\x02LA|DA091231|TI120000|\x03", 21, "LA|DA091231|TI120000|", "Read code 2\n"},
      {std::string("\x02\x03", 2), 0, "", "Read code 2\n"},
      {"X\x02GI|\x03", -2, "", "Read code 58\n"},
      {"\xff", -2, "", "Read code ffffffff\n"},
  };
  for (const auto& c : cases) {
    socket_pair sp;
    write_bytes(sp.fd[1], c.input);
    testing::internal::CaptureStdout();
    read_result r = read_one(sp.fd[0]);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
  }
}

TEST_F(FiasLink, ReaderTakesOneFrameAndLeavesTheNextInTheStream) {
  socket_pair sp;
  write_bytes(sp.fd[1], "\x02GI|RN101|\x03\x02GO|RN101|\x03");
  EXPECT_EQ(read_one(sp.fd[0]).text, "GI|RN101|");
  EXPECT_EQ(read_one(sp.fd[0]).text, "GO|RN101|");
  EXPECT_EQ(queued(sp.fd[0]), 0);
}

TEST_F(FiasLink, ReaderDiscardsRecordsTooLongForTheLimitOrTheBufferAndReadsTheNextOne) {
  socket_pair sp;
  write_bytes(sp.fd[1], "\x02" + std::string(5000, 'a') + "\x03X\x02GI|RN101|\x03\x02LA|\x03");
  read_result next = read_one(sp.fd[0], 4096);
  EXPECT_EQ(next.rc, 9) << "the over-long record and the noise after it are skipped";
  EXPECT_EQ(next.text, "GI|RN101|");
  EXPECT_EQ(queued(sp.fd[0]), 5) << "the frame after the record stays in the stream";

  socket_pair small;
  write_bytes(small.fd[1], "\x02GI|RN1|\x03\x02\x03\x02LA|\x03");
  EXPECT_EQ(read_one(small.fd[0], 0).rc, 0);
  EXPECT_EQ(queued(small.fd[0]), 16) << "a buffer of no size reads nothing";
  EXPECT_EQ(read_one(small.fd[0], 4).rc, FIAS_READ_TOO_LONG) << "never handed out cut";
  EXPECT_EQ(read_one(small.fd[0], 1).rc, 0);
  EXPECT_EQ(read_one(small.fd[0], 4).text, "LA|");
}

TEST_F(FiasLink, ReaderAssemblesARecordArrivingOneBytePerWrite) {
  socket_pair sp;
  const std::string frame = "\x02WR|RN101|DA091231|TI063000|\x03";
  background_read reader(sp.fd[0], 4096);
  for (char c : frame) {
    write_bytes(sp.fd[1], std::string(1, c));
    // The reader takes each byte before the next is written.
    ASSERT_TRUE(wait_until([&] { return queued(sp.fd[0]) == 0; }));
  }
  reader.thread.join();
  EXPECT_EQ(reader.result, 27);
  EXPECT_EQ(reader.text, "WR|RN101|DA091231|TI063000|");
}

TEST_F(FiasLink, ReaderReportsEndOfStreamAsError) {
  for (std::string sent : {"", "\x02", "\x02GI|RN1"}) {
    socket_pair sp;
    write_bytes(sp.fd[1], sent);
    sp.close_pms_end();
    EXPECT_EQ(read_one(sp.fd[0]).rc, FIAS_READ_ERROR) << sent.size() << " bytes before the end";
  }
}

TEST_F(FiasLink, SignalInsideARecordDoesNotCutIt) {
  socket_pair sp;
  background_read reader(sp.fd[0], 4096);
  write_bytes(sp.fd[1], "\x02GI|RN1");
  ASSERT_TRUE(wait_until([&] { return queued(sp.fd[0]) == 0 && reader.blocked(); }));
  int before = signals_seen;
  pthread_kill(reader.thread.native_handle(), SIGUSR1);
  ASSERT_TRUE(wait_until([&] { return signals_seen > before; }));
  write_bytes(sp.fd[1], "01|GNAnn|\x03");
  reader.thread.join();
  EXPECT_EQ(reader.result, 15);
  EXPECT_EQ(reader.text, "GI|RN101|GNAnn|");
}

TEST_F(FiasLink, SignalWhileWaitingForARecordIsReportedAndTheLinkStaysUsable) {
  socket_pair sp;
  {
    background_read reader(sp.fd[0], 4096);
    ASSERT_TRUE(wait_until([&] { return reader.blocked(); }));
    pthread_kill(reader.thread.native_handle(), SIGUSR1);
    reader.thread.join();
    EXPECT_EQ(reader.result, FIAS_READ_INTERRUPTED);
  }
  write_bytes(sp.fd[1], "\x02LA|DA091231|TI120000|\x03");
  read_result next = read_one(sp.fd[0]);
  EXPECT_EQ(next.rc, 21);
  EXPECT_EQ(next.text, "LA|DA091231|TI120000|");
}

TEST_F(FiasLink, SendFramesTheTextAndCountsTheFramingBytes) {
  socket_pair sp;
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], "GI|RN101|"), 11);
  auto pa = fias_parse_packet("PA|ASOK|RN101|P#0001|DA091231|TI063000|", 39);
  ASSERT_NE(pa, nullptr);
  EXPECT_EQ(fias_send_packet(sp.fd[0], pa.get()), 41);
  EXPECT_EQ(fias_send_packet(sp.fd[0], nullptr), -1);

  char buf[128];
  ssize_t n = ::read(sp.fd[1], buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))),
            "\x02GI|RN101|\x03\x02PA|ASOK|RN101|P#0001|DA091231|TI063000|\x03");
}

TEST_F(FiasLink, SendRefusesTextThatWouldBreakTheFraming) {
  socket_pair sp;
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], "GI|RN1\x03|GNX|"), -1);
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], "GI|RN1\x02|"), -1);
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], nullptr), -1);
  EXPECT_EQ(queued(sp.fd[1]), 0);
}

TEST_F(FiasLink, SendToAClosedPeerFailsWithoutRaisingSigpipe) {
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);  // the default action would end this test process
  socket_pair sp;
  sp.close_pms_end();
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], "LA|DA091231|TI120000|"), -1);
  EXPECT_EQ(fias_send_la(sp.fd[0]), -1);
  sigaction(SIGPIPE, &old, nullptr);
}

// The worker and the poller send on the link from their threads at once.
TEST_F(FiasLink, ConcurrentSendersNeverInterleaveFrames) {
  socket_pair sp;
  // A small send buffer makes the kernel take large frames in pieces, between which another
  // thread's send could slip in.
  int small = 4096;
  setsockopt(sp.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  pms_link link;
  link.adopt(unique_fd(std::exchange(sp.fd[0], -1)));
  std::string stream;
  std::thread pms([&] {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(sp.fd[1], buf, sizeof buf)) > 0) stream.append(buf, static_cast<size_t>(n));
  });

  constexpr int kThreads = 4;
  constexpr int kFrames = 40;
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kFrames; ++i)
      expected.push_back("PS|P#" + std::to_string(t * 1000 + i) + "|DD" +
                         std::string(20000, static_cast<char>('a' + t)) + "|");
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        const std::string& text = expected[t * kFrames + i];
        fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
        if (link.send(p.get()) < 0) ++failures;
      }
    });
  for (auto& s : senders) s.join();
  ::shutdown(link.fd(), SHUT_WR);
  pms.join();
  EXPECT_EQ(failures, 0);

  std::vector<std::string> got;
  for (size_t at = 0; at < stream.size();) {
    ASSERT_EQ(stream[at], '\x02') << "frame " << got.size() << " does not start with STX";
    size_t etx = stream.find('\x03', at);
    ASSERT_NE(etx, std::string::npos);
    got.push_back(stream.substr(at + 1, etx - at - 1));
    at = etx + 1;
  }
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(got == expected) << "some frames arrived mixed with others";
}

// Sends large frames to a PMS that never reads until one fails; the failing send's duration.
struct filled_link {
  int frames_sent = 0;
  int last_result = 0;
  std::chrono::milliseconds last_send{0};
};

filled_link send_until_a_frame_fails(int sock, const std::string& text, int limit_ms) {
  filled_link out;
  for (int i = 0; i < 10000; ++i) {
    auto start = std::chrono::steady_clock::now();
    out.last_result = fias_send_raw_packet(sock, text.c_str(), limit_ms);
    out.last_send = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (out.last_result < 0) break;
    ++out.frames_sent;
  }
  return out;
}

using SendTimeLimit = FiasLink;

TEST_F(SendTimeLimit, PmsThatStopsReadingFailsTheSendInTimeAndTheLinkIsShutDown) {
  socket_pair sp;
  background_read main_loop(sp.fd[0], 4096);
  ASSERT_TRUE(wait_until([&] { return main_loop.blocked(); }));
  const std::string text = "PS|P#0001|DD" + std::string(10000, '7') + "|";

  filled_link fill = send_until_a_frame_fails(sp.fd[0], text, 200);
  ASSERT_EQ(fill.last_result, -1) << "the buffers never filled";
  EXPECT_GT(fill.frames_sent, 0);
  EXPECT_GE(fill.last_send, 190ms);
  EXPECT_LT(fill.last_send, 3s);

  // The main loop's read learns of it, the descriptor stays for the main loop to close, and
  // further frames fail at once instead of waiting out the limit again.
  bool woken = wait_until([&] { return main_loop.done.load(); });
  if (!woken) write_bytes(sp.fd[1], "X");
  main_loop.thread.join();
  EXPECT_TRUE(woken);
  EXPECT_EQ(main_loop.result, FIAS_READ_ERROR);
  EXPECT_NE(fcntl(sp.fd[0], F_GETFD), -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fias_send_raw_packet(sp.fd[0], "LA|DA091231|TI120000|", 200), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);

  // What the PMS finds when it reads at last: the frames that were sent, whole, then at most the
  // beginning of the one that failed, then the end of the stream.
  std::string stream;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(sp.fd[1], buf, sizeof buf)) > 0) stream.append(buf, static_cast<size_t>(n));
  const std::string frame = '\x02' + text + '\x03';
  const size_t whole = frame.size() * static_cast<size_t>(fill.frames_sent);
  ASSERT_GE(stream.size(), whole);
  EXPECT_LT(stream.size(), whole + frame.size());
  for (int i = 0; i < fill.frames_sent; ++i)
    ASSERT_EQ(stream.compare(frame.size() * static_cast<size_t>(i), frame.size(), frame), 0) << i;
  EXPECT_EQ(stream.compare(whole, std::string::npos, frame, 0, stream.size() - whole), 0);
}

TEST_F(SendTimeLimit, PmsThatReadsLateWithinTheLimitGetsTheWholeFrame) {
  socket_pair sp;
  const std::string text = "PS|P#0002|DD" + std::string(1 << 20, '8') + "|";
  std::atomic<pid_t> sender_tid{0};
  int result = 0;
  std::thread sender([&] {
    sender_tid = gettid();
    result = fias_send_raw_packet(sp.fd[0], text.c_str(), 5000);
  });
  // The PMS starts reading only once the sender waits for room.
  EXPECT_TRUE(wait_until([&] { return sender_tid != 0 && thread_sleeping(sender_tid); }));
  std::string stream;
  char buf[65536];
  while (stream.size() < text.size() + 2) {
    ssize_t n = ::read(sp.fd[1], buf, sizeof buf);
    if (n <= 0) break;
    stream.append(buf, static_cast<size_t>(n));
  }
  sender.join();
  EXPECT_EQ(result, static_cast<int>(text.size() + 2));
  EXPECT_TRUE(stream == '\x02' + text + '\x03');
}

TEST_F(FiasLink, ConnectSendsALinkStartOfTwentyThreeBytes) {
  pms_peer pms;
  const std::string day_before = today("%y%m%d");
  int sock = fias_connect("localhost", pms.port(), "PB");
  ASSERT_GE(sock, 0);
  ASSERT_TRUE(pms.accept());
  auto ls = pms.wait_for_record("LS");
  ASSERT_TRUE(ls.has_value());
  EXPECT_TRUE(is_stamped(*ls, "LS")) << *ls;
  EXPECT_EQ(ls->size() + 2, 23u);
  EXPECT_TRUE(ls->substr(5, 6) == day_before || ls->substr(5, 6) == today("%y%m%d")) << *ls;
  EXPECT_EQ(pms.stray_bytes(), 0u);

  fias_disconnect(sock);
  EXPECT_TRUE(pms.wait_closed());
  fias_disconnect(-1);
}

TEST_F(FiasLink, ConnectToAPortNobodyListensOnFails) {
  uint16_t port;
  {
    pms_peer gone;
    port = gone.port();
  }
  EXPECT_EQ(fias_connect("127.0.0.1", port, "PB"), -1);
  EXPECT_EQ(fias_connect(nullptr, port, "PB"), -1);
}

TEST_F(FiasLink, LinkStartAnswerIsDescriptionNineLinkRecordsAndLinkActive) {
  struct {
    const char* iftype;
    const char* if_field;
  } cases[] = {{"PBX", "IFPB"}, {"P", "IFP"}, {"", "IF"}, {nullptr, "IF"}};
  for (const auto& c : cases) {
    pms_peer pms;
    int sock = fias_connect("127.0.0.1", pms.port(), c.iftype);
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(pms.accept());
    ASSERT_TRUE(pms.wait_for_record("LS").has_value());
    EXPECT_EQ(fias_init_connection(sock, c.iftype), 0);
    ASSERT_TRUE(pms.wait_for_record("LA").has_value());

    std::vector<std::string> got = pms.received();
    ASSERT_EQ(got.size(), 12u);
    EXPECT_TRUE(is_stamped(got[1], "LD", std::string("V#1.01|") + c.if_field + "|")) << got[1];
    const std::vector<std::string> link_records = {
        "LR|RIDR|FLDATI|",      "LR|RIGI|FLRNGNGLGS|", "LR|RIGO|FLRNGNGLGS|",
        "LR|RIRE|FLRNRSCSDN|",  "LR|RIWC|FLRNDATI|",   "LR|RIWR|FLRNDATI|",
        "LR|RIWA|FLRNDATIAS|",  "LR|RIPA|FLASRNP#DATI|", "LR|RIPS|FLP#RNPTTADATIDUDDPCCT|",
    };
    EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.begin() + 11), link_records);
    EXPECT_TRUE(is_stamped(got[11], "LA")) << got[11];
    EXPECT_EQ(pms.stray_bytes(), 0u);
    fias_disconnect(sock);
  }
}

TEST_F(FiasLink, FailedLinkStartAnswerShutsTheLinkDownButLeavesTheDescriptorOpen) {
  socket_pair sp;
  background_read main_loop(sp.fd[0], 4096);
  ASSERT_TRUE(wait_until([&] { return main_loop.blocked(); }));
  ::shutdown(sp.fd[1], SHUT_RD);  // the PMS takes nothing more: every send fails

  EXPECT_EQ(fias_init_connection(sp.fd[0], "PB"), -1);
  bool woken = wait_until([&] { return main_loop.done.load(); });
  if (!woken) write_bytes(sp.fd[1], "X");  // release the reader so the test can end
  main_loop.thread.join();
  EXPECT_TRUE(woken) << "the blocked read must learn of the lost link";
  EXPECT_EQ(main_loop.result, FIAS_READ_ERROR);
  EXPECT_NE(fcntl(sp.fd[0], F_GETFD), -1) << "closing is left to the main loop";
}

// ---- The daemon's link object ----

// Everything the PMS end of a socketpair holds now, framing removed.
std::vector<std::string> records_at(int fd) {
  std::string bytes;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) bytes.append(buf, static_cast<size_t>(n));
  std::vector<std::string> records;
  for (size_t stx = bytes.find('\x02'); stx != std::string::npos; stx = bytes.find('\x02', stx + 1))
    records.push_back(bytes.substr(stx + 1, bytes.find('\x03', stx) - stx - 1));
  return records;
}

// The link start-up answer and the activation belong to the connection that asked for them: once
// the link has been rebuilt, a late worker must not send eleven link records into the new one.
TEST_F(FiasLink, LinkStartAnswerAndActivationApplyOnlyToTheConnectionThatAskedForThem) {
  socket_pair first, second;
  pms_link link;
  link.adopt(unique_fd(std::exchange(first.fd[0], -1)));
  const uint64_t old_id = link.id();
  link.adopt(unique_fd(std::exchange(second.fd[0], -1)));
  EXPECT_NE(link.id(), old_id);
  EXPECT_EQ(link.answer_link_start(old_id, "PB"), -1);
  link.set_active(old_id);
  EXPECT_FALSE(link.active());
  EXPECT_TRUE(records_at(second.fd[1]).empty());

  EXPECT_EQ(link.answer_link_start(link.id(), "PB"), 0);
  EXPECT_EQ(records_at(second.fd[1]).size(), 11u);
  link.set_active(link.id());
  EXPECT_TRUE(link.active());
  link.close();
  EXPECT_FALSE(link.active());
  EXPECT_EQ(link.send(fias_create_packet(FIAS_LA).get()), -1) << "no connection, no send";
}

// A record whose ETX does not come in time costs the link, not the daemon's attention: the main
// loop is told to drop it and goes on serving signals meanwhile. A silent PMS gets a link active
// after the heartbeat and is dropped when nothing comes back.
TEST_F(FiasLink, UnfinishedRecordAndUnansweredHeartbeatDropTheLinkInTime) {
  link_timing timing;
  timing.record_limit = 100ms;
  timing.heartbeat = 100ms;
  socket_pair sp;
  pms_link link(timing);
  link.adopt(unique_fd(std::exchange(sp.fd[0], -1)));
  write_bytes(sp.fd[1], "\x02GI|RN101|GNHa");
  ASSERT_TRUE(wait_until([&] { return link.receive() == 1; }));
  std::string text;
  uint64_t id = 0;
  EXPECT_EQ(link.next_record(text, id), 0);
  EXPECT_EQ(link.check_time_limits(), 0);
  EXPECT_TRUE(wait_until([&] { return link.check_time_limits() < 0; }, 2s));

  socket_pair quiet;  // a fresh connection starts with nothing half read
  link.adopt(unique_fd(std::exchange(quiet.fd[0], -1)));
  EXPECT_TRUE(wait_until([&] {
    return link.check_time_limits() == 0 && !records_at(quiet.fd[1]).empty();
  }, 2s)) << "a link active goes out after the heartbeat";
  EXPECT_TRUE(wait_until([&] { return link.check_time_limits() < 0; }, 2s))
      << "no answer: the link must go";
}

}  // namespace
