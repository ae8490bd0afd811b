// Kills the launcher at random moments of a launch that saves the state:
// state.json must always be the old record or the new one, whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "state/store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using Clock = std::chrono::steady_clock;

// Starts the launcher on the hand-over road; kills it after `delay` unless
// negative, and reaps it.
void launch_and_kill(const std::string& root, std::chrono::microseconds delay) {
  const pid_t pid = testing::start_process(
      {testing::launcher_binary(), "--install-root", root, "--install-method", "systemd"},
      {std::map<std::string, std::string>{}});
  if (delay.count() >= 0) {
    usleep(static_cast<useconds_t>(delay.count()));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

TEST(CrashAtomicity, KilledLaunchesLeaveTheOldOrTheNewRecord) {
  testing::TempDir root;
  testing::make_dirs(root / "slots/2.0.0");
  ASSERT_EQ(::symlink("/bin/true", (root / "slots/2.0.0/brindlecast-client").c_str()), 0);
  InstallState before;
  before.active = "2.0.0";
  before.known_good = "1.0.0";
  before.channel = "stable";
  before.pending = "2.0.0";
  InstallState after = before;
  after.failed_starts = 1;
  const std::string old_bytes = write_install_state(before, json::Layout::Compact);

  // Kill delays spread over the time a whole launch takes.
  testing::write_file(root / "state.json", old_bytes);
  const auto start = Clock::now();
  launch_and_kill(root.path(), std::chrono::microseconds(-1));
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  ASSERT_EQ(*load_state(root / "state.json"), after);

  std::mt19937 random(20261207);
  std::uniform_int_distribution<long> delay_us(0, whole.count() * 3 / 2);
  int old_seen = 0, new_seen = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 400 && Clock::now() < deadline; ++i) {
    testing::write_file(root / "state.json", old_bytes);
    launch_and_kill(root.path(), std::chrono::microseconds(delay_us(random)));
    auto state = load_state(root / "state.json");
    ASSERT_TRUE(state) << "launch " << i << ": " << state.error().message;
    if (*state == before) {
      ++old_seen;
    } else {
      ASSERT_EQ(*state, after) << "launch " << i;
      ++new_seen;
    }
  }
  // Both outcomes occurred, so kills landed before and after the save.
  RecordProperty("old", old_seen);
  RecordProperty("new", new_seen);
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
}

}  // namespace
}  // namespace brindlecast
