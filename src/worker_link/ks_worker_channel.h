// One end of the socket between the server and a worker process: whole messages (SOCK_SEQPACKET), each
// carrying at most one descriptor along.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <utility>

#include "ks_unique_fd.h"

namespace ks {
namespace server {

class WorkerChannel {
 public:
  // The largest message either side sends or takes; a longer one is a peer's fault.
  static constexpr size_t kMaxMessageBytes = size_t{192} * 1024;

  // Two connected ends, close-on-exec. Throws std::system_error.
  static std::pair<WorkerChannel, WorkerChannel> pair();

  WorkerChannel() = default;
  explicit WorkerChannel(UniqueFd socket) : socket_(std::move(socket)) {}

  // Sends `message` (at most kMaxMessageBytes) and, when `fd` is not negative, a duplicate of `fd` with
  // it. Returns false when the peer is gone. Throws std::system_error for other failures. Safe to call
  // from one thread while another receives.
  bool send(const std::string& message, int fd = -1) const;

  enum class Received {
    kMessage,   // `message` holds it; `fd` a descriptor that came with it, if any
    kClosed,    // the peer closed its end or died
    kTimedOut,  // nothing within the time given
    kWoken,     // `wakeFd` became readable first
  };
  // Waits for the next message for at most `timeoutMs` milliseconds (negative: no limit), or until
  // `wakeFd` (when not negative) is readable. Looks for the message without sleeping for the first
  // `spinMicroseconds`: a reply that comes that soon is taken without the thread being put to sleep and
  // woken again, which costs more than a small inference. A message longer than kMaxMessageBytes, or one
  // carrying more than one descriptor, counts as kClosed: the peer broke the rules. Throws
  // std::system_error.
  Received receive(std::string& message, UniqueFd* fd, int timeoutMs = -1, int wakeFd = -1,
                   int spinMicroseconds = 0) const;

  // The next message if one is there, without waiting: kTimedOut when none is. One system call.
  Received tryReceive(std::string& message) const { return readOne(message, nullptr, MSG_DONTWAIT); }

  int fd() const { return socket_.get(); }
  UniqueFd release() { return std::move(socket_); }
  explicit operator bool() const { return static_cast<bool>(socket_); }

 private:
  // One recvmsg; kTimedOut when `flags` has MSG_DONTWAIT and nothing is there.
  Received readOne(std::string& message, UniqueFd* fd, int flags) const;

  UniqueFd socket_;
};

}  // namespace server
}  // namespace ks
