// The state store: reads <root>/state.json whole and replaces it atomically.
//
// A save writes the whole record to state.json.tmp beside it (never through a
// link planted there), gives it the replaced file's permissions and owner,
// flushes it to stable storage, renames it over state.json and flushes the
// directory, so readers see either the old or the new complete document, and
// a save that returned is kept through a crash or power loss. The store keeps
// nothing between calls, creates no directory and deletes no file; a failed
// save leaves state.json as it was (and possibly a partly written
// state.json.tmp, which the next save truncates). It takes no lock itself:
// writers hold the install root's lock (root_lock.hpp) around their whole
// read-modify-write. Running out of memory is an error like any other.
// Messages never name the file or the operation.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"

namespace brindlecast {

using StoreError = Error;

// The system calls a save makes; tests replace them to inject failures.
struct StoreOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, std::size_t count);
  int (*sync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
};

const StoreOps& system_store_ops();

// An absent, empty or malformed file is an error; there is no default state.
Result<InstallState, StoreError> load_state(const std::string& state_path);

Result<Done, StoreError> save_state(const std::string& state_path, const InstallState& state,
                                    const StoreOps& ops = system_store_ops());

// Writes the first state.json the same way, but never over one that exists
// (not even one that appears meanwhile): then the system's EEXIST error.
Result<Done, StoreError> create_state(const std::string& state_path, const InstallState& state);

}  // namespace brindlecast
