// The library's wait for the writers' lock (state/root_lock.hpp). A library
// must not touch its host's signals, so it cannot wait as the launcher does,
// in flock under an alarm: it waits on a helper thread instead. Only the
// library and the tools built on it carry this thread code.
//
// Tests: ClientApi.TheLockEndsWithItsCall in tests/client/c_api_test.cpp.
#pragma once

#include "state/root_lock.hpp"

namespace brindlecast {

// Blocks in flock on a helper thread with every signal blocked, while the
// calling thread waits on a timed condition. A process has at most one
// helper waiting per install root: a call that finds one waits for it to end
// first. A helper whose caller gave up lets go of the lock as soon as it gets
// it. Never Stopped.
Result<LockWaitEnd, int> block_on_helper_thread(int fd, const LockWait& wait);

// The library's wait: on a helper thread, for the usual limit.
inline constexpr LockWait kHelperThreadWait{kRootLockWait, block_on_helper_thread};

}  // namespace brindlecast
