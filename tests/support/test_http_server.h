// In-process HTTP servers for tests: a real httplib::Server on 127.0.0.1 and an ephemeral port that records
// every request, and a raw socket server that answers one connection with bytes of the test's choosing.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace ks {
namespace testing {

struct RecordedRequest {
  std::string method;
  std::string target;  // path and query as they arrived
  std::string contentType;
  std::string body;
  httplib::Params params;
};

// Handlers are registered on http() before start(); the server stops in the destructor, so a failed
// assertion still cleans up.
class TestHttpServer {
 public:
  TestHttpServer() {
    // Recorded before the reply is written, so a client that has its reply also finds its request here.
    server_.set_post_routing_handler([this](const httplib::Request& request, httplib::Response&) {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(
          {request.method, request.target, request.get_header_value("Content-Type"), request.body, request.params});
    });
  }
  ~TestHttpServer() { stop(); }

  httplib::Server& http() { return server_; }

  // Binds and starts serving; returns the port. The socket listens from the bind on, so clients may
  // connect at once.
  int start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return port_;
  }

  void stop() {
    if (!thread_.joinable()) return;
    while (!server_.is_running()) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }

  std::vector<RecordedRequest> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
};

// A TCP port on 127.0.0.1 where nothing listens (bound once, then released).
int closedPort();

// Accepts connections on 127.0.0.1; for each, reads the request head and as much of the body as its
// Content-Length announces (at most `bodyLimit` bytes of it: a server that refuses a body early), writes
// `reply` and closes the connection.
class RawReplyServer {
 public:
  explicit RawReplyServer(std::string reply, size_t bodyLimit = SIZE_MAX);
  ~RawReplyServer();
  int port() const { return port_; }

 private:
  void serve();

  std::string reply_;
  size_t bodyLimit_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace testing
}  // namespace ks
