// The order in which a new tree reaches the disk before the rename that
// names it, held by a type. Each new file and directory of the tree is
// added once it is complete (add: a barrier where the system keeps order per
// file, nothing where the commit flushes in bulk); commit then flushes what
// add left (one flush of the file system on Linux, nothing on macOS) and
// gives the proof that the tree's rename takes; after the rename, the
// directory it went into is flushed in full (flush_renames), as after any
// rename that must last, such as prune's.
//
// Tests: the flush rows of tests/fault/fault_injection_test.cpp (a failed
// commit or flush after the rename leaves nothing in slots/), and
// tests/fault/power_cut_test.sh.
#pragma once

#include <cerrno>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/result.hpp"

namespace brindlecast {

// A tree whose entries are ordered before anything written after: it may
// be renamed into place.
class Committed {
 private:
  friend Result<Committed, int> commit_tree(int fd);
  Committed() = default;
};

// Orders the new file or directory open as fd, complete, before later
// writes: 0, or -1 with errno set.
inline int add_to_tree(int fd) { return order_entry(fd); }

// Flushes what add_to_tree left on the file system that holds fd, any file
// of the tree: the proof, or the error number.
inline Result<Committed, int> commit_tree(int fd) {
  if (flush_file_system(fd) != 0) return Err(errno);
  return Committed{};
}

// Renames a committed tree into place, never over anything: 0, or -1 with
// errno set. flush_renames(to_dir) then makes the rename durable.
inline int rename_tree(const Committed&, int from_dir, const char* from, int to_dir, const char* to) {
  return rename_no_replace_at(from_dir, from, to_dir, to);
}

// Makes the renames into the directory open as dir durable, by its full
// flush: 0, or the error number.
inline int flush_renames(int dir) { return flush_directory(dir, sync_file); }

}  // namespace brindlecast
