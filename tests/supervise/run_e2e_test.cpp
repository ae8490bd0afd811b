// The built launcher running the fake client from real install roots.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "state/store.hpp"
#include "support/process.hpp"
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
    ASSERT_TRUE(save_state(root_ / "state.json", s));
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
  std::vector<std::string> run_record(int k) { return lines(read_file_or_die(root_ / ("run-" + std::to_string(k) + ".txt"))); }
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

  // Starts a program without waiting for it, with every signal at its
  // default action (a test runner may ignore some), in a process group of its
  // own if asked.
  static pid_t start(const std::vector<std::string>& argv, bool own_group = false) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      if (own_group) setpgid(0, 0);
      for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    return pid;
  }
  pid_t start_launcher(bool own_group = false) {
    return start({launcher_binary(), "--install-root", root_.path(), "--install-method", "process"}, own_group);
  }
  // Waits up to 30 s for something to happen.
  static bool eventually(const std::function<bool()>& happened) {
    for (int i = 0; i < 3000; ++i) {
      if (happened()) return true;
      usleep(10000);
    }
    return false;
  }
  // The wait status of pid, which is killed if it does not end in time.
  static int finish(pid_t pid) {
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
      ADD_FAILURE() << "process " << pid << " did not end";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    return status;
  }
  // The process ID of the k-th start of the client.
  pid_t client_pid(int k) {
    for (const auto& line : run_record(k)) {
      if (line.rfind("pid=", 0) == 0) return std::stoi(line.substr(4));
    }
    return -1;
  }
  pid_t ready_client(int k) {
    EXPECT_TRUE(eventually([&] { return testing::file_exists(root_ / ("ready-" + std::to_string(k))); }));
    return client_pid(k);
  }
  static bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

  TempDir root_;
  bool ignore_sigchld_ = false;  // as some parents leave it
};

// A stop signal to a supervising launcher, with a client that handles it
// (and exits 7) or dies of it.
class StopSignal : public RunClient, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(StopSignal, ReachesTheClientWhoseEndIsTheLaunchers) {
  const auto [sig, handled] = GetParam();
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan(handled ? "catch " + std::to_string(sig) + " ready await-signal 0 exit 7\n" : "ready await never\n");
  const pid_t launcher = start_launcher();
  const pid_t client = ready_client(1);
  kill(launcher, sig);
  const int status = finish(launcher);
  if (handled) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    EXPECT_TRUE(has(run_record(1), "signals=1 from_others=0"));
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
  }
  EXPECT_TRUE(gone(client)) << (kill(client, SIGKILL), "client left running");
  EXPECT_EQ(starts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         ::testing::Combine(::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT), ::testing::Bool()));

TEST_F(RunClient, SignalToTheLaunchersGroupReachesTheClientOnce) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  // A delivery straight from the group signal would come from another sender
  // than the launcher, or as a second one.
  plan("catch 15 ready await-signal 300 exit 7\n");
  const pid_t launcher = start_launcher(true);
  ready_client(1);
  kill(-launcher, SIGTERM);
  const int status = finish(launcher);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  EXPECT_TRUE(has(run_record(1), "signals=1 from_others=0"));
}

TEST_F(RunClient, StopDuringBackOffEndsTheLauncherAtOnce) {
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 3\n");
  const pid_t launcher = start_launcher();
  // Once the second run is reaped, the back-off of 2 s has begun.
  // The run record is complete once the start is logged.
  ASSERT_TRUE(eventually([&] { return testing::file_exists(root_ / "client.log") && starts().size() == 2; }));
  const pid_t second = client_pid(2);
  ASSERT_TRUE(eventually([&] { return gone(second); }));
  const auto sent = std::chrono::steady_clock::now();
  kill(launcher, SIGTERM);
  const int status = finish(launcher);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));
  EXPECT_EQ(starts().size(), 2u);
}

TEST_F(RunClient, AsProcessOneReapsOrphansAndStopsOnSigterm) {
  std::vector<std::string> unshare;
  for (const char* flags : {"-pf", "-rpf"}) {
    if (unshare.empty() && finish(start({"/usr/bin/unshare", flags, "--mount-proc", "/bin/true"})) == 0) {
      unshare = {"/usr/bin/unshare", flags, "--mount-proc"};
    }
  }
  if (unshare.empty()) GTEST_SKIP() << "no unshare -pf or -rpf here: cannot run the launcher as process 1";
  install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("orphans 3 exit 42\norphans 3 exit 42\norphans 3 exit 42\nzombies 5000 ready await never\n");
  unshare.insert(unshare.end(), {launcher_binary(), "--install-root", root_.path(), "--install-method", "process"});
  const pid_t outer = start(unshare);
  ready_client(4);
  EXPECT_TRUE(has(run_record(4), "zombies=0"));
  // unshare waits for the launcher, its only child, and passes on no signal.
  pid_t launcher = -1;
  if (DIR* d = opendir("/proc")) {
    while (const dirent* e = readdir(d)) {
      std::string stat;
      std::getline(std::ifstream(std::string("/proc/") + e->d_name + "/stat"), stat);
      const auto end = stat.rfind(") ");
      if (end != std::string::npos && std::stoi(stat.substr(end + 4)) == outer) launcher = std::stoi(stat);
    }
    closedir(d);
  }
  ASSERT_GT(launcher, 0);
  kill(launcher, SIGTERM);
  const int status = finish(outer);
  // As process 1 it cannot end by the signal: it exits as a shell reports one.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
}

TEST_F(RunClient, LockWaitsAreFairToTheLauncher) {
  if (std::getenv("BRINDLECAST_TEST_WRAPPER")) GTEST_SKIP() << "a launcher under a memory checker is too slow to time";
  install_slot("1.0.0");
  install_slot("2.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 0\n");
  const std::vector<std::string> writer = {testing::fake_client_binary(), "--trials", "1.0.0", "2.0.0", root_ / "stop"};
  ::setenv("BRINDLECAST_INSTALL_ROOT", root_.path().c_str(), 1);
  const pid_t writers[] = {start(writer), start(writer)};
  ::unsetenv("BRINDLECAST_INSTALL_ROOT");
  for (int k = 0; k < 25; ++k) {
    const auto begun = std::chrono::steady_clock::now();
    const ProcessResult r = launch("systemd");
    EXPECT_EQ(r.status, 0) << k << ": " << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1)) << k;
  }
  write_file(root_ / "stop", "");
  for (const pid_t w : writers) EXPECT_EQ(finish(w), 0);
}

class ClientCommandOnEachRoad : public RunClient, public ::testing::WithParamInterface<std::string> {};

TEST_P(ClientCommandOnEachRoad, GivesTheClientItsCommandAndNothingElse) {
  const std::string method = GetParam();
  const std::string client = install_slot("1.0.0");
  store("1.0.0", "1.0.0", false);
  plan("exit 0\n");
  const ProcessResult r = launch(method, {"--unknown", "word", "--install-root=/x"},
                                 {{"BRINDLECAST_INSTALL_ROOT", "/elsewhere"}, {"BRINDLECAST_INSTALL_METHOD", "windows"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  const auto rec = run_record(1);
  ASSERT_GE(rec.size(), 4u);
  const std::vector<std::string> head(rec.begin(), rec.begin() + 4);
  EXPECT_EQ(head, (std::vector<std::string>{"argv=" + client, "argv=--unknown", "argv=word", "argv=--install-root=/x"}));
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
  EXPECT_EQ(supervised.err, "brindlecast-launcher: " + std::string(std::strerror(EACCES)) + " (os error 13)\n");
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
  if (::access("/proc/self/fd", F_OK) != 0) GTEST_SKIP() << "no /proc here: another process's descriptors are hidden";
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
