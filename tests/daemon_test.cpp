// Daemon support: pid file rules and locking, the abort handler; descriptor helpers; bounded
// name lookups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "daemon.h"
#include "fdutils.h"
#include "logger.h"
#include "resolve.h"
#include "sig.h"
#include "testutil.h"

// An allocator that aborts while it holds its own lock, once asked to: what a corrupted heap
// does to glibc's malloc. A handler that allocates then waits for that lock for ever.
namespace {
std::atomic<bool> abort_in_allocator{false};
std::mutex allocator_lock;
}  // namespace

void* operator new(std::size_t size) {
  std::lock_guard guard(allocator_lock);
  if (abort_in_allocator) std::abort();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replacement new takes its memory from malloc, so free is its delete; GCC cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using testutil::read_file;
using testutil::write_file;

namespace {

TEST(PidFile, PathDependsOnUserAndAbsoluteNamesStandAsGiven) {
  std::string path;
  ASSERT_EQ(daemon_construct_pidfile("velmorant", path), 0);
  EXPECT_EQ(path, getuid() == 0 ? "/var/run/velmorant.pid" : "/tmp/velmorant.pid");
  ASSERT_EQ(daemon_construct_pidfile("/srv/run/v.pid", path), 0);
  EXPECT_EQ(path, "/srv/run/v.pid");
  errno = 0;
  EXPECT_EQ(daemon_construct_pidfile(std::string(100000, 'a').c_str(), path), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(PidFile, WrittenLockedAndRemovedByClose) {
  testutil::temp_dir dir;
  std::string path = dir.file("d.pid");
  ASSERT_EQ(daemon_pidfile(path.c_str()), 0);

  // Record locks belong to processes: another process must be refused while this one holds it.
  // (Checked before this process reads the file: closing any descriptor of a file drops the
  // process's record locks on it.)
  pid_t child = fork();
  if (child == 0) _exit(daemon_lock_pidfile(path.c_str()) < 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "second process got the lock";
  EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");

  EXPECT_EQ(daemon_close(), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "pid file still there";
  EXPECT_EQ(daemon_close(), 0) << "closing twice is harmless";
}

TEST(PidFile, StaleFileIsTakenOverAndCutToTheNewText) {
  testutil::temp_dir dir;
  std::string path = dir.file("stale.pid");
  write_file(path, "123456789012\n");
  ASSERT_EQ(daemon_pidfile(path.c_str()), 0);
  EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
  daemon_close();
}

TEST(PidFile, SymbolicLinkIsNotFollowed) {
  testutil::temp_dir dir;
  std::string victim = dir.file("victim");
  write_file(victim, "precious\n");
  std::string link = dir.file("link.pid");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_EQ(daemon_pidfile(link.c_str()), -1);
  EXPECT_EQ(read_file(victim), "precious\n");
}

// An abort inside the allocator: the process still ends by SIGABRT (a supervisor restarts it),
// its pid file removed and the abort said in the log.
TEST(AbortHandler, EndsTheProcessWithoutLockingOrAllocating) {
  testutil::temp_dir dir;
  const std::string path = dir.file("aborting.pid");
  const std::string log = dir.file("aborting.log");
  pid_t child = fork();
  if (child == 0) {
    logger_init(log.c_str(), 5, 0, 0);
    if (daemon_pidfile(path.c_str()) != 0) _exit(3);
    signal_set_handler(SIGABRT, 0, daemon_on_abort);
    abort_in_allocator = true;
    void* volatile never = ::operator new(16);
    _exit(never ? 4 : 5);
  }
  auto status = testutil::wait_pid(child, std::chrono::seconds(10));
  if (!status) {
    kill(child, SIGKILL);
    testutil::wait_pid(child, std::chrono::seconds(5));
  }
  ASSERT_TRUE(status) << "the aborting process hung";
  EXPECT_EQ(*status, 128 + SIGABRT);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "pid file left behind";
  EXPECT_EQ(read_file(log), "Caught signal 6. Exiting.\n");
}

TEST(Detach, ClosesInheritedDescriptorsKeepsTheProgramsOwnAndSetsUmask027) {
  testutil::temp_dir dir;
  std::string report = dir.file("report");
  std::string pid_path = dir.file("detached.pid");
  int inherited[2];
  ASSERT_EQ(pipe(inherited), 0);
  pid_t child = fork();
  if (child == 0) {
    daemon_note_inherited_fds();
    // Opened after start-up began, like a database connection made by the configuration load.
    int own = ::open("/dev/null", O_RDONLY);
    umask(0);
    if (daemon_init(pid_path.c_str()) != 0) _exit(3);
    // Here in the detached process: report which descriptors survived.
    std::string text = std::string(fcntl(own, F_GETFD) != -1 ? "own-open " : "own-closed ") +
                       (fcntl(inherited[1], F_GETFD) != -1 ? "inherited-open " : "inherited-closed ");
    char cwd[8] = "";
    text += getcwd(cwd, sizeof cwd) ? cwd : "?";
    mode_t mask = umask(0);
    text += " umask " + std::to_string(mask);
    write_file(report + ".tmp", text);
    rename((report + ".tmp").c_str(), report.c_str());
    _exit(0);
  }
  close(inherited[0]);
  close(inherited[1]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(testutil::wait_until([&] { return !read_file(report).empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(read_file(report), "own-open inherited-closed / umask " + std::to_string(027));
  struct stat st;
  ASSERT_EQ(stat(pid_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "other tools read the pid file";
}

TEST(FdUtils, FdprintfWritesAtMost4095Characters) {
  testutil::temp_dir dir;
  unique_fd fd(::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0644));
  fdprintf(fd.get(), "%s", std::string(5000, 'z').c_str());
  EXPECT_EQ(read_file(dir.file("out")).size(), 4095u);
}

// A lookup that answers only when the test lets it: a resolver that does not answer.
class held_lookup {
 public:
  lookup_fn fn() {
    return [this](const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
      std::unique_lock guard(lock_);
      released_.wait(guard, [this] { return free_; });
      return ::getaddrinfo(host, service, hints, found);
    };
  }
  void release() {
    {
      std::lock_guard guard(lock_);
      free_ = true;
    }
    released_.notify_all();
  }
  ~held_lookup() {
    release();
    testutil::wait_until([] { return resolve_pending() == 0; }, std::chrono::seconds(5));
  }

 private:
  std::mutex lock_;
  std::condition_variable released_;
  bool free_ = false;
};

std::string first_address(const addrinfo_list& list) {
  if (!list || list->ai_family != AF_INET) return "";
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr, text,
            sizeof text);
  return text;
}

TEST(Resolve, LookupAnswersWithinItsBoundOrIsAbandonedInTime) {
  using namespace std::chrono_literals;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo numeric_only = hints;
  numeric_only.ai_flags = AI_NUMERICHOST;
  addrinfo_list found;

  EXPECT_EQ(resolve_within("127.0.0.1", nullptr, hints, 2s, found), 0);
  EXPECT_EQ(first_address(found), "127.0.0.1");
  EXPECT_EQ(resolve_within("pms.example", "5010", numeric_only, 2s, found), EAI_NONAME)
      << "the lookup's own error";
  EXPECT_FALSE(found);

  held_lookup hung;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolve_within("127.0.0.1", nullptr, hints, 100ms, found, hung.fn()),
            RESOLVE_TIMED_OUT);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 1s);
  EXPECT_FALSE(found);
  EXPECT_EQ(resolve_pending(), 1) << "abandoned, still running";

  // Lookups that never answer do not pile up threads: past the bound a lookup fails at once.
  for (int i = 1; i < RESOLVE_MAX_PENDING; ++i)
    EXPECT_EQ(resolve_within("127.0.0.1", nullptr, hints, 1ms, found, hung.fn()),
              RESOLVE_TIMED_OUT);
  EXPECT_EQ(resolve_within("127.0.0.1", nullptr, hints, 2s, found), EAI_AGAIN);
  hung.release();
  EXPECT_TRUE(testutil::wait_until([] { return resolve_pending() == 0; }, 5s))
      << "an abandoned lookup ends once its resolver answers";
  EXPECT_EQ(resolve_within("127.0.0.1", nullptr, hints, 2s, found), 0);
}

}  // namespace
