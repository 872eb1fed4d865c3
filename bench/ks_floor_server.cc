#include "ks_floor_server.h"

#include <stdexcept>
#include <thread>
#include <utility>

#include <httplib.h>

namespace ks {
namespace bench {

const char FloorServer::kSettings[] =
    "cpp-httplib 0.11.4 with its defaults (worker threads: the larger of 8 and processors - 1; keep-alive: "
    "at most 5 requests per connection, 5 s idle; read and write timeouts 5 s; listen backlog 5) except "
    "set_tcp_nodelay(true)";

struct FloorServer::Impl {
  httplib::Server http;
  std::thread serving;
  int port = 0;
};

FloorServer::FloorServer(std::string inferenceReply) : impl_(std::make_unique<Impl>()) {
  httplib::Server& http = impl_->http;
  // Set on the listening socket; accepted sockets inherit it (Linux), which is what the library relies on.
  http.set_tcp_nodelay(true);
  http.Post("/inference", [reply = std::move(inferenceReply)](const httplib::Request&, httplib::Response& res) {
    res.set_content(reply, "application/json");
  });
  http.Get("/session", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"session_id":"floor"})", "application/json");
  });
  http.Post("/net", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"status":true,"text":""})", "application/json");
  });
  impl_->port = http.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) throw std::runtime_error("the floor server cannot bind a port on 127.0.0.1");
  impl_->serving = std::thread([this] { impl_->http.listen_after_bind(); });
}

FloorServer::~FloorServer() {
  // stop() before the accept loop has begun would be lost, and the loop would never end.
  while (!impl_->http.is_running()) std::this_thread::yield();
  impl_->http.stop();
  impl_->serving.join();
}

int FloorServer::port() const { return impl_->port; }

}  // namespace bench
}  // namespace ks
