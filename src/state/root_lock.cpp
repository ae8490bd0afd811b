#include "state/root_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file.hpp"
#include "common/platform.hpp"

namespace brindlecast {

RootLock::RootLock(RootLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

RootLock::~RootLock() {
  if (fd_ >= 0) ::close(fd_);
}

Result<RootLock, Error> lock_install_root(const std::string& install_root, std::chrono::nanoseconds wait) {
  if (install_root.find('\0') != std::string::npos) return RootLock(-1);
  // The directory that holds state.json: for the root "" that is the
  // current directory. flock behaves alike on Linux and macOS, on
  // directories too.
  const std::string dir = install_root.empty() ? "." : install_root;
  const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return RootLock(-1);
  RootLock lock(fd);
  const auto deadline = monotonic_now() + wait;
  // Writers hold the lock for a few milliseconds: poll often at first, then
  // less, rather than block without a bound.
  std::chrono::nanoseconds pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return RootLock(-1);  // no locks here: go on without
    if (monotonic_now() >= deadline) {
      return Err(Error{ErrorKind::Other, "another writer has held the lock on the install root for more than " +
                                             std::to_string(std::chrono::ceil<std::chrono::seconds>(wait).count()) +
                                             " s; state.json was left as it was"});
    }
    const timespec ts{0, static_cast<long>(pause.count())};
    ::nanosleep(&ts, nullptr);
    pause = std::min<std::chrono::nanoseconds>(pause * 2, std::chrono::milliseconds(8));
  }
}

}  // namespace brindlecast
