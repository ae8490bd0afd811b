// The built launcher's --selftest over real install roots with a state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include "common/version.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

const std::string kHead =
    R"({"binary":"brindlecast-launcher","version":")" + std::string(kVersionText) + R"(","ok":true,)";

testing::ProcessResult self_test(const std::string& root, const std::string& method = "process") {
  testing::ProcessOptions options;
  options.env = std::map<std::string, std::string>{};
  return testing::run_process(
      {testing::launcher_binary(), "--install-root", root, "--install-method", method, "--selftest"},
      options);
}

TEST(SelfTestReport, ShowsTheStoredStateAsIs) {
  struct Case {
    const char* name;
    std::string state_json;  // empty: no state.json at all
    std::string root_suffix;
    std::string tail;  // the report after "install_root":…,"install_method":"process",
  };
  const std::string example_state =
      R"({"active":"1.4.2","known_good":"1.4.1","channel":"stable","pending":"1.4.2","failed_starts":1,)"
      R"("started_ok":false,"versions":{"1.4.2":"1.4.2"},"relaunch_intent":false})";
  const Case cases[] = {
      {"the documented example", example_state, "",
       R"("entrypoint":"ROOT/slots/1.4.2/brindlecast-client","state":)" + example_state + "}"},
      {"older counter name, no pending, empty versions",
       R"({"channel":"c","known_good":"k","active":"a","boot_attempts":3,"versions":{}})", "",
       R"("entrypoint":"ROOT/slots/a/brindlecast-client","state":{"active":"a","known_good":"k","channel":"c",)"
       R"("pending":null,"failed_starts":3,"started_ok":false,"versions":{},"relaunch_intent":false}})"},
      {"root with a trailing slash", R"(["a","k","c"])", "/",
       R"("entrypoint":"ROOT/slots/a/brindlecast-client","state":{"active":"a","known_good":"k","channel":"c",)"
       R"("pending":null,"failed_starts":0,"started_ok":false,"versions":{},"relaunch_intent":false}})"},
      {"absolute active replaces the prefix", R"(["/opt/client","k","c"])", "",
       R"("entrypoint":"/opt/client/brindlecast-client","state":{"active":"/opt/client","known_good":"k",)"
       R"("channel":"c","pending":null,"failed_starts":0,"started_ok":false,"versions":{},)"
       R"("relaunch_intent":false}})"},
      // Only formed, never started: shown as it is.
      {"a NUL in the slot name", R"(["/usr/bin/id\u0000","k","c"])", "",
       R"("entrypoint":"/usr/bin/id\u0000/brindlecast-client","state":{"active":"/usr/bin/id\u0000",)"
       R"("known_good":"k","channel":"c","pending":null,"failed_starts":0,"started_ok":false,"versions":{},)"
       R"("relaunch_intent":false}})"},
      {"no state.json", "", "", R"("entrypoint":null,"state":null})"},
      {"empty state.json", " ", "", R"("entrypoint":null,"state":null})"},
      {"malformed state.json", R"({"active":"a"})", "", R"("entrypoint":null,"state":null})"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (!c.state_json.empty()) write_file(dir / "state.json", c.state_json);
    const std::string root = dir.path() + c.root_suffix;
    const auto r = self_test(root);
    std::string tail = c.tail;
    for (auto p = tail.find("ROOT"); p != std::string::npos; p = tail.find("ROOT"))
      tail.replace(p, 4, dir.path());
    EXPECT_EQ(r.out, kHead + std::string(R"("install_root":")") + root + R"(","install_method":"process",)" +
                         tail + "\n")
        << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

TEST(SelfTestReport, NonUtf8RootIsShownWithReplacementsInEveryPath) {
  TempDir dir;
  if (!testing::takes_non_utf8_names(dir))
    GTEST_SKIP() << "this file system refuses names that are not UTF-8";
  const std::string root = dir / "r\xFF\xE2\x82";
  testing::make_dirs(root);
  write_file(root + "/state.json", R"(["a","k","c"])");
  const std::string shown = dir / "r\xEF\xBF\xBD\xEF\xBF\xBD";
  // Arguments must be UTF-8, so such a root comes from the environment.
  testing::ProcessOptions options;
  options.env = std::map<std::string, std::string>{{"BRINDLECAST_INSTALL_ROOT", root}};
  const auto r = testing::run_process(
      {testing::launcher_binary(), "--selftest", "--install-method", "systemd"}, options);
  EXPECT_NE(r.out.find(R"("install_root":")" + shown + R"(","install_method":"systemd","entrypoint":")" +
                       shown + R"(/slots/a/brindlecast-client")"),
            std::string::npos)
      << r.out;
}

TEST(SelfTestReport, WritesNothingEvenWhenThePolicyWouldAct) {
  // Marks set and a rollback due: a start would rewrite the file.
  const std::string state =
      R"({"active":"2","known_good":"1","channel":"c","pending":"2","failed_starts":2,"started_ok":true,)"
      R"("relaunch_intent":true})";
  TempDir dir;
  write_file(dir / "state.json", state);
  const struct utimbuf old_times { 1000000000, 1000000000 };
  ASSERT_EQ(::utime((dir / "state.json").c_str(), &old_times), 0);

  const auto r = self_test(dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"("entrypoint":")" + dir.path() + R"(/slots/2/brindlecast-client")"),
            std::string::npos);
  EXPECT_EQ(read_file_or_die(dir / "state.json"), state);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "state.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_FALSE(testing::file_exists(dir / "state.json.tmp"));
}

}  // namespace
}  // namespace brindlecast
