// The kernel's limits at their boundary, on the supervision road (where
// Linux has no fallback to /bin/sh): the longest #! line the kernel takes
// and the first it refuses, the longest chain of interpreters it follows and
// one more. The rest is checked against the launcher itself, in the Doctor
// rows of state_command_e2e_test.cpp.
#include "state_tool/runnable.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/platform.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::TempDir;
using testing::write_file;

#ifdef __APPLE__
constexpr std::size_t kLineBuffer = 512;  // IMG_SHSIZE
constexpr int kInterpreters = 1;          // a script's interpreter may not be a script
#else
constexpr std::size_t kLineBuffer = 256;  // BINPRM_BUF_SIZE
constexpr int kInterpreters = 5;          // exec_binprm's depth
#endif

// A #! line naming /bin/sh (after many slashes) whose newline lies at index at.
std::string line_ending_at(std::size_t at) { return "#!" + std::string(at - 9, '/') + "/bin/sh\nexit 0\n"; }

TEST(Runnable, TheKernelsLimitsAtTheirBoundary) {
  TempDir dir;
  // A client that reaches /bin/sh through n interpreters: scripts n-1, n-2, ...
  const auto chain = [&](int n) {
    const auto name = [&](int k) {
      return k == n ? std::string("/bin/sh") : dir / (std::to_string(n) + "-" + std::to_string(k));
    };
    for (int k = 1; k < n; ++k) write_file(name(k), "#!" + name(k + 1) + "\n", 0755);
    return "#!" + name(1) + "\nexit 0\n";
  };
  struct Case {
    const char* name;
    std::string client;
    bool runs;
    std::string rule;  // in the verdict's text
  };
  const std::vector<Case> cases = {
      {"the longest #! line taken", line_ending_at(kLineBuffer - 1), true, ""},
      {"the shortest #! line refused", line_ending_at(kLineBuffer), false,
       std::to_string(kLineBuffer) + " bytes the kernel reads of it"},
      {"as many interpreters as the kernel follows", chain(kInterpreters), true, ""},
      {"one more", chain(kInterpreters + 1), false,
       kInterpreters == 1 ? "takes no script as an interpreter" : "6th interpreter in a row"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "client", c.client, 0755);
    const StartVerdict v = judge_start(dir / "client", false);
    EXPECT_EQ(v.runs, c.runs || spawn_falls_back_to_sh()) << v.text;
    EXPECT_NE(v.text.find(c.rule), std::string::npos) << v.text;
  }
}

}  // namespace
}  // namespace brindlecast
