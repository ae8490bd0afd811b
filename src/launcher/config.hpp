// The install root and install method, each from the first source that gives
// one: the command line, the environment, launcher.json beside the
// executable, and (for the root) a default under HOME. Resolution never fails
// and never prints: a missing or unusable source simply gives no value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/install_method.hpp"

namespace brindlecast {

// The content of launcher.json; both fields absent when there is none.
struct LauncherConfig {
  std::optional<std::string> install_root;
  std::optional<std::string> install_method;

  bool operator==(const LauncherConfig&) const = default;
};

// Decodes launcher.json's bytes; nothing when the document is invalid in any
// way (it is then ignored whole).
std::optional<LauncherConfig> parse_launcher_config(std::string_view bytes);

// Reads launcher.json from the directory of the given executable path.
LauncherConfig load_launcher_config(const std::optional<std::string>& executable);

// Reads launcher.json beside the running executable.
LauncherConfig load_launcher_config();

// Command line, BRINDLECAST_INSTALL_ROOT, launcher.json, then HOME.
std::optional<std::string> resolve_install_root(const std::optional<std::string>& command_line,
                                                const LauncherConfig& config);

// Command line, BRINDLECAST_INSTALL_METHOD, then launcher.json; the first
// source with a text decides alone.
std::optional<InstallMethod> resolve_install_method(const std::optional<std::string>& command_line,
                                                    const LauncherConfig& config);

}  // namespace brindlecast
