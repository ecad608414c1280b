// The request worker: lanes, order per room, the bounded queue, pacing per kind, retries, the stop.
#include <gtest/gtest.h>

#include <algorithm>
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

namespace {

// Two paced records of other rooms are queued ahead of the record looked at: a paced record comes
// a pacing after the second; an unpaced one goes ahead of the second at once (link control, a
// posting answer, a database swap's guest record), or right after it when it keeps its place in
// the lane (a swap's start and end, which have no room).
TEST(RequestWorker, PacingAndOvertakingFollowTheKindOfRecord) {
  constexpr auto kPacing = 200ms;
  const struct {
    const char* text;
    bool paced;
    bool overtakes;
  } cases[] = {
      {"RE|RN101|DNY|", true, false},
      {"GI|RN101|GNGuest|", true, false},
      {"GO|RN101|", true, false},
      {"WR|RN101|DA261208|TI0700|", true, false},
      {"GI|RN101|GNGuest|SF|", false, true},
      {"GO|RN101|SF|", false, true},
      {"PA|RN101|P#0001|ASOK|", false, true},
      {"LS|DA261208|TI120000|", false, true},
      {"LA|DA261208|TI120000|", false, true},
      {"LE|DA261208|TI120000|", false, true},
      {"DS|DA261208|TI120000|", false, false},
      {"DE|DA261208|TI120000|", false, false},
  };
  for (const auto& c : cases) {
    applied_log seen;
    request_worker worker([&](const pms_request& r, request_retry&) { seen.add(r.text); }, 8, kPacing);
    worker.push({"RE|RN900|DNY|", 1});
    worker.push({"RE|RN901|DNY|", 1});
    worker.push({c.text, 1});
    worker.start();
    ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == 3; }, kWait)) << c.text;
    const std::vector<std::string> texts = seen.texts();
    const size_t at = static_cast<size_t>(std::find(texts.begin(), texts.end(), c.text) - texts.begin());
    const auto first = std::min(seen.at(0), seen.at(1));
    if (c.overtakes) {
      EXPECT_LE(at, 1u) << c.text;
      EXPECT_LT(seen.at(at) - first, kPacing / 2) << c.text;
      continue;
    }
    ASSERT_EQ(at, 2u) << c.text;
    const auto after_second = seen.at(2) - seen.at(1);
    if (c.paced)
      EXPECT_GE(after_second, kPacing) << c.text;
    else
      EXPECT_LT(after_second, kPacing / 2) << c.text;
  }
}

// A reload's pacing holds at once, for the record waiting on the old one too.
TEST(RequestWorker, NewPacingHoldsForTheRecordWaitingOnTheOld) {
  applied_log seen;
  request_worker worker([&](const pms_request& r, request_retry&) { seen.add(r.text); }, 8, 60000ms);
  worker.push({"RE|RN101|DNY|", 1});
  worker.push({"RE|RN102|DNY|", 1});
  worker.start();
  ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == 1; }, kWait));
  worker.set_pacing(0ms);
  EXPECT_TRUE(testutil::wait_until([&] { return seen.size() == 2; }, kWait));
}

// One record is held in hand (its database busy); the records behind it that touch another room
// and use the other database go on, those of its room or its lane wait. Once it is applied, each
// room's records came in the order they were pushed.
TEST(RequestWorker, ARecordInHandHoldsOnlyItsRoomAndItsLane) {
  const struct {
    const char* held;
    std::vector<std::pair<const char*, bool>> behind;  // record, applied while the first is held
  } cases[] = {
      {"PA|RN201|P#0001|ASOK|",  // a states file that cannot be written
       {{"GI|RN202|GNGuest|", true},
        {"RE|RN203|DNY|", true},
        {"GI|RN201|GNNext|", false},
        {"PA|RN204|P#0002|ASOK|", false},
        {"WR|RN205|DA261208|TI0700|", true}}},
      {"GI|RN101|GNGuest|",  // a PBX database that is down
       {{"PA|RN102|P#0003|ASOK|", true},
        {"RE|RN101|DNY|", false},
        {"PA|RN101|P#0004|ASOK|", false},
        {"WR|RN103|DA261208|TI0700|", false}}},
  };
  for (const auto& c : cases) {
    applied_log seen;
    std::atomic<bool> held = true;
    request_worker worker(
        [&](const pms_request& r, request_retry& retry) {
          if (r.text == c.held)
            while (held && retry.again()) {
            }
          seen.add(r.text);
        },
        16, 0ms, retry_timing{5ms, 5ms, 60000ms});
    worker.push({c.held, 1});
    size_t going = 0;
    for (const auto& [text, goes] : c.behind) {
      worker.push({text, 1});
      going += goes ? 1 : 0;
    }
    worker.start();
    ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == going; }, kWait)) << c.held;
    // What waits still waits a while later.
    EXPECT_FALSE(testutil::wait_until([&] { return seen.size() > going; }, 100ms)) << c.held;
    for (const std::string& text : seen.texts()) {
      auto it = std::find_if(c.behind.begin(), c.behind.end(), [&](const auto& b) { return text == b.first; });
      ASSERT_NE(it, c.behind.end()) << text;
      EXPECT_TRUE(it->second) << text << " went past " << c.held;
    }
    held = false;
    ASSERT_TRUE(testutil::wait_until([&] { return seen.size() == c.behind.size() + 1; }, kWait));
    std::vector<std::string> pushed = {c.held};
    for (const auto& b : c.behind) pushed.push_back(b.first);
    const std::vector<std::string> texts = seen.texts();
    for (size_t i = 0; i < pushed.size(); ++i)
      for (size_t j = i + 1; j < pushed.size(); ++j)
        if (route_record(pushed[i]).rooms == route_record(pushed[j]).rooms) {
          const auto pos = [&](const std::string& t) { return std::find(texts.begin(), texts.end(), t) - texts.begin(); };
          EXPECT_LT(pos(pushed[i]), pos(pushed[j])) << pushed[i] << " before " << pushed[j];
        }
  }
}

// At a stop the PMS's answers still queued (here behind a check-in of their room that a PBX
// database holds) are settled, in order; the queued PBX records are named as not applied. A
// states file that fails an answer during the stop fails the others at once, each named.
TEST(RequestWorker, StopSettlesTheQueuedAnswers) {
  const char* kAnswers[] = {"PA|RN101|P#0001|ASOK|", "PA|RN101|P#0002|ASOK|",
                            "PA|RN101|P#0003|ASOK|"};
  for (bool states_file_fails : {false, true}) {
    testutil::log_capture log;
    applied_log seen;
    std::atomic<int> settle_attempts = 0;
    request_worker worker(
        [&](const pms_request& r, request_retry& retry) {
          if (r.text.starts_with("GI"))
            while (retry.again()) {
            }
          if (r.text.starts_with("PA")) {
            ++settle_attempts;
            if (states_file_fails && !retry.again()) return;
          }
          seen.add(r.text);
        },
        16, 0ms, retry_timing{10000ms, 30000ms, 600000ms});
    worker.push({"GI|RN101|GNGuest|", 1});
    worker.push({"RE|RN101|DNY|", 1});
    for (const char* answer : kAnswers) worker.push({answer, 1});
    worker.start();
    ASSERT_TRUE(testutil::wait_until([&] { return log.contains("trying the request again"); }, kWait));
    const auto stopping = steady::now();
    worker.stop();
    EXPECT_LT(steady::now() - stopping, 1000ms);
    EXPECT_EQ(worker.pending(), 0u);
    for (const char* record : {"GI|RN101|GNGuest|", "RE|RN101|DNY|"})
      EXPECT_EQ(testutil::count_occurrences(
                    log.text(), std::string("Stopping: record from the PMS not applied: ") + record), 1)
          << record << "\n" << log.text();
    if (!states_file_fails) {
      EXPECT_EQ(seen.texts(), (std::vector<std::string>{"GI|RN101|GNGuest|", kAnswers[0],
                                                         kAnswers[1], kAnswers[2]}));
      continue;
    }
    EXPECT_EQ(settle_attempts, 1) << "the first failure names the rest";
    EXPECT_EQ(seen.size(), 1u) << "only the check-in, whose retries the stop ended";
    for (const char* answer : kAnswers)
      EXPECT_EQ(testutil::count_occurrences(
                    log.text(), std::string("Stopping: record from the PMS not applied: ") + answer), 1)
          << answer << "\n" << log.text();
  }
}

}  // namespace
