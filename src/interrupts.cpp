#include "interrupts.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "progress.h"

namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// The one thing an interrupt takes away; set and cleared only while
// interrupts are deferred.
const char* volatile unfinished = nullptr;

// How deep the deferring steps are nested, and the interrupt that came
// meanwhile.
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t deferred = 0;

// Only async-signal-safe calls: it runs in the handler.
void TakeAwayUnfinishedAndDie(int signal) {
  if (unfinished) unlink(unfinished);
  // Nothing of the progress line stays on the screen the shell takes back.
  EraseProgress();
  // The handler stays installed until now, so a second copy of the signal
  // (timeout(1) sends one to the child and one to its group) waits for this
  // one instead of killing the process before the file is gone. Then the
  // default action ends the process, and a shell sees 130, 143 or 129.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void OnInterrupt(int signal) {
  if (deferring) {
    deferred = signal;
    return;
  }
  TakeAwayUnfinishedAndDie(signal);
}

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}

}  // namespace

void RemoveUnfinishedFileOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_mask = InterruptSet();
  // A deferred interrupt returns: what it cut into goes on.
  action.sa_flags = SA_RESTART;
  for (int signal : kInterrupts) {
    struct sigaction old {};
    // A signal ignored on entry (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

void MarkUnfinished(const char* path) { unfinished = path; }

// Plain stores, where blocking the signals would take two system calls.
InterruptsDeferred::InterruptsDeferred() {
  deferring = deferring + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

InterruptsDeferred::~InterruptsDeferred() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  deferring = deferring - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (deferring == 0 && deferred) TakeAwayUnfinishedAndDie(deferred);
}

InterruptsBlocked::InterruptsBlocked() {
  static const sigset_t set = InterruptSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

InterruptsBlocked::~InterruptsBlocked() {
  static const sigset_t set = InterruptSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
