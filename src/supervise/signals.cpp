#include "supervise/signals.hpp"

#include <sys/resource.h>

#include <csignal>
#include <iterator>

namespace brindlecast {
namespace {

constexpr int kRecorded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};

volatile std::sig_atomic_t g_received[std::size(kRecorded)] = {};

extern "C" void note_signal(int sig) {
  for (std::size_t i = 0; i < std::size(kRecorded); ++i) {
    if (kRecorded[i] == sig) g_received[i] = 1;
  }
}

}  // namespace

bool is_stop_signal(int sig) { return sig == SIGTERM || sig == SIGINT || sig == SIGHUP || sig == SIGQUIT; }

void record_signals() {
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  sigset_t caught;
  sigemptyset(&caught);
  for (const int sig : kRecorded) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
    sigaddset(&caught, sig);
  }
  ::sigprocmask(SIG_UNBLOCK, &caught, nullptr);
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
    if (g_received[i] != 0 && is_stop_signal(kRecorded[i])) return true;
  }
  return false;
}

int end_by_signal(int sig) {
  // A core of the launcher would be no use, and would land in the working
  // directory it shares with the client, over the client's own.
  rlimit core {};
  if (::getrlimit(RLIMIT_CORE, &core) == 0) {
    core.rlim_cur = 0;
    ::setrlimit(RLIMIT_CORE, &core);
  }
  ::signal(sig, SIG_DFL);
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
