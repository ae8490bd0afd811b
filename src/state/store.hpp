// The state store: reads <root>/state.json whole and replaces it atomically.
//
// A save writes the whole record to state.json.tmp beside it, flushes it to
// stable storage and renames it over state.json, so readers see either the
// old or the new complete document, also after a crash or power loss. The
// store keeps nothing between calls, takes no lock, creates no directory and
// deletes no file; a failed save leaves state.json as it was (and possibly a
// partly written state.json.tmp, which the next save truncates). Messages
// never name the file or the operation.
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

}  // namespace brindlecast
