// The built launcher, run as a process with a controlled environment.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/version.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::launcher_binary;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::read_file_or_die;
using testing::run_process;
using testing::TempDir;
using testing::write_file;
using Env = std::map<std::string, std::string>;

const std::string kVersionLine = "brindlecast-launcher " + std::string(kVersionText) + "\n";
const std::string kReportHead =
    R"({"binary":"brindlecast-launcher","version":")" + std::string(kVersionText) + R"(","ok":true,)";
constexpr const char* kMissingRootLine =
    "brindlecast-launcher: no install root: pass --install-root, set BRINDLECAST_INSTALL_ROOT, add "
    "launcher.json, or place the launcher at <root>/../launcher\n";
constexpr const char* kUnderHome = "/Library/Application Support/Brindlecast/ota/install";

ProcessResult run(std::vector<std::string> args, const Env& env = {}, const std::string& cwd = {}) {
  args.insert(args.begin(), launcher_binary());
  ProcessOptions options;
  options.env = env;
  options.cwd = cwd;
  return run_process(args, options);
}

// A copy of the launcher in its own directory, so a launcher.json can lie
// beside it.
class LauncherCopy {
 public:
  explicit LauncherCopy(const std::string& name = "brindlecast-launcher") : path_(dir_ / ("bin/" + name)) {
    write_file(path_, read_file_or_die(launcher_binary()), 0755);
  }

  void set_config(std::string_view json) { write_file(dir_ / "bin/launcher.json", json); }
  const std::string& path() const { return path_; }
  // A directory without a state.json, usable as a root or HOME.
  std::string scratch(const std::string& name) const { return dir_ / name; }
  const std::string& dir() const { return dir_.path(); }

  ProcessResult run(std::vector<std::string> args, const Env& env = {}) const {
    args.insert(args.begin(), path_);
    ProcessOptions options;
    options.env = env;
    options.cwd = dir_.path();  // an empty root must not find anything either
    return run_process(args, options);
  }

 private:
  TempDir dir_;
  std::string path_;
};

// ---------------------------------------------------------------------------
// Version line and errors of the command line

TEST(LauncherCli, VersionLine) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--version"}, {"version"}, {"--selftest", "version"}, {"a", "--version", "b"}}) {
    const auto r = run(args);  // empty environment: no root can be resolved
    EXPECT_EQ(r.out, kVersionLine) << args[0];
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
  const auto r = run({"--version"}, {{"HOME", "/Users/x"}, {"BRINDLECAST_INSTALL_METHOD", "bogus"}});
  EXPECT_EQ(r.out, kVersionLine);
  EXPECT_EQ(r.status, 0);
}

TEST(LauncherCli, OptionWithoutValue) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  const Case cases[] = {
      {{"--install-root"}, "brindlecast-launcher: --install-root needs a value\n"},
      {{"--version", "--install-root"}, "brindlecast-launcher: --install-root needs a value\n"},
      {{"--install-method"}, "brindlecast-launcher: --install-method needs a value\n"},
      {{"--selftest", "--install-method"}, "brindlecast-launcher: --install-method needs a value\n"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args, {{"HOME", "/Users/x"}});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(LauncherCli, RunWithoutRootFails) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--install-method", "process", "x"}}) {
    const auto r = run(args);
    EXPECT_EQ(r.err, kMissingRootLine);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(LauncherCli, LauncherJsonInTheWorkingDirectoryIsNotRead) {
  TempDir cwd;
  write_file(cwd / "launcher.json", R"({"install_root": "/from-cwd"})");
  const auto r = run({}, {}, cwd.path());
  EXPECT_EQ(r.err, kMissingRootLine);
  EXPECT_EQ(r.status, 1);
}

TEST(LauncherCli, ArgumentsMustBeUtf8) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  const Case cases[] = {
      {{"--version", "\xff"}, "brindlecast-launcher: argument 2 is not valid UTF-8\n"},
      {{"ok", "--install-root", "/r\xc3"}, "brindlecast-launcher: argument 3 is not valid UTF-8\n"},
      // Checked before the option loop can complain.
      {{"\xed\xa0\x80", "--install-root"}, "brindlecast-launcher: argument 1 is not valid UTF-8\n"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
  // The program name is argument 0.
  if (!testing::takes_non_utf8_names(TempDir()))
    GTEST_SKIP() << "this file system refuses names that are not UTF-8";
  LauncherCopy copy("brindlecast-launcher\xff");
  const auto r = copy.run({"--version"});
  EXPECT_EQ(r.err, "brindlecast-launcher: argument 0 is not valid UTF-8\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
}

// Example.app's layout with its own Info.plist: the launcher starts the
// client beside it only while the bundle is newer than the active slot.
TEST(LauncherCli, BundleClientStartsWhileNewerThanTheActiveSlot) {
  for (const std::string recorded : {"0.0.1", "99.0.0"}) {
    LauncherCopy copy("Example.app/Contents/MacOS/brindlecast-launcher");
    const std::string contents = copy.dir() + "/bin/Example.app/Contents";
    const std::string root = copy.scratch("root");
    write_file(contents + "/MacOS/brindlecast-client", read_file_or_die(testing::fake_client_binary()), 0755);
    write_file(contents + "/Info.plist", read_file_or_die(EXAMPLE_INFO_PLIST));
    write_file(root + "/slots/a/brindlecast-client", read_file_or_die(testing::fake_client_binary()), 0755);
    write_file(root + "/state.json",
               R"({"active":"a","known_good":"a","channel":"c","versions":{"a":")" + recorded + "\"}}");

    const auto r = copy.run({"--install-root", root, "--install-method", "process"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string started =
        recorded == "0.0.1" ? contents + "/MacOS/brindlecast-client" : root + "/slots/a/brindlecast-client";
    EXPECT_EQ(read_file_or_die(root + "/client.log"), started + "\n") << recorded;
  }
}

// ---------------------------------------------------------------------------
// Standard descriptors

TEST(LauncherCli, ClosedDescriptorsAreReplaced) {
  const std::string scripts[] = {
      R"(exec "$0" --version >&-)",
      R"(exec "$0" --version <&- >&- 2>&-)",
  };
  for (const auto& script : scripts) {
    ProcessOptions options;
    options.env = Env{};
    const auto r = run_process({"/bin/sh", "-c", script, launcher_binary()}, options);
    EXPECT_EQ(r.status, 0) << script;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  // An error with standard error closed still ends with status 1.
  ProcessOptions options;
  options.env = Env{};
  const auto r =
      run_process({"/bin/sh", "-c", R"(exec "$0" --install-root 2>&-)", launcher_binary()}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0);
}

// Runs argv with no environment and standard output a pipe that nobody
// reads from any more; the launcher must survive a default SIGPIPE on its own.
ProcessResult run_with_unread_stdout(const std::vector<std::string>& argv) {
  ProcessOptions options;
  options.env = Env{};
  options.unread_stdout = true;
  return run_process(argv, options);
}

TEST(LauncherCli, VersionLineToAClosedPipe) {
  const auto r = run_with_unread_stdout({launcher_binary(), "--version"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brindlecast-launcher: " + std::string(std::strerror(EPIPE)) + " (os error 32)\n");
}

// ---------------------------------------------------------------------------
// Resolution seen through the self-test report

std::string json_text(const std::string& s) { return "\"" + s + "\""; }

// The report for a root without state.json.
std::string report(const std::string& root_json, const std::string& method_json) {
  return kReportHead + R"("install_root":)" + root_json + R"(,"install_method":)" + method_json +
         R"(,"entrypoint":null,"state":null})" + "\n";
}

void expect_report(const ProcessResult& r, const std::string& root_json, const std::string& method_json) {
  EXPECT_EQ(r.out, report(root_json, method_json));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST(LauncherSelfTest, NothingResolvable) {
  const auto r = run({"--selftest"});
  EXPECT_EQ(r.out, kReportHead +
                       "\"install_root\":null,"
                       "\"install_method\":null,\"entrypoint\":null,\"state\":null}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // "selftest" after "--version" wins.
  expect_report(run({"--version", "selftest"}), "null", "null");
}

TEST(LauncherSelfTest, RootPrecedence) {
  LauncherCopy copy;
  const std::string opt = copy.scratch("opt"), env = copy.scratch("env"), file = copy.scratch("file");
  const std::string home = copy.scratch("home");
  copy.set_config(R"({"install_root": ")" + file + R"("})");
  const Env all{{"BRINDLECAST_INSTALL_ROOT", env}, {"HOME", home}};
  const Env home_only{{"HOME", home}};

  expect_report(copy.run({"--selftest", "--install-root", opt}, all), json_text(opt), "null");
  expect_report(copy.run({"--selftest"}, all), json_text(env), "null");
  expect_report(copy.run({"--selftest"}, home_only), json_text(file), "null");
  expect_report(copy.run({"--selftest"}, {{"BRINDLECAST_INSTALL_ROOT", ""}, {"HOME", home}}), "\"\"", "null");

  copy.set_config(R"({"install_root": null})");
  expect_report(copy.run({"--selftest"}, home_only), json_text(home + kUnderHome), "null");
  expect_report(copy.run({"--selftest"}, {{"HOME", home + "/"}}), json_text(home + kUnderHome), "null");
  expect_report(copy.run({"--selftest"}, {{"HOME", ""}}), json_text(std::string(kUnderHome).substr(1)),
                "null");
  expect_report(copy.run({"--selftest"}), "null", "null");
}

TEST(LauncherSelfTest, MethodPrecedence) {
  LauncherCopy copy;
  copy.set_config(R"(["/nonexistent-root", "windows"])");
  const Env env{{"BRINDLECAST_INSTALL_METHOD", "launchd"}};
  const std::string root = json_text("/nonexistent-root");

  expect_report(copy.run({"--selftest", "--install-method", "process"}, env), root, "\"process\"");
  expect_report(copy.run({"--selftest"}, env), root, "\"launchd\"");
  expect_report(copy.run({"--selftest"}), root, "\"windows\"");
  expect_report(copy.run({"--selftest", "--install-method", "Systemd"}, env), root, "null");
  expect_report(copy.run({"--selftest", "--install-method", "bogus"}, env), root, "null");
  expect_report(copy.run({"--selftest"}, {{"BRINDLECAST_INSTALL_METHOD", ""}}), root, "null");
  expect_report(copy.run({"--selftest"}, {{"BRINDLECAST_INSTALL_METHOD", "process\xff"}}), root,
                "\"windows\"");
}

TEST(LauncherSelfTest, InvalidLauncherJsonIsIgnoredWhole) {
  LauncherCopy copy;
  const std::string home = copy.scratch("home");
  const std::string invalid[] = {
      R"({"install_root": 5, "install_method": "process"})",
      R"({"install_root": "/a", "install_root": null, "install_method": "process"})",
      R"(["/a", "process", null])",
      "\xef\xbb\xbf[\"/a\", \"process\"]",
      "[\"/a\", \"process\"] x",
  };
  for (const auto& doc : invalid) {
    SCOPED_TRACE(doc);
    copy.set_config(doc);
    expect_report(copy.run({"--selftest"}, {{"HOME", home}}), json_text(home + kUnderHome), "null");
  }
  // The same launcher reads a well-formed file.
  const std::string root = copy.scratch("root");
  copy.set_config("[\"" + root + "\", \"process\"]\n");
  expect_report(copy.run({"--selftest"}, {{"HOME", home}}), json_text(root), "\"process\"");
}

TEST(LauncherSelfTest, NonUtf8RootIsShownWithReplacementCharacters) {
  TempDir cwd;
  const std::string root = cwd / "r\xff\xc3(";
  const std::string shown = cwd / "r\xef\xbf\xbd\xef\xbf\xbd(";
  expect_report(run({"--selftest"}, {{"BRINDLECAST_INSTALL_ROOT", root}}), json_text(shown), "null");
  expect_report(run({"--selftest"}, {{"HOME", cwd / "h\xff"}}),
                json_text(cwd / (std::string("h\xef\xbf\xbd") + kUnderHome)), "null");
}

}  // namespace
}  // namespace brindlecast
