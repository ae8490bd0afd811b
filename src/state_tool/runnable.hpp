// Whether the launcher's start of a client executable runs it: judged as the
// kernel judges the exec (the platform's exec_rule, through every interpreter
// and to the loader, as the kernel follows them), then as the road's call
// falls back. execvp, the hand-over road, hands a file the kernel refuses
// with ENOEXEC to /bin/sh on both systems; posix_spawnp, the supervision road,
// does so only where spawn_falls_back_to_sh says. /bin/sh then reads the
// client as a script, which a binary is not. It only reads.
//
// Tests: tests/state_tool/runnable_test.cpp, and the Doctor rows of
// tests/state_tool/state_command_e2e_test.cpp against the launcher.
#pragma once

#include <string>

namespace brindlecast {

struct StartVerdict {
  bool runs;
  // Why it fails ("fails: ..."), or how it runs where that is not as itself
  // (through /bin/sh); "" for a plain start.
  std::string text;
};

// path: the client, a regular file with execute permission for this user.
StartVerdict judge_start(const std::string& path, bool hands_over);

}  // namespace brindlecast
