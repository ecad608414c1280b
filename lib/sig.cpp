// Deferred signal handling: a tiny catcher counts arrivals; the real work runs in the main loop.
#include "sig.h"

#include <atomic>
#include <cerrno>

namespace {

struct real_signal_handler_t {
  struct sigaction action;
  signal_handler_t handler;
};

real_signal_handler_t g_handler[kSignalSlots];
// Lock-free atomics rather than volatile counters: the catcher may run in another thread than
// the one that reads and clears the counts.
std::atomic<int> g_received[kSignalSlots];

bool valid(int signo) { return signo >= 0 && signo < kSignalSlots; }

bool is_fault_signal(int signo) {
  return signo == SIGILL || signo == SIGABRT || signo == SIGBUS || signo == SIGFPE ||
         signo == SIGSEGV || signo == SIGSYS;
}

}  // namespace

int signal_set_handler(int signo, int flags, signal_handler_t handler) {
  if (!valid(signo)) {
    errno = EINVAL;
    return -1;
  }
  real_signal_handler_t& entry = g_handler[signo];
  sigemptyset(&entry.action.sa_mask);
  sigaddset(&entry.action.sa_mask, signo);
  entry.action.sa_flags = flags;
  if (handler == SIG_DFL || handler == SIG_IGN || is_fault_signal(signo))
    entry.action.sa_handler = handler;
  else
    entry.action.sa_handler = signal_catcher;
  g_received[signo] = 0;
  entry.handler = handler;
  return sigaction(signo, &entry.action, nullptr);
}

void signal_catcher(int signo) {
  if (valid(signo)) g_received[signo].fetch_add(1);
}

int signal_handle(int signo) {
  if (!valid(signo)) {
    errno = EINVAL;
    return -1;
  }
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &g_handler[signo].action.sa_mask, &previous) != 0) return -1;
  if (g_handler[signo].handler != nullptr && g_handler[signo].handler != SIG_DFL &&
      g_handler[signo].handler != SIG_IGN)
    g_handler[signo].handler(signo);
  // Cleared after the handler: an arrival while it ran is absorbed into this handling.
  g_received[signo] = 0;
  return pthread_sigmask(SIG_SETMASK, &previous, nullptr) == 0 ? 0 : -1;
}

int signal_received(int signo) {
  if (!valid(signo)) {
    errno = EINVAL;
    return -1;
  }
  return g_received[signo].load();
}

sigset_t deferred_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}
