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

// Applies the trial, commit and rollback rules; true when the state changed.
bool apply_launch_policy(InstallState& state);

// The path of the client executable to start next, with the state saved. A
// writer that keeps the install root's lock past the wait is a Busy error.
Result<std::string, StoreError> prepare_launch(std::string_view install_root, const LockWait& wait = {});

// As above, with the sibling client already looked for and the store's
// system calls given.
Result<std::string, StoreError> prepare_launch(std::string_view install_root,
                                               const std::optional<std::string>& sibling_client,
                                               const StoreOps& ops = system_store_ops(), const LockWait& wait = {});

}  // namespace brindlecast
