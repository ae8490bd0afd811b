#include "state/policy.hpp"

#include <limits>

#include "common/file.hpp"
#include "state/bundle.hpp"
#include "state/root_lock.hpp"
#include "state/slots.hpp"

namespace brindlecast {

LaunchEffect apply_launch_rules(InstallState& state) {
  if (state.relaunch_intent) {
    // The start after a requested relaunch proves nothing and costs nothing.
    state.relaunch_intent = false;
    state.started_ok = false;
    return LaunchEffect::Relaunch;
  }
  if (!state.pending) {
    if (!state.started_ok) return LaunchEffect::None;
    state.started_ok = false;
    return LaunchEffect::ClearMark;
  }
  if (state.started_ok) {
    state.known_good = state.active;
    state.pending.reset();
    state.failed_starts = 0;
    state.started_ok = false;
    return LaunchEffect::Commit;
  }
  // Another writer may have left the counter at its largest value.
  if (state.failed_starts < std::numeric_limits<std::uint32_t>::max()) ++state.failed_starts;
  if (state.failed_starts > kRollbackLimit) {
    roll_back(state);
    return LaunchEffect::Rollback;
  }
  return LaunchEffect::CountStart;
}

void roll_back(InstallState& state) {
  state.active = state.known_good;
  state.pending.reset();
  state.failed_starts = 0;
  state.started_ok = false;
  state.relaunch_intent = false;
}

bool apply_launch_policy(InstallState& state) { return apply_launch_rules(state) != LaunchEffect::None; }

namespace {

// The decision on the state read under the lock, shared by the launcher and
// plan_next_start: the rules applied, the state handed to save when they
// changed it, and what starts.
template <class Save>
Result<NextStart, StoreError> decide(std::string_view install_root, Result<InstallState, StoreError> state,
                                     const std::optional<std::string>& sibling_client, Save save) {
  LaunchEffect effect = LaunchEffect::None;
  if (state && (effect = apply_launch_rules(*state)) != LaunchEffect::None) {
    if (auto saved = save(*state); !saved) state = saved.forward();
  }
  if (!state) {
    // A missing state is no obstacle to the client beside the launcher.
    if (state.error().kind == ErrorKind::NotFound && sibling_client)
      return NextStart{*sibling_client, {}, effect};
    return state.forward();
  }
  std::string executable = entrypoint_path(install_root, state->active);
  // The system takes a path only up to a NUL: it would start another file
  // than the one the slot names.
  if (executable.find('\0') != std::string::npos) {
    return Err(Error{ErrorKind::InvalidInput, std::string(kNulInPathMessage)});
  }
  return NextStart{std::move(executable), state->active, effect};
}

}  // namespace

Result<std::string, StoreError> prepare_launch(std::string_view install_root,
                                               const std::optional<std::string>& sibling_client,
                                               const LockWait& wait, const StoreOps& ops) {
  const std::string path = state_path(install_root);
  if (sibling_client) {
    if (auto state = load_state(path); state && sibling_client_is_newer(*state, *sibling_client)) {
      return *sibling_client;
    }
  }
  // No other writer between the load and the save; released before the
  // client starts.
  auto lock = lock_install_root(std::string(install_root), wait);
  if (!lock) {
    // A root that has vanished is a missing state.json, for which the client
    // beside the launcher may stand in.
    if (lock.error().kind != ErrorKind::NotFound) return lock.forward();
    auto next = decide(install_root, lock.forward(), sibling_client,
                       [](const InstallState&) -> Result<Done, StoreError> { return Done{}; });
    if (!next) return next.forward();
    return std::move(next->executable);
  }
  // Leftovers of killed library saves are left to the library's next save,
  // which sweeps them: this path runs before every start.
  auto next = decide(install_root, load_state(path), sibling_client,
                     [&](const InstallState& state) { return save_state(path, state, *lock, ops); });
  if (!next) return next.forward();
  return std::move(next->executable);
}

Result<NextStart, StoreError> plan_next_start(std::string_view install_root,
                                              const std::optional<std::string>& sibling_client,
                                              Result<InstallState, StoreError> state) {
  if (sibling_client && state && sibling_client_is_newer(*state, *sibling_client)) {
    return NextStart{*sibling_client, {}, LaunchEffect::None};
  }
  return decide(install_root, std::move(state), sibling_client,
                [](const InstallState&) -> Result<Done, StoreError> { return Done{}; });
}

Result<std::string, StoreError> prepare_launch(std::string_view install_root, const LockWait& wait) {
  return prepare_launch(install_root, find_sibling_client(), wait);
}

}  // namespace brindlecast
