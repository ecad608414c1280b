// Deferred signal handling: signals are counted when they arrive and handled at a safe point.
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

using signal_handler_t = void (*)(int);

constexpr int kSignalSlots = 65;  // signal numbers 0 to 64

// Installs `handler` for `signo` with sigaction flags `flags`. Fault signals (SIGILL, SIGABRT,
// SIGBUS, SIGFPE, SIGSEGV, SIGSYS) get the handler itself, run at once; SIG_DFL and SIG_IGN are
// installed as they are; every other signal is only counted, and its handler runs later from
// signal_handle. Returns sigaction's result.
int signal_set_handler(int signo, int flags, signal_handler_t handler);

// Runs the handler of one signal with that signal blocked, then clears its count.
int signal_handle(int signo);

// How often `signo` arrived since its handler last ran; -1 (EINVAL) outside 0 to 64.
int signal_received(int signo);

// The catcher installed for deferred signals: counts the arrival, nothing else.
void signal_catcher(int signo);

// The signals that the daemon defers to its main thread: SIGHUP, SIGINT, SIGQUIT, SIGTERM,
// SIGUSR1.
sigset_t deferred_signal_set();

// Blocks the deferred signals in the calling thread while it lives; a thread started meanwhile
// inherits the mask.
class deferred_signals_blocked {
 public:
  deferred_signals_blocked() {
    sigset_t blocked = deferred_signal_set();
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~deferred_signals_blocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  // The mask the thread had before: the one to wait with (ppoll) for the deferred signals.
  const sigset_t& previous() const { return previous_; }
  deferred_signals_blocked(const deferred_signals_blocked&) = delete;
  deferred_signals_blocked& operator=(const deferred_signals_blocked&) = delete;

 private:
  sigset_t previous_;
};

// Starts a std::jthread with the deferred signals blocked, so that they are delivered to the main
// thread, whose blocking read or sleep they interrupt. The function may take the thread's stop
// token first.
template <class F, class... Args>
std::jthread start_jthread(F&& f, Args&&... args) {
  deferred_signals_blocked during_start;
  return std::jthread(std::forward<F>(f), std::forward<Args>(args)...);
}
