// The listening socket: bound by name (getaddrinfo; SO_REUSEADDR), non-blocking, and the connections
// accepted from it with their peer's address.
#pragma once

#include <string>

#include "ks_unique_fd.h"

namespace ks {
namespace server {

class HttpListener {
 public:
  HttpListener() = default;
  // Binds the first address `host` resolves to (empty: every interface) on `port` (0: one the system
  // picks) and listens. Throws std::runtime_error naming the address when it cannot be resolved or bound.
  static HttpListener open(const std::string& host, int port, int backlog);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  int port() const { return port_; }
  void close() { fd_.reset(); }

  // A connection, non-blocking, close-on-exec, TCP_NODELAY, and its peer as "ip:port" ("[ip]:port" for
  // IPv6). An empty descriptor when none is waiting or accept failed; errno says which.
  UniqueFd accept(std::string& peer) const;

 private:
  UniqueFd fd_;
  int port_ = 0;
};

}  // namespace server
}  // namespace ks
