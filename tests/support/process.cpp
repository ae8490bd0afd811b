#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
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

}  // namespace

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
  std::vector<std::string> env_strings;
  if (options.env) {
    for (const auto& [k, v] : *options.env) env_strings.push_back(k + "=" + v);
  }
  // BRINDLECAST_TEST_WRAPPER (e.g. "valgrind -q") runs the launcher under a tool.
  std::vector<std::string> wrapper;
  if (const char* w = std::getenv("BRINDLECAST_TEST_WRAPPER");
      w && !argv.empty() && argv[0] == launcher_binary()) {
    std::istringstream words(w);
    for (std::string word; words >> word;) wrapper.push_back(word);
  }
  std::vector<char*> args, envp;
  for (auto& a : wrapper) args.push_back(a.data());
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    if (options.ignore_sigchld) signal(SIGCHLD, SIG_IGN);
    // Whatever this test process inherited must not be mistaken for a
    // descriptor the launcher leaked.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    // execvpe is Linux only; execvp searches the PATH of the environment
    // it is given in environ.
    if (options.env) environ = envp.data();
    execvp(args[0], args.data());
    _exit(127);
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
