#include "ks_inference_server.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "ks_run_watchdog.h"
#include "ks_server_metrics.h"
#include "ks_status_message.h"

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

// `what` names the operation in the sentence ("action 'load'").
void requireMethod(const HttpRequest& request, const char* method, const std::string& what) {
  if (request.method != method) throw Refusal(405, what + " takes " + method + ", not " + request.method);
}

Refusal unknownAction(const HttpRequest& request) {
  const std::string* action = request.param("action");
  if (action == nullptr) return Refusal(400, "missing action for " + request.path);
  return Refusal(400, "unknown action '" + *action + "' for " + request.path);
}

// The value of `name` in a raw query, undecoded; empty when absent.
std::string rawParam(const std::string& query, const std::string& name) {
  size_t at = 0;
  while (at <= query.size()) {
    const size_t end = std::min(query.find('&', at), query.size());
    if (query.compare(at, name.size() + 1, name + "=") == 0)
      return query.substr(at + name.size() + 1, end - at - name.size() - 1);
    at = end + 1;
  }
  return {};
}

Endpoint endpointOf(const std::string& path, const std::string& query) {
  if (path == "/inference") return Endpoint::kInference;
  if (path == "/healthz") return Endpoint::kHealthz;
  if (path == "/metrics") return Endpoint::kMetrics;
  const std::string action = rawParam(query, "action");
  if (path == "/session" && action == "new") return Endpoint::kSessionNew;
  if (path == "/session" && action == "delete") return Endpoint::kSessionDelete;
  if (path == "/net" && action == "get_layouts") return Endpoint::kGetLayouts;
  if (path == "/net" && action == "load") return Endpoint::kLoad;
  return Endpoint::kOther;
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

// The HTTP options with the server's default of handlers: twice the processors, so that while some
// requests run in the engine others decode and encode their tensors; one request alone still gets every
// intra-op thread.
HttpServerOptions httpOptionsOf(const InferenceServerOptions& options) {
  HttpServerOptions http = options.http;
  if (http.workers == 0) http.workers = 2 * std::max(1u, std::thread::hardware_concurrency());
  return http;
}

// The service's options with what the engine takes from the rest: as many runs at once as handlers, a
// region for the largest body's tensors and the outputs an inference may allocate, loads bounded by the
// inference time limit.
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
        service(serviceOptionsOf(options)),
        http(httpOptionsOf(options)),
        watchdog(options.inferenceTimeout) {}

  void installRoutes();
  void logRequest(const HttpRequestRecord& record);
  std::string metricsText();

  const InferenceServerOptions options;
  InferenceService service;
  HttpServer http;
  RunWatchdog watchdog;
  ServerMetrics metrics;
  std::mutex logMutex;
};

void InferenceServer::Impl::installRoutes() {
  http.route(
      "/session",
      [this](HttpRequest& request, HttpResponse& response) {
        answer(response, [&] {
          const std::string* action = request.param("action");
          if (action != nullptr && *action == "new") {
            requireMethod(request, "GET", "action 'new'");
            return service.openSession(&response.logNote);
          }
          if (action != nullptr && *action == "delete") {
            requireMethod(request, "GET", "action 'delete'");
            return service.closeSession(request.param("session_id"));
          }
          throw unknownAction(request);
        });
      },
      RouteBody::kJson);
  http.route(
      "/net",
      [this](HttpRequest& request, HttpResponse& response) {
        answer(response, [&] {
          const std::string* action = request.param("action");
          if (action != nullptr && *action == "get_layouts") {
            requireMethod(request, "GET", "action 'get_layouts'");
            return service.layouts(request.param("session_id"));
          }
          if (action != nullptr && *action == "load") {
            requireMethod(request, "POST", "action 'load'");
            return service.load(request.param("session_id"), &request.body[0], &response.logNote);
          }
          throw unknownAction(request);
        });
      },
      RouteBody::kJson);
  http.route(
      "/inference",
      [this](HttpRequest& request, HttpResponse& response) {
        answer(response, [&] {
          requireMethod(request, "POST", "/inference");
          RunControl control;
          const RunWatchdog::Watch watch(watchdog, control);
          double engineSeconds = 0.0;
          std::string reply = service.infer(request.param("session_id"), &request.body[0], &control, &engineSeconds);
          metrics.recordEngineTime(engineSeconds);
          return reply;
        });
      },
      RouteBody::kJson);
  http.route("/healthz", [this](HttpRequest&, HttpResponse& response) {
    response.contentType = "text/plain";
    response.body = "ok\n";
    // Still healthy without the store: a proxy must not take every node out when the store goes.
    if (SharedSessions* shared = service.shared(); shared != nullptr && !shared->reachable()) {
      response.body += "session store unreachable (" + shared->redis().lastError() +
                       "): sessions held here go on, new sessions stay on this node until it is back\n";
    }
  });
  http.route("/metrics", [this](HttpRequest&, HttpResponse& response) {
    response.contentType = "text/plain; version=0.0.4";
    response.body = Impl::metricsText();
  });
  http.setRefusalBody([](int, const std::string& why) { return refusalBody(why); }, kJson);
  http.setStopOverrun([this] { watchdog.interruptAll("the server is stopping"); });
  http.setRequestLog([this](const HttpRequestRecord& record) { logRequest(record); });
}

void InferenceServer::Impl::logRequest(const HttpRequestRecord& record) {
  const Endpoint endpoint = endpointOf(record.path, record.query);
  const double seconds = static_cast<double>(record.duration.count()) / 1e6;
  metrics.recordRequest(endpoint, record.status, seconds, record.bytesIn, record.bytesOut);
  if (options.log == nullptr) return;

  // A new session's id is not in the request; its handler noted it.
  const std::string session = endpoint == Endpoint::kSessionNew ? record.note : rawParam(record.query, "session_id");
  const std::string method = record.method.empty() ? "-" : loggable(record.method, 16);
  const std::string path = record.path.empty() ? "-" : loggable(record.path, 64);
  std::string line = utcTime(record.start) + " " + record.clientAddress + " " + method + " " + path + " " +
                     endpointName(endpoint) + " session=" + shortSessionId(session);
  char tail[128];
  std::snprintf(tail, sizeof tail, " %d in=%llu out=%llu %.3fms%s\n", record.status,
                static_cast<unsigned long long>(record.bytesIn), static_cast<unsigned long long>(record.bytesOut),
                seconds * 1e3, record.streamed ? " streamed" : "");
  line += tail;
  // Anything else a handler noted (our own text: an upgraded network) ends the line.
  if (endpoint != Endpoint::kSessionNew && !record.note.empty()) {
    line.insert(line.size() - 1, " " + record.note);
  }
  std::lock_guard<std::mutex> lock(logMutex);
  *options.log << line << std::flush;
}

InferenceServer::InferenceServer(InferenceServerOptions options) {
  if (options.service.maxSessions == 0) throw std::invalid_argument("the session limit must be at least 1");
  impl_ = std::make_unique<Impl>(std::move(options));
  impl_->installRoutes();
}

InferenceServer::~InferenceServer() { stop(); }

int InferenceServer::start() { return impl_->http.start(); }

void InferenceServer::stop() { impl_->http.stop(); }

int InferenceServer::port() const { return impl_->http.port(); }

InferenceService& InferenceServer::service() { return impl_->service; }

std::string InferenceServer::metricsText() const { return impl_->metricsText(); }

std::string InferenceServer::Impl::metricsText() {
  ServerGauges gauges;
  gauges.openSessions = service.sessions().openCount();
  gauges.loadedNetworks = service.networks().count();
  gauges.networkBytes = service.networks().heldBytes();
  if (service.cache() != nullptr) {
    gauges.cachedNetworks = service.cache()->count();
    gauges.cacheBytes = service.cache()->totalBytes();
  }
  gauges.openConnections = http.openConnections();
  gauges.queuedRequests = http.requestsQueued();
  gauges.runningRequests = http.requestsRunning();
  const WorkerCounts workers = service.networks().workerCounts();
  gauges.workerStarts = workers.started;
  gauges.workerProcesses = workers.running;
  for (const auto& [end, count] : workers.ended) gauges.workerEnds[endName(end)] = count;
  gauges.quarantines = workers.quarantines;
  if (SharedSessions* shared = service.shared()) {
    gauges.sharedStore = true;
    gauges.storeUp = shared->redis().up();
    gauges.storeFailures = shared->redis().failures();
    gauges.takeovers = shared->takeovers();
    gauges.takeoverSeconds = shared->takeoverSeconds();
  }
  return metrics.render(gauges);
}

}  // namespace server
}  // namespace ks
