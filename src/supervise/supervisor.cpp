#include "supervise/supervisor.hpp"

#include <sys/wait.h>

#include <csignal>
#include <iterator>

#include "supervise/signals.hpp"

namespace brindlecast {
namespace {

Result<int, Error> hand_over(std::string_view install_root, SupervisionSystem& system) {
  auto executable = system.prepare(install_root);
  if (!executable) return executable.forward();
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
      if (executable.error().kind != ErrorKind::Busy) return executable.forward();
      busy = std::move(executable).error();  // a quick failure: try again after the back-off
    } else if (auto pid = system.spawn(system.command(*executable))) {
      auto status = watch(system, *pid, terminal, stop);
      if (!status) return status.forward();
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

}  // namespace

int client_exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1; }

Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              SupervisionSystem& system) {
  return hands_over(install_method) ? hand_over(install_root, system) : supervise(install_root, system);
}

}  // namespace brindlecast
