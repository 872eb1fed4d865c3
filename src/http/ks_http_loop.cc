#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "ks_http_loop.h"
#include "ks_http_text.h"

namespace ks {
namespace server {
namespace {

constexpr size_t kReadChunk = size_t{64} << 10;
// Accepting pauses this long when the process runs out of descriptors (the listener would stay readable).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// The most body bytes one receive takes straight into a request: as much as the socket is likely to hold.
constexpr size_t kMaxDirectRead = size_t{1} << 20;

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace

void HttpServer::Impl::open() {
  listener = HttpListener::open(options.host, options.port, options.listenBacklog);
  port = listener.port();
  loop.watch(listener.fd(), EPOLLIN, [this](uint32_t) { acceptAll(); });
}

void HttpServer::Impl::run() {
  loop.bindToThisThread();
  for (;;) {
    int timeout = -1;
    if (!resumable.empty()) {
      timeout = 0;
    } else if (const Clock::time_point next = std::min(deadlines.next(), acceptResume); next != kNever) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60'000));
    }
    loop.runOnce(timeout);
    takeFinished();
    bool stopNow;
    bool exitNow;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopNow = stopRequested;
      exitNow = loopExit;
    }
    if (stopNow && !stopping) beginStop();
    resumePipelined();
    expire(Clock::now());
    if (exitNow) {
      for (auto& entry : connections) fail(*entry.second);
    }
    for (const uint64_t id : retired) connections.erase(id);
    retired.clear();
    openConnections = connections.size();
    if (exitNow) return;
    if (drained()) {
      std::lock_guard<std::mutex> lock(mutex);
      loopDrained = true;
      drainedChanged.notify_all();
      return;
    }
  }
}

void HttpServer::Impl::acceptAll() {
  for (int i = 0; i < 64; ++i) {
    std::string peer;
    UniqueFd socket = listener.accept(peer);
    if (!socket) {
      if (wouldBlock()) return;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // Out of descriptors or memory: the listener would stay readable and spin the loop.
      loop.modify(listener.fd(), 0);
      acceptResume = Clock::now() + kAcceptPause;
      return;
    }
    if (connections.size() >= options.maxConnections) continue;  // closed at once
    const uint64_t id = nextId++;
    try {
      loop.watch(socket.get(), EPOLLIN | EPOLLRDHUP, [this, id](uint32_t events) {
        const auto found = connections.find(id);
        if (found != connections.end() && !found->second->dead) onEvent(*found->second, events);
      });
    } catch (const std::system_error&) {
      continue;  // closed at once
    }
    auto c = std::make_unique<HttpConnection>(std::move(socket), id, std::move(peer), options.limits);
    c->events = EPOLLIN | EPOLLRDHUP;
    c->idleSince = Clock::now();
    setDeadline(*c);
    connections.emplace(id, std::move(c));
  }
}

void HttpServer::Impl::onEvent(HttpConnection& c, uint32_t events) {
  if (events & EPOLLERR) return fail(c);
  if ((events & EPOLLRDHUP) != 0) c.hungUp = true;
  if (c.phase == Phase::kHandling && c.deferred) {
    // A deferred request's client that hangs up has given up on it.
    if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) {
      c.record.clientGone = true;
      return fail(c);
    }
    // Its next request came already: it waits in the socket until this one is answered.
    if ((events & EPOLLIN) != 0) {
      c.inputHeld = true;
      watch(c);
    }
    return;
  }
  if (events & EPOLLOUT) flush(c);
  if (c.dead) return;
  const bool reading = c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering;
  if (reading && (events & (EPOLLIN | EPOLLHUP))) {
    readFrom(c);
  } else if (events & EPOLLHUP) {
    fail(c);
  }
}

void HttpServer::Impl::readFrom(HttpConnection& c) {
  if (c.phase == Phase::kReading && c.pending.empty() && c.parser.inBody()) {
    // Inside a body, its bytes are received where the request keeps them, not copied there. The room is
    // made for what the socket holds, since making it clears it.
    int waiting = 0;
    if (::ioctl(c.fd.get(), FIONREAD, &waiting) != 0 || waiting <= 0) waiting = static_cast<int>(kReadChunk);
    size_t room = 0;
    if (char* into = c.parser.bodyRoom(std::min(static_cast<size_t>(waiting), kMaxDirectRead), room)) {
      const ssize_t n = ::recv(c.fd.get(), into, room, 0);
      c.parser.commitBody(n > 0 ? static_cast<size_t>(n) : 0);
      if (n < 0 && (wouldBlock() || errno == EINTR)) return;
      if (n <= 0) return fail(c);
      return process(c, std::string_view());
    }
  }
  const ssize_t n = ::recv(c.fd.get(), readBuffer.data(), readBuffer.size(), 0);
  if (n < 0 && (wouldBlock() || errno == EINTR)) return;
  if (n <= 0) return c.phase == Phase::kLingering ? retire(c) : fail(c);
  if (c.phase == Phase::kLingering) return;  // discarded
  const std::string_view bytes(readBuffer.data(), static_cast<size_t>(n));
  if (!c.pending.empty()) {  // earlier pipelined bytes go first
    c.pending.append(bytes);
    return;
  }
  if (c.phase == Phase::kIdle) startRequest(c);
  process(c, bytes);
}

void HttpServer::Impl::startRequest(HttpConnection& c) {
  c.phase = Phase::kReading;
  c.fresh = false;
  c.requestStart = Clock::now();
  c.record = HttpRequestRecord{};
  c.record.start = std::chrono::system_clock::now();
  c.record.clientAddress = c.peer;
  c.logged = false;
  c.keepAlive = true;
  c.http10 = c.headOnly = c.json = c.streaming = false;
  c.replyStatus = 0;
}

void HttpServer::Impl::process(HttpConnection& c, std::string_view bytes) {
  for (;;) {
    const bool inHead = c.parser.phase() == HttpRequestParser::Phase::kHead;
    bytes.remove_prefix(c.parser.feed(bytes));
    const auto phase = c.parser.phase();
    if (phase == HttpRequestParser::Phase::kRefused) {
      return refuse(c, c.parser.refusalStatus(), c.parser.refusalReason());
    }
    if (!holdBudget(c)) return refuse(c, 503, "the server holds too many request bodies to take this one now");
    if (inHead && phase != HttpRequestParser::Phase::kHead && c.parser.expectsContinue()) {
      send(c, "HTTP/1.1 100 Continue\r\n\r\n");
      flush(c);
      if (c.dead) return;
    }
    if (phase == HttpRequestParser::Phase::kComplete) {
      c.pending.assign(bytes);
      // A client that closed behind its request has given up on it (a proxy that timed out and went to
      // another node, while this one could not read): acting on it now could undo what the client did
      // since elsewhere, and its reply would go nowhere. Bytes after the request are no close.
      if (c.pending.empty() && c.hungUp) {
        c.record.clientGone = true;
        return fail(c);
      }
      return dispatch(c);
    }
    if (bytes.empty()) break;
  }
  setDeadline(c);
}

// Takes from the server's budget the body bytes the request announced since the last call.
bool HttpServer::Impl::holdBudget(HttpConnection& c) {
  const size_t announced = c.parser.bodyBytesAnnounced();
  if (announced <= c.budget) return true;
  const size_t more = announced - c.budget;
  if (more > bodyBudget - budgetUsed) return false;
  budgetUsed += more;
  c.budget = announced;
  return true;
}

void HttpServer::Impl::noteRequest(HttpConnection& c) {
  const HttpRequest& request = c.parser.request();
  c.record.method = request.method;
  c.record.path = request.path;
  c.record.params = request.params;
  c.record.bytesIn = c.parser.bytesConsumed();
}

void HttpServer::Impl::dispatch(HttpConnection& c) {
  noteRequest(c);
  HttpRequest request = c.parser.takeRequest();
  request.clientAddress = c.peer;
  c.http10 = request.minorVersion == 0;
  c.keepAlive = wantsKeepAlive(request) && !stopping;
  c.headOnly = request.method == "HEAD";
  const auto route = routes.find(request.path);
  if (route == routes.end()) {
    budgetUsed -= c.budget;
    c.budget = 0;
    HttpResponse notFound{404, refusalContentType,
                          refusalText(404, "unknown path: " + request.method + " " + request.path), "", false};
    return reply(c, notFound);
  }
  c.phase = Phase::kHandling;
  c.json = route->second.body == RouteBody::kJson && !c.headOnly;
  c.nextTick = Clock::now() + options.keepAliveInterval;
  if (route->second.deferred) return dispatchDeferred(c, route->second, request);
  watch(c);
  setDeadline(c);
  auto job = std::make_unique<HttpJob>();
  job->connection = c.id;
  job->handler = &route->second.handler;
  job->request = std::move(request);
  job->budget = c.budget;
  c.budget = 0;
  // Bytes still waiting to go (a 100 Continue) go first, from here.
  if (c.out.empty()) job->socket.reset(::fcntl(c.fd.get(), F_DUPFD_CLOEXEC, 0));
  job->keepAlive = c.keepAlive;
  job->http10 = c.http10;
  job->headOnly = c.headOnly;
  job->claim = std::make_shared<std::atomic<int>>(kUnclaimed);
  c.claim = job->claim;
  ++jobsOut;
  workers.push(std::move(job));
}

void HttpServer::Impl::dispatchDeferred(HttpConnection& c, const Route& route, HttpRequest& request) {
  auto state = std::make_shared<HttpReply::State>();
  state->port = replyPort;
  state->connection = c.id;
  state->budget = c.budget;
  c.budget = 0;
  c.deferred = state;
  ++deferredOut;
  watch(c);
  setDeadline(c);
  try {
    route.deferred(request, HttpReply(state));
  } catch (...) {
    HttpReply(state).send(HttpResponse{500, refusalContentType, refusalText(500, "internal error"), "", false});
  }
}

// A deferred reply, on the loop thread.
void HttpServer::Impl::deliver(HttpReply::State& state, HttpResponse& response) {
  --deferredOut;
  budgetUsed -= state.budget;
  state.budget = 0;
  state.abandoned = nullptr;
  const auto found = connections.find(state.connection);
  if (found == connections.end() || found->second->dead) return;  // the client went away
  HttpConnection& c = *found->second;
  if (c.deferred.get() != &state) return;
  c.deferred.reset();
  if (stopping) c.keepAlive = false;
  reply(c, response);
}

// Pipelined requests are parsed here, not from replyWritten, so that a burst of them is a loop, not a
// recursion.
void HttpServer::Impl::resumePipelined() {
  while (!resumable.empty()) {
    std::vector<uint64_t> ids;
    ids.swap(resumable);
    for (const uint64_t id : ids) {
      const auto found = connections.find(id);
      if (found == connections.end()) continue;
      HttpConnection& c = *found->second;
      if (c.dead || c.phase != Phase::kIdle || c.pending.empty()) continue;
      const std::string bytes = std::move(c.pending);
      c.pending.clear();
      startRequest(c);
      process(c, bytes);
    }
  }
}

// The connection broke, or the server gives it up: what was in flight is logged as not answered.
void HttpServer::Impl::fail(HttpConnection& c) {
  if (c.phase == Phase::kReading) noteRequest(c);
  if (c.phase != Phase::kIdle && c.phase != Phase::kLingering) log(c, 0);
  retire(c);
}

void HttpServer::Impl::retire(HttpConnection& c) {
  if (c.dead) return;
  c.dead = true;
  deadlines.clear(c.id);
  // A worker thread's duplicate of the socket (c.claim while it has one) would keep it in the epoll set.
  if (c.claim) {
    loop.unwatch(c.fd.get());
  } else {
    loop.forget(c.fd.get());
  }
  c.fd.reset();
  if (c.deferred) {
    // Its reply will find the connection gone; the work for it may stop now.
    const std::shared_ptr<HttpReply::State> deferred = std::move(c.deferred);
    if (std::function<void()> abandoned = std::move(deferred->abandoned)) abandoned();
  }
  budgetUsed -= c.budget;
  c.budget = 0;
  c.out.clear();
  retired.push_back(c.id);
}

void HttpServer::Impl::watch(HttpConnection& c) {
  if (c.dead) return;
  uint32_t wanted = c.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT);
  if (c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering) {
    wanted |= EPOLLIN | EPOLLRDHUP;
  }
  // A deferred request's socket stays watched, so a client that hangs up is seen at once; the set
  // changes only when one sends its next request early.
  if (c.phase == Phase::kHandling && c.deferred) wanted |= c.inputHeld ? EPOLLRDHUP : EPOLLIN | EPOLLRDHUP;
  if (wanted == c.events) return;
  loop.modify(c.fd.get(), wanted);
  c.events = wanted;
}

void HttpServer::Impl::setDeadline(HttpConnection& c) {
  if (c.dead) return;
  Clock::time_point deadline = kNever;
  switch (c.phase) {
    case Phase::kIdle:
      deadline = c.idleSince + (c.fresh ? options.headerDeadline : options.keepAliveIdleTimeout);
      break;
    case Phase::kReading:
      deadline = c.requestStart + (c.parser.phase() == HttpRequestParser::Phase::kHead ? options.headerDeadline
                                                                                       : options.requestDeadline);
      break;
    case Phase::kHandling:
      if (c.json) deadline = c.nextTick;
      break;
    case Phase::kWriting: break;
    case Phase::kLingering: deadline = c.lingerUntil; break;
  }
  if (!c.out.empty()) deadline = std::min(deadline, c.lastProgress + options.writeStallTimeout);
  deadlines.set(c.id, deadline);
}

void HttpServer::Impl::onDeadline(HttpConnection& c, Clock::time_point now) {
  if (!c.out.empty() && now >= c.lastProgress + options.writeStallTimeout) return fail(c);
  switch (c.phase) {
    case Phase::kIdle:
    case Phase::kLingering: return retire(c);
    case Phase::kReading: {
      const bool inHead = c.parser.phase() == HttpRequestParser::Phase::kHead;
      const auto limit = inHead ? options.headerDeadline : options.requestDeadline;
      return refuse(c, 408,
                    std::string(inHead ? "the request head" : "the request") + " did not arrive within " +
                        std::to_string(limit.count()) + " ms");
    }
    case Phase::kHandling:
      if (c.json && now >= c.nextTick) tick(c);
      break;
    case Phase::kWriting: break;
  }
  setDeadline(c);
}

void HttpServer::Impl::expire(Clock::time_point now) {
  if (acceptResume <= now && listener) {
    loop.modify(listener.fd(), EPOLLIN);
    acceptResume = kNever;
  }
  for (const uint64_t id : deadlines.takeDue(now)) {
    const auto found = connections.find(id);
    if (found != connections.end() && !found->second->dead) onDeadline(*found->second, now);
  }
}

void HttpServer::Impl::beginStop() {
  stopping = true;
  loop.unwatch(listener.fd());
  listener.close();
  acceptResume = kNever;
  for (auto& entry : connections) {
    HttpConnection& c = *entry.second;
    if (c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering) {
      fail(c);
    } else {
      c.keepAlive = false;
    }
  }
}

}  // namespace server
}  // namespace ks
