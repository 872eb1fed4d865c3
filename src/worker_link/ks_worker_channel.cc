#include "ks_worker_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace ks {
namespace server {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

std::pair<WorkerChannel, WorkerChannel> WorkerChannel::pair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) fail("socketpair");
  return {WorkerChannel(UniqueFd(ends[0])), WorkerChannel(UniqueFd(ends[1]))};
}

bool WorkerChannel::send(const std::string& message, int fd) const {
  if (message.size() > kMaxMessageBytes) throw std::length_error("message over the channel's limit");
  iovec part{const_cast<char*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (fd >= 0) {
    std::memset(control, 0, sizeof control);
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* attached = CMSG_FIRSTHDR(&header);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(attached), &fd, sizeof(int));
  }
  for (;;) {
    if (::sendmsg(socket_.get(), &header, MSG_NOSIGNAL) >= 0) return true;
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return false;
    fail("sendmsg to a worker channel");
  }
}

WorkerChannel::Received WorkerChannel::receive(std::string& message, UniqueFd* fd, int timeoutMs, int wakeFd,
                                               int spinMicroseconds) const {
  if (spinMicroseconds > 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spinMicroseconds);
    do {
      const Received got = readOne(message, fd, MSG_DONTWAIT);
      if (got != Received::kTimedOut) return got;
    } while (std::chrono::steady_clock::now() < until);
  }
  pollfd watched[2] = {{socket_.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    const int ready = ::poll(watched, count, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail("poll of a worker channel");
    if (ready == 0) return Received::kTimedOut;
    if (watched[0].revents != 0) break;
    return Received::kWoken;
  }
  return readOne(message, fd, 0);
}

WorkerChannel::Received WorkerChannel::readOne(std::string& message, UniqueFd* fd, int flags) const {
  // One byte more than allowed, to tell an over-long message from one of exactly the limit. The buffer is
  // the thread's own, kept between calls: most messages are small, and clearing the whole of it each time
  // would cost more than the exchange.
  thread_local std::unique_ptr<char[]> buffer(new char[kMaxMessageBytes + 1]);
  iovec part{buffer.get(), kMaxMessageBytes + 1};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t got = 0;
  do {
    got = ::recvmsg(socket_.get(), &header, MSG_CMSG_CLOEXEC | flags);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && (flags & MSG_DONTWAIT) != 0) return Received::kTimedOut;
  if (got < 0 && (errno == ECONNRESET || errno == ENOTCONN)) return Received::kClosed;
  if (got < 0) fail("recvmsg from a worker channel");

  // Every descriptor that came is owned here at once, so none leaks whatever follows.
  UniqueFd passed[4];
  size_t passedCount = 0;
  for (cmsghdr* attached = CMSG_FIRSTHDR(&header); attached != nullptr; attached = CMSG_NXTHDR(&header, attached)) {
    if (attached->cmsg_level != SOL_SOCKET || attached->cmsg_type != SCM_RIGHTS) continue;
    const size_t n = (attached->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < n; ++i) {
      int received = -1;
      std::memcpy(&received, CMSG_DATA(attached) + i * sizeof(int), sizeof(int));
      if (passedCount < 4) {
        passed[passedCount++].reset(received);
      } else {
        ::close(received);
        ++passedCount;
      }
    }
  }
  if (got == 0) return Received::kClosed;
  if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || static_cast<size_t>(got) > kMaxMessageBytes ||
      passedCount > 1 || (passedCount == 1 && fd == nullptr)) {
    return Received::kClosed;
  }
  message.assign(buffer.get(), static_cast<size_t>(got));
  if (fd != nullptr) *fd = passedCount == 1 ? std::move(passed[0]) : UniqueFd();
  return Received::kMessage;
}

}  // namespace server
}  // namespace ks
