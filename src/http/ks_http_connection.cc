#include "ks_http_connection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace ks {
namespace server {
namespace {

constexpr size_t kMaxIovecs = 16;

}  // namespace

bool HttpConnection::writeQueued() {
  while (!out.empty()) {
    iovec parts[kMaxIovecs];
    size_t count = 0;
    for (auto it = out.begin(); it != out.end() && count < kMaxIovecs; ++it, ++count) {
      const size_t skip = count == 0 ? outOffset : 0;
      parts[count] = {const_cast<char*>(it->data()) + skip, it->size() - skip};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    ssize_t written = ::sendmsg(fd.get(), &message, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    lastProgress = Clock::now();
    record.bytesOut += static_cast<uint64_t>(written);
    while (written > 0) {
      const size_t left = out.front().size() - outOffset;
      if (static_cast<size_t>(written) < left) {
        outOffset += static_cast<size_t>(written);
        break;
      }
      written -= static_cast<ssize_t>(left);
      out.pop_front();
      outOffset = 0;
    }
  }
  return true;
}

size_t writeNow(int socket, const std::string& head, const std::string& body) {
  const size_t total = head.size() + body.size();
  size_t sent = 0;
  while (sent < total) {
    iovec parts[2];
    size_t count = 0;
    if (sent < head.size()) parts[count++] = {const_cast<char*>(head.data()) + sent, head.size() - sent};
    const size_t intoBody = sent > head.size() ? sent - head.size() : 0;
    if (!body.empty()) parts[count++] = {const_cast<char*>(body.data()) + intoBody, body.size() - intoBody};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return sent;
}

bool peerClosed(int socket) {
  char next;
  const ssize_t n = ::recv(socket, &next, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n >= 0) return n == 0;
  return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

}  // namespace server
}  // namespace ks
