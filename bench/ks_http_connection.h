// A blocking HTTP/1.1 client connection for load generation: each request goes out in one send on a socket
// with TCP_NODELAY, each reply is read whole with HttpReplyReader. No library in between, so what is
// measured is the server and the kernel.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>

#include "ks_unique_fd.h"
#include "support/ks_http_reply_reader.h"

namespace ks {
namespace bench {

// Where a server listens, resolved once so that connecting costs no name lookup.
struct ServerAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
  std::string hostHeader;  // "host:port", for the Host header

  // Resolves `host` (a name or a numeric address) and `port`. Throws std::runtime_error when it cannot.
  static ServerAddress resolve(const std::string& host, int port);
};

// How one exchange ended.
enum class ExchangeOutcome {
  kReply,           // a whole reply was read (any status)
  kConnectFailed,   // no connection could be made (refused, or no answer within the timeout)
  kTimedOut,        // the request could not be sent, or no reply byte came, within the timeout
  kConnectionLost,  // the peer closed or reset the connection before the reply was whole
  kMalformed,       // the reply broke HTTP/1.1's framing
};

class HttpConnection {
 public:
  // Connects on first use. `timeout` bounds connecting, each send and each wait for reply bytes.
  HttpConnection(const ServerAddress& endpoint, std::chrono::milliseconds timeout);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Sends `request` (a whole HTTP/1.1 request, head and body) and reads the reply, which reply() holds until
  // the next call. The connection stays open when the reply allows it and is closed otherwise. A
  // connection kept from an earlier exchange that turns out closed before any byte of the reply arrives
  // (the server ended it while it was idle) is replaced by a new one once, as pooling clients do; the new
  // connection counts in connectionsOpened(). Never throws for network faults: the outcome says what went
  // wrong, and the connection is closed after any outcome but kReply.
  ExchangeOutcome exchange(const std::string& request);

  // The reply of the last exchange that ended with kReply.
  const testing::HttpReply& reply() const { return reader_.reply(); }

  // Closes the connection if it is open.
  void close();

  // How many connections this object has opened.
  long connectionsOpened() const { return connectionsOpened_; }

 private:
  ExchangeOutcome attempt(const std::string& request, bool& retryable);
  bool open();

  const ServerAddress& endpoint_;
  const std::chrono::milliseconds timeout_;
  server::UniqueFd socket_;
  long connectionsOpened_ = 0;
  testing::HttpReplyReader reader_;
  std::string buffer_;
};

}  // namespace bench
}  // namespace ks
