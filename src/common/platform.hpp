// The few operating-system services whose calls differ between macOS and
// Linux. Everything else in the product uses plain POSIX.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace brindlecast {

// Path of the running executable as the system reports it: not resolved, not
// normalised. Nothing when the system cannot tell.
std::optional<std::string> executable_path();

// Flushes a file's data, or a directory's entries, to stable storage: 0, or -1
// with errno set.
int sync_file(int fd);

// Renames from over to only if to does not exist (then EEXIST): 0, or -1
// with errno set. Atomic where the file system supports it.
int rename_no_replace(const char* from, const char* to);

// A monotonic clock that does not advance while the machine sleeps.
std::chrono::nanoseconds monotonic_now();

}  // namespace brindlecast
