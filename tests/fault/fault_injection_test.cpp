// Walks every point of failure of a launch that saves the state and starts
// the client: for each kind of call and each n, the n-th call fails.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "state/store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using testing::file_exists;
using testing::read_file_or_die;
using testing::TempDir;
using testing::write_file;

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    }
    closedir(d);
  }
  return names;
}

struct Outcome {
  bool injected;
  bool succeeded;
};

// brindlecast-state built with the fault shim, run with args and fault; once
// a held call waits, meanwhile runs, then the call goes on. injected: whether
// the fault was reached at all.
struct Held {
  testing::ProcessResult result;
  bool injected;
};
Held run_held(const std::vector<std::string>& args, const std::string& fault,
              const std::function<void()>& meanwhile) {
  TempDir scratch;
  testing::ProcessOptions options;
  options.env = std::map<std::string, std::string>{{"BRINDLECAST_FAULT", fault},
                                                   {"BRINDLECAST_FAULT_MARK", scratch / "injected"},
                                                   {"BRINDLECAST_FAULT_RESUME", scratch / "resume"}};
  std::atomic<bool> ended{false};
  std::thread beside([&] {
    while (!file_exists(scratch / "injected") && !ended)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!ended) meanwhile();
    write_file(scratch / "resume", "");
  });
  std::vector<std::string> argv = {testing::faulty_state_command_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Held held{testing::run_process(argv, options), false};
  ended = true;
  beside.join();
  held.injected = file_exists(scratch / "injected");
  return held;
}

class FaultInjection : public ::testing::TestWithParam<std::string> {
 protected:
  // One supervised launch of a version on trial, with the fault given.
  Outcome launch_with(const std::string& fault) {
    TempDir root;
    testing::make_dirs(root / "slots/2");
    EXPECT_EQ(::symlink(testing::fake_client_binary().c_str(), (root / "slots/2/brindlecast-client").c_str()),
              0);
    // A client that outlives the first poll, so that the loop sleeps.
    const bool polls = fault.rfind("waitpid", 0) == 0 || fault.rfind("poll", 0) == 0;
    write_file(root / "client.plan", polls ? "sleep 100 exit 0\n" : "exit 0\n");
    InstallState before;
    before.active = "2";
    before.known_good = "1";
    before.channel = "stable";
    before.pending = "2";
    before.versions["2"] = "2.0.0";
    // Compact, so that the pretty document of a save is told apart.
    const std::string old_bytes = write_install_state(before, json::Layout::Compact);
    write_file(root / "state.json", old_bytes);
    InstallState after = before;
    after.failed_starts = 1;
    const std::string new_bytes = write_install_state(after, json::Layout::Pretty);

    TempDir scratch;
    testing::ProcessOptions options;
    options.env = std::map<std::string, std::string>{{"BRINDLECAST_FAULT", fault},
                                                     {"BRINDLECAST_FAULT_MARK", scratch / "injected"},
                                                     {"PATH", "/usr/bin:/bin"}};
    const auto r = testing::run_process(
        {testing::faulty_launcher_binary(), "--install-root", root.path(), "--install-method", "process"},
        options);

    const bool succeeded = r.status == 0 && r.err.empty();
    const bool failed_cleanly = r.status == 1 && r.err.rfind("brindlecast-launcher: ", 0) == 0 &&
                                r.err.find('\n') == r.err.size() - 1;
    EXPECT_TRUE(succeeded || failed_cleanly) << fault << ": status " << r.status << " " << r.err;
    EXPECT_EQ(r.out, "") << fault;

    const std::string now = read_file_or_die(root / "state.json");
    EXPECT_TRUE(now == old_bytes || now == new_bytes) << fault << ":\n" << now;
    const bool started = file_exists(root / "client.log");
    if (started) {
      EXPECT_EQ(now, new_bytes) << fault << ": the client started without a saved state";
    }
    if (succeeded) {
      EXPECT_TRUE(started) << fault;
    }

    std::set<std::string> allowed = {"state.json",  "state.json.tmp", "slots",
                                     "client.plan", "client.log",     "run-1.txt"};
    for (const auto& name : names_in(root.path())) EXPECT_TRUE(allowed.count(name)) << fault << ": " << name;
    return {file_exists(scratch / "injected"), succeeded};
  }
};

TEST_P(FaultInjection, EveryFailurePointIsCleanOrRecovered) {
  const std::string call = GetParam();
  // posix_spawn reports errors as its result and is never interrupted.
  std::vector<std::string> modes = {"error"};
  if (call != "posix_spawnp") modes.push_back("eintr");
  if (call == "read" || call == "write") modes.push_back("short");
  if (call == "write") modes.push_back("zero");
  for (const auto& mode : modes) {
    int points = 0;
    for (int n = 1; n <= 100; ++n) {
      const auto outcome = launch_with(call + ":" + std::to_string(n) + ":" + mode);
      if (!outcome.injected) break;
      ++points;
      // An interrupted call is repeated and a short transfer completed.
      if (mode == "eintr" || mode == "short") {
        EXPECT_TRUE(outcome.succeeded) << call << ":" << n << ":" << mode;
      }
    }
    // Every kind of call is made at least once by such a launch.
    EXPECT_GT(points, 0) << call << " " << mode;
  }
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultInjection,
                         ::testing::Values("open", "read", "write", "fsync", "rename", "posix_spawnp",
                                           "waitpid", "poll", "flock"));

// Where flock finds no locks, a save goes on without the lock, so a
// temporary file of another's may be a save in progress: it stays.
TEST(FaultInjectionState, SaveWithoutLocksLeavesOtherTemporaryFiles) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  TempDir root, scratch;
  InstallState state;
  state.active = state.known_good = "1";
  state.channel = "stable";
  write_file(root / "state.json", write_install_state(state, json::Layout::Pretty));
  write_file(root / "state.json.tmp-1-0", "{");
  testing::ProcessOptions options;
  options.env = std::map<std::string, std::string>{{"BRINDLECAST_FAULT", "flock:1:error"},
                                                   {"BRINDLECAST_FAULT_MARK", scratch / "injected"}};
  const auto r = testing::run_process(
      {testing::faulty_state_command_binary(), "--install-root", root.path(), "request-relaunch"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(file_exists(scratch / "injected"));
  EXPECT_TRUE(file_exists(root / "state.json.tmp-1-0"));
  EXPECT_TRUE(load_state(root / "state.json").value().relaunch_intent);
}

// prune through the fault shim: a flush of slots/ that fails deletes
// nothing, and a slot replaced while prune holds its decision (its save's
// fsync held) is given back, not deleted.
TEST(FaultInjectionState, PruneActsOnlyOnWhatItJudged) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  struct Case {
    const char* name;
    const char* fault;
    int status;
    std::string err;               // what standard error begins with
    std::vector<std::string> old;  // what slots/old holds afterwards
  };
  const std::vector<Case> cases = {
      // The save flushes its file and the root; the third flush is slots/'s.
      {"slots/ cannot be flushed", "fsync:3:error", 1, "brindlecast-state: cannot flush slots/ (", {}},
      {"a new install takes the name",
       "fsync:1:hold",
       0,
       "brindlecast-state: kept slots/old: it was replaced while prune decided\n",
       {"brindlecast-client", "new"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    write_file(root / "state.json",
               R"({"active":"a","known_good":"a","channel":"s","versions":{"old":null}})");
    write_file(root / "slots/a/brindlecast-client", "", 0755);
    write_file(root / "slots/old/brindlecast-client", "", 0755);
    // While prune waits in its save, an updater puts a new slots/old in place.
    const auto r = run_held({"--install-root", root.path(), "prune", "--min-age", "0"}, c.fault, [&] {
                     if (c.status != 0) return;
                     std::filesystem::remove_all(root / "slots/old");
                     write_file(root / "slots/new/brindlecast-client", "", 0755);
                     write_file(root / "slots/new/new", "");
                     std::filesystem::rename(root / "slots/new", root / "slots/old");
                   }).result;
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    std::vector<std::string> old;
    if (file_exists(root / "slots/old")) {
      for (const auto& entry : std::filesystem::directory_iterator(root / "slots/old"))
        old.push_back(entry.path().filename());
    }
    std::sort(old.begin(), old.end());
    EXPECT_EQ(old, c.old);
    // slots/a's client and old's, hidden or given back: nothing was deleted.
    std::size_t clients = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / "slots")) {
      clients += entry.path().filename() == "brindlecast-client";
    }
    EXPECT_EQ(clients, 2u);
  }
}

// install through the fault shim, of a tree, of an archive and by --move: a
// flush of the copy or of slots/ that fails leaves nothing visible in slots/,
// the state as it was, and a moved source back where it was.
TEST(FaultInjectionState, InstallWhoseFlushFailsLeavesNothing) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"syncfs:1:error", "tree", "brindlecast-state: cannot flush the copy: "},
      {"syncfs:1:error", "archive", "brindlecast-state: cannot flush the copy: "},
      {"syncfs:1:error", "--move", "brindlecast-state: cannot flush the source: "},
      // The first fsync is that of slots/ after the rename; the save's come after.
      {"fsync:1:error", "tree", "brindlecast-state: cannot flush slots/, so nothing was installed: "},
      {"fsync:1:error", "archive", "brindlecast-state: cannot flush slots/, so nothing was installed: "},
      {"fsync:1:error", "--move", "brindlecast-state: cannot flush slots/, so nothing was installed: "},
  };
  for (const auto& [fault, road, err] : cases) {
    SCOPED_TRACE(std::string(fault) + " " + road);
    const bool archive = road == std::string("archive"), move = road == std::string("--move");
    TempDir root, source, scratch;
    const std::string state = R"({"active":"a","known_good":"a","channel":"s"})";
    write_file(root / "state.json", state);
    write_file(root / "slots/a/brindlecast-client", "", 0755);
    write_file(source / "tree/brindlecast-client", "", 0755);
    ASSERT_EQ(testing::run_process({"tar", "-C", source / "tree", "-czf", source / "v.tar.gz", "."}).status,
              0);
    testing::ProcessOptions options;
    options.env = std::map<std::string, std::string>{{"BRINDLECAST_FAULT", fault},
                                                     {"BRINDLECAST_FAULT_MARK", scratch / "injected"}};
    std::vector<std::string> argv = {testing::faulty_state_command_binary(),
                                     "--install-root",
                                     root.path(),
                                     "install",
                                     source / (archive ? "v.tar.gz" : "tree"),
                                     "b"};
    if (move) argv.insert(argv.begin() + 4, "--move");
    const auto r = testing::run_process(argv, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(err, 0), 0u) << r.err;
    EXPECT_TRUE(file_exists(scratch / "injected"));
    EXPECT_TRUE(file_exists(source / "tree/brindlecast-client")) << "the source was not given back";
    std::vector<std::string> slots;
    for (const auto& entry : std::filesystem::directory_iterator(root / "slots"))
      slots.push_back(entry.path().filename());
    EXPECT_EQ(slots, std::vector<std::string>{"a"});
    EXPECT_EQ(read_file_or_die(root / "state.json"), state);
  }
}

// An install held at the flush of its filled staging directory, with
// another writer beside it: a prune and a second install sweep nothing of the
// tree being filled, and all succeed; an empty directory made at the slot's
// name just then is not replaced.
TEST(FaultInjectionState, AHeldInstallKeepsItsTreeAndTakesNoName) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  const auto run = [](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testing::state_command_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::run_process(argv).status;
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& root, const std::string& source)> beside;
    int status;
    std::vector<std::string> in_b;  // slots/b afterwards
  };
  const std::vector<Case> cases = {
      {"a prune and a second install",
       [&](const std::string& root, const std::string& source) {
         EXPECT_EQ(run({"--install-root", root, "prune", "--min-age", "0"}), 0);
         EXPECT_EQ(run({"--install-root", root, "install", "--no-trial", source + "/c", "c"}), 0);
       },
       0,
       {"brindlecast-client"}},
      {"an empty directory at the slot's name",
       [](const std::string& root, const std::string&) { testing::make_dirs(root + "/slots/b"); },
       1,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root, source;
    write_file(root / "state.json", R"({"active":"a","known_good":"a","channel":"s"})");
    write_file(root / "slots/a/brindlecast-client", "", 0755);
    for (const char* v : {"b", "c"}) write_file(source / (std::string(v) + "/brindlecast-client"), v, 0755);
    const auto r = run_held({"--install-root", root.path(), "install", "--no-trial", source / "b", "b"},
                            "syncfs:1:hold", [&] { c.beside(root.path(), source.path()); })
                       .result;
    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> in_b;
    for (const auto& entry : std::filesystem::directory_iterator(root / "slots/b"))
      in_b.push_back(entry.path().filename());
    EXPECT_EQ(in_b, c.in_b);
    EXPECT_EQ(file_exists(root / "slots/c") ? read_file_or_die(root / "slots/c/brindlecast-client") : "c",
              "c");
  }
}

}  // namespace
}  // namespace brindlecast

namespace brindlecast {
namespace {

// A signed archive rewritten in place right after its check (the unpacking's
// first lseek held): what is unpacked is the private copy that was checked.
TEST(FaultInjectionState, SignedArchiveUnpacksTheBytesChecked) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  TempDir root, source;
  write_file(root / "state.json",
             R"({"active":"a","known_good":"a","channel":"s","versions":{"a":"1.0.0"}})");
  write_file(root / "slots/a/brindlecast-client", "", 0755);
  write_file(source / "good/brindlecast-client", "good", 0755);
  write_file(source / "evil/brindlecast-client", "evil", 0755);
  const std::string archive = source / "client.tar.gz";
  const auto sh = [](const std::string& command) { return testing::run_process({"/bin/sh", "-c", command}); };
  ASSERT_EQ(sh("tar -C " + source / "good -czf " + archive + " . && tar -C " + source / "evil -czf " +
               source / "evil.tar.gz .")
                .status,
            0);
  const auto keys = sh("cd " + source.path() + " && minisign -G -W -p pub -s sec && minisign -S -s sec -m " +
                       archive + " -t version:2.0.0");
  if (keys.status == 127) GTEST_SKIP() << "minisign is not installed";
  ASSERT_EQ(keys.status, 0) << keys.err;
  const auto [r, injected] = run_held(
      {"--install-root", root.path(), "install", "--public-key", source / "pub", archive, "b", "2.0.0"},
      "lseek:1:hold", [&] { write_file(archive, read_file_or_die(source / "evil.tar.gz")); });  // new bytes
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(injected);
  EXPECT_EQ(read_file_or_die(root / "slots/b/brindlecast-client"), "good");
}

}  // namespace
}  // namespace brindlecast

namespace brindlecast {
namespace {

// What the copy takes is what the scan judged: a file swapped for a FIFO or
// a device, or cut short, between the scan and the copy (the staging
// directory's flock held) or during its copy (its first SEEK_DATA held), is
// refused, with nothing left in slots/ and the state as it was.
TEST(FaultInjectionState, InstallCopiesOnlyWhatItJudged) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  struct Case {
    const char* name;
    const char* fault;
    std::function<void(const std::string& source, const std::string& root)> change;
    bool refused = true;
  };
  const std::vector<Case> cases = {
      {"nothing changes", "flock:1:hold", [](const std::string&, const std::string&) {}, false},
      {"a FIFO swapped in", "flock:1:hold",
       [](const std::string& source, const std::string&) {
         ASSERT_EQ(::unlink((source + "/lib/b").c_str()), 0);
         ASSERT_EQ(::mkfifo((source + "/lib/b").c_str(), 0644), 0);
       }},
      {"a device swapped in", "flock:1:hold",
       [](const std::string& source, const std::string&) {
         ASSERT_EQ(::unlink((source + "/lib/b").c_str()), 0);
         if (::mknod((source + "/lib/b").c_str(), S_IFCHR | 0644, makedev(1, 5)) != 0) {
           ASSERT_EQ(::mkfifo((source + "/lib/b").c_str(), 0644), 0);  // not root: a FIFO again
         }
       }},
      {"a file cut short before its copy", "flock:1:hold",
       [](const std::string& source, const std::string&) {
         ASSERT_EQ(::truncate((source + "/brindlecast-client").c_str(), 7), 0);
       }},
      // A prune that takes the staging directory, not locked yet, for a
      // killed install's: the install makes another.
      {"a prune sweeps the staging directory", "flock:1:hold",
       [](const std::string&, const std::string& root) {
         EXPECT_EQ(testing::run_process(
                       {testing::state_command_binary(), "--install-root", root, "prune", "--min-age", "0"})
                       .status,
                   0);
       },
       false},
      {"a file cut short during its copy", "lseek:1:hold",
       [](const std::string& source, const std::string&) {
         ASSERT_EQ(::truncate((source + "/brindlecast-client").c_str(), 7), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root, source;
    const std::string state = R"({"active":"a","known_good":"a","channel":"s"})";
    write_file(root / "state.json", state);
    write_file(root / "slots/a/brindlecast-client", "", 0755);
    write_file(source / "brindlecast-client", std::string(1 << 20, 'x'), 0755);
    write_file(source / "lib/b", "b");
    const auto [r, injected] =
        run_held({"--install-root", root.path(), "install", "--no-trial", source.path(), "b"}, c.fault,
                 [&] { c.change(source.path(), root.path()); });
    EXPECT_TRUE(injected);
    std::vector<std::string> slots;
    for (const auto& entry : std::filesystem::directory_iterator(root / "slots"))
      slots.push_back(entry.path().filename());
    std::sort(slots.begin(), slots.end());
    if (c.refused) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "brindlecast-state: source \"" + source.path() +
                           "\" changed while it was copied; install it again\n");
      EXPECT_EQ(slots, std::vector<std::string>{"a"});
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(slots, (std::vector<std::string>{"a", "b"}));
    }
    EXPECT_EQ(read_file_or_die(root / "state.json"), state);
  }
}

}  // namespace
}  // namespace brindlecast

namespace brindlecast {
namespace {

// A --move whose record fails after its rename (the save's rename fails)
// gives the source back; where its name was taken meanwhile (while the
// flush of slots/ was held), the tree is kept under a name no tool removes,
// and the error says where.
TEST(FaultInjectionState, MoveGivesTheSourceBackOrSaysWhereItLies) {
  if (testing::faulty_state_command_binary().empty())
    GTEST_SKIP() << "no fault-injecting brindlecast-state here";
  const std::string save_failed =
      "brindlecast-state: cannot save state.json: " + std::string(std::strerror(EIO)) + " (os error " +
      std::to_string(EIO) + ")";
  for (const bool taken : {false, true}) {
    SCOPED_TRACE(taken ? "the source's name taken" : "the source's name free");
    TempDir root, src;
    const std::string state = R"({"active":"a","known_good":"a","channel":"s"})";
    write_file(root / "state.json", state);
    write_file(root / "slots/a/brindlecast-client", "", 0755);
    write_file(src / "v/brindlecast-client", "moved", 0755);
    const auto r = run_held({"--install-root", root.path(), "install", "--move", src / "v", "b"},
                            "fsync:1:hold,rename:1:error",
                            [&] {
                              if (taken) testing::make_dirs(src / "v");
                            })
                       .result;
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> slots;
    for (const auto& entry : std::filesystem::directory_iterator(root / "slots"))
      slots.push_back(entry.path().filename());
    std::sort(slots.begin(), slots.end());
    if (taken) {
      ASSERT_EQ(slots.size(), 2u);
      EXPECT_EQ(slots[0].rfind(".brindlecast-kept-", 0), 0u);
      EXPECT_EQ(r.err, save_failed + "; the source could not be given back (" + std::strerror(EEXIST) +
                           " (os error " + std::to_string(EEXIST) + ")): it now lies at " + root / "slots/" +
                           slots[0] + "\n");
      EXPECT_EQ(read_file_or_die(root / "slots/" + slots[0] + "/brindlecast-client"), "moved");
    } else {
      EXPECT_EQ(r.err, save_failed + "\n");
      EXPECT_EQ(slots, std::vector<std::string>{"a"});
      EXPECT_EQ(read_file_or_die(src / "v/brindlecast-client"), "moved");
    }
    EXPECT_EQ(read_file_or_die(root / "state.json"), state);
  }
}

}  // namespace
}  // namespace brindlecast
