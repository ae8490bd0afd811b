#include "state/store.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "common/file.hpp"
#include "common/platform.hpp"

namespace brindlecast {
namespace {

int system_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

}  // namespace

const StoreOps& system_store_ops() {
  static const StoreOps ops{system_open, ::write, sync_file, ::close, ::rename};
  return ops;
}

Result<InstallState, StoreError> load_state(const std::string& state_path) {
  auto bytes = read_file(state_path);
  if (!bytes) return Err(std::move(bytes).error());
  auto state = parse_install_state(*bytes);
  if (!state) return Err(Error{ErrorKind::InvalidData, state.error().full_text()});
  return std::move(state).value();
}

Result<Done, StoreError> save_state(const std::string& state_path, const InstallState& state,
                                    const StoreOps& ops) {
  if (state_path.find('\0') != std::string::npos) {
    return Err(Error{ErrorKind::InvalidInput, std::string(kNulInPathMessage)});
  }
  const std::string text = write_install_state(state, json::Layout::Pretty);
  const std::string temp_path = state_path + ".tmp";

  const int fd =
      retry_eintr([&] { return ops.open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
  if (fd < 0) return Err(os_error(errno));
  auto written = write_all(fd, text, ops.write);
  // Without the flush a power loss could leave the renamed file empty.
  if (written && retry_eintr([&] { return ops.sync(fd); }) != 0) written = Err(os_error(errno));
  ops.close(fd);
  if (!written) return Err(std::move(written).error());

  if (retry_eintr([&] { return ops.rename(temp_path.c_str(), state_path.c_str()); }) != 0) {
    return Err(os_error(errno));
  }
  return Done{};
}

}  // namespace brindlecast
