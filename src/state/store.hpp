// The state store: reads <root>/state.json whole and replaces it atomically.
//
// A save writes the whole record to a temporary file beside it (never through
// a link planted there), gives it the replaced file's permissions and owner,
// flushes it, renames it over state.json and flushes the directory, so readers
// see either the old or the new complete document, and a save that returned
// is kept through a crash or power loss. The launcher's temporary file is
// state.json.tmp, truncated and reused, while it holds the install root's
// lock; the client library's, and the launcher's without the lock, is a file
// of each save's own (TempFile::Own), so writers that go on without a lock
// never write into or rename each other's file.
//
// A failed save leaves state.json as it was, with one exception: when the
// directory cannot be flushed after the rename, the new state.json is in
// place but may not survive a power cut, and the error says exactly that
// (ErrorKind::NotDurable). A file system that cannot flush directories at
// all (EINVAL, ENOTSUP) is no failure. After a failure the launcher's
// state.json.tmp may remain, partly written, and the next save truncates it;
// a file of a save's own is removed. The store keeps nothing between calls,
// creates no directory, and deletes in one case only: whatever lies at
// state.json.tmp that is not a regular file it can open (a link, a FIFO, an
// empty directory, a leftover of another user's) is removed, in a root it
// may change, and the file created afresh; it is opened without blocking,
// so nothing planted there can hold a save, and with it the lock. sweep_temp_files removes the
// leftovers of killed saves, for a writer that holds the lock. It takes no
// lock itself: writers hold the install root's lock (root_lock.hpp) around
// their whole read-modify-write. Running out of memory throws std::bad_alloc,
// which the process entry reports as an error. Messages never name the file
// or the operation, except the one above.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"
#include "state/root_lock.hpp"

namespace brindlecast {

using StoreError = Error;

// The system calls a save makes; tests replace them to inject failures.
struct StoreOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, std::size_t count);
  int (*sync)(int fd);  // the temporary file, before the rename
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*sync_directory)(int fd) = sync_file;  // after the rename
};

// Where a save writes the new document before renaming it.
enum class TempFile {
  Shared,  // state.json.tmp, truncated and reused: the launcher's
  Own,     // a new file of this save's own, created exclusively: the library's
};

const StoreOps& system_store_ops();

// <install_root>/state.json.
std::string state_path(std::string_view install_root);

// An absent, empty or malformed file is an error; there is no default state.
Result<InstallState, StoreError> load_state(const std::string& state_path);

// Only a writer that holds the install root's lock (or was given a
// not_held() one on a file system without locks) can save: the lock is the
// proof. The shared state.json.tmp is used only where lock is held; without
// it every save goes through a file of its own.
Result<Done, StoreError> save_state(const std::string& state_path, const InstallState& state,
                                    const RootLock& lock, const StoreOps& ops = system_store_ops(),
                                    TempFile temp = TempFile::Shared);

// Writes the first state.json through a file of its own, but never over one
// that exists (not even one that appears meanwhile): then the system's EEXIST
// error.
Result<Done, StoreError> create_state(const std::string& state_path, const InstallState& state);

// Replaces the file at path with text as a save replaces state.json, through
// a temporary file of its own: for the other documents the writers keep
// beside it.
Result<Done, StoreError> save_document(const std::string& path, std::string_view text);

// Removes state.json.tmp and every state.json.tmp-* beside state_path: what
// saves killed midway left. Only where lock is held, as no other writer then
// runs: without it (a file system without locks) they may be other saves in
// progress, and nothing is removed. Best effort: what cannot be removed
// stays, and nothing is reported.
void sweep_temp_files(const std::string& state_path, const RootLock& lock);

}  // namespace brindlecast
