// The system the supervision loop runs on for real: the launch policy before
// each start, and the POSIX process layer. The client replaces the launcher
// (execvp) or starts as its child (posix_spawnp) in a process group of its
// own, every ended child is reaped (waitpid), and signals reach the client's
// group (kill). The launcher's own signals and waits are signals.hpp's. The
// loop (supervisor.cpp) decides; this only carries out.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "state/policy.hpp"
#include "supervise/signals.hpp"
#include "supervise/supervisor.hpp"

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
    if (e == 0)
      e = posix_spawnattr_setflags(&attr,
                                   POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    if (e == 0) e = posix_spawnp(&pid, command.program.c_str(), nullptr, &attr, argv.data(), envp.data());
    // Not checked: it fails only for an object never initialised, and a
    // client that started must be watched whatever it says.
    (void)posix_spawnattr_destroy(&attr);
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

Result<int, Error> run_client(std::string_view install_root, std::optional<InstallMethod> install_method,
                              const std::vector<std::string>& pass_through_args) {
  RealSystem system(install_root, install_method, pass_through_args);
  return run_client(install_root, install_method, system);
}

}  // namespace brindlecast
