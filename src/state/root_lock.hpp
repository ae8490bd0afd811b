// The writers' lock: an exclusive advisory lock (flock) on the install root
// directory, held for the whole read-modify-write of state.json by every
// writer that follows the protocol (the launcher, the client library, the
// state command). It serialises writers only; readers never take it.
//
// The lock lives on a read-only, close-on-exec descriptor of the root, so it
// never reaches a client and ends with the holder's process. A root that
// cannot be opened or locked (missing, not a directory, a file system without
// locks) is no error here: the caller goes on unlocked and meets the real
// problem, with its usual message, when it reads state.json. Only a lock that
// another writer keeps past the wait is an error.
#pragma once

#include <chrono>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

inline constexpr std::chrono::seconds kRootLockWait{5};

class RootLock {
 public:
  RootLock(RootLock&& other) noexcept;
  RootLock& operator=(RootLock&&) = delete;
  ~RootLock();

  // Whether the lock is actually held (false when going on without it).
  bool held() const { return fd_ >= 0; }

 private:
  friend Result<RootLock, Error> lock_install_root(const std::string&, std::chrono::nanoseconds);
  explicit RootLock(int fd) : fd_(fd) {}
  int fd_;
};

// Takes the lock, waiting at most `wait` for another writer to let go.
Result<RootLock, Error> lock_install_root(const std::string& install_root,
                                          std::chrono::nanoseconds wait = kRootLockWait);

}  // namespace brindlecast
