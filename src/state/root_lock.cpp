#include "state/root_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/file.hpp"
#include "common/platform.hpp"

namespace brindlecast {

RootLock::~RootLock() {
  // The lock belongs to the open file, which a child forked meanwhile shares:
  // only an explicit unlock ends it for all of them. fd_ then closes it.
  if (fd_.get() >= 0) ::flock(fd_.get(), LOCK_UN);
}

Result<RootLock, Error> lock_install_root(const std::string& install_root, const LockWait& wait) {
  if (install_root.find('\0') != std::string::npos) return RootLock::not_held();
  // The directory that holds state.json: for the root "" that is the
  // current directory. flock behaves alike on Linux and macOS, on
  // directories too.
  const std::string dir = install_root.empty() ? "." : install_root;
  const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  // A root that cannot be opened is no root without locks: going on without
  // the lock would write what every other writer may overwrite.
  if (fd < 0) return Err(os_error(errno));
  RootLock lock(fd);
  // Free, as it nearly always is: no timer, no thread.
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
  if (flock_unsupported(errno)) return RootLock::not_held();
  if (errno != EWOULDBLOCK && errno != EINTR) return Err(os_error(errno));
  const auto end = wait.block(fd, wait);
  if (end && *end == LockWaitEnd::Taken) return lock;
  if (end && *end == LockWaitEnd::TimedOut) {
    return Err(Error{ErrorKind::Busy,
                     "another writer has held the lock on the install root for more than " +
                         std::to_string(std::chrono::ceil<std::chrono::seconds>(wait.limit).count()) +
                         " s; state.json was left as it was"});
  }
  if (end)
    return Err(Error{ErrorKind::Stopped, "a stop signal ended the wait for the lock on the install root"});
  if (flock_unsupported(end.error())) return RootLock::not_held();
  return Err(os_error(end.error()));
}

}  // namespace brindlecast
