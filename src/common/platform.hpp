// The few operating-system services whose calls differ between macOS and
// Linux. Everything else in the product uses plain POSIX. Each system's own
// definitions are in platform_linux.cpp and platform_macos.cpp, of which
// CMake builds the one for the target; what both share is in platform.cpp.
//
// Tests: the end-to-end tests of tests/launcher/, tests/supervise/ and
// tests/state_tool/ run every call; tests/fault/ fails the flushes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

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

// The same relative to directory descriptors. Where the file system has no
// exclusive rename, a directory fails with the system's error.
int rename_no_replace_at(int from_dir, const char* from, int to_dir, const char* to);

// The times of a file's last change of status (ctime) and of its data
// (mtime), with their nanoseconds, since the epoch. In nanoseconds the range
// is the years 1678 to 2262: a time beyond it (a file system may hold one)
// saturates to the nearer end, as do the clocks below.
struct FileTimes {
  std::chrono::nanoseconds changed;
  std::chrono::nanoseconds modified;
};
FileTimes file_times(const struct stat& st);

// The real-time clock, with nanoseconds, since the epoch.
std::chrono::nanoseconds realtime_now();

// Whether the files open as a and b lie on one mount: by the mount's own ID
// where the system has one (Linux 5.8 and later, which tells the bind mounts
// of one file system apart), else by their device.
bool same_mount(int a, int b);

// 16 hex digits from the system's random source, for names no other process
// repeats; empty when the system gives none.
std::string random_token();

// Copies the regular file open as from, of size bytes, into a new file name
// in the directory to_dir (which must not exist yet), with mode's
// permission bits, by the system's fastest way: a clone where the file
// system has one, else a copy in the kernel of its data extents, so holes
// stay holes. On macOS extended attributes come along. The new file's data
// is ordered before anything written after it (see order_entry): 0, or -1
// with errno set (EIO for a source that ended early); the caller tells a
// source that changed from its times.
int copy_file_into(int from, int to_dir, const char* name, mode_t mode, off_t size);

// Orders a new file's data, or a new directory's entries, before later
// writes where the system keeps that order per file (macOS's barrier); a
// no-op where flush_file_system covers it. 0, or -1 with errno set.
int order_entry(int fd);

// Flushes what order_entry left to it on the file system that holds fd: on
// Linux all of it at once (syncfs), far cheaper than a flush per file; on
// macOS nothing, the barriers having ordered each file before the full flush
// that follows the rename. 0, or -1 with errno set.
int flush_file_system(int fd);

// What this system's kernel makes of a file that exec is asked to run, as far
// as the file's bytes and name decide: the kernel has already found it a
// regular file with execute permission (the caller's to judge, as
// open_exec and exec_check_permissions do). Each rule names the kernel's own.
struct ExecRule {
  enum class Kind {
    Program,      // it loads the file itself; next: the loader the file names, "" for none
    Interpreter,  // it runs next instead, with the file's path among the arguments
    Refused,      // exec fails with error
  };
  Kind kind = Kind::Refused;
  std::string next;
  int error = 0;
  std::string why;  // Refused: what the kernel found, as words that follow "it": "is a ..."
};

// How many of a file's first bytes exec_rule looks at: more than either kernel
// reads of a #! line, and the whole of an ELF's or Mach-O's header.
inline constexpr std::size_t kExecHeadSize = 4096;

// The rule for the file open as fd, whose first bytes are head (fewer for a
// shorter file) and whose path is path; depth: how many interpreters the
// kernel has taken on the way to it (0 for the file exec was called with).
ExecRule exec_rule(int fd, std::string_view head, std::string_view path, int depth);

// Why the kernel would not take the file open as fd (head: its first bytes)
// as a program's loader (ELF's PT_INTERP, Mach-O's LC_LOAD_DYLINKER): a
// Refused rule, or nothing when it would.
std::optional<ExecRule> loader_refusal(int fd, std::string_view head);

// Whether posix_spawnp, like execvp on both systems, hands a file that exec
// refuses with ENOEXEC to /bin/sh as a script.
bool spawn_falls_back_to_sh();

// A monotonic clock that does not advance while the machine sleeps.
std::chrono::nanoseconds monotonic_now();

// Whether error, from flock, says the file system has no locks at all (an NFS
// mount without its lock service, say), and only then.
bool flock_unsupported(int error);

// Whether error, from a flush of a directory, says the file system cannot
// flush a directory at all, and only then.
bool directory_flush_unsupported(int error);

}  // namespace brindlecast
