// Deferred signal handling: counting, coalescing, and the signals that run at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sig.h"

namespace {

std::vector<int> handled;  // handlers run in this thread, from signal_handle
void record(int signo) { handled.push_back(signo); }

class SignalTest : public ::testing::Test {
 protected:
  void SetUp() override { handled.clear(); }
  void TearDown() override {
    for (int signo : {SIGHUP, SIGINT, SIGTERM, SIGABRT, SIGUSR1}) signal_set_handler(signo, 0, SIG_DFL);
  }
};

TEST_F(SignalTest, DeferredHandlerRunsOnlyFromHandle) {
  signal_set_handler(SIGTERM, 0, record);
  raise(SIGTERM);
  EXPECT_TRUE(handled.empty());
  EXPECT_EQ(signal_received(SIGTERM), 1);
  signal_handle(SIGTERM);
  EXPECT_EQ(handled, std::vector<int>{SIGTERM});
  EXPECT_EQ(signal_received(SIGTERM), 0);
}

TEST_F(SignalTest, FaultSignalHandlerRunsAtOnce) {
  signal_set_handler(SIGABRT, 0, record);
  raise(SIGABRT);
  EXPECT_EQ(handled, std::vector<int>{SIGABRT});
}

TEST_F(SignalTest, RepeatedArrivalsAreHandledOnce) {
  signal_set_handler(SIGHUP, 0, record);
  raise(SIGHUP);
  raise(SIGHUP);
  EXPECT_EQ(signal_received(SIGHUP), 2);
  signal_handle(SIGHUP);
  EXPECT_EQ(signal_received(SIGHUP), 0);
  EXPECT_EQ(handled, std::vector<int>{SIGHUP});
}

TEST_F(SignalTest, IgnoredSignalNeverBecomesPending) {
  signal_set_handler(SIGUSR1, 0, SIG_IGN);
  raise(SIGUSR1);
  EXPECT_EQ(signal_received(SIGUSR1), 0);
}

TEST_F(SignalTest, OutOfRangeNumbersAreRefused) {
  errno = 0;
  EXPECT_EQ(signal_received(65), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(signal_handle(-1), -1);
  EXPECT_EQ(signal_set_handler(SIGKILL, 0, record), -1) << "SIGKILL cannot be caught";
}

TEST_F(SignalTest, ThreadsStartedByTheDaemonBlockDeferredSignals) {
  sigset_t seen;
  start_jthread([&] { pthread_sigmask(SIG_BLOCK, nullptr, &seen); }).join();
  for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) EXPECT_TRUE(sigismember(&seen, signo)) << signo;
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_FALSE(sigismember(&mine, SIGTERM)) << "the starting thread keeps its own mask";
}

}  // namespace
