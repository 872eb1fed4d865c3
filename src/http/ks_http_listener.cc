#include "ks_http_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace ks {
namespace server {
namespace {

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

}  // namespace

HttpListener HttpListener::open(const std::string& host, int port, int backlog) {
  const std::string where = host + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) throw std::runtime_error("cannot resolve " + where + ": " + gai_strerror(resolved));
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  HttpListener listener;
  int error = 0;
  for (const addrinfo* a = found; a != nullptr && !listener; a = a->ai_next) {
    UniqueFd socket(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    const int one = 1;
    if (socket && setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        bind(socket.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(socket.get(), backlog) == 0) {
      listener.fd_ = std::move(socket);
    } else {
      error = errno;
    }
  }
  if (!listener) throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    throw std::runtime_error("cannot read the address bound for " + where + ": " + std::strerror(errno));
  }
  listener.port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                                    : reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
  return listener;
}

UniqueFd HttpListener::accept(std::string& peer) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  UniqueFd socket(accept4(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!socket) return socket;
  const int one = 1;
  setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  peer = addressText(address);
  return socket;
}

}  // namespace server
}  // namespace ks
