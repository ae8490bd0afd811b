// The brindlecast-state command, run as a script would run it, against a real
// install root and the real launcher.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "state/install_state.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::file_exists;
using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

constexpr const char* kSame = "<state.json as before>";

struct Step {
  std::vector<std::string> args;
  int status;
  std::string out;  // exact standard output
  std::string err;  // exact standard error ("" for none)
  const char* state = nullptr;  // kSame, or the show line expected afterwards
};

class StateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* slot : {"1.0", "2.0", "0.9"}) {
      write_file(root_ / ("slots/" + std::string(slot) + "/brindlecast-client"), "#!/bin/sh\nexit 0\n", 0755);
    }
    write_file(outside_ / "keep", "kept");
    write_file(root_ / "slots/README", "not a slot");
    ASSERT_EQ(::symlink(outside_.path().c_str(), (root_ / "slots/link").c_str()), 0);
  }

  testing::ProcessResult run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {testing::state_command_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    testing::ProcessOptions options;
    if (env.empty()) env = {{"BRINDLECAST_INSTALL_ROOT", root_.path()}};
    options.env = env;
    return testing::run_process(argv, options);
  }

  std::string show() { return run({"show"}).out; }

  // One line that decodes to the expected record (versions come in no
  // particular order).
  static void expect_same_state(const std::string& line, const std::string& expected) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    auto got = parse_install_state(line);
    auto want = parse_install_state(expected);
    ASSERT_TRUE(got && want) << line;
    EXPECT_EQ(*got, *want) << line;
  }
  std::string client(const std::string& slot) { return root_ / ("slots/" + slot + "/brindlecast-client"); }

  void play(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
      std::string name;
      for (const auto& a : step.args) name += a + " ";
      SCOPED_TRACE(name);
      const std::string before = file_exists(root_ / "state.json") ? read_file_or_die(root_ / "state.json") : "";
      const auto r = run(step.args);
      EXPECT_EQ(r.status, step.status);
      if (step.args[0] == "show" && step.status == 0) {
        expect_same_state(r.out, step.out);
      } else {
        EXPECT_EQ(r.out, step.out);
      }
      EXPECT_EQ(r.err, step.err);
      if (step.state == kSame) {
        EXPECT_EQ(file_exists(root_ / "state.json") ? read_file_or_die(root_ / "state.json") : "", before);
      } else if (step.state) {
        expect_same_state(show(), std::string(step.state) + "\n");
      }
    }
  }

  TempDir root_;
  TempDir outside_;
};

std::string error(const std::string& message) { return "brindlecast-state: " + message + "\n"; }

TEST_F(StateCommand, AnInstallationFromFirstStateToPrune) {
  const std::string enoent = std::string(std::strerror(ENOENT)) + " (os error 2)";
  play({
      {{"show"}, 1, "", error("cannot read state.json: " + enoent), kSame},
      {{"confirm", client("1.0")}, 1, "", error("cannot read state.json: " + enoent), kSame},
      {{"init", "9.9"}, 1, "", error("slot \"9.9\" holds no brindlecast-client file"), kSame},
      {{"init", "1.0", "1.0.0", "--channel", "beta"}, 0, "", "",
       R"({"active":"1.0","known_good":"1.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":false,"versions":{"1.0":"1.0.0"},"relaunch_intent":false})"},
      {{"init", "2.0"}, 1, "", error("state.json already exists; init changes nothing"), kSame},
      {{"begin-trial", "2.0"}, 0, "", "",
       R"({"active":"2.0","known_good":"1.0","channel":"beta","pending":"2.0","failed_starts":0,"started_ok":false,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":false})"},
      // The old version, still running, cannot confirm the new one.
      {{"confirm", client("1.0")}, 1, "",
       error("refused: " + client("1.0") + " is not " + client("2.0") +
             ", the version on trial; only that version can confirm it"),
       kSame},
      // The same file by another path is the version on trial.
      {{"confirm", root_ / "slots/../slots/2.0/brindlecast-client"}, 0, "", "", nullptr},
  });
  auto launched = testing::run_process(
      {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
  EXPECT_EQ(launched.status, 0) << launched.err;
  play({
      {{"show"}, 0,
       R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":false,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":false})"
       "\n",
       "", kSame},
      // Nothing on trial: a confirmation is harmless.
      {{"confirm", client("1.0")}, 0, "", "", nullptr},
      {{"request-relaunch"}, 0, "", "",
       R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":true,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":true})"},
      {{"prune", "--dry-run"}, 0, "0.9\n1.0\nlink\n", "", kSame},
  });
  EXPECT_TRUE(file_exists(client("0.9")));
  play({{{"prune"}, 0, "0.9\n1.0\nlink\n", "", kSame}, {{"prune"}, 0, "", "", kSame}});
  EXPECT_FALSE(file_exists(root_ / "slots/0.9"));
  EXPECT_TRUE(file_exists(client("2.0")));
  struct stat st {};
  EXPECT_NE(::lstat((root_ / "slots/link").c_str(), &st), 0);
  EXPECT_EQ(read_file_or_die(outside_ / "keep"), "kept");  // the link was not followed
  EXPECT_TRUE(file_exists(root_ / "slots/README"));
}

TEST_F(StateCommand, UsageAndRoots) {
  const auto usage = [](const std::string& problem) { return "brindlecast-state: " + problem + "\n\nUsage: "; };
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_prefix;
  };
  const std::vector<Case> cases = {
      {{}, 2, usage("no command given")},
      {{"bogus"}, 2, usage("unknown command bogus")},
      {{"show", "extra"}, 2, usage("wrong number of arguments for show")},
      {{"init"}, 2, usage("wrong number of arguments for init")},
      {{"confirm"}, 2, usage("wrong number of arguments for confirm")},
      {{"prune", "--channel", "x"}, 2, usage("--channel belongs to init")},
      {{"show", "--dry-run"}, 2, usage("--dry-run belongs to prune")},
      {{"show", "--frobnicate"}, 2, usage("unknown option --frobnicate")},
      {{"show", "--install-root"}, 2, usage("--install-root needs a value")},
      {{"--version"}, 0, ""},
      {{"--help"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    const auto r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.substr(0, c.err_prefix.size()), c.err_prefix) << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(run({"--version"}).out, "brindlecast-state 0.1.0\n");
  EXPECT_EQ(run({"--help"}).out.rfind("Usage: brindlecast-state", 0), 0u);

  // --install-root beats the environment, which beats the default under HOME.
  TempDir home;
  const std::string by_home = home / "Library/Application Support/Brindlecast/ota/install";
  write_file(by_home + "/slots/h/brindlecast-client", "", 0755);
  EXPECT_EQ(run({"init", "h"}, {{"HOME", home.path()}}).status, 0);
  EXPECT_TRUE(file_exists(by_home + "/state.json"));
  EXPECT_EQ(run({"--install-root", root_.path(), "init", "1.0"},
                {{"HOME", home.path()}, {"BRINDLECAST_INSTALL_ROOT", by_home}}).status,
            0);
  EXPECT_TRUE(file_exists(root_ / "state.json"));
  EXPECT_EQ(run({"show"}, {{"PATH", "/bin"}}).err,
            error("no install root: pass --install-root or set BRINDLECAST_INSTALL_ROOT or HOME"));
}

}  // namespace
}  // namespace brindlecast
