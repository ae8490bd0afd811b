// Under the install root's lock, for as long as one ordinary save takes, prune
// decides: an entry of slots/ is kept when the launcher passes through it to
// start active, known_good or pending (same device and inode as a directory
// entered, a link followed or the client reached, resolved one component at a
// time as the system does), when it changed less than the grace period ago
// (an install in progress), or when it holds another file system (left whole).
// The removed slots' versions entries are dropped and saved, and each slot is
// renamed to a hidden name no state can hold (".brindlecast-prune-<pid>-<random>-<n>"),
// then checked to be the very directory judged: a name that a new install
// took meanwhile is given back. The deletion runs after the lock is gone, and
// only once slots/ is flushed: a power cut must not undo a rename whose slot
// is already partly deleted.
//
// The deletion itself is remove_tree.hpp's.
#include "client/prune.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>
#include <utility>
#include <vector>

#include "client/locked_state.hpp"
#include "client/remove_tree.hpp"
#include "common/durability.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "state/slots.hpp"

namespace brindlecast {
namespace {

// The components of path, last first, as a stack to resolve.
void push_components(std::string_view path, std::vector<std::string>& stack) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at && path.substr(at, end - at) != ".") parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  stack.insert(stack.end(), parts.rbegin(), parts.rend());
}

// The target of the link at path, or nothing.
std::optional<std::string> link_target(const std::string& path, off_t size_hint) {
  std::string target(static_cast<std::size_t>(std::max<off_t>(size_hint, 0)) + 1, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) return target.substr(0, static_cast<std::size_t>(n));
    target.resize(target.size() * 2);  // the link grew meanwhile
  }
}

// The most links one path may pass through, as the systems stop a walk
// (32 on macOS, 40 on Linux).
constexpr int kMaxLinks = 40;

// Records what the system passes through to reach path: every directory it
// enters, every link it follows and what it ends at. Each component is
// looked at with lstat and a link's target is resolved from where the link
// stands, so a link anywhere (the slot, the client, a directory between)
// keeps what it leads to. Where the walk fails, so would the launcher: what
// lies past that point protects nothing.
void walk(const std::string& path, std::set<Identity>& kept) {
  std::vector<std::string> todo;
  push_components(path, todo);
  std::string at = !path.empty() && path[0] == '/' ? "/" : ".";  // a path without links
  for (int links = 0; !todo.empty();) {
    const std::string next = join_path(at, todo.back());
    todo.pop_back();
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) return;
    kept.insert(identity(st));
    if (!S_ISLNK(st.st_mode)) {
      at = next;
      continue;
    }
    const auto target = link_target(next, st.st_size);
    if (!target || target->empty() || ++links > kMaxLinks) return;
    if ((*target)[0] == '/') at.assign(1, '/');  // not = "/", which GCC 12 wrongly warns about
    push_components(*target, todo);
  }
}

// What the launcher passes through to start a named slot.
std::set<Identity> reachable(const std::string& install_root, const InstallState& state) {
  std::vector<std::string> names = {state.active, state.known_good};
  if (state.pending) names.push_back(*state.pending);
  std::set<Identity> kept;
  for (const auto& name : names) walk(entrypoint_path(install_root, name), kept);
  return kept;
}

// How long ago st's file changed, by the later of its ctime (which no program
// can set back) and its mtime (which a file system may keep better), and
// whether the mtime lies in the future: then it says nothing (an archive
// from a machine whose clock ran ahead) and the ctime alone counts. The
// age saturates, as the times do.
std::pair<std::chrono::nanoseconds, bool> age(const struct stat& st, std::chrono::nanoseconds now) {
  const FileTimes times = file_times(st);
  const bool future = times.modified > now;
  const auto changed = future ? times.changed : std::max(times.changed, times.modified);
  constexpr auto kZero = std::chrono::nanoseconds(0);
  if (changed >= now) return {kZero, future};
  if (changed < kZero && now > std::chrono::nanoseconds::max() + changed) {
    return {std::chrono::nanoseconds::max(), future};
  }
  return {now - changed, future};
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

// The slots to remove, in byte order, with the identity each was judged by;
// those left for their age; the messages for those left whole; and the
// lines for notice, told once the lock is released.
struct Young {
  std::string name;
  std::chrono::nanoseconds age;
  bool mtime_in_future;
};
// A slot to remove, held open from its judging: its inode cannot be freed,
// so no new directory can take its number while prune acts on it. A link
// is told by its target.
struct Doomed {
  std::string name;
  Identity judged;
  Fd held;
  std::string target;
};
struct Verdict {
  std::vector<Doomed> doomed;
  std::vector<Young> young;
  std::vector<std::string> problems;
  std::vector<std::string> notices;
};

// The one decision, shared by a prune and its dry run.
Result<Verdict, Error> judge(const std::string& install_root, const InstallState& state, const Remover& slots,
                             std::chrono::nanoseconds min_age) {
  auto names = entry_names(slots.slots());
  if (!names) return Err(with_context("cannot list slots", std::move(names).error()));
  const auto kept = reachable(install_root, state);
  const std::string slots_dir = slots_path(install_root);
  // Mount points of the same device as slots/ (bind mounts) show only in the
  // system's table.
  const auto mounts = mount_points();
  std::optional<std::string> resolved;
  if (char* real = ::realpath(slots_dir.c_str(), nullptr)) {
    resolved = real;
    ::free(real);
  }
  const auto now = realtime_now();
  Verdict verdict;
  for (const auto& name : *names) {
    if (name[0] == '.') continue;  // never a slot: the tools' own names
    struct stat st {};
    struct stat target {};
    if (::fstatat(slots.slots(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode))
      continue;  // slots are directories or links; other files stay
    if (kept.count(identity(st))) continue;
    if (S_ISLNK(st.st_mode) && ::fstatat(slots.slots(), name.c_str(), &target, 0) == 0 &&
        kept.count(identity(target))) {
      continue;
    }
    // An install in progress: a slot being filled, or a link just made to
    // name one, before begin-trial names it.
    if (const auto [slot_age, future] = age(st, now); slot_age < min_age) {
      verdict.young.push_back({name, slot_age, future});
      continue;
    }
    std::optional<std::string> mount;
    if (st.st_dev != slots.device()) {
      mount = join_path(slots_dir, name);
    } else if (S_ISDIR(st.st_mode) && mounts && resolved) {
      mount = mount_within(*mounts, join_path(*resolved, name));
    }
    if (mount) {
      verdict.problems.push_back("slots/" + name + " was left whole: another file system is mounted at " +
                                 *mount);
    } else {
      Doomed doomed{name, identity(st), Fd(), ""};
      if (S_ISDIR(st.st_mode)) {
        doomed.held =
            Fd(::openat(slots.slots(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        // Gone or changed since it was looked at: the next prune decides.
        if (doomed.held.get() < 0 || ::fstat(doomed.held.get(), &opened) != 0 ||
            identity(opened) != identity(st)) {
          continue;
        }
      } else {
        doomed.target = link_target(join_path(slots_dir, name), st.st_size).value_or("");
      }
      verdict.doomed.push_back(std::move(doomed));
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

// Under the lock: the versions entries of the doomed slots dropped and
// saved, then each slot hidden, if it is still what was judged. Gives the
// hidden names, slot by slot.
Result<std::vector<std::pair<std::string, std::string>>, Error> hide_doomed(const std::string& install_root,
                                                                            const LockedState& locked,
                                                                            Remover& remover,
                                                                            Verdict& verdict) {
  // Saved before anything moves: a prune killed after the save leaves only
  // unnamed slots, which the next one removes.
  InstallState updated = locked.state;
  for (const auto& doomed : verdict.doomed) updated.versions.erase(doomed.name);
  if (updated != locked.state) {
    if (auto saved = save_client_state(install_root, updated, locked.lock); !saved) return saved.forward();
  }
  std::vector<std::pair<std::string, std::string>> hidden;
  for (const auto& [name, judged, held, target] : verdict.doomed) {
    auto moved = remover.hide(remover.slots(), name);
    if (!moved) {
      verdict.problems.push_back("cannot remove slots/" + name + ": " + moved.error().message);
    } else if (moved->empty()) {
      continue;  // gone meanwhile
    } else if (!remover.is(*moved, judged) ||
               (held.get() < 0 && link_target(join_path(slots_path(install_root), *moved), 0) != target)) {
      verdict.notices.push_back(remover.give_back(*moved, name));
    } else {
      hidden.emplace_back(name, std::move(moved).value());
    }
  }
  return hidden;
}

// The leftovers of killed prunes and installs, and those that others are
// still at work on (they keep their locks).
std::vector<std::string> leftovers(const Remover& remover) {
  std::vector<std::string> found;
  if (auto names = entry_names(remover.slots())) {
    for (auto& name : *names) {
      if (is_leftover_name(name) && !remover.made(name)) found.push_back(std::move(name));
    }
  }
  return found;
}

// Removes the leftovers listed, once slots/ is flushed, going on past each
// that it leaves.
void sweep(Remover& remover, const std::vector<std::string>& left, const LeftoverReports& reports) {
  for (const auto& name : left) {
    auto gone = remover.remove_tree(name);
    if (!gone && reports.failed) reports.failed(name, gone.error());
    if (gone && !*gone && reports.held) reports.held(name);
  }
}

// Deletes what is hidden, and the leftovers: once slots/ is flushed, since
// nothing inside a hidden slot may be deleted before its rename is on disk,
// or a power cut could bring it back, partly deleted, under its own name.
// One flush orders all of them.
void delete_hidden(Remover& remover, const std::vector<std::pair<std::string, std::string>>& hidden,
                   const std::vector<std::string>& left, const PruneReports& reports,
                   std::vector<std::string>& problems) {
  if (hidden.empty() && left.empty()) return;
  if (const int failed = flush_renames(remover.slots()); failed != 0) {
    problems.push_back(
        "cannot flush slots/ (" + os_error_text(failed) +
        "), so nothing was deleted; the removed slots are hidden in slots/, for a later prune");
    return;
  }
  for (const auto& [slot, name] : hidden) {
    if (auto gone = remover.remove_tree(name); gone) {
      if (reports.removed) reports.removed(slot);
    } else {
      problems.push_back("cannot remove all of slots/" + slot + ": " + gone.error().message +
                         "; what is left is hidden in slots/, for a later prune");
    }
  }
  // A leftover that stays is no failure of this prune: another user's, say, waits for that user or root.
  const auto tell = [&](const std::string& line) {
    if (reports.notice) reports.notice(line);
  };
  sweep(remover, left,
        {[&](const std::string& name) { tell("left slots/" + name + ": another process holds it"); },
         [&](const std::string& name, const Error& why) { tell(unfinished(name, why)); }});
}

}  // namespace

Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run,
                                std::chrono::nanoseconds min_age, const PruneReports& reports) {
  std::optional<Remover> remover;
  Verdict verdict;
  std::vector<std::pair<std::string, std::string>> hidden;  // slot, its hidden name
  {
    auto locked = read_locked(install_root);
    if (!locked) return locked.forward();
    const int fd = ::open(slots_path(install_root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) return Done{};  // no slots, nothing to remove
    auto opened = fd < 0 ? Err(os_error(errno)) : with_device(fd);
    if (!opened) return Err(with_context("cannot open slots", std::move(opened).error()));
    remover.emplace(opened->first, opened->second);
    auto judged = judge(install_root, locked->state, *remover, min_age);
    if (!judged) return judged.forward();
    verdict = std::move(judged).value();
    if (!dry_run) {
      auto moved = hide_doomed(install_root, *locked, *remover, verdict);
      if (!moved) return moved.forward();
      hidden = std::move(moved).value();
    }
  }  // the lock is released here: the deletion may take long, and starts the launcher makes wait for nothing
  for (const auto& line : verdict.notices) {
    if (reports.notice) reports.notice(line);
  }
  for (const auto& young : verdict.young) {
    if (reports.young) reports.young(young.name, young.age, young.mtime_in_future);
  }
  if (dry_run) {
    for (const auto& doomed : verdict.doomed) {
      if (reports.removed) reports.removed(doomed.name);
    }
    return outcome(verdict.problems);
  }
  // Listed before the flush, so that it covers the renames that hid them.
  const auto left = leftovers(*remover);
  delete_hidden(*remover, hidden, left, reports, verdict.problems);
  return outcome(verdict.problems);
}

std::string unfinished(const std::string& name, const Error& why) {
  return "cannot finish slots/" + name + ", left by an earlier prune or install: " + why.message;
}

Result<Done, Error> finish_leftovers(int slots, const LeftoverReports& reports) {
  auto opened = with_device(::dup(slots));
  if (!opened) return opened.forward();
  Remover remover(opened->first, opened->second);
  const auto left = leftovers(remover);
  if (left.empty()) return Done{};
  if (const int failed = flush_renames(remover.slots()); failed != 0) {
    return Err(with_context("cannot flush slots/", os_error(failed)));
  }
  sweep(remover, left, reports);
  return Done{};
}

}  // namespace brindlecast
