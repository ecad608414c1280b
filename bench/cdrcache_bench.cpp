// The manager read path from a loopback socket: Cdr events of guest rooms cached in the internal
// store, each committed before the next event is read; and the cache insert on its own.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cdrmanager.h"
#include "journal.h"
#include "logger.h"
#include "sqlite.h"
#include "store.h"

namespace {

std::string cdr_event(int n) {
  std::string room = std::to_string(100 + n % 100);
  return "Event: Cdr\r\nPrivilege: cdr,all\r\nAccountCode: \r\nSource: " + room +
         "\r\nDestination: 0049301234" + std::to_string(n) +
         "\r\nDestinationContext: from-rooms\r\nCallerID: \"Room " + room + "\" <" + room +
         ">\r\nChannel: SIP/" + room + "-0000\r\nDestinationChannel: SIP/trunk-0001\r\n"
         "LastApplication: Dial\r\nLastData: SIP/trunk/0049301234,60\r\n"
         "StartTime: 2024-03-05 14:07:" + std::to_string(10 + n % 50) +
         "\r\nAnswerTime: 2024-03-05 14:07:15\r\nEndTime: 2024-03-05 14:09:15\r\n"
         "Duration: 126\r\nBillableSeconds: 120\r\nDisposition: ANSWERED\r\n"
         "AMAFlags: DOCUMENTATION\r\nUniqueID: 1709647629." + std::to_string(n) +
         "\r\nUserField: \r\n\r\n";
}

struct cache_world {
  std::string dir;
  cache_world() {
    char pattern[] = "/tmp/velmorant-bench-XXXXXX";
    dir = mkdtemp(pattern);
    logger_init(nullptr, 3, 0, 0);
    store.open(dir + "/states.db");
    for (int room = 100; room < 200; ++room) store.register_room(std::to_string(room));
  }
  internal_store store;
  ~cache_world() { std::filesystem::remove_all(dir); }
};

void BM_CacheCdrEvents(benchmark::State& state) {
  static cache_world world;
  constexpr int kBatch = 200;
  std::string stream;
  for (int i = 0; i < kBatch; ++i) stream += cdr_event(i);
  for (auto _ : state) {
    state.PauseTiming();
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    manager_feed feed(manager_config{}, world.store, world.store.journal());
    feed.adopt_session(unique_fd(sv[0]));
    feed.session().connected = 1;
    feed.rooms().refresh(world.store);
    std::thread feeder([fd = sv[1], &stream] {
      size_t done = 0;
      while (done < stream.size()) {
        ssize_t n = write(fd, stream.data() + done, stream.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
    state.ResumeTiming();
    for (int i = 0; i < kBatch; ++i) feed.step(std::chrono::seconds(5));
    state.PauseTiming();
    feeder.join();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The cache insert alone, as the feed's hot path runs it for one Cdr event: the call's values
// taken from the message and written by the journal's prepared statement. The disk wait is left
// out (synchronous off on a store of its own), so the figure is the statement's own cost.
void BM_CacheInsert(benchmark::State& state) {
  static cache_world world;
  static const bool quick = [] {
    std::lock_guard guard(world.store);
    return world.store.exec("PRAGMA synchronous=OFF") == 0;
  }();
  if (!quick) state.SkipWithError("synchronous cannot be set");
  message m;
  std::string event = cdr_event(1);
  for (size_t at = 0, end; (end = event.find("\r\n", at)) != at; at = end + 2)
    m.headers[static_cast<size_t>(m.hdrcount++)] = event.substr(at, end - at);
  room_list rooms;
  rooms.refresh(world.store);
  for (auto _ : state) {
    std::optional<held_call> call = mgr_cdr_call(m, rooms, world.store, false);
    if (!call || world.store.journal().cache_call(call->values) != 0)
      state.SkipWithError("the call was not cached");
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CacheInsert)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CacheCdrEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
