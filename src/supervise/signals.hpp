// The launcher's own signals on the supervision road. A handler only records
// that a signal came; the loop, in its one thread, takes the record and acts:
// it passes the signal on to the client, and after a stop signal it starts no
// further client. Nothing here is used on the hand-over road, where the
// launcher becomes the client.
#pragma once

#include <signal.h>

namespace brindlecast {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT: passed on, then the launcher stops.
bool is_stop_signal(int sig);

// From now on records the stop signals, SIGUSR1, SIGUSR2 and SIGWINCH, and
// unblocks them. One that the launcher was started with ignored (nohup, a
// script's background job) stays ignored. The handlers restart no system
// call: a signal cuts a sleep or a wait for the lock short.
void record_signals();

// A recorded signal, taken off the record (stop signals first); 0 when none.
int take_signal();

// Whether a stop signal is recorded and not yet taken.
bool stop_pending();

// Ends the process by sig, as the signal's default action does. Returns only
// where the system refuses (process 1 of a PID namespace ignores it): then
// with the status a shell reports for that end, 128 + sig.
int end_by_signal(int sig);

// Every signal that a process can have at another action than its default:
// all but SIGKILL and SIGSTOP.
sigset_t changeable_signals();

}  // namespace brindlecast
