// The few operating-system services whose calls differ between macOS and
// Linux. Everything else in the product uses plain POSIX.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecast {

// Path of the running executable as the system reports it: not resolved, not
// normalised. Nothing when the system cannot tell.
std::optional<std::string> executable_path();

// Flushes a file's data, or a directory's entries, to stable storage, the
// drive's own cache included: 0, or -1 with errno set.
int sync_file(int fd);

// Flushes a file's data far enough that they reach the disk before anything
// written after them (a rename, say), without waiting for the drive's cache to
// drain: 0, or -1 with errno set. Where the system has no such barrier this is
// the full flush.
int barrier_sync_file(int fd);

// The mount points this process sees, as absolute paths; nothing when the
// system will not tell.
std::optional<std::vector<std::string>> mount_points();

// Renames from over to only if to does not exist (then EEXIST): 0, or -1
// with errno set. Atomic where the file system supports it.
int rename_no_replace(const char* from, const char* to);

// Whether head, a file's first bytes, begins a program in this system's own
// format (ELF on Linux, Mach-O on macOS), which exec runs without a #! line.
bool is_native_executable(std::string_view head);

// A monotonic clock that does not advance while the machine sleeps.
std::chrono::nanoseconds monotonic_now();

}  // namespace brindlecast
