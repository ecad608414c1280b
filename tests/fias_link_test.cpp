// The PMS link: reading and sending frames over a socketpair, connecting, the link start-up answer,
// the link's time limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
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

#include "daemon_fixture.h"
#include "fias.h"
#include "link_support.h"
#include "log_capture.h"
#include "logger.h"
#include "pms_peer.h"
#include "pmslink.h"
#include "sqlite_probe.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

using testlink::frames_waiting;
using testlink::paired_link;
using testlink::queued;
using testlink::socket_pair;

void write_bytes(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
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

// The main loop waiting to read the link, in a thread of its own: ends when the connection has
// something to read or ends; `eof` tells that it ended.
struct waiting_reader {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  bool eof = false;
  std::thread thread;

  explicit waiting_reader(int fd) {
    thread = std::thread([this, fd] {
      tid = gettid();
      char c;
      eof = ::recv(fd, &c, 1, MSG_PEEK) == 0;
      done = true;
    });
  }
  ~waiting_reader() {
    if (thread.joinable()) thread.join();
  }
  bool blocked() { return tid != 0 && thread_sleeping(tid); }
};

std::string today(const char* pattern) { return testutil::local_time_text(pattern); }

// True when `text` is "ID|DAyymmdd|TIhhmmss|" followed by exactly `tail`.
bool is_stamped(const std::string& text, const std::string& id, const std::string& tail = "") {
  const std::string shape = id + "|DA??????|TI??????|" + tail;
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == '?' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  return true;
}

// What the reader gives for `stream` fed in the pieces that start at `cuts` (0 and the stream's end
// implied): each result code, with the text for a record.
std::vector<std::pair<int, std::string>> read_in_pieces(fias_frame_reader& reader,
                                                         std::string_view stream,
                                                         std::vector<size_t> cuts) {
  std::vector<std::pair<int, std::string>> got;
  cuts.push_back(stream.size());
  size_t from = 0;
  for (size_t to : cuts) {
    reader.feed(stream.data() + from, to - from);
    from = to;
    std::string text;
    for (int rc; (rc = reader.next(text)) != 0;)
      got.emplace_back(rc, rc == 1 ? text : std::string());
  }
  return got;
}

TEST(FiasFrameReader, RecordsComeOutWholeHoweverTheBytesArriveAndOverlongOnesNotAtAll) {
  testutil::log_capture log;
  const int R = 1, NOT_STX = FIAS_READ_NOT_STX, TOO_LONG = FIAS_READ_TOO_LONG;
  const std::string longest(FIAS_MAX_RECORD_TEXT, 'a');
  const std::string overlong = "GI|RN101|GN" + std::string(5000, 'b');
  struct {
    const char* what;
    std::string stream;
    std::vector<std::pair<int, std::string>> results;
  } cases[] = {
      {"records", "\x02GI|RN101|GNAnn|\x03\x02\x03\x02LA|\x03",
       {{R, "GI|RN101|GNAnn|"}, {R, ""}, {R, "LA|"}}},
      {"a record whose ETX was lost", "\x02GI|RN101|GNAnn\x02GO|RN102|\x03",
       {{R, "GO|RN102|"}}},
      {"noise between records", "X\x03\x02GI|\x03\xff",
       {{NOT_STX, ""}, {NOT_STX, ""}, {R, "GI|"}, {NOT_STX, ""}}},
      {"a record of the longest text", "\x02" + longest + "\x03\x02LA|\x03",
       {{R, longest}, {R, "LA|"}}},
      {"no ETX within the limit, then noise and a record",
       "\x02" + overlong + "\x03junk\x03\x02GO|RN101|\x03", {{TOO_LONG, ""}, {R, "GO|RN101|"}}},
      {"a record right after the longest text", "\x02" + longest + "\x02LA|\x03",
       {{TOO_LONG, ""}, {R, "LA|"}}},
      {"records holding a NUL byte",
       "\x02GI|RN101|GNAnn\0Lee|GLEA|\x03\x02\0\x03\x02GO|RN102|\x03"s,
       {{R, "GO|RN102|"}}},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<size_t>> ways = {{}};
    std::vector<size_t> every_byte;
    for (size_t at = 1; at < c.stream.size(); ++at) {
      ways.push_back({at});
      every_byte.push_back(at);
    }
    ways.push_back(every_byte);
    testing::internal::CaptureStdout();  // the traces of record starts
    for (const auto& cuts : ways) {
      fias_frame_reader reader;
      const bool same = read_in_pieces(reader, c.stream, cuts) == c.results;
      EXPECT_TRUE(same) << c.what << ", " << cuts.size() + 1 << " pieces from "
                        << (cuts.empty() ? 0 : cuts[0]);
      EXPECT_FALSE(reader.inside_record()) << c.what;
      if (!same) break;
    }
    testing::internal::GetCapturedStdout();
  }
  // A new connection: nothing of a half record on the old one is kept.
  testing::internal::CaptureStdout();
  fias_frame_reader reader;
  EXPECT_TRUE(read_in_pieces(reader, "\x02GI|RN1", {}).empty());
  EXPECT_TRUE(reader.inside_record());
  reader.reset();
  EXPECT_EQ(read_in_pieces(reader, "\x02GO|\x03", {}), decltype(cases[0].results)({{R, "GO|"}}));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.contains("Discarding a PMS record with no ETX within 4095 characters: "
                           "GI|RN101|GNbbbb"))
      << log.text().substr(0, 500);
  EXPECT_TRUE(
      log.contains("Discarding a PMS record cut short by the STX of another: GI|RN101|GNAnn\n"));
  EXPECT_TRUE(log.contains("Discarding a PMS record with a NUL byte at position 14: "
                           "GI|RN101|GNAnn\\x00Lee|GLEA|\n"));
  EXPECT_TRUE(log.contains("Discarding a PMS record with a NUL byte at position 0: \\x00\n"));

  // Each byte where a record must start is traced, as a signed char in hex.
  testing::internal::CaptureStdout();
  fias_frame_reader traced;
  read_in_pieces(traced, "X\x02\x03\xff", {});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Read code 58\nRead code 2\nRead code ffffffff\n");
}

class FiasLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    logger_init(nullptr, 2, 0, 0);  // warnings and errors to standard error, nothing to syslog
  }
};

// The end of the connection is the end of the link; what it cut of a record is logged.
TEST_F(FiasLink, EndOfTheStreamEndsTheLinkAndNamesTheRecordItCut) {
  struct {
    std::string sent;
    std::string logged;  // empty: nothing about a record
  } cases[] = {
      {"", ""},
      {"\x02GI|RN101|\x03", ""},
      {"\x02", "PMS link ended inside a record; dropping its first 0 bytes: \n"},
      {"\x02GI|RN1", "PMS link ended inside a record; dropping its first 6 bytes: GI|RN1\n"},
  };
  for (const auto& c : cases) {
    testutil::log_capture log;
    paired_link pl;
    write_bytes(pl.pms.get(), c.sent);
    pl.pms.reset();
    testing::internal::CaptureStdout();  // the traces of record starts
    // As the main loop does: the records received are taken before the next receive.
    EXPECT_TRUE(wait_until([&] {
      std::string text;
      uint64_t id = 0;
      while (pl.link.next_record(text, id) != 0) {
      }
      return pl.link.receive() < 0;
    })) << c.sent.size() << " bytes";
    testing::internal::GetCapturedStdout();
    if (c.logged.empty())
      EXPECT_EQ(log.text().find("inside a record"), std::string::npos) << log.text();
    else
      EXPECT_TRUE(log.contains(c.logged)) << log.text();
  }
}

TEST_F(FiasLink, SendFramesTheTextAndCountsTheFramingBytes) {
  socket_pair sp;
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), "GI|RN101|"), 11);
  auto pa = fias_parse_packet("PA|ASOK|RN101|P#0001|DA091231|TI063000|", 39);
  ASSERT_NE(pa, nullptr);
  EXPECT_EQ(fias_send_packet(sp.daemon.get(), pa.get()), 41);
  EXPECT_EQ(fias_send_packet(sp.daemon.get(), nullptr), -1);

  char buf[128];
  ssize_t n = ::read(sp.pms.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))),
            "\x02GI|RN101|\x03\x02PA|ASOK|RN101|P#0001|DA091231|TI063000|\x03");
}

TEST_F(FiasLink, SendRefusesTextThatWouldBreakTheFraming) {
  socket_pair sp;
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), "GI|RN1\x03|GNX|"), -1);
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), "GI|RN1\x02|"), -1);
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), nullptr), -1);
  EXPECT_EQ(queued(sp.pms.get()), 0);
}

TEST_F(FiasLink, SendToAClosedPeerFailsWithoutRaisingSigpipe) {
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);  // the default action would end this test process
  socket_pair sp;
  sp.pms.reset();
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), "LA|DA091231|TI120000|"), -1);
  EXPECT_EQ(fias_send_la(sp.daemon.get()), -1);
  sigaction(SIGPIPE, &old, nullptr);
}

// The worker and the poller send on the link from their threads at once.
TEST_F(FiasLink, ConcurrentSendersNeverInterleaveFrames) {
  socket_pair sp;
  // A small send buffer makes the kernel take large frames in pieces, between which another
  // thread's send could slip in.
  int small = 4096;
  setsockopt(sp.daemon.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  pms_link link;
  link.adopt(std::move(sp.daemon));
  std::string stream;
  std::thread pms([&] {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(sp.pms.get(), buf, sizeof buf)) > 0) stream.append(buf, static_cast<size_t>(n));
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

  testlink::split_stream split = testlink::split_frames(stream);
  EXPECT_EQ(split.stray, 0u) << "bytes outside a frame";
  EXPECT_EQ(split.rest, "");
  std::vector<std::string> got = split.records;
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
  waiting_reader main_loop(sp.daemon.get());
  ASSERT_TRUE(wait_until([&] { return main_loop.blocked(); }));
  const std::string text = "PS|P#0001|DD" + std::string(10000, '7') + "|";

  filled_link fill = send_until_a_frame_fails(sp.daemon.get(), text, 200);
  ASSERT_EQ(fill.last_result, -1) << "the buffers never filled";
  EXPECT_GT(fill.frames_sent, 0);
  EXPECT_GE(fill.last_send, 190ms);
  EXPECT_LT(fill.last_send, 3s);

  // The main loop's read learns of it, the descriptor stays for the main loop to close, and
  // further frames fail at once instead of waiting out the limit again.
  bool woken = wait_until([&] { return main_loop.done.load(); });
  if (!woken) write_bytes(sp.pms.get(), "X");
  main_loop.thread.join();
  EXPECT_TRUE(woken);
  EXPECT_TRUE(main_loop.eof);
  EXPECT_NE(fcntl(sp.daemon.get(), F_GETFD), -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fias_send_raw_packet(sp.daemon.get(), "LA|DA091231|TI120000|", 200), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);

  // What the PMS finds when it reads at last: the frames that were sent, whole, then at most the
  // beginning of the one that failed, then the end of the stream.
  std::string stream;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(sp.pms.get(), buf, sizeof buf)) > 0) stream.append(buf, static_cast<size_t>(n));
  testlink::split_stream split = testlink::split_frames(stream);
  EXPECT_EQ(split.records, std::vector<std::string>(static_cast<size_t>(fill.frames_sent), text));
  EXPECT_EQ(split.stray, 0u);
  const std::string frame = '\x02' + text + '\x03';
  EXPECT_LT(split.rest.size(), frame.size());
  EXPECT_EQ(frame.compare(0, split.rest.size(), split.rest), 0) << "not the start of the frame";
}

TEST_F(SendTimeLimit, PmsThatReadsLateWithinTheLimitGetsTheWholeFrame) {
  socket_pair sp;
  const std::string text = "PS|P#0002|DD" + std::string(1 << 20, '8') + "|";
  std::atomic<pid_t> sender_tid{0};
  int result = 0;
  std::thread sender([&] {
    sender_tid = gettid();
    result = fias_send_raw_packet(sp.daemon.get(), text.c_str(), 5000);
  });
  // The PMS starts reading only once the sender waits for room.
  EXPECT_TRUE(wait_until([&] { return sender_tid != 0 && thread_sleeping(sender_tid); }));
  std::string stream;
  char buf[65536];
  while (stream.size() < text.size() + 2) {
    ssize_t n = ::read(sp.pms.get(), buf, sizeof buf);
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
  unique_fd sock = fias_connect("localhost", pms.port());
  ASSERT_TRUE(sock);
  ASSERT_TRUE(pms.accept());
  auto ls = pms.wait_for_record("LS");
  ASSERT_TRUE(ls.has_value());
  EXPECT_TRUE(is_stamped(*ls, "LS")) << *ls;
  EXPECT_EQ(ls->size() + 2, 23u);
  EXPECT_TRUE(ls->substr(5, 6) == day_before || ls->substr(5, 6) == today("%y%m%d")) << *ls;
  EXPECT_EQ(pms.stray_bytes(), 0u);

  sock.reset();
  EXPECT_TRUE(pms.wait_closed());
}

TEST_F(FiasLink, ConnectToAPortNobodyListensOnFails) {
  uint16_t port;
  {
    pms_peer gone;
    port = gone.port();
  }
  EXPECT_FALSE(fias_connect("127.0.0.1", port));
  EXPECT_FALSE(fias_connect(nullptr, port));
  pms_link link;
  EXPECT_EQ(link.connect("127.0.0.1", port), -1);
  EXPECT_FALSE(link.is_open());
}

TEST_F(FiasLink, LinkStartAnswerIsDescriptionNineLinkRecordsAndLinkActive) {
  struct {
    const char* iftype;
    const char* if_field;
  } cases[] = {{"PBX", "IFPB"}, {"P", "IFP"}, {"", "IF"}, {nullptr, "IF"}};
  for (const auto& c : cases) {
    pms_peer pms;
    pms_link link;
    ASSERT_EQ(link.connect("127.0.0.1", pms.port()), 0);
    ASSERT_TRUE(pms.accept());
    ASSERT_TRUE(pms.wait_for_record("LS").has_value());
    EXPECT_EQ(link.answer_link_start(link.id(), c.iftype), 0);
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
  }
}

TEST_F(FiasLink, FailedLinkStartAnswerShutsTheLinkDownButLeavesTheDescriptorOpen) {
  socket_pair sp;
  waiting_reader main_loop(sp.daemon.get());
  ASSERT_TRUE(wait_until([&] { return main_loop.blocked(); }));
  ::shutdown(sp.pms.get(), SHUT_RD);  // the PMS takes nothing more: every send fails

  EXPECT_EQ(fias_init_connection(sp.daemon.get(), "PB"), -1);
  bool woken = wait_until([&] { return main_loop.done.load(); });
  if (!woken) write_bytes(sp.pms.get(), "X");  // release the reader so the test can end
  main_loop.thread.join();
  EXPECT_TRUE(woken) << "the blocked read must learn of the lost link";
  EXPECT_TRUE(main_loop.eof);
  EXPECT_NE(fcntl(sp.daemon.get(), F_GETFD), -1) << "closing is left to the main loop";
}

// ---- The daemon's link object ----

// The link start-up answer and the activation belong to the connection that asked for them: once
// the link has been rebuilt, a late worker must not send eleven link records into the new one.
TEST_F(FiasLink, LinkStartAnswerAndActivationApplyOnlyToTheConnectionThatAskedForThem) {
  socket_pair first, second;
  pms_link link;
  link.adopt(std::move(first.daemon));
  const uint64_t old_id = link.id();
  link.adopt(std::move(second.daemon));
  EXPECT_NE(link.id(), old_id);
  EXPECT_EQ(link.answer_link_start(old_id, "PB"), -1);
  link.set_active(old_id);
  EXPECT_FALSE(link.active());
  EXPECT_TRUE(frames_waiting(second.pms.get()).records.empty());

  EXPECT_EQ(link.answer_link_start(link.id(), "PB"), 0);
  EXPECT_EQ(frames_waiting(second.pms.get()).records.size(), 11u);
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
  link.adopt(std::move(sp.daemon));
  write_bytes(sp.pms.get(), "\x02GI|RN101|GNHa");
  ASSERT_TRUE(wait_until([&] { return link.receive() == 1; }));
  std::string text;
  uint64_t id = 0;
  EXPECT_EQ(link.next_record(text, id), 0);
  EXPECT_EQ(link.check_time_limits(), 0);
  EXPECT_TRUE(wait_until([&] { return link.check_time_limits() < 0; }, 2s));

  socket_pair quiet;  // a fresh connection starts with nothing half read
  link.adopt(std::move(quiet.daemon));
  EXPECT_TRUE(wait_until([&] {
    return link.check_time_limits() == 0 && !frames_waiting(quiet.pms.get()).records.empty();
  }, 2s)) << "a link active goes out after the heartbeat";
  EXPECT_TRUE(wait_until([&] { return link.check_time_limits() < 0; }, 2s))
      << "no answer: the link must go";
}

// While the worker's queue is full the main loop does not read; a burst waiting behind it must
// not run out the record limit of its last record, nor the heartbeat.
TEST_F(FiasLink, TimeLimitsCountOnlyWhileTheMainLoopReads) {
  link_timing timing;
  timing.record_limit = 100ms;
  timing.heartbeat = 100ms;
  struct {
    const char* what;
    std::string sent;
    bool paused;
    int rc;          // of the first check after 300 ms
    size_t heartbeats;  // link actives sent by then
  } cases[] = {
      {"a record cut, read all along", "\x02RE|RN101|\x03\x02RE|RN1", false, -1, 0},
      {"a record cut, reading paused", "\x02RE|RN101|\x03\x02RE|RN1", true, 0, 0},
      {"silence, read all along", "\x02RE|RN101|\x03", false, 0, 1},
      {"silence, reading paused", "\x02RE|RN101|\x03", true, 0, 0},
  };
  for (const auto& c : cases) {
    paired_link pl(timing);
    write_bytes(pl.pms.get(), c.sent);
    testing::internal::CaptureStdout();  // the traces of record starts
    const bool received = wait_until([&] { return pl.link.receive() == 1; });
    std::string text;
    uint64_t id = 0;
    const int first = pl.link.next_record(text, id);
    while (pl.link.next_record(text, id) != 0) {
    }
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(received) << c.what;
    EXPECT_EQ(first, 1) << c.what;
    if (c.paused) pl.link.pause_reading();
    // Three limits pass: here time passing is the condition.
    std::this_thread::sleep_for(300ms);
    pl.link.resume_reading();
    EXPECT_EQ(pl.link.check_time_limits(), c.rc) << c.what;
    EXPECT_EQ(frames_waiting(pl.pms.get()).records.size(), c.heartbeats) << c.what;
    if (!c.paused) continue;
    // Once reading again, the limits run as ever.
    const auto resumed = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_until([&] { return pl.link.check_time_limits() < 0; }, 2s)) << c.what;
    EXPECT_GE(std::chrono::steady_clock::now() - resumed, 90ms) << c.what;
  }
}

// ---- The link in the daemon ----

class LinkInDaemon : public testutil::DaemonTest {
 protected:
  void SetUp() override { testutil::sqlite_exec(pbx, testutil::kPbxSchema); }
  std::string guest_name() {
    return testutil::sqlite_rows(pbx, "select name from users").at(0).at(0);
  }
};

// A burst larger than the worker's queue: the main loop stops reading until there is room, and
// the last record, cut across two writes, waits with it instead of costing the link.
TEST_F(LinkInDaemon, BurstBeyondTheQueueIsAppliedWholeWithoutDroppingTheLink) {
  pms_peer pms;
  pms_keys = "pacing = 50\n";
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  daemon_timing timing = testutil::quick_timing();
  timing.queue_capacity = 4;
  timing.link.record_limit = 200ms;  // the burst takes 600 ms to apply
  start_in_process(timing);
  link_up(pms);
  std::string burst;
  for (int i = 0; i < 12; ++i) burst += "\x02GI|RN101|GNGuest" + std::to_string(i) + "|\x03";
  ASSERT_TRUE(pms.send_bytes(burst + "\x02GI|RN101|GNLa"));
  // The rest of the last record once the daemon has read the burst, so that it has to wait.
  ASSERT_TRUE(logged("Received Guest checkin packet", 5s)) << diagnostics();
  ASSERT_TRUE(pms.send_bytes("st|\x03"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "Last"; }, 10s)) << diagnostics();
  EXPECT_EQ(testutil::count_occurrences(testutil::read_file(log), "Received Guest checkin packet"),
            13);
  EXPECT_FALSE(has_logged("unfinished")) << diagnostics();
  EXPECT_FALSE(has_logged("Connection to PMS lost")) << diagnostics();
}

// A check-in holding a NUL byte is refused whole: the guest's name is not cut at the NUL.
TEST_F(LinkInDaemon, RecordHoldingANulByteIsRefusedWhole) {
  pms_peer pms;
  write_conf(pms.port(), sqlite_section() + testutil::typical_services("pbx"));
  start_in_process();
  link_up(pms);
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAnn\0Lee|GLEA|"s));
  ASSERT_TRUE(pms.send_record("GI|RN101|GNAfter|"));
  EXPECT_TRUE(wait_until([&] { return guest_name() == "After"; }, 10s)) << diagnostics();
  EXPECT_EQ(testutil::count_occurrences(testutil::read_file(log), "Received Guest checkin packet"),
            1);
  EXPECT_TRUE(has_logged("Discarding a PMS record with a NUL byte at position 14: "
                         "GI|RN101|GNAnn\\x00Lee|GLEA|"))
      << diagnostics();
  EXPECT_FALSE(has_logged("Connection to PMS lost")) << diagnostics();
}

}  // namespace
