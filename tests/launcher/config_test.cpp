#include "launcher/config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using namespace std::string_literals;
using testing::make_dirs;
using testing::TempDir;
using testing::write_file;
using Opt = std::optional<std::string>;

constexpr const char* kUnderHome = "Library/Application Support/Brindlecast/ota/install";

// ---------------------------------------------------------------------------
// launcher.json documents

TEST(ParseLauncherConfig, AcceptedDocuments) {
  struct Case {
    std::string doc;
    Opt root;
    Opt method;
  };
  const std::string deep =
      "{\"x\":" + std::string(10000, '[') + std::string(10000, ']') + ",\"install_root\":\"/d\"}";
  const Case cases[] = {
      {"{}", {}, {}},
      {"[]", {}, {}},
      {R"({"install_root": "/srv/ota/install", "install_method": "process"})", "/srv/ota/install", "process"},
      {R"({"install_method":"launchd","install_root":"/a"})", "/a", "launchd"},  // any order
      {R"({"install_root": null, "install_method": "launchd"})", {}, "launchd"},
      {R"({"install_root": null, "install_method": null})", {}, {}},
      {R"({"install_root": ""})", "", {}},
      {R"({"install_root": "rel/dir"})", "rel/dir", {}},  // kept relative
      {R"({"install_method": "bogus"})", {}, "bogus"},    // checked only when resolved
      {R"({"install_root": "/a", "extra": {"x": [1, 2, 3]}})", "/a", {}},
      // Unknown members are skipped whatever their value, also when repeated.
      {R"({"x":1,"x":true,"install_root":"/a","x":null,"x":"s","x":[{}],"x":-1.5e3})", "/a", {}},
      {R"({"Install_Root":5,"install_root ":[],"INSTALL_METHOD":{}})", {}, {}},
      {R"({"install_rootx":"/b","install_root":"/a"})", "/a", {}},
      {deep, "/d", {}},
      // Names are compared after their escapes are decoded.
      {R"({"install\u005froot":"/a","install\u005Fmethod":"windows"})", "/a", "windows"},
      {R"({"install_root":"\/a\u00e9\ud83d\ude00\t"})", "/a\xc3\xa9\xf0\x9f\x98\x80\t", {}},
      {"{\"install_root\":\"/Users/j\xc3\xa9r\xc3\xb4me\"}", "/Users/j\xc3\xa9r\xc3\xb4me", {}},
      {R"(["/a", "process"])", "/a", "process"},
      {R"(["/a"])", "/a", {}},
      {R"([null, "systemd"])", {}, "systemd"},
      {R"([null, null])", {}, {}},  // two elements: the most the array form holds
      {R"(["", ""])", "", ""},
      // Whitespace of the four JSON kinds around and after the document.
      {"{\"install_root\":\"/a\"}\n", "/a", {}},
      {" \t\r\n{ \"install_root\" : \"/a\" , \"install_method\" : null }\r\n \t", "/a", {}},
      {"[ \"/a\" ,\n\"process\" ]\n\n", "/a", "process"},
  };
  for (const auto& c : cases) {
    const auto config = parse_launcher_config(c.doc);
    ASSERT_TRUE(config.has_value()) << c.doc.substr(0, 80);
    EXPECT_EQ(config->install_root, c.root) << c.doc.substr(0, 80);
    EXPECT_EQ(config->install_method, c.method) << c.doc.substr(0, 80);
  }
}

TEST(ParseLauncherConfig, RejectedDocuments) {
  const std::string rejected[] = {
      // Not a document, or not an object or array.
      "",
      "   ",
      "\n",
      "null",
      "\"/a\"",
      "5",
      "true",
      // Duplicates of the two known members, also with a null, or spelled with an escape.
      R"({"install_root":"/a","install_root":"/b"})",
      R"({"install_root":"/a","install_root":"/a"})",
      R"({"install_root":null,"install_root":"/b"})",
      R"({"install_root":"/a","install_root":null})",
      R"({"install_method":"process","install_method":"process"})",
      R"({"install_method":null,"install_method":null})",
      R"({"install_root":"/a","install\u005froot":"/b"})",
      // Wrong member types; the well-formed member is dropped with the rest.
      R"({"install_root": 5, "install_method": "process"})",
      R"({"install_method": "process", "install_root": true})",
      R"({"install_root": ["/a"]})",
      R"({"install_root": {}})",
      R"({"install_method": 0})",
      R"({"install_method": false})",
      R"({"install_method": []})",
      R"(["/a", 1])",
      R"([5, "process"])",
      R"([["/a"]])",
      R"([{}])",
      R"([false])",
      // A third element, even a null.
      R"(["/a", "process", null])",
      R"([null, null, null])",
      // Text after the document.
      R"({"install_root":"/a"} x)",
      R"({"install_root":"/a"}{})",
      R"({}})",
      R"([]])",
      R"({} [])",
      "{}\n\f",
      // Byte-order mark.
      "\xef\xbb\xbf{}",
      "\xef\xbb\xbf{\"install_root\":\"/a\"}",
      // Invalid UTF-8 anywhere: a known value, a skipped value, a skipped name, after the document.
      "{\"install_root\":\"/a\xff\"}",
      "{\"x\":\"\xc3\",\"install_root\":\"/a\"}",
      "{\"\xed\xa0\x80\":1,\"install_root\":\"/a\"}",
      "{\"install_root\":\"\xc0\xaf\"}",
      "{\"install_root\":\"/a\"}\xff",
      // Syntax.
      R"({"install_root":"/a",})",
      R"(["/a",])",
      R"({'install_root':'/a'})",
      R"({install_root:"/a"})",
      R"({"install_root" "/a"})",
      R"({"install_root":"/a")",
      R"(["/a")",
      "[",
      "{",
      "// note\n{}",
      "\f{}",
      "{\"install_root\":\"a\tb\"}",  // raw control character
      R"({"install_root":"\x"})",
      R"({"install_root":"\ud800"})",
      R"({"install_root":nul})",
      R"({"install_root":NULL})",
      R"({"x":01,"install_root":"/a"})",
      R"({"x":[1,],"install_root":"/a"})",
      R"({"x":{"a":1,},"install_root":"/a"})",
      R"({"x":NaN})",
  };
  for (const auto& doc : rejected) {
    EXPECT_EQ(parse_launcher_config(doc), std::nullopt) << doc;
  }
}

// What doctor shows of an ignored file: the reason and where it lies.
TEST(ParseLauncherConfig, SaysWhereADocumentIsInvalid) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"install_root\":\"/a\",}", "trailing comma at line 1 column 22"},
      {"{\"install_root\":\"/a\",\n \"install_root\":null}",
       "duplicate field `install_root` at line 2 column 15"},
      {"[\"/a\",\n\"b\xc3\"]", "invalid UTF-8 at line 2 column 2"},
      {"\n\nnull", "invalid type: null, expected an object or an array at line 3 column 4"},
  };
  for (const auto& [doc, error] : cases) {
    const auto config = decode_launcher_config(doc);
    ASSERT_FALSE(config) << doc;
    EXPECT_EQ(config.error().full_text(), error);
  }
}

// ---------------------------------------------------------------------------
// Finding launcher.json beside the executable

TEST(LoadLauncherConfig, ReadsTheFileBesideTheExecutable) {
  TempDir dir;
  write_file(dir / "bin/launcher.json", R"({"install_root":"/c","install_method":"process"})");
  const LauncherConfig expected{"/c", "process"};
  EXPECT_EQ(load_launcher_config(dir / "bin/brindlecast-launcher"), expected);
  // The executable itself need not exist; only its directory counts.
  EXPECT_EQ(load_launcher_config(dir / "bin/anything"), expected);
  // Not the directory above, and not a file named after the executable.
  EXPECT_EQ(load_launcher_config(dir / "bin/sub/brindlecast-launcher"), LauncherConfig{});
  EXPECT_EQ(load_launcher_config(dir / "brindlecast-launcher"), LauncherConfig{});
}

TEST(LoadLauncherConfig, UnusableFilesCountAsAbsent) {
  TempDir dir;
  const std::string exe = dir / "brindlecast-launcher";
  EXPECT_EQ(load_launcher_config(exe), LauncherConfig{});  // missing
  make_dirs(dir / "launcher.json");
  EXPECT_EQ(load_launcher_config(exe), LauncherConfig{});  // a directory

  TempDir other;
  write_file(other / "launcher.json", R"({"install_root": 5, "install_method": "process"})");
  EXPECT_EQ(load_launcher_config(other / "brindlecast-launcher"), LauncherConfig{});  // invalid
  write_file(other / "launcher.json", "");
  EXPECT_EQ(load_launcher_config(other / "brindlecast-launcher"), LauncherConfig{});  // empty

  EXPECT_EQ(load_launcher_config(std::optional<std::string>{}), LauncherConfig{});  // no executable path
}

// Enters a directory for the life of the guard.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) == nullptr) std::abort();
    saved_ = buf;
    if (chdir(dir.c_str()) != 0) std::abort();
  }
  ~WorkingDirectory() {
    if (chdir(saved_.c_str()) != 0) std::abort();
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::string saved_;
};

TEST(LoadLauncherConfig, BareNameLooksInTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "launcher.json", R"(["/cwd", "windows"])");
  WorkingDirectory cwd(dir.path());
  EXPECT_EQ(load_launcher_config("brindlecast-launcher"s), (LauncherConfig{"/cwd", "windows"}));
  // Paths without a parent read nothing, not even the file in the working directory.
  EXPECT_EQ(load_launcher_config("/"s), LauncherConfig{});
  EXPECT_EQ(load_launcher_config(""s), LauncherConfig{});
}

// ---------------------------------------------------------------------------
// Resolution from the command line, the environment, launcher.json and HOME

// Sets or unsets environment variables for the life of the guard.
class EnvGuard {
 public:
  EnvGuard(std::initializer_list<std::pair<const char*, Opt>> vars) {
    for (const auto& [name, value] : vars) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? Opt(old) : std::nullopt);
      set(name, value);
    }
  }
  ~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) set(it->first, it->second);
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  static void set(const char* name, const Opt& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  std::vector<std::pair<const char*, Opt>> saved_;
};

TEST(ResolveInstallRoot, TakesTheFirstSourceThatGivesOne) {
  const std::string home_default = "/Users/x/"s + kUnderHome;
  struct Case {
    const char* name;
    Opt option;
    Opt env;
    Opt file;
    Opt home;
    Opt root;
  };
  const Case cases[] = {
      {"option first", "/a", "/b", "/c", "/Users/x", "/a"},
      {"empty option counts", "", "/b", "/c", "/Users/x", ""},
      {"option unchanged", "/a/../b//", {}, {}, {}, "/a/../b//"},
      {"env second", {}, "/b", "/c", "/Users/x", "/b"},
      {"empty env counts", {}, "", "/c", "/Users/x", ""},
      {"env taken byte for byte", {}, "/r\xff\xfe", "/c", {}, "/r\xff\xfe"},
      {"file third", {}, {}, "/c", "/Users/x", "/c"},
      {"empty file value counts", {}, {}, "", "/Users/x", ""},
      {"relative file value kept", {}, {}, "rel", "/Users/x", "rel"},
      {"home last", {}, {}, {}, "/Users/x", home_default},
      {"home with trailing slash", {}, {}, {}, "/Users/x/", home_default},
      {"home root", {}, {}, {}, "/", "/"s + kUnderHome},
      {"empty home gives the relative default", {}, {}, {}, "", kUnderHome},
      {"home taken byte for byte", {}, {}, {}, "/h\xc3", "/h\xc3/"s + kUnderHome},
      {"nothing", {}, {}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvGuard env{{"BRINDLECAST_INSTALL_ROOT", c.env}, {"HOME", c.home}};
    LauncherConfig config;
    config.install_root = c.file;
    EXPECT_EQ(resolve_install_root(c.option, config), c.root);
    using S = ConfigSource;
    const S source = c.option ? S::CommandLine : c.env ? S::Environment : c.file ? S::LauncherJson : S::Home;
    EXPECT_EQ(choose_install_root(c.option, config).source, c.root ? source : S::None);
  }
}

TEST(ResolveInstallMethod, TheFirstSourceWithATextDecidesAlone) {
  using M = InstallMethod;
  const Opt none;
  struct Case {
    const char* name;
    Opt option;
    Opt env;
    Opt file;
    std::optional<InstallMethod> method;
  };
  const Case cases[] = {
      {"option systemd", "systemd", none, none, M::Systemd},
      {"option launchd", "launchd", none, none, M::Launchd},
      {"option process", "process", none, none, M::Process},
      {"option windows", "windows", none, none, M::Windows},
      {"option first", "process", "launchd", "systemd", M::Process},
      {"case matters", "Systemd", none, none, std::nullopt},
      {"unrecognised option hides env", "bogus", "process", "process", std::nullopt},
      {"empty option hides env", "", "process", "process", std::nullopt},
      {"not trimmed", " process", none, "process", std::nullopt},
      {"not trimmed at the end", "process\n", none, none, std::nullopt},
      {"env second", none, "windows", "process", M::Windows},
      {"empty env hides file", none, "", "process", std::nullopt},
      {"unrecognised env hides file", none, "PROCESS", "process", std::nullopt},
      {"non-UTF-8 env counts as unset", none, "\xff", "process", M::Process},
      {"partly non-UTF-8 env counts as unset", none, "process\xc3", "launchd", M::Launchd},
      {"non-UTF-8 env and no file", none, "process\xc3", none, std::nullopt},
      {"file third", none, none, "launchd", M::Launchd},
      {"unrecognised file", none, none, "bogus", std::nullopt},
      {"nothing", none, none, none, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvGuard env{{"BRINDLECAST_INSTALL_METHOD", c.env}};
    LauncherConfig config;
    config.install_method = c.file;
    EXPECT_EQ(resolve_install_method(c.option, config), c.method);
  }
}

TEST(InstallMethodText, EachValueHasItsCanonicalText) {
  const std::pair<InstallMethod, const char*> cases[] = {
      {InstallMethod::Systemd, "systemd"},
      {InstallMethod::Launchd, "launchd"},
      {InstallMethod::Process, "process"},
      {InstallMethod::Windows, "windows"},
  };
  for (const auto& [method, text] : cases) {
    EXPECT_EQ(install_method_text(method), text);
    EXPECT_EQ(parse_install_method(text), method);
  }
}

}  // namespace
}  // namespace brindlecast
