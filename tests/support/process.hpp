// Runs a program to completion and captures what it printed, starts one to
// be waited for later, or runs a piece of the test in a child process.
#pragma once

#include <sys/types.h>

#include <functional>
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
  bool unread_stdout = false;   // standard output a pipe that nobody reads any more
};

// argv[0] is the program path.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// How start_process starts a program: as run_process does (every signal at
// its default action, no descriptor above 2), with env, and in a process
// group of its own, or with tty in a session of its own with that
// controlling terminal ("": none).
struct StartOptions {
  std::optional<std::map<std::string, std::string>> env;
  const char* tty = nullptr;
};

// Starts argv[0] without waiting; the caller reaps it.
pid_t start_process(const std::vector<std::string>& argv, const StartOptions& options = {});

// Runs body in a forked child (for what must not outlast it: a limit, a
// user ID) and tells whether it returned true there.
bool in_child(const std::function<bool()>& body);

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
