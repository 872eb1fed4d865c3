#include "ks_http_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace ks {
namespace bench {

namespace {

constexpr size_t kReceiveBytes = size_t{64} * 1024;

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

void setTimeout(int socket, int option, std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  setsockopt(socket, SOL_SOCKET, option, &value, sizeof value);
}

}  // namespace

ServerAddress ServerAddress::resolve(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (error != 0 || found == nullptr) {
    throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(error));
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
  ServerAddress endpoint;
  std::memcpy(&endpoint.address, list->ai_addr, list->ai_addrlen);
  endpoint.length = list->ai_addrlen;
  const bool ipv6 = list->ai_family == AF_INET6 && host.find(':') != std::string::npos;
  endpoint.hostHeader = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  return endpoint;
}

HttpConnection::HttpConnection(const ServerAddress& endpoint, std::chrono::milliseconds timeout)
    : endpoint_(endpoint), timeout_(timeout), buffer_(kReceiveBytes, '\0') {}

HttpConnection::~HttpConnection() { close(); }

void HttpConnection::close() { socket_.reset(); }

bool HttpConnection::open() {
  socket_.reset(::socket(endpoint_.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket_) return false;
  ++connectionsOpened_;
  // The request goes out in one send, so Nagle's algorithm has nothing to gather; with it on, a reply
  // that the server wrote in pieces could still wait on our delayed ACK.
  const int on = 1;
  setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setTimeout(socket_.get(), SO_RCVTIMEO, timeout_);
  setTimeout(socket_.get(), SO_SNDTIMEO, timeout_);  // bounds connect() too
  int result;
  do {
    result = ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&endpoint_.address), endpoint_.length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    close();
    return false;
  }
  return true;
}

ExchangeOutcome HttpConnection::attempt(const std::string& request, bool& retryable) {
  const bool reused = static_cast<bool>(socket_);
  retryable = false;
  if (!reused && !open()) return ExchangeOutcome::kConnectFailed;

  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(socket_.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      retryable = reused && (errno == EPIPE || errno == ECONNRESET);
      close();
      return timedOut ? ExchangeOutcome::kTimedOut : ExchangeOutcome::kConnectionLost;
    }
    sent += static_cast<size_t>(n);
  }

  reader_.reset();
  try {
    while (!reader_.done()) {
      const ssize_t n = ::recv(socket_.get(), &buffer_[0], buffer_.size(), 0);
      if (n > 0) {
        // Bytes beyond the reply belong to no request of ours: the connection cannot be trusted further.
        if (reader_.feed(buffer_.data(), static_cast<size_t>(n)) < static_cast<size_t>(n))
          reader_.reply().keepAlive = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 && reader_.finishAtClose()) break;
      const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      // A kept connection that the server had closed gives an end of stream or a reset before any byte.
      retryable = reused && !reader_.started() && (n == 0 || errno == ECONNRESET);
      close();
      return timedOut ? ExchangeOutcome::kTimedOut : ExchangeOutcome::kConnectionLost;
    }
  } catch (const testing::MalformedReply&) {
    close();
    return ExchangeOutcome::kMalformed;
  }
  if (!reader_.reply().keepAlive) close();
  return ExchangeOutcome::kReply;
}

ExchangeOutcome HttpConnection::exchange(const std::string& request) {
  bool retryable = false;
  const ExchangeOutcome outcome = attempt(request, retryable);
  if (outcome != ExchangeOutcome::kConnectionLost || !retryable) return outcome;
  return attempt(request, retryable);
}

}  // namespace bench
}  // namespace ks
