#include "state/bundle.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "state/install_state.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::make_dirs;
using testing::TempDir;
using testing::write_file;

constexpr const char* kKey = "<key>CFBundleShortVersionString</key>";

// A property list as a bundle carries it, with the version as its value.
std::string plist_with_version(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "\t<key>CFBundleIdentifier</key>\n\t<string>com.example.brindlecast</string>\n"
         "\t" +
         std::string(kKey) + "\n\t<string>" + version +
         "</string>\n"
         "</dict>\n</plist>\n";
}

// Lays out <dir>/<name>.app/Contents/{MacOS/brindlecast-client,Info.plist}
// and returns the client's path. No Info.plist when plist is absent.
std::string make_bundle(const TempDir& dir, const std::string& name,
                        const std::optional<std::string>& plist) {
  const std::string contents = dir / (name + ".app/Contents");
  const std::string client = contents + "/MacOS/brindlecast-client";
  write_file(client, "#!/bin/sh\n", 0755);
  if (plist) write_file(contents + "/Info.plist", *plist);
  return client;
}

TEST(FindSiblingClient, FindsARegularFileBesideTheExecutable) {
  TempDir dir;
  write_file(dir / "MacOS/brindlecast-client", "", 0755);
  EXPECT_EQ(find_sibling_client(dir / "MacOS/brindlecast-launcher"), dir / "MacOS/brindlecast-client");
}

TEST(FindSiblingClient, IgnoresTheExecutableBit) {
  TempDir dir;
  write_file(dir / "MacOS/brindlecast-client", "", 0600);
  EXPECT_EQ(find_sibling_client(dir / "MacOS/brindlecast-launcher"), dir / "MacOS/brindlecast-client");
}

TEST(FindSiblingClient, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  make_dirs(dir / "dir/brindlecast-client");
  make_dirs(dir / "empty");
  make_dirs(dir / "dangling");
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling/brindlecast-client").c_str()), 0);
  make_dirs(dir / "to-dir");
  ASSERT_EQ(::symlink((dir / "dir").c_str(), (dir / "to-dir/brindlecast-client").c_str()), 0);

  EXPECT_EQ(find_sibling_client(dir / "dir/brindlecast-launcher"), std::nullopt);
  EXPECT_EQ(find_sibling_client(dir / "empty/brindlecast-launcher"), std::nullopt);
  EXPECT_EQ(find_sibling_client(dir / "dangling/brindlecast-launcher"), std::nullopt);
  EXPECT_EQ(find_sibling_client(dir / "to-dir/brindlecast-launcher"), std::nullopt);
}

TEST(FindSiblingClient, FollowsASymlinkToARegularFileButKeepsItsPath) {
  TempDir dir;
  write_file(dir / "real/client", "", 0755);
  make_dirs(dir / "MacOS");
  ASSERT_EQ(::symlink((dir / "real/client").c_str(), (dir / "MacOS/brindlecast-client").c_str()), 0);
  EXPECT_EQ(find_sibling_client(dir / "MacOS/brindlecast-launcher"), dir / "MacOS/brindlecast-client");
}

TEST(FindSiblingClient, NothingWithoutAPathOrAParent) {
  EXPECT_EQ(find_sibling_client(std::nullopt), std::nullopt);
  EXPECT_EQ(find_sibling_client(std::string()), std::nullopt);
  EXPECT_EQ(find_sibling_client(std::string("/")), std::nullopt);
}

TEST(FindSiblingClient, ABareExecutableNameLooksInTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "brindlecast-client", "", 0755);
  char old_cwd[PATH_MAX];
  ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  const auto found = find_sibling_client(std::string("brindlecast-launcher"));
  ASSERT_EQ(::chdir(old_cwd), 0);
  EXPECT_EQ(found, "brindlecast-client");
}

TEST(FindSiblingClient, APathWithANulIsNeverPassedOn) {
  TempDir dir;
  // Cut at the NUL, the candidate would name this regular file.
  write_file(dir / "MacOS/brindlecast-client", "", 0755);
  const std::string exe = dir / "MacOS/brindlecast-client" + std::string(1, '\0') + "/brindlecast-launcher";
  EXPECT_EQ(find_sibling_client(exe), std::nullopt);
}

// ---------------------------------------------------------------------------

TEST(ReadBundleVersion, ScansTheTextOfInfoPlist) {
  const std::string k = kKey;
  struct Case {
    const char* what;
    std::optional<std::string> plist;  // absent: no Info.plist at all
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"bundle plist", plist_with_version("1.4.2"), "1.4.2"},
      {"newline, tab, blanks inside", k + "\n\t<string> 2.0.0 </string>", "2.0.0"},
      {"no white space", k + "<string>2.0.0</string>", "2.0.0"},
      {"integer element", k + "\n\t<integer>2</integer>", std::nullopt},
      {"something before <string>", k + "<!-- x --><string>2.0.0</string>", std::nullopt},
      {"key only", k, std::nullopt},
      {"key absent", "<key>CFBundleVersion</key><string>2.0.0</string>", std::nullopt},
      {"key in other case", "<key>cfbundleshortversionstring</key><string>2.0.0</string>", std::nullopt},
      {"first occurrence wins", k + "<string>1.0.0</string>" + k + "<string>2.0.0</string>", "1.0.0"},
      {"value cut at the second key", k + "<string>1.0.0" + k + "<string>2.0.0</string>", "1.0.0"},
      {"second key not used after a bad first", k + "<integer>1</integer>" + k + "<string>2.0.0</string>",
       std::nullopt},
      {"no </string>: rest of the text", k + "<string>3.1.4\n", "3.1.4"},
      {"no </string>, then a second key", k + "<string>3.1.4 " + k + "</string>", "3.1.4"},
      {"empty string element", k + "<string></string>", std::nullopt},
      {"blank string element", k + "<string> \n\t\r\v\f </string>", std::nullopt},
      {"Unicode-blank string element", k + "<string>\xC2\xA0\xE3\x80\x80</string>", std::nullopt},
      {"empty file", "", std::nullopt},
      {"white space only", " \n\t\n", std::nullopt},
      {"not UTF-8", k + "<string>2.0.0</string>\n<!-- \xFF -->", std::nullopt},
      {"truncated UTF-8 sequence", k + "<string>2.0.0</string>\xE3\x80", std::nullopt},
      {"U+00A0 and U+3000 trimmed", k + "\xE3\x80\x80<string>\xC2\xA0" + "2.0.0\xE3\x80\x80\xC2\xA0</string>",
       "2.0.0"},
      {"U+0085 U+1680 U+2000 U+200A trimmed",
       k + "\xC2\x85\xE1\x9A\x80<string>\xE2\x80\x80\xE2\x80\x8A" +
           "2.0.0\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F</string>",
       "2.0.0"},
      // U+200B (zero width space) and U+00A1 are not white space.
      {"U+200B kept", k + "<string>\xE2\x80\x8B" + "2.0.0\xE2\x80\x8B</string>",
       "\xE2\x80\x8B"
       "2.0.0\xE2\x80\x8B"},
      {"U+00A1 kept", k + "<string>2.0.0\xC2\xA1</string>", "2.0.0\xC2\xA1"},
      {"U+200B before <string>", k + "\xE2\x80\x8B<string>2.0.0</string>", std::nullopt},
      {"inner blanks kept", k + "<string> 2.0 beta </string>", "2.0 beta"},
      {"no entity decoding", k + "<string>1&amp;2</string>", "1&amp;2"},
      {"missing file", std::nullopt, std::nullopt},
  };
  TempDir dir;
  int n = 0;
  for (const auto& c : cases) {
    const auto client = make_bundle(dir, "case" + std::to_string(n++), c.plist);
    EXPECT_EQ(read_bundle_version(client), c.version) << c.what;
  }
}

TEST(ReadBundleVersion, InfoPlistIsTwoLevelsUpLexically) {
  TempDir dir;
  write_file(dir / "X.app/Contents/Info.plist", plist_with_version("9.0.0"));
  // The client need not exist; only its path is used.
  EXPECT_EQ(read_bundle_version(dir / "X.app/Contents/MacOS/brindlecast-client"), "9.0.0");
  // A trailing "/" on the directory is ignored when taking parents.
  EXPECT_EQ(read_bundle_version(dir / "X.app/Contents/MacOS//brindlecast-client"), "9.0.0");
}

TEST(ReadBundleVersion, NothingWhenThePathHasTooFewParentsOrTheFileIsUnreadable) {
  EXPECT_EQ(read_bundle_version("brindlecast-client"), std::nullopt);   // parent "" has no parent
  EXPECT_EQ(read_bundle_version("/brindlecast-client"), std::nullopt);  // parent "/" has no parent
  EXPECT_EQ(read_bundle_version(""), std::nullopt);

  TempDir dir;
  make_dirs(dir / "X.app/Contents/Info.plist");
  EXPECT_EQ(read_bundle_version(dir / "X.app/Contents/MacOS/brindlecast-client"), std::nullopt);
}

// ---------------------------------------------------------------------------

TEST(SiblingClientIsNewer, NeedsAllFiveConditions) {
  using Versions = InstallState::Versions;
  struct Case {
    const char* what;
    std::optional<std::string> pending;
    Versions versions;
    std::optional<std::string> bundle_version;  // absent: no Info.plist
    bool newer;
  };
  const Case cases[] = {
      {"newer bundle", std::nullopt, {{"s", "1.0.0"}}, "2.0.0", true},
      {"release above its pre-release", std::nullopt, {{"s", "2.0.0-rc.1"}}, "2.0.0", true},
      {"numeric above textual", std::nullopt, {{"s", "9.9.9"}}, "10.0.0", true},
      {"pending present", "s", {{"s", "1.0.0"}}, "2.0.0", false},
      {"pending present but empty", "", {{"s", "1.0.0"}}, "2.0.0", false},
      {"no entry for active", std::nullopt, {{"other", "1.0.0"}}, "2.0.0", false},
      {"entry differs in case", std::nullopt, {{"S", "1.0.0"}}, "2.0.0", false},
      {"no versions at all", std::nullopt, {}, "2.0.0", false},
      {"null entry", std::nullopt, {{"s", std::nullopt}}, "2.0.0", false},
      {"no plist", std::nullopt, {{"s", "1.0.0"}}, std::nullopt, false},
      {"unparsable recorded version", std::nullopt, {{"s", "v1.0.0"}}, "2.0.0", false},
      {"unparsable bundle version", std::nullopt, {{"s", "1.0.0"}}, "2.0", false},
      {"recorded version with blanks", std::nullopt, {{"s", " 1.0.0"}}, "2.0.0", false},
      {"equal versions", std::nullopt, {{"s", "2.0.0"}}, "2.0.0", false},
      {"equal but for metadata", std::nullopt, {{"s", "1.2.3+5"}}, "1.2.3+9", false},
      {"older bundle", std::nullopt, {{"s", "2.0.1"}}, "2.0.0", false},
      {"bundle is the pre-release", std::nullopt, {{"s", "2.0.0"}}, "2.0.0-rc.1", false},
  };
  TempDir dir;
  int n = 0;
  for (const auto& c : cases) {
    const auto client =
        make_bundle(dir, "case" + std::to_string(n++),
                    c.bundle_version ? std::optional(plist_with_version(*c.bundle_version)) : std::nullopt);
    InstallState state;
    state.active = "s";
    state.known_good = "s";
    state.channel = "stable";
    state.pending = c.pending;
    state.versions = c.versions;
    EXPECT_EQ(sibling_client_is_newer(state, client), c.newer) << c.what;
  }
}

}  // namespace
}  // namespace brindlecast
