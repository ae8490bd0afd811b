// What doctor judges of an install root on disk, as the launcher and the
// writers would meet it: whether a save of state.json would fail, whether
// the root opens for its lock, whether a client can be started, and who can
// finish a leftover. Each only reads.
//
// Tests: the Doctor rows of tests/state_tool/state_command_e2e_test.cpp,
// which compare doctor's verdicts with what the launcher does.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace brindlecast {

// The name of the user uid, or "uid N".
std::string user_name(uid_t uid);

// Whether the install root opens for reading, and holds locks: where the
// launcher takes the writers' lock.
struct RootLockCheck {
  int open_error = 0;  // 0: it opens
  int lock_error = 0;  // 0: the lock is free; EWOULDBLOCK: another writer holds it
  bool held() const { return open_error == 0 && (lock_error == 0 || lock_error == EWOULDBLOCK); }
};

// Tries the writers' lock without waiting, and lets go at once.
RootLockCheck try_lock(const std::string& root);

// Why the launcher's save of state.json in root (bytes long, written through
// state.json.tmp where it holds the lock) would fail for this process, as
// store.cpp makes it: a new file renamed over the old one. Nothing when it
// would not.
std::optional<std::string> save_problem(const std::string& root, std::size_t bytes, bool shared_temp);

// Why path cannot be started as a program, or nothing when it can.
std::optional<std::string> unusable(const std::string& path);

// The names in dir, "." and ".." among them, in byte order; none where it
// cannot be read.
std::vector<std::string> names_in(const std::string& dir);

// Enough to show a problem, and a bound on the time a huge slot costs.
inline constexpr std::size_t kMostDirectoriesJudged = 10000;

// dir and every directory below it, never through a link: where another
// user could put or replace a file the client loads.
void directories_below(const std::string& dir, std::vector<std::string>& out);

// Who finishes a leftover directory: the remover gives each directory
// this user owns its owner's write and search permission before it empties
// it, so this user finishes one whose directories are all its own, and
// root any. who: "prune", "prune or install"; does: "finishes", "removes".
std::string finisher(const std::string& path, const std::string& who, const std::string& does);

}  // namespace brindlecast
