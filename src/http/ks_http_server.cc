#include "ks_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ks_http_text.h"
#include "ks_unique_fd.h"

namespace ks {
namespace server {

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();
constexpr size_t kReadChunk = size_t{64} << 10;
// After a reply that ends the connection, the client's unread bytes are drained for this long so that
// closing does not send a reset that could destroy the reply in flight.
constexpr auto kLinger = std::chrono::seconds(2);
// Accepting pauses this long when the process runs out of descriptors (the listener would stay readable).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// The most body bytes one receive takes straight into a request: as much as the socket is likely to hold.
constexpr size_t kMaxDirectRead = size_t{1} << 20;
constexpr uint64_t kListenerId = 0;
constexpr uint64_t kWakeId = 1;
constexpr size_t kMaxIovecs = 16;

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

struct Connection {
  enum class Phase {
    kIdle,       // between requests: no byte of the next one yet
    kReading,    // a request is arriving
    kHandling,   // the request is with a worker; the socket is not read (requests are served in order)
    kWriting,    // the whole reply is queued
    kLingering,  // the reply is written and our side shut: discarding what the client still sends
  };

  Connection(UniqueFd socket, uint64_t connectionId, std::string peerAddress, const HttpLimits& limits)
      : fd(std::move(socket)), id(connectionId), peer(std::move(peerAddress)), parser(limits) {}

  UniqueFd fd;
  const uint64_t id;
  const std::string peer;
  HttpRequestParser parser;
  Phase phase = Phase::kIdle;
  bool fresh = true;    // no request has begun yet: the header deadline runs from the accept
  bool dead = false;    // closed; erased at the end of the loop's round
  std::string pending;  // bytes read past the current request: the next pipelined request
  uint32_t events = 0;  // what epoll watches for
  size_t budget = 0;    // body bytes held from the server's budget

  Clock::time_point idleSince;
  Clock::time_point requestStart;
  Clock::time_point nextTick;  // the next keep-alive space of a JSON route's reply
  Clock::time_point lingerUntil;
  Clock::time_point lastProgress;  // of the output
  Clock::time_point deadline = kNever;

  // The request in flight and its reply.
  HttpRequestRecord record;
  bool logged = true;
  bool keepAlive = true;
  bool http10 = false;
  bool headOnly = false;
  bool json = false;
  bool streaming = false;
  int replyStatus = 0;
  std::deque<std::string> out;
  size_t outOffset = 0;  // of out.front()
  // While a worker handles the request: who will write its reply (see Claim).
  std::shared_ptr<std::atomic<int>> claim;
};

using Phase = Connection::Phase;

struct Route {
  HttpServer::Handler handler;
  RouteBody body;
};

// Who writes a reply that a worker has ready: the worker itself, straight to the socket (a reply sooner,
// without waking the loop first), unless the loop began streaming it already.
enum Claim : int { kUnclaimed = 0, kLoopStreams = 1, kWorkerWrites = 2 };

// A complete request on its way to a worker, and back with its reply.
struct Job {
  uint64_t connection = 0;
  const Route* route = nullptr;
  HttpRequest request;
  HttpResponse response;
  size_t budget = 0;  // body bytes it holds
  // For the worker's own write: the connection's socket (a duplicate, so that a connection the loop
  // closes meanwhile never lends its number to another), what the head says, and who writes.
  UniqueFd socket;
  bool keepAlive = true;
  bool http10 = false;
  bool headOnly = false;
  std::shared_ptr<std::atomic<int>> claim;
  // The reply the worker wrote, as it went on the wire, and how much of it the socket took.
  bool direct = false;
  std::string wire;
  size_t sent = 0;
};

// Writes what the socket takes of `head` and then `body` now, without waiting; returns how much.
size_t writeNow(int socket, const std::string& head, const std::string& body) {
  const size_t total = head.size() + body.size();
  size_t sent = 0;
  while (sent < total) {
    iovec parts[2];
    size_t count = 0;
    if (sent < head.size()) parts[count++] = {const_cast<char*>(head.data()) + sent, head.size() - sent};
    const size_t intoBody = sent > head.size() ? sent - head.size() : 0;
    if (!body.empty()) parts[count++] = {const_cast<char*>(body.data()) + intoBody, body.size() - intoBody};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return sent;
}

}  // namespace

struct HttpServer::Impl {
  explicit Impl(HttpServerOptions opts);

  // --- loop thread ---
  void run();
  void acceptAll();
  void onEvent(Connection& c, uint32_t events);
  void readFrom(Connection& c);
  void startRequest(Connection& c);
  void process(Connection& c, std::string_view bytes);
  bool holdBudget(Connection& c);
  void dispatch(Connection& c);
  void takeFinished();
  void reply(Connection& c, HttpResponse& response);
  void refuse(Connection& c, int status, const std::string& why);
  void tick(Connection& c);
  void send(Connection& c, std::string bytes);
  void flush(Connection& c);
  void replyWritten(Connection& c);
  void resumePipelined();
  void noteRequest(Connection& c);
  void log(Connection& c, int status);
  void fail(Connection& c);
  void retire(Connection& c);
  void watch(Connection& c);
  void setDeadline(Connection& c);
  void onDeadline(Connection& c, Clock::time_point now);
  void sweep(Clock::time_point now);
  void beginStop();
  bool drained() const { return stopping && connections.empty() && jobsOut == 0; }

  // --- any thread ---
  void work();
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
  UniqueFd listener;
  UniqueFd epoll;
  UniqueFd wakeFd;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections;
  std::vector<uint64_t> retired;
  std::vector<uint64_t> resumable;  // idle connections with pipelined bytes to parse
  uint64_t nextId = 2;
  size_t budgetUsed = 0;
  size_t jobsOut = 0;  // handed to workers and not yet back
  Clock::time_point nextSweep = kNever;
  Clock::time_point acceptResume = kNever;
  bool stopping = false;
  std::vector<char> readBuffer = std::vector<char>(kReadChunk);

  std::thread loopThread;
  std::vector<std::thread> workers;
  int port = 0;
  bool started = false;
  bool stopped = false;

  // Shared between the loop, the workers and stop(), under `mutex`.
  std::mutex mutex;
  std::condition_variable jobReady;
  std::deque<std::unique_ptr<Job>> queue;
  std::vector<std::unique_ptr<Job>> finished;
  bool workersStop = false;
  std::condition_variable drainedChanged;
  bool stopRequested = false;
  bool loopDrained = false;
  bool loopExit = false;

  std::atomic<size_t> openConnections{0};
  std::atomic<size_t> requestsQueued{0};
  std::atomic<size_t> requestsRunning{0};
};

HttpServer::Impl::Impl(HttpServerOptions opts) : options(std::move(opts)) {
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

void HttpServer::Impl::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd.get(), &one, sizeof one);
}

// ----------------------------------------------------------------------------------------------- workers

void HttpServer::Impl::work() {
  for (;;) {
    std::unique_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex);
      jobReady.wait(lock, [this] { return workersStop || !queue.empty(); });
      if (workersStop) return;
      job = std::move(queue.front());
      queue.pop_front();
      --requestsQueued;
      ++requestsRunning;
    }
    try {
      job->route->handler(job->request, job->response);
    } catch (...) {
      job->response = HttpResponse{500, refusalContentType, refusalText(500, "internal error"), "", false};
    }
    job->request = HttpRequest{};  // the body goes now, on this thread
    int unclaimed = kUnclaimed;
    if (job->socket && job->claim->compare_exchange_strong(unclaimed, kWorkerWrites)) {
      const bool keepAlive = job->keepAlive && !job->response.closeConnection;
      job->wire = statusLine(job->response.status);
      if (!appendReplyHead(job->wire, job->response, keepAlive, job->http10) || job->headOnly) {
        job->response.body = std::string();
      }
      job->sent = writeNow(job->socket.get(), job->wire, job->response.body);
      job->direct = true;
    }
    job->socket.reset();
    --requestsRunning;
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished.push_back(std::move(job));
    }
    wake();
  }
}

// -------------------------------------------------------------------------------------------- the loop

void HttpServer::Impl::run() {
  epoll_event events[256];
  for (;;) {
    int timeout = -1;
    if (!resumable.empty()) {
      timeout = 0;
    } else if (nextSweep != kNever) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextSweep - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60'000));
    }
    const int count = epoll_wait(epoll.get(), events, 256, timeout);
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kListenerId) {
        acceptAll();
      } else if (id == kWakeId) {
        uint64_t value;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd.get(), &value, sizeof value);
      } else if (const auto found = connections.find(id); found != connections.end() && !found->second->dead) {
        onEvent(*found->second, events[i].events);
      }
    }
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
    const auto now = Clock::now();
    if (now >= nextSweep) sweep(now);
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
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    UniqueFd socket(
        accept4(listener.get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket) {
      if (wouldBlock()) return;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // Out of descriptors or memory: the listener would stay readable and spin the loop.
      epoll_event none{0, {}};
      none.data.u64 = kListenerId;
      epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listener.get(), &none);
      acceptResume = Clock::now() + kAcceptPause;
      nextSweep = std::min(nextSweep, acceptResume);
      return;
    }
    if (connections.size() >= options.maxConnections) continue;  // closed at once
    const int one = 1;
    setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint64_t id = nextId++;
    epoll_event interest{EPOLLIN, {}};
    interest.data.u64 = id;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, socket.get(), &interest) != 0) continue;
    auto c = std::make_unique<Connection>(std::move(socket), id, addressText(address), options.limits);
    c->events = EPOLLIN;
    c->idleSince = Clock::now();
    setDeadline(*c);
    connections.emplace(id, std::move(c));
  }
}

void HttpServer::Impl::onEvent(Connection& c, uint32_t events) {
  if (events & EPOLLERR) return fail(c);
  if (events & EPOLLOUT) flush(c);
  if (c.dead) return;
  const bool reading = c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering;
  if (reading && (events & (EPOLLIN | EPOLLHUP))) {
    readFrom(c);
  } else if (events & EPOLLHUP) {
    fail(c);
  }
}

void HttpServer::Impl::readFrom(Connection& c) {
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

void HttpServer::Impl::startRequest(Connection& c) {
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

void HttpServer::Impl::process(Connection& c, std::string_view bytes) {
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
      return dispatch(c);
    }
    if (bytes.empty()) break;
  }
  setDeadline(c);
}

// Takes from the server's budget the body bytes the request announced since the last call.
bool HttpServer::Impl::holdBudget(Connection& c) {
  const size_t announced = c.parser.bodyBytesAnnounced();
  if (announced <= c.budget) return true;
  const size_t more = announced - c.budget;
  if (more > bodyBudget - budgetUsed) return false;
  budgetUsed += more;
  c.budget = announced;
  return true;
}

void HttpServer::Impl::noteRequest(Connection& c) {
  const HttpRequest& request = c.parser.request();
  c.record.method = request.method;
  c.record.path = request.path;
  c.record.query = request.query;
  c.record.bytesIn = c.parser.bytesConsumed();
}

void HttpServer::Impl::dispatch(Connection& c) {
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
  watch(c);
  setDeadline(c);
  auto job = std::make_unique<Job>();
  job->connection = c.id;
  job->route = &route->second;
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
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++requestsQueued;
    queue.push_back(std::move(job));
  }
  jobReady.notify_one();
}

void HttpServer::Impl::takeFinished() {
  std::vector<std::unique_ptr<Job>> done;
  {
    std::lock_guard<std::mutex> lock(mutex);
    done.swap(finished);
  }
  for (auto& job : done) {
    --jobsOut;
    budgetUsed -= job->budget;
    const auto found = connections.find(job->connection);
    if (found == connections.end() || found->second->dead) continue;  // the client went away
    Connection& c = *found->second;
    c.claim.reset();
    if (job->direct) {
      c.replyStatus = job->response.status;
      c.record.note = std::move(job->response.logNote);
      if (job->response.closeConnection) c.keepAlive = false;
      if (stopping) c.keepAlive = false;
      c.phase = Phase::kWriting;
      c.record.bytesOut += job->sent;
      const std::string& head = job->wire;
      std::string& body = job->response.body;
      if (job->sent < head.size() + body.size()) {
        // The rest goes as any reply's does, from where the socket stopped taking it.
        if (job->sent < head.size()) {
          send(c, head.substr(job->sent));
          send(c, std::move(body));
          c.outOffset = 0;
        } else {
          const size_t into = job->sent - head.size();
          send(c, std::move(body));
          c.outOffset = into;
        }
        flush(c);
      } else {
        replyWritten(c);
      }
      continue;
    }
    if (stopping) c.keepAlive = false;
    reply(c, job->response);
  }
}

void HttpServer::Impl::reply(Connection& c, HttpResponse& response) {
  c.replyStatus = response.status;
  c.record.note = std::move(response.logNote);
  if (response.closeConnection) c.keepAlive = false;
  c.phase = Phase::kWriting;
  if (c.streaming) {  // the head and the spaces are out: the body follows as the last chunk
    if (c.http10) {
      send(c, std::move(response.body));  // HTTP/1.0: the body ends with the connection
    } else {
      if (!response.body.empty()) {
        send(c, chunkSizeLine(response.body.size()));
        send(c, std::move(response.body));
        send(c, "\r\n");
      }
      send(c, "0\r\n\r\n");
    }
    return flush(c);
  }
  std::string head = statusLine(response.status);
  const bool hasBody = appendReplyHead(head, response, c.keepAlive, c.http10);
  send(c, std::move(head));
  if (hasBody && !c.headOnly) send(c, std::move(response.body));
  flush(c);
}

// A refusal ends the connection: after a framing error, or a request cut short, nothing that follows
// can be trusted to start a request.
void HttpServer::Impl::refuse(Connection& c, int status, const std::string& why) {
  noteRequest(c);
  budgetUsed -= c.budget;
  c.budget = 0;
  c.http10 = c.parser.request().minorVersion == 0;
  c.keepAlive = false;
  c.headOnly = false;
  c.pending.clear();
  HttpResponse response{status, refusalContentType, refusalText(status, why), "", true};
  reply(c, response);
}

// A JSON route's reply is late: start it, or keep it alive with one more space.
void HttpServer::Impl::tick(Connection& c) {
  const bool http10 = c.http10;
  int unclaimed = kUnclaimed;
  if (!c.streaming && c.claim && !c.claim->compare_exchange_strong(unclaimed, kLoopStreams)) {
    return;  // the worker is writing the reply itself
  }
  if (!c.streaming) {
    c.streaming = c.record.streamed = true;
    std::string head = statusLine(200) + "Content-Type: application/json\r\n";
    if (http10) {
      c.keepAlive = false;
    } else {
      head += "Transfer-Encoding: chunked\r\n";
    }
    if (!c.keepAlive) head += "Connection: close\r\n";
    send(c, head + "\r\n");
  } else if (!c.out.empty()) {
    c.nextTick = Clock::now() + options.keepAliveInterval;
    return;  // the client is not reading: no point piling up spaces
  }
  send(c, http10 ? " " : "1\r\n \r\n");
  c.nextTick = Clock::now() + options.keepAliveInterval;
  flush(c);
}

void HttpServer::Impl::send(Connection& c, std::string bytes) {
  if (bytes.empty()) return;
  if (c.out.empty()) c.lastProgress = Clock::now();
  c.out.push_back(std::move(bytes));
}

void HttpServer::Impl::flush(Connection& c) {
  while (!c.out.empty()) {
    iovec parts[kMaxIovecs];
    size_t count = 0;
    for (auto it = c.out.begin(); it != c.out.end() && count < kMaxIovecs; ++it, ++count) {
      const size_t skip = count == 0 ? c.outOffset : 0;
      parts[count] = {const_cast<char*>(it->data()) + skip, it->size() - skip};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    ssize_t written = ::sendmsg(c.fd.get(), &message, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (wouldBlock()) break;
      return fail(c);
    }
    c.lastProgress = Clock::now();
    c.record.bytesOut += static_cast<uint64_t>(written);
    while (written > 0) {
      const size_t left = c.out.front().size() - c.outOffset;
      if (static_cast<size_t>(written) < left) {
        c.outOffset += static_cast<size_t>(written);
        break;
      }
      written -= static_cast<ssize_t>(left);
      c.out.pop_front();
      c.outOffset = 0;
    }
  }
  if (c.out.empty() && c.phase == Phase::kWriting) return replyWritten(c);
  watch(c);
  setDeadline(c);
}

void HttpServer::Impl::replyWritten(Connection& c) {
  log(c, c.replyStatus);
  if (!c.keepAlive || stopping) {
    if (stopping) return retire(c);
    ::shutdown(c.fd.get(), SHUT_WR);
    c.phase = Phase::kLingering;
    c.lingerUntil = Clock::now() + kLinger;
  } else {
    c.parser.reset();
    c.phase = Phase::kIdle;
    c.idleSince = Clock::now();
    if (!c.pending.empty()) resumable.push_back(c.id);
  }
  watch(c);
  setDeadline(c);
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
      Connection& c = *found->second;
      if (c.dead || c.phase != Phase::kIdle || c.pending.empty()) continue;
      const std::string bytes = std::move(c.pending);
      c.pending.clear();
      startRequest(c);
      process(c, bytes);
    }
  }
}

void HttpServer::Impl::log(Connection& c, int status) {
  if (c.logged) return;
  c.logged = true;
  if (!requestLog) return;
  c.record.status = status;
  c.record.duration = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.requestStart);
  try {
    requestLog(c.record);
  } catch (...) {  // the owner's log failing must not take the loop down
  }
}

// The connection broke, or the server gives it up: what was in flight is logged as not answered.
void HttpServer::Impl::fail(Connection& c) {
  if (c.phase == Phase::kReading) noteRequest(c);
  if (c.phase != Phase::kIdle && c.phase != Phase::kLingering) log(c, 0);
  retire(c);
}

void HttpServer::Impl::retire(Connection& c) {
  if (c.dead) return;
  c.dead = true;
  c.fd.reset();  // also leaves the epoll set
  budgetUsed -= c.budget;
  c.budget = 0;
  c.out.clear();
  retired.push_back(c.id);
}

void HttpServer::Impl::watch(Connection& c) {
  if (c.dead) return;
  uint32_t wanted = c.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT);
  if (c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering) wanted |= EPOLLIN;
  if (wanted == c.events) return;
  epoll_event interest{wanted, {}};
  interest.data.u64 = c.id;
  epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &interest);
  c.events = wanted;
}

void HttpServer::Impl::setDeadline(Connection& c) {
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
  c.deadline = deadline;
  nextSweep = std::min(nextSweep, deadline);
}

void HttpServer::Impl::onDeadline(Connection& c, Clock::time_point now) {
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

void HttpServer::Impl::sweep(Clock::time_point now) {
  nextSweep = kNever;
  if (acceptResume <= now && listener) {
    epoll_event interest{EPOLLIN, {}};
    interest.data.u64 = kListenerId;
    epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listener.get(), &interest);
    acceptResume = kNever;
  }
  nextSweep = acceptResume;
  for (auto& entry : connections) {
    Connection& c = *entry.second;
    if (!c.dead && c.deadline <= now) onDeadline(c, now);
  }
  for (auto& entry : connections) {
    if (!entry.second->dead) nextSweep = std::min(nextSweep, entry.second->deadline);
  }
}

void HttpServer::Impl::beginStop() {
  stopping = true;
  listener.reset();
  acceptResume = kNever;
  for (auto& entry : connections) {
    Connection& c = *entry.second;
    if (c.phase == Phase::kIdle || c.phase == Phase::kReading || c.phase == Phase::kLingering) {
      fail(c);
    } else {
      c.keepAlive = false;
    }
  }
}

// ----------------------------------------------------------------------------------------------- HttpServer

HttpServer::HttpServer(HttpServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::route(std::string path, Handler handler, RouteBody body) {
  impl_->routes[std::move(path)] = Route{std::move(handler), body};
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
  const std::string where = s.options.host + ":" + std::to_string(s.options.port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(s.options.host.empty() ? nullptr : s.options.host.c_str(),
                                   std::to_string(s.options.port).c_str(), &hints, &found);
  if (resolved != 0) throw std::runtime_error("cannot resolve " + where + ": " + gai_strerror(resolved));
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int error = 0;
  for (const addrinfo* a = found; a != nullptr && !s.listener; a = a->ai_next) {
    UniqueFd socket(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    const int one = 1;
    if (socket && setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        bind(socket.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(socket.get(), s.options.listenBacklog) == 0) {
      s.listener = std::move(socket);
    } else {
      error = errno;
    }
  }
  if (!s.listener) throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(s.listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  s.port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(bound).sin6_port);

  s.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  s.wakeFd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!s.epoll || !s.wakeFd)
    throw std::runtime_error(std::string("cannot create the event loop: ") + std::strerror(errno));
  epoll_event interest{EPOLLIN, {}};
  interest.data.u64 = kListenerId;
  epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.listener.get(), &interest);
  interest.data.u64 = kWakeId;
  epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.wakeFd.get(), &interest);

  for (unsigned i = 0; i < s.options.workers; ++i) s.workers.emplace_back([&s] { s.work(); });
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
  std::deque<std::unique_ptr<Job>> unstarted;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.loopExit = true;
    s.workersStop = true;
    unstarted.swap(s.queue);
    s.requestsQueued = 0;
  }
  s.wake();
  s.jobReady.notify_all();
  s.loopThread.join();
  for (std::thread& worker : s.workers) worker.join();
  s.workers.clear();
}

int HttpServer::port() const { return impl_->port; }
size_t HttpServer::openConnections() const { return impl_->openConnections.load(); }
size_t HttpServer::requestsQueued() const { return impl_->requestsQueued.load(); }
size_t HttpServer::requestsRunning() const { return impl_->requestsRunning.load(); }

}  // namespace server
}  // namespace ks
