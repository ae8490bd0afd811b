#include "supervise/client_command.hpp"

#include "common/platform.hpp"

namespace brindlecast {

ClientCommand build_client_command(std::string_view executable,
                                   const std::vector<std::string>& pass_through_args,
                                   std::string_view install_root, std::optional<InstallMethod> install_method,
                                   const std::optional<std::string>& launcher_path) {
  ClientCommand command;
  command.program = executable;
  command.argv.reserve(pass_through_args.size() + 1);
  command.argv.emplace_back(executable);
  command.argv.insert(command.argv.end(), pass_through_args.begin(), pass_through_args.end());
  command.env_additions.emplace_back("BRINDLECAST_INSTALL_ROOT", install_root);
  if (launcher_path) command.env_additions.emplace_back("BRINDLECAST_LAUNCHER_PATH", *launcher_path);
  if (install_method) {
    command.env_additions.emplace_back("BRINDLECAST_INSTALL_METHOD", install_method_text(*install_method));
  }
  return command;
}

ClientCommand build_client_command(std::string_view executable,
                                   const std::vector<std::string>& pass_through_args,
                                   std::string_view install_root,
                                   std::optional<InstallMethod> install_method) {
  return build_client_command(executable, pass_through_args, install_root, install_method, executable_path());
}

std::vector<std::string> client_environment(const ClientCommand& command, char* const* inherited) {
  std::vector<std::string> env;
  for (char* const* entry = inherited; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto eq = text.find('=');
    const std::string_view name = text.substr(0, eq);
    bool replaced = false;
    for (const auto& [added, value] : command.env_additions) replaced = replaced || added == name;
    if (!replaced) env.emplace_back(text);
  }
  for (const auto& [name, value] : command.env_additions) env.push_back(name + "=" + value);
  return env;
}

}  // namespace brindlecast
