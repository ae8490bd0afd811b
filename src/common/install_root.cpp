#include "common/install_root.hpp"

#include <cstdlib>

#include "common/paths.hpp"

namespace brindlecast {

InstallRootChoice find_install_root(const std::optional<std::string>& given,
                                    const std::optional<std::string>& configured, bool home_default) {
  if (given) return {given, ConfigSource::CommandLine};
  if (const char* env = std::getenv("BRINDLECAST_INSTALL_ROOT")) return {env, ConfigSource::Environment};
  if (configured) return {configured, ConfigSource::LauncherJson};
  const char* home = home_default ? std::getenv("HOME") : nullptr;
  if (home)
    return {join_path(home, "Library/Application Support/Brindlecast/ota/install"), ConfigSource::Home};
  return {};
}

}  // namespace brindlecast
