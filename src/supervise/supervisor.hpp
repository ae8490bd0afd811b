// run_client: the launcher's normal mode. Before every start it asks the
// launch policy which executable to run. With a service manager (systemd,
// launchd or no method) it then replaces its own process with the client.
// As a plain process (process, windows) it stays the client's parent: it
// polls the child every 250 ms, restarts it at once after the relaunch code
// 42, backs off 1, 2, 5 and 10 s after failed runs, forgets earlier failures
// after a run of 60 s, and gives up after the fifth quick failure in a row
// with that run's exit code. A writer that keeps the install root's lock past
// the wait makes that start a quick failure: it delays the client, and five
// such starts in a row end supervision with the lock's error, as any five
// quick failures do. The loop prints nothing and keeps its counter in memory
// only.
//
// The client runs in a process group of its own, with every signal at its
// default action and none blocked, so a signal meant for the launcher's group
// (a service manager's stop, Ctrl-C) reaches the client once: through the
// launcher, which passes on SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1,
// SIGUSR2, SIGWINCH and SIGCONT to the client's group. A stop (SIGTERM,
// SIGINT, SIGQUIT, and SIGHUP where the launcher has a controlling terminal)
// is followed by SIGCONT, since a stopped client would never act on it; after
// a stop the launcher starts no further client, waits for the running one and
// ends as it did: with its exit status, or by the same signal. Without a
// terminal SIGHUP is a reload and changes nothing else. Without a client
// (back-off, launch preparation, the wait for the lock) a stop ends the
// launcher by that signal at once, whenever it came; a save under way is
// finished first. The launcher reaps every child it is given (as process 1
// the orphans of the system) and tells its client apart.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/install_method.hpp"
#include "common/result.hpp"
#include "supervise/client_command.hpp"

namespace brindlecast {

inline constexpr int kRelaunchExitCode = 42;
inline constexpr std::chrono::milliseconds kPollInterval{250};
inline constexpr std::chrono::seconds kHealthyRunTime{60};
// Back-off before the next start, by the count of quick failures so far.
inline constexpr std::chrono::seconds kBackoff[] = {std::chrono::seconds(1), std::chrono::seconds(2),
                                                    std::chrono::seconds(5), std::chrono::seconds(10)};

// What the loop asks of the system; tests replace it to run the back-off
// table without waiting.
class SupervisionSystem {
 public:
  virtual ~SupervisionSystem() = default;
  // The executable to start next (the launch policy), or why not.
  virtual Result<std::string, Error> prepare(std::string_view install_root) = 0;
  virtual ClientCommand command(std::string_view executable) = 0;
  // Replaces the process with the client; returns only on failure, with the
  // error number.
  virtual int exec(const ClientCommand& command) = 0;
  // Starts the client as a child: its process ID, or the error number.
  virtual Result<pid_t, int> spawn(const ClientCommand& command) = 0;
  // Reaps every child that has ended: the client's wait status once it has
  // ended, nothing while it runs, or the error number.
  virtual Result<std::optional<int>, int> poll(pid_t pid) = 0;
  // Sleeps for duration or less: a signal recorded before or during the sleep
  // ends it, and the caller looks at the record and the clock.
  virtual void sleep(std::chrono::nanoseconds duration) = 0;
  virtual std::chrono::nanoseconds now() = 0;
  // From now on records the signals the launcher passes on or stops for;
  // whether it has a controlling terminal, whose SIGHUP is a stop, or the
  // error number where the system refuses.
  virtual Result<bool, int> record_signals() = 0;
  // A recorded signal, taken off the record; 0 when none.
  virtual int take_signal() = 0;
  // Sends sig to the client's process group.
  virtual void pass_on(pid_t pid, int sig) = 0;
  // Ends the launcher by sig; returns the exit status to end with instead
  // where the system refuses.
  virtual int end_by_signal(int sig) = 0;
};

// A child's exit status, or 1 when a signal ended it.
int client_exit_code(int wait_status);

// Runs the client by the road the method chooses; returns the launcher's exit
// status or the error that ends it.
Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              SupervisionSystem& system);

// The same with the real system.
Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              const std::vector<std::string>& pass_through_args);

}  // namespace brindlecast
