// The client's side of the install state: the operations a running client,
// an updater or an installer performs on <root>/state.json and its slots.
//
// Each operation loads the file with the state store, changes only the fields
// it names and saves the whole record with the store's atomic, synced
// replacement through a temporary file of its own, holding the install root's
// lock from the load through the save. Every text it stores is valid UTF-8,
// and a slot name is one path component that does not begin with "." (such
// names are the tools' own); anything else is refused (InvalidInput) before
// anything is read or written. A file that cannot be read or decoded is never
// written. Saves are skipped when nothing changed. Nothing is kept between
// calls. Messages say which step failed and name the refused argument; the C
// API in include/brindlecast/client.h is a thin layer over these calls and
// prune (prune.hpp).
//
// Tests: tests/client/c_api_test.cpp and client_hpp_test.cpp, through the C API, and
// tests/state_tool/state_command_e2e_test.cpp, through the command.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/trials.hpp"
#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"
#include "state/root_lock.hpp"

namespace brindlecast {

// What a writer tells as it starts a trial, besides its result.
enum class NoticeKind {
  Committed,  // the trial before, confirmed, was committed first
  Replaced,   // the trial before, unconfirmed, was replaced
  Other,      // anything else worth a line: no failure
};
using Notice = std::function<void(NoticeKind kind, const std::string& line)>;

struct TrialOptions {
  bool retry = false;            // offer a version whose last trial failed
  bool allow_downgrade = false;  // put a version older than known_good's on trial
  Notice notice;                 // may be empty
};

// Loads and decodes <install_root>/state.json.
Result<InstallState, Error> read_client_state(const std::string& install_root);

// Creates the first state.json: active = known_good = slot, the channel, and
// versions {slot: version}. Refused (AlreadyExists) when state.json exists,
// also when it appears meanwhile; the slot is checked as begin_trial does.
Result<Done, Error> init_state(const std::string& install_root, const std::string& slot,
                               const std::optional<std::string>& version, const std::string& channel);

// init_state's work once the lock is held: the slot checked, then the first
// state created where there is none.
Result<Done, Error> create_initial_state(const std::string& install_root, const std::string& slot,
                                         const std::optional<std::string>& version,
                                         const std::string& channel, const RootLock& lock);

// Writes a fresh first state, as init_state would, over a state.json that
// cannot be decoded, after keeping that file as state.json.broken-<UTC time>
// (a hard link, flushed before the replacement: not a byte is lost, also in a
// power cut). Where there is no state.json it is created as by init_state.
// Refused (AlreadyExists) when state.json decodes, and with the error when it
// cannot be read at all: it may be a good file this process may not read.
// Gives the path of the kept file, if one was kept.
Result<std::optional<std::string>, Error> replace_state(const std::string& install_root,
                                                        const std::string& slot,
                                                        const std::optional<std::string>& version,
                                                        const std::string& channel);

// Sets started_ok for the running client, named by its executable (the
// argv[0] the launcher gave it). While a version is on trial the executable
// must be that version's, the same file as slots/<active>/brindlecast-client;
// otherwise InvalidInput and nothing is written, so an old version cannot
// commit a new one it never ran.
Result<Done, Error> confirm_start(const std::string& install_root, const std::string& executable);

// Sets relaunch_intent: the next start is a relaunch and is not counted.
Result<Done, Error> set_relaunch_intent(const std::string& install_root);

// The checks every call makes of a slot name and a version text before it
// reads anything: InvalidInput naming the refused argument.
Result<Done, Error> check_slot_name(const std::string& slot);
Result<Done, Error> check_version(const std::optional<std::string>& version);

// begin_trial's change of a state read under the lock: slot checked to hold
// its client, then put on trial.
Result<Done, Error> put_on_trial(InstallState& state, const std::string& install_root,
                                 const std::string& slot, const std::optional<std::string>& version);

// Rolls a version on trial back now, under the lock, to the very record the
// launcher's rollback writes (policy.hpp's roll_back): the next start runs
// known_good; the history records the trial as aborted. Refused
// (InvalidInput) with nothing written when nothing is on trial.
Result<Done, Error> abort_trial(const std::string& install_root, const Notice& notice = {});

// The history as a writer holds it under the lock: the trials, and why the
// file on disk could not be taken (it is then set aside at the save).
struct TrialLog {
  std::vector<Trial> trials;
  std::optional<std::string> unusable;
};
TrialLog read_trial_log(const std::string& install_root);

// A new trial of slot, on a state and history read under the lock: a trial
// that confirmed its start is committed first, as the launcher's next start
// would (Committed); an unconfirmed one is replaced (Replaced). A version
// whose last trial was rolled back or aborted, or one older than
// known_good's, is refused (InvalidInput) unless options allow it, with
// nothing changed that counts. Then the slot is put on trial as put_on_trial
// does, and the trial added to the history.
// Gives what is to be told once the change is saved.
using Told = std::vector<std::pair<NoticeKind, std::string>>;
Result<Told, Error> start_trial(InstallState& state, TrialLog& log, const std::string& install_root,
                                const std::string& slot, const std::optional<std::string>& version,
                                const TrialOptions& options);

// start_trial's refusals alone, on copies: for a check before the work that
// precedes the trial (an install's copy). Tells nothing.
Result<Done, Error> check_new_trial(const InstallState& state, const TrialLog& log, const std::string& slot,
                                    const std::optional<std::string>& version, const TrialOptions& options);

// Saves the state, then tells notice what start_trial gave, then saves the
// history beside it. The history never fails the call: what keeps it from
// being saved is told to notice.
Result<Done, Error> save_with_trials(const std::string& install_root, const InstallState& state,
                                     TrialLog& log, const RootLock& lock, const Notice& notice,
                                     const Told& told = {});

// Puts slot on trial, as start_trial does: active and pending := slot,
// versions[slot] := version, failed_starts := 0, started_ok := false;
// known_good and relaunch_intent are kept. The slot must hold a
// brindlecast-client file, checked under the lock; otherwise InvalidInput
// and nothing is written.
Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version, const TrialOptions& options = {});

// The history as the state shows it now, newest first, each trial with what
// became of it; a trial on trial that no history names (begun by a writer
// that keeps none) comes first, with only its slot and version. Reads
// without the lock and writes nothing.
struct TrialReport {
  Trial trial;
  Outcome outcome;
  std::uint32_t unconfirmed_starts;  // for one on trial, as the state counts them
  bool recorded;                     // in the history; false for the unnamed trial above
};
Result<std::vector<TrialReport>, Error> report_trials(const std::string& install_root);

}  // namespace brindlecast
