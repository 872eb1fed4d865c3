// A client that speaks to a server over a plain loopback socket, byte for byte as a test writes them, for
// tests that must send what no well-behaved HTTP client sends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace ks {
namespace testing {

class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      throw std::runtime_error("connect failed");
    }
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // False once the server closed or reset the connection.
  bool send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // One reply: its headers and a body of its Content-Length, or what came before the server closed. Our
  // side stays open, since the server writes nothing to a peer that has hung up. Gives up after
  // `seconds` without data.
  std::string receiveReply(int seconds = 5) {
    timeval timeout{seconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string received;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0;) {
      received.append(chunk, static_cast<size_t>(n));
      const size_t headersEnd = received.find("\r\n\r\n");
      const size_t length = received.find("Content-Length: ");
      if (headersEnd == std::string::npos || length == std::string::npos) continue;
      if (received.size() >= headersEnd + 4 + std::stoul(received.substr(length + 16))) break;
    }
    return received;
  }

  // True when the server closed the connection within `seconds` (reading and dropping what it sends).
  bool closedWithin(int seconds) {
    timeval timeout{seconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd_, chunk, sizeof chunk, 0)) != 0;) {
      if (n < 0) return errno == ECONNRESET;
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace testing
}  // namespace ks
