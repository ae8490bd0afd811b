// The install root and install method, each from the first source that gives
// one: the command line, the environment, launcher.json beside the
// executable, and (for the root) a default under HOME. Resolution never fails
// and never prints: a missing or unusable source simply gives no value. The
// choose_* and look_up_* forms also tell where a value came from and why a
// launcher.json was ignored, for tools that explain what the launcher does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/install_method.hpp"
#include "common/install_root.hpp"
#include "json/reader.hpp"

namespace brindlecast {

// The content of launcher.json; both fields absent when there is none.
struct LauncherConfig {
  std::optional<std::string> install_root;
  std::optional<std::string> install_method;

  bool operator==(const LauncherConfig&) const = default;
};

// Decodes launcher.json's bytes; the error says where the document is
// invalid (it is then ignored whole).
json::JsonResult<LauncherConfig> decode_launcher_config(std::string_view bytes);

// The same, without the reason.
std::optional<LauncherConfig> parse_launcher_config(std::string_view bytes);

// What became of launcher.json beside an executable.
struct LauncherConfigLookup {
  std::optional<std::string> path;             // nothing without an executable path or its directory
  std::optional<Error> read_error;             // the file could not be read (NotFound: there is none)
  std::optional<json::JsonError> parse_error;  // it was read, and is ignored
  LauncherConfig config;                       // what the launcher works with
};

// Looks for launcher.json in the directory of the given executable path.
LauncherConfigLookup look_up_launcher_config(const std::optional<std::string>& executable);

// Reads launcher.json from the directory of the given executable path.
LauncherConfig load_launcher_config(const std::optional<std::string>& executable);

// Reads launcher.json beside the running executable.
LauncherConfig load_launcher_config();

struct InstallMethodChoice {
  std::optional<InstallMethod> method;
  std::optional<std::string> text;  // as the source gave it, one of the four or not
  ConfigSource source = ConfigSource::None;
};

// Command line, BRINDLECAST_INSTALL_ROOT, launcher.json, then HOME.
InstallRootChoice choose_install_root(const std::optional<std::string>& command_line,
                                      const LauncherConfig& config);
std::optional<std::string> resolve_install_root(const std::optional<std::string>& command_line,
                                                const LauncherConfig& config);

// Command line, BRINDLECAST_INSTALL_METHOD, then launcher.json; the first
// source with a text decides alone.
InstallMethodChoice choose_install_method(const std::optional<std::string>& command_line,
                                          const LauncherConfig& config);
std::optional<InstallMethod> resolve_install_method(const std::optional<std::string>& command_line,
                                                    const LauncherConfig& config);

}  // namespace brindlecast
