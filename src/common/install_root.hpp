// Where the install root comes from: the one resolution that the launcher,
// brindlecast-state and the client library share, each passing the sources
// it has. It reads the environment, touches no file and never fails: a
// source that gives nothing is passed over.
//
// Tests: tests/launcher/config_test.cpp.
#pragma once

#include <optional>
#include <string>

namespace brindlecast {

// Where a resolved value came from.
enum class ConfigSource {
  None,          // no source gave one
  CommandLine,   // --install-root, --install-method; the caller's own argument
  Environment,   // BRINDLECAST_INSTALL_ROOT, BRINDLECAST_INSTALL_METHOD
  LauncherJson,  // launcher.json
  Home,          // the default under HOME (the root only)
};

struct InstallRootChoice {
  std::optional<std::string> root;
  ConfigSource source = ConfigSource::None;
};

// The first source that gives a root: given, BRINDLECAST_INSTALL_ROOT,
// configured (launcher.json), then, with home_default,
// $HOME/Library/Application Support/Brindlecast/ota/install.
InstallRootChoice find_install_root(const std::optional<std::string>& given,
                                    const std::optional<std::string>& configured, bool home_default);

}  // namespace brindlecast
