// The header-only C++ layer: the state as a struct, failures as a Status.
#include <gtest/gtest.h>

#include "brindlecast/client.hpp"
#include "state/store.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::TempDir;
using testing::write_file;

TEST(ClientHpp, ReadsTheStateAndReportsFailures) {
  TempDir root;
  write_file(root / "state.json",
             R"({"active":"2.0.0","known_good":"1.0.0","channel":"stable","pending":"2.0.0",)"
             R"("failed_starts":2,"versions":{"2.0.0":"2.0.0","1.0.0":null},"relaunch_intent":true})");
  client::State state;
  const client::Status read = client::read_state(state, root.path());
  ASSERT_TRUE(read) << read.message;
  EXPECT_EQ(read.message, "");
  EXPECT_EQ(state.active, "2.0.0");
  EXPECT_EQ(state.known_good, "1.0.0");
  EXPECT_EQ(state.channel, "stable");
  EXPECT_EQ(state.pending, "2.0.0");
  EXPECT_EQ(state.failed_starts, 2u);
  EXPECT_FALSE(state.started_ok);
  EXPECT_TRUE(state.relaunch_intent);
  const std::map<std::string, std::optional<std::string>> versions = {{"1.0.0", std::nullopt},
                                                                      {"2.0.0", "2.0.0"}};
  EXPECT_EQ(state.versions, versions);

  write_file(root / "state.json", "[]");
  client::State untouched = state;
  const client::Status bad = client::read_state(untouched, root.path());
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.code, BRINDLECAST_ERR_INVALID_DATA);
  EXPECT_EQ(
      bad.message,
      "state.json is malformed: invalid length 0, expected struct InstallState with 8 elements at line 1 "
      "column 2");
  EXPECT_EQ(untouched.active, "2.0.0");  // the output is kept on failure
}

TEST(ClientHpp, CallsReachTheFile) {
  TempDir root;
  for (const char* slot : {"0.9.0", "1.0.0", "2.0.0"}) {
    write_file(root / ("slots/" + std::string(slot) + "/brindlecast-client"), "", 0755);
  }
  ASSERT_TRUE(client::init("1.0.0", "1.0.0", "beta", root.path()));
  EXPECT_EQ(client::init("1.0.0", "1.0.0", "beta", root.path()).code, BRINDLECAST_ERR_EXISTS);
  ASSERT_TRUE(client::begin_trial("2.0.0", std::nullopt, root.path()));
  ASSERT_TRUE(client::confirm_start(root / "slots/2.0.0/brindlecast-client", root.path()));
  ASSERT_TRUE(client::set_relaunch_intent(root.path()));
  // A slot just installed is left by default, and reported with its age.
  std::vector<std::string> removed;
  ASSERT_TRUE(client::prune(removed, false, root.path()));
  EXPECT_EQ(removed, std::vector<std::string>{});
  std::vector<client::YoungSlot> young;
  ASSERT_TRUE(client::prune(removed, young, BRINDLECAST_PRUNE_MIN_AGE, false, root.path()));
  ASSERT_EQ(young.size(), 1u);
  EXPECT_EQ(young[0].slot, "0.9.0");
  EXPECT_LT(young[0].age_seconds, 60);
  EXPECT_EQ(client::prune(removed, young, -1, false, root.path()).code, BRINDLECAST_ERR_INVALID_ARGUMENT);
  ASSERT_TRUE(client::prune(removed, young, 0, false, root.path()));
  EXPECT_EQ(removed, std::vector<std::string>{"0.9.0"});
  auto stored = load_state(root / "state.json");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->active, "2.0.0");
  EXPECT_EQ(stored->known_good, "1.0.0");
  EXPECT_EQ(stored->channel, "beta");
  EXPECT_EQ(stored->pending, "2.0.0");
  EXPECT_TRUE(stored->started_ok);
  EXPECT_TRUE(stored->relaunch_intent);
  EXPECT_EQ(stored->versions.at("1.0.0"), "1.0.0");

  const client::Status refused = client::begin_trial("../2.0.0", "2.0.0", root.path());
  EXPECT_EQ(refused.code, BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(refused.message, "slot \"../2.0.0\" is not a single directory name");

  // install, with its flags: a copy left unrecorded, then a move on trial.
  TempDir download;
  write_file(download / "3.0.0/brindlecast-client", "", 0755);
  client::InstallOptions unrecorded;
  unrecorded.install_root = root.path();
  unrecorded.trial = false;
  ASSERT_TRUE(client::install(download / "3.0.0", "3.0.0", "3.0.0", unrecorded));
  EXPECT_EQ(load_state(root / "state.json")->pending, "2.0.0");
  client::InstallOptions moved;
  moved.install_root = root.path();
  moved.move = true;
  std::vector<std::string> told;
  moved.notice = [&](brindlecast_notice_kind kind, const std::string& line) {
    told.push_back(std::to_string(kind) + " " + line);
  };
  ASSERT_TRUE(client::install(download / "3.0.0", "3.0.1", "3.0.1", moved));
  EXPECT_EQ(load_state(root / "state.json")->pending, "3.0.1");
  EXPECT_FALSE(testing::file_exists(download / "3.0.0"));
  // Its relaunch mark kept the confirmation from counting.
  EXPECT_EQ(told, std::vector<std::string>{
                      "2 replaced the trial of 2.0.0, which had 0 unconfirmed starts and no confirmation"});
  std::vector<client::Trial> trials;
  ASSERT_TRUE(client::read_trials(trials, root.path()));
  ASSERT_EQ(trials.size(), 2u);
  EXPECT_EQ(trials[0].slot, "3.0.1");
  EXPECT_EQ(trials[0].outcome, BRINDLECAST_OUTCOME_ON_TRIAL);
  EXPECT_EQ(trials[1].outcome, BRINDLECAST_OUTCOME_REPLACED);
  EXPECT_EQ(trials[1].replaced_by, "3.0.1");
  write_file(download / "again/brindlecast-client", "", 0755);
  EXPECT_EQ(client::install(download / "again", "3.0.0", std::nullopt, unrecorded).code,
            BRINDLECAST_ERR_EXISTS);
  EXPECT_EQ(brindlecast_install(root.path().c_str(), "x", "4.0.0", nullptr, 1024),
            BRINDLECAST_ERR_INVALID_ARGUMENT);
  EXPECT_STREQ(brindlecast_last_error(), "unknown install flags");
}

}  // namespace
}  // namespace brindlecast
