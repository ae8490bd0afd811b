#include "launcher/entry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/utf8.hpp"
#include "common/version.hpp"
#include "launcher/command_line.hpp"
#include "launcher/config.hpp"
#include "launcher/self_test.hpp"
#include "supervise/signals.hpp"
#include "supervise/supervisor.hpp"

namespace brindlecast {
namespace {

constexpr std::string_view kMissingRootMessage =
    "no install root: pass --install-root, set BRINDLECAST_INSTALL_ROOT, add launcher.json, or place the "
    "launcher at <root>/../launcher";

// The launcher and its client always get three standard descriptors.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free descriptor is this one, since lower ones are open.
      (void)retry_eintr([] { return ::open("/dev/null", O_RDWR); });
    }
  }
}

int report(std::string_view message) {
  std::string line(kProgramName);
  line += ": ";
  line += message;
  line += '\n';
  (void)write_all(STDERR_FILENO, line);
  return 1;
}

// Prints text on standard output; a failure is the error line and status 1.
int print(std::string_view text) {
  if (auto r = write_all(STDOUT_FILENO, text); !r) return report(r.error().message);
  return 0;
}

int launch(int argc, char** argv) {
  open_standard_descriptors();
  // A closed pipe must show as a write error, not kill the launcher.
  if (const int e = ignore_broken_pipes(); e != 0) return report(os_error_text(e));

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  for (int i = 0; i < argc; ++i) {
    // Arguments are passed on unchanged or not at all.
    if (!is_valid_utf8(argv[i])) return report("argument " + std::to_string(i) + " is not valid UTF-8");
  }

  auto cl = parse_command_line(args);
  if (!cl) return report(cl.error());
  // The version needs no configuration: launcher.json is not even looked for.
  if (cl->mode == LaunchMode::ShowVersion) {
    return print(std::string(kProgramName) + " " + std::string(kVersionText) + "\n");
  }

  const LauncherConfig config = load_launcher_config();
  LaunchSettings settings;
  settings.install_root = resolve_install_root(cl->install_root, config);
  settings.install_method = resolve_install_method(cl->install_method, config);
  settings.mode = cl->mode;
  settings.pass_through_args = std::move(cl->pass_through_args);

  if (settings.mode == LaunchMode::SelfTest) {
    return print(self_test_report(settings.install_root, settings.install_method));
  }
  if (!settings.install_root) return report(kMissingRootMessage);
  auto status = run_client(*settings.install_root, settings.install_method, settings.pass_through_args);
  if (!status) return report(status.error().message);
  return *status & 0xFF;
}

}  // namespace

int launcher_main(int argc, char** argv) {
  // The one place where running out of memory, anywhere below, becomes an
  // error rather than an abort.
  try {
    return launch(argc, argv);
  } catch (const std::bad_alloc&) {
    return report(os_error_text(ENOMEM));
  }
}

}  // namespace brindlecast
