// How the launcher is installed and kept running; decides whether it hands
// its process over to the client or stays its parent.
//
// Tests: tests/launcher/config_test.cpp.
#pragma once

#include <optional>
#include <string_view>

namespace brindlecast {

enum class InstallMethod {
  Systemd,  // a service manager supervises: hand over
  Launchd,  // a service manager supervises: hand over
  Process,  // a plain process: the launcher supervises
  Windows,  // as Process
};

// "systemd", "launchd", "process" or "windows".
std::string_view install_method_text(InstallMethod method);

// The method whose text matches exactly (case-sensitive, untrimmed).
std::optional<InstallMethod> parse_install_method(std::string_view text);

// Whether the launcher hands its process over to the client (a service
// manager, or no method) rather than staying its parent.
inline bool hands_over(std::optional<InstallMethod> method) {
  return method != InstallMethod::Process && method != InstallMethod::Windows;
}

}  // namespace brindlecast
