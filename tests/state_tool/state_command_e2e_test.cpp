// The brindlecast-state command, run as a script would run it, against a real
// install root and the real launcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/version.hpp"
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

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

struct Step {
  std::vector<std::string> args;
  int status;
  std::string out;              // exact standard output
  std::string err;              // exact standard error ("" for none)
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

  testing::ProcessResult run(const std::vector<std::string>& args,
                             std::map<std::string, std::string> env = {}) {
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
      const std::string before =
          file_exists(root_ / "state.json") ? read_file_or_die(root_ / "state.json") : "";
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

// Every path under dir: what a command that only reads must leave as it was.
std::vector<std::string> tree(const std::string& dir) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST_F(StateCommand, AnInstallationFromFirstStateToPrune) {
  const std::string enoent = std::string(std::strerror(ENOENT)) + " (os error 2)";
  // clang-format off
  play({
      {{"show"}, 1, "", error("cannot read state.json in the install root " + root_.path() + ": " + enoent), kSame},
      {{"confirm", client("1.0")}, 1, "",
       error("cannot read state.json in the install root " + root_.path() + ": " + enoent), kSame},
      {{"init", "9.9"}, 1, "",
       error("slot \"9.9\" holds no brindlecast-client file in the install root " + root_.path()), kSame},
      {{"init", "1.0", "1.0.0", "--channel", "beta"}, 0, "", "",
       R"({"active":"1.0","known_good":"1.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":false,"versions":{"1.0":"1.0.0"},"relaunch_intent":false})"},
      {{"init", "2.0"}, 1, "", error("state.json already exists; init changes nothing"), kSame},
      {{"begin-trial", "2.0"}, 0, "", error("cannot tell whether this is a downgrade: no version was given"),
       R"({"active":"2.0","known_good":"1.0","channel":"beta","pending":"2.0","failed_starts":0,"started_ok":false,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":false})"},
      // The old version, still running, cannot confirm the new one.
      {{"confirm", client("1.0")}, 1, "",
       error("refused: " + client("1.0") + " is not " + client("2.0") +
             ", the version on trial; only that version can confirm it"),
       kSame},
      // The same file by another path is the version on trial.
      {{"confirm", root_ / "slots/../slots/2.0/brindlecast-client"}, 0, "", "", nullptr},
  });
  // clang-format on
  auto launched = testing::run_process(
      {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
  EXPECT_EQ(launched.status, 0) << launched.err;
  // clang-format off
  play({
      {{"show"}, 0,
       R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":false,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":false})"
       "\n",
       "", kSame},
      // Nothing on trial: a confirmation is harmless, an abort refused.
      {{"confirm", client("1.0")}, 0, "", "", nullptr},
      {{"abort-trial"}, 1, "", error("refused: no version is on trial"), kSame},
      {{"request-relaunch"}, 0, "", "",
       R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":true,"versions":{"2.0":null,"1.0":"1.0.0"},"relaunch_intent":true})"},
      {{"prune", "--dry-run", "--min-age", "0"}, 0, "0.9\n1.0\nlink\n", "", kSame},
  });
  // clang-format on
  EXPECT_TRUE(file_exists(client("0.9")));
  play(
      {{{"prune", "--min-age=0s"},
        0,
        "0.9\n1.0\nlink\n",
        "",
        R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,"started_ok":true,"versions":{"2.0":null},"relaunch_intent":true})"},
       {{"prune", "--min-age", "0"}, 0, "", "", kSame}});
  EXPECT_FALSE(file_exists(root_ / "slots/0.9"));
  EXPECT_TRUE(file_exists(client("2.0")));
  struct stat st {};
  EXPECT_NE(::lstat((root_ / "slots/link").c_str(), &st), 0);
  EXPECT_EQ(read_file_or_die(outside_ / "keep"), "kept");  // the link was not followed
  EXPECT_TRUE(file_exists(root_ / "slots/README"));
}

// Copies of the fake client, an ELF of this machine: one for another
// machine (its e_machine changed), one whose loader (PT_INTERP) is missing.
struct Elves {
  TempDir dir;
  std::string machine, other, loader;
  Elves() {
    utsname u{};
    ::uname(&u);
    machine = u.machine;
    other = machine == "x86_64" ? "aarch64" : "x86_64";
    std::string elf = read_file_or_die(testing::fake_client_binary());
    std::string foreign = elf;
    foreign[18] = other == "x86_64" ? '\x3e' : '\xb7';  // EM_X86_64, EM_AARCH64
    write_file(dir / "other", foreign, 0755);
    const std::size_t at = elf.find("/ld-"), end = elf.find('\0', at);
    if (at != std::string::npos) elf[end - 1] = elf[end - 1] == 'X' ? 'Y' : 'X';
    loader = elf.substr(elf.rfind('\0', at) + 1, end - elf.rfind('\0', at) - 1);
    write_file(dir / "lost", elf, 0755);
  }
};

// Each row plants one fault and looks for doctor's line about it; doctor
// never changes a byte of state.json, and shows no control character raw.
// A row with a verdict for the supervision road runs doctor by each road,
// and the launcher by each on a root made alike: it must start the client
// exactly where doctor says it does.
TEST_F(StateCommand, DoctorNamesWhatStopsOrChangesTheNextStart) {
  struct Case {
    const char* name;
    std::string state;                                            // state.json; "" for none
    std::vector<std::pair<std::string, std::string>> files = {};  // more files, under the root
    std::vector<std::string> options = {};
    int status;
    std::string
        line;  // %r is the root, %l the launcher's directory, %m this machine, %o another, %i a loader
    std::string client = "#!/bin/sh\n";  // of slots 1.0 and 2.0
    unsigned root_mode = 0700;
    std::vector<std::string> wrap = {};                        // what doctor and the launcher run under
    std::vector<std::pair<std::string, unsigned>> modes = {};  // given to paths under the root
    int supervised = -1;               // doctor's status by the supervision road, where both roads are run
    std::string supervised_line = "";  // and its line then
    std::string setup = "";            // shell commands run in the root ($E: the directory of the Elves)
    bool linux_rules = false;          // the status and line are Linux's
  };
  const std::string trial = R"({"active":"2.0","known_good":"1.0","channel":"stable","pending":"2.0",)";
  const std::string due = trial + R"("failed_starts":0})";
  const std::string plain = R"(["1.0","1.0","stable"])";
  const std::string run1 = "next start: runs slot 1.0: %r/slots/1.0/brindlecast-client";
  const std::string run2 =
      "next start: runs slot 2.0 on trial (unconfirmed starts so far: 0); no rollback due: "
      "%r/slots/2.0/brindlecast-client";
  const auto error = [](int e) {
    return " (" + std::string(std::strerror(e)) + " (os error " + std::to_string(e) + "))";
  };
  const auto in_namespace = [](const char* flags, const std::string& mount) {
    return std::vector<std::string>{"unshare", flags, "sh", "-c", mount + R"( && shift && exec "$@")",
                                    "sh",      "%r"};
  };
  const std::vector<std::string> nobody = {"setpriv", "--reuid", "65534",
                                           "--regid", "65534",   "--clear-groups"};
  const std::string to_nobody = "chown -R 65534:65534 . && ";
  // clang-format off
  const std::vector<Case> cases = {
      {"a launcher.json with a trailing comma", trial + R"("failed_starts":0})",
       {{"%l/launcher.json", R"({"install_root":"/x",})"}}, {}, 0,
       "launcher.json: %l/launcher.json: ignored: trailing comma at line 1 column 22"},
      {"a missing client", R"({"active":"3.0","known_good":"3.0","channel":"stable"})", {{"slots/3.0/notes", ""}},
       {}, 1, "next start: runs slot 3.0: %r/slots/3.0/brindlecast-client: missing, so it fails"},
      {"a known good slot gone", R"({"active":"2.0","known_good":"9.9","channel":"stable"})", {}, {}, 0,
       "slot: 9.9 (known_good): %r/slots/9.9: missing"},
      {"a broken state.json", "{\"active\":", {}, {"--json"}, 1,
       R"({"finding":"state.json","ok":false,"text":"%r/state.json: cannot be decoded: )"
       R"(EOF while parsing a value at line 1 column 10; brindlecast-state --install-root %r init --replace SLOT )"
       R"([VERSION] [--channel NAME] keeps it as state.json.broken-<UTC time> and writes a fresh one",)"
       R"("path":"%r/state.json","error":"EOF while parsing a value","line":1,"column":10})"},
      {"a broken state.json, with the slots to choose from", "[", {{"slots/3.0/notes", ""}}, {}, 1,
       "slot on disk: 3.0: %r/slots/3.0/brindlecast-client: missing"},
      {"no state.json", "", {}, {}, 1,
       "state.json: %r/state.json: none; brindlecast-state --install-root %r init SLOT [VERSION] [--channel NAME] "
       "creates it"},
      {"a read-only root with a start to save", due, {}, {}, 1,
       run2 + ": fails: the start must save state.json, and the install root's file system is read-only" + error(EROFS),
       "#!/bin/sh\n", 0700, in_namespace("-m", R"(mount --bind "$1" "$1" && mount -o remount,bind,ro "$1")")},
      {"a script without #!", plain, {}, {}, 0,
       run1 + ": a script without a #! line, which the hand-over road runs through /bin/sh", "exit 0\n", 0700, {}, {},
       1, run1 + ": fails: it is a script without a #! line, which the supervision road cannot start" + error(ENOEXEC) +
       "; only the hand-over road runs it, through /bin/sh", "", true},
      {"a missing interpreter", plain, {}, {}, 1,
       run1 + ": fails: its interpreter /nonexistent/sh does not exist", "#!/nonexistent/sh\n", 0700, {}, {}, 1},
      {"a root others may write", plain, {}, {}, 0,
       "trust: %r: writable by its group and every user (mode 777): they can change what the launcher runs",
       "#!/bin/sh\n", 0777},
      // The active slot's directories and client are the launcher's too.
      {"a slot directory others may write", plain, {{"slots/1.0/lib/x", ""}}, {}, 0,
       "trust: %r/slots/1.0/lib: writable by its group and every user (mode 777): they can change what the launcher "
       "runs", "#!/bin/sh\n", 0700, {}, {{"slots/1.0/lib", 0777}}},
      {"a NUL in the slot name", R"(["/usr/bin/id\u0000","1.0","stable"])", {}, {}, 1,
       R"(next start: fails: slot /usr/bin/id\x00: file name contained an unexpected NUL byte)"},
      {"a failing trial", trial + R"("failed_starts":1})", {}, {}, 0,
       "next start: runs slot 2.0 on trial (unconfirmed starts so far: 1); no rollback due: "
       "%r/slots/2.0/brindlecast-client; brindlecast-state --install-root %r abort-trial runs known_good 1.0 instead"},
      {"a rollback due", trial + R"("failed_starts":2})", {}, {}, 0,
       "next start: rolls back: slot 2.0 on trial has 2 unconfirmed starts; runs known_good 1.0: "
       "%r/slots/1.0/brindlecast-client"},
      {"leftovers", due, {{"state.json.tmp-7-0", "{"}, {"slots/.brindlecast-prune-7-0-0/x", ""}}, {}, 0,
       "leftover: %r/slots/.brindlecast-prune-7-0-0: a prune is deleting it, or was killed doing so; the next prune "
       "finishes it"},
      {.name = "a leftover with another user's directory", .state = due, .status = 0,
       .line = "leftover: %r/slots/.brindlecast-prune-7-0-0: a prune is deleting it, or was killed doing so; only a "
       "prune run by root finishes it, as nobody and root own its directories", .wrap = nobody,
       .setup = "mkdir -p slots/.brindlecast-prune-7-0-0/d && " + to_nobody + "chown 0 slots/.brindlecast-prune-7-0-0/d"},
      {"a killed install", due, {{"slots/.brindlecast-install-0/x", ""}}, {}, 0,
       "leftover: %r/slots/.brindlecast-install-0: an install is filling it, or was killed doing so; the next prune "
       "or install removes it"},
      // What the kernel refuses, down the line of interpreters and loaders.
      {.name = "an interpreter that is a directory", .state = plain, .status = 1,
       .line = run1 + ": fails: its interpreter %r/i is a directory" + error(EACCES), .client = "#!%r/i\n",
       .supervised = 1, .setup = "mkdir i"},
      {.name = "an interpreter that is not executable", .state = plain, .status = 1,
       .line = run1 + ": fails: its interpreter %r/i is not executable for this user" + error(EACCES),
       .client = "#!%r/i\n", .supervised = 1, .setup = "echo '#!/bin/sh' >i && chmod 644 i"},
      {.name = "an interpreter that is not executable, as nobody", .state = plain, .status = 1,
       .line = run1 + ": fails: its interpreter %r/i is not executable for this user" + error(EACCES),
       .client = "#!%r/i\n", .wrap = nobody, .supervised = 1, .setup = "echo '#!/bin/sh' >i && chmod 744 i && " +
       to_nobody + "chown 0 i"},
      {.name = "interpreters in a loop", .state = plain, .status = 1,
       .line = run1 + ": fails: its interpreter %r/b is a 6th interpreter in a row, and the kernel follows at most 5; "
       "the interpreters in turn: %r/a, %r/b, %r/a, %r/b, %r/a, %r/b, round in a loop" + error(ELOOP),
       .client = "#!%r/a\n", .supervised = 1,
       .setup = "echo '#!%r/b' >a && echo '#!%r/a' >b && chmod +x a b", .linux_rules = true},
      {.name = "interpreters one deeper than the kernel follows", .state = plain, .status = 1,
       .line = run1 + ": fails: its interpreter /bin/sh is a 6th interpreter in a row, and the kernel follows at "
       "most 5; the interpreters in turn: %r/1, %r/2, %r/3, %r/4, %r/5, /bin/sh" + error(ELOOP),
       .client = "#!%r/1\n", .supervised = 1,
       .setup = "for i in 1 2 3 4; do echo \"#!%r/$((i + 1))\" >$i; done && echo '#!/bin/sh' >5 && chmod +x 1 2 3 4 5",
       .linux_rules = true},
      {.name = "an empty #! line", .state = plain, .status = 0,
       .line = run1 + ": a script whose #! line names no interpreter, which the hand-over road runs through /bin/sh",
       .client = "#!\nexit 0\n", .supervised = 1, .supervised_line = run1 + ": fails: it is a script whose #! line "
       "names no interpreter, which the supervision road cannot start" + error(ENOEXEC) + "; only the hand-over road "
       "runs it, through /bin/sh", .linux_rules = true},
      {.name = "a #! line longer than the kernel reads", .state = plain, .status = 0,
       .line = run1 + ": a script whose #! line does not end its interpreter's name within the 256 bytes the kernel "
       "reads of it (BINPRM_BUF_SIZE), which the hand-over road runs through /bin/sh",
       .client = "#!" + std::string(300, '/') + "bin/sh\nexit 0\n", .supervised = 1, .linux_rules = true},
      {.name = "an interpreter that is a script without #!", .state = plain, .status = 0,
       .line = run1 + ": its interpreter %r/i is a script without a #! line" + error(ENOEXEC) + "; the hand-over "
       "road runs the client through /bin/sh instead", .client = "#!%r/i\nexit 0\n", .supervised = 1,
       .supervised_line = run1 + ": fails: its interpreter %r/i is a script without a #! line, so the supervision "
       "road cannot start it" + error(ENOEXEC) + "; only the hand-over road runs it, through /bin/sh",
       .setup = R"(echo 'exec /bin/sh "$@"' >i && chmod +x i)", .linux_rules = true},
      {.name = "an ELF for another machine", .state = plain, .status = 1,
       .line = run1 + ": fails: it is an ELF for %o, and this machine is %m" + error(ENOEXEC) + "; nor can /bin/sh, "
       "which the hand-over road hands it to, read it as a script", .supervised = 1,
       .setup = R"(cp "$E/other" slots/1.0/brindlecast-client)", .linux_rules = true},
      {.name = "an ELF whose loader is missing", .state = plain, .status = 1,
       .line = run1 + ": fails: its loader %i does not exist", .supervised = 1,
       .setup = R"(cp "$E/lost" slots/1.0/brindlecast-client)", .linux_rules = true},
      {.name = "a binfmt_misc entry that runs the client", .state = plain, .status = 0, .line = run1,
       .client = "BCX1\nexit 0\n", .wrap = in_namespace("-Urm", "mount -t binfmt_misc none /proc/sys/fs/binfmt_misc "
       "&& echo :bcx:M::BCX1::/bin/sh: >/proc/sys/fs/binfmt_misc/register"), .supervised = 0, .linux_rules = true},
      // The save a start makes first, and the lock it takes.
      {.name = "a state.json.tmp with files in it", .state = due, .status = 1, .line = run2 + ": fails: the start must "
       "save state.json, and state.json.tmp is a directory with files in it, which the launcher does not remove",
       .supervised = 1, .setup = "mkdir -p state.json.tmp/x"},
      {.name = "an empty directory at state.json.tmp", .state = due, .status = 0, .line = run2, .supervised = 0,
       .setup = "mkdir state.json.tmp"},
      {.name = "a link at state.json.tmp", .state = due, .status = 0, .line = run2, .supervised = 0,
       .setup = "ln -s /nonexistent state.json.tmp"},
      {.name = "a FIFO at state.json.tmp", .state = due, .status = 0, .line = run2, .supervised = 0,
       .setup = "mkfifo state.json.tmp"},
      {.name = "a full file system", .state = due, .status = 1, .line = run2 + ": fails: the start must save "
       "state.json, and the install root's file system has no room left for it" + error(ENOSPC),
       .wrap = in_namespace("-m", R"(cd "$1" && mount -t tmpfs -o size=64k,mode=700 tmpfs "$1" && cp -a . "$1" )"
       R"(&& { dd if=/dev/zero of="$1/fill" bs=1k 2>/dev/null; :; })"), .supervised = 1},
      {.name = "a root that cannot be read, as root", .state = due, .status = 0, .line = run2, .root_mode = 0300,
       .supervised = 0},
      {.name = "a root that cannot be read, as nobody", .state = due, .status = 1, .line = run2 + ": fails: the "
       "install root cannot be opened for reading, so the writers' lock cannot be taken" + error(EACCES),
       .root_mode = 0300, .wrap = nobody, .supervised = 1, .setup = "chown -R 65534:65534 ."},
      {.name = "a sticky root and root's state.json, as nobody", .state = due, .status = 1, .line = run2 + ": fails: "
       "the start must save state.json, and the install root is sticky and state.json belongs to root" + error(EPERM),
       .root_mode = 01777, .wrap = nobody, .supervised = 1},
      // Names with control characters, shown escaped.
      {.name = "a newline in the slot name", .state = R"(["a\nb","a\nb","stable"])", .status = 0,
       .line = "next start: runs slot a\\x0ab: %r/slots/a\\x0ab/brindlecast-client", .supervised = 0,
       .setup = "mkdir 'slots/a\nb' && echo '#!/bin/sh' >'slots/a\nb/brindlecast-client' && chmod +x slots/a?b/*"},
      {.name = "an escape in the slot name", .state = R"(["\u001b[2J","\u001b[2J","stable"])", .status = 0,
       .line = "next start: runs slot \\x1b[2J: %r/slots/\\x1b[2J/brindlecast-client", .supervised = 0,
       .setup = R"(d="slots/$(printf '\033')[2J" && mkdir "$d" && echo '#!/bin/sh' >"$d/brindlecast-client" && )"
       R"(chmod +x "$d/brindlecast-client")"},
  };
  // clang-format on
  const Elves elves;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> probe;
    const TempDir scratch;
    for (const auto& w : c.wrap) probe.push_back(w == "%r" ? scratch.path() : w);
    if (!probe.empty() && (probe.push_back("true"), testing::run_process(probe).status != 0)) {
      std::printf("skipped \"%s\": needs to run under %s %s\n", c.name, c.wrap[0].c_str(), c.wrap[1].c_str());
      continue;
    }
    for (const char* road :
         c.supervised < 0 ? std::vector<const char*>{nullptr} : std::vector{"systemd", "process"}) {
      SCOPED_TRACE(road ? road : "");
      const bool supervising = road && std::string(road) == "process";
      TempDir root, bin;
      const auto put = [&](std::string text) {
        for (const auto& [mark, value] :
             {std::pair{"%r", root.path()}, std::pair{"%l", bin.path()}, std::pair{"%m", elves.machine},
              std::pair{"%o", elves.other}, std::pair{"%i", elves.loader}}) {
          for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, 2, value);
        }
        return text;
      };
      write_file(root / "slots/1.0/brindlecast-client", put(c.client), 0755);
      write_file(root / "slots/2.0/brindlecast-client", put(c.client), 0755);
      if (!c.state.empty()) write_file(root / "state.json", c.state);
      for (const auto& [path, bytes] : c.files) write_file(path[0] == '%' ? put(path) : root / path, bytes);
      testing::ProcessOptions setup;
      setup.env = {{"E", elves.dir.path()}, {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}};
      ASSERT_EQ(
          testing::run_process(
              {"/bin/sh", "-c", "cd \"$0\" && " + put(c.setup.empty() ? ":" : c.setup), root.path()}, setup)
              .status,
          0);
      for (const auto& [path, mode] : c.modes) ASSERT_EQ(::chmod((root / path).c_str(), mode), 0);
      ASSERT_EQ(::chmod(root.path().c_str(), c.root_mode), 0);
      std::vector<std::string> argv;
      for (const auto& w : c.wrap) argv.push_back(put(w));
      std::vector<std::string> launcher = argv;
      argv.insert(argv.end(),
                  {testing::state_command_binary(), "doctor", "--launcher", bin / "brindlecast-launcher"});
      argv.insert(argv.end(), c.options.begin(), c.options.end());
      if (road) argv.insert(argv.end(), {"--install-method", road});
      const auto before = tree(root.path());
      testing::ProcessOptions options;
      options.env = {{"BRINDLECAST_INSTALL_ROOT", root.path()}, {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}};
      const auto r = testing::run_process(argv, options);
      const std::string& line = supervising ? c.supervised_line : c.line;
#ifdef __linux__
      const bool exact = true;
#else
      const bool exact = !c.linux_rules;
#endif
      EXPECT_TRUE(!exact || r.status == (supervising ? c.supervised : c.status)) << r.out;
      EXPECT_TRUE(!exact || line.empty() || ("\n" + r.out).find("\n" + put(line) + "\n") != std::string::npos)
          << put(line) << "\n"
          << r.out;
      EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(tree(root.path()), before);
      EXPECT_EQ(file_exists(root / "state.json") ? read_file_or_die(root / "state.json") : "", c.state);
      if (!road) continue;
      // The launcher on the same root, held to a few seconds: a save into a
      // FIFO waits for a reader, and a client that never starts is retried.
      launcher.insert(launcher.end(), {testing::launcher_binary(), "--install-method", road});
      options.limit_ms = 4000;
      const auto l = testing::run_process(launcher, options);
      EXPECT_EQ(l.status == 0, r.status == 0) << "the launcher: " << l.status << " " << l.err;
    }
  }
}

// init --replace keeps an undecodable state.json byte for byte, as the same
// file, says what it drops, and refuses to replace one that decodes. Each
// later --replace keeps its own broken file beside the earlier ones, also
// within one second.
// Every writer waits its 5 s for a lock another holds, all of them at once,
// then fails with nothing changed: not one goes on without the lock, and
// none gives up at once.
TEST_F(StateCommand, EveryWriterWaitsForTheLockAndChangesNothing) {
  const std::string state = R"({"active":"2.0","known_good":"1.0","channel":"stable","pending":"2.0",)"
                            R"("failed_starts":0,"versions":{"1.0":"1.0.0","2.0":"2.0.0"}})";
  write_file(root_ / "state.json", state);
  write_file(outside_ / "src/brindlecast-client", "#!/bin/sh\n", 0755);
  const std::vector<std::vector<std::string>> writers = {{"install", outside_ / "src", "3.0"},
                                                         {"install", "--move", outside_ / "src", "3.0"},
                                                         {"begin-trial", "0.9"},
                                                         {"abort-trial"},
                                                         {"confirm", client("2.0")},
                                                         {"request-relaunch"},
                                                         {"prune", "--min-age", "0"},
                                                         {"init", "--replace", "1.0"}};
  const auto before = tree(root_.path()), outside = tree(outside_.path());
  const int held = ::open(root_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::vector<testing::ProcessResult> results(writers.size());
  std::vector<std::chrono::steady_clock::duration> took(writers.size());
  std::vector<std::thread> running;
  for (std::size_t i = 0; i < writers.size(); ++i) {
    running.emplace_back([&, i] {
      const auto start = std::chrono::steady_clock::now();
      results[i] = run(writers[i]);
      took[i] = std::chrono::steady_clock::now() - start;
    });
  }
  for (auto& t : running) t.join();
  ::close(held);
  for (std::size_t i = 0; i < writers.size(); ++i) {
    SCOPED_TRACE(writers[i].front() + (writers[i].size() > 1 ? " " + writers[i][1] : ""));
    EXPECT_EQ(results[i].status, 1);
    EXPECT_NE(results[i].err.find("another writer has held the lock on the install root for more than 5 s"),
              std::string::npos)
        << results[i].err;
    EXPECT_GE(took[i], std::chrono::milliseconds(4900));
  }
  EXPECT_EQ(tree(root_.path()), before);
  EXPECT_EQ(tree(outside_.path()), outside);
  EXPECT_EQ(read_file_or_die(root_ / "state.json"), state);
}

TEST_F(StateCommand, InitReplaceKeepsTheBrokenFile) {
  const auto slots = tree(root_ / "slots");
  std::vector<std::pair<std::string, std::string>> kept;  // path, bytes
  for (const std::string broken : {"{\"active\":\"1.0\",\xff\n", "", "[\"1.0\""}) {
    SCOPED_TRACE(broken);
    write_file(root_ / "state.json", broken, 0640);
    struct stat old {};
    ASSERT_EQ(::stat((root_ / "state.json").c_str(), &old), 0);
    const auto replaced = run({"init", "--replace", "2.0", "2.0", "--channel", "beta"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(replaced.err, error("the channel and the versions of the broken file are not kept"));
    const std::string said = "kept the old state.json as ";
    ASSERT_EQ(replaced.out.rfind(said + root_ / "state.json.broken-", 0), 0u) << replaced.out;
    kept.emplace_back(replaced.out.substr(said.size(), replaced.out.size() - said.size() - 1), broken);
    struct stat st {};
    ASSERT_EQ(::stat(kept.back().first.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, old.st_ino);
    EXPECT_EQ(st.st_mode, old.st_mode);
    for (const auto& [path, bytes] : kept) EXPECT_EQ(read_file_or_die(path), bytes) << path;
    ASSERT_EQ(::stat((root_ / "state.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file's access
  }
  EXPECT_EQ(tree(root_ / "slots"), slots);
  // clang-format off
  play({{{"show"}, 0,
         R"({"active":"2.0","known_good":"2.0","channel":"beta","pending":null,"failed_starts":0,)"
         R"("started_ok":false,"versions":{"2.0":"2.0"},"relaunch_intent":false})"
         "\n",
         "", kSame},
        {{"init", "--replace", "1.0"}, 1, "",
         error("state.json can be read; init --replace changes nothing (begin-trial puts a version on trial)"),
         kSame}});
  // clang-format on
}

// Each trial's end is known: a confirmed trial is committed before the next
// begins, a replaced one is named, an abort and the launcher's rollback are
// told apart, and a version that failed, or an older one, is not offered
// again unless asked for. A damaged history is set aside, not fatal.
TEST_F(StateCommand, TrialsEndKnownAndFailuresAreNotOfferedAgain) {
  for (const char* slot : {"3.0", "4.0", "5.0"}) {
    write_file(root_ / ("slots/" + std::string(slot) + "/brindlecast-client"), "#!/bin/sh\nexit 0\n", 0755);
  }
  const auto scrub = [](const std::string& text) {
    return std::regex_replace(text, std::regex("[0-9]{4}-?[0-9]{2}-?[0-9]{2}T[0-9:]{6,8}Z"), "T");
  };
  const auto start = [&] {
    const auto r = testing::run_process(
        {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
    EXPECT_EQ(r.status, 0) << r.err;
  };
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    int starts = 0;  // launcher starts after the step
  };
  const std::string rolled_back = "5.0 (version 5.0.0), begun T: rolled back by the launcher\n";
  const std::string history =
      "4.0 (version 4.0.0), begun T: aborted after 0 unconfirmed starts\n"
      "3.0 (version 3.0.0), begun T: replaced by 4.0 after 1 unconfirmed start\n"
      "2.0 (version 2.0.0), begun T: committed\n";
  // clang-format off
  const std::vector<Step> steps = {
      {{"init", "1.0", "1.0.0"}, 0, "", ""},
      {{"begin-trial", "2.0", "2.0.0"}, 0, "", ""},
      {{"confirm", client("2.0")}, 0, "", ""},
      {{"begin-trial", "0.9", "0.9.0"}, 1, "",
       error("refused: version 0.9.0 is older than 2.0.0, the version of the known-good slot 2.0; "
             "--allow-downgrade installs it")},
      // 2.0 confirmed its start and keeps running: it becomes the rollback target.
      {{"begin-trial", "3.0", "3.0.0"}, 0, "", error("committed 2.0 (version 2.0.0), which had confirmed its start"), 1},
      {{"begin-trial", "4.0", "4.0.0"}, 0, "",
       error("replaced the trial of 3.0 (version 3.0.0), which had 1 unconfirmed start and no confirmation")},
      {{"abort-trial"}, 0, "", ""},
      {{"begin-trial", "5.0", "5.0.0"}, 0, "", "", 3},
      {{"status"}, 0, rolled_back + history, ""},
      {{"show"}, 0, R"({"active":"2.0","known_good":"2.0","channel":"stable","pending":null,"failed_starts":0,)"
                    R"("started_ok":false,"versions":{"1.0":"1.0.0","2.0":"2.0.0","3.0":"3.0.0","4.0":"4.0.0",)"
                    R"("5.0":"5.0.0"},"relaunch_intent":false})" "\n", ""},
      {{"begin-trial", "5.0", "5.0.0"}, 1, "",
       error("refused: the last trial of 5.0 (version 5.0.0), begun T, was rolled back; --retry offers it again")},
      {{"begin-trial", "4.0"}, 1, "",
       error("refused: the last trial of 4.0 (version 4.0.0), begun T, was aborted; --retry offers it again")},
      {{"begin-trial", "--retry", "5.0", "5.0.0"}, 0, "", ""},
      {{"status", "--json"}, 0,
       R"({"slot":"5.0","version":"5.0.0","begun":"T","outcome":"on trial","by_launcher":false,)"
       R"("unconfirmed_starts":0,"replaced_by":null,"ended":null})" "\n" R"({"slot":"5.0","version":"5.0.0",)"
       R"("begun":"T","outcome":"rolled back","by_launcher":true,"unconfirmed_starts":0,"replaced_by":null,)"
       R"("ended":"T"})" "\n", ""},
  };
  // clang-format on
  for (const auto& step : steps) {
    std::string name;
    for (const auto& a : step.args) name += a + " ";
    SCOPED_TRACE(name);
    const std::string before =
        file_exists(root_ / "state.json") ? read_file_or_die(root_ / "state.json") : "";
    const auto r = run(step.args);
    EXPECT_EQ(r.status, step.status);
    EXPECT_EQ(scrub(r.out).substr(0, step.out.size()), step.out);
    if (step.args[0] != "status" && step.args[0] != "show") {
      EXPECT_EQ(r.out, step.out);
    }
    EXPECT_EQ(scrub(r.err), step.err);
    if (step.status != 0) {
      EXPECT_EQ(read_file_or_die(root_ / "state.json"), before) << "a refusal wrote";
    }
    for (int n = 0; n < step.starts; ++n) start();
  }

  // A history that is damaged stops no writer: it is kept aside whole.
  write_file(root_ / "trials.json", "{\"brindlecast_trials\":1,");
  EXPECT_EQ(
      run({"status"}).err,
      error("trials.json cannot be taken: EOF while parsing a value at line 1 column 24; the next install or "
            "begin-trial sets it aside"));
  const auto again = run({"begin-trial", "--retry", "4.0"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(
      scrub(again.err),
      error("replaced the trial of 5.0 (version 5.0.0), which had 0 unconfirmed starts and no confirmation") +
          error("cannot tell whether this is a downgrade: no version was given") +
          error(
              "trials.json could not be taken (EOF while parsing a value at line 1 column 24): kept it as " +
              root_ / "trials.json.broken-T and began a new trial history"));
  EXPECT_EQ(scrub(run({"status"}).out), "4.0, begun T: on trial, 0 unconfirmed starts so far\n");
  std::vector<std::string> kept;
  for (const auto& name : entries(root_.path())) {
    if (name.rfind("trials.json.broken-", 0) == 0) kept.push_back(read_file_or_die(root_ / name));
  }
  EXPECT_EQ(kept, std::vector<std::string>{"{\"brindlecast_trials\":1,"});
}

// Each refusal of install writes nothing: slots/ and state.json stay as they
// were, and no staging directory is left.
TEST_F(StateCommand, InstallRefusesAndWritesNothing) {
  TempDir src;
  write_file(src / "v/brindlecast-client", "#!/bin/sh\n", 0755);
  write_file(src / "bare/README", "");
  write_file(src / "fifo/brindlecast-client", "#!/bin/sh\n", 0755);
  testing::make_dirs(src / "fifo/lib");
  ASSERT_EQ(::mkfifo((src / "fifo/lib/pipe").c_str(), 0644), 0);
  write_file(src / "file", "not an archive");
  ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(::symlink((root_ / "slots/1.0").c_str(), (src / "to-a-slot").c_str()), 0);
  // Archives a slot cannot take: an absolute name; 4 KiB for a limit of 1 KiB.
  write_file(src / "big/brindlecast-client", std::string(4096, '#'), 0755);
  const auto tar = [&](const std::string& options) {
    ASSERT_EQ(testing::run_process({"/bin/sh", "-c", "tar " + options}).status, 0) << options;
  };
  tar("-cPf " + src / "absolute.tar " + src / "v/brindlecast-client");
  tar("-C " + src / "big -czf " + src / "big.tar.gz .");
  const std::string state = R"({"active":"1.0","known_good":"1.0","channel":"stable"})";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // what standard error begins with
    bool with_state = true;
  };
  const std::string slots = root_ / "slots";
  const std::string source = "brindlecast-state: source \"";
  // clang-format off
  const std::vector<Case> cases = {
      {{"install", src / "v", ".3.0"}, 1, "brindlecast-state: slot \".3.0\" begins with \".\""},
      {{"install", src / "v", "a/b"}, 1, "brindlecast-state: slot \"a/b\" is not a single directory name"},
      {{"install", src / "v", "2.0"}, 1, "brindlecast-state: slots/2.0 already exists; install never replaces"},
      {{"install", src / "v", "README"}, 1, "brindlecast-state: slots/README already exists"},
      {{"install", src / "file", "3.0"}, 1, source + src / "file\" is not an archive install reads"},
      {{"install", src / "pipe", "3.0"}, 1, source + src / "pipe\" is neither a directory nor an archive"},
      {{"install", src / "absolute.tar", "3.0"}, 1, source + src / "absolute.tar\" holds an absolute path: /"},
      {{"install", "--max-bytes", "1K", src / "big.tar.gz", "3.0"}, 1,
       source + src / "big.tar.gz\" unpacks to more than 1024 bytes (--max-bytes)"},
      {{"install", "--move", src / "big.tar.gz", "3.0"}, 1,
       source + src / "big.tar.gz\" is a file, which --move cannot rename into a slot"},
      {{"install", "--public-key", "k", src / "v", "3.0", "3.0.0"}, 1,
       source + src / "v\" is a directory: with a public key only an archive installs"},
      {{"install", "--public-key", "k", src / "big.tar.gz", "3.0"}, 1,
       "brindlecast-state: a signed archive installs only with its VERSION given"},
      {{"install", "--init", src / "v", "3.0"}, 1,
       "brindlecast-state: state.json already exists; install --init makes only the first state"},
      {{"install", src / "none", "3.0"}, 1, source + src / "none\" cannot be opened"},
      {{"install", slots, "3.0"}, 1, source + slots + "\" is slots/ or lies inside it"},
      {{"install", slots + "/1.0", "3.0"}, 1, source + slots + "/1.0\" is slots/ or lies inside it"},
      {{"install", src / "to-a-slot", "3.0"}, 1, source + src / "to-a-slot\" is slots/ or lies inside it"},
      {{"install", root_ / "..", "3.0"}, 1, source + root_ / "..\" contains the install root"},
      {{"install", src / "bare", "3.0"}, 1, source + src / "bare\" holds no brindlecast-client file"},
      {{"install", src / "fifo", "3.0"}, 1, source + src / "fifo\" holds a FIFO, lib/pipe;"},
      {{"install", "--move", src / "v", "3.0", "--no-trial", "--dry-run"}, 2, "brindlecast-state: --dry-run belongs"},
      {{"install", src / "v"}, 2, "brindlecast-state: wrong number of arguments for install"},
      {{"show", "--move"}, 2, "brindlecast-state: --move belongs to install"},
      // Told before anything is copied.
      {{"install", src / "v", "3.0"}, 1,
       "brindlecast-state: the install root " + root_.path() + " has no state.json yet: install --init makes "
       "the first state", false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    if (c.with_state) {
      write_file(root_ / "state.json", state);
    } else {
      std::filesystem::remove(root_ / "state.json");
    }
    const auto before = entries(slots);
    const auto r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), c.status == 2 ? r.err.find('\n') : r.err.size() - 1) << "one line";
    EXPECT_EQ(entries(slots), before);
    EXPECT_EQ(file_exists(root_ / "state.json") ? read_file_or_die(root_ / "state.json") : "",
              c.with_state ? state : "");
  }
  EXPECT_TRUE(file_exists(src / "v/brindlecast-client"));  // the source stays

  // --move only renames: from another file system it is refused.
  write_file(root_ / "state.json", state);
  struct stat shm {};
  struct stat here {};
  char other[] = "/dev/shm/brindlecast-move-XXXXXX";
  if (::stat("/dev/shm", &shm) != 0 || ::stat(root_.path().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev || ::mkdtemp(other) == nullptr) {
    std::printf("skipped --move across file systems: no second file system at /dev/shm\n");
    return;
  }
  write_file(std::string(other) + "/brindlecast-client", "#!/bin/sh\n", 0755);
  const auto moved = run({"install", "--move", other, "3.0"});
  EXPECT_EQ(moved.status, 1);
  EXPECT_EQ(moved.err,
            "brindlecast-state: source \"" + std::string(other) +
                "\" is on another file system than slots/, and --move only renames; install without "
                "--move to copy it\n");
  EXPECT_TRUE(file_exists(std::string(other) + "/brindlecast-client"));
  EXPECT_FALSE(file_exists(root_ / "slots/3.0"));
  std::filesystem::remove_all(other);
}

// What install puts in place: the tree as it was, modes and links kept, on
// trial; --move renames, --no-trial records nothing; a killed install's
// staging directory is swept first.
TEST_F(StateCommand, InstallPutsTheTreeInPlace) {
  TempDir src;
  write_file(src / "v/brindlecast-client", "#!/bin/sh\nexit 0\n", 0750);
  write_file(src / "v/lib/libx.dylib", std::string(300000, 'x'), 0640);
  write_file(src / "v/lib/deep/data", "d", 0400);
  ASSERT_EQ(::symlink("libx.dylib", (src / "v/lib/libx.1.dylib").c_str()), 0);
  ASSERT_EQ(::symlink(outside_.path().c_str(), (src / "v/outside").c_str()), 0);
  write_file(src / "v/lib/setuid", "", 06777);
  ASSERT_EQ(::chmod((src / "v/lib/setuid").c_str(), 06777), 0);  // past the umask
  testing::make_dirs(src / "v/share");
  ASSERT_EQ(::chmod((src / "v/share").c_str(), 01777), 0);
  ASSERT_EQ(::chmod((src / "v/lib").c_str(), 0710), 0);
  write_file(root_ / "slots/.brindlecast-install-dead/d/f", "");  // a killed install's
  write_file(root_ / "state.json", R"({"active":"1.0","known_good":"1.0","channel":"stable"})");
  const auto mode = [](const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
  };
  // What is installed is the installer's, writable by it alone: a tree
  // unpacked as root keeps the archive's owner, which must not carry over.
  const bool root = ::geteuid() == 0;
  const std::vector<std::string> paths = {"",
                                          "/brindlecast-client",
                                          "/lib",
                                          "/lib/libx.dylib",
                                          "/lib/deep",
                                          "/lib/deep/data",
                                          "/lib/libx.1.dylib",
                                          "/outside",
                                          "/lib/setuid",
                                          "/share"};
  std::map<std::string, mode_t> want;
  for (const auto& path : paths) {
    want[path] = S_ISLNK(mode(src / "v" + path)) ? mode(src / "v" + path) : mode(src / "v" + path) & ~07022;
    if (root) {
      ASSERT_EQ(::lchown((src / "v" + path).c_str(), 1234, 1234), 0);
    }
  }
  if (root) {
    ASSERT_EQ(::chmod((src / "v/lib/setuid").c_str(), 06777), 0);  // chown cleared it
  }
  const auto expect_ours = [&](const std::string& slot) {
    for (const auto& path : paths) {
      SCOPED_TRACE(slot + path);
      if (path == "/outside" && slot == "6.0") continue;  // an archive's link may not leave the slot
      struct stat st {};
      ASSERT_EQ(::lstat((root_ / "slots/" + slot + path).c_str(), &st), 0);
      if (!S_ISLNK(st.st_mode)) {
        EXPECT_EQ(st.st_mode, want[path]);
      }
      EXPECT_EQ(st.st_uid, ::geteuid());
      EXPECT_EQ(st.st_gid, ::getegid());
    }
  };
  const std::string unversioned = error(
      "cannot tell whether this is a downgrade: the known-good slot 1.0 has no "
      "recorded version");
  play({{{"install", src / "v", "3.0", "3.0.1"},
         0,
         "installed slots/3.0 (version 3.0.1); on trial: the next start runs it\n",
         unversioned,
         R"({"active":"3.0","known_good":"1.0","channel":"stable","pending":"3.0","failed_starts":0,)"
         R"("started_ok":false,"versions":{"3.0":"3.0.1"},"relaunch_intent":false})"}});
  expect_ours("3.0");
  EXPECT_EQ(read_file_or_die(root_ / "slots/3.0/lib/libx.1.dylib"), std::string(300000, 'x'));
  EXPECT_EQ(std::filesystem::read_symlink(root_ / "slots/3.0/outside"), outside_.path());
  EXPECT_EQ(entries(root_ / "slots"),
            (std::vector<std::string>{"0.9", "1.0", "2.0", "3.0", "README", "link"}));
  EXPECT_TRUE(file_exists(src / "v/lib/deep/data"));  // copied, not moved

  // The tree as an archive packed as root keeps it, foreign owner and modes included.
  ASSERT_EQ(
      testing::run_process({"tar", "-C", src / "v", "--exclude", "./outside", "-czf", src / "v.tgz", "."})
          .status,
      0);
  play({{{"install", "--no-trial", "--quiet", src / "v.tgz", "6.0"}, 0, "", "", kSame}});
  expect_ours("6.0");
  play(
      {{{"install", "--no-trial", "--quiet", src / "v", "4.0"}, 0, "", "", kSame},
       {{"install", "--move", src / "v", "5.0"},
        0,
        "installed slots/5.0; on trial: the next start runs it\n",
        error(
            "replaced the trial of 3.0 (version 3.0.1), which had 0 unconfirmed starts and no confirmation") +
            error("cannot tell whether this is a downgrade: no version was given"),
        R"({"active":"5.0","known_good":"1.0","channel":"stable","pending":"5.0","failed_starts":0,)"
        R"("started_ok":false,"versions":{"3.0":"3.0.1","5.0":null},"relaunch_intent":false})"}});
  EXPECT_TRUE(file_exists(root_ / "slots/4.0/lib/deep/data"));
  EXPECT_FALSE(file_exists(src / "v"));
  expect_ours("5.0");
  EXPECT_EQ(read_file_or_die(root_ / "slots/5.0/lib/deep/data"), "d");

  // Only root may make another's files its own: anyone else's --move of
  // them is refused before anything changes.
  if (!root || testing::run_process({"/bin/sh", "-c", "command -v setpriv"}).status != 0) {
    std::printf("skipped --move of another's file: needs root and setpriv\n");
    return;
  }
  TempDir mine;
  write_file(mine / "root/state.json", R"({"active":"1.0","known_good":"1.0","channel":"stable"})");
  write_file(mine / "w/brindlecast-client", "#!/bin/sh\n", 0775);
  ASSERT_EQ(::chmod((mine / "w/brindlecast-client").c_str(), 0775), 0);
  write_file(mine / "w/lib/theirs", "");
  ASSERT_EQ(::chmod(mine.path().c_str(), 0755), 0);
  for (const char* path : {"root", "root/state.json", "w", "w/brindlecast-client", "w/lib"}) {
    ASSERT_EQ(::chown((mine / path).c_str(), 65534, 65534), 0) << path;
  }
  const auto r = testing::run_process({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                       testing::state_command_binary(), "--install-root", mine / "root",
                                       "install", "--move", mine / "w", "7.0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, error("source \"" + mine / "w" +
                         "\" holds lib/theirs, which belongs to another user: --move cannot make it yours; "
                         "install it without --move"));
  EXPECT_EQ(mode(mine / "w/brindlecast-client") & 07777, 0775u);  // nothing was changed
  EXPECT_TRUE(file_exists(mine / "w/lib/theirs"));
  // The launcher starts what was installed.
  EXPECT_EQ(testing::run_process(
                {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"})
                .status,
            0);
}

// Starts argv (found on PATH) with standard output and error going to files.
pid_t start(std::vector<std::string> argv, const std::string& out, const std::string& err) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0 && std::freopen(out.c_str(), "w", stdout) && std::freopen(err.c_str(), "w", stderr)) {
    ::execvp(args[0], args.data());
  }
  if (pid == 0) _exit(127);
  return pid;
}

// prune's safety cases. Every root holds slot a, the known good one, and old,
// which nothing names; each case adds its own slots, state and hazard.
TEST(Prune, RemovesOnlyWhatNothingCanStartAndNothingOutside) {
  TempDir outside;
  write_file(outside / "keep", "kept");
  struct Case {
    const char* name;
    const char* state;                 // active, known_good and pending, as another writer wrote them
    const char* setup;                 // shell commands run in slots/
    int depth;                         // of a chain of directories made in old
    std::vector<std::string> wrapper;  // what the command runs under; %s is the root
    int status;
    std::string out, err;
    std::vector<std::string> left;  // in slots/ afterwards
    bool launch_meanwhile = false;
    std::vector<std::string> command = {"prune", "--min-age", "0"};  // %s is the root
    const char* locked = nullptr;  // a hidden directory another prune is deleting
  };
  // Read-only directories, a killed install's among them, as their owner
  // sees them; and a leftover of another user.
  const char* read_only =
      "mkdir -p old/d/e .brindlecast-install-0/d .brindlecast-install-1/d/e ../src && : >old/d/e/f && "
      ": >../src/brindlecast-client && chmod 555 old/d/e old/d old .brindlecast-install-1/d/e "
      ".brindlecast-install-1/d && chown -R 65534:65534 .. && chown -R 0:0 .brindlecast-install-0";
  const char* not_ours =
      "brindlecast-state: cannot finish slots/.brindlecast-install-0, left by an earlier prune or install: a "
      "directory there belongs to user 0, and only that user or root can empty it\n";
  const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  // clang-format off
  const std::vector<Case> cases = {
      {"a link to a named slot", R"("active":"current","known_good":"a")", "mkdir b && ln -s b current", 0, {},
       0, "old\n", "", {"a", "b", "current"}},
      {"a chain of two links", R"("active":"current","known_good":"a")",
       "mkdir b && ln -s b stable && ln -s stable current", 0, {}, 0, "old\n", "", {"a", "b", "current", "stable"}},
      {"names spelled as paths", R"("active":"b/","known_good":"./a","pending":"c/sub")", "mkdir -p b c/sub", 0, {},
       0, "old\n", "", {"a", "b", "c"}},
      {"a client that links into another slot", R"("active":"b","known_good":"a")",
       "mkdir b c && : >c/brindlecast-client && ln -s ../c/brindlecast-client b/", 0, {}, 0, "old\n", "",
       {"a", "b", "c"}},
      {"a slot that links into a bundle", R"("active":"b","known_good":"a")",
       "mkdir -p bundle/Contents/MacOS && ln -s bundle/Contents/MacOS b", 0, {}, 0, "old\n", "",
       {"a", "b", "bundle"}},
      {"an install in progress", R"("active":"a","known_good":"a")", ":", 0, {}, 0, "",
       "brindlecast-state: kept slots/old: it changed Ns ago, within --min-age 1h\n", {"a", "old"}, false, {"prune"}},
      // tar keeps the archive's mtimes; the ctime tells the unpacking.
      {"an unpacked slot with an old mtime", R"("active":"a","known_good":"a")", "mkdir old/d && touch -t 200101010000 old",
       0, {}, 0, "", "brindlecast-state: kept slots/old: it changed Ns ago, within --min-age 1h\n", {"a", "old"}, false,
       {"prune"}},
      // Past 2262, the end of an age in nanoseconds.
      {"an mtime in the future", R"("active":"a","known_good":"a")", "touch -t 230001010000 old", 0, {}, 0, "",
       "brindlecast-state: kept slots/old: its mtime lies in the future, and its ctime says it changed Ns ago, "
       "within --min-age 1h\n", {"a", "old"}, false, {"prune"}},
      // The same PID as the killed prune's, and its count: its names are no longer ours.
      {"a killed prune's leftover, by process 1", R"("active":"a","known_good":"a")",
       "mkdir -p .brindlecast-prune-1-0-0/d && : >.brindlecast-prune-1-0-0/d/f", 0, {"unshare", "-p", "-f"}, 0,
       "old\n", "", {"a"}},
      // Process 1 is alive, but holds no lock: its leftover is finished.
      {"leftovers of other prunes", R"("active":"a","known_good":"a")",
       "mkdir -p .brindlecast-prune-1-0-0/d .brindlecast-prune-1-0-1 .brindlecast-install-0/d && "
       ": >.brindlecast-prune-1-0-0/d/f && : >.brindlecast-install-0/d/f", 0, {}, 0,
       "old\n", "brindlecast-state: left slots/.brindlecast-prune-1-0-1: another process holds it\n",
       {".brindlecast-prune-1-0-1", "a"}, false, {"prune", "--min-age", "0"}, ".brindlecast-prune-1-0-1"},
      {"a mount point in a slot", R"("active":"a","known_good":"a")", "mkdir old/data", 0,
       {"unshare", "-m", "sh", "-c", R"(mount --bind "$1" "$2" && shift 2 && exec "$@")", "sh", outside.path(),
        "%s/slots/old/data"},
       1, "", "brindlecast-state: slots/old was left whole: another file system is mounted at %s/slots/old/data\n",
       {"a", "old"}},
      // A stack far smaller than the tree is deep: no recursion survives it.
      {"a deep tree", R"("active":"a","known_good":"a")", ":", 1000,
       {"sh", "-c", R"(ulimit -s 64 && exec "$@")", "sh"}, 0, "old\n", "", {"a"}},
      {"read-only directories, by prune", R"("active":"a","known_good":"a")", read_only, 0, nobody, 0, "old\n",
       not_ours, {".brindlecast-install-0", "a"}},
      {"read-only directories, by the next install", R"("active":"a","known_good":"a")", read_only, 0, nobody, 0, "",
       not_ours, {".brindlecast-install-0", "a", "new", "old"}, false,
       {"install", "--no-trial", "--quiet", "%s/src", "new"}},
      {"a launcher start meanwhile", R"("active":"a","known_good":"a")",
       "i=0; while [ $i -lt 5000 ]; do : > old/f$i; i=$((i + 1)); done", 0, {}, 0, "old\n", "", {"a"}, true},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.wrapper.empty() && (c.wrapper[0] == "unshare" || c.wrapper[0] == "setpriv") &&
        (::geteuid() != 0 ||
         testing::run_process({"/bin/sh", "-c", c.wrapper[0] + " " + c.wrapper[1] + " true"}).status != 0)) {
      std::printf("skipped \"%s\": needs root and %s %s\n", c.name, c.wrapper[0].c_str(),
                  c.wrapper[1].c_str());
      continue;
    }
    TempDir root;
    const std::string real = std::filesystem::canonical(root.path());
    const auto put_root = [&](std::string text) {
      if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, real);
      return text;
    };
    write_file(root / "state.json",
               std::string("{") + c.state + R"(,"channel":"stable","versions":{"old":"0.1"}})");
    write_file(root / "slots/a/brindlecast-client", "#!/bin/sh\nexit 0\n", 0755);
    write_file(root / "slots/old/brindlecast-client", "old");
    const std::string setup = "cd \"$0\" && " + std::string(c.setup);
    ASSERT_EQ(testing::run_process({"/bin/sh", "-c", setup, root / "slots"}).status, 0);
    int dir = ::open((root / "slots/old").c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < c.depth && dir >= 0; ++depth) {
      const int deeper = ::mkdirat(dir, "d", 0755) == 0 ? ::openat(dir, "d", O_RDONLY | O_DIRECTORY) : -1;
      ::close(dir);
      dir = deeper;
    }
    ASSERT_GE(dir, 0);
    ::close(dir);

    std::vector<std::string> argv;
    for (const auto& w : c.wrapper) argv.push_back(put_root(w));
    argv.insert(argv.end(), {testing::state_command_binary(), "--install-root", root.path()});
    for (const auto& word : c.command) argv.push_back(put_root(word));
    const int locked =
        c.locked ? ::open((root / ("slots/" + std::string(c.locked))).c_str(), O_RDONLY | O_DIRECTORY) : -1;
    if (c.locked) {
      ASSERT_EQ(::flock(locked, LOCK_SH), 0);  // any lock keeps a prune out
    }
    TempDir output;
    const pid_t pid = start(argv, output / "out", output / "err");
    ASSERT_GT(pid, 0);
    int status = 0;
    if (c.launch_meanwhile) {
      // Once old is out of the way and the lock free, the prune is deleting:
      // hold it there and start the launcher, which must not wait for it.
      const int fd = ::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      while (file_exists(root / "slots/old") || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the prune kept the lock to the end";
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
      }
      ::close(fd);
      ::kill(pid, SIGSTOP);
      const auto launched = testing::run_process(
          {testing::launcher_binary(), "--install-root", root.path(), "--install-method", "systemd"});
      EXPECT_EQ(launched.status, 0) << launched.err;
      EXPECT_EQ(entries(root / "slots").front().rfind(".brindlecast-prune-", 0), 0u)
          << "the deletion was over";
      ::kill(pid, SIGCONT);
    }
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), c.status) << "(minus: a signal)";
    EXPECT_EQ(read_file_or_die(output / "out"), c.out);
    EXPECT_EQ(std::regex_replace(read_file_or_die(output / "err"), std::regex("[0-9]+s ago"), "Ns ago"),
              put_root(c.err));
    if (locked >= 0) ::close(locked);
    EXPECT_EQ(entries(root / "slots"), c.left);
    EXPECT_EQ(read_file_or_die(outside / "keep"), "kept");
    // The versions entry goes with the slot.
    EXPECT_EQ(read_file_or_die(root / "state.json").find("\"old\"") != std::string::npos, c.out.empty());
  }
}

// A slot renamed into place a few milliseconds before a second begins is as
// young as it is, not a second old.
TEST(Prune, CountsAgeToTheNanosecond) {
  TempDir root;
  write_file(root / "state.json", R"({"active":"a","known_good":"a","channel":"stable"})");
  write_file(root / "slots/a/brindlecast-client", "", 0755);
  write_file(root / "staged/brindlecast-client", "", 0755);
  const auto fraction = [] {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_nsec;
  };
  const auto wait_for = [&](auto done) {
    while (!done()) {
      const timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
  };
  wait_for([&] { return fraction() > 960000000; });
  ASSERT_EQ(std::rename((root / "staged").c_str(), (root / "slots/b").c_str()), 0);
  wait_for([&] { return fraction() < 900000000; });  // the next second has begun
  const auto r = testing::run_process(
      {testing::state_command_binary(), "--install-root", root.path(), "prune", "--min-age", "1s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brindlecast-state: kept slots/b: it changed 0s ago, within --min-age 1s\n");
  EXPECT_TRUE(file_exists(root / "slots/b/brindlecast-client"));
}

// install of what a tree can hold at its extremes: holes stay holes, a tree
// 5,000 levels deep goes in under a limit of 256 descriptors, and the root
// "" is the current directory, as for every other command.
// A slot name may hold a newline or an escape byte: every line that shows
// it keeps to one line and never hands the terminal a raw control byte.
TEST_F(StateCommand, ControlBytesInNamesStayOnTheirLine) {
  TempDir src;
  write_file(src / "v/brindlecast-client", "#!/bin/sh\n", 0755);
  write_file(root_ / "state.json",
             R"({"active":"1.0","known_good":"1.0","channel":"s","versions":{"1.0":"1.0.0"}})");
  const std::string slot = "x\ny\x1b[31m";
  const auto installed = run({"install", src / "v", slot, "2.0.0"});
  EXPECT_EQ(installed.out,
            "installed slots/x\\x0ay\\x1b[31m (version 2.0.0); on trial: the next start runs it\n");
  const auto status = run({"status"});
  EXPECT_EQ(std::regex_replace(status.out, std::regex("begun [0-9T:-]*Z"), "begun T"),
            "x\\x0ay\\x1b[31m (version 2.0.0), begun T: on trial, 0 unconfirmed starts so far\n");
  const auto refused = run({"install", src / "v", slot, "2.0.0"});
  EXPECT_EQ(refused.err,
            error("slots/x\\x0ay\\x1b[31m already exists; install never replaces a slot: install "
                  "under another name, or let prune remove it once nothing names it"));
}

TEST(Install, HolesDepthAndTheEmptyRoot) {
  TempDir root, src;
  write_file(root / "state.json", R"({"active":"a","known_good":"a","channel":"s"})");
  write_file(root / "slots/a/brindlecast-client", "", 0755);
  write_file(src / "v/brindlecast-client", "#!/bin/sh\n", 0755);
  const int sparse = ::open((src / "v/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(sparse, 0);
  ASSERT_EQ(::pwrite(sparse, "hello", 5, 512 << 20), 5);
  ASSERT_EQ(::ftruncate(sparse, off_t{1} << 30), 0);
  ::close(sparse);
  int dir = ::open((src / "v").c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 5000 && dir >= 0; ++depth) {
    const int deeper = ::mkdirat(dir, "d", 0755) == 0 ? ::openat(dir, "d", O_RDONLY | O_DIRECTORY) : -1;
    ::close(dir);
    dir = deeper;
  }
  ASSERT_GE(dir, 0);
  ASSERT_EQ(::close(::openat(dir, "bottom", O_WRONLY | O_CREAT, 0644)), 0);
  ::close(dir);
  testing::ProcessOptions options;
  options.cwd = root.path();
  const auto r = testing::run_process(
      {"/bin/sh", "-c", "ulimit -n 256 && exec \"$@\"", "sh", testing::state_command_binary(),
       "--install-root", "", "install", "--no-trial", src / "v", "b"},
      options);
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::stat((root / "slots/b/sparse").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t{1} << 30);
  EXPECT_LT(st.st_blocks, 2048) << "the holes were filled";
  // Longer than a path may be: walked down by descriptors.
  int walked = ::open((root / "slots/b").c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 5000 && walked >= 0; ++depth) {
    const int deeper = ::openat(walked, "d", O_RDONLY | O_DIRECTORY);
    ::close(walked);
    walked = deeper;
  }
  ASSERT_GE(walked, 0);
  EXPECT_EQ(::faccessat(walked, "bottom", F_OK, 0), 0);
  ::close(walked);
}

TEST_F(StateCommand, UsageAndRoots) {
  const auto usage = [](const std::string& problem) {
    return "brindlecast-state: " + problem + "\n\nUsage: ";
  };
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
      {{"show", "--min-age", "1h"}, 2, usage("--min-age belongs to prune")},
      {{"prune", "--min-age", "-1m"}, 2, usage("--min-age \"-1m\" is negative")},
      {{"prune", "--min-age=5x"}, 2, usage("--min-age \"5x\" has an unknown unit; use s, m, h or d")},
      {{"prune", "--min-age", ""}, 2, usage("--min-age \"\" is not 0 or a number followed by s, m, h or d")},
      {{"prune", "--min-age", "5"},
       2,
       usage("--min-age \"5\" is not 0 or a number followed by s, m, h or d")},
      {{"prune", "--min-age", "9223372036854775808s"},
       2,
       usage("--min-age \"9223372036854775808s\" is too large")},
      {{"prune", "--min-age", "106751991167301d"}, 2, usage("--min-age \"106751991167301d\" is too large")},
      // Accepted: then the missing state.json stops it.
      {{"prune", "--min-age", "9223372036854775807s"}, 1, "brindlecast-state: cannot read state.json"},
      {{"prune", "--min-age", "106751991167300d"}, 1, "brindlecast-state: cannot read state.json"},
      {{"show", "--replace"}, 2, usage("--replace belongs to init")},
      {{"prune", "--json"}, 2, usage("--json belongs to doctor and status")},
      {{"show", "--retry"}, 2, usage("--retry belongs to install and begin-trial")},
      {{"show", "--public-key", "k"}, 2, usage("--public-key belongs to install and verify")},
      {{"install", "--signature", "s", "a", "b"}, 2, usage("--signature goes with --public-key")},
      {{"install", "--channel", "c", "a", "b"}, 2, usage("--channel belongs to init")},
      {{"install", "--init", "--no-trial", "a", "b"},
       2,
       usage("--init records the first state: not with --no-trial")},
      {{"install", "--max-bytes", "5X", "a", "b"},
       2,
       usage("--max-bytes \"5X\" is not a number of bytes, or of K, M, G or T")},
      {{"install", "--max-bytes", "17179869184G", "a", "b"},
       2,
       usage("--max-bytes \"17179869184G\" is too large")},
      {{"verify", "a", "1.0.0"}, 2, usage("verify needs --public-key")},
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
  EXPECT_EQ(run({"--version"}).out, "brindlecast-state " + std::string(kVersionText) + "\n");
  EXPECT_EQ(run({"--help"}).out.rfind("Usage: brindlecast-state", 0), 0u);

  // --install-root beats the environment, which beats the default under HOME.
  TempDir home;
  const std::string by_home = home / "Library/Application Support/Brindlecast/ota/install";
  write_file(by_home + "/slots/h/brindlecast-client", "", 0755);
  EXPECT_EQ(run({"init", "h"}, {{"HOME", home.path()}}).status, 0);
  EXPECT_TRUE(file_exists(by_home + "/state.json"));
  EXPECT_EQ(run({"--install-root", root_.path(), "init", "1.0"},
                {{"HOME", home.path()}, {"BRINDLECAST_INSTALL_ROOT", by_home}})
                .status,
            0);
  EXPECT_TRUE(file_exists(root_ / "state.json"));
  EXPECT_EQ(
      run({"show"}, {{"PATH", "/bin"}}).err,
      error("no install root: pass --install-root or --launcher, or set BRINDLECAST_INSTALL_ROOT or HOME"));

  // --launcher: the root that launcher takes, from its launcher.json here,
  // named where a slot is missing.
  TempDir bin;
  write_file(bin / "launcher.json", R"({"install_root": ")" + root_.path() + R"("})");
  const auto shown = run({"--launcher", bin / "brindlecast-launcher", "show"}, {{"HOME", home.path()}});
  EXPECT_EQ(shown.out, show()) << shown.err;
  EXPECT_EQ(run({"init", "9.9", "--launcher", bin / "brindlecast-launcher"}, {{"HOME", home.path()}}).err,
            error("slot \"9.9\" holds no brindlecast-client file in the install root " + root_.path()));

  // A root its user may write but not read (0300) cannot be locked: an
  // error, never a save without the lock.
  if (::geteuid() != 0 || testing::run_process({"/bin/sh", "-c", "command -v setpriv"}).status != 0) {
    std::printf("skipped the 0300 root: needs root and setpriv\n");
    return;
  }
  TempDir shut;
  const std::string state = R"({"active":"1.0","known_good":"1.0","channel":"stable"})";
  write_file(shut / "r/state.json", state);
  ASSERT_EQ(::chmod(shut.path().c_str(), 0755), 0);
  ASSERT_EQ(::chown((shut / "r").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown((shut / "r/state.json").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((shut / "r").c_str(), 0300), 0);
  const auto r = testing::run_process({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                       testing::state_command_binary(), "--install-root", shut / "r",
                                       "request-relaunch"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, error("cannot open the install root " + shut / "r" +
                         " to lock it: " + std::strerror(EACCES) + " (os error 13)"));
  EXPECT_EQ(read_file_or_die(shut / "r/state.json"), state);
}

}  // namespace
}  // namespace brindlecast
