// The decision made before every start of the client: which executable to
// run, and what the start means for a version on trial.
//
// A newly installed version (`pending` present) is on trial until the client
// side records `started_ok`; then it is committed as `known_good`. When the
// third unconfirmed start of it is due, the launcher rolls back to
// `known_good` instead. A start that follows a recorded `relaunch_intent` is
// never counted. A client lying beside the launcher (in an application
// bundle) is preferred when its bundle version is newer than the version
// recorded for the active slot. The state is saved only when it changed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/install_state.hpp"
#include "state/root_lock.hpp"
#include "state/store.hpp"

namespace brindlecast {

// A trial is abandoned when the count of unconfirmed starts passes this.
inline constexpr std::uint32_t kRollbackLimit = 2;

// What a start does to the state.
enum class LaunchEffect {
  None,        // nothing on trial and nothing to clear
  Relaunch,    // a requested relaunch: not counted, the marks cleared
  ClearMark,   // nothing on trial: started_ok is cleared
  Commit,      // the version on trial confirmed its start: it becomes known_good
  CountStart,  // one more unconfirmed start of the version on trial
  Rollback,    // the start that passes the limit: known_good runs instead
};

// Applies the trial, commit and rollback rules and says which one acted.
LaunchEffect apply_launch_rules(InstallState& state);

// The same; true when the state changed.
bool apply_launch_policy(InstallState& state);

// The record a trial ends in when it passes the limit: known_good runs next,
// nothing is on trial, and no count or mark of it remains.
void roll_back(InstallState& state);

// The start prepare_launch would make.
struct NextStart {
  std::string executable;
  std::optional<std::string> slot;  // nothing for the client beside the launcher
  LaunchEffect effect = LaunchEffect::None;
};

// Decides the next start as prepare_launch does, from one reading of the
// state (the record, or why it could not be read), and saves nothing: for
// tools that tell what the launcher would do. A slot whose path holds a NUL
// byte fails both, after the save, as a start of a missing client would.
Result<NextStart, StoreError> plan_next_start(std::string_view install_root,
                                              const std::optional<std::string>& sibling_client,
                                              Result<InstallState, StoreError> state);

// The path of the client executable to start next, with the state saved. A
// writer that keeps the install root's lock past the wait is a Busy error.
Result<std::string, StoreError> prepare_launch(std::string_view install_root, const LockWait& wait);

// As above, with the sibling client already looked for and the store's
// system calls given.
Result<std::string, StoreError> prepare_launch(std::string_view install_root,
                                               const std::optional<std::string>& sibling_client,
                                               const LockWait& wait,
                                               const StoreOps& ops = system_store_ops());

}  // namespace brindlecast
