// install: a version put into its slot and on trial in one call, safe against
// power cuts and against prune. How the files reach the disk before their
// name does is told in install.cpp.
//
// Tests: the Install rows of tests/state_tool/state_command_e2e_test.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/calls.hpp"
#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

struct InstallOptions {
  bool move = false;               // rename a source directory into place instead of copying it
  bool trial = true;               // put the slot on trial, as start_trial does
  bool init = false;               // create the first state.json instead, the slot active and known good
  std::string channel = "stable";  // of that first state
  TrialOptions trial_options;      // retry, downgrade, and where notices go
  std::optional<std::string> public_key;  // only an archive signed with this key installs
  std::optional<std::string> signature;   // its signature; by default the archive's path + ".minisig"
  std::uint64_t max_bytes = 0;            // an archive's most; 0: the free space less a margin
};

struct InstallProgress {
  std::uint64_t files_done = 0, files_total = 0;  // files_total 0: an archive, whose count is unknown
  std::uint64_t bytes_done = 0, bytes_total = 0;  // of a signed archive's check: its bytes, with no files
};

// Installs the directory or archive source as <install_root>/slots/<slot>.
// Refused with nothing written: a slot name begin_trial refuses, an existing
// slot (AlreadyExists), a source that is neither a directory nor a regular
// file, a directory that is slots/ or lies in it, contains the install root,
// has no client file, or holds a device, FIFO or socket, an archive that
// unpacks to anything a slot cannot hold (InvalidInput), and what
// start_trial refuses. What is put in place belongs to this process's user
// and group and is writable by it alone. On failure nothing is left visible
// in slots/, and a moved source is given back; the one exception is a save
// whose flush failed (NotDurable), after which the slot that state.json
// names stays. A moved source that cannot be given back (its name was taken
// meanwhile) is kept as slots/.brindlecast-kept-<random>, which no tool
// removes, and the error ends by saying where it lies. A leftover of a
// killed install or prune that cannot be removed first is told to the
// notice of trial_options, and stays. progress is called after each file.
Result<Done, Error> install_slot(const std::string& install_root, const std::string& source,
                                 const std::string& slot, const std::optional<std::string>& version,
                                 const InstallOptions& options,
                                 const std::function<void(const InstallProgress&)>& progress);

}  // namespace brindlecast
