// A stand-in for brindlecast-client in end-to-end tests.
//
// Every start appends the path it was started as to <root>/client.log and
// writes <root>/run-<k>.txt (k counted from 1) with its arguments, the
// variables the launcher sets, its open descriptors, its parent's descriptor
// count, its SIGPIPE disposition
// and the monotonic time. It then follows line k of <root>/client.plan (the
// last line once the plan runs out), a list of actions done in order:
//   exit N | kill SIGNUM | sleep MS | confirm | relaunch | break-state | await PATH
// "await" waits until PATH exists; without an exit action the run exits 0.
// Also: "catch SIGNUM" counts deliveries of the signal from then on; "ready"
// creates <root>/ready-<k>; "await-signal MS" waits for a delivery and MS
// more, then adds "signals=N from_others=M" (M not sent by the parent).
// "fake_client --trials ROOT A B" puts slots A and B on trial in turn, back to
// back as the library does, until it finds a start counted (by the launcher):
// its exit status is the number of turns it took until then (90: no start).
#include <dirent.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/thread_wait.hpp"
#include "state/store.hpp"

namespace {

std::string root() {
  const char* r = std::getenv("BRINDLECAST_INSTALL_ROOT");
  return r ? r : ".";
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

volatile sig_atomic_t g_deliveries = 0, g_from_others = 0;
extern "C" void count_delivery(int, siginfo_t* info, void*) {
  g_deliveries = g_deliveries + 1;
  g_from_others = g_from_others + (info->si_pid != getppid());
}

int trials(const std::string& root, const std::string& a, const std::string& b) {
  // Each turn holds the lock a while, and the writer lets the others in
  // before it asks again: the lock stays busy, and waiters get their turns.
  for (int turn = 0; turn < 90; ++turn, usleep(100)) {
    auto lock = brindlecast::lock_install_root(root, brindlecast::kHelperThreadWait);
    auto state = brindlecast::load_state(root + "/state.json");
    if (!lock || !state) return 92;
    if (state->failed_starts > 0) return turn;
    state->pending = state->active = turn % 2 == 0 ? a : b;
    if (!brindlecast::save_state(root + "/state.json", *state, *lock)) return 93;
    usleep(1000);
  }
  return 90;
}

void mark(bool brindlecast::InstallState::*field) {
  const std::string path = root() + "/state.json";
  auto lock = brindlecast::lock_install_root(root(), brindlecast::kHelperThreadWait);
  auto state = brindlecast::load_state(path);
  if (!lock || !state) std::exit(90);
  (*state).*field = true;
  if (!brindlecast::save_state(path, *state, *lock)) std::exit(91);
}

void record(int run, int argc, char** argv) {
  std::ostringstream out;
  for (int i = 0; i < argc; ++i) out << "argv=" << argv[i] << "\n";
  for (const char* name :
       {"BRINDLECAST_INSTALL_ROOT", "BRINDLECAST_LAUNCHER_PATH", "BRINDLECAST_INSTALL_METHOD"}) {
    if (const char* v = std::getenv(name)) out << "env " << name << "=" << v << "\n";
  }
  // Open descriptors, less the one this listing uses.
  // /dev/fd lists the calling process's descriptors on Linux and macOS alike.
  if (DIR* d = opendir("/dev/fd")) {
    const int own = dirfd(d);
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
      out << "fd=" << e->d_name << "\n";
    }
    closedir(d);
  }
  // The launcher's own descriptors (on the supervision road it is the
  // parent), so that a leak across restarts shows.
  if (DIR* d = opendir(("/proc/" + std::to_string(getppid()) + "/fd").c_str())) {
    int count = 0;
    while (const dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
    out << "parent_fds=" << count << "\n";
  }
  struct sigaction sa {};
  sigaction(SIGPIPE, nullptr, &sa);
  out << "sigpipe=" << (sa.sa_handler == SIG_IGN ? "ignored" : "default") << "\n";
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  out << "time_ms=" << (ts.tv_sec * 1000 + ts.tv_nsec / 1000000) << "\n";
  std::ofstream(root() + "/run-" + std::to_string(run) + ".txt") << out.str();
  std::ofstream(root() + "/client.log", std::ios::app) << argv[0] << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--trials") return trials(argv[2], argv[3], argv[4]);
  const int run = static_cast<int>(lines_of(root() + "/client.log").size()) + 1;
  record(run, argc, argv);
  const auto plan = lines_of(root() + "/client.plan");
  if (plan.empty()) return 0;
  std::istringstream actions(plan[std::min<std::size_t>(run, plan.size()) - 1]);
  for (std::string action; actions >> action;) {
    if (action == "exit") {
      int code = 0;
      actions >> code;
      return code;
    } else if (action == "kill") {
      int sig = 0;
      actions >> sig;
      kill(getpid(), sig);
    } else if (action == "sleep") {
      int ms = 0;
      actions >> ms;
      usleep(static_cast<useconds_t>(ms) * 1000);
    } else if (action == "confirm") {
      mark(&brindlecast::InstallState::started_ok);
    } else if (action == "relaunch") {
      mark(&brindlecast::InstallState::relaunch_intent);
    } else if (action == "break-state") {
      std::ofstream(root() + "/state.json") << "{";
    } else if (action == "await") {
      std::string path;
      actions >> path;
      while (access(path.c_str(), F_OK) != 0) usleep(10000);
    } else if (action == "catch") {
      struct sigaction counting {};
      counting.sa_sigaction = count_delivery;
      counting.sa_flags = SA_SIGINFO;
      int sig = 0;
      actions >> sig;
      sigaction(sig, &counting, nullptr);
      std::ofstream(root() + "/ready-" + std::to_string(run)) << getpid();
    } else if (action == "await-signal") {
      while (g_deliveries == 0) usleep(1000);
      usleep(100000);  // for a second delivery
      std::ofstream(root() + "/run-" + std::to_string(run) + ".txt", std::ios::app)
          << "signals=" << g_deliveries << " from_others=" << g_from_others << "\n";
    } else {
      std::cerr << "fake client: unknown action " << action << "\n";
      return 99;
    }
  }
  return 0;
}
