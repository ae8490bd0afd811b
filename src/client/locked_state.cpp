#include "client/locked_state.hpp"

#include <utility>

#include "client/calls.hpp"
#include "client/thread_wait.hpp"
#include "common/utf8.hpp"
#include "state/store.hpp"

namespace brindlecast {

Error with_context(std::string_view context, Error error) {
  error.message = std::string(context) + ": " + error.message;
  return error;
}

Result<RootLock, Error> lock_root(const std::string& install_root) {
  auto lock = lock_install_root(install_root, kHelperThreadWait);
  if (lock || lock.error().kind == ErrorKind::Busy) return lock;
  return Err(with_context("cannot open the install root " + utf8_lossy(install_root) + " to lock it",
                          std::move(lock).error()));
}

Result<LockedState, Error> read_locked(const std::string& install_root) {
  auto lock = lock_root(install_root);
  if (!lock) return lock.forward();
  auto state = read_client_state(install_root);
  if (!state) return state.forward();
  return LockedState{std::move(lock).value(), std::move(state).value()};
}

Result<Done, Error> save_client_state(const std::string& install_root, const InstallState& state,
                                      const RootLock& lock) {
  sweep_temp_files(state_path(install_root), lock);
  if (auto done = save_state(state_path(install_root), state, lock, system_store_ops(), TempFile::Own);
      !done) {
    Error error = std::move(done).error();
    // That message already says what happened; "cannot save" would contradict it.
    if (error.kind == ErrorKind::NotDurable) return Err(std::move(error));
    return Err(with_context("cannot save state.json", std::move(error)));
  }
  return Done{};
}

}  // namespace brindlecast
