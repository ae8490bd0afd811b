// Runs a program to completion and captures what it printed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brindlecast::testing {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the ending signal, if any
  std::string out;  // standard output
  std::string err;  // standard error
};

struct ProcessOptions {
  // Replaces the whole environment when set; otherwise it is inherited.
  std::optional<std::map<std::string, std::string>> env;
  std::string cwd;              // empty: inherit
  std::string input;            // written to standard input, which is then closed
  bool ignore_sigchld = false;  // start the program with SIGCHLD ignored
  int limit_ms = 0;             // killed (SIGKILL) once this has passed; 0: no limit
};

// argv[0] is the program path.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The path of the launcher built by this tree.
std::string launcher_binary();

// The path of the fake client built for end-to-end tests.
std::string fake_client_binary();

// The brindlecast-state command built by this tree.
std::string state_command_binary();

// The launcher built with injectable faults (see tests/fault/fault_shim.cpp).
std::string faulty_launcher_binary();

// brindlecast-state built the same way, its library linked in; "" where the
// linker cannot build either.
std::string faulty_state_command_binary();

}  // namespace brindlecast::testing
