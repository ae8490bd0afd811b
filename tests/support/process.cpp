#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace brindlecast::testing {

namespace {

// pipe2 is Linux only: the flag is set right after, as the test process
// starts no programs from other threads meanwhile.
bool pipe_cloexec(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  return ::fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
}

// NAME=VALUE strings, and the pointers execve takes, ending in a null.
struct Environment {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  explicit Environment(const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
    for (auto& e : strings) pointers.push_back(e.data());
    pointers.push_back(nullptr);
  }
};

// In the child: every signal at its default action (a test runner may
// ignore some) and none blocked, and nothing this test process inherited
// open, so that it is not mistaken for a descriptor the program leaked.
void child_defaults() {
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
}

// In the child: argv through the PATH of env where given (execvpe is Linux
// only; execvp searches the PATH of environ).
[[noreturn]] void exec_child(std::vector<char*>& args, Environment* env) {
  if (env) environ = env->pointers.data();
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

pid_t start_process(const std::vector<std::string>& argv, const StartOptions& options) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::optional<Environment> env;
  if (options.env) env.emplace(*options.env);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid > 0) return pid;
  options.tty ? setsid() : setpgid(0, 0);
  if (options.tty && *options.tty) ioctl(open(options.tty, O_RDWR | O_CLOEXEC), TIOCSCTTY, 0);
  child_defaults();
  exec_child(args, env ? &*env : nullptr);
}

bool in_child(const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string launcher_binary() {
  // The memcheck runs substitute a dynamically linked launcher.
  const char* other = std::getenv("BRINDLECAST_TEST_LAUNCHER");
  return other && *other ? other : BRINDLECAST_LAUNCHER_BIN;
}

std::string fake_client_binary() { return FAKE_CLIENT_BIN; }

std::string state_command_binary() { return STATE_COMMAND_BIN; }

std::string faulty_launcher_binary() { return FAULTY_LAUNCHER_BIN; }

std::string faulty_state_command_binary() { return FAULTY_STATE_COMMAND_BIN; }

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (!pipe_cloexec(out_pipe) || !pipe_cloexec(err_pipe) || !pipe_cloexec(in_pipe)) {
    throw std::runtime_error("pipe failed");
  }
  if (options.unread_stdout) close(out_pipe[0]);  // before the program can write
  std::optional<Environment> env;
  if (options.env) env.emplace(*options.env);
  // BRINDLECAST_TEST_WRAPPER (e.g. "valgrind -q") runs the launcher under a tool.
  std::vector<std::string> wrapper;
  if (const char* w = std::getenv("BRINDLECAST_TEST_WRAPPER");
      w && !argv.empty() && argv[0] == launcher_binary()) {
    std::istringstream words(w);
    for (std::string word; words >> word;) wrapper.push_back(word);
  }
  std::vector<char*> args;
  for (auto& a : wrapper) args.push_back(a.data());
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    child_defaults();
    if (options.ignore_sigchld) signal(SIGCHLD, SIG_IGN);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    exec_child(args, env ? &*env : nullptr);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Standard input is written up front; tests only pass small inputs.
  if (!options.input.empty()) {
    [[maybe_unused]] auto n = write(in_pipe[1], options.input.data(), options.input.size());
  }
  close(in_pipe[1]);

  ProcessResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  if (options.unread_stdout) {
    fds[0].fd = -1;
    --open_count;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.limit_ms);
  while (open_count > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int polled =
        poll(fds, 2, options.limit_ms == 0 ? -1 : std::max<int>(0, static_cast<int>(left.count())));
    if (polled == 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (polled < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (const auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

}  // namespace brindlecast::testing
