// The built launcher running the fake client from real install roots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

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

  TempDir root_;
  bool ignore_sigchld_ = false;  // as some parents leave it
};

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
