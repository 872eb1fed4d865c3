#include "support/raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "support/ks_http_reply_reader.h"

namespace ks {
namespace testing {

using Clock = std::chrono::steady_clock;

RawConnection::RawConnection(int port, const std::string& from)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!fd_) throw std::runtime_error("socket failed");
  if (!from.empty()) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      throw std::runtime_error("cannot connect from " + from);
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect failed");
  }
}

bool RawConnection::send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string RawConnection::readReply(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  HttpReplyReader reader;
  size_t taken = 0;  // of buffered_, by the reader
  for (;;) {
    // An interim reply is one reply here; the reader would skip it.
    if (buffered_.compare(0, 10, "HTTP/1.1 1") == 0 || buffered_.compare(0, 10, "HTTP/1.0 1") == 0) {
      const size_t head = buffered_.find("\r\n\r\n");
      if (head != std::string::npos) {
        std::string reply = buffered_.substr(0, head + 4);
        buffered_.erase(0, reply.size());
        return reply;
      }
    } else {
      try {
        taken += reader.feed(buffered_.data() + taken, buffered_.size() - taken);
      } catch (const MalformedReply&) {
        return "";
      }
      if (reader.done()) break;
    }
    if (!receive(end)) {
      // A body the close ends (HTTP/1.0's streamed reply) is whole now; anything else came short.
      if (closed_ && taken == buffered_.size() && reader.finishAtClose()) break;
      return "";
    }
  }
  std::string reply = buffered_.substr(0, taken);
  buffered_.erase(0, taken);
  return reply;
}

std::string RawConnection::readToEnd(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (receive(end)) {
  }
  return std::exchange(buffered_, std::string());
}

bool RawConnection::closedByServer(std::chrono::milliseconds timeout) {
  readToEnd(timeout);
  return closed_;
}

bool RawConnection::receive(Clock::time_point end) {
  if (closed_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  pollfd ready{fd_.get(), POLLIN, 0};
  if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed_ = n == 0 || errno == ECONNRESET || errno == EPIPE;
    return false;
  }
  buffered_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::string statusOf(const std::string& reply) { return reply.size() >= 12 ? reply.substr(9, 3) : "none"; }

std::string bodyOf(const std::string& reply) {
  const size_t head = reply.find("\r\n\r\n");
  return head == std::string::npos ? std::string() : reply.substr(head + 4);
}

}  // namespace testing
}  // namespace ks
