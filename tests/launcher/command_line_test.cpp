#include "launcher/command_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace brindlecast {
namespace {

using Args = std::vector<std::string>;

struct Accepted {
  const char* name;
  Args args;
  std::optional<std::string> root;
  std::optional<std::string> method;
  LaunchMode mode;
  Args pass_through;
};

TEST(ParseCommandLine, AcceptedArgumentLists) {
  const auto Run = LaunchMode::Run;
  const auto Version = LaunchMode::ShowVersion;
  const auto SelfTest = LaunchMode::SelfTest;
  const Accepted cases[] = {
      {"nothing", {}, std::nullopt, std::nullopt, Run, {}},
      {"root", {"--install-root", "/r"}, "/r", std::nullopt, Run, {}},
      {"method", {"--install-method", "process"}, std::nullopt, "process", Run, {}},
      {"method text is not checked here", {"--install-method", "bogus"}, std::nullopt, "bogus", Run, {}},
      {"last root wins", {"--install-root", "/a", "--install-root", "/b"}, "/b", std::nullopt, Run, {}},
      {"last method wins",
       {"--install-method", "launchd", "--install-method", "windows"},
       std::nullopt,
       "windows",
       Run,
       {}},
      {"empty root value", {"--install-root", ""}, "", std::nullopt, Run, {}},
      {"empty method value", {"--install-method", ""}, std::nullopt, "", Run, {}},
      // A value is never read as an option, whatever it says.
      {"root value --version", {"--install-root", "--version"}, "--version", std::nullopt, Run, {}},
      {"root value --selftest", {"--install-root", "selftest"}, "selftest", std::nullopt, Run, {}},
      {"root value --install-method",
       {"--install-root", "--install-method"},
       "--install-method",
       std::nullopt,
       Run,
       {}},
      {"method value --install-root",
       {"--install-method", "--install-root", "x"},
       std::nullopt,
       "--install-root",
       Run,
       {"x"}},
      {"root value --", {"--install-root", "--"}, "--", std::nullopt, Run, {}},
      {"--version", {"--version"}, std::nullopt, std::nullopt, Version, {}},
      {"version", {"version"}, std::nullopt, std::nullopt, Version, {}},
      {"--selftest", {"--selftest"}, std::nullopt, std::nullopt, SelfTest, {}},
      {"selftest", {"selftest"}, std::nullopt, std::nullopt, SelfTest, {}},
      {"later selftest wins", {"--version", "a", "--selftest"}, std::nullopt, std::nullopt, SelfTest, {"a"}},
      {"later version wins", {"--selftest", "version"}, std::nullopt, std::nullopt, Version, {}},
      {"repeated version", {"version", "--version"}, std::nullopt, std::nullopt, Version, {}},
      {"options around a mode",
       {"--install-root", "/r", "--version", "--install-method", "systemd"},
       "/r",
       "systemd",
       Version,
       {}},
      // Near misses of the options are the client's.
      {"near misses",
       {"--install-root=/a", "--Version", "-v", "--", "VERSION", "--self-test", "-version",
        "--install-root "},
       std::nullopt,
       std::nullopt,
       Run,
       {"--install-root=/a", "--Version", "-v", "--", "VERSION", "--self-test", "-version",
        "--install-root "}},
      {"options after -- still count", {"--", "--version"}, std::nullopt, std::nullopt, Version, {"--"}},
      {"pass-through order",
       {"alpha", "--install-root", "/r", "beta"},
       "/r",
       std::nullopt,
       Run,
       {"alpha", "beta"}},
      {"pass-through keeps empties and repeats",
       {"", "x", "", "x", "--install-method", "process", "x"},
       std::nullopt,
       "process",
       Run,
       {"", "x", "", "x", "x"}},
      {"non-ASCII argument", {"\xc3\xa9t\xc3\xa9"}, std::nullopt, std::nullopt, Run, {"\xc3\xa9t\xc3\xa9"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = parse_command_line(c.args);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_EQ(parsed->install_root, c.root);
    EXPECT_EQ(parsed->install_method, c.method);
    EXPECT_EQ(parsed->mode, c.mode);
    EXPECT_EQ(parsed->pass_through_args, c.pass_through);
  }
}

TEST(ParseCommandLine, OptionWithoutValueIsAnError) {
  struct Case {
    Args args;
    const char* message;
  };
  const Case cases[] = {
      {{"--install-root"}, "--install-root needs a value"},
      {{"--install-method"}, "--install-method needs a value"},
      // Neither an earlier mode nor earlier good values save it.
      {{"--version", "--install-root"}, "--install-root needs a value"},
      {{"--selftest", "--install-method"}, "--install-method needs a value"},
      {{"--install-root", "/r", "a", "--install-root"}, "--install-root needs a value"},
      {{"--install-root", "/r", "--install-method"}, "--install-method needs a value"},
      // The first option's value is the second option; the second lacks one.
      {{"--install-method", "--install-root", "--install-root"}, "--install-root needs a value"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_command_line(c.args);
    ASSERT_FALSE(parsed.ok()) << c.message;
    EXPECT_EQ(parsed.error(), c.message);
  }
}

}  // namespace
}  // namespace brindlecast
