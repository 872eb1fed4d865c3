#include "support/test_http_server.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ks {
namespace testing {

namespace {

// Owns a socket descriptor.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

int listenOnLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int closedPort() {
  int port = 0;
  Socket socket(listenOnLoopback(&port));
  return port;
}

RawReplyServer::RawReplyServer(std::string reply, size_t bodyLimit) : reply_(std::move(reply)), bodyLimit_(bodyLimit) {
  listener_ = listenOnLoopback(&port_);
  thread_ = std::thread([this] { serve(); });
}

RawReplyServer::~RawReplyServer() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

void RawReplyServer::serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    Socket connection(accept(listener_, nullptr, nullptr));
    if (connection.fd() < 0) continue;
    std::string request;
    char chunk[4096];
    size_t headEnd = std::string::npos;
    size_t expected = 0;
    while (true) {
      if (headEnd == std::string::npos) {
        headEnd = request.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
          const size_t at = request.find("Content-Length: ");
          expected =
              headEnd + 4 +
              std::min<size_t>(bodyLimit_, at < headEnd ? std::strtoul(request.c_str() + at + 16, nullptr, 10) : 0);
        }
      }
      if (headEnd != std::string::npos && request.size() >= expected) break;
      const ssize_t got = recv(connection.fd(), chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    send(connection.fd(), reply_.data(), reply_.size(), MSG_NOSIGNAL);
  }
}

}  // namespace testing
}  // namespace ks
