// Unpacking an archive into an install's staging directory.
//
// The archive is hostile until each entry has passed: tar (ustar, pax, GNU)
// or zip, recognised by content, plain or with gzip, bzip2, xz or zstd, and
// nothing else. Only files, directories and symbolic links are made, each by
// this code with *at calls relative to descriptors below the target, every
// parent walked from the target one component at a time without following a
// link, so no path ever resolves through something the archive made. An
// entry outside the rules (an absolute or ".." path, one through a link, a
// link that leaves the target, a hard link to anything but a file unpacked
// before, a device, FIFO or socket, a name twice, a limit passed) stops the
// unpacking with one line that names it; what was made is left for the
// caller to remove. It never applies the archive's owner, group, extended
// attributes or ACLs, never makes a set-user-ID, set-group-ID or sticky bit
// or a file writable by group or others, and never copies a hard link.
//
// Tests: tests/client/archive_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

// Far above any real client, low enough that a hostile archive ends soon.
inline constexpr std::uint64_t kMaxArchiveEntries = 100000;
inline constexpr std::size_t kMaxArchiveDepth = 64;  // path components

struct UnpackLimits {
  std::uint64_t max_bytes = 0;  // data bytes, all entries together (holes are free); 0: no limit
  std::uint64_t max_entries = kMaxArchiveEntries;
  std::size_t max_depth = kMaxArchiveDepth;
};

struct UnpackProgress {
  std::uint64_t files = 0;  // files and links made
  std::uint64_t bytes = 0;  // data bytes written
};

// Unpacks the archive read from fd (from its start; a regular file the
// caller opened without following links and checked with fstat) into the
// empty directory open as into. shown is how messages name the archive (the
// source as the user gave it); every refusal is InvalidInput and starts
// `source "<shown>" `. Files and directories keep their permission bits less
// 07022; implied directories and into itself, unless the archive has a root
// entry, get 0755; each directory is 0700 until the archive ends. Each file
// and directory finished is ordered (add_to_tree). progress is called after
// each file or link made.
Result<UnpackProgress, Error> unpack_archive(int fd, const std::string& shown, int into,
                                             const UnpackLimits& limits,
                                             const std::function<void(const UnpackProgress&)>& progress);

}  // namespace brindlecast
