// One poll pass over N guest rooms against an SQLite PBX database of 100,000 call rows, 1% of
// them not yet posted: the time a pass takes, and how it grows with the number of rooms. And a
// pass over the call cache that the manager feed fills, with 10,000 calls in it: posting them
// all, posting a few new ones beside 10,000 that wait for their answers, and finding nothing new.
#include <benchmark/benchmark.h>
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
#include "journal.h"
#include "poller.h"
#include "quiet_stdout.h"
#include "store.h"
#include "stays.h"

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

// A temporary folder, the settings of a configuration written into it, the internal store and a
// PMS link whose far end is drained by a thread: what a poll pass needs.
struct poll_world {
  std::string dir;
  unique_fd pms_end;
  std::thread drain;
  settings_store settings;
  internal_store store;
  pms_link link;
  poller pol{settings, store, store.journal(), link, std::chrono::seconds(10)};

  poll_world() {
    char pattern[] = "/tmp/velmorant-bench-XXXXXX";
    dir = mkdtemp(pattern);
    logger_init(nullptr, 0, 0, 1);
  }
  ~poll_world() {
    if (drain.joinable()) {
      ::shutdown(link.fd(), SHUT_RDWR);
      drain.join();
    }
    std::filesystem::remove_all(dir);
  }
  // Loads `conf`, opens the store and brings the link up.
  void start(const std::string& conf) {
    std::ofstream(dir + "/v.conf") << conf;
    std::shared_ptr<const Settings> loaded;
    if (load_conf(dir + "/v.conf", loaded) != 0 || store.open(dir + "/states.db") != 0) {
      std::fprintf(stderr, "poller_bench: the configuration or the store did not open\n");
      std::exit(1);
    }
    settings.publish(loaded);
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
};

// The PBX database of services:billcalls.
struct pbx_world : poll_world {
  sqlite3* db = nullptr;

  pbx_world() {
    const std::string pbx = dir + "/pbx.db";
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
    start("[pbx]\ndbdriver = sqlite\ndatabase = " + pbx + "\n[services]\n"
          "billcalls = pbx:select substr(calldate,1,10), substr(calldate,12,8), dst, billsec, -1 "
          "from cdr where src='%exten%' and userfield=''\n"
          "billmark = pbx:update cdr set userfield='%seqno%' where src='%exten%' and "
          "calldate='%date% %time%' and userfield=''\n");
  }
  ~pbx_world() { sqlite3_close(db); }
  // Makes 1% of the call rows wait for posting again: one call of every room.
  void unpost_one_percent() { exec(db, "update cdr set userfield='' where rowid <= 1000"); }
};

pbx_world& world() {
  static pbx_world w;
  return w;
}

constexpr int kCacheRooms = 20;
constexpr int kCachedCalls = 10000;

// The call cache as the manager feed fills it, in the states file: calls of kCacheRooms rooms
// (101 to 120), each room's guest checked in a day before the first call, as in the soak run.
struct cache_world : poll_world {
  sqlite3* states = nullptr;  // a second connection, to fill the cache and reset it fast
  int calls = 0;

  cache_world() {
    start("[services]\ncdr_use_manager = 1\ncdr_mgr_host = 127.0.0.1\n"
          "cdr_mgr_user = velmorant\ncdr_mgr_password = bench\n");
    const std::time_t first_call = std::time(nullptr) - 3 * 3600;
    store.stays().set_clock([first_call] { return first_call - 86400; });
    for (int r = 1; r <= kCacheRooms; ++r) {
      store.register_room(std::to_string(100 + r));
      store.stays().open(std::to_string(100 + r), "", "Guest " + std::to_string(r), "EA");
    }
    sqlite3_open((dir + "/states.db").c_str(), &states);
    sqlite3_busy_timeout(states, 5000);
    add_calls(kCachedCalls, first_call);
  }
  ~cache_world() { sqlite3_close(states); }

  // Caches `n` more calls, spread over the rooms, started a second apart from `from` on.
  void add_calls(int n, std::time_t from) {
    exec(states, "begin");
    for (int i = 0; i < n; ++i, ++calls) {
      char start[32];
      std::time_t when = from + i;
      std::strftime(start, sizeof start, "%Y-%m-%d %H:%M:%S", std::localtime(&when));
      exec(states, "insert into cdrcache (src, dst, start, billsec, uniqueid) values ('" +
                       std::to_string(101 + calls % kCacheRooms) + "', '004930" +
                       std::to_string(calls) + "', '" + start + "', " + std::to_string(calls % 600) +
                       ", 'bench." + std::to_string(calls) + "')");
    }
    exec(states, "commit");
  }
  int64_t postings() {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(states, "select count(*) from postings", -1, &stmt, nullptr);
    int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  }
  // Every cached call waits for posting again, as before the first pass.
  void unpost_all() { exec(states, "delete from postings; update cdrcache set userfield=''"); }
};

cache_world& cache() {
  static cache_world w;
  return w;
}

room_list first_rooms(int64_t n) {
  room_list rooms;
  for (int i = 0; i < n; ++i) rooms.rooms.push_back(std::to_string(100 + i));
  return rooms;
}

// A pass that posts and marks one call of every room (1% of the rows).
void BM_PollPassPostingOnePercent(benchmark::State& state) {
  pbx_world& w = world();
  room_list rooms = first_rooms(state.range(0));
  testutil::quiet_stdout quiet;
  for (auto _ : state) {
    state.PauseTiming();
    w.unpost_one_percent();
    state.ResumeTiming();
    w.pol.pass(rooms);
  }
}

// A pass that finds nothing new: the cost of the poll queries alone.
void BM_PollPassNothingNew(benchmark::State& state) {
  pbx_world& w = world();
  room_list rooms = first_rooms(state.range(0));
  testutil::quiet_stdout quiet;
  for (auto _ : state) w.pol.pass(rooms);
}

// A pass that posts all 10,000 cached calls, each recorded in the journal before it is sent.
void BM_CachePassPostingTenThousand(benchmark::State& state) {
  cache_world& w = cache();
  room_list rooms;
  testutil::quiet_stdout quiet;
  for (auto _ : state) {
    state.PauseTiming();
    w.unpost_all();
    state.ResumeTiming();
    w.pol.pass(rooms);
  }
  state.counters["posted"] = static_cast<double>(w.postings());
}

// A pass that posts one new call of every room while 10,000 posted calls wait for their answers.
void BM_CachePassPostingTwentyBesideTenThousand(benchmark::State& state) {
  cache_world& w = cache();
  room_list rooms;
  testutil::quiet_stdout quiet;
  w.pol.pass(rooms);
  for (auto _ : state) {
    state.PauseTiming();
    w.add_calls(kCacheRooms, std::time(nullptr) - 60);
    state.ResumeTiming();
    w.pol.pass(rooms);
  }
}

// A pass over 10,000 posted calls that wait for their answers and nothing new: the poller's cost
// in a quiet minute.
void BM_CachePassNothingNew(benchmark::State& state) {
  cache_world& w = cache();
  room_list rooms;
  testutil::quiet_stdout quiet;
  w.pol.pass(rooms);
  for (auto _ : state) w.pol.pass(rooms);
}

}  // namespace

BENCHMARK(BM_PollPassPostingOnePercent)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PollPassNothingNew)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CachePassPostingTenThousand)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CachePassPostingTwentyBesideTenThousand)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CachePassNothingNew)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
