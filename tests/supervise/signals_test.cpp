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
  std::vector<struct sigaction> actions;
  sigset_t mask;

  static Dispositions now() {
    Dispositions d{std::vector<struct sigaction>(NSIG), {}};
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, nullptr, &d.actions[sig]);
    sigprocmask(SIG_BLOCK, nullptr, &d.mask);
    return d;
  }
  void put_back() const {
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &actions[sig], nullptr);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
  }
  // The signals whose action or blocking differs.
  std::vector<int> changed_from(const Dispositions& other) const {
    std::vector<int> changed;
    for (int sig = 1; sig < NSIG; ++sig) {
      const auto &a = actions[sig], &b = other.actions[sig];
      bool same = a.sa_handler == b.sa_handler && a.sa_flags == b.sa_flags &&
                  sigismember(&mask, sig) == sigismember(&other.mask, sig);
      for (int m = 1; m < NSIG; ++m) same = same && sigismember(&a.sa_mask, m) == sigismember(&b.sa_mask, m);
      if (!same) changed.push_back(sig);
    }
    return changed;
  }
};

// The launcher's signals recorded in this process for one test, and every
// action put back after it.
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
  }
  // A descriptor of the root to wait on, while another open file holds the lock.
  int locked_elsewhere() {
    holder_ = open(root_.path().c_str(), O_RDONLY | O_CLOEXEC);
    waiter_ = open(root_.path().c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(holder_, LOCK_EX), 0);
    return waiter_;
  }
  ~Signals() override {
    close(holder_);
    close(waiter_);
  }

  const Dispositions saved_ = Dispositions::now();
  testing::TempDir root_;
  int holder_ = -1, waiter_ = -1;
};

// A stop that lands after the look at the record and before flock blocks:
// the wait must not sleep through it to its limit.
TEST_F(Signals, StopAfterTheLookEndsTheLockWaitAtOnce) {
  static int looks;
  looks = 0;
  const auto raise_then_look = [] { return looks++ == 0 ? raise(SIGTERM) != 0 : stop_pending(); };
  const auto start = Clock::now();
  const auto end =
      block_until_alarm(locked_elsewhere(), {std::chrono::seconds(3), block_until_alarm, raise_then_look});
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, LockWaitEnd::Stopped);
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
}

// Before the sleep, a signal is only in the record; during it, from another
// thread, only in the self-pipe: the handler runs there, not in poll's thread.
TEST_F(Signals, SignalBeforeOrDuringTheSleepEndsItAtOnce) {
  for (const bool during : {false, true}) {
    if (!during) raise(SIGUSR1);
    // Late enough, as a rule, to find the sleep in poll.
    std::thread sender([during] {
      if (!during) return;
      std::this_thread::sleep_for(milliseconds(50));
      raise(SIGUSR1);
    });
    const auto start = Clock::now();
    sleep_unless_signalled(std::chrono::seconds(3));
    sender.join();
    EXPECT_LT(Clock::now() - start, milliseconds(1500)) << (during ? "during" : "before");
    EXPECT_EQ(take_signal(), SIGUSR1);
  }
}

TEST_F(Signals, LockWaitPutsBackEveryAction) {
  for (const bool held : {false, true}) {
    const int fd = held ? locked_elsewhere() : open(root_.path().c_str(), O_RDONLY | O_CLOEXEC);
    // Each action once set through the C library, which adds flags of its own
    // (SA_RESTORER) to what it sets: "before" then reads as a put-back would.
    Dispositions::now().put_back();
    const auto before = Dispositions::now();
    const auto end = block_until_alarm(fd, {milliseconds(20), block_until_alarm, stop_pending});
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, held ? LockWaitEnd::TimedOut : LockWaitEnd::Taken);
    EXPECT_EQ(Dispositions::now().changed_from(before), std::vector<int>{}) << held;
    if (!held) close(fd);
  }
}

}  // namespace
}  // namespace brindlecast
