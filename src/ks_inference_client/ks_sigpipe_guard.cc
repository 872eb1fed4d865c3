#include "ks_sigpipe_guard.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace ks {

namespace {

sigset_t sigpipeOnly() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

}  // namespace

SigpipeGuard::SigpipeGuard() {
  const sigset_t pipe = sigpipeOnly();
  sigset_t pending;
  sigemptyset(&pending);
  // A SIGPIPE already pending (the caller blocks it and one is waiting) is the caller's: leave it.
  const bool alreadyPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  if (pthread_sigmask(SIG_BLOCK, &pipe, &previousMask_) != 0) {
    sigemptyset(&previousMask_);
    return;
  }
  ownsPending_ = !alreadyPending;
}

SigpipeGuard::~SigpipeGuard() {
  if (ownsPending_) {
    const sigset_t pipe = sigpipeOnly();
    const timespec now{0, 0};
    // The exchange's writes raise at most a few; take each back so none is delivered when unblocked.
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE || errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

}  // namespace ks
