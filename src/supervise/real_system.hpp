// The system the supervision loop runs on: the launch policy before each
// start, and the POSIX process layer. The client replaces the launcher
// (execvp) or starts as its child (posix_spawnp) in a process group of its
// own, every ended child is reaped (waitpid), and signals reach the client's
// group (kill). The launcher's own signals and waits are signals.hpp's. The
// loop (supervisor.cpp) decides; this only carries out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/install_method.hpp"
#include "supervise/supervisor.hpp"

namespace brindlecast {

class RealSystem final : public SupervisionSystem {
 public:
  RealSystem(std::string_view install_root, std::optional<InstallMethod> method,
             const std::vector<std::string>& pass_through_args);

  Result<std::string, Error> prepare(std::string_view install_root) override;
  ClientCommand command(std::string_view executable) override;
  int exec(const ClientCommand& command) override;
  Result<pid_t, int> spawn(const ClientCommand& command) override;
  Result<std::optional<int>, int> poll(pid_t pid) override;
  void sleep(std::chrono::nanoseconds duration) override;
  std::chrono::nanoseconds now() override;
  Result<bool, int> record_signals() override;
  int take_signal() override;
  void pass_on(pid_t pid, int sig) override;
  int end_by_signal(int sig) override;

 private:
  std::string install_root_;
  std::optional<InstallMethod> method_;
  const std::vector<std::string>& args_;
};

}  // namespace brindlecast
