#include "supervise/client_command.hpp"

#include <gtest/gtest.h>

namespace brindlecast {
namespace {

TEST(BuildClientCommand, ProgramArgumentsAndAdditions) {
  const auto c = build_client_command("/r/slots/1.0/brindlecast-client", {"--flag", "word"}, "/r",
                                      InstallMethod::Process, std::string("/opt/bin/brindlecast-launcher"));
  EXPECT_EQ(c.program, "/r/slots/1.0/brindlecast-client");
  EXPECT_EQ(c.argv, (std::vector<std::string>{"/r/slots/1.0/brindlecast-client", "--flag", "word"}));
  const std::vector<std::pair<std::string, std::string>> additions = {
      {"BRINDLECAST_INSTALL_ROOT", "/r"},
      {"BRINDLECAST_LAUNCHER_PATH", "/opt/bin/brindlecast-launcher"},
      {"BRINDLECAST_INSTALL_METHOD", "process"}};
  EXPECT_EQ(c.env_additions, additions);
}

TEST(BuildClientCommand, LeavesOutWhatIsUnknown) {
  // A relative, non-UTF-8 root is passed byte for byte.
  const auto c =
      build_client_command("rel/slots/a/brindlecast-client", {}, "rel\xFF", std::nullopt, std::nullopt);
  EXPECT_EQ(c.argv, std::vector<std::string>{"rel/slots/a/brindlecast-client"});
  EXPECT_EQ(c.env_additions,
            (std::vector<std::pair<std::string, std::string>>{{"BRINDLECAST_INSTALL_ROOT", "rel\xFF"}}));
}

TEST(ClientEnvironment, AdditionsReplaceInheritedNamesAndKeepTheRest) {
  const auto c = build_client_command("/x", {}, "/new", InstallMethod::Launchd, std::nullopt);
  char a[] = "PATH=/bin", b[] = "BRINDLECAST_INSTALL_ROOT=/old", d[] = "BRINDLECAST_INSTALL_METHOD=bogus",
       e[] = "BRINDLECAST_LAUNCHER_PATH=/kept", f[] = "BRINDLECAST_INSTALL_ROOTX=/similar", g[] = "NOEQUALS";
  char* inherited[] = {a, b, d, e, f, g, nullptr};
  EXPECT_EQ(client_environment(c, inherited),
            (std::vector<std::string>{
                "PATH=/bin", "BRINDLECAST_LAUNCHER_PATH=/kept", "BRINDLECAST_INSTALL_ROOTX=/similar",
                "NOEQUALS", "BRINDLECAST_INSTALL_ROOT=/new", "BRINDLECAST_INSTALL_METHOD=launchd"}));
}

}  // namespace
}  // namespace brindlecast
