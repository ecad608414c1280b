// A PMS simulator: a FIAS server that takes the daemon's link start-up and plays a script of records.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fdutils.h"
#include "fias.h"
#include "logger.h"
#include "pmslink.h"

namespace {

using clock_type = std::chrono::steady_clock;

const char* const kUsage =
    "Usage: pmssim [options]\n"
    "\n"
    "A PMS simulator for trying the velmorant daemon without a hotel system. It listens for the\n"
    "daemon's FIAS connection, answers its link start (LS) with an LS, takes the link description\n"
    "(LD), the link records (LR) and the daemon's link active (LA), sends its own LA, and then sends\n"
    "the records of a script. Every record received is printed as \"HH:MM:SS < TEXT\" and every\n"
    "record sent as \"HH:MM:SS > TEXT\"; events are printed as \"HH:MM:SS * WHAT\". The first line\n"
    "printed is \"listening on ADDRESS:PORT\". Standard output is flushed line by line.\n"
    "\n"
    "Options:\n"
    "  -p, --port N            TCP port to listen on (default 5010; 0 picks a free port, which\n"
    "                          the first line tells)\n"
    "  -b, --bind ADDR         IPv4 address to listen on (default 127.0.0.1)\n"
    "  -s, --script FILE       script to play; \"-\" or no option reads standard input\n"
    "  -a, --answer-postings   answer every posting (PS) with a post answer (PA) carrying AS \"OK\"\n"
    "                          and the posting's RN, P#, DA and TI\n"
    "  -l, --linger SECONDS    after the script has ended, run this long more (to see postings)\n"
    "                          and exit; without it, run until the daemon disconnects\n"
    "  -d, --swap ROOMS        play a database swap of ROOMS rooms (0 to 99999) when the link\n"
    "                          first becomes active, before the script, and again for every\n"
    "                          database resync request (DR) of the daemon: DS, then for rooms\n"
    "                          1 to ROOMS \"GI|RNn|GNGuest n|GLEA|GSN|G#m|SF|\", m = 100000 + n,\n"
    "                          then DE, as fast as the connection takes them; without it a DR\n"
    "                          is answered with DS and DE alone\n"
    "  -h, --help              show this text\n"
    "\n"
    "Script: one line per step, played once the link is active, across reconnections.\n"
    "  GI|RN101|GNGuest|GLEA|GSN|   a record text, sent as written between STX and ETX\n"
    "  sleep 2.5                    pause that many seconds\n"
    "  # a comment                  ignored, as are empty lines\n"
    "A line that is not a record known to FIAS here (LS LA LD LR LE DR DS DE GI GO GC RE WC WR WA\n"
    "PA PS, followed by \"|\") is reported on standard error with its line number and skipped.\n"
    "Script records are held back while a database swap is being sent.\n"
    "\n"
    "The daemon may disconnect and reconnect at any time: the simulator waits for it again and goes\n"
    "on with the script. SIGINT or SIGTERM ends the simulator.\n";

// Written by the signal handler; wakes the poll loop.
int signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  char c = 1;
  ssize_t ignored = ::write(signal_pipe[1], &c, 1);
  (void)ignored;
}

std::string clock_text() {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

// One line of the transcript: '<' received, '>' sent, '*' an event.
void print_line(char mark, std::string_view text) {
  std::printf("%s %c %.*s\n", clock_text().c_str(), mark, static_cast<int>(text.size()),
              text.data());
}

// A record of date and time fields only (LS, LA, DS, DE) for the current local time, built with the
// codec.
std::string stamped_record(int code) {
  fias_packet_ptr p = fias_create_packet(code);
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  fias_set_field_date(p.get(), "DA", fias_date_from_tm(tm));
  fias_set_field_time(p.get(), "TI", fias_time_from_tm(tm));
  return fias_packet_to_str(p.get());
}

std::string trim(std::string_view s) {
  const char* blank = " \t\r\n";
  size_t first = s.find_first_not_of(blank);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(blank);
  return std::string(s.substr(first, last - first + 1));
}

// A record the codec knows: a known id followed by a bar (or nothing), and no framing bytes.
bool is_known_record(const std::string& text) {
  if (text.find_first_of("\x02\x03") != std::string::npos) return false;
  if (text.size() > 2 && text[2] != '|') return false;
  return fias_parse_packet(text.c_str(), static_cast<int>(text.size())) != nullptr;
}

// Reads the script a line at a time without blocking the loop: standard input may be a person.
class script_reader {
 public:
  explicit script_reader(unique_fd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  int line_number() const { return line_no_; }
  bool at_end() const { return eof_ && buffer_.empty(); }

  // The next whole line already read, if any (the last line needs no newline).
  std::optional<std::string> next_line() {
    size_t nl = buffer_.find('\n');
    if (nl == std::string::npos && !(eof_ && !buffer_.empty())) return std::nullopt;
    if (nl == std::string::npos) nl = buffer_.size();
    std::string line = buffer_.substr(0, nl);
    buffer_.erase(0, nl < buffer_.size() ? nl + 1 : nl);
    ++line_no_;
    return line;
  }

  // Reads what is available; call when poll reports the descriptor readable.
  void fill() {
    char buf[4096];
    ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
      if (n < 0) std::fprintf(stderr, "pmssim: reading the script failed: %s\n", strerror(errno));
      eof_ = true;
      return;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }

 private:
  unique_fd fd_;
  std::string buffer_;
  bool eof_ = false;
  int line_no_ = 0;
};

struct options {
  std::string bind = "127.0.0.1";
  int port = 5010;
  std::string script = "-";
  bool answer_postings = false;
  std::optional<double> linger;
  std::optional<int> swap_rooms;
};

// The records of a database swap of `rooms` rooms: DS, a swapped check-in per room, DE.
std::deque<std::string> swap_records(int rooms) {
  std::deque<std::string> records{stamped_record(FIAS_DS)};
  fias_packet_ptr gi = fias_create_packet(FIAS_GI);
  fias_set_field_str(gi.get(), "GL", "EA");
  fias_set_field_bool(gi.get(), "GS", false);
  fias_set_field_str(gi.get(), "SF", "");
  for (int room = 1; room <= rooms; ++room) {
    fias_set_field_str(gi.get(), "RN", std::to_string(room));
    fias_set_field_str(gi.get(), "GN", "Guest " + std::to_string(room));
    fias_set_field_str(gi.get(), "G#", std::to_string(100000 + room));
    records.push_back(fias_packet_to_str(gi.get()));
  }
  records.push_back(stamped_record(FIAS_DE));
  return records;
}

class simulator {
 public:
  simulator(options opts, unique_fd listener, script_reader script)
      : opts_(std::move(opts)), listener_(std::move(listener)), script_(std::move(script)) {}

  // Serves daemons until the script is done and the daemon has gone (or lingering is over), or
  // until a stop signal. The exit status.
  int run();

 private:
  void accept_daemon();
  void drop_daemon(const char* why);
  void read_from_daemon();
  void handle_record(const std::string& text);
  void answer_posting(fias_packet_t* ps);
  void start_swap(bool asked);
  void send_swap_records();
  void advance_script();
  bool send(const std::string& text);
  int poll_timeout_ms() const;

  options opts_;
  unique_fd listener_;
  script_reader script_;

  unique_fd daemon_;
  std::string frame_;  // record text being received
  bool in_frame_ = false;
  bool link_active_ = false;

  std::optional<std::string> pending_;  // a script record not sent yet (the link went down)
  std::deque<std::string> swap_;  // the records of a database swap still to be sent
  bool swap_played_ = false;      // the swap of --swap has been started once
  std::optional<clock_type::time_point> sleep_until_;
  std::optional<clock_type::time_point> script_ended_;
  bool stop_ = false;
  bool finished_ = false;
};

int simulator::run() {
  while (!stop_ && !finished_) {
    advance_script();
    if (finished_) break;

    std::vector<pollfd> fds{{signal_pipe[0], POLLIN, 0}};
    const bool swapping = daemon_ && link_active_ && !swap_.empty();
    fds.push_back({daemon_ ? daemon_.get() : listener_.get(),
                   static_cast<short>(POLLIN | (swapping ? POLLOUT : 0)), 0});
    bool wants_script =
        link_active_ && swap_.empty() && !pending_ && !sleep_until_ && !script_.at_end();
    if (wants_script) fds.push_back({script_.fd(), POLLIN, 0});

    int n = ::poll(fds.data(), fds.size(), poll_timeout_ms());
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "pmssim: poll failed: %s\n", strerror(errno));
      return 1;
    }
    if (n <= 0) continue;
    if (fds[0].revents) stop_ = true;
    if (fds[1].revents & ~POLLOUT) {
      if (daemon_)
        read_from_daemon();
      else
        accept_daemon();
    }
    if (swapping && daemon_ && (fds[1].revents & POLLOUT)) send_swap_records();
    if (wants_script && fds[2].revents) script_.fill();
  }
  if (stop_) print_line('*', "stopped by signal");
  return 0;
}

int simulator::poll_timeout_ms() const {
  std::optional<clock_type::time_point> wake = sleep_until_;
  if (script_ended_ && opts_.linger) {
    auto end = *script_ended_ + std::chrono::duration_cast<clock_type::duration>(
                                    std::chrono::duration<double>(*opts_.linger));
    if (!wake || end < wake) wake = end;
  }
  if (!wake) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - clock_type::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void simulator::accept_daemon() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  daemon_ = unique_fd(fd);
  frame_.clear();
  in_frame_ = false;
  link_active_ = false;
  char addr[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
  print_line('*', "connection from " + std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port)));
}

void simulator::drop_daemon(const char* why) {
  daemon_.reset();
  link_active_ = false;
  print_line('*', why);
  if (!swap_.empty()) {
    print_line('*', "database swap cut short: " + std::to_string(swap_.size()) +
                        " record(s) not sent");
    swap_.clear();
  }
  // Without lingering, a daemon leaving after the script is the end of the session.
  if (script_ended_ && !opts_.linger) finished_ = true;
}

void simulator::read_from_daemon() {
  char buf[4096];
  ssize_t n = ::recv(daemon_.get(), buf, sizeof buf, 0);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    drop_daemon("connection closed");
    return;
  }
  size_t stray = 0;
  for (ssize_t i = 0; i < n; ++i) {
    char c = buf[i];
    if (c == FIAS_STX) {
      if (in_frame_) stray += frame_.size() + 1;
      frame_.clear();
      in_frame_ = true;
    } else if (c == FIAS_ETX && in_frame_) {
      in_frame_ = false;
      handle_record(frame_);
      if (!daemon_) return;
    } else if (in_frame_) {
      frame_ += c;
    } else {
      ++stray;
    }
  }
  if (stray) print_line('*', std::to_string(stray) + " byte(s) outside a STX...ETX frame ignored");
}

void simulator::handle_record(const std::string& text) {
  print_line('<', text);
  fias_packet_ptr p = fias_parse_packet(text.c_str(), static_cast<int>(text.size()));
  if (!p) {
    print_line('*', "record not known to FIAS here; ignored");
    return;
  }
  switch (p->packet_code) {
    case FIAS_LS:
      // A link start (again) restarts the start-up: no script records until the next LA.
      link_active_ = false;
      send(stamped_record(FIAS_LS));
      break;
    case FIAS_LA:
      if (!link_active_ && send(stamped_record(FIAS_LA))) {
        link_active_ = true;
        print_line('*', "link active");
        if (opts_.swap_rooms && !swap_played_) {
          swap_played_ = true;
          start_swap(false);
        }
      }
      break;
    case FIAS_DR:
      if (swap_.empty())
        start_swap(true);
      else
        print_line('*', "database swap asked for while one is being sent; ignored");
      break;
    case FIAS_PS:
      if (opts_.answer_postings) answer_posting(p.get());
      break;
    default:
      break;
  }
}

void simulator::answer_posting(fias_packet_t* ps) {
  fias_packet_ptr pa = fias_create_packet(FIAS_PA);
  fias_set_field_str(pa.get(), "AS", "OK");
  for (const char* name : {"RN", "P#", "DA", "TI"})
    if (fias_field_t* f = fias_get_field(ps, name)) fias_set_packet_field(pa.get(), name, *f->value);
  send(fias_packet_to_str(pa.get()));
}

// Queues a database swap; the poll loop sends it as the connection takes it, reading meanwhile.
void simulator::start_swap(bool asked) {
  const int rooms = opts_.swap_rooms.value_or(0);
  swap_ = swap_records(rooms);
  print_line('*', "database swap of " + std::to_string(rooms) + " room(s)" +
                      (asked ? ", asked for by DR" : ""));
}

// Sends swap records while the connection takes them without waiting, a bounded batch per turn
// of the loop so that the daemon's records are read in between.
void simulator::send_swap_records() {
  constexpr int kBatch = 64;
  for (int i = 0; i < kBatch && !swap_.empty() && link_active_; ++i) {
    if (!send(swap_.front())) return;
    swap_.pop_front();
    if (swap_.empty()) print_line('*', "database swap sent");
  }
}

bool simulator::send(const std::string& text) {
  if (!daemon_) return false;
  if (fias_send_raw_packet(daemon_.get(), text.c_str()) < 0) {
    drop_daemon("sending failed; connection dropped");
    return false;
  }
  print_line('>', text);
  return true;
}

void simulator::advance_script() {
  if (sleep_until_ && clock_type::now() >= *sleep_until_) sleep_until_.reset();
  if (script_ended_ && opts_.linger &&
      clock_type::now() - *script_ended_ >= std::chrono::duration<double>(*opts_.linger))
    finished_ = true;

  while (link_active_ && swap_.empty() && !sleep_until_ && !script_ended_) {
    if (pending_) {
      if (!send(*pending_)) return;
      pending_.reset();
      continue;
    }
    std::optional<std::string> raw = script_.next_line();
    if (!raw) {
      if (script_.at_end()) {
        script_ended_ = clock_type::now();
        print_line('*', "script finished");
        if (opts_.linger && *opts_.linger <= 0) finished_ = true;
      }
      return;
    }
    std::string line = trim(*raw);
    if (line.empty() || line[0] == '#') continue;

    if (line.starts_with("sleep")) {
      std::string arg = trim(std::string_view(line).substr(5));
      char* end = nullptr;
      double seconds = std::strtod(arg.c_str(), &end);
      if (arg.empty() || *end != '\0' || !(seconds >= 0)) {
        std::fprintf(stderr, "pmssim: script line %d \"%s\": sleep needs a number of seconds; "
                     "skipped\n", script_.line_number(), line.c_str());
        continue;
      }
      sleep_until_ = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                             std::chrono::duration<double>(seconds));
      return;
    }
    if (!is_known_record(line)) {
      std::fprintf(stderr,
                   "pmssim: script line %d \"%s\": not a FIAS record known here (ids LS LA LD LR "
                   "LE DR DS DE GI GO GC RE WC WR WA PA PS, then \"|\"); skipped\n",
                   script_.line_number(), line.c_str());
      continue;
    }
    pending_ = line;
  }
}

// Listening socket on ADDR:PORT, or an empty descriptor after a message.
unique_fd listen_on(const std::string& address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "pmssim: %s is not an IPv4 address\n", address.c_str());
    return {};
  }
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t len = sizeof addr;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 4) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fprintf(stderr, "pmssim: cannot listen on %s:%d: %s\n", address.c_str(), port,
                 strerror(errno));
    return {};
  }
  std::printf("listening on %s:%u\n", address.c_str(), ntohs(addr.sin_port));
  return fd;
}

// Parses the command line; exits on --help (0) and on errors (2).
options parse_options(int argc, char** argv) {
  const option long_options[] = {
      {"port", required_argument, nullptr, 'p'},   {"bind", required_argument, nullptr, 'b'},
      {"script", required_argument, nullptr, 's'}, {"answer-postings", no_argument, nullptr, 'a'},
      {"linger", required_argument, nullptr, 'l'}, {"swap", required_argument, nullptr, 'd'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  options opts;
  int c;
  while ((c = getopt_long(argc, argv, "p:b:s:al:d:h", long_options, nullptr)) != -1) {
    char* end = nullptr;
    switch (c) {
      case 'p': {
        long port = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || port < 0 || port > 65535) {
          std::fprintf(stderr, "pmssim: --port needs a number from 0 to 65535\n");
          std::exit(2);
        }
        opts.port = static_cast<int>(port);
        break;
      }
      case 'b':
        opts.bind = optarg;
        break;
      case 's':
        opts.script = optarg;
        break;
      case 'a':
        opts.answer_postings = true;
        break;
      case 'l': {
        double seconds = std::strtod(optarg, &end);
        if (*optarg == '\0' || *end != '\0' || !(seconds >= 0)) {
          std::fprintf(stderr, "pmssim: --linger needs a number of seconds\n");
          std::exit(2);
        }
        opts.linger = seconds;
        break;
      }
      case 'd': {
        long rooms = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || rooms < 0 || rooms > 99999) {
          std::fprintf(stderr, "pmssim: --swap needs a number of rooms from 0 to 99999\n");
          std::exit(2);
        }
        opts.swap_rooms = static_cast<int>(rooms);
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      default:
        std::fputs(kUsage, stderr);
        std::exit(2);
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "pmssim: unexpected argument %s\n", argv[optind]);
    std::exit(2);
  }
  return opts;
}

}  // namespace

int main(int argc, char** argv) {
  options opts = parse_options(argc, argv);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // readers of a pipe see each line at once
  logger_init(nullptr, 1, 0, 0);         // only the FIAS module's errors, on standard error

  unique_fd script_fd(opts.script == "-" ? ::dup(STDIN_FILENO)
                                         : ::open(opts.script.c_str(), O_RDONLY | O_CLOEXEC));
  if (!script_fd) {
    std::fprintf(stderr, "pmssim: cannot open script %s: %s\n", opts.script.c_str(),
                 strerror(errno));
    return 1;
  }

  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  unique_fd listener = listen_on(opts.bind, opts.port);
  if (!listener) return 1;
  simulator sim(std::move(opts), std::move(listener), script_reader(std::move(script_fd)));
  return sim.run();
}
