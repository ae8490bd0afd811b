#include "supervise/supervisor.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "state/policy.hpp"
#include "supervise/signals.hpp"

extern char** environ;

namespace brindlecast {
namespace {

Result<int, Error> hand_over(std::string_view install_root, SupervisionSystem& system) {
  auto executable = system.prepare(install_root);
  if (!executable) return Err(std::move(executable).error());
  return Err(os_error(system.exec(system.command(*executable))));
}

// Takes the signals recorded so far: passes each on to the client, if one
// runs, and keeps the first stop signal in stop.
void take_signals(SupervisionSystem& system, std::optional<pid_t> client, bool terminal, int& stop) {
  while (const int sig = system.take_signal()) {
    const bool stops = is_stop_signal(sig, terminal);
    if (client) system.pass_on(*client, sig);
    // A stopped process acts on no signal until it is continued.
    if (client && stops) system.pass_on(*client, SIGCONT);
    if (stop == 0 && stops) stop = sig;
  }
}

// Polls the client until it ends, passing signals on meanwhile; its wait
// status.
Result<int, Error> watch(SupervisionSystem& system, pid_t pid, bool terminal, int& stop) {
  for (;;) {
    auto status = system.poll(pid);
    if (!status) return Err(os_error(status.error()));
    if (*status) return **status;
    take_signals(system, pid, terminal, stop);
    system.sleep(kPollInterval);
  }
}

Result<int, Error> supervise(std::string_view install_root, SupervisionSystem& system) {
  const auto recording = system.record_signals();
  if (!recording) return Err(os_error(recording.error()));
  const bool terminal = *recording;
  std::size_t quick_failures = 0;
  int stop = 0;
  // With no client to wait for, a stop ends the launcher by the signal
  // itself, as it would have ended without handlers for it.
  const auto stopped = [&] {
    take_signals(system, std::nullopt, terminal, stop);
    return stop != 0;
  };
  for (;;) {
    if (stopped()) return system.end_by_signal(stop);
    auto executable = system.prepare(install_root);
    // A stop during the preparation means no start, whatever it returned: a
    // stop that cut the wait for the lock short (Stopped), or one that came
    // during the load or the save, which no error reports.
    if (stopped()) return system.end_by_signal(stop);
    const auto cycle_start = system.now();
    int exit_code = 1;
    std::optional<Error> busy;
    if (!executable) {
      if (executable.error().kind != ErrorKind::Busy) return Err(std::move(executable).error());
      busy = std::move(executable).error();  // a quick failure: try again after the back-off
    } else if (auto pid = system.spawn(system.command(*executable))) {
      auto status = watch(system, *pid, terminal, stop);
      if (!status) return Err(std::move(status).error());
      if (stop != 0) {
        if (WIFSIGNALED(*status)) return system.end_by_signal(WTERMSIG(*status));
        return client_exit_code(*status);
      }
      exit_code = client_exit_code(*status);
    } else if (pid.error() != ENOENT) {
      return Err(os_error(pid.error()));
    }  // a missing executable counts as a failed run
    const auto elapsed = system.now() - cycle_start;

    if (exit_code == kRelaunchExitCode) {
      quick_failures = 0;
      continue;
    }
    if (exit_code == 0) return 0;
    // The healthy-run reset comes before the give-up test and the delay.
    if (std::chrono::duration_cast<std::chrono::seconds>(elapsed) >= kHealthyRunTime) quick_failures = 0;
    if (quick_failures >= std::size(kBackoff)) {
      if (busy) return Err(std::move(*busy));
      return exit_code;
    }
    const auto until = system.now() + kBackoff[quick_failures];
    for (auto t = system.now(); t < until; t = system.now()) {
      system.sleep(until - t);
      if (stopped()) return system.end_by_signal(stop);
    }
    ++quick_failures;
  }
}

// Builds a NULL-terminated pointer array over strings that outlive it.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

class RealSystem final : public SupervisionSystem {
 public:
  RealSystem(std::string_view install_root, std::optional<InstallMethod> method,
             const std::vector<std::string>& pass_through_args)
      : install_root_(install_root), method_(method), args_(pass_through_args) {}

  Result<std::string, Error> prepare(std::string_view install_root) override {
    // Single-threaded and owning its signals, the launcher waits for the lock
    // in flock itself; a stop signal ends the wait, and nothing is saved.
    return prepare_launch(install_root, LockWait{kRootLockWait, block_until_alarm, stop_pending});
  }

  ClientCommand command(std::string_view executable) override {
    return build_client_command(executable, args_, install_root_, method_);
  }

  int exec(const ClientCommand& command) override {
    auto argv_strings = command.argv;
    auto env_strings = client_environment(command, environ);
    auto argv = pointers(argv_strings);
    auto envp = pointers(env_strings);
    const ExecDefaults defaults;
    if (defaults.error() != 0) return defaults.error();
    char** const saved_environ = environ;
    // execvp looks the program up with the environment it is given.
    environ = envp.data();
    execvp(command.program.c_str(), argv.data());
    const int error = errno;
    environ = saved_environ;
    return error;
  }

  Result<pid_t, int> spawn(const ClientCommand& command) override {
    auto argv_strings = command.argv;
    auto env_strings = client_environment(command, environ);
    auto argv = pointers(argv_strings);
    auto envp = pointers(env_strings);

    posix_spawnattr_t attr;
    if (const int e = posix_spawnattr_init(&attr); e != 0) return Err(e);
    // Every signal at its default action and none blocked, whatever the
    // launcher set or inherited. In a process group of its own, so that a
    // signal to the launcher's group reaches the client once, through the
    // launcher; the terminal's foreground stays with the launcher, which
    // takes Ctrl-C and passes it on.
    const sigset_t defaults = changeable_signals();
    sigset_t none;
    sigemptyset(&none);
    int e = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (e == 0) e = posix_spawnattr_setsigmask(&attr, &none);
    if (e == 0) e = posix_spawnattr_setpgroup(&attr, 0);
    if (e == 0) e = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    if (e == 0) e = posix_spawnp(&pid, command.program.c_str(), nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (e != 0) return Err(e);
    return pid;
  }

  Result<std::optional<int>, int> poll(pid_t pid) override {
    // Any child that ended is reaped: as process 1 the launcher inherits the
    // orphans of everything below it, and they must not pile up as zombies.
    std::optional<int> client;
    for (;;) {
      int status = 0;
      const pid_t r = retry_eintr([&] { return waitpid(-1, &status, WNOHANG); });
      if (r == 0 || (r < 0 && errno == ECHILD && client)) return client;
      if (r < 0) return Err(errno);
      if (r == pid) client = status;
    }
  }

  void sleep(std::chrono::nanoseconds duration) override { sleep_unless_signalled(duration); }

  std::chrono::nanoseconds now() override { return monotonic_now(); }

  Result<bool, int> record_signals() override { return brindlecast::record_signals(); }

  int take_signal() override { return brindlecast::take_signal(); }

  void pass_on(pid_t pid, int sig) override {
    // The client's group, as Ctrl-C or a service manager would have reached
    // it without the launcher; the client alone if it left that group.
    if (kill(-pid, sig) != 0) kill(pid, sig);
  }

  int end_by_signal(int sig) override { return brindlecast::end_by_signal(sig); }

 private:
  std::string install_root_;
  std::optional<InstallMethod> method_;
  const std::vector<std::string>& args_;
};

}  // namespace

int client_exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1; }

Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              SupervisionSystem& system) {
  return hands_over(install_method) ? hand_over(install_root, system) : supervise(install_root, system);
}

Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              const std::vector<std::string>& pass_through_args) {
  RealSystem system(install_root, install_method, pass_through_args);
  return run_client(install_root, install_method, system);
}

}  // namespace brindlecast
