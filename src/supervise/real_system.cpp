#include "supervise/real_system.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "state/policy.hpp"
#include "supervise/signals.hpp"

extern char** environ;

namespace brindlecast {
namespace {

// Builds a NULL-terminated pointer array over strings that outlive it.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

RealSystem::RealSystem(std::string_view install_root, std::optional<InstallMethod> method,
                       const std::vector<std::string>& pass_through_args)
    : install_root_(install_root), method_(method), args_(pass_through_args) {}

Result<std::string, Error> RealSystem::prepare(std::string_view install_root) {
  // Single-threaded and owning its signals, the launcher waits for the lock
  // in flock itself; a stop signal ends the wait, and nothing is saved.
  return prepare_launch(install_root, LockWait{kRootLockWait, block_until_alarm, stop_pending});
}

ClientCommand RealSystem::command(std::string_view executable) {
  return build_client_command(executable, args_, install_root_, method_);
}

int RealSystem::exec(const ClientCommand& command) {
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

Result<pid_t, int> RealSystem::spawn(const ClientCommand& command) {
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
  if (e == 0)
    e = posix_spawnattr_setflags(&attr,
                                 POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  if (e == 0) e = posix_spawnp(&pid, command.program.c_str(), nullptr, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  if (e != 0) return Err(e);
  return pid;
}

Result<std::optional<int>, int> RealSystem::poll(pid_t pid) {
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

void RealSystem::sleep(std::chrono::nanoseconds duration) { sleep_unless_signalled(duration); }

std::chrono::nanoseconds RealSystem::now() { return monotonic_now(); }

Result<bool, int> RealSystem::record_signals() { return brindlecast::record_signals(); }

int RealSystem::take_signal() { return brindlecast::take_signal(); }

void RealSystem::pass_on(pid_t pid, int sig) {
  // The client's group, as Ctrl-C or a service manager would have reached
  // it without the launcher; the client alone if it left that group.
  if (kill(-pid, sig) != 0) kill(pid, sig);
}

int RealSystem::end_by_signal(int sig) { return brindlecast::end_by_signal(sig); }

}  // namespace brindlecast
