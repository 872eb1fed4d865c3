// Keeps a peer that closes the connection mid-request from killing the host program: writing to a socket
// the server has closed raises SIGPIPE, whose default action ends the process, and cpp-httplib sends
// without MSG_NOSIGNAL. The library may not change the process's signal handling (it keeps no global
// state), so the signal is blocked on the calling thread for one exchange and a SIGPIPE that exchange
// raised is taken back before the thread's mask is restored, as libpq does.
#pragma once

#include <csignal>

namespace ks {

class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t previousMask_;
  bool ownsPending_ = false;  // true when a SIGPIPE pending at the end can only be ours
};

}  // namespace ks
