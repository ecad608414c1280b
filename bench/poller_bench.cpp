// One poll pass over N guest rooms against an SQLite PBX database of 100,000 call rows, 1% of
// them not yet posted: the time a pass takes, and how it grows with the number of rooms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config.h"
#include "fdutils.h"
#include "fias.h"
#include "logger.h"
#include "poller.h"
#include "store.h"

namespace {

constexpr int kCallRows = 100000;
constexpr int kMaxRooms = 1000;

void exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "%s\n", err ? err : "sqlite error");
    std::exit(1);
  }
}

// The PBX database, the internal store and a PMS link whose far end is drained by a thread.
struct bench_world {
  std::string dir;
  std::string pbx;
  sqlite3* db = nullptr;
  unique_fd pms_end;
  std::thread drain;
  settings_store settings;
  internal_store store;
  pms_link link;
  poller pol{settings, store, store.journal(), link, std::chrono::seconds(10)};

  bench_world() {
    char pattern[] = "/tmp/velmorant-bench-XXXXXX";
    dir = mkdtemp(pattern);
    pbx = dir + "/pbx.db";
    sqlite3_open(pbx.c_str(), &db);
    // A PBX call record table, indexed by source as a PBX's reporting queries need it.
    exec(db, "create table cdr (calldate text, src text, dst text, billsec int, userfield text);"
             "create index cdr_src on cdr (src, userfield);");
    exec(db, "begin");
    for (int i = 0; i < kCallRows; ++i) {
      int room = 100 + i % kMaxRooms;
      char when[32];
      std::snprintf(when, sizeof when, "2024-03-%02d %02d:%02d:%02d", 1 + i % 28, i % 24, i % 60, i / 60 % 60);
      exec(db, "insert into cdr values ('" + std::string(when) + "', '" + std::to_string(room) +
                   "', '004930" + std::to_string(i) + "', " + std::to_string(i % 600) + ", 'posted')");
    }
    exec(db, "commit");

    std::ofstream(dir + "/v.conf")
        << "[pbx]\ndbdriver = sqlite\ndatabase = " << pbx << "\n[services]\n"
        << "billcalls = pbx:select substr(calldate,1,10), substr(calldate,12,8), dst, billsec, -1 "
           "from cdr where src='%exten%' and userfield=''\n"
        << "billmark = pbx:update cdr set userfield='%seqno%' where src='%exten%' and "
           "calldate='%date% %time%' and userfield=''\n";
    logger_init(nullptr, 0, 0, 1);
    std::shared_ptr<const Settings> loaded;
    load_conf(dir + "/v.conf", loaded);
    settings.publish(loaded);
    store.open(dir + "/states.db");

    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    pms_end.reset(fds[1]);
    link.adopt(unique_fd(fds[0]));
    link.set_active(link.id());
    drain = std::thread([fd = pms_end.get()] {
      char buf[65536];
      while (read(fd, buf, sizeof buf) > 0) {
      }
    });
  }
  ~bench_world() {
    ::shutdown(link.fd(), SHUT_RDWR);
    drain.join();
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
  }
  // Makes 1% of the call rows wait for posting again: one call of every room.
  void unpost_one_percent() { exec(db, "update cdr set userfield='' where rowid <= 1000"); }
};

bench_world& world() {
  static bench_world w;
  return w;
}

// The poll's traces go to standard output; keep them out of the benchmark's report.
class quiet_stdout {
 public:
  quiet_stdout() : saved_(dup(1)) {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    ::close(null);
  }
  ~quiet_stdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

room_list first_rooms(int64_t n) {
  room_list rooms;
  for (int i = 0; i < n; ++i) rooms.rooms.push_back(std::to_string(100 + i));
  return rooms;
}

// A pass that posts and marks one call of every room (1% of the rows).
void BM_PollPassPostingOnePercent(benchmark::State& state) {
  bench_world& w = world();
  room_list rooms = first_rooms(state.range(0));
  quiet_stdout quiet;
  for (auto _ : state) {
    state.PauseTiming();
    w.unpost_one_percent();
    state.ResumeTiming();
    w.pol.pass(rooms);
  }
}

// A pass that finds nothing new: the cost of the poll queries alone.
void BM_PollPassNothingNew(benchmark::State& state) {
  bench_world& w = world();
  room_list rooms = first_rooms(state.range(0));
  quiet_stdout quiet;
  for (auto _ : state) w.pol.pass(rooms);
}

}  // namespace

BENCHMARK(BM_PollPassPostingOnePercent)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PollPassNothingNew)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
