// An install in crash states. The writes, in order:
//   1. a hidden staging directory slots/.brindlecast-install-<random>, held
//      under flock while it is filled, so that no prune takes it for a
//      killed install's (it checks the name still leads to it once locked);
//   2. every file, link and directory of the version into it; on macOS each
//      file and directory ordered by a barrier as it is done, on Linux all of
//      them flushed at once by one syncfs of the file system;
//   3. under the writers' lock: the rename of the staging directory to
//      slots/<slot> (never over anything), then the full flush of slots/;
//   4. state.json saved with the slot on trial (the store flushes it).
// A crash in 1 or 2 leaves a hidden, unlocked directory that the next prune
// or install removes; in 3 the rename is on disk with all it names, or not at
// all; between 3 and 4 a complete slot that no record names, which prune
// removes after its grace period; after 4 a complete slot on trial. --move
// skips 1 and 2: the source's files are made ours and flushed where they
// are, then renamed. An archive is unpacked in 2 instead of copied; a signed
// one is first copied into a private, unlinked file in the staging
// directory while its signature is checked, and only that copy is unpacked.
#include "client/install.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "client/archive.hpp"
#include "client/calls.hpp"
#include "client/install_tree.hpp"
#include "client/locked_state.hpp"
#include "client/prune.hpp"
#include "client/remove_tree.hpp"
#include "client/signature.hpp"
#include "client/thread_wait.hpp"
#include "common/constants.hpp"
#include "common/durability.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "state/slots.hpp"
#include "state/store.hpp"

namespace brindlecast {
namespace {

std::optional<std::string> real_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string out(real);
  ::free(real);
  return out;
}

// Whether inner is outer or lies inside it; both resolved.
bool within(const std::string& inner, const std::string& outer) {
  if (outer == "/") return true;
  return inner.compare(0, outer.size(), outer) == 0 &&
         (inner.size() == outer.size() || inner[outer.size()] == '/');
}

// The staging directory, made, locked and checked to be still ours.
struct Staging {
  std::string name;
  Fd fd;
};

Result<Staging, Error> make_staging(int slots) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    Staging staging{std::string(kInstallStagingPrefix) + random_token(), Fd()};
    if (::mkdirat(slots, staging.name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return Err(with_context("cannot make a staging directory in slots/", os_error(errno)));
    }
    staging.fd = Fd(::openat(slots, staging.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (staging.fd.get() < 0) continue;  // a prune took it for a leftover
    // Until it is locked, a prune may take it for a killed install's: then
    // it fails the lock, or finds the name gone once it has it.
    if (::flock(staging.fd.get(), LOCK_EX | LOCK_NB) != 0 && !flock_unsupported(errno)) {
      continue;
    }
    struct stat now {};
    auto mine = identity_of(staging.fd.get());
    if (mine && ::fstatat(slots, staging.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        identity(now) == *mine) {
      return staging;
    }
  }
  return Err(Error{ErrorKind::Other, "cannot make a staging directory in slots/: it was taken each time"});
}

// Takes a copy back out of sight: under a fresh hidden name, then removed.
void discard(int slots, const std::string& name, int lock_fd) {
  ::flock(lock_fd, LOCK_UN);  // our own lock would keep the remover out
  std::string hidden = name;
  if (name.rfind(kInstallStagingPrefix, 0) != 0) {
    hidden = std::string(kInstallStagingPrefix) + random_token();
    if (::renameat(slots, name.c_str(), slots, hidden.c_str()) != 0) return;
  }
  // A leftover that stays is the next prune's; the failure that led here is the one to report.
  (void)remove_hidden_tree(slots, hidden);
}

Result<Done, Error> has_client(int tree, const std::string& source);

// The source, open: a directory to copy or move, or an archive to unpack.
struct Source {
  Fd fd;
  struct stat st {};
  bool archive() const { return S_ISREG(st.st_mode); }
};

// The checks that refuse before anything is written.
Result<Source, Error> open_source(const std::string& install_root, const std::string& source,
                                  const InstallOptions& options) {
  // Without blocking: a FIFO given as the source must not hang the install.
  Source opened{Fd(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), {}};
  if (opened.fd.get() < 0 || ::fstat(opened.fd.get(), &opened.st) != 0) {
    const int e = errno;
    return Err(refused(os_error(e).kind, source, "cannot be opened: " + os_error_text(e)));
  }
  if (opened.archive()) {
    if (options.move) {
      return Err(refused(ErrorKind::InvalidInput, source,
                         "is a file, which --move cannot rename into a slot; install it without --move"));
    }
    return opened;
  }
  if (!S_ISDIR(opened.st.st_mode)) {
    return Err(refused(ErrorKind::InvalidInput, source, "is neither a directory nor an archive"));
  }
  if (options.public_key) {
    return Err(refused(ErrorKind::InvalidInput, source,
                       "is a directory: with a public key only an archive installs, as only an archive "
                       "carries a signature"));
  }
  struct stat link {};
  if (options.move && ::lstat(source.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    return Err(
        refused(ErrorKind::InvalidInput, source, "is a symbolic link; --move renames a directory itself"));
  }
  const auto real_source = real_path(source);
  const auto real_root = real_path(install_root.empty() ? "." : install_root);
  if (!real_source || !real_root) {
    return Err(with_context(real_root ? "cannot resolve the source" : "cannot resolve the install root",
                            os_error(errno)));
  }
  if (within(*real_root, *real_source)) {
    return Err(refused(ErrorKind::InvalidInput, source, "contains the install root"));
  }
  if (const auto real_slots = real_path(slots_path(install_root));
      real_slots && within(*real_source, *real_slots)) {
    return Err(
        refused(ErrorKind::InvalidInput, source, "is slots/ or lies inside it; install from elsewhere"));
  }
  if (auto client = has_client(opened.fd.get(), source); !client) return client.forward();
  return opened;
}

// A source, or what an archive unpacked, must hold the client the launcher starts.
Result<Done, Error> has_client(int tree, const std::string& source) {
  struct stat client {};
  if (::fstatat(tree, std::string(kClientFileName).c_str(), &client, 0) != 0 || !S_ISREG(client.st_mode)) {
    return Err(
        refused(ErrorKind::InvalidInput, source, "holds no " + std::string(kClientFileName) + " file"));
  }
  return Done{};
}

// The state an install records its trial in; a root without one yet is
// told how to make the first.
Result<InstallState, Error> read_install_state(const std::string& install_root) {
  auto state = read_client_state(install_root);
  if (state || state.error().kind != ErrorKind::NotFound) return state;
  struct stat root {};
  if (::stat(install_root.empty() ? "." : install_root.c_str(), &root) != 0) return state;
  return Err(Error{ErrorKind::NotFound,
                   "the install root " + utf8_lossy(install_root) +
                       " has no state.json yet: install --init makes the first state with this version "
                       "active and known good (or install --no-trial, then init SLOT [VERSION])"});
}

// slots/ open, made when the install root has none yet.
Result<Fd, Error> open_slots(const std::string& install_root) {
  const std::string path = slots_path(install_root);
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT) {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
      return Err(with_context("cannot make slots/", os_error(errno)));
    }
    if (const int failed = flush_directory(install_root, sync_file); failed != 0) {
      return Err(with_context("cannot flush the install root", os_error(failed)));
    }
    fd = Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (fd.get() < 0) return Err(with_context("cannot open slots/", os_error(errno)));
  return fd;
}

// The bytes an archive may fill by default: the file system's free space,
// less what keeps state.json and the history saveable (at least one byte:
// 0 would be no limit at all).
std::uint64_t free_space(int fd) {
  constexpr std::uint64_t kMargin = 16 * 1024 * 1024;
  struct statvfs fs {};
  if (::fstatvfs(fd, &fs) != 0) return std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t free = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
  return free > kMargin ? free - kMargin : 1;
}

Error elsewhere(const std::string& source) {
  return refused(ErrorKind::InvalidInput, source,
                 "is on another file system than slots/, and --move only renames; install without --move to "
                 "copy it");
}

Error slot_exists(const std::string& slot) {
  return Error{ErrorKind::AlreadyExists, "slots/" + utf8_lossy(slot) +
                                             " already exists; install never replaces a slot: install under "
                                             "another name, or let prune remove it once nothing names it"};
}

// What a record of the install finds before the work: a state.json, or
// none for a first install, and a trial start_trial would take. Checked
// again under the lock once the slot is in place.
Result<Done, Error> check_record(const std::string& install_root, const std::string& slot,
                                 const std::optional<std::string>& version, const InstallOptions& options) {
  struct stat st {};
  if (options.init) {
    if (::lstat(state_path(install_root).c_str(), &st) != 0) return Done{};
    return Err(Error{ErrorKind::AlreadyExists,
                     "state.json already exists; install --init makes only the first state: install "
                     "without --init"});
  }
  if (!options.trial) return Done{};
  auto state = read_install_state(install_root);
  if (!state) return state.forward();
  return check_new_trial(*state, read_trial_log(install_root), slot, version, options.trial_options);
}

// The tree to rename into place: a filled staging directory, or the moved
// source itself.
struct Filled {
  std::optional<Staging> staging;
  std::string from;
  int from_dir = AT_FDCWD;
  int fd = -1;  // what was filled or judged, to compare with what the rename placed
  Committed committed;
};

// The publisher's key and the archive's signature, read before anything is
// written.
struct Signer {
  PublicKey key;
  Signature signature;
};

Result<std::optional<Signer>, Error> read_signer(const std::string& source, const InstallOptions& options) {
  if (!options.public_key) return std::optional<Signer>();
  auto key = load_public_key(*options.public_key);
  if (!key) return key.forward();
  auto signature = load_signature(options.signature.value_or(source + ".minisig"));
  if (!signature) return signature.forward();
  if (auto same = check_key(*key, *signature); !same) return same.forward();
  return std::optional<Signer>(Signer{*key, std::move(signature).value()});
}

// Unpacks the archive, a signed one from the private copy its check made.
Result<Done, Error> unpack(const Source& archive, const std::string& source, int into,
                           const std::optional<std::string>& version, const std::optional<Signer>& signer,
                           const InstallOptions& options,
                           const std::function<void(const InstallProgress&)>& progress) {
  const auto report = [&](InstallProgress p) {
    if (progress) progress(p);
  };
  int from = archive.fd.get();
  Fd copy;
  if (signer) {
    // Named for an instant only: then this descriptor alone reaches it.
    const std::string name = ".brindlecast-archive-" + random_token();
    copy = Fd(::openat(into, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (copy.get() < 0 || ::unlinkat(into, name.c_str(), 0) != 0) {
      return Err(with_context("cannot make the private copy of the archive", os_error(errno)));
    }
    const auto size = static_cast<std::uint64_t>(archive.st.st_size);
    auto copied = copy_verified(archive.fd.get(), source, size, copy.get(), signer->key, signer->signature,
                                *version, options.max_bytes != 0 ? options.max_bytes : free_space(into),
                                [&](std::uint64_t bytes) {
                                  report({0, 0, bytes, size});
                                });
    if (!copied) return copied.forward();
    from = copy.get();
  }
  UnpackLimits limits;
  limits.max_bytes = options.max_bytes != 0 ? options.max_bytes : free_space(into);
  auto unpacked = unpack_archive(from, source, into, limits, [&](const UnpackProgress& p) {
    report({p.files, 0, p.bytes, 0});
  });
  if (!unpacked) return unpacked.forward();
  if (auto client = has_client(into, source); !client) {
    client.error().message +=
        " at its top; pack the version's own folder, as tar -C FOLDER -czf ARCHIVE . does";
    return client;
  }
  return Done{};
}

// Fills the staging directory (or, for a move, readies the source), then
// flushes what it wrote.
Result<Filled, Error> fill(int slots, const Source& source_dir, const std::string& source,
                           const Scanned& found, const std::optional<std::string>& version,
                           const std::optional<Signer>& signer, const InstallOptions& options,
                           const std::function<void(const InstallProgress&)>& progress) {
  if (options.move) {
    if (auto mine = take_over_tree(source_dir.fd.get()); !mine) return mine.forward();
    auto committed = commit_tree(source_dir.fd.get());
    if (!committed) return Err(with_context("cannot flush the source", os_error(committed.error())));
    return Filled{std::nullopt, source, AT_FDCWD, source_dir.fd.get(), *committed};
  }
  auto made = make_staging(slots);
  if (!made) return made.forward();
  const int into = made->fd.get();
  Result<Done, Error> done = Done{};
  if (source_dir.archive()) {
    done = unpack(source_dir, source, into, version, signer, options, progress);
  } else {
    done = copy_tree(source_dir.fd.get(), into, found, source, progress);
  }
  auto committed = done ? commit_tree(into) : Err(0);
  if (done && !committed) done = Err(with_context("cannot flush the copy", os_error(committed.error())));
  if (!done) {
    discard(slots, made->name, into);
    return done.forward();
  }
  const std::string name = made->name;
  return Filled{std::move(made).value(), name, slots, into, *committed};
}

// What an install judges before it writes anything: the source open, the
// key its archive must be signed with, and what a tree holds.
struct Checked {
  Source source;
  std::optional<Signer> signer;
  Scanned found;
};

Result<Checked, Error> check_install(const std::string& install_root, const std::string& source,
                                     const std::string& slot, const std::optional<std::string>& version,
                                     const InstallOptions& options) {
  if (auto valid = check_slot_name(slot); !valid) return valid.forward();
  if (auto valid = check_version(version); !valid) return valid.forward();
  if (options.public_key && !version) {
    return Err(Error{ErrorKind::InvalidInput,
                     "a signed archive installs only with its VERSION given, which its signature must name"});
  }
  auto source_fd = open_source(install_root, source, options);
  if (!source_fd) return source_fd.forward();
  auto signer = read_signer(source, options);
  if (!signer) return signer.forward();
  struct stat st {};
  if (::lstat(join_path(slots_path(install_root), slot).c_str(), &st) == 0) return Err(slot_exists(slot));
  if (auto ready = check_record(install_root, slot, version, options); !ready) return ready.forward();
  Checked checked{std::move(source_fd).value(), std::move(signer).value(), {}};
  if (!checked.source.archive()) {
    auto scanned = scan(checked.source.fd.get(), source, options.move);
    if (!scanned) return scanned.forward();
    checked.found = std::move(scanned).value();
  }
  struct stat slots_st {};
  if (options.move && ::stat(slots_path(install_root).c_str(), &slots_st) == 0 &&
      slots_st.st_dev != checked.source.st.st_dev) {
    return Err(elsewhere(source));
  }
  return checked;
}

// Gives the tree at slots/<at> back where it came from, and error with it:
// the staging directory removed, a moved source renamed back. One that
// cannot go back is kept under a name no tool removes, and the error says
// where it lies.
Error give_back(int slots_fd, const Filled& filled, const std::string& at, const std::string& install_root,
                const std::string& source, Error error) {
  if (filled.staging) {
    discard(slots_fd, at, filled.fd);
    return error;
  }
  if (rename_no_replace_at(slots_fd, at.c_str(), AT_FDCWD, source.c_str()) == 0) return error;
  const std::string why = os_error_text(errno);
  std::string lies = at;
  if (const std::string kept = ".brindlecast-kept-" + random_token();
      ::renameat(slots_fd, at.c_str(), slots_fd, kept.c_str()) == 0) {
    lies = kept;
  }
  error.message += "; the source could not be given back (" + why + "): it now lies at " +
                   join_path(slots_path(install_root), lies);
  return error;
}

// What the record of the install starts from, read under the lock: the
// state and history a trial is added to (none for --init or --no-trial).
struct Record {
  std::optional<InstallState> state;
  TrialLog log;
};

Result<Record, Error> read_record(const std::string& install_root, const std::string& slot,
                                  const std::optional<std::string>& version, const InstallOptions& options) {
  Record record;
  if (options.init) {
    if (auto ready = check_record(install_root, slot, version, options); !ready) return ready.forward();
  } else if (options.trial) {
    auto read = read_install_state(install_root);
    if (!read) return read.forward();
    record.log = read_trial_log(install_root);
    record.state = std::move(read).value();
    if (auto ready = check_new_trial(*record.state, record.log, slot, version, options.trial_options);
        !ready) {
      return ready.forward();
    }
  }
  return record;
}

// What killed installs and prunes left. What stays is no failure of this
// install: one held is another install's, at work; one that cannot go is
// told, and the next sweep tries again.
void sweep_leftovers(int slots_fd, const Notice& notice) {
  (void)finish_leftovers(slots_fd, {{}, [&](const std::string& name, const Error& why) {
                                      if (notice) notice(NoticeKind::Other, unfinished(name, why));
                                    }});
}

}  // namespace

Result<Done, Error> install_slot(const std::string& install_root, const std::string& source,
                                 const std::string& slot, const std::optional<std::string>& version,
                                 const InstallOptions& options,
                                 const std::function<void(const InstallProgress&)>& progress) {
  auto checked = check_install(install_root, source, slot, version, options);
  if (!checked) return checked.forward();
  auto slots = open_slots(install_root);
  if (!slots) return slots.forward();
  const int slots_fd = slots->get();
  sweep_leftovers(slots_fd, options.trial_options.notice);
  auto filled =
      fill(slots_fd, checked->source, source, checked->found, version, checked->signer, options, progress);
  if (!filled) return filled.forward();

  // Under the writers' lock, the rename and the record are one step for
  // every other writer, and no prune judges the slot between them.
  auto lock = lock_root(install_root);
  auto record = lock ? read_record(install_root, slot, version, options) : lock.forward();
  if (!record) {
    if (filled->staging) discard(slots_fd, filled->from, filled->fd);
    return record.forward();
  }
  if (rename_tree(filled->committed, filled->from_dir, filled->from.c_str(), slots_fd, slot.c_str()) != 0) {
    const int e = errno;
    if (filled->staging) discard(slots_fd, filled->from, filled->fd);
    if (e == EEXIST || e == ENOTEMPTY) return Err(slot_exists(slot));
    if (e == EXDEV) return Err(elsewhere(source));
    return Err(with_context("cannot rename the new slot into place", os_error(e)));
  }
  const auto undo = [&](Error error) {
    return Err(give_back(slots_fd, *filled, slot, install_root, source, std::move(error)));
  };
  // What was renamed must be what was filled or judged.
  auto mine = identity_of(filled->fd);
  struct stat placed {};
  if (!mine || ::fstatat(slots_fd, slot.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
      identity(placed) != *mine) {
    return undo(refused(ErrorKind::Other, source, "changed while it was installed; nothing was installed"));
  }
  if (const int failed = flush_renames(slots_fd); failed != 0) {
    return undo(with_context("cannot flush slots/, so nothing was installed", os_error(failed)));
  }
  Result<Done, Error> recorded = Done{};
  if (options.init) {
    recorded = create_initial_state(install_root, slot, version, options.channel, *lock);
  } else if (auto& state = record->state) {
    auto told = start_trial(*state, record->log, install_root, slot, version, options.trial_options);
    recorded =
        told ? save_with_trials(install_root, *state, record->log, *lock, options.trial_options.notice, *told)
             : told.forward();
  }
  // A save that is in place but not flushed names the slot: it stays.
  if (!recorded && recorded.error().kind != ErrorKind::NotDurable) return undo(std::move(recorded).error());
  return recorded;
}

}  // namespace brindlecast
