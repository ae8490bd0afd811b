#include "state/store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "support/process.hpp"
#include "support/sample_state.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::file_exists;
using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

constexpr const char* kOldDocument = R"({"active":"1.4.1","known_good":"1.4.1","channel":"stable"})";

TEST(LoadState, ReadsAndReportsEachKindOfFailure) {
  TempDir dir;
  const std::string path = dir / "state.json";

  auto missing = load_state(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(missing.error().message, std::string(std::strerror(ENOENT)) + " (os error 2)");

  auto no_root = load_state(dir / "no/such/root/state.json");
  ASSERT_FALSE(no_root);
  EXPECT_EQ(no_root.error().kind, ErrorKind::NotFound);

  write_file(path, "");
  auto empty = load_state(path);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, ErrorKind::InvalidData);
  EXPECT_EQ(empty.error().message, "EOF while parsing a value at line 1 column 0");

  write_file(path, std::string(kOldDocument) + " \n\t");
  EXPECT_TRUE(load_state(path));

  write_file(path, std::string(kOldDocument) + "\nx");
  auto trailing = load_state(path);
  ASSERT_FALSE(trailing);
  EXPECT_EQ(trailing.error().message, "trailing characters at line 2 column 1");

  auto nul = load_state(std::string("/tmp/a\0b/state.json", 19));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(nul.error().message, "file name contained an unexpected NUL byte");
}

TEST(LoadState, DirectoryInPlaceOfTheFileIsAnOsError) {
  TempDir dir;
  testing::make_dirs(dir / "state.json");
  auto r = load_state(dir / "state.json");
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(r.error().message, std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST(SaveState, WritesThePrettyDocumentAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "state.json";
  // A longer leftover from a failed save must be truncated, not overlaid.
  write_file(dir / "state.json.tmp", std::string(4096, 'x'));
  ASSERT_TRUE(save_state(path, testing::documented_state(), testing::writer_lock(dir.path())));
  const std::string saved = read_file_or_die(path);
  EXPECT_EQ(saved, write_install_state(testing::documented_state(), json::Layout::Pretty));
  EXPECT_EQ(saved.back(), '}');
  EXPECT_FALSE(file_exists(dir / "state.json.tmp"));
  EXPECT_EQ(*load_state(path), testing::documented_state());
}

TEST(SaveState, NormalisesTheOlderCounterName) {
  TempDir dir;
  const std::string path = dir / "state.json";
  write_file(path, R"({"active":"a","known_good":"a","channel":"c","boot_attempts":2})");
  auto state = load_state(path);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->failed_starts, 2u);
  ASSERT_TRUE(save_state(path, *state, testing::writer_lock(dir.path())));
  const std::string saved = read_file_or_die(path);
  EXPECT_NE(saved.find("\"failed_starts\": 2"), std::string::npos);
  EXPECT_EQ(saved.find("boot_attempts"), std::string::npos);
}

TEST(SaveState, MissingDirectoryFailsAndCreatesNothing) {
  TempDir dir;
  auto r =
      save_state(dir / "absent/state.json", testing::documented_state(), testing::writer_lock(dir.path()));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::NotFound);
  EXPECT_FALSE(file_exists(dir / "absent"));
}

TEST(SaveState, ReplacesASymbolicLinkItself) {
  TempDir dir;
  write_file(dir / "target.json", kOldDocument);
  ASSERT_EQ(::symlink((dir / "target.json").c_str(), (dir / "state.json").c_str()), 0);
  ASSERT_TRUE(save_state(dir / "state.json", testing::documented_state(), testing::writer_lock(dir.path())));
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "state.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file_or_die(dir / "target.json"), kOldDocument);
}

// A leftover state.json.tmp of another user's, which this writer may not
// open, is replaced where the writer may change the root.
TEST(SaveState, TakesBackATemporaryFileItMayNotOpen) {
  TempDir dir;
  write_file(dir / "state.json", kOldDocument);
  write_file(dir / "state.json.tmp", "left by a writer killed as root", 0);
  // Root opens anything: the save runs as another user, who owns the root.
  const uid_t writer = ::getuid() == 0 ? 65534 : ::getuid();
  ASSERT_EQ(::chown(dir.path().c_str(), writer, static_cast<gid_t>(-1)), 0);
  EXPECT_TRUE(testing::in_child([&] {
    return ::setuid(writer) == 0 &&
           save_state(dir / "state.json", testing::documented_state(), testing::writer_lock(dir.path()));
  }));
  EXPECT_EQ(*load_state(dir / "state.json"), testing::documented_state());
  EXPECT_FALSE(file_exists(dir / "state.json.tmp"));
}

TEST(SaveState, RenameOntoADirectoryFailsWithTheSystemMessage) {
  TempDir dir;
  testing::make_dirs(dir / "state.json");
  auto r = save_state(dir / "state.json", testing::documented_state(), testing::writer_lock(dir.path()));
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message.find(" (os error "), std::string::npos);
  EXPECT_TRUE(file_exists(dir / "state.json.tmp"));  // complete, left for the next save
}

// Fake system calls: each records its name and can be told to fail.
struct FakeCalls {
  std::vector<std::string> log;
  std::string fail;  // name of the call to fail
  int fail_errno = EIO;
  bool zero_write = false;    // write accepts nothing
  std::size_t max_write = 0;  // short writes of at most this many bytes
};
FakeCalls* g_calls = nullptr;

bool should_fail(const char* name) {
  g_calls->log.push_back(name);
  if (g_calls->fail != name) return false;
  errno = g_calls->fail_errno;
  return true;
}

const StoreOps kFakeOps{
    [](const char* p, int f, mode_t m) {
      return should_fail("open") ? -1 : system_store_ops().open(p, f, m);
    },
    [](int fd, const void* b, std::size_t n) -> ssize_t {
      if (should_fail("write")) return -1;
      if (g_calls->zero_write) return 0;
      if (g_calls->max_write != 0 && n > g_calls->max_write) n = g_calls->max_write;
      return ::write(fd, b, n);
    },
    [](int fd) { return should_fail("sync") ? -1 : ::fsync(fd); },
    [](int fd) {
      ::close(fd);
      return g_calls->fail == "close" && should_fail("close") ? -1 : 0;  // logged only where it fails
    },
    [](const char* a, const char* b) { return should_fail("rename") ? -1 : ::rename(a, b); },
    [](int fd) { return should_fail("sync_directory") ? -1 : ::fsync(fd); },
};

class SaveStateFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = &calls_;
    write_file(path_, kOldDocument);
  }
  void TearDown() override { g_calls = nullptr; }

  TempDir dir_;
  std::string path_ = dir_ / "state.json";
  FakeCalls calls_;
};

TEST_F(SaveStateFaults, FlushesTheFileBeforeAndTheDirectoryAfterTheRename) {
  ASSERT_TRUE(save_state(path_, testing::documented_state(), testing::writer_lock(dir_.path()), kFakeOps));
  const auto& log = calls_.log;
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log.front(), "open");
  EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
            (std::vector<std::string>{"sync", "rename", "open", "sync_directory"}));
}

TEST_F(SaveStateFaults, ShortWritesAreCompleted) {
  calls_.max_write = 7;
  ASSERT_TRUE(save_state(path_, testing::documented_state(), testing::writer_lock(dir_.path()), kFakeOps));
  EXPECT_EQ(read_file_or_die(path_), write_install_state(testing::documented_state(), json::Layout::Pretty));
}

TEST_F(SaveStateFaults, InterruptedCallsAreRepeated) {
  // The first open is interrupted by a signal; the save must ask again.
  const StoreOps once{[](const char* p, int f, mode_t m) {
                        const bool first = g_calls->log.empty();
                        g_calls->log.push_back("open");
                        if (first) {
                          errno = EINTR;
                          return -1;
                        }
                        return system_store_ops().open(p, f, m);
                      },
                      kFakeOps.write,
                      kFakeOps.sync,
                      kFakeOps.close,
                      kFakeOps.rename,
                      kFakeOps.sync_directory};
  ASSERT_TRUE(save_state(path_, testing::documented_state(), testing::writer_lock(dir_.path()), once));
  EXPECT_EQ(read_file_or_die(path_), write_install_state(testing::documented_state(), json::Layout::Pretty));
}

TEST_F(SaveStateFaults, EveryFailureLeavesStateJsonUntouched) {
  struct Case {
    const char* fail;
    bool zero_write;
    std::string message;
  };
  const Case cases[] = {
      {"open", false, std::string(std::strerror(EIO)) + " (os error 5)"},
      {"write", false, std::string(std::strerror(EIO)) + " (os error 5)"},
      {"", true, "failed to write whole buffer"},
      {"sync", false, std::string(std::strerror(EIO)) + " (os error 5)"},
      {"close", false, std::string(std::strerror(EIO)) + " (os error 5)"},
      {"rename", false, std::string(std::strerror(EIO)) + " (os error 5)"},
  };
  for (const auto& c : cases) {
    for (const TempFile temp : {TempFile::Shared, TempFile::Own}) {
      SCOPED_TRACE(std::string(c.fail) + (temp == TempFile::Own ? " with a file of its own" : ""));
      calls_ = FakeCalls{};
      calls_.fail = c.fail;
      calls_.zero_write = c.zero_write;
      auto r =
          save_state(path_, testing::documented_state(), testing::writer_lock(dir_.path()), kFakeOps, temp);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message, c.message);
      EXPECT_EQ(read_file_or_die(path_), kOldDocument);
      // Nothing after the failing step runs.
      EXPECT_EQ(calls_.log.back(), c.zero_write ? "write" : c.fail);
      // A file of its own is removed; the shared one is left for the next save.
      const auto names = std::filesystem::directory_iterator(dir_.path());
      const bool none_left = temp == TempFile::Own || std::string(c.fail) == "open";
      EXPECT_EQ(std::distance(begin(names), end(names)), none_left ? 1 : 2);
      ::unlink((dir_ / "state.json.tmp").c_str());
    }
  }
}

// After the rename state.json is the new one, whatever the directory flush does.
TEST_F(SaveStateFaults, ADirectoryFlushThatFailsAfterTheRenameSaysSo) {
  // EINVAL and ENOTSUP: the file system cannot flush directories at all.
  for (const int error : {EINVAL, ENOTSUP, EIO}) {
    calls_ = FakeCalls{};
    calls_.fail = "sync_directory";
    calls_.fail_errno = error;
    auto r = save_state(path_, testing::documented_state(), testing::writer_lock(dir_.path()), kFakeOps,
                        TempFile::Own);
    EXPECT_EQ(read_file_or_die(path_),
              write_install_state(testing::documented_state(), json::Layout::Pretty));
    EXPECT_EQ(r ? "" : r.error().message, error != EIO
                                              ? ""
                                              : "the new state.json is in place but may not survive a "
                                                "power cut: " +
                                                    os_error_text(EIO));
    EXPECT_EQ(!r && r.error().kind == ErrorKind::NotDurable, error == EIO);
    write_file(path_, kOldDocument);
  }
}

}  // namespace
}  // namespace brindlecast
