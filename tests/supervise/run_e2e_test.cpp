// The built launcher running the fake client from real install roots.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "state/root_lock.hpp"
#include "state/store.hpp"
#include "supervise/signals.hpp"
#include "support/process.hpp"
#include "support/sample_state.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::launcher_binary;
using testing::ProcessResult;
using testing::read_file_or_die;
using testing::run_process;
using testing::TempDir;
using testing::write_file;

class RunClient : public ::testing::Test {
 protected:
  // Installs the fake client as the slot's executable.
  std::string install_slot(const std::string& name) {
    const std::string path = root_ / ("slots/" + name + "/brindlecast-client");
    testing::make_dirs(root_ / ("slots/" + name));
    EXPECT_EQ(::symlink(testing::fake_client_binary().c_str(), path.c_str()), 0);
    return path;
  }

  void store(const std::string& active, const std::string& known_good, bool pending) {
    InstallState s;
    s.active = active;
    s.known_good = known_good;
    s.channel = "stable";
    if (pending) s.pending = active;
    ASSERT_TRUE(save_state(root_ / "state.json", s, testing::writer_lock(root_.path())));
  }

  void plan(const std::string& lines) { write_file(root_ / "client.plan", lines); }

  ProcessResult launch(const std::string& method, std::vector<std::string> extra = {},
                       std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {launcher_binary(), "--install-root", root_.path()};
    if (!method.empty()) {
      argv.push_back("--install-method");
      argv.push_back(method);
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    env.emplace("PATH", "/usr/bin:/bin");
    testing::ProcessOptions options;
    options.env = env;
    options.ignore_sigchld = ignore_sigchld_;
    return run_process(argv, options);
  }

  // The lines the k-th start of the client recorded, and the starts in order.
  std::vector<std::string> run_record(int k) {
    return lines(read_file_or_die(root_ / ("run-" + std::to_string(k) + ".txt")));
  }
  std::vector<std::string> starts() { return lines(read_file_or_die(root_ / "client.log")); }

  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  static bool has(const std::vector<std::string>& v, const std::string& line) {
    return std::find(v.begin(), v.end(), line) != v.end();
  }

  // Starts a program without waiting: in a process group of its own, or
  // given a tty, in a session of its own with that controlling terminal
  // ("": none).
  static pid_t start(const std::vector<std::string>& argv, const char* tty = nullptr) {
    return testing::start_process(argv, {std::nullopt, tty});
  }
  static bool eventually(const std::function<bool()>& happened) {
    for (int i = 0; i < 3000; usleep(10000), ++i)
      if (happened()) return true;  // 30 s at most
    return false;
  }
  // The wait status of pid; it is killed if it does not end in time.
  static int finish(pid_t pid) {
    int status = -1;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
      ADD_FAILURE() << "process " << pid << " did not end: killed";
      kill(pid, SIGKILL);  // a process ID start() returned
    }
    return status;
  }
  // The process ID of the k-th start of the client, once it is ready.
  pid_t ready_client(int k) {
    const std::string ready = root_ / ("ready-" + std::to_string(k));
    EXPECT_TRUE(eventually([&] { return testing::file_exists(ready) && !read_file_or_die(ready).empty(); }));
    return std::stoi(read_file_or_die(ready));
  }
  // Never true for 0 or -1, which would stand for many processes.
  static bool gone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

  TempDir root_;
  bool ignore_sigchld_ = false;  // as some parents leave it
  const std::vector<std::string> supervising_{launcher_binary(), "--install-root", root_.path(),
                                              "--install-method", "process"};
};

// A stop signal with a client that handles it (and exits 7) or dies of it.
// The first go to the launcher's whole group, as from a service manager or a
// terminal: the client still gets each signal once, from the launcher.
// Only what needs real processes: the rest is supervisor_test's. Where: "stopped", the
// client's group was stopped; "child", the client has a child in its group;
// "", the launcher ends by the signal its client died of, and leaves no core;
// "terminal", the launcher has one; "lock", the test holds the lock and the
// launcher is about to wait for it.
class StopSignal : public RunClient,
                   public ::testing::WithParamInterface<std::tuple<int, bool, std::string>> {};

TEST_P(StopSignal, ReachesTheClientWhoseEndIsTheLaunchers) {
  const auto [sig, handled, where] = GetParam();
  const bool lock = where == "lock";
  if (lock && testing::faulty_launcher_binary().empty()) GTEST_SKIP() << "no fault-injecting launcher here";
  if (where != "child")
    install_slot("1.0.0");
  else
    write_file(root_ / "slots/1.0.0/brindlecast-client", R"(#!/bin/sh
cd "$BRINDLECAST_INSTALL_ROOT" && echo "$0" >>client.log && sh -c 'trap "echo signalled >child; exit" TERM
  echo '$$' >ready-1; while kill -0 '$$' 2>/dev/null; do sleep 0.01; done; echo orphaned >child' & wait)",
               0755);
  store("1.0.0", "1.0.0", false);
  plan(handled ? "catch " + std::to_string(sig) + " await-signal exit 7\n" : "catch 10 await never\n");
  const auto held = lock_install_root(lock ? root_.path() : root_ / "slots",
                                      {kRootLockWait, block_until_alarm});  // which nothing else locks
  auto argv = supervising_;
  if (lock) argv[0] = testing::faulty_launcher_binary();
  if (lock)
    argv.insert(argv.begin(), {"/usr/bin/env", "BRINDLECAST_FAULT=flock:2:pause",
                               "BRINDLECAST_FAULT_MARK=" + root_ / "waiting"});
  const int pty = where == "terminal" ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
  ASSERT_TRUE(pty < 0 || (grantpt(pty) == 0 && unlockpt(pty) == 0));
  const pid_t launcher = start(argv, pty >= 0 ? ptsname(pty) : "");
  const pid_t client = lock ? 0 : ready_client(1);
  ASSERT_TRUE(eventually([&] { return !lock || testing::file_exists(root_ / "waiting"); }));
  if (where == "stopped" && client > 0) kill(-client, SIGSTOP);
  const auto sent = std::chrono::steady_clock::now();
  kill(handled ? -launcher : launcher, sig);
  EXPECT_EQ(finish(launcher), handled && !lock ? 7 << 8 : sig);  // wait statuses: exit 7, or killed by sig
  // A stop missed at the lock wait is seen only when the wait's own limit ends it.
  EXPECT_TRUE(!lock || std::chrono::steady_clock::now() - sent < kRootLockWait / 2);
  EXPECT_TRUE(!handled || lock || has(run_record(1), "signals=1 from_others=0"));
  EXPECT_TRUE(where != "child" || (eventually([&] { return testing::file_exists(root_ / "child"); }) &&
                                   read_file_or_die(root_ / "child") == "signalled\n"));
  EXPECT_TRUE(lock || gone(client));
  if (client > 0 && !gone(client)) kill(client, SIGKILL);
  EXPECT_EQ(testing::file_exists(root_ / "client.log") ? starts().size() : 0u, lock ? 0u : 1u);
  if (pty >= 0) close(pty);
}

INSTANTIATE_TEST_SUITE_P(Where, StopSignal,
                         ::testing::Values(std::make_tuple(SIGTERM, true, "stopped"),
                                           std::make_tuple(SIGTERM, false, "child"),
                                           std::make_tuple(SIGHUP, true, "terminal"),
                                           std::make_tuple(SIGTERM, true, "lock"),
                                           std::make_tuple(SIGQUIT, false, "")));

// A signal that is no stop, sent to the launcher alone and without a terminal
// (SIGHUP is then a reload): the client gets it once, from the launcher.
class PassedOnSignal : public RunClient, public ::testing::WithParamInterface<int> {};

TEST_P(PassedOnSignal, ReachesTheClientOnce) {
  const int sig = GetParam();
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("catch " + std::to_string(sig) + " await-signal exit 0\n");
  const pid_t launcher = start(supervising_, "");
  const pid_t client = ready_client(1);
  kill(launcher, sig);
  EXPECT_EQ(finish(launcher), 0);
  EXPECT_TRUE(has(run_record(1), "signals=1 from_others=0"));
  if (!gone(client)) kill(client, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(NoStop, PassedOnSignal, ::testing::Values(SIGCONT, SIGUSR1, SIGWINCH, SIGHUP));

// How the launcher's lock wait ends where its blocking flock "late" takes the
// lock just before a signal (the test's SIGALRM, as the limit would), or
// fails for want of locks ("error"): taken, or gone on without; either way
// the client starts at once.
TEST_F(RunClient, LockWaitTakesWhatFlockGot) {
  if (testing::faulty_launcher_binary().empty()) GTEST_SKIP() << "no fault-injecting launcher here";
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 0\n");
  for (const std::string mode : {"late", "error"}) {
    unlink((root_ / "waiting").c_str());
    auto held = std::optional(lock_install_root(root_.path(), {kRootLockWait, block_until_alarm}));
    const pid_t launcher = start(
        {"/usr/bin/env", "BRINDLECAST_FAULT=flock:2:" + mode, "BRINDLECAST_FAULT_MARK=" + root_ / "waiting",
         testing::faulty_launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
    ASSERT_TRUE(eventually([&] { return testing::file_exists(root_ / "waiting"); }));
    const auto sent = std::chrono::steady_clock::now();
    if (mode == "late") {
      held.reset();
      // Once the launcher holds the lock, which it keeps until the start.
      ASSERT_TRUE(eventually([&] { return !lock_install_root(root_.path(), {{}, block_until_alarm}); }));
      kill(launcher, SIGALRM);
    }
    EXPECT_EQ(finish(launcher), 0) << mode;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, kRootLockWait / 2) << mode;
  }
  EXPECT_EQ(starts().size(), 2u);
}

TEST_F(RunClient, AsProcessOneReapsEveryOrphanAndStopsOnSigterm) {
  std::vector<std::string> as_one = {"/usr/bin/unshare", getuid() == 0 ? "-pf" : "-rpf", "--mount-proc",
                                     "/bin/true"};
  if (finish(start(as_one)) != 0)
    GTEST_SKIP() << "no " << as_one[1] << " from unshare here: the launcher cannot be process 1";
  as_one.pop_back();
  // Runs 1 to 3 each leave a child that ends once the launcher has reaped
  // its parent; run 4 counts the zombies once the last of them is reaped.
  write_file(root_ / "slots/1.0.0/brindlecast-client", R"(#!/bin/sh
cd "$BRINDLECAST_INSTALL_ROOT" && echo >>runs && n=$(wc -l <runs)
if [ $n -le 3 ]; then sh -c "while kill -0 $$; do sleep 0.01; done; echo \$\$ >orphan-$n" & exit 42; fi
i=0; until [ -s orphan-3 ] && [ ! -e /proc/$(cat orphan-3) ] || [ $i = 500 ]; do sleep 0.01; i=$((i+1)); done
grep -ls ') Z' /proc/[0-9]*/stat | wc -l >zombies; echo $$ >ready-4; exec sleep 600
)",
             0755);
  store("1.0.0", "1.0.0", false);
  as_one.insert(as_one.end(), supervising_.begin(), supervising_.end());
  const pid_t outer = start(as_one);
  ready_client(4);
  EXPECT_EQ(read_file_or_die(root_ / "zombies"), "0\n");
  // unshare blocks SIGTERM while it waits: the group's signal reaches the
  // launcher alone, which as process 1 cannot end by it and exits 128 + 15.
  kill(-outer, SIGTERM);
  EXPECT_EQ(finish(outer), (128 + SIGTERM) << 8);  // exited
}

// Blocked in flock, the launcher takes its turn among the writers that wait
// there too: a turn or two of theirs, where a poller waits dozens.
TEST_F(RunClient, LockWaitsAreFairToTheLauncher) {
  if (testing::faulty_launcher_binary().empty()) GTEST_SKIP() << "no fault-injecting launcher here";
  install_slot("1.0.0");
  install_slot("2.0.0");
  int quick = 0;  // writers that had 10 turns at most before the launcher, over all starts
  for (int k = 0; k < 25; ++k) {
    store("1.0.0", "1.0.0", true);
    unlink((root_ / "waiting").c_str());
    // All wait for the test's lock; the mark shows the launcher waits (its second flock, cut short once).
    auto held = std::optional(lock_install_root(root_.path(), {kRootLockWait, block_until_alarm}));
    const pid_t writers[] = {
        start({testing::fake_client_binary(), "--trials", root_.path(), "1.0.0", "2.0.0"}),
        start({testing::fake_client_binary(), "--trials", root_.path(), "2.0.0", "1.0.0"})};
    const pid_t launcher = start(
        {"/usr/bin/env", "BRINDLECAST_FAULT=flock:2:eintr", "BRINDLECAST_FAULT_MARK=" + root_ / "waiting",
         testing::faulty_launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
    ASSERT_TRUE(eventually([&] { return testing::file_exists(root_ / "waiting"); }));
    held.reset();
    EXPECT_EQ(finish(launcher), 0) << k;
    for (const pid_t w : writers) quick += finish(w) <= 10 << 8;  // exited with its count of turns
  }
  EXPECT_GT(quick, 25) << "a writer's turns before the launcher's: the median above 10";
}

class ClientCommandOnEachRoad : public RunClient, public ::testing::WithParamInterface<std::string> {};

TEST_P(ClientCommandOnEachRoad, GivesTheClientItsCommandAndNothingElse) {
  const std::string method = GetParam();
  const std::string client = install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 0\n");
  const ProcessResult r =
      launch(method, {"--unknown", "word", "--install-root=/x"},
             {{"BRINDLECAST_INSTALL_ROOT", "/elsewhere"}, {"BRINDLECAST_INSTALL_METHOD", "windows"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  const auto rec = run_record(1);
  ASSERT_GE(rec.size(), 4u);
  const std::vector<std::string> head(rec.begin(), rec.begin() + 4);
  EXPECT_EQ(head, (std::vector<std::string>{"argv=" + client, "argv=--unknown", "argv=word",
                                            "argv=--install-root=/x"}));
  EXPECT_TRUE(has(rec, "env BRINDLECAST_INSTALL_ROOT=" + root_.path()));
  EXPECT_TRUE(has(rec, "env BRINDLECAST_LAUNCHER_PATH=" + launcher_binary()));
  EXPECT_TRUE(has(rec, "env BRINDLECAST_INSTALL_METHOD=" + method));
  EXPECT_TRUE(has(rec, "sigpipe=default"));
  // Only the three standard descriptors reach the client.
  std::vector<std::string> fds;
  for (const auto& line : rec) {
    if (line.rfind("fd=", 0) == 0) fds.push_back(line);
  }
  EXPECT_EQ(fds, (std::vector<std::string>{"fd=0", "fd=1", "fd=2"}));
}

INSTANTIATE_TEST_SUITE_P(Roads, ClientCommandOnEachRoad, ::testing::Values("process", "systemd"));

TEST_F(RunClient, HandOverBecomesTheClient) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 7\n");
  // No method: the hand-over road, and an inherited method text passes unchanged.
  const ProcessResult r = launch("", {}, {{"BRINDLECAST_INSTALL_METHOD", "bogus"}});
  EXPECT_EQ(r.status, 7);  // the client's own status: nothing restarts it
  EXPECT_EQ(starts().size(), 1u);
  EXPECT_TRUE(has(run_record(1), "env BRINDLECAST_INSTALL_METHOD=bogus"));
}

TEST_F(RunClient, MissingOrUnusableExecutableIsFatalWhereItMustBe) {
  store("9.9.9", "9.9.9", false);
  const ProcessResult handed = launch("launchd");
  EXPECT_EQ(handed.status, 1);
  EXPECT_EQ(handed.err, "brindlecast-launcher: " + std::string(std::strerror(ENOENT)) + " (os error 2)\n");

  write_file(root_ / "slots/9.9.9/brindlecast-client", "#!/bin/sh\nexit 0\n", 0644);
  const ProcessResult supervised = launch("process");
  EXPECT_EQ(supervised.status, 1);
  EXPECT_EQ(supervised.err,
            "brindlecast-launcher: " + std::string(std::strerror(EACCES)) + " (os error 13)\n");

  // A slot name that the system would read only up to its NUL names no file
  // at all: a start of the file before the NUL would be another program's.
  write_file(root_ / "state.json", R"(["/usr/bin/id\u0000","9.9.9","stable"])");
  for (const char* method : {"launchd", "process"}) {
    const ProcessResult nul = launch(method);
    EXPECT_EQ(nul.status, 1) << method;
    EXPECT_EQ(nul.out, "") << method;
    EXPECT_EQ(nul.err, "brindlecast-launcher: file name contained an unexpected NUL byte\n") << method;
  }
}

TEST_F(RunClient, RelaunchAndSignalsThenCleanExit) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 42\nkill 9\nexit 0\n");
  const ProcessResult r = launch("windows");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(starts().size(), 3u);
}

TEST_F(RunClient, InheritedIgnoredSigchldStillSeesTheClientEnd) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 42\nexit 0\n");
  ignore_sigchld_ = true;
  const ProcessResult r = launch("process");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(starts().size(), 2u);
}

TEST_F(RunClient, RestartsLeaveTheLauncherWithTheSameDescriptors) {
  if (::access("/proc/self/fd", F_OK) != 0)
    GTEST_SKIP() << "no /proc here: another process's descriptors are hidden";
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  std::string lines;
  for (int k = 0; k < 30; ++k) lines += "exit 42\n";
  plan(lines + "exit 0\n");
  const ProcessResult r = launch("process");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(starts().size(), 31u);
  std::vector<std::string> counts;
  for (int k = 1; k <= 31; ++k) {
    for (const auto& line : run_record(k)) {
      if (line.rfind("parent_fds=", 0) == 0) counts.push_back(line);
    }
  }
  ASSERT_EQ(counts.size(), 31u);
  EXPECT_EQ(counts, std::vector<std::string>(31, counts.front()));
}

TEST_F(RunClient, ConfirmedTrialIsCommittedAtTheNextStart) {
  install_slot("1.0.0");
  const std::string next = install_slot("2.0.0");
  store("2.0.0", "1.0.0", true);
  plan("confirm exit 42\nexit 0\n");
  const ProcessResult r = launch("process");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(starts(), (std::vector<std::string>{next, next}));
  const auto state = load_state(root_ / "state.json");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->known_good, "2.0.0");
  EXPECT_FALSE(state->pending);
  EXPECT_EQ(state->failed_starts, 0u);
  EXPECT_FALSE(state->started_ok);
}

TEST_F(RunClient, BrokenStateInALaterCycleEndsTheLauncher) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("break-state exit 3\n");
  const ProcessResult r = launch("process");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brindlecast-launcher: EOF while parsing an object at line 1 column 1\n");
  EXPECT_EQ(starts().size(), 1u);
}

// The one slow test: the whole back-off sequence in real time (18 s).
TEST_F(RunClient, UnconfirmedTrialRollsBackAndRepeatedFailuresGiveUp) {
  const std::string old_slot = install_slot("1.0.0");
  const std::string new_slot = install_slot("2.0.0");
  store("2.0.0", "1.0.0", true);
  plan("exit 3\n");
  const ProcessResult r = launch("process");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out + r.err, "");
  // Two counted starts of the trial, then the known-good version.
  EXPECT_EQ(starts(), (std::vector<std::string>{new_slot, new_slot, old_slot, old_slot, old_slot}));
  std::vector<long> times;
  for (int k = 1; k <= 5; ++k) {
    for (const auto& line : run_record(k)) {
      if (line.rfind("time_ms=", 0) == 0) times.push_back(std::stol(line.substr(8)));
    }
  }
  ASSERT_EQ(times.size(), 5u);
  const long delays_ms[] = {1000, 2000, 5000, 10000};
  for (int k = 0; k < 4; ++k) {
    const long gap = times[k + 1] - times[k];
    EXPECT_GE(gap, delays_ms[k]) << "gap " << k;
    EXPECT_LT(gap, delays_ms[k] + 1500) << "gap " << k;  // a poll interval and start-up, generously
  }
  const auto state = load_state(root_ / "state.json");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->active, "1.0.0");
  EXPECT_FALSE(state->pending);
}

}  // namespace
}  // namespace brindlecast
