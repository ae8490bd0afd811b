#include "state/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"

namespace brindlecast {
namespace {

int system_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

}  // namespace

const StoreOps& system_store_ops() {
  static const StoreOps ops{system_open, ::write, barrier_sync_file, ::close, ::rename, sync_file};
  return ops;
}

std::string state_path(std::string_view install_root) { return join_path(install_root, "state.json"); }

Result<InstallState, StoreError> load_state(const std::string& state_path) {
  auto bytes = read_file(state_path);
  if (!bytes) return bytes.forward();
  auto state = parse_install_state(*bytes);
  if (!state) return Err(Error{ErrorKind::InvalidData, state.error().full_text()});
  return std::move(state).value();
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

// Runs after the rename: whatever fails here, the new file is in place.
Result<Done, StoreError> sync_directory(const std::string& state_path, const StoreOps& ops) {
  const auto parent = parent_path(state_path);
  const std::string dir = parent && !parent->empty() ? *parent : ".";
  const int fd = retry_eintr([&] { return ops.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
  const int failed = fd < 0 ? errno : flush_directory(fd, ops.sync_directory);
  if (fd >= 0) ops.close(fd);
  if (failed == 0) return Done{};
  const std::string name = state_path.substr(state_path.rfind('/') + 1);
  return Err(
      Error{ErrorKind::NotDurable,
            "the new " + name + " is in place but may not survive a power cut: " + os_error_text(failed)});
}

struct Temp {
  int fd;
  std::string path;
};

// The process and a counter tell concurrent writers apart; O_EXCL refuses a
// leftover that happens to bear the same name, and the next name is tried.
Result<Temp, StoreError> open_own_temp(const std::string& state_path, mode_t mode, const StoreOps& ops) {
  static std::atomic<unsigned long> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = state_path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = retry_eintr(
        [&] { return ops.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode); });
    if (fd >= 0) return Temp{fd, std::move(path)};
    if (errno != EEXIST) return Err(os_error(errno));
  }
  return Err(os_error(EEXIST));
}

// A regular file open for writing at path, or -1 with errno set; whatever
// else lies there is closed again (ENXIO).
int open_regular(const std::string& path, mode_t mode, const StoreOps& ops) {
  // Without blocking: a FIFO planted there must not hold the writers' lock.
  const int fd = retry_eintr([&] {
    return ops.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  });
  struct stat st {};
  if (fd < 0 || (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) return fd;
  ops.close(fd);
  errno = ENXIO;
  return -1;
}

Result<Temp, StoreError> open_shared_temp(const std::string& state_path, mode_t mode, const StoreOps& ops) {
  std::string path = state_path + ".tmp";
  int fd = open_regular(path, mode, ops);
  // Whatever else lies at the name (a link, a FIFO, a directory, a leftover
  // of another user's that a writer killed as root left) would fail every
  // later save: under the lock, which only this writer holds, the name is
  // taken back, where this writer may change the directory. A directory that
  // holds anything is no leftover of a save: it stays, and the save fails.
  if (fd < 0 && errno != ENOENT && errno != EROFS && errno != ENOSPC && errno != EDQUOT) {
    const int first = errno;
    if (::unlink(path.c_str()) == 0 || ((errno == EISDIR || errno == EPERM) && ::rmdir(path.c_str()) == 0)) {
      fd = open_regular(path, mode, ops);
    } else if (errno != ENOTEMPTY && errno != EEXIST) {
      errno = first;
    }
  }
  if (fd < 0) return Err(os_error(errno));
  return Temp{fd, std::move(path)};
}

// replace: over an existing state.json (a save), or only where there is none
// (the first state).
Result<Done, StoreError> save(const std::string& state_path, std::string_view text, const StoreOps& ops,
                              bool replace, TempFile kind) {
  if (state_path.find('\0') != std::string::npos) {
    return Err(Error{ErrorKind::InvalidInput, std::string(kNulInPathMessage)});
  }

  struct stat old {};
  const bool replaces = replace && ::stat(state_path.c_str(), &old) == 0;
  // Private until it has the old file's access; a link planted at the
  // temporary name is refused, not followed.
  const mode_t mode = replaces ? 0600 : 0666;
  auto temp =
      kind == TempFile::Own ? open_own_temp(state_path, mode, ops) : open_shared_temp(state_path, mode, ops);
  if (!temp) return temp.forward();
  Result<Done, StoreError> written = replaces ? take_over_access(temp->fd, old) : Done{};
  if (written) written = write_all(temp->fd, text, ops.write);
  // Without the flush a power loss could leave the renamed file empty.
  if (written && retry_eintr([&] { return ops.sync(temp->fd); }) != 0) written = Err(os_error(errno));
  // A network file system may report a failed write only here. EINTR says
  // nothing of the data, flushed already, and the descriptor is gone anyway.
  if (ops.close(temp->fd) != 0 && errno != EINTR && written) written = Err(os_error(errno));
  if (written) {
    const int renamed = retry_eintr([&] {
      return replace ? ops.rename(temp->path.c_str(), state_path.c_str())
                     : rename_no_replace(temp->path.c_str(), state_path.c_str());
    });
    if (renamed != 0) written = Err(os_error(errno));
  }
  if (!written) {
    if (kind == TempFile::Own) (void)::unlink(temp->path.c_str());
    return written;
  }
  // The rename itself lives in the directory: until that is on disk a power
  // loss can bring the old file back, and with it an uncounted start.
  return sync_directory(state_path, ops);
}

}  // namespace

Result<Done, StoreError> save_state(const std::string& state_path, const InstallState& state,
                                    const RootLock& lock, const StoreOps& ops, TempFile temp) {
  return save(state_path, write_install_state(state, json::Layout::Pretty), ops, true,
              lock.held() ? temp : TempFile::Own);
}

Result<Done, StoreError> create_state(const std::string& state_path, const InstallState& state) {
  return save(state_path, write_install_state(state, json::Layout::Pretty), system_store_ops(), false,
              TempFile::Own);
}

Result<Done, StoreError> save_document(const std::string& path, std::string_view text) {
  return save(path, text, system_store_ops(), true, TempFile::Own);
}

void sweep_temp_files(const std::string& state_path, const RootLock& lock) {
  if (!lock.held()) return;
  const auto parent = parent_path(state_path);
  const std::string temp = state_path.substr(state_path.rfind('/') + 1) + ".tmp";
  DIR* dir = ::opendir(parent && !parent->empty() ? parent->c_str() : ".");
  if (dir == nullptr) return;
  // Listed first, removed after: a directory changed while it is read may
  // skip entries.
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, temp.size()) == temp && (name.size() == temp.size() || name[temp.size()] == '-')) {
      leftovers.emplace_back(name);
    }
  }
  for (const auto& name : leftovers) (void)::unlinkat(::dirfd(dir), name.c_str(), 0);
  ::closedir(dir);
}

}  // namespace brindlecast
