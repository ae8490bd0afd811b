#include "state/policy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <utime.h>

#include <limits>

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
  s.channel = "stable";
  s.pending = "2.0.0";
  return s;
}

TEST(LaunchPolicy, EveryRowOfTheTable) {
  struct Case {
    const char* name;
    bool relaunch, pending, started_ok;
    std::uint32_t failed_before;
    bool changed;
    // Expected afterwards:
    const char* active;
    const char* known_good;
    bool pending_after;
    std::uint32_t failed_after;
  };
  const Case cases[] = {
      // A relaunch clears both marks and touches nothing else, not even a due commit.
      {"relaunch, trial, confirmed", true, true, true, 1, true, "2.0.0", "1.0.0", true, 1},
      {"relaunch, trial, unconfirmed", true, true, false, 2, true, "2.0.0", "1.0.0", true, 2},
      {"relaunch, no trial", true, false, true, 0, true, "2.0.0", "1.0.0", false, 0},
      // Outside a trial the counter is neither raised nor reset.
      {"no trial, confirmed", false, false, true, 7, true, "2.0.0", "1.0.0", false, 7},
      {"no trial, nothing to do", false, false, false, 7, false, "2.0.0", "1.0.0", false, 7},
      {"commit", false, true, true, 2, true, "2.0.0", "2.0.0", false, 0},
      {"first unconfirmed start", false, true, false, 0, true, "2.0.0", "1.0.0", true, 1},
      {"second unconfirmed start", false, true, false, 1, true, "2.0.0", "1.0.0", true, 2},
      {"third is due: rollback", false, true, false, 2, true, "1.0.0", "1.0.0", false, 0},
      {"counter already 5", false, true, false, 5, true, "1.0.0", "1.0.0", false, 0},
      {"counter at its largest value", false, true, false, std::numeric_limits<std::uint32_t>::max(), true,
       "1.0.0", "1.0.0", false, 0},
  };
  for (const auto& c : cases) {
    InstallState s = trial_state();
    s.relaunch_intent = c.relaunch;
    if (!c.pending) s.pending.reset();
    s.started_ok = c.started_ok;
    s.failed_starts = c.failed_before;
    s.versions["2.0.0"] = "2.0.0";
    const InstallState before = s;

    EXPECT_EQ(apply_launch_policy(s), c.changed) << c.name;
    EXPECT_EQ(s.active, c.active) << c.name;
    EXPECT_EQ(s.known_good, c.known_good) << c.name;
    EXPECT_EQ(s.pending.has_value(), c.pending_after) << c.name;
    EXPECT_EQ(s.failed_starts, c.failed_after) << c.name;
    EXPECT_FALSE(s.started_ok) << c.name;
    EXPECT_FALSE(s.relaunch_intent) << c.name;
    EXPECT_EQ(s.channel, before.channel) << c.name;
    EXPECT_EQ(s.versions, before.versions) << c.name;
  }
}

// The one under test, for a lock that is free here: a wait for it is a fault.
Result<std::string, StoreError> prepare_launch(std::string_view root,
                                               const std::optional<std::string>& sibling,
                                               const StoreOps& ops = system_store_ops()) {
  const LockWait fails{kRootLockWait,
                       [](int, const LockWait&) -> Result<LockWaitEnd, int> { return Err(EDEADLK); }};
  return brindlecast::prepare_launch(root, sibling, fails, ops);
}

class PrepareLaunch : public ::testing::Test {
 protected:
  void store(const InstallState& s) { write_file(state_path_, write_install_state(s, json::Layout::Pretty)); }
  InstallState stored() { return *load_state(state_path_); }
  std::string slot(const char* name) { return root_.path() + "/slots/" + name + "/brindlecast-client"; }

  // A client beside a launcher inside an application bundle of that version.
  std::string make_bundle(const std::string& version) {
    const std::string client = bundle_ / "X.app/Contents/MacOS/brindlecast-client";
    write_file(client, "#!/bin/sh\n", 0755);
    write_file(bundle_ / "X.app/Contents/Info.plist",
               "<plist><dict><key>CFBundleShortVersionString</key>\n\t<string>" + version +
                   "</string></dict></plist>");
    return client;
  }

  TempDir root_, bundle_;
  std::string state_path_ = root_ / "state.json";
};

TEST_F(PrepareLaunch, ThreeUnconfirmedStartsRollBack) {
  store(trial_state());
  for (std::uint32_t expected : {1u, 2u}) {
    auto path = prepare_launch(root_.path(), std::nullopt);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, slot("2.0.0"));
    EXPECT_EQ(stored().failed_starts, expected);
  }
  auto path = prepare_launch(root_.path(), std::nullopt);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, slot("1.0.0"));
  const InstallState after = stored();
  EXPECT_EQ(after.active, "1.0.0");
  EXPECT_FALSE(after.pending);
  EXPECT_EQ(after.failed_starts, 0u);
  EXPECT_FALSE(file_exists(root_ / "state.json.tmp"));
}

TEST_F(PrepareLaunch, StartAfterARelaunchIntentIsNotCounted) {
  InstallState s = trial_state();
  s.relaunch_intent = true;
  store(s);
  // The uncounted start, then two counted ones; the third counted rolls back.
  const char* expected_slots[] = {"2.0.0", "2.0.0", "2.0.0", "1.0.0"};
  for (const char* expected : expected_slots) {
    auto path = prepare_launch(root_.path(), std::nullopt);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, slot(expected));
  }
}

TEST_F(PrepareLaunch, UnchangedStateIsNotRewritten) {
  InstallState s = trial_state();
  s.pending.reset();
  // Compact bytes: a rewrite would show as the pretty layout.
  write_file(state_path_, write_install_state(s, json::Layout::Compact));
  const struct utimbuf old_times { 1000000000, 1000000000 };
  ASSERT_EQ(::utime(state_path_.c_str(), &old_times), 0);

  auto path = prepare_launch(root_.path(), std::nullopt);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, slot("2.0.0"));
  EXPECT_EQ(read_file_or_die(state_path_), write_install_state(s, json::Layout::Compact));
  struct stat st {};
  ASSERT_EQ(::stat(state_path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST_F(PrepareLaunch, MissingStateFallsBackToTheSiblingClientOnly) {
  auto no_sibling = prepare_launch(root_.path(), std::nullopt);
  ASSERT_FALSE(no_sibling);
  EXPECT_EQ(no_sibling.error().kind, ErrorKind::NotFound);

  const std::string sibling = make_bundle("1.0.0");
  auto path = prepare_launch(root_.path(), sibling);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, sibling);
  EXPECT_FALSE(file_exists(state_path_));  // no default state is created
}

TEST_F(PrepareLaunch, MalformedStateIsAnErrorEvenWithASibling) {
  write_file(state_path_, "{");
  auto r = prepare_launch(root_.path(), make_bundle("9.0.0"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
  EXPECT_EQ(r.error().message, "EOF while parsing an object at line 1 column 1");
}

TEST_F(PrepareLaunch, NewerSiblingIsStartedAndTheStateLeftAlone) {
  InstallState s = trial_state();
  s.pending.reset();
  s.started_ok = true;
  s.versions["2.0.0"] = "2.0.0";
  store(s);
  const std::string before = read_file_or_die(state_path_);

  const std::string sibling = make_bundle("2.1.0");
  auto path = prepare_launch(root_.path(), sibling);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, sibling);
  EXPECT_EQ(read_file_or_die(state_path_), before);  // started_ok stays set
}

TEST_F(PrepareLaunch, OlderOrEqualSiblingLeavesTheSlotToRun) {
  InstallState s = trial_state();
  s.pending.reset();
  s.started_ok = true;
  s.versions["2.0.0"] = "2.0.0";
  store(s);
  auto path = prepare_launch(root_.path(), make_bundle("2.0.0"));
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, slot("2.0.0"));
  EXPECT_FALSE(stored().started_ok);  // the policy ran and saved
}

TEST_F(PrepareLaunch, FailedSaveRefusesTheStart) {
  store(trial_state());
  const std::string before = read_file_or_die(state_path_);
  const StoreOps failing_rename{system_store_ops().open, system_store_ops().write, system_store_ops().sync,
                                system_store_ops().close, [](const char*, const char*) {
                                  errno = EIO;
                                  return -1;
                                }};
  auto r = prepare_launch(root_.path(), std::nullopt, failing_rename);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message.find("(os error 5)"), std::string::npos);
  EXPECT_EQ(read_file_or_die(state_path_), before);
}

// Without locks another launcher may be writing state.json.tmp (here a
// directory, which a save through that name fails on): a file of its own.
TEST_F(PrepareLaunch, WithoutLocksTheSaveWritesAFileOfItsOwn) {
  store(trial_state());
  testing::make_dirs(root_ / "state.json.tmp");
  const int holder = ::open(root_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const LockWait no_locks{kRootLockWait,
                          [](int, const LockWait&) -> Result<LockWaitEnd, int> { return Err(ENOLCK); }};
  const auto path = prepare_launch(root_.path(), std::nullopt, no_locks);
  EXPECT_TRUE(path) << path.error().message;
  EXPECT_EQ(stored().failed_starts, 1u);
  ::close(holder);
}

}  // namespace
}  // namespace brindlecast
