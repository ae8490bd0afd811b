#include "launcher/command_line.hpp"

namespace brindlecast {

Result<CommandLine, std::string> parse_command_line(const std::vector<std::string>& args) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--install-root" || arg == "--install-method") {
      // The value is taken whatever it says, never read as an option.
      if (i + 1 == args.size()) return Err(arg + " needs a value");
      (arg == "--install-root" ? cl.install_root : cl.install_method) = args[++i];
    } else if (arg == "--version" || arg == "version") {
      cl.mode = LaunchMode::ShowVersion;
    } else if (arg == "--selftest" || arg == "selftest") {
      cl.mode = LaunchMode::SelfTest;
    } else {
      cl.pass_through_args.push_back(arg);
    }
  }
  return cl;
}

}  // namespace brindlecast
