// The launcher's signals, and its waits. Every action the launcher sets on a
// signal is set here and nowhere else, and one that the system refuses is an
// error:
// - SIGPIPE is ignored for its whole life, so that a closed pipe shows as a
//   write error; an exec gets it back at its default action (ExecDefaults).
// - On the supervision road the stop signals, SIGHUP, SIGUSR1, SIGUSR2,
//   SIGWINCH and SIGCONT are recorded, and SIGCHLD is at its default action.
// - The lock wait has SIGALRM for its limit, for the wait alone.
// What is set for a stretch (the alarm, SIGPIPE around an exec) is put back
// as it was after it; what is set for the launcher's life stays.
//
// A handler only records that a signal came; the loop, in its one thread,
// takes the record and acts: it passes the signal on to the client, and after
// a stop signal it starts no further client.
//
// Every wait here (a sleep, the lock wait) ends at once on a signal, also on
// one that came just before the wait began, and each holds that promise by
// its structure:
// - A sleep waits in poll on a self-pipe that every noted signal writes a
//   byte to. It empties the pipe, then looks at the record: a signal before
//   the look is in the record, one after it in the pipe.
// - flock can wait on nothing but the lock, so the lock wait is the one
//   place that jumps: its handlers jump back (siglongjmp) out of the blocking
//   call. Inside that armed stretch lie only the read of a flag that every
//   noted signal sets (cleared before the caller's give_up looks) and the
//   call, nothing that a jump would leave half done. A flock that took the
//   lock just before a jump is asked again without blocking, and the lock is
//   reported taken.
// On the hand-over road, where the launcher becomes the client, only the
// lock wait is used, with its own alarm.
#pragma once

#include <signal.h>

#include <chrono>

#include "common/result.hpp"
#include "state/root_lock.hpp"

namespace brindlecast {

// SIGTERM, SIGINT and SIGQUIT always, SIGHUP where it is the hang-up of the
// launcher's terminal: passed on, then the launcher stops.
bool is_stop_signal(int sig, bool terminal);

// Ignores SIGPIPE from now on. 0, or the error number where the system
// refuses.
int ignore_broken_pipes();

// From now on records the stop signals, SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH and
// SIGCONT, and unblocks them; opens the self-pipe of the sleeps (close-on-exec,
// kept for the launcher's life). One that the launcher was started with ignored
// (nohup, a script's background job) stays ignored. SIGCHLD goes to its
// default action: ignored (a parent may leave it so), it would have the
// system reap the children, and waitpid could never report the client's end.
// Returns whether the launcher has a controlling terminal, looked at once,
// now: without one (a service manager, setsid) nothing can hang it up, and
// SIGHUP is a reload. The error number where the system refuses an action.
Result<bool, int> record_signals();

// A recorded signal, taken off the record (stop signals first); 0 when none.
int take_signal();

// Whether a stop signal is recorded and not yet taken.
bool stop_pending();

// Sleeps for duration, or less: a signal recorded before or during the sleep
// ends it at once. Any duration; none at all when it is not positive. Before
// record_signals a plain sleep.
void sleep_unless_signalled(std::chrono::nanoseconds duration);

// Blocks in flock in the calling thread until the lock is taken, the limit
// passes (SIGALRM) or give_up holds (Stopped): for a single-threaded program
// that owns its signals (the launcher). give_up is asked before the wait
// blocks and after each signal, never while it blocks; a stop comes before a
// lock taken meanwhile, and that before the limit. The alarm's action, the
// timer and the signal mask are its own for the wait alone and put back
// before the call returns.
Result<LockWaitEnd, int> block_until_alarm(int fd, const LockWait& wait);

// SIGPIPE at its default action while the object lives, then put back:
// around an exec, which would pass it on ignored to the client.
class ExecDefaults {
 public:
  ExecDefaults();
  ~ExecDefaults();
  ExecDefaults(const ExecDefaults&) = delete;
  ExecDefaults& operator=(const ExecDefaults&) = delete;

  // 0, or the error number where the system refused (nothing changed then).
  int error() const { return error_; }

 private:
  struct sigaction saved_ {};
  int error_;
};

// Ends the process by sig, as the signal's default action does. Returns only
// where the system refuses (process 1 of a PID namespace ignores it): then
// with the status a shell reports for that end, 128 + sig.
int end_by_signal(int sig);

// Every signal that a process can have at another action than its default:
// all but SIGKILL and SIGSTOP.
sigset_t changeable_signals();

}  // namespace brindlecast
