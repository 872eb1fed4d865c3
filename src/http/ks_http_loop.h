// The server's insides, shared by the files that make it up: the loop thread that owns every socket
// (ks_http_loop.cc: accepting, reading, dispatching, deadlines), the replies it and the workers write
// (ks_http_replies.cc), and the public face (ks_http_server.cc). Not installed; not for other code.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ks_http_connection.h"
#include "ks_http_deadlines.h"
#include "ks_http_listener.h"
#include "ks_http_server.h"
#include "ks_http_worker_queue.h"
#include "ks_unique_fd.h"

namespace ks {
namespace server {

struct HttpServer::Impl {
  using Clock = HttpDeadlines::Clock;
  using Phase = HttpConnection::Phase;
  static constexpr Clock::time_point kNever = HttpDeadlines::kNever;

  struct Route {
    HttpServer::Handler handler;
    HttpServer::DeferredHandler deferred;  // set instead of handler for a deferred route
    RouteBody body;
  };

  explicit Impl(HttpServerOptions opts);
  ~Impl();

  // --- loop thread (ks_http_loop.cc) ---
  void open();  // the listener, epoll and the wake-up descriptor; throws std::runtime_error
  void run();
  void acceptAll();
  void onEvent(HttpConnection& c, uint32_t events);
  void readFrom(HttpConnection& c);
  void startRequest(HttpConnection& c);
  void process(HttpConnection& c, std::string_view bytes);
  bool holdBudget(HttpConnection& c);
  void dispatch(HttpConnection& c);
  void dispatchDeferred(HttpConnection& c, const Route& route, HttpRequest& request);
  void deliver(HttpReply::State& state, HttpResponse& response);
  void resumePipelined();
  void noteRequest(HttpConnection& c);
  void fail(HttpConnection& c);
  void retire(HttpConnection& c);
  void watch(HttpConnection& c);
  void setDeadline(HttpConnection& c);
  void onDeadline(HttpConnection& c, Clock::time_point now);
  void expire(Clock::time_point now);
  void beginStop();
  bool drained() const { return stopping && connections.empty() && jobsOut == 0 && deferredOut == 0; }

  // --- loop thread, replies (ks_http_replies.cc) ---
  void takeFinished();
  void reply(HttpConnection& c, HttpResponse& response);
  void refuse(HttpConnection& c, int status, const std::string& why);
  void tick(HttpConnection& c);
  void send(HttpConnection& c, std::string bytes);
  void flush(HttpConnection& c);
  void replyWritten(HttpConnection& c);
  void log(HttpConnection& c, int status);

  // --- any thread ---
  void runJob(HttpJob& job);  // a worker: the handler, then the reply straight to the socket if it may
  void wake();
  std::string refusalText(int status, const std::string& why) const;

  HttpServerOptions options;
  size_t bodyBudget;
  std::unordered_map<std::string, Route> routes;
  RefusalBody refusalBody;
  std::string refusalContentType = "text/plain";
  std::function<void(const HttpRequestRecord&)> requestLog;
  std::function<void()> onStopOverrun;

  // Owned by the loop thread once it runs.
  EventLoop loop;
  HttpListener listener;
  std::unordered_map<uint64_t, std::unique_ptr<HttpConnection>> connections;
  HttpDeadlines deadlines;
  std::vector<uint64_t> retired;
  std::vector<uint64_t> resumable;  // idle connections with pipelined bytes to parse
  uint64_t nextId = 2;
  size_t budgetUsed = 0;
  size_t jobsOut = 0;                  // handed to workers and not yet back
  std::atomic<size_t> deferredOut{0};  // deferred requests not yet answered
  Clock::time_point acceptResume = kNever;
  bool stopping = false;
  std::vector<char> readBuffer;  // what one receive outside a body takes

  HttpWorkerQueue workers;
  std::thread loopThread;
  int port = 0;
  bool started = false;
  bool stopped = false;

  // Between the loop and stop(), under `mutex`.
  std::mutex mutex;
  std::condition_variable drainedChanged;
  bool stopRequested = false;
  bool loopDrained = false;
  bool loopExit = false;

  std::atomic<size_t> openConnections{0};
  std::shared_ptr<HttpReplyPort> replyPort;
};

// What deferred replies reach the server through; cut when the server goes.
struct HttpReplyPort {
  std::mutex mutex;
  HttpServer::Impl* server = nullptr;
};

struct HttpReply::State {
  std::shared_ptr<HttpReplyPort> port;
  uint64_t connection = 0;
  size_t budget = 0;  // body bytes the request holds
  std::atomic<bool> sent{false};
  std::function<void()> abandoned;  // loop thread only
};

}  // namespace server
}  // namespace ks
