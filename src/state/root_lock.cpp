#include "state/root_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "common/file.hpp"

namespace brindlecast {
namespace {

volatile std::sig_atomic_t g_deadline_passed = 0;

extern "C" void note_deadline(int) { g_deadline_passed = 1; }

timeval to_timeval(std::chrono::nanoseconds d) {
  const auto us = std::max<long long>(std::chrono::ceil<std::chrono::microseconds>(d).count(), 1);
  return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

}  // namespace

int block_until_alarm(int fd, const LockWait& wait) {
  struct sigaction ours {}, theirs {};
  ours.sa_handler = note_deadline;  // without SA_RESTART, so that the alarm cuts flock short
  sigemptyset(&ours.sa_mask);
  sigset_t alarm, old_mask;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  g_deadline_passed = 0;
  ::sigaction(SIGALRM, &ours, &theirs);
  ::sigprocmask(SIG_UNBLOCK, &alarm, &old_mask);
  // The timer goes on firing after the limit: an alarm that came just before
  // flock began to block is followed by another.
  const itimerval timer{to_timeval(std::chrono::milliseconds(10)), to_timeval(wait.limit)};
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  int error = 0;
  while (::flock(fd, LOCK_EX) != 0) {
    error = errno;
    if (error != EINTR) break;
    if (g_deadline_passed) {
      error = ETIMEDOUT;
      break;
    }
    if (wait.give_up && wait.give_up()) break;
    error = 0;
  }
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &theirs, nullptr);
  ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  return error;
}

RootLock::RootLock(RootLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

RootLock::~RootLock() {
  if (fd_ < 0) return;
  // The lock belongs to the open file, which a child forked meanwhile shares:
  // only an explicit unlock ends it for all of them.
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

Result<RootLock, Error> lock_install_root(const std::string& install_root, const LockWait& wait) {
  if (install_root.find('\0') != std::string::npos) return RootLock(-1);
  // The directory that holds state.json: for the root "" that is the
  // current directory. flock behaves alike on Linux and macOS, on
  // directories too.
  const std::string dir = install_root.empty() ? "." : install_root;
  const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return RootLock(-1);
  RootLock lock(fd);
  // Free, as it nearly always is: no timer, no thread.
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
  if (errno != EWOULDBLOCK && errno != EINTR) return RootLock(-1);  // no locks here: go on without
  const int error = wait.block(fd, wait);
  if (error == 0) return lock;
  if (error == ETIMEDOUT) {
    return Err(Error{ErrorKind::Busy, "another writer has held the lock on the install root for more than " +
                                          std::to_string(std::chrono::ceil<std::chrono::seconds>(wait.limit).count()) +
                                          " s; state.json was left as it was"});
  }
  if (error == ENOLCK || error == ENOTSUP || error == EOPNOTSUPP) return RootLock(-1);
  return Err(os_error(error));
}

}  // namespace brindlecast
