#include "client/calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "client/locked_state.hpp"
#include "client/thread_wait.hpp"
#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "state/policy.hpp"
#include "state/slots.hpp"
#include "state/store.hpp"

namespace brindlecast {
namespace {

// A refused text as a message shows it: bytes that are not UTF-8 would garble
// the line, and a NUL would end it.
std::string shown(std::string_view text) {
  std::string out = "\"";
  for (const char c : utf8_lossy(text)) out += c == '\0' ? std::string("\\0") : std::string(1, c);
  return out + "\"";
}

// Where a command looked: its root may not be the one the reader thinks of.
std::string in_root(const std::string& install_root) {
  return "the install root " + utf8_lossy(install_root);
}

Error refused(const char* argument, std::string_view text, const char* why) {
  return Error{ErrorKind::InvalidInput, std::string(argument) + " " + shown(text) + " " + why};
}

// Every text a writer stores must be readable by every reader of the file.
Result<Done, Error> check_text(const char* argument, std::string_view text) {
  if (!is_valid_utf8(text)) return Err(refused(argument, text, "is not valid UTF-8"));
  return Done{};
}

}  // namespace

Result<Done, Error> check_version(const std::optional<std::string>& version) {
  return version ? check_text("version", *version) : Done{};
}

// The launcher joins a slot name as one path component; names beginning with
// "." are kept for the tools' own use (prune hides the slots it removes so).
Result<Done, Error> check_slot_name(const std::string& slot) {
  if (auto text = check_text("slot", slot); !text) return text;
  if (slot.empty() || slot.find('/') != std::string::npos || slot.find('\0') != std::string::npos) {
    return Err(refused("slot", slot, "is not a single directory name"));
  }
  if (slot[0] == '.')
    return Err(refused("slot", slot, "begins with \".\", which only the tools' own names do"));
  return Done{};
}

namespace {

// A slot without its executable would only burn a trial's starts on failures
// before the rollback, or leave the launcher nothing to start: refuse it.
// Checked under the lock, so a slot pruned meanwhile is not taken.
Result<Done, Error> check_slot_client(const std::string& install_root, const std::string& slot) {
  struct stat st {};
  const std::string client = entrypoint_path(install_root, slot);
  if (::stat(client.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = "holds no " + std::string(kClientFileName) + " file in " + in_root(install_root);
    return Err(refused("slot", slot, why.c_str()));
  }
  return Done{};
}

// change may refuse with an error; the state is saved only when it changed.
template <class Change>
Result<Done, Error> update_state(const std::string& install_root, Change change) {
  auto locked = read_locked(install_root);
  if (!locked) return locked.forward();
  InstallState updated = locked->state;
  if (auto changed = change(updated); !changed) return changed;
  if (updated == locked->state) return Done{};
  return save_client_state(install_root, updated, locked->lock);
}

}  // namespace

Error with_context(std::string_view context, Error error) {
  error.message = std::string(context) + ": " + error.message;
  return error;
}

Result<LockedState, Error> read_locked(const std::string& install_root) {
  auto lock = lock_install_root(install_root, kHelperThreadWait);
  if (!lock) return lock.forward();
  auto state = read_client_state(install_root);
  if (!state) return state.forward();
  return LockedState{std::move(lock).value(), std::move(state).value()};
}

Result<Done, Error> save_client_state(const std::string& install_root, const InstallState& state,
                                      const RootLock& lock) {
  if (lock.held()) sweep_temp_files(state_path(install_root));
  if (auto done = save_state(state_path(install_root), state, system_store_ops(), TempFile::Own); !done) {
    Error error = std::move(done).error();
    // That message already says what happened; "cannot save" would contradict it.
    if (error.kind == ErrorKind::NotDurable) return Err(std::move(error));
    return Err(with_context("cannot save state.json", std::move(error)));
  }
  return Done{};
}

Result<InstallState, Error> read_client_state(const std::string& install_root) {
  auto state = load_state(state_path(install_root));
  if (!state) {
    Error error = std::move(state).error();
    const std::string context = error.kind == ErrorKind::InvalidData
                                    ? "state.json is malformed"
                                    : "cannot read state.json in " + in_root(install_root);
    return Err(with_context(context, std::move(error)));
  }
  return std::move(state).value();
}

Result<Done, Error> set_relaunch_intent(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) -> Result<Done, Error> {
    s.relaunch_intent = true;
    return Done{};
  });
}

Result<Done, Error> put_on_trial(InstallState& s, const std::string& install_root, const std::string& slot,
                                 const std::optional<std::string>& version) {
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable;
  s.active = slot;
  s.pending = slot;
  s.versions[slot] = version;
  s.failed_starts = 0;
  s.started_ok = false;
  return Done{};
}

Result<Done, Error> abort_trial(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) -> Result<Done, Error> {
    if (!s.pending) return Err(Error{ErrorKind::InvalidInput, "refused: no version is on trial"});
    roll_back(s);
    return Done{};
  });
}

Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version) {
  if (auto valid = check_slot_name(slot); !valid) return valid;
  if (auto valid = check_version(version); !valid) return valid;
  return update_state(install_root,
                      [&](InstallState& s) { return put_on_trial(s, install_root, slot, version); });
}

namespace {

Result<Done, Error> check_first_state(const std::string& slot, const std::optional<std::string>& version,
                                      const std::string& channel) {
  if (auto valid = check_slot_name(slot); !valid) return valid;
  if (auto valid = check_version(version); !valid) return valid;
  return check_text("channel", channel);
}

InstallState first_state(const std::string& slot, const std::optional<std::string>& version,
                         const std::string& channel) {
  InstallState state;
  state.active = state.known_good = slot;
  state.channel = channel;
  state.versions[slot] = version;
  return state;
}

Result<Done, Error> create_first_state(const std::string& install_root, const InstallState& state) {
  if (auto created = create_state(state_path(install_root), state); !created) {
    return Err(with_context("cannot create state.json", std::move(created).error()));
  }
  return Done{};
}

// A second name for state.json, so that the save replacing it takes nothing
// away. Flushed before that save: should the rename of the save reach the
// disk and the link not, a power cut would lose the old bytes.
Result<std::string, Error> keep_broken_state(const std::string& install_root) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string state = state_path(install_root);
  const std::string base = state + ".broken-" + stamp;
  for (int n = 1; n < 100; ++n) {
    std::string kept = n == 1 ? base : base + "-" + std::to_string(n);
    // Flag 0: a link planted at state.json is kept as the link it is.
    if (::linkat(AT_FDCWD, state.c_str(), AT_FDCWD, kept.c_str(), 0) != 0) {
      if (errno == EEXIST) continue;
      Error error = with_context("cannot keep state.json as " + kept, os_error(errno));
      error.message += "; nothing was changed: move it aside, then run init";
      return Err(std::move(error));
    }
    // Only the order matters here: the save's own flush of the directory
    // makes the link durable with the rename.
    if (const int failed = flush_directory(install_root, barrier_sync_file); failed != 0) {
      Error error =
          with_context("kept state.json as " + kept + ", but cannot flush the directory", os_error(failed));
      error.message += "; state.json was not replaced";
      return Err(std::move(error));
    }
    return kept;
  }
  return Err(with_context("cannot keep state.json", os_error(EEXIST)));
}

}  // namespace

Result<Done, Error> init_state(const std::string& install_root, const std::string& slot,
                               const std::optional<std::string>& version, const std::string& channel) {
  if (auto valid = check_first_state(slot, version, channel); !valid) return valid;
  auto lock = lock_install_root(install_root, kHelperThreadWait);
  if (!lock) return lock.forward();
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable;
  struct stat st {};
  if (::lstat(state_path(install_root).c_str(), &st) == 0) {
    return Err(Error{ErrorKind::AlreadyExists, "state.json already exists; init changes nothing"});
  }
  if (lock->held()) sweep_temp_files(state_path(install_root));
  return create_first_state(install_root, first_state(slot, version, channel));
}

Result<std::optional<std::string>, Error> replace_state(const std::string& install_root,
                                                        const std::string& slot,
                                                        const std::optional<std::string>& version,
                                                        const std::string& channel) {
  if (auto valid = check_first_state(slot, version, channel); !valid) return valid.forward();
  auto lock = lock_install_root(install_root, kHelperThreadWait);
  if (!lock) return lock.forward();
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable.forward();
  auto old = load_state(state_path(install_root));
  if (old) {
    return Err(Error{
        ErrorKind::AlreadyExists,
        "state.json can be read; init --replace changes nothing (begin-trial puts a version on trial)"});
  }
  if (old.error().kind == ErrorKind::NotFound) {
    if (lock->held()) sweep_temp_files(state_path(install_root));
    if (auto created = create_first_state(install_root, first_state(slot, version, channel)); !created) {
      return created.forward();
    }
    return std::optional<std::string>{};
  }
  if (old.error().kind != ErrorKind::InvalidData) {
    Error error = with_context("cannot read state.json in " + in_root(install_root), std::move(old).error());
    error.message += "; init --replace replaces only a file it has read and could not decode";
    return Err(std::move(error));
  }
  auto kept = keep_broken_state(install_root);
  if (!kept) return kept.forward();
  if (auto saved = save_client_state(install_root, first_state(slot, version, channel), *lock); !saved) {
    return saved.forward();
  }
  return std::optional<std::string>(std::move(kept).value());
}

Result<Done, Error> confirm_start(const std::string& install_root, const std::string& executable) {
  return update_state(install_root, [&](InstallState& state) -> Result<Done, Error> {
    if (state.pending) {
      const std::string on_trial = entrypoint_path(install_root, state.active);
      struct stat mine {};
      struct stat trial {};
      // A slot name with a NUL would name another file to the system.
      const bool same = on_trial.find('\0') == std::string::npos && ::stat(executable.c_str(), &mine) == 0 &&
                        ::stat(on_trial.c_str(), &trial) == 0 && mine.st_dev == trial.st_dev &&
                        mine.st_ino == trial.st_ino;
      if (!same) {
        return Err(
            Error{ErrorKind::InvalidInput, "refused: " + executable + " is not " + on_trial +
                                               ", the version on trial; only that version can confirm it"});
      }
    }
    state.started_ok = true;
    return Done{};
  });
}

}  // namespace brindlecast
