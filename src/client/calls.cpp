#include "client/calls.hpp"

#include <sys/stat.h>

#include <utility>

#include "common/constants.hpp"
#include "common/paths.hpp"
#include "state/root_lock.hpp"
#include "state/slots.hpp"
#include "state/store.hpp"

namespace brindlecast {
namespace {

// The store's messages name no file; a client author reading one needs to
// know which file and which step.
Error with_context(std::string_view context, Error error) {
  error.message = std::string(context) + ": " + error.message;
  return error;
}

std::string state_path(const std::string& install_root) { return join_path(install_root, "state.json"); }

template <class Change>
Result<Done, Error> update_state(const std::string& install_root, Change change) {
  auto lock = lock_install_root(install_root);
  if (!lock) return Err(std::move(lock).error());
  auto state = read_client_state(install_root);
  if (!state) return Err(std::move(state).error());
  InstallState updated = *state;
  change(updated);
  if (updated == *state) return Done{};
  if (auto saved = save_state(state_path(install_root), updated); !saved) {
    return Err(with_context("cannot save state.json", std::move(saved).error()));
  }
  return Done{};
}

bool is_single_name(const std::string& slot) {
  return !slot.empty() && slot != "." && slot != ".." && slot.find('/') == std::string::npos &&
         slot.find('\0') == std::string::npos;
}

}  // namespace

Result<InstallState, Error> read_client_state(const std::string& install_root) {
  auto state = load_state(state_path(install_root));
  if (!state) {
    Error error = std::move(state).error();
    const char* context =
        error.kind == ErrorKind::InvalidData ? "state.json is malformed" : "cannot read state.json";
    return Err(with_context(context, std::move(error)));
  }
  return std::move(state).value();
}

Result<Done, Error> mark_started_ok(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) { s.started_ok = true; });
}

Result<Done, Error> set_relaunch_intent(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) { s.relaunch_intent = true; });
}

Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version) {
  if (!is_single_name(slot)) {
    return Err(Error{ErrorKind::InvalidInput, "slot \"" + slot + "\" is not a single directory name"});
  }
  // A slot without its executable would only burn the trial's starts on
  // failures before the rollback; refuse it up front.
  struct stat st {};
  const std::string client = entrypoint_path(install_root, slot);
  if (::stat(client.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Err(Error{ErrorKind::InvalidInput,
                     "slot \"" + slot + "\" holds no " + std::string(kClientFileName) + " file"});
  }
  return update_state(install_root, [&](InstallState& s) {
    s.active = slot;
    s.pending = slot;
    s.versions[slot] = version;
    s.failed_starts = 0;
    s.started_ok = false;
  });
}

}  // namespace brindlecast
