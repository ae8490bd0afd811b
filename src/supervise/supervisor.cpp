#include "supervise/supervisor.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "state/policy.hpp"

extern char** environ;

namespace brindlecast {
namespace {

bool hands_over(std::optional<InstallMethod> method) {
  return method != InstallMethod::Process && method != InstallMethod::Windows;
}

Result<int, Error> hand_over(std::string_view install_root, SupervisionSystem& system) {
  auto executable = system.prepare(install_root);
  if (!executable) return Err(std::move(executable).error());
  return Err(os_error(system.exec(system.command(*executable))));
}

Result<int, Error> supervise(std::string_view install_root, SupervisionSystem& system) {
  std::size_t quick_failures = 0;
  for (;;) {
    auto executable = system.prepare(install_root);
    if (!executable) return Err(std::move(executable).error());
    const auto cycle_start = system.now();
    int exit_code = 1;
    auto pid = system.spawn(system.command(*executable));
    if (pid) {
      for (;;) {
        auto status = system.poll(*pid);
        if (!status) return Err(os_error(status.error()));
        if (*status) {
          exit_code = client_exit_code(**status);
          break;
        }
        system.sleep(kPollInterval);
      }
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
    if (quick_failures >= std::size(kBackoff)) return exit_code;
    system.sleep(kBackoff[quick_failures]);
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

  Result<std::string, Error> prepare(std::string_view install_root) override { return prepare_launch(install_root); }

  ClientCommand command(std::string_view executable) override {
    return build_client_command(executable, args_, install_root_, method_);
  }

  int exec(const ClientCommand& command) override {
    auto argv_strings = command.argv;
    auto env_strings = client_environment(command, environ);
    auto argv = pointers(argv_strings);
    auto envp = pointers(env_strings);
    char** const saved_environ = environ;
    // execvp looks the program up with the environment it is given.
    environ = envp.data();
    std::signal(SIGPIPE, SIG_DFL);
    execvp(command.program.c_str(), argv.data());
    const int error = errno;
    std::signal(SIGPIPE, SIG_IGN);
    environ = saved_environ;
    return error;
  }

  Result<pid_t, int> spawn(const ClientCommand& command) override {
    // With SIGCHLD ignored (a parent may leave it so) the system reaps the
    // child itself and waitpid can never report its end.
    std::signal(SIGCHLD, SIG_DFL);
    auto argv_strings = command.argv;
    auto env_strings = client_environment(command, environ);
    auto argv = pointers(argv_strings);
    auto envp = pointers(env_strings);

    posix_spawnattr_t attr;
    if (const int e = posix_spawnattr_init(&attr); e != 0) return Err(e);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    // The client gets SIGPIPE back at its default action, nothing else changes.
    int e = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (e == 0) e = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (e == 0) e = posix_spawnp(&pid, command.program.c_str(), nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (e != 0) return Err(e);
    return pid;
  }

  Result<std::optional<int>, int> poll(pid_t pid) override {
    int status = 0;
    const pid_t r = retry_eintr([&] { return waitpid(pid, &status, WNOHANG); });
    if (r < 0) return Err(errno);
    if (r == 0) return std::optional<int>();
    return std::optional<int>(status);
  }

  void sleep(std::chrono::nanoseconds duration) override {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec remaining{static_cast<time_t>(secs.count()), static_cast<long>((duration - secs).count())};
    // A signal must not cut a delay short: sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }

  std::chrono::nanoseconds now() override { return monotonic_now(); }

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
