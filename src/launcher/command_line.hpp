// The option loop. The launcher knows four options; every other argument is
// kept, in order, for the client. There is no usage text and no argument is
// rejected, except an option whose value is missing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/install_method.hpp"
#include "common/result.hpp"

namespace brindlecast {

enum class LaunchMode { ShowVersion, SelfTest, Run };

struct CommandLine {
  std::optional<std::string> install_root;    // last "--install-root" value
  std::optional<std::string> install_method;  // last "--install-method" value
  LaunchMode mode = LaunchMode::Run;
  std::vector<std::string> pass_through_args;
};

// What the rest of the launcher works with once resolution is done.
struct LaunchSettings {
  std::vector<std::string> pass_through_args;
  std::optional<std::string> install_root;  // byte string, not necessarily UTF-8
  LaunchMode mode = LaunchMode::Run;
  std::optional<InstallMethod> install_method;
};

// Takes the arguments after the program name; the error is a message text.
Result<CommandLine, std::string> parse_command_line(const std::vector<std::string>& args);

}  // namespace brindlecast
