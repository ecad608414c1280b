// Check-in on the manager driver: from the PMS record to Asterisk's answer to the last action.
//
// Each iteration parses a GI record and runs the check-in handler on the manager sample
// (etc/velmorant-ami.conf: four DBPut and one Setvar, each answered before the next goes) against
// the tests' manager on loopback, the internal store on a temporary file. Reports the median and
// the 99th percentile over 1000 check-ins, spread over 20 rooms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ami_server.h"
#include "config.h"
#include "fias.h"
#include "handlers.h"
#include "logger.h"
#include "query.h"
#include "samples.h"
#include "sqlite_probe.h"
#include "store.h"
#include "quiet_stdout.h"
#include "testutil.h"

namespace {

void BM_AmiCheckin(benchmark::State& state) {
  logger_init(nullptr, 2, 0, 0);
  testami::ami_server server("velmorant", "bench");
  testutil::temp_dir dir;
  const std::string conf = dir.file("v.conf"), statesfile = dir.file("states.db");
  testutil::write_file(conf, testutil::ami_sample(server.port(), "velmorant", "bench", statesfile));
  std::shared_ptr<const Settings> settings = testutil::load_settings(conf);
  internal_store store;
  if (store.open(statesfile) != 0) {
    state.SkipWithError("no internal store");
    return;
  }
  std::vector<double> ms;
  ms.reserve(1000);
  {
    testutil::quiet_stdout quiet;
    int n = 0;
    for (auto _ : state) {
      const std::string record = "GI|RN" + std::to_string(101 + n % 20) + "|GNGuest " +
                                 std::to_string(n) + "|GLEA|";
      ++n;
      const auto start = std::chrono::steady_clock::now();
      auto p = fias_parse_packet(record.c_str(), static_cast<int>(record.size()));
      do_checkin(request_context{*settings, store, store.journal(), nullptr}, p.get());
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                            start)
                       .count());
    }
  }
  if (server.astdb().at("CIDNAME/101").rfind("Guest ", 0) != 0) state.SkipWithError("not applied");
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
  state.counters["max_ms"] = ms.back();
  state.counters["logins"] = server.logins();
}

BENCHMARK(BM_AmiCheckin)->Iterations(1000)->Unit(benchmark::kMillisecond);

// The manager's part alone: the check-in template filled and sent, without the record and the
// internal store, so the two shares of the time above can be told apart.
void BM_AmiCheckinActionsOnly(benchmark::State& state) {
  logger_init(nullptr, 2, 0, 0);
  testami::ami_server server("velmorant", "bench");
  testutil::temp_dir dir;
  const std::string conf = dir.file("v.conf");
  testutil::write_file(conf, testutil::ami_sample(server.port(), "velmorant", "bench",
                                                  dir.file("states.db")));
  std::shared_ptr<const Settings> settings = testutil::load_settings(conf);
  const service_value checkin = split_service_value(*settings->checkin);
  std::shared_ptr<dbdriver_t> drv = settings->driver(checkin.driver);
  const query_values values{.exten = "101", .name = "Guest"};
  std::vector<double> ms;
  ms.reserve(1000);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::lock_guard guard(*drv);
    if (drv->reconnect_if_needed() != 0 ||
        drv->query(prepare_query(*drv, checkin.sql, values, query_trace::off)) != 0) {
      state.SkipWithError("check-in failed");
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                          start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
  state.counters["max_ms"] = ms.back();
}

BENCHMARK(BM_AmiCheckinActionsOnly)->Iterations(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
