// brindlecast-state doctor: what the launcher would do at its next start,
// and why, one finding a line. It runs the launcher's own code on what it
// finds (the lookup of launcher.json, the resolution of the install root and
// method, the launch policy), so it cannot tell a story the launcher does not
// follow. It only reads: the policy runs on a copy of the state, and the lock
// on the install root is only tried, and let go at once.
//
// Tests: the Doctor rows of tests/state_tool/state_command_e2e_test.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindlecast {

struct DoctorOptions {
  std::optional<std::string> launcher;        // the launcher's path; default: beside this program
  std::optional<std::string> install_root;    // the launcher's --install-root
  std::optional<std::string> install_method;  // the launcher's --install-method
  bool json = false;                          // one JSON object a line instead of text
};

struct DoctorReport {
  std::string lines;   // one finding a line, each ending with a newline
  bool runs_a_client;  // the next start would run a client executable
};

DoctorReport doctor(const DoctorOptions& options);

// How the tools point to replace_state where state.json cannot be decoded;
// root_option (such as "--install-root R ") names the root where the
// reader's own resolution may find another.
inline std::string replace_hint(std::string_view root_option = "") {
  return "brindlecast-state " + std::string(root_option) +
         "init --replace SLOT [VERSION] [--channel NAME] keeps it as state.json.broken-<UTC time> and writes "
         "a fresh one";
}

}  // namespace brindlecast
