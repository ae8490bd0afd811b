// Hostile files and values: each gets a clear error or is ignored, and
// nothing that was stored is lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/file.hpp"
#include "state/store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::ProcessResult;
using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

const std::string kRecord = R"("active":"2.0.0","known_good":"1.0.0","channel":"c","pending":"2.0.0")";

class HostileInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::make_dirs(root_ / "slots/2.0.0");
    ASSERT_EQ(
        ::symlink(testing::fake_client_binary().c_str(), (root_ / "slots/2.0.0/brindlecast-client").c_str()),
        0);
  }

  ProcessResult run(std::vector<std::string> args, const std::string& launcher = testing::launcher_binary()) {
    args.insert(args.begin(), launcher);
    testing::ProcessOptions options;
    options.env = std::map<std::string, std::string>{{"BRINDLECAST_INSTALL_ROOT", root_.path()}};
    return testing::run_process(args, options);
  }
  ProcessResult launch() { return run({"--install-method", "process"}); }
  ProcessResult self_test() { return run({"--selftest"}); }

  // The launch is refused with this message and the stored bytes are kept.
  void expect_refused(const std::string& message) {
    const bool regular = [&] {
      struct stat st {};
      return ::lstat((root_ / "state.json").c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }();
    const std::string before = regular ? read_file_or_die(root_ / "state.json") : "";
    ::unlink((root_ / "client.log").c_str());
    const auto r = launch();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlecast-launcher: " + message + "\n");
    if (regular) {
      EXPECT_EQ(read_file_or_die(root_ / "state.json"), before);
    }
    EXPECT_FALSE(testing::file_exists(root_ / "client.log"));
    const auto report = self_test();
    EXPECT_EQ(report.status, 0);
    EXPECT_NE(report.out.find(R"("entrypoint":null,"state":null})"), std::string::npos) << report.out;
  }

  TempDir root_;
};

TEST_F(HostileInputs, StateJsonIsReadUpToTheSizeCap) {
  // The longest file read: an unknown member fills it up to the last byte.
  std::string doc = "{" + kRecord + R"(,"junk":[)";
  const std::string chunk = R"({"k":[1.5e3,-2,"s\u00e9",true,null]},)";
  while (doc.size() + chunk.size() + 3 <= kMaxFileSize) doc += chunk;
  doc += "0]}";
  doc.append(kMaxFileSize - doc.size(), ' ');
  write_file(root_ / "state.json", doc);
  const auto r = launch();
  EXPECT_EQ(r.status, 0) << r.err;
  // The record is kept; what the launcher does not know is not.
  const auto state = load_state(root_ / "state.json");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->active, "2.0.0");
  EXPECT_EQ(state->failed_starts, 1u);

  // One byte more, or a file without end, is refused without relying on any
  // memory limit of the system.
  const std::string too_long =
      std::string(std::strerror(EFBIG)) + " (os error " + std::to_string(EFBIG) + ")";
  write_file(root_ / "state.json", doc + " ");
  expect_refused(too_long);
  ASSERT_EQ(::unlink((root_ / "state.json").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/zero", (root_ / "state.json").c_str()), 0);
  expect_refused(too_long);
}

TEST_F(HostileInputs, MillionNestedArraysInAnUnknownMemberAreSkipped) {
  const std::size_t depth = 1000 * 1000;
  write_file(root_ / "state.json",
             "{" + kRecord + R"(,"deep":)" + std::string(depth, '[') + std::string(depth, ']') + "}");
  const auto report = self_test();
  EXPECT_EQ(report.status, 0);
  EXPECT_NE(report.out.find(R"("state":{"active":"2.0.0")"), std::string::npos) << report.err;

  // One bracket short: an error, not a crash.
  write_file(root_ / "state.json",
             "{" + kRecord + R"(,"deep":)" + std::string(depth, '[') + std::string(depth - 1, ']') + "}");
  const std::size_t length = kRecord.size() + 9 + 2 * depth;
  expect_refused("expected `,` or `]` at line 1 column " + std::to_string(length));
}

TEST_F(HostileInputs, HundredThousandVersionsAreKept) {
  std::string doc = "{" + kRecord + R"(,"started_ok":true,"versions":{)";
  for (int i = 0; i < 100000; ++i)
    doc += (i ? ",\"" : "\"") + std::to_string(i) + "\":\"v" + std::to_string(i) + "\"";
  doc += "}}";
  write_file(root_ / "state.json", doc);
  const auto r = launch();  // commits, so the whole map is saved again
  EXPECT_EQ(r.status, 0) << r.err;
  const auto state = load_state(root_ / "state.json");
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->pending);
  ASSERT_EQ(state->versions.size(), 100000u);
  EXPECT_EQ(state->versions.at("99999"), "v99999");
}

TEST_F(HostileInputs, NulBytesAreKeptAndInvalidUtf8IsRefused) {
  write_file(root_ / "state.json", "{" + kRecord + R"(,"versions":{"a\u0000b":"x\u0000y"}})");
  const auto report = self_test();
  EXPECT_NE(report.out.find(R"("versions":{"a\u0000b":"x\u0000y"})"), std::string::npos) << report.out;
  EXPECT_EQ(launch().status, 0);
  EXPECT_EQ(load_state(root_ / "state.json")->versions.at(std::string("a\0b", 3)), std::string("x\0y", 3));

  const std::string bad = "{" + kRecord + ",\"versions\":{\"k\":\"\xC0\xAF\"}}";
  write_file(root_ / "state.json", bad);
  expect_refused("invalid unicode code point at line 1 column " + std::to_string(bad.size() - 2));
  write_file(root_ / "state.json", "{" + kRecord + ",\"versions\":{\"\xFF\":null}}");
  expect_refused("invalid unicode code point at line 1 column " + std::to_string(kRecord.size() + 17));
}

TEST_F(HostileInputs, StateJsonThatIsNotAFile) {
  // A FIFO must not block the launcher: with no writer it reads as empty.
  ASSERT_EQ(::mkfifo((root_ / "state.json").c_str(), 0644), 0);
  expect_refused("EOF while parsing a value at line 1 column 0");
  ASSERT_EQ(::unlink((root_ / "state.json").c_str()), 0);

  testing::make_dirs(root_ / "state.json");
  expect_refused(std::string(std::strerror(EISDIR)) + " (os error 21)");
  ASSERT_EQ(::rmdir((root_ / "state.json").c_str()), 0);

  ASSERT_EQ(::symlink((root_ / "nowhere.json").c_str(), (root_ / "state.json").c_str()), 0);
  expect_refused(std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST_F(HostileInputs, WriterThatKeepsTheLockEndsTheLaunchAfterAWhile) {
  write_file(root_ / "state.json", "{" + kRecord + "}");
  const int held = ::open(root_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  // On the hand-over road: supervision would retry after a back-off.
  const auto r = run({"--install-method", "systemd"});
  EXPECT_EQ(self_test().status, 0);  // the report reads without the lock
  ::close(held);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "brindlecast-launcher: another writer has held the lock on the install root for more than 5 s; "
            "state.json was left as it was\n");
  EXPECT_FALSE(testing::file_exists(root_ / "client.log"));
}

// Whatever lies at state.json.tmp when a save is due is taken back under the
// lock (a link never followed, a FIFO never waited on), but a directory that
// holds something, which no save left: that fails the start, the state kept.
TEST_F(HostileInputs, WhatLiesAtTheTemporaryNameNeverHoldsTheSave) {
  struct Case {
    const char* name;
    std::function<void(const std::string& tmp)> plant;
    std::string err;  // "" for a save and a start
  };
  const std::string victim = root_ / "victim";
  const std::vector<Case> cases = {
      {"a link", [&](const std::string& tmp) { ASSERT_EQ(::symlink(victim.c_str(), tmp.c_str()), 0); }, ""},
      {"a FIFO", [](const std::string& tmp) { ASSERT_EQ(::mkfifo(tmp.c_str(), 0644), 0); }, ""},
      {"an empty directory", [](const std::string& tmp) { testing::make_dirs(tmp); }, ""},
      {"a directory with a file", [](const std::string& tmp) { write_file(tmp + "/x", ""); },
       std::string(std::strerror(ENOTEMPTY)) + " (os error " + std::to_string(ENOTEMPTY) + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string doc = "{" + kRecord + "}";
    write_file(root_ / "state.json", doc);
    write_file(victim, "precious");
    std::filesystem::remove_all(root_ / "state.json.tmp");
    c.plant(root_ / "state.json.tmp");
    // Should the save wait on the FIFO after all, a reader lets it go, and
    // the row fails rather than the whole run.
    std::atomic<bool> ended{false}, waited{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 500 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (ended) return;
      waited = true;
      const int fd = ::open((root_ / "state.json.tmp").c_str(), O_RDONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    });
    const auto r = run({"--install-method", "systemd"});
    ended = true;
    watchdog.join();
    EXPECT_FALSE(waited) << "the save waited on what lay at state.json.tmp";
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << r.err;
    EXPECT_EQ(r.err, c.err.empty() ? "" : "brindlecast-launcher: " + c.err + "\n");
    EXPECT_EQ(read_file_or_die(victim), "precious");
    EXPECT_EQ(load_state(root_ / "state.json")->failed_starts, c.err.empty() ? 1u : 0u);
  }
}

TEST_F(HostileInputs, SaveKeepsPermissionsAndOwner) {
  write_file(root_ / "state.json", "{" + kRecord + "}", 0600);
  if (::chown((root_ / "state.json").c_str(), 4321, 8765) != 0)
    GTEST_SKIP() << "only root can give a file away";
  const mode_t old_mask = ::umask(0);
  const auto r = launch();
  ::umask(old_mask);
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "state.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  EXPECT_EQ(load_state(root_ / "state.json")->failed_starts, 1u);
}

TEST_F(HostileInputs, LauncherJsonThatIsADirectoryIsIgnored) {
  TempDir bin;
  write_file(bin / "brindlecast-launcher", read_file_or_die(testing::launcher_binary()), 0755);
  testing::make_dirs(bin / "launcher.json");
  const auto r = run({"--selftest"}, bin / "brindlecast-launcher");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"("install_root":")" + root_.path() + "\""), std::string::npos) << r.out;
}

TEST_F(HostileInputs, RootWithANulByteFromLauncherJson) {
  TempDir bin;
  write_file(bin / "brindlecast-launcher", read_file_or_die(testing::launcher_binary()), 0755);
  write_file(bin / "launcher.json", R"({"install_root":"/srv/a\u0000b","install_method":"process"})");
  testing::ProcessOptions options;
  options.env = std::map<std::string, std::string>{};
  const auto launched = testing::run_process({bin / "brindlecast-launcher"}, options);
  EXPECT_EQ(launched.status, 1);
  EXPECT_EQ(launched.err, "brindlecast-launcher: file name contained an unexpected NUL byte\n");
  const auto report = testing::run_process({bin / "brindlecast-launcher", "--selftest"}, options);
  EXPECT_NE(report.out.find(R"("install_root":"/srv/a\u0000b","install_method":"process","entrypoint":null)"),
            std::string::npos)
      << report.out;
}

TEST_F(HostileInputs, InfoPlistIsScannedUpToTheSizeCap) {
  // A launcher inside a bundle, with a newer client beside it.
  TempDir app;
  const std::string macos = app / "X.app/Contents/MacOS";
  write_file(macos + "/brindlecast-launcher", read_file_or_die(testing::launcher_binary()), 0755);
  write_file(macos + "/brindlecast-client", read_file_or_die(testing::fake_client_binary()), 0755);
  const std::string version = "<key>CFBundleShortVersionString</key><string>9.0.0</string></dict></plist>";
  std::string plist = "<plist><dict>";
  plist.append(kMaxFileSize - plist.size() - version.size(), '\n');
  plist += version;
  write_file(root_ / "state.json",
             R"({"active":"2.0.0","known_good":"2.0.0","channel":"c","versions":{"2.0.0":"2.0.0"}})");

  // Read to its end, it names the newer version; one byte longer, it counts
  // as absent and the slot's client starts.
  const std::pair<std::string, std::string> cases[] = {
      {plist, macos + "/brindlecast-client\n"}, {"\n" + plist, root_ / "slots/2.0.0/brindlecast-client\n"}};
  for (const auto& [text, started] : cases) {
    write_file(app / "X.app/Contents/Info.plist", text);
    const auto r = run({"--install-method", "process"}, macos + "/brindlecast-launcher");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file_or_die(root_ / "client.log"), started);
    ::unlink((root_ / "client.log").c_str());
  }
}

}  // namespace
}  // namespace brindlecast
