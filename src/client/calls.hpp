// The client's side of the install state: the read-modify-write operations a
// running client performs on <root>/state.json.
//
// Each operation loads the file with the state store, changes only the fields
// it names and saves the whole record with the store's atomic, synced
// replacement. A file that cannot be read or decoded is never written. Saves
// are skipped when nothing changed. Nothing is kept between calls and no lock
// is taken. Messages say which step failed; the C API in
// include/brindlecast/client.h is a thin layer over these calls.
#pragma once

#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"

namespace brindlecast {

// Loads and decodes <install_root>/state.json.
Result<InstallState, Error> read_client_state(const std::string& install_root);

// Sets started_ok: the running version has started well.
Result<Done, Error> mark_started_ok(const std::string& install_root);

// Sets relaunch_intent: the next start is a relaunch and is not counted.
Result<Done, Error> set_relaunch_intent(const std::string& install_root);

// Puts slot on trial: active and pending := slot, versions[slot] := version,
// failed_starts := 0, started_ok := false; known_good and relaunch_intent are
// kept. The slot must be one directory name holding a brindlecast-client
// file; otherwise InvalidInput and nothing is read or written.
Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version);

}  // namespace brindlecast
