#include "client/thread_wait.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/file.hpp"

namespace brindlecast {
namespace {

// A helper thread's wait in flock, and what it came to.
struct Waiter {
  pid_t process;      // a waiter inherited through fork has no thread behind it
  bool done = false;  // flock returned
  int error = 0;
  bool abandoned = false;  // its caller gave up: the helper lets go of what it gets
};

// The waiting helpers of this process, one per install root at most.
struct Helpers {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<Waiter>> by_root;
};

Helpers& helpers() {
  static auto* all = new Helpers;  // never destroyed: a detached helper may outlive main
  return *all;
}

}  // namespace

// The helper blocks through a duplicate of fd: the lock belongs to the open
// file both share, so the caller holds it once the helper has it, and the
// duplicate is closed before the caller hears of it.
Result<LockWaitEnd, int> block_on_helper_thread(int fd, const LockWait& wait) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Err(errno);
  const std::pair<dev_t, ino_t> root{st.st_dev, st.st_ino};
  const auto deadline = std::chrono::steady_clock::now() + wait.limit;
  Helpers& all = helpers();
  std::unique_lock<std::mutex> guard(all.mutex);
  // Another call's helper waits for this root already: its turn comes first.
  for (auto it = all.by_root.find(root); it != all.by_root.end(); it = all.by_root.find(root)) {
    if (it->second->process != ::getpid()) {
      all.by_root.erase(it);
      break;
    }
    if (all.changed.wait_until(guard, deadline) == std::cv_status::timeout) return LockWaitEnd::TimedOut;
  }
  auto waiter = std::make_shared<Waiter>();
  waiter->process = ::getpid();
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Err(errno);
  all.by_root[root] = waiter;
  // The helper starts with every signal blocked, so the host's handlers
  // never run on it.
  sigset_t every, old_mask;
  sigfillset(&every);
  pthread_sigmask(SIG_SETMASK, &every, &old_mask);
  try {
    std::thread([&all, waiter, root, copy] {
      const int r = retry_eintr([&] { return ::flock(copy, LOCK_EX); });
      const int error = r == 0 ? 0 : errno;
      {
        const std::lock_guard<std::mutex> lock(all.mutex);
        waiter->done = true;
        waiter->error = error;
        if (waiter->abandoned && r == 0) ::flock(copy, LOCK_UN);
        ::close(copy);
        all.by_root.erase(root);
      }
      all.changed.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    all.by_root.erase(root);
    ::close(copy);
    return Err(e.code().value());
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (!all.changed.wait_until(guard, deadline, [&] { return waiter->done; })) {
    waiter->abandoned = true;
    return LockWaitEnd::TimedOut;
  }
  if (waiter->error != 0) return Err(waiter->error);
  return LockWaitEnd::Taken;
}

}  // namespace brindlecast
