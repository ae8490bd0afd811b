#include "supervise/supervisor.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>

#include "supervise/signals.hpp"

namespace brindlecast {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

enum At { kInWait, kRunning, kInBackOff };  // where in a cycle signals reach the launcher
// One scripted start of the client.
struct ClientRun {
  int wait_status = 0;      // as waitpid reports it
  nanoseconds duration{0};  // how long the child runs
  int spawn_error = 0;      // the start fails with this error number
  int poll_error = 0;       // polling fails with this error number
  bool prepare_fails = false;
  bool lock_busy = false;            // another writer keeps the lock: no start
  std::vector<int> signals[3] = {};  // by At
  ClientRun with(At at, std::vector<int> sigs) const {
    ClientRun run = *this;
    run.signals[at] = std::move(sigs);
    return run;
  }
};

ClientRun exits(int code, nanoseconds duration = milliseconds(10)) { return ClientRun{code << 8, duration}; }
ClientRun killed(int sig) { return ClientRun{sig, milliseconds(10)}; }  // WIFSIGNALED layout
ClientRun missing() { return ClientRun{0, {}, ENOENT}; }
ClientRun busy() { return ClientRun{0, {}, 0, 0, false, true}; }

// Time passes only in sleep() and while a child "runs", so the whole
// back-off table runs in microseconds; signals arrive where the runs say.
class FakeSystem final : public SupervisionSystem {
 public:
  FakeSystem(std::deque<ClientRun> runs, bool terminal = false)
      : runs_(std::move(runs)), terminal_(terminal) {}

  Result<std::string, Error> prepare(std::string_view root) override {
    ++prepares;
    if (!runs_.empty() && runs_.front().prepare_fails)
      return Err(Error{ErrorKind::InvalidData, "broken state"});
    const auto came =
        runs_.empty() ? std::vector<int>() : arrive(runs_.front(), kInWait);  // only a stop ends it
    if (std::any_of(came.begin(), came.end(), [&](int sig) { return is_stop_signal(sig, terminal_); })) {
      return Err(Error{ErrorKind::Stopped, "stopped"});
    }
    if (!runs_.empty() && runs_.front().lock_busy) {
      runs_.pop_front();
      return Err(Error{ErrorKind::Busy, "lock kept"});
    }
    return std::string(root) + "/slots/1/brindlecast-client";
  }
  ClientCommand command(std::string_view executable) override {
    return ClientCommand{std::string(executable), {}, {}};
  }
  int exec(const ClientCommand& command) override {
    execs.push_back(command.program);
    return ENOENT;
  }
  Result<pid_t, int> spawn(const ClientCommand&) override {
    start_times.push_back(now_);
    if (runs_.empty()) {
      ADD_FAILURE() << "more starts than scripted";
      return Err(EINVAL);
    }
    current_ = runs_.front();
    runs_.pop_front();
    if (current_.spawn_error != 0) return Err(current_.spawn_error);
    ends_at_ = now_ + current_.duration;
    return pid_t{4242};
  }
  Result<std::optional<int>, int> poll(pid_t) override {
    ++polls;
    if (current_.poll_error != 0) return Err(current_.poll_error);
    if (now_ < ends_at_) {
      arrive(current_, kRunning);
      return std::optional<int>();
    }
    return std::optional<int>(current_.wait_status);
  }
  void sleep(nanoseconds d) override {
    if (d != kPollInterval) backoffs.push_back(std::chrono::duration_cast<seconds>(d));
    // A signal cuts a back-off short, halfway.
    now_ += d != kPollInterval && !arrive(current_, kInBackOff).empty() ? d / 2 : d;
  }
  nanoseconds now() override { return now_; }
  Result<bool, int> record_signals() override { return terminal_; }
  int take_signal() override {
    if (record_.empty()) return 0;
    const int sig = record_.front();
    record_.pop_front();
    return sig;
  }
  void pass_on(pid_t, int sig) override { passed_on.push_back(sig); }
  int end_by_signal(int sig) override { return -sig; }  // the real one never returns

  int prepares = 0, polls = 0;
  std::vector<seconds> backoffs;
  std::vector<nanoseconds> start_times;
  std::vector<std::string> execs;
  std::vector<int> passed_on;

 private:
  // Puts the signals that reach the launcher in run at `at` on its record.
  std::vector<int> arrive(ClientRun& run, At at) {
    auto came = std::exchange(run.signals[at], {});
    record_.insert(record_.end(), came.begin(), came.end());
    return came;
  }
  std::deque<ClientRun> runs_;
  ClientRun current_;
  nanoseconds now_{0}, ends_at_{0};
  bool terminal_;
  std::deque<int> record_;
};

TEST(ClientExitCode, SignalsCountAsOne) {
  EXPECT_EQ(client_exit_code(0), 0);
  EXPECT_EQ(client_exit_code(3 << 8), 3);
  EXPECT_EQ(client_exit_code(255 << 8), 255);
  EXPECT_EQ(client_exit_code(SIGKILL), 1);
  EXPECT_EQ(client_exit_code(SIGSEGV | 0x80), 1);  // with a core dump
}

TEST(Supervision, OutcomesOfRunSequences) {
  struct Case {
    const char* name;
    std::deque<ClientRun> runs;
    int status;  // -sig: the launcher ended by sig
    std::vector<seconds> backoffs;
    std::vector<int> passed_on = {};
    bool terminal = false;
  };
  // clang-format off
  const Case cases[] = {
      {"clean exit after one start", {exits(0)}, 0, {}},
      {"five quick failures give up with the last code",
       {exits(3), exits(3), exits(3), exits(3), exits(7)}, 7, {seconds(1), seconds(2), seconds(5), seconds(10)}},
      {"success on the fifth start", {exits(3), exits(3), exits(3), exits(3), exits(0)}, 0,
       {seconds(1), seconds(2), seconds(5), seconds(10)}},
      {"relaunch code restarts at once and resets the count",
       {exits(3), exits(3), exits(42), exits(3), exits(3), exits(3), exits(3), exits(3)}, 3,
       {seconds(1), seconds(2), seconds(1), seconds(2), seconds(5), seconds(10)}},
      {"signals are failed runs with code 1",
       {killed(SIGKILL), killed(SIGSEGV), killed(SIGTERM), killed(SIGKILL), killed(SIGABRT)}, 1,
       {seconds(1), seconds(2), seconds(5), seconds(10)}},
      {"missing executable is a failed run with code 1",
       {missing(), missing(), missing(), missing(), missing()}, 1,
       {seconds(1), seconds(2), seconds(5), seconds(10)}},
      // The end is seen at the next poll: a run of 59.6 s ends a cycle of
      // 59.75 s, still quick in whole seconds.
      {"59.75 s is still a quick failure",
       {exits(1), exits(1), exits(1), exits(1), exits(1, milliseconds(59600))}, 1,
       {seconds(1), seconds(2), seconds(5), seconds(10)}},
      {"a writer that keeps the lock delays the start, counted as a quick failure",
       {busy(), exits(3), busy(), exits(0)}, 0, {seconds(1), seconds(2), seconds(5)}},
      {"a 60 s run resets the count, even at the give-up point",
       {exits(1), exits(1), exits(1), exits(1), exits(1, seconds(60)), exits(0)}, 0,
       {seconds(1), seconds(2), seconds(5), seconds(10), seconds(1)}},
      {"a stop while the client runs is passed on with SIGCONT, and the launcher ends as the client does",
       {exits(7, seconds(1)).with(kRunning, {SIGTERM})}, 7, {}, {SIGTERM, SIGCONT}},
      {"after a stop, even the relaunch code starts nothing", {exits(42).with(kRunning, {SIGINT})}, 42, {},
       {SIGINT, SIGCONT}},
      {"SIGHUP is a stop with a terminal; the client died of it, and the launcher ends by it",
       {killed(SIGHUP).with(kRunning, {SIGHUP})}, -SIGHUP, {}, {SIGHUP, SIGCONT}, true},
      {"without a terminal SIGHUP is a reload; it and the rest are passed on and stop nothing",
       {exits(7).with(kRunning, {SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH, SIGCONT}), exits(0)}, 0, {seconds(1)},
       {SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH, SIGCONT}},
      {"a stop in the back-off ends the launcher at once, by the first stop",
       {exits(3).with(kInBackOff, {SIGQUIT, SIGTERM})}, -SIGQUIT, {seconds(1)}},
      {"a stop in the wait for the lock ends the launcher before any start", {exits(0).with(kInWait, {SIGTERM})},
       -SIGTERM, {}},
      {"in the back-off and the lock wait, other signals are dropped and stop nothing",
       {exits(3).with(kInBackOff, {SIGUSR1}), exits(0).with(kInWait, {SIGUSR2})}, 0, {seconds(1), seconds(0)}},
  };
  // clang-format on
  for (const auto& c : cases) {
    FakeSystem system(c.runs, c.terminal);
    auto r = run_client("/r", InstallMethod::Process, system);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(*r, c.status) << c.name;
    EXPECT_EQ(system.backoffs, c.backoffs) << c.name;
    EXPECT_EQ(system.passed_on, c.passed_on) << c.name;
    EXPECT_EQ(system.prepares, static_cast<int>(c.runs.size())) << c.name;
  }
}

TEST(Supervision, PollsAtOnceThenEveryInterval) {
  FakeSystem system({exits(0, milliseconds(600))});
  ASSERT_TRUE(run_client("/r", InstallMethod::Windows, system));
  // At 0, 250, 500 ms the child runs; the poll at 750 ms sees its end.
  EXPECT_EQ(system.polls, 4);
}

TEST(Supervision, FatalErrorsEndTheLoopAtOnce) {
  struct Case {
    const char* name;
    std::deque<ClientRun> runs;
    std::string message;
    int prepares;
  };
  const std::string eacces = std::string(std::strerror(EACCES)) + " (os error 13)";
  const std::string echild = std::string(std::strerror(ECHILD)) + " (os error 10)";
  ClientRun prepare_fails;
  prepare_fails.prepare_fails = true;
  const Case cases[] = {
      {"start refused", {exits(3), ClientRun{0, {}, EACCES}}, eacces, 2},
      {"poll fails", {ClientRun{0, seconds(1), 0, ECHILD}}, echild, 1},
      {"preparation fails in the third cycle", {exits(3), exits(3), prepare_fails}, "broken state", 3},
      {"a lock kept through five tries gives up with its error",
       {busy(), busy(), busy(), busy(), busy()},
       "lock kept",
       5},
  };
  for (const auto& c : cases) {
    FakeSystem system(c.runs);
    auto r = run_client("/r", InstallMethod::Process, system);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().message, c.message) << c.name;
    EXPECT_EQ(system.prepares, c.prepares) << c.name;
    // No back-off after a fatal error.
    EXPECT_EQ(system.backoffs.size(), static_cast<std::size_t>(c.prepares - 1)) << c.name;
  }
}

TEST(HandOver, EveryMethodButProcessAndWindowsReplacesTheProcess) {
  for (const std::optional<InstallMethod> method :
       {std::optional(InstallMethod::Systemd), std::optional(InstallMethod::Launchd),
        std::optional<InstallMethod>()}) {
    FakeSystem system({});
    auto r = run_client("/r", method, system);
    ASSERT_FALSE(r);
    // The fake exec fails the way a missing executable does: fatal, no retry.
    EXPECT_EQ(r.error().message, std::string(std::strerror(ENOENT)) + " (os error 2)");
    EXPECT_EQ(system.execs, std::vector<std::string>{"/r/slots/1/brindlecast-client"});
    EXPECT_EQ(system.prepares, 1);
    EXPECT_TRUE(system.start_times.empty());
  }
}

}  // namespace
}  // namespace brindlecast
