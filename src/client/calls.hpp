// The client's side of the install state: the operations a running client,
// an updater or an installer performs on <root>/state.json and its slots.
//
// Each operation loads the file with the state store, changes only the fields
// it names and saves the whole record with the store's atomic, synced
// replacement, holding the install root's lock from the load through the
// save. A file that cannot be read or decoded is never written. Saves are
// skipped when nothing changed. Nothing is kept between calls. Messages say
// which step failed; the C API in include/brindlecast/client.h is a thin
// layer over these calls.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"
#include "state/install_state.hpp"

namespace brindlecast {

// Loads and decodes <install_root>/state.json.
Result<InstallState, Error> read_client_state(const std::string& install_root);

// Creates the first state.json: active = known_good = slot, the channel, and
// versions {slot: version}. Refused (AlreadyExists) when state.json exists,
// also when it appears meanwhile; the slot is checked as begin_trial does.
Result<Done, Error> init_state(const std::string& install_root, const std::string& slot,
                               const std::optional<std::string>& version, const std::string& channel);

// Sets started_ok for the running client, named by its executable (the
// argv[0] the launcher gave it). While a version is on trial the executable
// must be that version's, the same file as slots/<active>/brindlecast-client;
// otherwise InvalidInput and nothing is written, so an old version cannot
// commit a new one it never ran.
Result<Done, Error> confirm_start(const std::string& install_root, const std::string& executable);

// Sets relaunch_intent: the next start is a relaunch and is not counted.
Result<Done, Error> set_relaunch_intent(const std::string& install_root);

// Puts slot on trial: active and pending := slot, versions[slot] := version,
// failed_starts := 0, started_ok := false; known_good and relaunch_intent are
// kept. The slot must be one directory name holding a brindlecast-client
// file; otherwise InvalidInput and nothing is read or written.
Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version);

// Removes every slot (a directory, or a symbolic link) in slots/ that
// active, known_good and pending do not name (a link is removed itself,
// never followed; other files stay), calling removed
// with each name in order; with dry_run only names them. Holds the lock
// throughout; refuses to act when state.json cannot be read.
Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run,
                                const std::function<void(const std::string&)>& removed);

}  // namespace brindlecast
