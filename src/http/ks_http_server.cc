#include "ks_http_server.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "ks_http_loop.h"

namespace ks {
namespace server {

HttpServer::Impl::Impl(HttpServerOptions opts)
    : options(std::move(opts)),
      readBuffer(size_t{64} << 10),
      workers([this](HttpJob& job) { runJob(job); }, [this] { wake(); }) {
  replyPort = std::make_shared<HttpReplyPort>();
  replyPort->server = this;
  if (options.port < 0 || options.port > 65535) throw std::invalid_argument("the port must lie in 0..65535");
  if (options.limits.maxBodyBytes == 0) throw std::invalid_argument("the body limit must be above zero");
  if (options.maxConnections == 0) throw std::invalid_argument("the connection cap must be above zero");
  const std::chrono::milliseconds positive[] = {options.headerDeadline, options.requestDeadline,
                                                options.keepAliveIdleTimeout, options.writeStallTimeout,
                                                options.keepAliveInterval};
  for (const auto duration : positive) {
    if (duration.count() <= 0) throw std::invalid_argument("deadlines, timeouts and intervals must be positive");
  }
  if (options.stopGrace.count() < 0) throw std::invalid_argument("the stop grace must not be negative");
  if (options.workers == 0) options.workers = std::max(1u, std::thread::hardware_concurrency());
  const size_t maxBody = options.limits.maxBodyBytes;
  bodyBudget = options.bodyBudgetBytes != 0                       ? options.bodyBudgetBytes
               : maxBody > std::numeric_limits<size_t>::max() / 2 ? std::numeric_limits<size_t>::max()
                                                                  : 2 * maxBody;
}

std::string HttpServer::Impl::refusalText(int status, const std::string& why) const {
  if (refusalBody) {
    try {
      return refusalBody(status, why);
    } catch (...) {  // the owner's formatter failing must not take a connection, or the loop, down
    }
  }
  return why + "\n";
}

HttpServer::Impl::~Impl() {
  std::lock_guard<std::mutex> lock(replyPort->mutex);
  replyPort->server = nullptr;
}

void HttpServer::Impl::wake() { loop.wake(); }

// ------------------------------------------------------------------------------------------------ HttpReply

void HttpReply::send(HttpResponse response) const {
  if (state_->sent.exchange(true)) return;
  std::lock_guard<std::mutex> lock(state_->port->mutex);
  HttpServer::Impl* server = state_->port->server;
  if (server == nullptr) return;
  if (server->loop.inLoopThread()) return server->deliver(*state_, response);
  server->loop.post(
      [server, state = state_, response = std::move(response)]() mutable { server->deliver(*state, response); });
}

void HttpReply::onAbandoned(std::function<void()> callback) const { state_->abandoned = std::move(callback); }

// ----------------------------------------------------------------------------------------------- HttpServer

HttpServer::HttpServer(HttpServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::route(std::string path, Handler handler, RouteBody body) {
  impl_->routes[std::move(path)] = Impl::Route{std::move(handler), nullptr, body};
}

void HttpServer::routeDeferred(std::string path, DeferredHandler handler, RouteBody body) {
  impl_->routes[std::move(path)] = Impl::Route{nullptr, std::move(handler), body};
}

void HttpServer::setRefusalBody(RefusalBody body, std::string contentType) {
  impl_->refusalBody = std::move(body);
  impl_->refusalContentType = std::move(contentType);
}

void HttpServer::setRequestLog(std::function<void(const HttpRequestRecord&)> log) {
  impl_->requestLog = std::move(log);
}

void HttpServer::setStopOverrun(std::function<void()> onOverrun) { impl_->onStopOverrun = std::move(onOverrun); }

int HttpServer::start() {
  Impl& s = *impl_;
  if (s.started) throw std::runtime_error("the HTTP server was started before");
  s.started = true;  // a failed start is not retried: the server is single-use
  s.open();
  s.workers.start(s.options.workers);
  s.loopThread = std::thread([&s] { s.run(); });
  return s.port;
}

void HttpServer::stop() {
  Impl& s = *impl_;
  if (s.stopped || !s.loopThread.joinable()) return;
  s.stopped = true;
  bool drained;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    s.stopRequested = true;
    s.wake();
    drained = s.drainedChanged.wait_for(lock, s.options.stopGrace, [&s] { return s.loopDrained; });
  }
  if (!drained && s.onStopOverrun) {
    try {
      s.onStopOverrun();
    } catch (...) {  // stopping goes on
    }
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.loopExit = true;
  }
  s.workers.close();
  s.wake();
  s.loopThread.join();
  s.workers.join();
}

int HttpServer::port() const { return impl_->port; }
size_t HttpServer::openConnections() const { return impl_->openConnections.load(); }
size_t HttpServer::requestsQueued() const { return impl_->workers.queued(); }
size_t HttpServer::requestsRunning() const { return impl_->workers.running(); }
size_t HttpServer::requestsDeferred() const { return impl_->deferredOut.load(); }
EventLoop& HttpServer::loop() { return impl_->loop; }

}  // namespace server
}  // namespace ks
