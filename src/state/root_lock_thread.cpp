#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/file.hpp"
#include "state/root_lock.hpp"

namespace brindlecast {
namespace {

// What a helper thread's flock came to.
struct Handoff {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  int error = 0;
};

}  // namespace

// The helper blocks through a duplicate of fd: the lock belongs to the open
// file both share, so the caller holds it once the helper has it. A caller
// that gave up has closed its fd; the helper's close then lets go of a lock
// taken too late.
int block_on_helper_thread(int fd, const LockWait& wait) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return errno;
  auto handoff = std::make_shared<Handoff>();
  // The helper starts with every signal blocked, so the host's handlers
  // never run on it.
  sigset_t all, old_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old_mask);
  try {
    std::thread([handoff, copy] {
      const int r = retry_eintr([&] { return ::flock(copy, LOCK_EX); });
      {
        const std::lock_guard<std::mutex> guard(handoff->mutex);
        handoff->done = true;
        handoff->error = r == 0 ? 0 : errno;
      }
      handoff->ended.notify_one();
      ::close(copy);
    }).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::close(copy);
    return e.code().value();
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  std::unique_lock<std::mutex> guard(handoff->mutex);
  if (!handoff->ended.wait_for(guard, wait.limit, [&] { return handoff->done; })) return ETIMEDOUT;
  return handoff->error;
}

}  // namespace brindlecast
