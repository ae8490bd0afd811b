// prune: removes the slots nothing can start, and nothing else. How it
// decides, and how its deletion never leaves a slot, is told in prune.cpp.
//
// Tests: the Prune rows of tests/state_tool/state_command_e2e_test.cpp, and
// tests/client/c_api_test.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

// What a prune tells. removed: a slot is gone (or, in a dry run, would go).
// young: a slot left for its age, and whether its mtime lies in the future
// (then its ctime alone counted). notice: one line about something left
// that is no failure. Each is called only once the writers' lock is
// released, so that it may call the library itself.
struct PruneReports {
  std::function<void(const std::string& slot)> removed;
  std::function<void(const std::string& slot, std::chrono::nanoseconds age, bool mtime_in_future)> young;
  std::function<void(const std::string& line)> notice;
};

// Removes every slot (a directory, or a symbolic link) in slots/ that the
// launcher cannot reach through active, known_good or pending, compared by
// device and inode along the way the system resolves those names, link by
// link; other files, and names beginning with ".", stay. A slot that changed
// (its ctime or mtime, to the nanosecond; a link's own; an mtime in the
// future does not count) less than min_age ago stays too, reported to young.
// removed is called with each slot, in byte order, once it is gone; with
// dry_run nothing changes and it is called with each slot that would go,
// decided alike. The lock is held only to decide, drop the removed slots'
// versions entries and move them to hidden names; a name that no longer
// leads to what was judged (a new install took it meanwhile) is given back
// and told to notice. The deletion runs after the lock is gone, and with it
// the sweep of leftovers (as finish_leftovers), which tells notice of each
// it leaves. A slot holding another file system is left whole and
// reported; refuses to act when state.json cannot be read.
Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run,
                                std::chrono::nanoseconds min_age, const PruneReports& reports);

// What a sweep of leftovers left, by name in slots/: held, one that another
// process holds (it is that one's to finish); failed, one that could not be
// removed (say, one of another user), and why.
struct LeftoverReports {
  std::function<void(const std::string& name)> held;
  std::function<void(const std::string& name, const Error& why)> failed;
};

// Removes the leftovers in slots/ (open as slots) of killed prunes and
// installs, once one flush of slots/ has made the renames that hid them
// durable. It goes on past each that it leaves, and tells it to reports;
// it fails only when slots/ cannot be flushed, and then removes nothing.
Result<Done, Error> finish_leftovers(int slots, const LeftoverReports& reports);

// The line that tells of a leftover the sweep could not remove.
std::string unfinished(const std::string& name, const Error& why);

}  // namespace brindlecast
