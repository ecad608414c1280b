// The request worker: order, the bounded queue, pacing, retries of a record, the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "log_capture.h"
#include "testutil.h"
#include "worker.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// What the apply function saw: each record's text with the time it was applied.
class applied_log {
 public:
  void add(const std::string& text) {
    std::lock_guard guard(lock_);
    seen_.push_back({text, steady::now()});
  }
  std::vector<std::string> texts() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> out;
    for (const auto& [text, at] : seen_) out.push_back(text);
    return out;
  }
  steady::time_point at(size_t i) const {
    std::lock_guard guard(lock_);
    return seen_.at(i).second;
  }
  size_t size() const {
    std::lock_guard guard(lock_);
    return seen_.size();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<std::string, steady::time_point>> seen_;
};

constexpr auto kWait = 5000ms;

TEST(RequestWorker, FullQueueRefusesRecordsAndTheRestAreAppliedInOrderAtThePace) {
  applied_log seen;
  request_worker worker([&](const pms_request& r, request_retry&) { seen.add(r.text); }, 2, 40ms);
  EXPECT_TRUE(worker.push({"GI|RN101|", 1}));
  EXPECT_FALSE(worker.full());
  EXPECT_TRUE(worker.push({"GO|RN102|", 1}));
  EXPECT_TRUE(worker.full());
  EXPECT_FALSE(worker.push({"RE|RN103|", 1})) << "the main loop holds what does not fit";
  EXPECT_EQ(worker.pending(), 2u);
  worker.start();
  ASSERT_TRUE(testutil::wait_until([&] { return !worker.full(); }, kWait));
  EXPECT_TRUE(worker.push({"RE|RN103|", 1}));
  ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == 3; }, kWait));
  EXPECT_EQ(seen.texts(), (std::vector<std::string>{"GI|RN101|", "GO|RN102|", "RE|RN103|"}));
  EXPECT_GE(seen.at(1) - seen.at(0), 40ms) << "records are applied at the PMS's pace";
  EXPECT_GE(seen.at(2) - seen.at(1), 40ms);
  ASSERT_TRUE(testutil::wait_until([&] { return worker.pending() == 0; }, kWait));
}

// A record whose database is busy stays in hand: it is tried again after 10, 20, 40, 40 ms, and
// the record behind it waits for it.
TEST(RequestWorker, BusyRecordIsRetriedWithGrowingPausesAndNothingOvertakesIt) {
  testutil::log_capture log;
  applied_log seen;
  std::vector<steady::time_point> attempts;
  request_worker worker(
      [&](const pms_request& r, request_retry& retry) {
        if (r.text == "GI|RN101|") {
          attempts.push_back(steady::now());
          while (attempts.size() < 5 && retry.again()) attempts.push_back(steady::now());
        }
        seen.add(r.text);
      },
      8, 0ms, retry_timing{10ms, 40ms, 5000ms});
  worker.push({"GI|RN101|", 1});
  worker.push({"RE|RN101|DNY|", 1});
  worker.start();
  ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == 2; }, kWait));
  EXPECT_EQ(seen.texts(), (std::vector<std::string>{"GI|RN101|", "RE|RN101|DNY|"}));
  ASSERT_EQ(attempts.size(), 5u);
  const std::chrono::milliseconds pauses[] = {10ms, 20ms, 40ms, 40ms};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_GE(attempts[i + 1] - attempts[i], pauses[i]) << "pause " << i;
    EXPECT_LT(attempts[i + 1] - attempts[i], pauses[i] + 1000ms) << "pause " << i;
  }
  ASSERT_TRUE(testutil::wait_until([&] { return log.contains("Request applied after"); }, kWait));
  EXPECT_TRUE(log.contains(
      "Database busy or out of reach; trying the request again for up to 5 seconds: GI|RN101|"))
      << log.text();
  EXPECT_TRUE(log.contains("Request applied after 4 retries: GI|RN101|")) << log.text();
}

// A database that stays away: the record is named as not applied at the limit, and the worker
// goes on with the next one. Asked again afterwards (a second statement of the same record), the
// retries answer at once.
TEST(RequestWorker, RetriesEndAtTheLimitWithTheRecordNamedAsNotApplied) {
  testutil::log_capture log;
  applied_log seen;
  std::atomic<int> retries = 0;
  std::atomic<bool> second_try_waited = true;
  request_worker worker(
      [&](const pms_request& r, request_retry& retry) {
        if (r.text.starts_with("GI")) {
          while (retry.again()) ++retries;
          auto before = steady::now();
          second_try_waited = retry.again() || steady::now() - before > 5ms;
        }
        seen.add(r.text);
      },
      8, 0ms, retry_timing{10ms, 20ms, 100ms});
  worker.push({"GI|RN101|GNGuest|", 1});
  worker.push({"GO|RN102|", 1});
  const auto started = steady::now();
  worker.start();
  ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == 2; }, kWait));
  const auto took = seen.at(0) - started;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1100ms);
  EXPECT_GE(retries, 5) << "10, 20, 20, 20, 20 ms, then the last attempt at the limit";
  EXPECT_LE(retries, 7);
  EXPECT_FALSE(second_try_waited);
  EXPECT_EQ(seen.texts(), (std::vector<std::string>{"GI|RN101|GNGuest|", "GO|RN102|"}));
  EXPECT_EQ(testutil::count_occurrences(log.text(), "Request not applied after 100 ms: GI|RN101|GNGuest|"), 1)
      << log.text();
  EXPECT_FALSE(log.contains("Request applied after")) << log.text();
}

// The stop does not wait out ten minutes of retries: the record in hand and the queued ones are
// named as not applied.
TEST(RequestWorker, StopEndsTheRetriesAndNamesEveryRecordNotApplied) {
  testutil::log_capture log;
  std::atomic<bool> retrying = false;
  std::atomic<int> applied = 0;
  request_worker worker(
      [&](const pms_request& r, request_retry& retry) {
        if (r.text.starts_with("GI")) {
          retrying = true;
          while (retry.again()) {
          }
        }
        ++applied;
      },
      8, 0ms, retry_timing{10000ms, 30000ms, 600000ms});
  worker.push({"GI|RN101|", 1});
  worker.push({"WR|RN101|DA261208|TI0700|", 1});
  worker.push({"GO|RN102|", 1});
  worker.start();
  ASSERT_TRUE(testutil::wait_until([&] { return retrying && log.contains("trying the request again"); }, kWait));
  const auto stopping = steady::now();
  worker.stop();
  EXPECT_LT(steady::now() - stopping, 1000ms);
  EXPECT_EQ(applied, 1) << "the record in hand returns; nothing queued is applied";
  EXPECT_EQ(worker.pending(), 0u);
  for (const char* record : {"GI|RN101|", "WR|RN101|DA261208|TI0700|", "GO|RN102|"})
    EXPECT_EQ(testutil::count_occurrences(
                  log.text(), std::string("Stopping: record from the PMS not applied: ") + record), 1)
        << record << "\n" << log.text();
  EXPECT_FALSE(log.contains("Request not applied after")) << log.text();
}

}  // namespace
