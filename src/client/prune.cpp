// prune: removes the slots nothing can start, and nothing else.
//
// Under the install root's lock, for as long as one ordinary save takes, it
// decides: an entry of slots/ is kept when the launcher reaches it through
// active, known_good or pending (same device and inode as a directory on the
// path the launcher forms, links followed), and a slot holding another file
// system is left whole. The removed slots' versions entries are dropped and
// saved, and each slot is renamed to a hidden name no state can hold
// (".brindlecast-prune-<pid>-<k>-<n>"). The deletion runs after the lock is gone.
//
// The deletion cannot leave the slot. Each directory is opened relative to
// slots/ with O_DIRECTORY|O_NOFOLLOW and its entries are checked and removed
// relative to that descriptor; a sub-directory is first moved up into slots/
// under a fresh hidden name, and emptied from there. So the tree is
// flattened as it goes: any depth costs no call stack, two descriptors and a
// counter, a link swapped in is only ever unlinked, and anything on another
// device, or a mount point (which cannot be moved), is never entered. A prune
// killed midway leaves hidden directories only; a later prune finishes those
// whose process is gone.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <set>
#include <utility>
#include <vector>

#include "client/calls.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "state/slots.hpp"

namespace brindlecast {
namespace {

constexpr std::string_view kHidden = ".brindlecast-prune-";

using Identity = std::pair<dev_t, ino_t>;

Identity identity(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// A directory stream over fd, which it then owns; fd is closed on failure.
Result<DIR*, Error> dir_stream(int fd) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int e = errno;
    ::close(fd);
    return Err(os_error(e));
  }
  return d;
}

// The names in a directory, sorted, without "." and "..".
Result<std::vector<std::string>, Error> entry_names(int dir) {
  const int fd = ::dup(dir);
  if (fd < 0) return Err(os_error(errno));
  auto stream = dir_stream(fd);
  if (!stream) return Err(std::move(stream).error());
  DIR* d = *stream;
  ::rewinddir(d);  // the copy shares its offset with dir, which may have been read before
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

// What the launcher passes through to start a named slot: every directory on
// the path it forms, and the client itself, links followed. A name that
// leads nowhere protects nothing.
std::set<Identity> reachable(const std::string& install_root, const InstallState& state) {
  std::vector<std::string> names = {state.active, state.known_good};
  if (state.pending) names.push_back(*state.pending);
  std::set<Identity> kept;
  for (const auto& name : names) {
    const std::string path = entrypoint_path(install_root, name);
    for (std::size_t cut = path.find('/', 1);; cut = path.find('/', cut + 1)) {
      struct stat st {};
      if (::stat(path.substr(0, cut).c_str(), &st) == 0) kept.insert(identity(st));
      if (cut == std::string::npos) break;
    }
  }
  return kept;
}

// The first mount point at or below dir, both resolved absolute paths.
std::optional<std::string> mount_within(const std::vector<std::string>& mounts, const std::string& dir) {
  for (const auto& point : mounts) {
    if (point.compare(0, dir.size(), dir) == 0 && (point.size() == dir.size() || point[dir.size()] == '/')) {
      return point;
    }
  }
  return std::nullopt;
}

// The owner of a hidden name of prune's, if it is one.
std::optional<pid_t> hidden_owner(std::string_view name) {
  if (name.substr(0, kHidden.size()) != kHidden) return std::nullopt;
  name.remove_prefix(kHidden.size());
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (ec != std::errc() || pid <= 0 || end == name.data() + name.size() || *end != '-') return std::nullopt;
  return pid;
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

const char* const kForeign = "another file system is mounted inside it; that part was left as it is";

// Removes hidden trees in slots/ by flattening them (see the top).
// Sub-directories wait as hidden entries numbered from next_ down: the newest
// is emptied first, so only the siblings along one path wait at a time.
class Remover {
 public:
  // The names are the process's and this prune's own, also among threads.
  Remover(int slots, dev_t device) : slots_(slots), device_(device) {
    static std::atomic<unsigned long> prunes{0};
    prefix_ = std::string(kHidden) + std::to_string(::getpid()) + "-" + std::to_string(prunes++) + "-";
  }
  Remover(const Remover&) = delete;
  Remover& operator=(const Remover&) = delete;
  ~Remover() { ::close(slots_); }

  int slots() const { return slots_; }
  dev_t device() const { return device_; }

  // Moves dir's entry name to a fresh hidden name in slots/: that name, or ""
  // when the entry has gone meanwhile.
  Result<std::string, Error> hide(int dir, const std::string& name) {
    for (;;) {
      std::string to = hidden(next_++);
      struct stat st {};
      // A dead namesake's leftover stays below and is finished with ours.
      if (::fstatat(slots_, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
      if (::renameat(dir, name.c_str(), slots_, to.c_str()) == 0) return to;
      const int e = errno;
      --next_;
      if (e == ENOENT) return std::string();
      return Err(os_error(e));
    }
  }

  // Removes slots/<name> and everything it holds.
  Result<Done, Error> remove_tree(const std::string& name) {
    const unsigned long base = next_;
    if (auto cleared = clear(name); !cleared) return cleared;
    while (next_ > base) {
      const unsigned long top = next_ - 1;
      const unsigned long before = next_;
      if (auto cleared = clear(hidden(top)); !cleared) return cleared;
      if (next_ == before) next_ = top;  // it held no directory: it is gone
    }
    return Done{};
  }

 private:
  std::string hidden(unsigned long n) const { return prefix_ + std::to_string(n); }

  static Result<Done, Error> unlink_at(int dir, const std::string& name, int flags) {
    if (::unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT) return Done{};
    return Err(os_error(errno));
  }

  // Removes slots/<name>: a file or a link at once; a directory once its
  // files are unlinked and its sub-directories hidden (to be cleared later).
  Result<Done, Error> clear(const std::string& name) {
    struct stat st {};
    if (::fstatat(slots_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? Result<Done, Error>(Done{}) : Err(os_error(errno));
    }
    if (st.st_dev != device_) return Err(Error{ErrorKind::Other, kForeign});
    if (!S_ISDIR(st.st_mode)) return unlink_at(slots_, name, 0);
    const int fd = ::openat(slots_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Err(os_error(errno));
    auto stream = dir_stream(fd);
    if (!stream) return Err(std::move(stream).error());
    DIR* dir = *stream;
    Result<Done, Error> result = Done{};
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || identity(opened) != identity(st)) {
      result = Err(Error{ErrorKind::Other, "it was replaced while being removed"});
    }
    while (result) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) result = Err(os_error(errno));
        break;
      }
      const std::string child = entry->d_name;
      if (child == "." || child == "..") continue;
      struct stat cs {};
      if (::fstatat(fd, child.c_str(), &cs, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) result = Err(os_error(errno));
      } else if (cs.st_dev != device_) {
        result = Err(Error{ErrorKind::Other, kForeign});
      } else if (S_ISDIR(cs.st_mode)) {
        if (auto moved = hide(fd, child); !moved) result = Err(std::move(moved).error());
      } else {
        result = unlink_at(fd, child, 0);
      }
    }
    ::closedir(dir);
    if (!result) return result;
    return unlink_at(slots_, name, AT_REMOVEDIR);
  }

  int slots_;
  dev_t device_;
  std::string prefix_;
  unsigned long next_ = 0;
};

// The slots to remove, in byte order, and the messages for those left whole.
struct Verdict {
  std::vector<std::string> doomed;
  std::vector<std::string> problems;
};

Result<Verdict, Error> judge(const std::string& install_root, const InstallState& state, const Remover& slots) {
  auto names = entry_names(slots.slots());
  if (!names) return Err(with_context("cannot list slots", std::move(names).error()));
  const auto kept = reachable(install_root, state);
  const std::string slots_path = join_path(install_root, "slots");
  // Mount points of the same device as slots/ (bind mounts) show only in the
  // system's table.
  const auto mounts = mount_points();
  std::optional<std::string> resolved;
  if (char* real = ::realpath(slots_path.c_str(), nullptr)) {
    resolved = real;
    ::free(real);
  }
  Verdict verdict;
  for (const auto& name : *names) {
    if (name[0] == '.') continue;  // never a slot: the tools' own names
    struct stat st {}, target {};
    if (::fstatat(slots.slots(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (kept.count(identity(st))) continue;
    } else if (S_ISLNK(st.st_mode)) {
      if (::fstatat(slots.slots(), name.c_str(), &target, 0) == 0 && kept.count(identity(target))) continue;
    } else {
      continue;  // slots are directories or links standing for one; other files stay
    }
    std::optional<std::string> mount;
    if (st.st_dev != slots.device()) {
      mount = join_path(slots_path, name);
    } else if (S_ISDIR(st.st_mode) && mounts && resolved) {
      mount = mount_within(*mounts, join_path(*resolved, name));
    }
    if (mount) {
      verdict.problems.push_back("slots/" + name + " was left whole: another file system is mounted at " + *mount);
    } else {
      verdict.doomed.push_back(name);
    }
  }
  return verdict;
}

Result<Done, Error> outcome(const std::vector<std::string>& problems) {
  if (problems.empty()) return Done{};
  std::string message = problems[0];
  for (std::size_t i = 1; i < problems.size(); ++i) message += "; " + problems[i];
  return Err(Error{ErrorKind::Other, message});
}

}  // namespace

Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run,
                                const std::function<void(const std::string&)>& removed) {
  std::optional<Remover> remover;
  std::vector<std::pair<std::string, std::string>> hidden;  // slot, its hidden name
  std::vector<std::string> problems;
  {
    auto locked = read_locked(install_root);
    if (!locked) return Err(std::move(locked).error());
    const std::string slots_path = join_path(install_root, "slots");
    const int fd = ::open(slots_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) return Done{};  // no slots, nothing to remove
    if (fd < 0) return Err(with_context("cannot open slots", os_error(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const int e = errno;
      ::close(fd);
      return Err(with_context("cannot open slots", os_error(e)));
    }
    remover.emplace(fd, st.st_dev);
    auto verdict = judge(install_root, locked->state, *remover);
    if (!verdict) return Err(std::move(verdict).error());
    problems = std::move(verdict->problems);
    if (dry_run) {
      for (const auto& name : verdict->doomed) removed(name);
      return outcome(problems);
    }
    // Saved before anything moves: a prune killed after the save leaves only
    // unnamed slots, which the next one removes.
    InstallState updated = locked->state;
    for (const auto& name : verdict->doomed) updated.versions.erase(name);
    if (updated != locked->state) {
      if (auto saved = save_client_state(install_root, updated); !saved) return saved;
    }
    for (const auto& name : verdict->doomed) {
      auto moved = remover->hide(remover->slots(), name);
      if (!moved) {
        problems.push_back("cannot remove slots/" + name + ": " + moved.error().message);
      } else if (!moved->empty()) {
        hidden.emplace_back(name, std::move(moved).value());
      }
    }
  }  // the lock is released here: the deletion may take long, and starts the launcher makes wait for nothing
  for (const auto& [slot, name] : hidden) {
    if (auto gone = remover->remove_tree(name); gone) {
      removed(slot);
    } else {
      problems.push_back("cannot remove all of slots/" + slot + ": " + gone.error().message +
                         "; what is left is hidden in slots/, for a later prune");
    }
  }
  // What prunes killed midway left behind.
  auto names = entry_names(remover->slots());
  for (const auto& name : names ? *names : std::vector<std::string>{}) {
    const auto owner = hidden_owner(name);
    if (!owner || *owner == ::getpid() || alive(*owner)) continue;
    if (auto gone = remover->remove_tree(name); !gone) {
      problems.push_back("cannot finish slots/" + name + ", left by an earlier prune: " + gone.error().message);
    }
  }
  return outcome(problems);
}

}  // namespace brindlecast
