// The exact command the client is started with: its program path, its
// argument vector and what it is told about its installation through three
// environment variables. The same command serves both the in-place hand-over
// and the start of a supervised child.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/install_method.hpp"

namespace brindlecast {

struct ClientCommand {
  std::string program;            // handed to the system unchanged
  std::vector<std::string> argv;  // the program path, then the pass-through arguments
  // Applied over the launcher's own environment, in this order.
  std::vector<std::pair<std::string, std::string>> env_additions;
};

// BRINDLECAST_INSTALL_ROOT always; BRINDLECAST_LAUNCHER_PATH when the
// launcher's path is known; BRINDLECAST_INSTALL_METHOD when a method is set.
ClientCommand build_client_command(std::string_view executable,
                                   const std::vector<std::string>& pass_through_args,
                                   std::string_view install_root, std::optional<InstallMethod> install_method,
                                   const std::optional<std::string>& launcher_path);

// As above, asking the system afresh for the launcher's own path.
ClientCommand build_client_command(std::string_view executable,
                                   const std::vector<std::string>& pass_through_args,
                                   std::string_view install_root,
                                   std::optional<InstallMethod> install_method);

// "NAME=value" entries: the inherited environment with the additions applied
// on top (an addition replaces an inherited variable of the same name).
std::vector<std::string> client_environment(const ClientCommand& command, char* const* inherited);

}  // namespace brindlecast
