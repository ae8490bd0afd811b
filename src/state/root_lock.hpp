// The writers' lock: an exclusive advisory lock (flock) on the install root
// directory, held for the whole read-modify-write of state.json by every
// writer that follows the protocol (the launcher, the client library, the
// state command). It serialises writers only; readers never take it.
//
// The lock lives on a read-only, close-on-exec descriptor of the root, so it
// never reaches a client, and is let go explicitly when the RootLock ends, so
// a child forked meanwhile does not keep it. A root that
// cannot be opened or locked (missing, not a directory, a file system without
// locks) gives a RootLock that is not held(): the caller goes on without the
// lock, and meets the real problem, with its usual message, when it reads
// state.json. Only a lock that another writer keeps past the wait is an
// error (Busy).
//
// A waiter blocks in flock, so the system wakes it when the holder lets go
// and it takes its turn among the other waiters; a poller only gets the lock
// if it looks in the instant between two writers, and starves behind writers
// that follow each other closely.
#pragma once

#include <chrono>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

inline constexpr std::chrono::seconds kRootLockWait{5};

struct LockWait;

// Blocks in flock on a helper thread with every signal blocked, while the
// calling thread waits on a timed condition: for libraries, which must not
// touch their host's signals. A process has at most one helper waiting per
// install root: a call that finds one waits for it to end first. A helper
// whose caller gave up lets go of the lock as soon as it gets it. Kept apart
// (root_lock_thread.cpp) so that a program that never waits this way carries
// no thread code.
int block_on_helper_thread(int fd, const LockWait& wait);

// How a writer waits while another holds the lock.
struct LockWait {
  std::chrono::nanoseconds limit = kRootLockWait;
  // Blocks until the lock on fd is taken: 0, ETIMEDOUT at the limit, EINTR
  // when give_up asks to stop, or flock's error number.
  int (*block)(int fd, const LockWait& wait) = block_on_helper_thread;
  // Asked by a wait that signals can cut short (the launcher's), before it
  // blocks and after each signal; true ends it.
  bool (*give_up)() = nullptr;
};

class RootLock {
 public:
  RootLock(RootLock&& other) noexcept;
  RootLock& operator=(RootLock&&) = delete;
  ~RootLock();

  // False when the caller goes on without the lock: then other writers may
  // run at the same time, and it must not do what only the holder may (write
  // state.json.tmp, remove what killed saves left).
  bool held() const { return fd_ >= 0; }

 private:
  friend Result<RootLock, Error> lock_install_root(const std::string&, const LockWait&);
  explicit RootLock(int fd) : fd_(fd) {}
  static RootLock not_held() { return RootLock(-1); }
  int fd_;
};

// Takes the lock, waiting at most wait.limit for another writer to let go;
// a RootLock that is not held() where no lock can be taken (see above).
Result<RootLock, Error> lock_install_root(const std::string& install_root, const LockWait& wait = {});

}  // namespace brindlecast
