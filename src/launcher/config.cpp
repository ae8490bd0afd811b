#include "launcher/config.hpp"

#include <cstdlib>

#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "json/reader.hpp"

namespace brindlecast {
namespace {

using json::JsonReader;
using json::JsonResult;

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

JsonResult<Done> read_member(JsonReader& reader, std::optional<std::string>& target) {
  auto value = reader.read_optional_string("a string");
  if (!value) return value.forward();
  target = std::move(value).value();
  return Done{};
}

JsonResult<Done> read_object_form(JsonReader& reader, LauncherConfig& config) {
  reader.begin_container();
  bool first = true, has_root = false, has_method = false;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return key.forward();
    if (!*key) return Done{};
    const bool is_root = **key == "install_root";
    const bool is_method = **key == "install_method";
    if ((is_root && has_root) || (is_method && has_method)) {
      return Err(reader.error_here("duplicate field `" + **key + "`"));
    }
    if (auto colon = reader.expect_colon(); !colon) return colon;
    JsonResult<Done> member = Done{};
    if (is_root) {
      has_root = true;
      member = read_member(reader, config.install_root);
    } else if (is_method) {
      has_method = true;
      member = read_member(reader, config.install_method);
    } else {
      member = reader.skip_value();
    }
    if (!member) return member;
  }
}

JsonResult<Done> read_array_form(JsonReader& reader, LauncherConfig& config) {
  reader.begin_container();
  bool first = true;
  for (auto* target : {&config.install_root, &config.install_method}) {
    auto more = reader.next_element(first);
    if (!more) return more.forward();
    if (!*more) return Done{};
    if (auto member = read_member(reader, *target); !member) return member;
  }
  return reader.end_array();
}

}  // namespace

JsonResult<LauncherConfig> decode_launcher_config(std::string_view bytes) {
  if (const auto valid = valid_utf8_prefix(bytes); valid != bytes.size()) {
    return Err(json::error_at_offset(bytes, "invalid UTF-8", valid));
  }
  JsonReader reader(bytes);
  LauncherConfig config;
  const auto b = reader.peek();
  JsonResult<Done> body = b == '{'   ? read_object_form(reader, config)
                          : b == '[' ? read_array_form(reader, config)
                                     : Err(reader.invalid_type("an object or an array"));
  if (body) body = reader.expect_end();
  if (!body) return body.forward();
  return config;
}

std::optional<LauncherConfig> parse_launcher_config(std::string_view bytes) {
  auto config = decode_launcher_config(bytes);
  if (!config) return std::nullopt;
  return std::move(config).value();
}

LauncherConfigLookup look_up_launcher_config(const std::optional<std::string>& executable) {
  LauncherConfigLookup lookup;
  if (!executable) return lookup;
  const auto dir = parent_path(*executable);
  if (!dir) return lookup;
  lookup.path = join_path(*dir, "launcher.json");
  auto bytes = read_file(*lookup.path);
  if (!bytes) {
    lookup.read_error = std::move(bytes).error();
  } else if (auto config = decode_launcher_config(*bytes)) {
    lookup.config = std::move(config).value();
  } else {
    lookup.parse_error = std::move(config).error();
  }
  return lookup;
}

LauncherConfig load_launcher_config(const std::optional<std::string>& executable) {
  return look_up_launcher_config(executable).config;
}

LauncherConfig load_launcher_config() { return load_launcher_config(executable_path()); }

InstallRootChoice choose_install_root(const std::optional<std::string>& command_line,
                                      const LauncherConfig& config) {
  return find_install_root(command_line, config.install_root, true);
}

std::optional<std::string> resolve_install_root(const std::optional<std::string>& command_line,
                                                const LauncherConfig& config) {
  return choose_install_root(command_line, config).root;
}

InstallMethodChoice choose_install_method(const std::optional<std::string>& command_line,
                                          const LauncherConfig& config) {
  InstallMethodChoice choice{std::nullopt, command_line, ConfigSource::CommandLine};
  if (!choice.text) {
    // A value that is not UTF-8 counts as unset.
    if (auto value = env("BRINDLECAST_INSTALL_METHOD"); value && is_valid_utf8(*value)) {
      choice = {std::nullopt, std::move(value), ConfigSource::Environment};
    }
  }
  if (!choice.text) choice = {std::nullopt, config.install_method, ConfigSource::LauncherJson};
  if (!choice.text) return {};
  choice.method = parse_install_method(*choice.text);
  return choice;
}

std::optional<InstallMethod> resolve_install_method(const std::optional<std::string>& command_line,
                                                    const LauncherConfig& config) {
  return choose_install_method(command_line, config).method;
}

}  // namespace brindlecast
