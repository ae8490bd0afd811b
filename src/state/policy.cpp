#include "state/policy.hpp"

#include <limits>

#include "common/paths.hpp"
#include "state/root_lock.hpp"
#include "state/slots.hpp"

namespace brindlecast {

bool apply_launch_policy(InstallState& state) {
  if (state.relaunch_intent) {
    // The start after a requested relaunch proves nothing and costs nothing.
    state.relaunch_intent = false;
    state.started_ok = false;
    return true;
  }
  if (!state.pending) {
    if (!state.started_ok) return false;
    state.started_ok = false;
    return true;
  }
  if (state.started_ok) {
    state.known_good = state.active;
    state.pending.reset();
    state.failed_starts = 0;
    state.started_ok = false;
    return true;
  }
  // Another writer may have left the counter at its largest value.
  if (state.failed_starts < std::numeric_limits<std::uint32_t>::max()) ++state.failed_starts;
  if (state.failed_starts > kRollbackLimit) {
    state.active = state.known_good;
    state.pending.reset();
    state.failed_starts = 0;
  }
  return true;
}

Result<std::string, StoreError> prepare_launch(std::string_view install_root,
                                               const std::optional<std::string>& sibling_client,
                                               const StoreOps& ops, const LockWait& wait) {
  const std::string state_path = join_path(install_root, "state.json");
  if (sibling_client) {
    if (auto state = load_state(state_path); state && sibling_client_is_newer(*state, *sibling_client)) {
      return *sibling_client;
    }
  }
  // No other writer between the load and the save; released before the
  // client starts.
  auto lock = lock_install_root(std::string(install_root), wait);
  if (!lock) return Err(std::move(lock).error());
  auto state = load_state(state_path);
  if (state && apply_launch_policy(*state)) {
    // The shared name only under a lock that is held: without one, another
    // launcher may be writing it at the same moment. Leftovers of killed
    // library saves are left to the library's next save, which sweeps them:
    // this path runs before every start.
    const TempFile temp = lock->held() ? TempFile::Shared : TempFile::Own;
    if (auto saved = save_state(state_path, *state, ops, temp); !saved) state = Err(std::move(saved).error());
  }
  if (!state) {
    // A missing state is no obstacle to the client beside the launcher.
    if (state.error().kind == ErrorKind::NotFound && sibling_client) return *sibling_client;
    return Err(std::move(state).error());
  }
  return entrypoint_path(install_root, state->active);
}

Result<std::string, StoreError> prepare_launch(std::string_view install_root, const LockWait& wait) {
  return prepare_launch(install_root, find_sibling_client(), system_store_ops(), wait);
}

}  // namespace brindlecast
