// The C API of the client library against real install roots: what each call
// reads and writes, what it refuses, and that the launcher acts on its marks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "brindlecast/client.h"
#include "brindlecast/client.hpp"
#include "client/thread_wait.hpp"
#include "common/error.hpp"
#include "state/store.hpp"
#include "support/process.hpp"
#include "support/sample_state.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::file_exists;
using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

InstallState trial_state() {
  InstallState s;
  s.active = "2.0.0";
  s.known_good = "1.0.0";
  s.channel = "beta";
  s.pending = "2.0.0";
  s.failed_starts = 1;
  s.versions["1.0.0"] = "1.0.0";
  s.versions["2.0.0"] = "2.0.0-rc.1";
  s.versions["0.9.0"] = std::nullopt;
  return s;
}

// The version on trial in trial_state() confirms its own start.
brindlecast_status confirm_trial(const char* root) {
  const char* dir = root ? root : std::getenv("BRINDLECAST_INSTALL_ROOT");
  return brindlecast_confirm_start(root, (std::string(dir) + "/slots/2.0.0/brindlecast-client").c_str());
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_ino;
}

class ClientApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(save_state(state_path(), trial_state(), testing::writer_lock(root())));
    install_slot("2.0.0");
  }

  std::string state_path() const { return root_ / "state.json"; }
  const char* root() const { return root_.path().c_str(); }
  InstallState stored() {
    auto s = load_state(state_path());
    EXPECT_TRUE(s) << (s ? "" : s.error().message);
    return s ? *s : InstallState{};
  }
  void install_slot(const std::string& slot) {
    write_file(root_ / ("slots/" + slot + "/brindlecast-client"), "#!/bin/sh\nexit 0\n", 0755);
  }

  TempDir root_;
};

TEST_F(ClientApi, ReadsEveryField) {
  brindlecast_state* state = nullptr;
  ASSERT_EQ(brindlecast_read_state(root(), &state), BRINDLECAST_OK);
  EXPECT_STREQ(brindlecast_last_error(), "");
  EXPECT_STREQ(brindlecast_state_active(state), "2.0.0");
  EXPECT_STREQ(brindlecast_state_known_good(state), "1.0.0");
  EXPECT_STREQ(brindlecast_state_channel(state), "beta");
  EXPECT_STREQ(brindlecast_state_pending(state), "2.0.0");
  EXPECT_EQ(brindlecast_state_failed_starts(state), 1u);
  EXPECT_EQ(brindlecast_state_started_ok(state), 0);
  EXPECT_EQ(brindlecast_state_relaunch_intent(state), 0);

  // By slot name, an unknown version as NULL, and nothing past the end.
  ASSERT_EQ(brindlecast_state_version_count(state), 3u);
  const char* slot = nullptr;
  const char* version = "unset";
  ASSERT_EQ(brindlecast_state_version_at(state, 0, &slot, &version), 1);
  EXPECT_STREQ(slot, "0.9.0");
  EXPECT_EQ(version, nullptr);
  ASSERT_EQ(brindlecast_state_version_at(state, 2, &slot, &version), 1);
  EXPECT_STREQ(slot, "2.0.0");
  EXPECT_STREQ(version, "2.0.0-rc.1");
  EXPECT_EQ(brindlecast_state_version_at(state, 3, &slot, &version), 0);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(version, nullptr);
  brindlecast_state_free(state);
}

TEST_F(ClientApi, ReadsAStateWithoutTrialOrMarks) {
  write_file(state_path(), R"({"active":"1.0.0","known_good":"1.0.0","channel":"stable","started_ok":true})");
  brindlecast_state* state = nullptr;
  ASSERT_EQ(brindlecast_read_state(root(), &state), BRINDLECAST_OK);
  EXPECT_EQ(brindlecast_state_pending(state), nullptr);
  EXPECT_EQ(brindlecast_state_started_ok(state), 1);
  EXPECT_EQ(brindlecast_state_version_count(state), 0u);
  brindlecast_state_free(state);
}

TEST_F(ClientApi, EachMarkChangesOnlyItsFieldAndReplacesTheFile) {
  struct Case {
    const char* name;
    brindlecast_status (*call)(const char*);
    bool InstallState::*field;
  };
  const std::vector<Case> cases = {
      {"started_ok", confirm_trial, &InstallState::started_ok},
      {"relaunch_intent", brindlecast_set_relaunch_intent, &InstallState::relaunch_intent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(save_state(state_path(), trial_state(), testing::writer_lock(root())));
    const ino_t before = inode_of(state_path());
    // What killed saves left goes; the launcher's name is never written
    // through (the second time a directory, which such a save fails on).
    const bool first = &c == &cases[0];
    write_file(root_ / "state.json.tmp-99-0", "killed");
    first ? write_file(root_ / "state.json.tmp", "killed") : testing::make_dirs(root_ / "state.json.tmp");

    ASSERT_EQ(c.call(root()), BRINDLECAST_OK) << brindlecast_last_error();
    InstallState expected = trial_state();
    expected.*c.field = true;
    EXPECT_EQ(stored(), expected);
    // Written through a temporary file and renamed, in the launcher's layout.
    EXPECT_NE(inode_of(state_path()), before);
    EXPECT_FALSE(file_exists(root_ / "state.json.tmp-99-0"));
    EXPECT_EQ(file_exists(root_ / "state.json.tmp"), !first);
    EXPECT_EQ(read_file_or_die(state_path()).substr(0, 2), "{\n");
    EXPECT_EQ(read_file_or_die(state_path()).back(), '}');

    // Setting a mark that is already set leaves the file alone.
    const ino_t after = inode_of(state_path());
    ASSERT_EQ(c.call(root()), BRINDLECAST_OK);
    EXPECT_EQ(inode_of(state_path()), after);
  }
}

TEST_F(ClientApi, BeginTrialStartsAFreshTrialAndKeepsTheRollbackTarget) {
  InstallState before = trial_state();
  before.failed_starts = 2;
  before.started_ok = true;
  before.relaunch_intent = true;
  ASSERT_TRUE(save_state(state_path(), before, testing::writer_lock(root())));
  install_slot("3.0.0");

  ASSERT_EQ(brindlecast_begin_trial(root(), "3.0.0", "3.0.0+build.7"), BRINDLECAST_OK)
      << brindlecast_last_error();
  InstallState expected = before;
  expected.active = "3.0.0";
  expected.pending = "3.0.0";
  expected.versions["3.0.0"] = "3.0.0+build.7";
  expected.failed_starts = 0;   // the earlier trial's starts do not count
  expected.started_ok = false;  // nor does a confirmation the new version never gave
  EXPECT_EQ(stored(), expected);

  // An unknown version is recorded as null, replacing what was there.
  ASSERT_EQ(brindlecast_begin_trial(root(), "3.0.0", nullptr), BRINDLECAST_OK);
  EXPECT_EQ(stored().versions.at("3.0.0"), std::nullopt);
  EXPECT_EQ(stored().versions.at("1.0.0"), "1.0.0");
}

// Every text a writer stores must be UTF-8, and a slot one name the launcher
// can join; a refusal names the argument and writes nothing.
TEST_F(ClientApi, RefusedTextsWriteNothing) {
  // Each refused name would lead to an existing client file if it were joined
  // as a path, so only the name rule can refuse it.
  const std::string elsewhere = root_ / "elsewhere";
  for (const std::string& path :
       {root_ / "brindlecast-client", root_ / "slots/brindlecast-client",
        root_ / "slots/a/b/brindlecast-client", elsewhere + "/brindlecast-client"}) {
    write_file(path, "", 0755);
  }
  for (const char* slot : {"3.0.0", "...", "a b", ".x", "v\xc3\xa9"}) install_slot(slot);
  testing::make_dirs(root_ / "slots/5.0.0/brindlecast-client");

  // Each call as a Status, so the C calls and the C++ layer read alike.
  const auto status = [](brindlecast_status s) {
    return client::Status{s, s ? brindlecast_last_error() : ""};
  };
  using Call = std::function<client::Status(const char* root, const std::string& text)>;
  const Call slot = [&](auto r, const auto& t) {
    return status(brindlecast_begin_trial(r, t.c_str(), "9.9.9"));
  };
  const Call version = [&](auto r, const auto& t) {
    return status(brindlecast_begin_trial(r, "3.0.0", t.c_str()));
  };
  const Call channel = [&](auto r, const auto& t) {
    return status(brindlecast_init(r, "3.0.0", "1", t.c_str()));
  };
  // Through the C API a NUL would end the text: the C++ layer refuses it.
  const Call cpp_slot = [](auto r, const auto& t) { return client::begin_trial(t, "9.9.9", r); };
  const auto name = [](const std::string& slot, const char* why) { return "slot \"" + slot + "\" " + why; };
  constexpr const char* kNotAName = "is not a single directory name";
  constexpr const char* kDot = "begins with \".\", which only the tools' own names do";
  const std::string no_client = "holds no brindlecast-client file in the install root " + root_.path();
  struct Case {
    Call call;
    std::string text;
    std::string message;  // "" when accepted
  };
  // clang-format off
  const std::vector<Case> cases = {
      {slot, "3.0.0", ""},        {slot, "a b", ""},
      {slot, "v\xc3\xa9", ""},    {version, "2.0\xc3\xa9", ""},
      {slot, "v\xe9", "slot \"v\xef\xbf\xbd\" is not valid UTF-8"},
      {version, "2.0\xff", "version \"2.0\xef\xbf\xbd\" is not valid UTF-8"},
      {channel, "\xc3", "channel \"\xef\xbf\xbd\" is not valid UTF-8"},
      {slot, "", name("", kNotAName)},  {slot, "a/b", name("a/b", kNotAName)},
      {slot, elsewhere, name(elsewhere, kNotAName)},
      {cpp_slot, std::string("3.0.0\0/x", 8), "slot holds a NUL byte"},
      {slot, ".x", name(".x", kDot)},   {slot, ".", name(".", kDot)},
      {slot, "..", name("..", kDot)},   {slot, "...", name("...", kDot)},
      {slot, "4.0.0", name("4.0.0", no_client.c_str())},  // no slot directory
      {slot, "5.0.0", name("5.0.0", no_client.c_str())},  // brindlecast-client is a directory
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(save_state(state_path(), trial_state(), testing::writer_lock(root())));
    const std::string bytes = read_file_or_die(state_path());
    const client::Status result = c.call(root(), c.text);
    EXPECT_EQ(result.message, c.message);
    if (c.message.empty()) {
      EXPECT_EQ(result.code, BRINDLECAST_OK);
      EXPECT_NE(read_file_or_die(state_path()), bytes);
    } else {
      EXPECT_EQ(result.code, BRINDLECAST_ERR_INVALID_ARGUMENT);
      EXPECT_EQ(read_file_or_die(state_path()), bytes);
    }
  }
  EXPECT_EQ(brindlecast_begin_trial(root(), nullptr, "1.0.0"), BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_STREQ(brindlecast_last_error(), "no slot was given");
}

// Every call on a state.json it cannot decode: a clear error, the file untouched.
TEST_F(ClientApi, MalformedStateIsReportedAndNeverWritten) {
  install_slot("3.0.0");
  struct Document {
    const char* bytes;
    const char* message;
  };
  const std::vector<Document> documents = {
      {"", "state.json is malformed: EOF while parsing a value at line 1 column 0"},
      {"{", "state.json is malformed: EOF while parsing an object at line 1 column 1"},
      {R"({"active":"a","known_good":"a"})",
       "state.json is malformed: missing field `channel` at line 1 column 31"},
      {R"({"active":"a","known_good":"a","channel":"c","started_ok":1})",
       "state.json is malformed: invalid type: integer `1`, expected a boolean at line 1 column 59"},
  };
  struct Call {
    const char* name;
    brindlecast_status (*run)(const char* root);
  };
  const std::vector<Call> calls = {
      {"read",
       [](const char* r) {
         // A stale pointer in the output must be replaced by NULL.
         static char stale;
         brindlecast_state* s = reinterpret_cast<brindlecast_state*>(&stale);
         const brindlecast_status status = brindlecast_read_state(r, &s);
         EXPECT_EQ(s, nullptr);
         return status;
       }},
      {"confirm_start", confirm_trial},
      {"set_relaunch_intent", brindlecast_set_relaunch_intent},
      {"abort_trial", brindlecast_abort_trial},
      {"begin_trial", [](const char* r) { return brindlecast_begin_trial(r, "3.0.0", "3.0.0"); }},
  };
  for (const auto& doc : documents) {
    for (const auto& call : calls) {
      SCOPED_TRACE(std::string(call.name) + " on " + doc.bytes);
      write_file(state_path(), doc.bytes);
      const ino_t inode = inode_of(state_path());
      EXPECT_EQ(call.run(root()), BRINDLECAST_ERR_INVALID_DATA);
      EXPECT_STREQ(brindlecast_last_error(), doc.message);
      EXPECT_EQ(read_file_or_die(state_path()), doc.bytes);
      EXPECT_EQ(inode_of(state_path()), inode);
      EXPECT_FALSE(file_exists(root_ / "state.json.tmp"));
    }
  }
}

TEST_F(ClientApi, MissingStateOrRootIsNotFoundAndCreatesNothing) {
  ASSERT_EQ(::unlink(state_path().c_str()), 0);
  EXPECT_EQ(confirm_trial(root()), BRINDLECAST_ERR_NOT_FOUND);
  EXPECT_EQ(std::string(brindlecast_last_error())
                .rfind("cannot read state.json in the install root " + root_.path() + ": ", 0),
            0u)
      << brindlecast_last_error();
  EXPECT_NE(std::string(brindlecast_last_error()).find("(os error 2)"), std::string::npos);
  EXPECT_FALSE(file_exists(state_path()));
  EXPECT_FALSE(file_exists(root_ / "state.json.tmp"));

  const std::string gone = root_ / "no/such/root";
  EXPECT_EQ(brindlecast_set_relaunch_intent(gone.c_str()), BRINDLECAST_ERR_NOT_FOUND);
  EXPECT_FALSE(file_exists(root_ / "no"));
}

TEST_F(ClientApi, FailedSaveLeavesStateAloneAndNoFileBehind) {
  // A file size limit fails the write, also as root; in a child, so the limit
  // ends with it.
  const std::string bytes = read_file_or_die(state_path());
  EXPECT_TRUE(testing::in_child([&] {
    const rlimit small{64, 64};
    ::signal(SIGXFSZ, SIG_IGN);
    return ::setrlimit(RLIMIT_FSIZE, &small) == 0 && confirm_trial(root()) == BRINDLECAST_ERR_OTHER &&
           brindlecast_last_error() == "cannot save state.json: " + os_error_text(EFBIG);
  }));
  EXPECT_EQ(read_file_or_die(state_path()), bytes);
  const auto names = std::filesystem::directory_iterator(root_.path());
  EXPECT_EQ(std::distance(begin(names), end(names)), 2) << "only slots/ and state.json";
}

TEST_F(ClientApi, NullRootMeansTheRootTheLauncherGave) {
  const char* saved = std::getenv("BRINDLECAST_INSTALL_ROOT");
  const std::string previous = saved ? saved : "";

  ASSERT_EQ(::setenv("BRINDLECAST_INSTALL_ROOT", root(), 1), 0);
  EXPECT_EQ(confirm_trial(nullptr), BRINDLECAST_OK) << brindlecast_last_error();
  EXPECT_TRUE(stored().started_ok);

  ASSERT_EQ(::unsetenv("BRINDLECAST_INSTALL_ROOT"), 0);
  EXPECT_EQ(brindlecast_set_relaunch_intent(nullptr), BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_STREQ(brindlecast_last_error(), "no install root: pass one or set BRINDLECAST_INSTALL_ROOT");
  brindlecast_state* state = nullptr;
  EXPECT_EQ(brindlecast_read_state(nullptr, &state), BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(state, nullptr);
  EXPECT_FALSE(stored().relaunch_intent);

  if (saved) ::setenv("BRINDLECAST_INSTALL_ROOT", previous.c_str(), 1);
}

TEST_F(ClientApi, LastErrorBelongsToTheCallingThreadAndClearsOnSuccess) {
  const std::string gone = root_ / "gone";
  ASSERT_EQ(confirm_trial(gone.c_str()), BRINDLECAST_ERR_NOT_FOUND);
  const std::string mine = brindlecast_last_error();
  std::string other;
  std::thread([&] {
    EXPECT_EQ(brindlecast_begin_trial(root(), "", nullptr), BRINDLECAST_ERR_INVALID_ARGUMENT);
    other = brindlecast_last_error();
  }).join();
  EXPECT_EQ(brindlecast_last_error(), mine);
  EXPECT_NE(other, mine);
  ASSERT_EQ(confirm_trial(root()), BRINDLECAST_OK);
  EXPECT_STREQ(brindlecast_last_error(), "");
}

// prune reports once the writers' lock is released: each report may call
// the library at once, and a nested call that failed is no error of prune's.
TEST_F(ClientApi, PruneReportsMayCallTheLibrary) {
  install_slot("old");
  testing::make_dirs(root_ / "slots/.brindlecast-prune-1-0-0");
  const int held = ::open((root_ / "slots/.brindlecast-prune-1-0-0").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_SH), 0);  // another prune's: a notice
  static std::vector<std::string> seen;
  static const auto call = [](std::string what, void* root) {
    if (brindlecast_set_relaunch_intent(static_cast<char*>(root)) != BRINDLECAST_OK) what += ": not written";
    if (brindlecast_begin_trial(static_cast<char*>(root), "", nullptr) != BRINDLECAST_ERR_INVALID_ARGUMENT) {
      what += ": not refused";
    }
    seen.push_back(what);
  };
  const brindlecast_prune_reports reports{
      [](const char* slot, void* root) { call(std::string("removed ") + slot, root); },
      [](const char* slot, int64_t, int, void* root) { call(std::string("young ") + slot, root); },
      [](const char* line, void* root) { call(line, root); }, const_cast<char*>(root())};
  for (const int64_t min_age : {3600, 0}) {
    EXPECT_EQ(brindlecast_prune_reporting(root(), 0, min_age, &reports), BRINDLECAST_OK);
    EXPECT_STREQ(brindlecast_last_error(), "");
  }
  const std::string left = "left slots/.brindlecast-prune-1-0-0: another process holds it";
  EXPECT_EQ(seen, (std::vector<std::string>{"young old", left, "removed old", left}));
  ::close(held);
}

// The lock ends with its call: a child forked meanwhile does not keep it, nor
// does a helper that got it after its caller gave up, and timed-out calls add
// no more than one waiting helper.
TEST_F(ClientApi, TheLockEndsWithItsCall) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready) | ::pipe(release), 0);
  const auto child = [&](bool holds) {  // ready once it holds the lock, if asked; ends with release
    const pid_t pid = fork();
    if (pid == 0) {
      ::close(release[1]);
      char c;
      const bool held = !holds || ::flock(::open(root(), O_RDONLY | O_DIRECTORY), LOCK_EX) == 0;
      _exit(held && ::write(ready[1], "x", 1) == 1 && ::read(release[0], &c, 1) == 0 ? 0 : 1);
    }
    char c;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    return pid;
  };
  const auto lock_free = [&] {
    const int fd = ::open(root(), O_RDONLY | O_DIRECTORY);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
  };
  const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/dev/fd"), {}); };
  std::vector<pid_t> children;
  {
    auto lock = lock_install_root(root(), kHelperThreadWait);
    ASSERT_TRUE(lock && lock->held());
    children.push_back(child(false));
  }
  EXPECT_TRUE(lock_free()) << "a forked child kept the lock";
  ::kill(children[0], SIGKILL);
  children.push_back(child(true));
  const LockWait brief{std::chrono::milliseconds(20), block_on_helper_thread};
  EXPECT_FALSE(lock_install_root(root(), brief));
  const auto helpers = descriptors();
  EXPECT_FALSE(lock_install_root(root(), brief));
  EXPECT_EQ(descriptors(), helpers) << "a second waiting helper";
  children.push_back(child(false));  // shares the waiting helper's descriptor
  ::kill(children[1], SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!lock_free() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(lock_free()) << "a helper kept the lock it got too late";
  for (const int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
}

TEST_F(ClientApi, ReadStateWithoutAnOutputIsRefused) {
  EXPECT_EQ(brindlecast_read_state(root(), nullptr), BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_STRNE(brindlecast_last_error(), "");
}

// The launcher acts on what the library writes: a trial is counted, a
// relaunch is not, a confirmation commits.
TEST_F(ClientApi, TheLauncherFollowsTheMarks) {
  InstallState confirmed;
  confirmed.active = confirmed.known_good = "1.0.0";
  confirmed.channel = "stable";
  ASSERT_TRUE(save_state(state_path(), confirmed, testing::writer_lock(root())));
  install_slot("1.0.0");
  install_slot("2.0.0");
  auto start = [&] {
    auto r = testing::run_process(
        {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "systemd"});
    EXPECT_EQ(r.status, 0) << r.err;
  };

  ASSERT_EQ(brindlecast_begin_trial(root(), "2.0.0", "2.0.0"), BRINDLECAST_OK);
  ASSERT_EQ(brindlecast_set_relaunch_intent(root()), BRINDLECAST_OK);
  start();
  EXPECT_EQ(stored().failed_starts, 0u);
  EXPECT_EQ(stored().pending, "2.0.0");
  start();
  EXPECT_EQ(stored().failed_starts, 1u);
  ASSERT_EQ(confirm_trial(root()), BRINDLECAST_OK);
  start();
  const InstallState after = stored();
  EXPECT_EQ(after.known_good, "2.0.0");
  EXPECT_EQ(after.active, "2.0.0");
  EXPECT_EQ(after.pending, std::nullopt);
  EXPECT_EQ(after.failed_starts, 0u);
  EXPECT_EQ(after.versions.at("2.0.0"), "2.0.0");

  // An abort leaves the record the launcher's rollback leaves, and the next
  // start runs known_good without a save.
  install_slot("3.0.0");
  ASSERT_EQ(brindlecast_begin_trial(root(), "3.0.0", "3.0.0"), BRINDLECAST_OK);
  start();
  start();
  const std::string failing = read_file_or_die(state_path());
  start();
  const InstallState rolled_back = stored();
  write_file(state_path(), failing);
  ASSERT_EQ(brindlecast_abort_trial(root()), BRINDLECAST_OK) << brindlecast_last_error();
  EXPECT_EQ(stored(), rolled_back);
  const std::string aborted = read_file_or_die(state_path());
  start();
  EXPECT_EQ(read_file_or_die(state_path()), aborted);
  EXPECT_EQ(client::abort_trial(root_.path()).code, BRINDLECAST_ERR_INVALID_ARGUMENT);
}

// Two library writers hammer the state while a supervising launcher saves it
// before each of its starts: no call fails, no update is lost.
TEST_F(ClientApi, ConcurrentWritersLoseNothing) {
  InstallState base;
  base.active = base.known_good = "base";
  base.channel = "stable";
  ASSERT_TRUE(save_state(state_path(), base, testing::writer_lock(root())));
  for (const char* slot : {"base", "w1", "w2"}) {
    testing::make_dirs(root_ / ("slots/" + std::string(slot)));
    ASSERT_EQ(::symlink(testing::fake_client_binary().c_str(),
                        (root_ / ("slots/" + std::string(slot) + "/brindlecast-client")).c_str()),
              0);
  }
  const std::string done = root_ / "writers-may-stop";
  std::vector<pid_t> writers;
  for (const char* slot : {"w1", "w2"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int call = 1;; ++call) {
        const std::string version = std::to_string(call);
        if (brindlecast_begin_trial(root(), slot, version.c_str()) != BRINDLECAST_OK) {
          std::fprintf(stderr, "%s, call %d: %s\n", slot, call, brindlecast_last_error());
          _exit(1);
        }
        if (call >= 200 && ::access(done.c_str(), F_OK) == 0) {
          write_file(root_ / (std::string(slot) + ".last"), version);
          _exit(0);
        }
        // A breath between calls, as real clients take: a writer that never
        // lets go would starve the others into their time-out.
        ::usleep(2000);
      }
    }
    writers.push_back(pid);
  }
  std::string plan;
  for (int k = 0; k < 16; ++k) plan += "exit 42\n";
  write_file(root_ / "client.plan", plan + "exit 0\n");
  const auto launched = testing::run_process(
      {testing::launcher_binary(), "--install-root", root_.path(), "--install-method", "process"});
  write_file(done, "");
  EXPECT_EQ(launched.status, 0) << launched.err;
  EXPECT_EQ(launched.err, "");
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer's call failed";
  }
  const InstallState after = stored();
  for (const char* slot : {"w1", "w2"}) {
    EXPECT_EQ(after.versions.at(slot), read_file_or_die(root_ / (std::string(slot) + ".last"))) << slot;
  }
}

}  // namespace
}  // namespace brindlecast
