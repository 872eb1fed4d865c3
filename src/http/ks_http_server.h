// An HTTP/1.1 server for Linux built to face hostile clients: one epoll thread owns every socket (so a slow
// or silent client costs a descriptor and a small buffer, never a thread), requests are framed and bounded by
// HttpRequestParser, every phase of a request has a deadline, and handlers run on a pool of worker threads,
// or, for deferred routes, start their work on the loop and reply when it ends (HttpReply).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ks_event_loop.h"
#include "ks_http_message.h"
#include "ks_http_request_parser.h"

namespace ks {
namespace server {

struct HttpServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;          // 0: a free port chosen by the system
  unsigned workers = 0;  // handler threads; 0: std::thread::hardware_concurrency(), at least 1
  HttpLimits limits;
  std::chrono::milliseconds headerDeadline{10'000};        // first byte of a request to the end of its head
  std::chrono::milliseconds requestDeadline{120'000};      // first byte of a request to its last body byte
  std::chrono::milliseconds keepAliveIdleTimeout{75'000};  // between requests on one connection
  std::chrono::milliseconds writeStallTimeout{30'000};     // a reply that makes no progress for this long is dropped
  size_t maxConnections = 4096;  // connections past this are closed as soon as they are accepted
  int listenBacklog = 1024;      // the kernel caps it at net.core.somaxconn
  // Body bytes all requests together may hold at once; a request that would pass it gets 503.
  // 0: twice limits.maxBodyBytes.
  size_t bodyBudgetBytes = 0;
  std::chrono::milliseconds stopGrace{30'000};
  // For routes with RouteBody::kJson: how long a reply may keep the client waiting before the server
  // starts it and keeps the connection alive with whitespace.
  std::chrono::milliseconds keepAliveInterval{1'000};
};

// What the server knows of one request once its reply was written or its connection failed.
struct HttpRequestRecord {
  std::chrono::system_clock::time_point start;  // first byte of the request, UTC
  std::string clientAddress;                    // "ip:port"
  std::string method;                           // empty when the request line never arrived whole
  std::string path;
  HttpParams params;  // decoded query parameters, in order
  // The status the reply carried; for a streamed reply, the status the handler chose (the wire said 200).
  // 0 when the reply was not written whole.
  int status = 0;
  uint64_t bytesIn = 0;                   // request bytes, framing included
  uint64_t bytesOut = 0;                  // reply bytes written
  std::chrono::microseconds duration{0};  // first byte of the request to the last byte of the reply
  bool streamed = false;                  // the reply was started early and kept alive with whitespace
  std::string note;                       // the handler's HttpResponse::logNote
  // The client had closed the connection before the request reached its handler, so it was not handled
  // (status 0).
  bool clientGone = false;
};

// How the server may treat a route's reply body.
enum class RouteBody {
  kAny,
  // The body is JSON, so whitespace before it is harmless: a reply that is not ready within
  // keepAliveInterval goes out as a chunked 200 that sends a space every interval until the body comes.
  kJson,
};

// The reply to a request of a deferred route, sent when its work is done: a handle that may travel to
// any thread. Copies share one reply.
class HttpReply {
 public:
  struct State;
  explicit HttpReply(std::shared_ptr<State> state) : state_(std::move(state)) {}

  // Sends `response`; any thread, the first call only. Dropped when the client has gone or the server
  // has been destroyed.
  void send(HttpResponse response) const;
  // `callback` runs on the loop thread when the client goes before the reply is sent (it closed the
  // connection, or the server gave it up): whatever works for the reply may stop. Loop thread only.
  void onAbandoned(std::function<void()> callback) const;

 private:
  std::shared_ptr<State> state_;
};

struct HttpReplyPort;

class HttpServer {
 public:
  using Handler = std::function<void(HttpRequest&, HttpResponse&)>;
  // Runs on the loop thread and must not wait for anything: it starts the work and returns; the work
  // sends the reply through `reply`.
  using DeferredHandler = std::function<void(HttpRequest&, HttpReply reply)>;
  // The body of a reply the server makes itself: a status and a sentence saying why.
  using RefusalBody = std::function<std::string(int status, const std::string& why)>;

  // Binds nothing yet. Throws std::invalid_argument for a port outside 0..65535, a zero body limit or zero
  // connection cap, or a deadline or interval that is not positive.
  explicit HttpServer(HttpServerOptions options);
  // Stops the server when it runs.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The setters below are for before start(); none is safe to call while the server runs.

  // Requests whose path is exactly `path` go to `handler`, whatever their method (the handler decides).
  // A handler runs on a worker thread; whatever it throws becomes a 500 "internal error" reply.
  void route(std::string path, Handler handler, RouteBody body = RouteBody::kAny);
  // Requests whose path is exactly `path` go to `handler` on the loop thread. Whatever it throws becomes a
  // 500 "internal error" reply.
  void routeDeferred(std::string path, DeferredHandler handler, RouteBody body = RouteBody::kAny);
  // Makes the bodies of the replies the server makes itself (404, 400, 408, 411, 413, 414, 431, 500, 501,
  // 503, 505), with their content type. Called on the loop thread and on workers, so it must be thread-safe
  // and quick. Default: the sentence and a newline, as text/plain.
  void setRefusalBody(RefusalBody body, std::string contentType);
  // Called once per request, on the loop thread, after its reply was written or its connection failed.
  // It must be quick: the loop serves every connection.
  void setRequestLog(std::function<void(const HttpRequestRecord&)> log);
  // Called by stop() when requests are still being handled at the end of the grace period; it should make
  // them end (the workers are joined right after).
  void setStopOverrun(std::function<void()> onOverrun);

  // Binds (getaddrinfo on the host; SO_REUSEADDR), starts the loop and the workers, and returns the bound
  // port; connections are accepted from then on. Throws std::runtime_error when the address cannot be
  // resolved or bound, or when the server was started before.
  int start();

  // Stops accepting at once and closes idle connections and those still sending a request. Requests that
  // reached a handler are finished and their replies written for up to options.stopGrace; then the
  // overrun callback runs, the workers are joined and every connection is closed. Returns within
  // stopGrace plus a fraction of a second whatever the clients do (the handlers, once told, must end).
  // Does nothing when the server is not running; it cannot be started again.
  void stop();

  // The bound port; 0 before start().
  int port() const;

  // The loop that owns the sockets, for the descriptors and timers of deferred work; its thread runs
  // deferred handlers.
  EventLoop& loop();

  // Figures for monitoring, readable from any thread at any time.
  size_t openConnections() const;
  size_t requestsQueued() const;    // complete requests waiting for a handler thread
  size_t requestsRunning() const;   // requests in a handler thread
  size_t requestsDeferred() const;  // requests of deferred routes not yet answered

 private:
  friend class HttpReply;
  friend struct HttpReplyPort;
  struct Impl;  // the loop, the workers and what they share
  std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace ks
