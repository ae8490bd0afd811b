#include "launcher/config.hpp"

#include <cstdlib>

#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "json/reader.hpp"

namespace brindlecast {
namespace {

using json::JsonReader;

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool read_member(JsonReader& reader, std::optional<std::string>& target) {
  auto value = reader.read_optional_string("a string");
  if (!value) return false;
  target = std::move(value).value();
  return true;
}

bool read_object_form(JsonReader& reader, LauncherConfig& config) {
  reader.begin_container();
  bool first = true, has_root = false, has_method = false;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return false;
    if (!*key) return true;
    const bool is_root = **key == "install_root";
    const bool is_method = **key == "install_method";
    if ((is_root && has_root) || (is_method && has_method)) return false;
    if (!reader.expect_colon()) return false;
    if (is_root) {
      has_root = true;
      if (!read_member(reader, config.install_root)) return false;
    } else if (is_method) {
      has_method = true;
      if (!read_member(reader, config.install_method)) return false;
    } else if (!reader.skip_value()) {
      return false;
    }
  }
}

bool read_array_form(JsonReader& reader, LauncherConfig& config) {
  reader.begin_container();
  bool first = true;
  for (auto* target : {&config.install_root, &config.install_method}) {
    auto more = reader.next_element(first);
    if (!more) return false;
    if (!*more) return true;
    if (!read_member(reader, *target)) return false;
  }
  return reader.end_array().ok();
}

}  // namespace

std::optional<LauncherConfig> parse_launcher_config(std::string_view bytes) {
  if (!is_valid_utf8(bytes)) return std::nullopt;
  JsonReader reader(bytes);
  LauncherConfig config;
  const auto b = reader.peek();
  const bool ok = b == '{' ? read_object_form(reader, config) : b == '[' && read_array_form(reader, config);
  if (!ok || !reader.expect_end()) return std::nullopt;
  return config;
}

LauncherConfig load_launcher_config(const std::optional<std::string>& executable) {
  if (!executable) return {};
  const auto dir = parent_path(*executable);
  if (!dir) return {};
  auto bytes = read_file(join_path(*dir, "launcher.json"));
  if (!bytes) return {};
  return parse_launcher_config(*bytes).value_or(LauncherConfig{});
}

LauncherConfig load_launcher_config() { return load_launcher_config(executable_path()); }

std::optional<std::string> resolve_install_root(const std::optional<std::string>& command_line,
                                                const LauncherConfig& config) {
  if (command_line) return command_line;
  if (auto root = env("BRINDLECAST_INSTALL_ROOT")) return root;
  if (config.install_root) return config.install_root;
  if (auto home = env("HOME")) return join_path(*home, kDefaultRootUnderHome);
  return std::nullopt;
}

std::optional<InstallMethod> resolve_install_method(const std::optional<std::string>& command_line,
                                                    const LauncherConfig& config) {
  std::optional<std::string> text = command_line;
  if (!text) {
    // A value that is not UTF-8 counts as unset.
    if (auto value = env("BRINDLECAST_INSTALL_METHOD"); value && is_valid_utf8(*value)) text = std::move(value);
  }
  if (!text) text = config.install_method;
  if (!text) return std::nullopt;
  return parse_install_method(*text);
}

}  // namespace brindlecast
