// A client that speaks to a server over a plain loopback socket, byte for byte as a test writes them, for
// tests that must send what no well-behaved HTTP client sends. Replies are framed by HttpReplyReader
// (Content-Length, chunks or the close) and handed back as they came off the wire.
#pragma once

#include <chrono>
#include <string>

#include "ks_unique_fd.h"

namespace ks {
namespace testing {

class RawConnection {
 public:
  // Connects to 127.0.0.1:port, from the loopback address `from` when given ("127.0.0.2": another client
  // as the server sees it); throws std::runtime_error when it cannot.
  explicit RawConnection(int port, const std::string& from = "");
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // False once the server closed or reset the connection.
  bool send(const std::string& bytes);

  // The next reply as it came, head and body (an interim 1xx reply counts as one); "" when none arrives
  // whole within `timeout`. Our side stays open, since the server writes nothing to a peer that has hung up.
  std::string readReply(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything until the server closes, or until `timeout`.
  std::string readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the server closed (or reset) the connection within `timeout`, reading and dropping what it sends.
  bool closedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  bool receive(std::chrono::steady_clock::time_point end);

  server::UniqueFd fd_;
  std::string buffered_;
  bool closed_ = false;
};

// "200" from a reply's status line; "none" for anything shorter.
std::string statusOf(const std::string& reply);
// What follows a reply's head.
std::string bodyOf(const std::string& reply);

}  // namespace testing
}  // namespace ks
