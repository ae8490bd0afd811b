#include "supervise/signals.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Every action and the signal mask, as the system reports them.
struct Dispositions {
  struct sigaction actions[NSIG] = {};
  sigset_t mask;

  Dispositions() {
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, nullptr, &actions[sig]);
    sigprocmask(SIG_BLOCK, nullptr, &mask);
  }
  void put_back() const {
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &actions[sig], nullptr);  // SIGKILL's refused
    sigprocmask(SIG_SETMASK, &mask, nullptr);
  }
  std::vector<int> changed_from(const Dispositions& o) const {
    std::vector<int> changed;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (actions[sig].sa_handler != o.actions[sig].sa_handler ||
          actions[sig].sa_flags != o.actions[sig].sa_flags ||
          sigismember(&mask, sig) != sigismember(&o.mask, sig))
        changed.push_back(sig);
    }
    return changed;
  }
};

// The launcher's signals recorded in this process for one test, and every
// action put back after it; a root whose lock another open file can hold.
class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const int sig : {SIGTERM, SIGUSR1}) signal(sig, SIG_DFL);  // a runner may ignore them
    ASSERT_TRUE(record_signals());
  }
  void TearDown() override {
    while (take_signal() != 0) {
    }
    saved_.put_back();
    close(holder_);
    close(waiter_);
  }

  const Dispositions saved_;
  testing::TempDir root_;
  int holder_ = open(root_.path().c_str(), O_RDONLY | O_CLOEXEC);
  int waiter_ = open(root_.path().c_str(), O_RDONLY | O_CLOEXEC);
};

// A stop that lands after the look at the record and before flock blocks:
// the wait must not sleep through it to its limit.
TEST_F(Signals, StopAfterTheLookEndsTheLockWaitAtOnce) {
  static int looks;
  looks = 0;
  const auto raise_then_look = [] { return looks++ == 0 ? raise(SIGTERM) != 0 : stop_pending(); };
  ASSERT_EQ(flock(holder_, LOCK_EX), 0);
  const auto start = Clock::now();
  const auto end = block_until_alarm(waiter_, {std::chrono::seconds(3), block_until_alarm, raise_then_look});
  EXPECT_TRUE(end && *end == LockWaitEnd::Stopped);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
}

// Before the sleep, a signal is only in the record; during it, from another
// thread, only in the self-pipe: the handler runs there, not in poll's thread.
TEST_F(Signals, SignalBeforeOrDuringTheSleepEndsItAtOnce) {
  for (const bool during : {false, true}) {
    if (!during) raise(SIGUSR1);
    std::thread sender([during] {
      if (!during) return;
      std::this_thread::sleep_for(milliseconds(50));  // as a rule late enough to find the sleep in poll
      raise(SIGUSR1);
    });
    const auto start = Clock::now();
    sleep_unless_signalled(std::chrono::seconds(3));
    sender.join();
    EXPECT_LT(Clock::now() - start, milliseconds(1500)) << (during ? "during" : "before");
    EXPECT_EQ(take_signal(), SIGUSR1);
    // Once taken, it ends no later sleep: a back-off after a passed-on
    // signal still waits its time.
    const auto next = Clock::now();
    sleep_unless_signalled(milliseconds(200));
    EXPECT_GE(Clock::now() - next, milliseconds(200)) << (during ? "during" : "before");
  }
}

TEST_F(Signals, LockWaitPutsBackEveryAction) {
  for (const bool held : {false, true}) {
    ASSERT_EQ(held ? flock(holder_, LOCK_EX) : 0, 0);
    // Each action once set through the C library, which adds flags of its own
    // (SA_RESTORER) to what it sets: "before" then reads as a put-back would.
    Dispositions().put_back();
    // An action no wait sets, whatever an earlier test left: one the wait
    // does not put back shows.
    signal(SIGALRM, SIG_IGN);
    const Dispositions before;
    const auto end = block_until_alarm(waiter_, {milliseconds(20), block_until_alarm, stop_pending});
    EXPECT_TRUE(end && *end == (held ? LockWaitEnd::TimedOut : LockWaitEnd::Taken));
    EXPECT_EQ(Dispositions().changed_from(before), std::vector<int>{}) << held;
    flock(waiter_, LOCK_UN);
  }
}

}  // namespace
}  // namespace brindlecast
