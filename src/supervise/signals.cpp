#include "supervise/signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <setjmp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <iterator>

namespace brindlecast {
namespace {

constexpr int kRecorded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH, SIGCONT};

volatile std::sig_atomic_t g_received[std::size(kRecorded)] = {};
volatile std::sig_atomic_t g_alarm = 0;  // the lock wait's limit has passed
// Set by every noted signal; the lock wait clears it before it looks.
volatile std::sig_atomic_t g_woken = 0;
// While set, a handler jumps to g_wake; cleared by the jump or the waiter.
volatile std::sig_atomic_t g_armed = 0;
sigjmp_buf g_wake;
// The self-pipe: every noted signal writes a byte, so that a sleep in poll
// ends whenever the signal came after the sleep emptied it.
int g_pipe_read = -1;
int g_pipe_write = -1;
bool g_terminal = false;

extern "C" void note_signal(int sig) {
  for (std::size_t i = 0; i < std::size(kRecorded); ++i) {
    if (kRecorded[i] == sig) g_received[i] = 1;
  }
  if (sig == SIGALRM) g_alarm = 1;
  g_woken = 1;
  if (g_pipe_write >= 0) {
    const int saved = errno;
    (void)::write(g_pipe_write, "", 1);  // a full pipe wakes the sleep all the same
    errno = saved;
  }
  if (g_armed != 0) {
    g_armed = 0;
    siglongjmp(g_wake, 1);
  }
}

// The one call in the launcher that sets an action on a signal; saved, where
// given, gets the action it replaced. 0, or the error number.
int set_action(int sig, const struct sigaction& action, struct sigaction* saved = nullptr) {
  return ::sigaction(sig, &action, saved) == 0 ? 0 : errno;
}

struct sigaction plain_action(void (*disposition)(int)) {
  struct sigaction sa {};
  sa.sa_handler = disposition;
  sigemptyset(&sa.sa_mask);
  return sa;
}

// Without SA_RESTART, and with the other noted signals blocked meanwhile, so
// that handlers never nest.
struct sigaction noting_action() {
  struct sigaction sa = plain_action(note_signal);
  for (const int sig : kRecorded) sigaddset(&sa.sa_mask, sig);
  sigaddset(&sa.sa_mask, SIGALRM);
  return sa;
}

bool any_recorded() {
  return std::any_of(std::begin(g_received), std::end(g_received),
                     [](std::sig_atomic_t r) { return r != 0; });
}

// pipe2 is Linux only; the launcher is single-threaded, so no exec can come
// between the pipe and its flags.
int open_self_pipe() {
  if (g_pipe_read >= 0) return 0;
  int fds[2];
  if (::pipe(fds) != 0) return errno;
  for (const int fd : fds) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
      const int e = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      return e;
    }
  }
  g_pipe_read = fds[0];
  g_pipe_write = fds[1];
  return 0;
}

void empty_self_pipe() {
  char bytes[64];
  while (g_pipe_read >= 0 && ::read(g_pipe_read, bytes, sizeof bytes) > 0) {
  }
}

constexpr int kWoken = -1;  // no error number

// The one armed stretch, for flock has no way to wait on a descriptor or with
// a signal mask. From the arming on, a noted signal jumps back to the
// sigsetjmp; before it, g_woken tells of one. The jump skips whatever it
// interrupts, so only the read of the flag and the call lie in between. 0
// when the lock is taken, kWoken after a signal, else the error number.
int flock_unless_woken(int fd) {
  if (sigsetjmp(g_wake, 1) != 0) return kWoken;
  g_armed = 1;
  const bool woken = g_woken != 0;
  const int r = woken ? -1 : ::flock(fd, LOCK_EX);
  g_armed = 0;
  if (r == 0) return 0;
  return woken || errno == EINTR ? kWoken : errno;
}

timeval to_timeval(std::chrono::nanoseconds d) {
  const auto us = std::max<long long>(std::chrono::ceil<std::chrono::microseconds>(d).count(), 1);
  return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

// The lock wait proper, with the alarm armed. Whatever the caller's give_up
// does, it does outside the armed stretch: g_woken, cleared before it looks,
// carries a signal that lands after the look into the stretch.
Result<LockWaitEnd, int> flock_until_alarm(int fd, const LockWait& wait) {
  for (bool woken = false;; woken = true) {
    g_woken = 0;
    if (wait.give_up && wait.give_up()) return LockWaitEnd::Stopped;
    // A jump may cut short a flock that had just taken the lock: asked again
    // without blocking, flock grants the lock this open file holds.
    if (woken && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockWaitEnd::Taken;
    if (g_alarm != 0) return LockWaitEnd::TimedOut;
    const int r = flock_unless_woken(fd);
    if (r == 0) return LockWaitEnd::Taken;
    if (r != kWoken) return Err(r);
  }
}

}  // namespace

bool is_stop_signal(int sig, bool terminal) {
  return sig == SIGTERM || sig == SIGINT || sig == SIGQUIT || (sig == SIGHUP && terminal);
}

int ignore_broken_pipes() { return set_action(SIGPIPE, plain_action(SIG_IGN)); }

Result<bool, int> record_signals() {
  // Looked at before any handler is set, so nothing cuts the open short.
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  g_terminal = tty >= 0;
  if (tty >= 0) ::close(tty);
  if (const int e = open_self_pipe(); e != 0) return Err(e);
  const struct sigaction sa = noting_action();
  sigset_t caught;
  sigemptyset(&caught);
  for (const int sig : kRecorded) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) return Err(errno);
    if (old.sa_handler == SIG_IGN) continue;
    if (const int e = set_action(sig, sa); e != 0) return Err(e);
    sigaddset(&caught, sig);
  }
  if (const int e = set_action(SIGCHLD, plain_action(SIG_DFL)); e != 0) return Err(e);
  if (::sigprocmask(SIG_UNBLOCK, &caught, nullptr) != 0) return Err(errno);
  return g_terminal;
}

int take_signal() {
  for (std::size_t i = 0; i < std::size(kRecorded); ++i) {
    if (g_received[i] != 0) {
      g_received[i] = 0;
      return kRecorded[i];
    }
  }
  return 0;
}

bool stop_pending() {
  for (std::size_t i = 0; i < std::size(kRecorded); ++i) {
    if (g_received[i] != 0 && is_stop_signal(kRecorded[i], g_terminal)) return true;
  }
  return false;
}

void sleep_unless_signalled(std::chrono::nanoseconds duration) {
  if (duration <= duration.zero()) return;
  // Emptied before the look: a signal after it leaves a byte that ends the
  // poll at once.
  empty_self_pipe();
  if (any_recorded()) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  pollfd wake{g_pipe_read, POLLIN, 0};  // without a pipe (-1) poll only sleeps
  (void)::poll(&wake, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
}

Result<LockWaitEnd, int> block_until_alarm(int fd, const LockWait& wait) {
  struct sigaction theirs {};
  g_alarm = 0;
  if (const int e = set_action(SIGALRM, noting_action(), &theirs); e != 0) return Err(e);
  sigset_t alarm, old_mask;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  const itimerval timer{{}, to_timeval(wait.limit)}, off{};
  Result<LockWaitEnd, int> end = Err(0);
  if (::sigprocmask(SIG_UNBLOCK, &alarm, &old_mask) != 0) {
    end = Err(errno);
  } else {
    end = ::setitimer(ITIMER_REAL, &timer, nullptr) == 0 ? flock_until_alarm(fd, wait) : Err(errno);
    // Put back as they were: with what the system gave back, none can fail.
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  }
  set_action(SIGALRM, theirs);
  return end;
}

ExecDefaults::ExecDefaults() : error_(set_action(SIGPIPE, plain_action(SIG_DFL), &saved_)) {}

ExecDefaults::~ExecDefaults() {
  if (error_ == 0) set_action(SIGPIPE, saved_);
}

int end_by_signal(int sig) {
  // A core of the launcher would be no use, and would land in the working
  // directory it shares with the client, over the client's own.
  rlimit core{};
  if (::getrlimit(RLIMIT_CORE, &core) == 0) {
    core.rlim_cur = 0;
    ::setrlimit(RLIMIT_CORE, &core);
  }
  // Else raise would only record it.
  if (set_action(sig, plain_action(SIG_DFL)) != 0) return 128 + sig;
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, sig);
  ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
  ::raise(sig);
  return 128 + sig;
}

sigset_t changeable_signals() {
  sigset_t set;
  sigfillset(&set);
  sigdelset(&set, SIGKILL);
  sigdelset(&set, SIGSTOP);
  return set;
}

}  // namespace brindlecast
