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
// another writer keeps past the wait is an error (Busy).
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

// How a writer waits while another holds the lock.
struct LockWait {
  std::chrono::nanoseconds limit = kRootLockWait;
  // Block in flock in the calling thread, woken by SIGALRM at the limit. Only
  // for a single-threaded program that owns its signals (the launcher): the
  // handler, the timer and the signal mask are its own for the wait alone and
  // restored before the call returns. Otherwise flock blocks on a helper
  // thread with every signal blocked, so a library never touches its host's
  // signals, and the caller waits on a timed condition.
  bool by_alarm = false;
  // With by_alarm: asked whenever another signal cuts the wait short; true
  // ends the wait at once with the EINTR error.
  bool (*give_up)() = nullptr;
};

class RootLock {
 public:
  RootLock(RootLock&& other) noexcept;
  RootLock& operator=(RootLock&&) = delete;
  ~RootLock();

  // Whether the lock is actually held (false when going on without it).
  bool held() const { return fd_ >= 0; }

 private:
  friend Result<RootLock, Error> lock_install_root(const std::string&, const LockWait&);
  explicit RootLock(int fd) : fd_(fd) {}
  int fd_;
};

// Takes the lock, waiting at most wait.limit for another writer to let go.
Result<RootLock, Error> lock_install_root(const std::string& install_root, const LockWait& wait = {});

}  // namespace brindlecast
