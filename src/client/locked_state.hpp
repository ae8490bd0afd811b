// The read-modify-write that the calls and prune share: the state read under the install root's lock, and
// saved back through a temporary file of the caller's own. For this folder only.
//
// Tests: tests/client/c_api_test.cpp, through the calls.
#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"
#include "state/root_lock.hpp"

namespace brindlecast {

// The store's messages name no file; the caller's context is put before.
Error with_context(std::string_view context, Error error);

// The writers' lock, waited for on a helper thread; a root that cannot be
// opened is an error that names it.
Result<RootLock, Error> lock_root(const std::string& install_root);

// The state, read with the install root's lock held; the lock goes with it.
struct LockedState {
  RootLock lock;
  InstallState state;
};
Result<LockedState, Error> read_locked(const std::string& install_root);

// Saves through a temporary file of this call's own, after sweeping the
// leftovers of killed saves when lock is held for real.
Result<Done, Error> save_client_state(const std::string& install_root, const InstallState& state,
                                      const RootLock& lock);

}  // namespace brindlecast
