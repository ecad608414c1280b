// Database swap of a 1000-room hotel: DS, 1000 GI with SF (a guest and a G# each), DE, sent by the
// PMS in one burst; the time from the first byte to the last PBX row right (every room's name in
// the PBX). The daemon runs in this process with the templates of etc/velmorant-sqlite.conf on an
// SQLite file, and of etc/velmorant-mysql.conf on the tests' MariaDB.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "daemon_fixture.h"
#include "logger.h"
#include "pms_peer.h"
#include "samples.h"
#include "quiet_stdout.h"
#include "testutil.h"
#include "velmorant.h"

namespace {

constexpr int kRooms = 1000;

// The sample `text` with the PMS at 127.0.0.1:`port`, the states file and log in `dir`, and no
// rooms of its own: the swap brings them.
std::string bench_conf(const std::string& text, uint16_t port, const testutil::temp_dir& dir) {
  std::istringstream in(text);
  std::string out, section;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("[")) {
      section = line;
      out += line + "\n";
      if (section == "[pms]")
        out += "host = 127.0.0.1\nport = " + std::to_string(port) + "\nstatesfile = " +
               dir.file("states.db") + "\n";
      if (section == "[logger]") out += "log_file = " + dir.file("log") + "\nlog_level = 3\n";
      continue;
    }
    const bool replaced = (section == "[pms]" && (line.starts_with("host") ||
                                                  line.starts_with("port") ||
                                                  line.starts_with("statesfile"))) ||
                          (section == "[logger]" && (line.starts_with("log_file") ||
                                                     line.starts_with("log_level"))) ||
                          section == "[rooms]";
    if (!replaced) out += line + "\n";
  }
  return out;
}

std::string swap_burst() {
  std::string burst = "\x02" "DS|DA261209|TI120000|\x03";
  for (int n = 1; n <= kRooms; ++n)
    burst += "\x02GI|RN" + std::to_string(n) + "|GNGuest " + std::to_string(n) + "|GLEA|GSN|G#" +
             std::to_string(100000 + n) + "|SF|\x03";
  return burst + "\x02" "DE|DA261209|TI120500|\x03";
}

void run_swap(benchmark::State& state, testutil::pbx_database& pbx, const char* sample,
              const std::string& table, const std::string& column, const std::string& named) {
  for (auto _ : state) {
    state.PauseTiming();
    pbx.reset();
    std::string rooms;
    for (int n = 1; n <= kRooms; ++n)
      rooms += std::string(rooms.empty() ? "" : ",") + "('" + std::to_string(n) + "')";
    pbx.exec("delete from " + table + "; insert into " + table + " (" + column + ") values " + rooms);
    testutil::temp_dir dir;
    pms_peer pms;
    const std::string conf = dir.file("velmorant.conf");
    testutil::write_file(
        conf, bench_conf(testutil::point_at(testutil::etc_file(sample), pbx),
                         pms.port(), dir));
    options opts;
    opts.config_file = conf;
    opts.foreground = true;
    testutil::quiet_stdout quiet;
    velmorant_daemon daemon(opts, testutil::load_settings(conf), testutil::quick_timing());
    if (daemon.start("velmorant") != 0) {
      state.SkipWithError("the daemon did not start");
      return;
    }
    std::thread main_loop([&] { daemon.run(); });
    if (!pms.bring_link_up(std::chrono::seconds(10))) {
      daemon.request_stop();
      main_loop.join();
      state.SkipWithError("the link did not come up");
      return;
    }
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    pms.send_bytes(swap_burst());
    const bool done = testutil::wait_until(
        [&] { return pbx.rows(named) == testutil::rows_t{{std::to_string(kRooms)}}; },
        std::chrono::seconds(120));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    daemon.request_stop();
    main_loop.join();
    if (!done) {
      state.SkipWithError("not every room was checked in within 120 s");
      return;
    }
    state.counters["seconds"] = seconds;
    state.ResumeTiming();
  }
}

void BM_SwapOnSqlite(benchmark::State& state) {
  logger_init(nullptr, 2, 0, 0);
  testutil::sqlite_pbx pbx;
  run_swap(state, pbx, "velmorant-sqlite.conf", "extensions", "exten",
           "select count(*) from extensions where name like 'Guest %'");
}

void BM_SwapOnMariadb(benchmark::State& state) {
  logger_init(nullptr, 2, 0, 0);
  testutil::mysql_pbx pbx;
  run_swap(state, pbx, "velmorant-mysql.conf", "asterisk.users", "extension",
           "select count(*) from asterisk.users where name like 'Guest %'");
}

}  // namespace

BENCHMARK(BM_SwapOnSqlite)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_SwapOnMariadb)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK_MAIN();
