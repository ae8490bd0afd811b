// The tree of an install: what the source holds judged (scan), then copied
// or made ours where it lies for a move (copy_tree, take_over_tree), taking
// each file only while it is what the scan judged. However deep the tree,
// one directory is open at a time.
//
// Tests: the Install rows of tests/state_tool/state_command_e2e_test.cpp and
// FaultInjectionState.InstallCopiesOnlyWhatItJudged in
// tests/fault/fault_injection_test.cpp.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>

#include "client/install.hpp"
#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/platform.hpp"
#include "common/result.hpp"

namespace brindlecast {

Result<Identity, Error> identity_of(int fd);

// "source "SOURCE" WHY", the form of every refusal of a source.
Error refused(ErrorKind kind, const std::string& source, const std::string& why);

// A regular file as the scan judged it: the copy takes it only while it is
// still so, from the open of it to the end of its copy.
struct Judged {
  off_t size;
  FileTimes times;
  bool operator==(const Judged& other) const {
    return size == other.size && times.changed == other.times.changed &&
           times.modified == other.times.modified;
  }
};

struct Scanned {
  InstallProgress totals;
  std::map<Identity, Judged> files;  // by identity: a hard link is judged once
};

// What the source holds, refusing what a slot cannot: a device, FIFO or
// socket; for a move also a file with more names than this one, which
// making it ours would change outside the slot too, and what another user
// owns.
Result<Scanned, Error> scan(int source_fd, const std::string& source, bool moving);

// A source to be moved, once judged: each file and directory made ours
// (take_over) and ordered for the flush, checked to be what was judged.
Result<Done, Error> take_over_tree(int source_fd);

// Copies the tree open as source_fd into the empty directory open as to,
// taking each file only if it is what the scan judged, from its open to the
// end of its copy. The way back up goes through "..", checked to be the
// directory it came from.
Result<Done, Error> copy_tree(int source_fd, int to, const Scanned& scanned, const std::string& source,
                              const std::function<void(const InstallProgress&)>& progress);

}  // namespace brindlecast
