// The writers' lock: an exclusive advisory lock (flock) on the install root
// directory, held for the whole read-modify-write of state.json by every
// writer that follows the protocol (the launcher, the client library, the
// state command). It serialises writers only; readers never take it.
//
// The lock lives on a read-only, close-on-exec descriptor of the root, so it
// never reaches a client, and is let go explicitly when the RootLock ends, so
// a child forked meanwhile does not keep it. Only a file system without
// locks (flock's ENOLCK, ENOTSUP) gives a RootLock that is not held(): the
// caller goes on without the lock. A root that cannot be opened (missing:
// NotFound, as a missing state.json would be; not a directory; not readable,
// as a root of mode 0300 is not) or locked is an error with the system's
// message, and so is a lock that another writer keeps past the wait (Busy).
//
// A waiter blocks in flock, so the system wakes it when the holder lets go
// and it takes its turn among the other waiters; a poller only gets the lock
// if it looks in the instant between two writers, and starves behind writers
// that follow each other closely.
//
// Tests: tests/supervise/run_e2e_test.cpp (the launcher's wait) and
// tests/client/c_api_test.cpp (the library's).
#pragma once

#include <chrono>
#include <string>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"

namespace brindlecast {

inline constexpr std::chrono::seconds kRootLockWait{5};

// How a wait that blocked came to its end, unless it failed.
enum class LockWaitEnd {
  Taken,     // the lock is held
  TimedOut,  // the limit passed first
  Stopped,   // give_up asked to stop: the program is ending on a signal
};

// How a writer waits while another holds the lock. The way to block is the
// caller's choice, and there is no default: a library waits on a helper
// thread, the launcher in flock itself under an alarm (see those waiters).
struct LockWait {
  std::chrono::nanoseconds limit = kRootLockWait;
  // Blocks until the lock on fd is taken, the limit passes or give_up asks
  // to stop; the error number where the wait failed.
  Result<LockWaitEnd, int> (*block)(int fd, const LockWait& wait);
  // Asked by a wait that signals can cut short (the launcher's), before it
  // blocks and after each signal, never while it blocks, so it may do what
  // it likes; true ends it.
  bool (*give_up)() = nullptr;
};

class RootLock {
 public:
  RootLock(RootLock&& other) noexcept = default;
  RootLock& operator=(RootLock&&) = delete;
  ~RootLock();

  // False when the caller goes on without the lock: then other writers may
  // run at the same time, and it must not do what only the holder may (write
  // state.json.tmp, remove what killed saves left).
  bool held() const { return fd_.get() >= 0; }

 private:
  friend Result<RootLock, Error> lock_install_root(const std::string&, const LockWait&);
  explicit RootLock(int fd) : fd_(fd) {}
  static RootLock not_held() { return RootLock(-1); }
  Fd fd_;
};

// Takes the lock, waiting at most wait.limit for another writer to let go;
// a RootLock that is not held() where no lock can be taken (see above). A
// wait that give_up ends is a Stopped error.
Result<RootLock, Error> lock_install_root(const std::string& install_root, const LockWait& wait);

}  // namespace brindlecast
