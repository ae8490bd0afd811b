// The process entry: the only place that prints an error and turns the
// outcome into the exit status.
//
// Tests: tests/launcher/cli_e2e_test.cpp.
#pragma once

namespace brindlecast {

// Runs the launcher over the process arguments; returns the exit status.
int launcher_main(int argc, char** argv);

}  // namespace brindlecast
