#include "state/store.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "common/file.hpp"
#include "common/paths.hpp"
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
  try {
    auto bytes = read_file(state_path);
    if (!bytes) return Err(std::move(bytes).error());
    auto state = parse_install_state(*bytes);
    if (!state) return Err(Error{ErrorKind::InvalidData, state.error().full_text()});
    return std::move(state).value();
  } catch (const std::bad_alloc&) {
    // An endless file (a link to /dev/zero, say) must not abort the caller.
    return Err(os_error(ENOMEM));
  }
}

namespace {

// The replaced file's permission bits and, where this process may set them,
// its owner and group: a save must not widen who can name the executable.
Result<Done, StoreError> take_over_access(int fd, const struct stat& old) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return Err(os_error(errno));
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  if (::fchmod(fd, old.st_mode & 0777) != 0) return Err(os_error(errno));
  return Done{};
}

Result<Done, StoreError> sync_directory(const std::string& state_path, const StoreOps& ops) {
  const auto parent = parent_path(state_path);
  const std::string dir = parent && !parent->empty() ? *parent : ".";
  const int fd = retry_eintr([&] { return ops.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return Err(os_error(errno));
  Result<Done, StoreError> synced = Done{};
  if (retry_eintr([&] { return ops.sync(fd); }) != 0) synced = Err(os_error(errno));
  ops.close(fd);
  return synced;
}

// replace: over an existing state.json (a save), or only where there is none
// (the first state).
Result<Done, StoreError> write_and_rename(const std::string& state_path, const InstallState& state,
                                          const StoreOps& ops, bool replace) {
  if (state_path.find('\0') != std::string::npos) {
    return Err(Error{ErrorKind::InvalidInput, std::string(kNulInPathMessage)});
  }
  const std::string text = write_install_state(state, json::Layout::Pretty);
  const std::string temp_path = state_path + ".tmp";

  struct stat old {};
  const bool replaces = replace && ::stat(state_path.c_str(), &old) == 0;
  // Private until it has the old file's access; a link planted at the
  // temporary name is refused, not followed.
  const int fd = retry_eintr([&] {
    return ops.open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, replaces ? 0600 : 0666);
  });
  if (fd < 0) return Err(os_error(errno));
  Result<Done, StoreError> written = replaces ? take_over_access(fd, old) : Done{};
  if (written) written = write_all(fd, text, ops.write);
  // Without the flush a power loss could leave the renamed file empty.
  if (written && retry_eintr([&] { return ops.sync(fd); }) != 0) written = Err(os_error(errno));
  ops.close(fd);
  if (!written) return Err(std::move(written).error());

  const int renamed = retry_eintr([&] {
    return replace ? ops.rename(temp_path.c_str(), state_path.c_str())
                   : rename_no_replace(temp_path.c_str(), state_path.c_str());
  });
  if (renamed != 0) return Err(os_error(errno));
  // The rename itself lives in the directory: until that is on disk a power
  // loss can bring the old file back, and with it an uncounted start.
  return sync_directory(state_path, ops);
}

Result<Done, StoreError> save(const std::string& state_path, const InstallState& state, const StoreOps& ops,
                              bool replace) {
  try {
    return write_and_rename(state_path, state, ops, replace);
  } catch (const std::bad_alloc&) {
    return Err(os_error(ENOMEM));
  }
}

}  // namespace

Result<Done, StoreError> save_state(const std::string& state_path, const InstallState& state,
                                    const StoreOps& ops) {
  return save(state_path, state, ops, true);
}

Result<Done, StoreError> create_state(const std::string& state_path, const InstallState& state) {
  return save(state_path, state, system_store_ops(), false);
}

}  // namespace brindlecast
