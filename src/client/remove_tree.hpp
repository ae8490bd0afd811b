// Removing a hidden tree in slots/ safely, for prune and install.
//
// The deletion cannot leave the slot. Each directory is opened relative to
// slots/ with O_DIRECTORY|O_NOFOLLOW and locked (flock), and its entries are
// checked and removed relative to that descriptor; a sub-directory is first
// moved up into slots/ under a fresh hidden name, and emptied from there. So
// the tree is flattened as it goes: any depth costs no call stack, two
// descriptors and a counter, a link swapped in is only ever unlinked, and
// anything on another device, or a mount point (which cannot be moved), is
// never entered. Every hidden directory is doomed, so whoever takes its lock
// may finish it: a prune killed midway leaves hidden directories without a
// lock, which the next prune finishes; one that is being emptied is locked,
// and left to its prune. An install's staging directory is locked while it
// is filled, and a killed install's is finished the same way. A directory of
// ours without our write or search permission (a read-only version) gets
// them first, on the descriptor that was opened without following a link
// and checked to lie on slots/'s mount; another user's is left, and said to
// be.
//
// Tests: the Prune and Install rows of tests/state_tool/state_command_e2e_test.cpp.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"

namespace brindlecast {

// How the names of the slots a prune is deleting begin, in slots/.
inline constexpr std::string_view kPruneHiddenPrefix = ".brindlecast-prune-";
// How the names of the directories an install is filling begin, in slots/.
inline constexpr std::string_view kInstallStagingPrefix = ".brindlecast-install-";

// Whether an entry of slots/ is a prune's hidden tree or an install's
// staging directory: never a slot, and doomed once no process holds its lock.
bool is_leftover_name(std::string_view name);

// fd, a directory this call now owns, with the device it lies on; fd is
// closed where it cannot be looked at.
Result<std::pair<int, dev_t>, Error> with_device(int fd);

// The names in the directory open as dir, sorted, without "." and "..".
Result<std::vector<std::string>, Error> entry_names(int dir);

// Removes hidden trees in slots/ by flattening them (see the top).
// Sub-directories wait as hidden entries numbered from next_ down: the newest
// is emptied first, so only the siblings along one path wait at a time.
class Remover {
 public:
  // Owns slots, which lies on device. The names it makes are its own: random
  // bytes tell them apart from those of a prune with the same PID in another
  // PID namespace, or a killed one whose PID came round again.
  Remover(int slots, dev_t device);
  Remover(const Remover&) = delete;
  Remover& operator=(const Remover&) = delete;
  ~Remover();

  int slots() const { return slots_; }
  dev_t device() const { return device_; }
  // Whether name is one of this remover's own hidden names.
  bool made(std::string_view name) const { return name.substr(0, prefix_.size()) == prefix_; }

  // Whether slots/<name> is the directory or link whose identity was judged.
  bool is(const std::string& name, Identity judged) const;

  // Puts back under slot what hide moved to name, never over anything: the
  // line that says so. Should slot be taken yet again, it is kept under a
  // name no tool removes.
  std::string give_back(const std::string& name, const std::string& slot);

  // Moves dir's entry name to a fresh hidden name in slots/: that name, or ""
  // when the entry has gone meanwhile.
  Result<std::string, Error> hide(int dir, const std::string& name);

  // Removes slots/<name> and everything it holds: false when another
  // process holds it, and it is left to that one.
  Result<bool, Error> remove_tree(const std::string& name);

 private:
  enum class Take { Taken, Held, Gone };

  std::string hidden(unsigned long n) const { return prefix_ + std::to_string(n); }
  // Whether this remover may empty the directory open as fd, slots/<name>:
  // it holds its lock (or the file system has no locks), and name still
  // leads to it. Otherwise another process is at work on it (Held), or
  // another has finished it (Gone).
  Take take(int fd, const std::string& name, struct stat& opened) const;
  // One pass over dir: unlinks its files and links and hides its
  // sub-directories; found tells whether it met anything.
  Result<Done, Error> empty_once(DIR* dir, bool& found);
  // Gives the directory open as fd (st its status), which this remover is
  // to empty or move, its owner's write and search permission, when it is
  // ours and lacks them.
  Result<Done, Error> open_up(int fd, const struct stat& st) const;
  // Removes slots/<name>: a file or a link at once; a directory, under its
  // lock, once emptied. One that another process has locked: false.
  Result<bool, Error> clear(const std::string& name);

  int slots_;
  dev_t device_;
  std::string prefix_;
  unsigned long next_ = 0;
};

// Removes slots/<name>, a hidden name, with all it holds, unless another
// process holds its lock (then false).
Result<bool, Error> remove_hidden_tree(int slots, const std::string& name);

}  // namespace brindlecast
