// The documented example record: slot 1.4.2 on trial after one start; and
// the writers' lock, for a test that saves as a writer does.
#pragma once

#include <stdexcept>
#include <string>

#include "state/install_state.hpp"
#include "state/root_lock.hpp"

namespace brindlecast::testing {

inline InstallState documented_state() {
  InstallState s;
  s.active = "1.4.2";
  s.known_good = "1.4.1";
  s.channel = "stable";
  s.pending = "1.4.2";
  s.failed_starts = 1;
  s.versions = {{"1.4.2", "1.4.2"}};
  return s;
}

// The writers' lock on dir, taken without waiting: no other writer runs.
inline RootLock writer_lock(const std::string& dir) {
  const LockWait no_wait{
      kRootLockWait, [](int, const LockWait&) -> Result<LockWaitEnd, int> { return LockWaitEnd::TimedOut; }};
  auto lock = lock_install_root(dir, no_wait);
  if (!lock) throw std::runtime_error(lock.error().message);
  return std::move(lock).value();
}

}  // namespace brindlecast::testing
