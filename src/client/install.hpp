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

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

struct InstallOptions {
  bool move = false;  // rename source into place instead of copying it
  bool trial = true;  // put the slot on trial, as begin_trial does
};

struct InstallProgress {
  std::uint64_t files_done = 0, files_total = 0;
  std::uint64_t bytes_done = 0, bytes_total = 0;
};

// Installs the directory source as <install_root>/slots/<slot>. Refused with
// nothing written: a slot name begin_trial refuses, an existing slot
// (AlreadyExists), a source that is not a directory, is slots/ or lies in it,
// contains the install root, has no client file, or holds a device, FIFO or
// socket (InvalidInput). On failure nothing is left visible in slots/, and a
// moved source is given back; the one exception is a save whose flush
// failed (NotDurable), after which the slot that state.json names stays.
// progress is called after each file copied.
Result<Done, Error> install_slot(const std::string& install_root, const std::string& source,
                                 const std::string& slot, const std::optional<std::string>& version,
                                 InstallOptions options,
                                 const std::function<void(const InstallProgress&)>& progress);

}  // namespace brindlecast
