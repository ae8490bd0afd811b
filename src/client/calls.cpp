#include "client/calls.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

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

Result<Done, Error> saved(const std::string& install_root, const InstallState& state) {
  if (auto done = save_state(state_path(install_root), state); !done) {
    return Err(with_context("cannot save state.json", std::move(done).error()));
  }
  return Done{};
}

// The state, read with the install root's lock held; the lock goes with it.
struct LockedState {
  RootLock lock;
  InstallState state;
};

Result<LockedState, Error> read_locked(const std::string& install_root) {
  auto lock = lock_install_root(install_root);
  if (!lock) return Err(std::move(lock).error());
  auto state = read_client_state(install_root);
  if (!state) return Err(std::move(state).error());
  return LockedState{std::move(lock).value(), std::move(state).value()};
}

template <class Change>
Result<Done, Error> update_state(const std::string& install_root, Change change) {
  auto locked = read_locked(install_root);
  if (!locked) return Err(std::move(locked).error());
  InstallState updated = locked->state;
  change(updated);
  if (updated == locked->state) return Done{};
  return saved(install_root, updated);
}

bool is_single_name(const std::string& slot) {
  return !slot.empty() && slot != "." && slot != ".." && slot.find('/') == std::string::npos &&
         slot.find('\0') == std::string::npos;
}

// A slot without its executable would only burn a trial's starts on failures
// before the rollback, or leave the launcher nothing to start: refuse it.
Result<Done, Error> check_slot(const std::string& install_root, const std::string& slot) {
  if (!is_single_name(slot)) {
    return Err(Error{ErrorKind::InvalidInput, "slot \"" + slot + "\" is not a single directory name"});
  }
  struct stat st {};
  const std::string client = entrypoint_path(install_root, slot);
  if (::stat(client.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Err(Error{ErrorKind::InvalidInput,
                     "slot \"" + slot + "\" holds no " + std::string(kClientFileName) + " file"});
  }
  return Done{};
}

// The names in a directory, sorted, without "." and "..".
Result<std::vector<std::string>, Error> entry_names(int dir) {
  const int fd = ::dup(dir);
  if (fd < 0) return Err(os_error(errno));
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int e = errno;
    ::close(fd);
    return Err(os_error(e));
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int e = errno;
  ::closedir(d);
  if (e != 0) return Err(os_error(e));
  std::sort(names.begin(), names.end());
  return names;
}

// Removes name inside dir and, for a directory, everything in it, through
// descriptors only: a symbolic link anywhere is removed, never followed.
Result<Done, Error> remove_entry(int dir, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Err(os_error(errno));
  if (S_ISDIR(st.st_mode)) {
    const int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (sub < 0) return Err(os_error(errno));
    auto names = entry_names(sub);
    Result<Done, Error> inner = Done{};
    if (!names) inner = Err(std::move(names).error());
    for (const auto& child : names ? *names : std::vector<std::string>{}) {
      if (inner = remove_entry(sub, child); !inner) break;
    }
    ::close(sub);
    if (!inner) return inner;
  }
  if (::unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) return Err(os_error(errno));
  return Done{};
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

Result<Done, Error> set_relaunch_intent(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) { s.relaunch_intent = true; });
}

Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version) {
  if (auto usable = check_slot(install_root, slot); !usable) return usable;
  return update_state(install_root, [&](InstallState& s) {
    s.active = slot;
    s.pending = slot;
    s.versions[slot] = version;
    s.failed_starts = 0;
    s.started_ok = false;
  });
}

Result<Done, Error> init_state(const std::string& install_root, const std::string& slot,
                               const std::optional<std::string>& version, const std::string& channel) {
  if (auto usable = check_slot(install_root, slot); !usable) return usable;
  auto lock = lock_install_root(install_root);
  if (!lock) return Err(std::move(lock).error());
  struct stat st {};
  if (::lstat(state_path(install_root).c_str(), &st) == 0) {
    return Err(Error{ErrorKind::AlreadyExists, "state.json already exists; init changes nothing"});
  }
  InstallState state;
  state.active = state.known_good = slot;
  state.channel = channel;
  state.versions[slot] = version;
  if (auto created = create_state(state_path(install_root), state); !created) {
    return Err(with_context("cannot create state.json", std::move(created).error()));
  }
  return Done{};
}

Result<Done, Error> confirm_start(const std::string& install_root, const std::string& executable) {
  auto locked = read_locked(install_root);
  if (!locked) return Err(std::move(locked).error());
  InstallState& state = locked->state;
  if (state.pending) {
    const std::string on_trial = entrypoint_path(install_root, state.active);
    struct stat mine {}, trial {};
    const bool same = ::stat(executable.c_str(), &mine) == 0 && ::stat(on_trial.c_str(), &trial) == 0 &&
                      mine.st_dev == trial.st_dev && mine.st_ino == trial.st_ino;
    if (!same) {
      return Err(Error{ErrorKind::InvalidInput, "refused: " + executable + " is not " + on_trial +
                                                    ", the version on trial; only that version can confirm it"});
    }
  }
  if (state.started_ok) return Done{};
  state.started_ok = true;
  return saved(install_root, state);
}

Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run,
                                const std::function<void(const std::string&)>& removed) {
  auto locked = read_locked(install_root);
  if (!locked) return Err(std::move(locked).error());
  const InstallState& state = locked->state;
  const std::string slots = join_path(install_root, "slots");
  const int dir = ::open(slots.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (dir < 0 && errno == ENOENT) return Done{};  // no slots, nothing to remove
  if (dir < 0) return Err(with_context("cannot open slots", os_error(errno)));
  auto names = entry_names(dir);
  Result<Done, Error> result = Done{};
  if (!names) result = Err(with_context("cannot list slots", std::move(names).error()));
  for (const auto& name : names ? *names : std::vector<std::string>{}) {
    if (name == state.active || name == state.known_good || name == state.pending) continue;
    // Slots are directories (or links standing for one); other files stay.
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) continue;
    if (!dry_run) {
      if (auto gone = remove_entry(dir, name); !gone) {
        result = Err(with_context("cannot remove slots/" + name, std::move(gone).error()));
        break;
      }
    }
    removed(name);
  }
  ::close(dir);
  return result;
}

}  // namespace brindlecast
