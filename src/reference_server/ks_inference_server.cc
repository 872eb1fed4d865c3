#include "ks_inference_server.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ks_client_address.h"
#include "ks_endpoints.h"
#include "ks_inference_run.h"
#include "ks_run_scheduler.h"
#include "ks_server_metrics.h"
#include "ks_status_message.h"
#include "ks_task_pool.h"

namespace ks {
namespace server {
namespace {

const char kJson[] = "application/json";

std::string refusalBody(const std::string& text) { return statusToJson(StatusMessage{false, text}); }

// Runs a handler's `work` and turns whatever it returns or throws into the reply.
template <typename Work>
void answer(HttpResponse& response, Work&& work) {
  try {
    response.body = work();
    response.status = 200;
    return;
  } catch (const Refusal& e) {
    response.status = e.httpStatus();
    response.body = refusalBody(e.what());
    response.closeConnection = e.unframed();
  } catch (const std::bad_alloc&) {
    response.status = 503;
    response.body = refusalBody("out of memory");
  } catch (const std::exception& e) {
    response.status = 500;
    response.body = refusalBody(std::string("internal error: ") + e.what());
  }
}

Refusal unknownAction(const HttpRequest& request) {
  const std::string* action = request.param("action");
  if (action == nullptr) return Refusal(400, "missing action for " + request.path);
  return Refusal(400, "unknown action '" + *action + "' for " + request.path);
}

// Text from a client, made safe for one log line: at most `limit` characters, anything but letters,
// digits and a few marks shown as '?'.
std::string loggable(const std::string& text, size_t limit) {
  std::string safe;
  for (char c : text.substr(0, limit)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.' || c == '/' || c == ':' || c == '[' || c == ']';
    safe += plain ? c : '?';
  }
  return text.size() > limit ? safe + "..." : safe;
}

// A session id as the log shows it: its node prefix and the first 8 of its 32 digits. The id is a
// client's only credential, so the log never holds enough of it to use.
std::string shortSessionId(const std::string& id) {
  if (id.empty()) return "-";
  const size_t dash = id.rfind('-');
  const size_t digits = dash == std::string::npos ? 0 : dash + 1;
  return loggable(id.substr(0, std::min(id.size(), digits + 8)), 48);
}

std::string utcTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

// The HTTP options with the server's default of handler threads, which take every request but
// inferences (sessions, loads, metrics): twice the processors, so that a load or a slow store does not
// hold the others up.
HttpServerOptions httpOptionsOf(const InferenceServerOptions& options) {
  HttpServerOptions http = options.http;
  if (http.workers == 0) http.workers = 2 * std::max(1u, std::thread::hardware_concurrency());
  return http;
}

// The service's options with what the engine takes from the rest: as many runs at once per network as
// handler threads, a region for the largest body's tensors and the outputs an inference may allocate, loads bounded by
// the inference time limit.
InferenceServiceOptions serviceOptionsOf(const InferenceServerOptions& options) {
  InferenceServiceOptions service = options.service;
  EngineOptions& engine = service.engine;
  if (engine.runsAtOnce == 0) engine.runsAtOnce = httpOptionsOf(options).workers;
  if (engine.regionBytes == EngineOptions().regionBytes) {
    engine.regionBytes = options.http.limits.maxBodyBytes +
                         (engine.inferenceMemoryBytes != 0 ? engine.inferenceMemoryBytes : size_t{4} << 30);
  }
  if (options.inferenceTimeout.count() != 0) engine.loadTimeout = options.inferenceTimeout;
  return service;
}

}  // namespace

struct InferenceServer::Impl {
  explicit Impl(InferenceServerOptions opts)
      : options(std::move(opts)),
        service(withWorkerLog(serviceOptionsOf(options))),
        http(httpOptionsOf(options)),
        scheduler(http.loop(), pool, schedulerOptionsOf(options, service.options())),
        clients(options.trustedProxies) {
    // The store may keep a request waiting; its calls get threads of their own.
    if (service.shared() != nullptr) storePool = std::make_unique<TaskPool>(httpOptionsOf(options).workers);
  }

  static RunSchedulerOptions schedulerOptionsOf(const InferenceServerOptions& options,
                                                const InferenceServiceOptions& service) {
    RunSchedulerOptions scheduler;
    scheduler.queueLimit = options.networkQueue;
    scheduler.sessionQueueLimit = options.sessionQueue;
    scheduler.timeLimit = options.inferenceTimeout;
    scheduler.grace = service.engine.stopGrace;
    scheduler.inferenceMemoryBytes = service.engine.inferenceMemoryBytes;
    scheduler.roomWait = service.engine.roomWait;
    return scheduler;
  }

  // The options with what workers write going to the log, each line marked as theirs.
  InferenceServiceOptions withWorkerLog(InferenceServiceOptions service) {
    if (options.log != nullptr) {
      service.engine.workerLog = [this](const std::string& line) {
        const std::string text = utcTime(std::chrono::system_clock::now()) + " " + line + "\n";
        std::lock_guard<std::mutex> lock(logMutex);
        logPending += text;
        flushLogLocked();
      };
    }
    return service;
  }
  void installRoutes();
  // The request log is written when the loop has nothing else to do, or past 16 KiB: one write for many
  // lines under load, at once otherwise.
  void flushLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    flushLogLocked();
  }
  void flushLogLocked() {
    if (logPending.empty() || options.log == nullptr) return;
    *options.log << logPending << std::flush;
    logPending.clear();
  }
  struct Route;
  const Route& routeOf(const HttpRequest& request) const;
  void dispatch(HttpRequest& request, HttpResponse& response);
  void inferDeferred(HttpRequest& request, const HttpReply& reply);
  void submit(std::shared_ptr<const InferenceEngine> engine, HttpRequest& request, const HttpReply& reply);
  void logRequest(const HttpRequestRecord& record);
  std::string metricsText();

  // One answer an endpoint; each returns the reply's body.
  std::string openSession(HttpRequest& request, HttpResponse& response) {
    return service.openSession(&response.logNote, ClientAddresses::countedAs(clients.of(request)));
  }
  std::string closeSession(HttpRequest& request, HttpResponse&) {
    return service.closeSession(request.param("session_id"));
  }
  std::string layouts(HttpRequest& request, HttpResponse&) { return service.layouts(request.param("session_id")); }
  std::string load(HttpRequest& request, HttpResponse& response) {
    return service.load(request.param("session_id"), &request.body[0], &response.logNote);
  }
  std::string health(HttpRequest&, HttpResponse& response);
  std::string metricsPage(HttpRequest&, HttpResponse& response) {
    response.contentType = "text/plain; version=0.0.4";
    return metricsText();
  }

  struct Route {
    Endpoint endpoint;
    std::string (Impl::*answer)(HttpRequest&, HttpResponse&);
    RouteBody body;  // kJson: a slow reply may be kept alive with whitespace
    bool head;       // HEAD is answered too, as GET without the body (for monitors)
  };
  static const Route kRoutes[kEndpointCount];

  const InferenceServerOptions options;
  InferenceService service;
  HttpServer http;
  TaskPool pool;                        // encodes and decodes large tensors
  std::unique_ptr<TaskPool> storePool;  // asks the shared store whether an inference's session stands
  RunScheduler scheduler;
  const ClientAddresses clients;
  ServerMetrics metrics;
  std::mutex logMutex;  // guards logPending and the log's stream
  std::string logPending;
};

// How the server answers each endpoint of the protocol's table, in the table's order.
const InferenceServer::Impl::Route InferenceServer::Impl::kRoutes[kEndpointCount] = {
    {Endpoint::kSessionNew, &Impl::openSession, RouteBody::kJson, false},
    {Endpoint::kSessionDelete, &Impl::closeSession, RouteBody::kJson, false},
    {Endpoint::kGetLayouts, &Impl::layouts, RouteBody::kJson, false},
    {Endpoint::kLoad, &Impl::load, RouteBody::kJson, false},
    {Endpoint::kInference, nullptr, RouteBody::kJson, false},  // deferred: see inferDeferred
    {Endpoint::kHealthz, &Impl::health, RouteBody::kAny, true},
    {Endpoint::kMetrics, &Impl::metricsPage, RouteBody::kAny, true},
};

void InferenceServer::Impl::installRoutes() {
  std::set<std::string_view> paths;
  for (const Route& route : kRoutes) {
    const EndpointInfo& entry = infoOf(route.endpoint);
    if (!paths.insert(entry.path).second) continue;
    if (route.answer == nullptr) {
      http.routeDeferred(
          entry.path, [this](HttpRequest& request, const HttpReply& reply) { inferDeferred(request, reply); },
          route.body);
      continue;
    }
    http.route(
        entry.path, [this](HttpRequest& request, HttpResponse& response) { dispatch(request, response); }, route.body);
  }
  http.setRefusalBody([](int, const std::string& why) { return refusalBody(why); }, kJson);
  http.setStopOverrun([this] { scheduler.interruptAll("the server is stopping"); });
  http.setRequestLog([this](const HttpRequestRecord& record) { logRequest(record); });
  http.loop().beforeSleep([this] { flushLog(); });
}

const InferenceServer::Impl::Route& InferenceServer::Impl::routeOf(const HttpRequest& request) const {
  const std::string* action = request.param("action");
  const EndpointInfo* entry = findEndpoint(request.path, action);
  if (entry == nullptr) throw unknownAction(request);
  const Route& route = kRoutes[static_cast<size_t>(entry->endpoint)];
  if (request.method != entry->method && !(route.head && request.method == "HEAD")) {
    const std::string what = entry->action != nullptr ? "action '" + *action + "'" : request.path;
    throw Refusal(405, what + " takes " + entry->method + ", not " + request.method);
  }
  return route;
}

void InferenceServer::Impl::dispatch(HttpRequest& request, HttpResponse& response) {
  answer(response, [&] { return (this->*routeOf(request).answer)(request, response); });
}

// On the loop thread: nothing here waits, but the store, whose questions go to threads of their own.
void InferenceServer::Impl::inferDeferred(HttpRequest& request, const HttpReply& reply) {
  try {
    routeOf(request);
    if (storePool) {
      auto held = std::make_shared<HttpRequest>(std::move(request));
      storePool->post([this, held, reply] {
        try {
          std::shared_ptr<const InferenceEngine> engine = service.admit(held->param("session_id"), &held->body[0]);
          http.loop().post(
              [this, held, reply, engine = std::move(engine)]() mutable { submit(std::move(engine), *held, reply); });
        } catch (...) {
          reply.send(refusalResponse(std::current_exception()));
        }
      });
      return;
    }
    submit(service.admit(request.param("session_id"), &request.body[0]), request, reply);
  } catch (...) {
    reply.send(refusalResponse(std::current_exception()));
  }
}

void InferenceServer::Impl::submit(std::shared_ptr<const InferenceEngine> engine, HttpRequest& request,
                                   const HttpReply& reply) {
  const std::string session = *request.param("session_id");
  RunScheduler::Refused refused = RunScheduler::Refused::kNone;
  const RunScheduler::Ticket ticket = scheduler.submit(
      std::move(engine), session, std::make_unique<InferenceRun>(service, metrics, request, reply), refused);
  if (ticket != 0) {
    reply.onAbandoned([this, ticket] { scheduler.interrupt(ticket, "the client closed the connection"); });
    return;
  }
  const RunSchedulerOptions& limits = scheduler.options();
  const std::string why =
      refused == RunScheduler::Refused::kSessionFull
          ? "this session has " + std::to_string(limits.sessionQueueLimit) +
                " inferences waiting for its network already, its share of the network's queue; try again shortly"
          : "the network's queue is full: " + std::to_string(limits.queueLimit) +
                " inferences wait for its engine process already; try again shortly";
  reply.send(refusalResponse(std::make_exception_ptr(Refusal(503, why))));
}

std::string InferenceServer::Impl::health(HttpRequest&, HttpResponse& response) {
  response.contentType = "text/plain";
  std::string body = "ok\n";
  // Still healthy without the store: a proxy must not take every node out when the store goes.
  if (SharedSessions* shared = service.shared(); shared != nullptr && !shared->reachable()) {
    body += "session store unreachable (" + shared->redis().lastError() +
            "): sessions held here go on, new sessions stay on this node until it is back\n";
  }
  return body;
}

void InferenceServer::Impl::logRequest(const HttpRequestRecord& record) {
  const EndpointInfo* entry = findEndpoint(record.path, findParam(record.params, "action"));
  const double seconds = static_cast<double>(record.duration.count()) / 1e6;
  metrics.recordRequest(entry, record.status, seconds, record.bytesIn, record.bytesOut);
  if (options.log == nullptr) return;

  // A new session's id is not in the request; its handler noted it.
  const bool opened = entry != nullptr && entry->endpoint == Endpoint::kSessionNew;
  const std::string* sessionParam = findParam(record.params, "session_id");
  const std::string session = opened ? record.note : sessionParam != nullptr ? *sessionParam : std::string();
  const std::string method = record.method.empty() ? "-" : loggable(record.method, 16);
  const std::string path = record.path.empty() ? "-" : loggable(record.path, 64);
  std::string line = utcTime(record.start) + " " + record.clientAddress + " " + method + " " + path + " " +
                     ServerMetrics::nameOf(entry) + " session=" + shortSessionId(session);
  char tail[128];
  std::snprintf(tail, sizeof tail, " %d in=%llu out=%llu %.3fms%s%s\n", record.status,
                static_cast<unsigned long long>(record.bytesIn), static_cast<unsigned long long>(record.bytesOut),
                seconds * 1e3, record.streamed ? " streamed" : "", record.clientGone ? " dropped: client gone" : "");
  line += tail;
  // Anything else a handler noted (our own text: an upgraded network) ends the line.
  if (!opened && !record.note.empty()) line.insert(line.size() - 1, " " + record.note);
  std::lock_guard<std::mutex> lock(logMutex);
  logPending += line;
  if (logPending.size() >= (size_t{16} << 10)) flushLogLocked();
}

InferenceServer::InferenceServer(InferenceServerOptions options) {
  if (options.service.maxSessions == 0) throw std::invalid_argument("the session limit must be at least 1");
  impl_ = std::make_unique<Impl>(std::move(options));
  impl_->installRoutes();
}

InferenceServer::~InferenceServer() { stop(); }

int InferenceServer::start() { return impl_->http.start(); }

void InferenceServer::stop() {
  impl_->http.stop();
  impl_->flushLog();
}

int InferenceServer::port() const { return impl_->http.port(); }

InferenceService& InferenceServer::service() { return impl_->service; }

std::string InferenceServer::metricsText() const { return impl_->metricsText(); }

std::string InferenceServer::Impl::metricsText() {
  ServerGauges gauges;
  gauges.openSessions = service.sessions().openCount();
  gauges.loadedNetworks = service.networks().count();
  gauges.networkBytes = service.networks().heldBytes();
  const HeldMemory& memory = service.networks().memory();
  gauges.clientMemoryBytes = memory.held();
  gauges.clientMemoryBudgetBytes = memory.budget();
  gauges.runRegionBytes = memory.regionBytes();
  gauges.memoryRefusals = memory.refusals();
  if (service.cache() != nullptr) {
    gauges.cachedNetworks = service.cache()->count();
    gauges.cacheBytes = service.cache()->totalBytes();
  }
  gauges.openConnections = http.openConnections();
  gauges.queuedRequests = http.requestsQueued();
  gauges.runningRequests = http.requestsRunning();
  gauges.waitingInferences = scheduler.waiting();
  gauges.runningInferences = scheduler.out();
  const WorkerCounts workers = service.networks().workerCounts();
  gauges.workerStarts = workers.started;
  gauges.workerProcesses = workers.running;
  for (const auto& [end, count] : workers.ended) gauges.workerEnds[endName(end)] = count;
  gauges.quarantines = workers.quarantines;
  gauges.rerunAlone = workers.rerunAlone;
  gauges.crashingRuns = workers.crashingRuns;
  if (SharedSessions* shared = service.shared()) {
    gauges.sharedStore = true;
    gauges.storeUp = shared->up();
    gauges.storeFailures = shared->redis().failures();
    gauges.takeovers = shared->takeovers();
    gauges.takeoverSeconds = shared->takeoverSeconds();
  }
  return metrics.render(gauges);
}

}  // namespace server
}  // namespace ks
