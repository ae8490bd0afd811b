// The trial history: what became of each version put on trial, kept by the
// writers in <root>/trials.json beside state.json, so that an updater can
// tell a launcher's rollback from an abort or a replacement, and does not
// offer a failed version again by accident.
//
// The launcher neither reads nor writes it: state.json keeps its eight
// fields, and the ends that the launcher makes (a commit, a rollback) are
// found afterwards from the state. Writers append a trial when they begin
// one and record each end they make themselves, under the writers' lock,
// saving the file as state.json is saved, after it. A history that is
// missing, cannot be read, or is not this history never stops a writer:
// the writer sets it aside and begins a new one. It keeps the last
// kTrialsKept trials.
//
// Tests: the Trials rows of tests/state_tool/state_command_e2e_test.cpp and
// tests/client/c_api_test.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"

namespace brindlecast {

enum class Outcome {
  OnTrial,     // still on trial
  Committed,   // confirmed and made known_good
  RolledBack,  // its unconfirmed starts passed the limit (or a writer without a history aborted it)
  Aborted,     // abort-trial ended it
  Replaced,    // another trial began before it was confirmed
  Unknown,     // the state no longer tells
};

struct Trial {
  std::string slot;
  std::optional<std::string> version;
  std::string begun;                       // UTC, as utc_now gives it
  std::string rollback_target;             // known_good when it began
  std::optional<Outcome> outcome;          // the end recorded; none while nothing is
  bool by_launcher = false;                // that end was the launcher's, found later
  std::optional<std::string> ended;        // when the end was recorded
  std::optional<std::string> replaced_by;  // the slot of the trial that replaced it
  std::uint32_t unconfirmed_starts = 0;    // at the recorded end
};

inline constexpr std::size_t kTrialsKept = 50;

std::string trials_path(std::string_view install_root);

// The history, oldest first: empty where there is no file. A file that is
// not a regular file, cannot be read or decoded, or is not a trial history
// is an error saying so.
Result<std::vector<Trial>, Error> load_trials(const std::string& install_root);

// The history as it is saved.
std::string write_trials(const std::vector<Trial>& trials);
Result<std::vector<Trial>, Error> parse_trials(std::string_view text);

// What became of a trial whose end nobody recorded, as the state shows it
// now; last: it is the history's newest, the only one that can be on trial.
Outcome outcome_of(const Trial& trial, const InstallState& state, bool last);

// "on trial", "committed", "rolled back", "aborted", "replaced", "unknown".
const char* outcome_text(Outcome outcome);

// Now, in UTC: 2026-12-08T09:00:00Z.
std::string utc_now();

}  // namespace brindlecast
