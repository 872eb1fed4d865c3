#include "ks_inference_server.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <httplib.h>

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_base64.h"
#include "ks_core/ks_exception.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_json_io.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"

namespace ks {
namespace server {

namespace {

const char kJson[] = "application/json";

// One request may not keep a session busy for hours: a count read from a negative number is ~4e9.
constexpr uint32_t kMaxRepetitions = 10000;

const char kInferenceFailed[] = "inference failed: ";

// A request the server turns down: the HTTP status and the sentence its status message carries.
class Refusal : public std::runtime_error {
 public:
  Refusal(int httpStatus, const std::string& text) : std::runtime_error(text), httpStatus_(httpStatus) {}
  int httpStatus() const { return httpStatus_; }

 private:
  int httpStatus_;
};

void refuse(httplib::Response& res, int httpStatus, const std::string& text) {
  res.status = httpStatus;
  res.set_content(statusToJson(StatusMessage{false, text}), kJson);
}

// Runs a handler's `work` and turns whatever it returns or throws into the reply.
void answer(httplib::Response& res, const std::function<std::string()>& work) {
  try {
    std::string body = work();
    res.status = 200;
    res.set_content(std::move(body), kJson);
  } catch (const Refusal& e) {
    refuse(res, e.httpStatus(), e.what());
  } catch (const std::bad_alloc&) {
    refuse(res, 503, "out of memory");
  } catch (const std::exception& e) {
    refuse(res, 500, std::string("internal error: ") + e.what());
  } catch (...) {
    refuse(res, 500, "internal error");
  }
}

// Runs a codec reader; what it rejects is the client's fault.
template <typename Read>
void readMessage(Read&& read) {
  try {
    read();
  } catch (const std::invalid_argument& e) {
    throw Refusal(400, e.what());
  } catch (const Exception& e) {
    throw Refusal(400, e.what());
  }
}

// The request's body as text to parse in place, so a large message is neither copied nor held twice.
// cpp-httplib hands handlers a const view of a request object that it owns and does not use again after
// the handler, so writing into its body is sound.
char* requestText(const httplib::Request& req) { return &const_cast<std::string&>(req.body)[0]; }

// `what` names the operation in the sentence ("action 'load'").
void requireMethod(const httplib::Request& req, const char* method, const std::string& what) {
  if (req.method != method) throw Refusal(405, what + " takes " + method + ", not " + req.method);
}

Refusal unknownAction(const httplib::Request& req) {
  if (!req.has_param("action")) return Refusal(400, "missing action for " + req.path);
  return Refusal(400, "unknown action '" + req.get_param_value("action") + "' for " + req.path);
}

// This server runs networks on its one CPU only.
void checkDevice(const NetLoadRequest& request) {
  if (request.backend != static_cast<int32_t>(BackendId::kCpu)) {
    throw Refusal(400, "backend " + std::to_string(request.backend) +
                           " is not supported: this server runs networks on the CPU backend (0)");
  }
  if (request.device_type != static_cast<int32_t>(DeviceType::kCpu)) {
    throw Refusal(400, "device type " + std::to_string(request.device_type) +
                           " is not supported: this server has a CPU device (0) only");
  }
  if (request.device_index != 0 && request.device_index != -1) {
    throw Refusal(400, "device index " + std::to_string(request.device_index) +
                           " is not supported: this server has one device (index 0, or -1 for the default)");
  }
}

// Keys name files in the cache folder, so their length is bounded by what a file name can hold.
constexpr size_t kMaxKeyBytes = 120;

// The key's bytes in hex: one file per key (unlike a hash, no two keys can share a file, so no client can
// replace another's network by crafting a key) and no character that could leave the cache folder.
std::string keyFileName(const std::string& key) {
  static const char kHex[] = "0123456789abcdef";
  std::string name;
  name.reserve(key.size() * 2 + 5);
  for (unsigned char c : key) {
    name += kHex[c >> 4];
    name += kHex[c & 15];
  }
  return name + ".onnx";
}

// When the request is served; set before the body is read, taken by the log line.
thread_local std::chrono::steady_clock::time_point requestStart;
thread_local bool requestStarted = false;

}  // namespace

struct InferenceServer::Impl {
  explicit Impl(InferenceServerOptions opts)
      : options(std::move(opts)), sessions(options.maxSessions, options.idleTimeout) {}

  std::string openSession(const httplib::Request& req);
  std::string closeSession(const httplib::Request& req);
  std::string layouts(const httplib::Request& req);
  std::string load(const httplib::Request& req);
  std::string infer(const httplib::Request& req);

  std::shared_ptr<Session> sessionOf(const httplib::Request& req);
  std::string networkBytes(const NetLoadRequest& request) const;
  std::string cachedNetwork(const std::string& key) const;
  void cacheNetwork(const std::string& key, const std::string& bytes) const;
  void fillErrorReply(const httplib::Request& req, httplib::Response& res) const;
  void logRequest(const httplib::Request& req, const httplib::Response& res);
  void installHandlers();

  const InferenceServerOptions options;
  SessionStore sessions;
  httplib::Server http;
  std::thread serving;
  std::atomic<bool> servingEnded{false};
  bool started = false;
  int boundPort = 0;
  std::mutex logMutex;
};

void InferenceServer::Impl::installHandlers() {
  http.set_payload_max_length(options.maxBodyBytes);
  http.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    requestStart = std::chrono::steady_clock::now();
    requestStarted = true;
    return httplib::Server::HandlerResponse::Unhandled;
  });

  const auto session = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
      const std::string action = req.get_param_value("action");
      if (action == "new") return openSession(req);
      if (action == "delete") return closeSession(req);
      throw unknownAction(req);
    });
  };
  const auto net = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
      const std::string action = req.get_param_value("action");
      if (action == "get_layouts") return layouts(req);
      if (action == "load") return load(req);
      throw unknownAction(req);
    });
  };
  const auto inference = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] { return infer(req); });
  };
  http.Get("/session", session).Post("/session", session);
  http.Get("/net", net).Post("/net", net);
  http.Get("/inference", inference).Post("/inference", inference);

  // Replies that cpp-httplib makes itself (unknown path, body too large, unreadable request) get a status
  // message too; replies our handlers made already carry one.
  http.set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        fillErrorReply(req, res);
        return httplib::Server::HandlerResponse::Handled;
      }));
  // Every handler catches everything; this is the net below the net.
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    refuse(res, 500, "internal error");
  });
  if (options.log != nullptr) {
    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) { logRequest(req, res); });
  }
}

void InferenceServer::Impl::fillErrorReply(const httplib::Request& req, httplib::Response& res) const {
  std::string text;
  switch (res.status) {
    case 404:
      text = "unknown path: " + req.method + " " + req.path;
      break;
    case 413:
      text = "request body too large: the limit is " + std::to_string(options.maxBodyBytes) + " bytes";
      break;
    case 414:
      text = "request URI too long";
      break;
    case 400:
      text = "malformed HTTP request";
      break;
    default:
      text = "HTTP error " + std::to_string(res.status);
  }
  res.set_content(statusToJson(StatusMessage{false, text}), kJson);
}

void InferenceServer::Impl::logRequest(const httplib::Request& req, const httplib::Response& res) {
  double ms = 0.0;
  if (requestStarted) {
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - requestStart).count();
    requestStarted = false;
  }
  // The session id is a client's only credential: it stays out of the log.
  std::string line = (req.method.empty() ? std::string("-") : req.method) + " " +
                     (req.path.empty() ? std::string("-") : req.path);
  if (req.has_param("action")) line += " action=" + req.get_param_value("action");
  char tail[64];
  std::snprintf(tail, sizeof tail, " %d %.3f ms\n", res.status, ms);
  line += tail;
  std::lock_guard<std::mutex> lock(logMutex);
  *options.log << line << std::flush;
}

std::shared_ptr<Session> InferenceServer::Impl::sessionOf(const httplib::Request& req) {
  if (!req.has_param("session_id")) throw Refusal(400, "missing session_id");
  std::shared_ptr<Session> session = sessions.find(req.get_param_value("session_id"));
  if (!session) throw Refusal(404, "unknown session: it was never opened, was closed or has expired");
  return session;
}

std::string InferenceServer::Impl::openSession(const httplib::Request& req) {
  requireMethod(req, "GET", "action 'new'");
  const std::optional<std::string> id = sessions.open();
  if (!id) {
    throw Refusal(503, "too many sessions: the server allows " + std::to_string(sessions.maxSessions()) +
                           " open sessions");
  }
  return sessionReplyToJson(*id);
}

std::string InferenceServer::Impl::closeSession(const httplib::Request& req) {
  requireMethod(req, "GET", "action 'delete'");
  if (!req.has_param("session_id")) throw Refusal(400, "missing session_id");
  if (!sessions.close(req.get_param_value("session_id"))) {
    throw Refusal(404, "unknown session: it was never opened, was closed or has expired");
  }
  return statusToJson(StatusMessage{true, ""});
}

std::string InferenceServer::Impl::layouts(const httplib::Request& req) {
  requireMethod(req, "GET", "action 'get_layouts'");
  const std::shared_ptr<Session> session = sessionOf(req);
  LayoutsResponse reply;
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    if (!session->engine) throw Refusal(409, "no network loaded");
    reply.input_layouts = session->engine->inputLayouts();
    reply.output_layouts = session->engine->outputLayouts();
  }
  return layoutsToJson(reply);
}

std::string InferenceServer::Impl::load(const httplib::Request& req) {
  requireMethod(req, "POST", "action 'load'");
  const std::shared_ptr<Session> session = sessionOf(req);
  NetLoadRequest request;
  readMessage([&] {
    rapidjson::Document document;
    loadRequestFromJson(request, json::parseObjectInPlace(document, requestText(req)));
  });
  checkDevice(request);
  if (!options.cacheDir.empty() && request.key.size() > kMaxKeyBytes) {
    throw Refusal(400, "key is longer than " + std::to_string(kMaxKeyBytes) + " bytes");
  }
  const std::string bytes = networkBytes(request);

  // Built without the session's lock, so a running network is not held up by the next one loading.
  std::unique_ptr<InferenceEngine> engine;
  try {
    engine = std::make_unique<InferenceEngine>(bytes, request.input_tensors, request.output_tensors);
  } catch (const std::invalid_argument& e) {
    throw Refusal(400, e.what());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw Refusal(500, std::string("cannot load network: ") + e.what());
  }
  // Only networks that load are worth keeping.
  cacheNetwork(request.key, bytes);
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    session->engine.swap(engine);
  }
  return statusToJson(StatusMessage{true, ""});  // the previous engine, if any, goes after the lock
}

std::string InferenceServer::Impl::networkBytes(const NetLoadRequest& request) const {
  const size_t length = request.net.empty() ? 0 : strnlen(request.net.data(), request.net.size());
  std::string bytes(length / 4 * 3, '\0');
  const Base64Decoded decoded = decodeBase64To(request.net.data(), length,
                                               reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
  if (!decoded.ok) throw Refusal(400, "network is not valid Base64");
  bytes.resize(decoded.size);
  if (!bytes.empty()) return bytes;
  bytes = cachedNetwork(request.key);
  if (bytes.empty()) {
    throw Refusal(400, request.key.empty() ? "empty network"
                                           : "empty network, and no network is cached under the key given");
  }
  return bytes;
}

std::string InferenceServer::Impl::cachedNetwork(const std::string& key) const {
  if (options.cacheDir.empty() || key.empty()) return {};
  std::ifstream file(std::filesystem::path(options.cacheDir) / keyFileName(key), std::ios::binary);
  if (!file) return {};
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void InferenceServer::Impl::cacheNetwork(const std::string& key, const std::string& bytes) const {
  if (options.cacheDir.empty() || key.empty()) return;
  const std::filesystem::path target = std::filesystem::path(options.cacheDir) / keyFileName(key);
  // Written aside and renamed, so a concurrent load under the same key never reads half a file.
  std::filesystem::path partial = target;
  partial += "." + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
      file.close();
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return;  // the cache only saves a later upload; the load itself succeeded
    }
  }
  std::error_code ec;
  std::filesystem::rename(partial, target, ec);
  if (ec) std::filesystem::remove(partial, ec);
}

std::string InferenceServer::Impl::infer(const httplib::Request& req) {
  requireMethod(req, "POST", "/inference");
  const std::shared_ptr<Session> session = sessionOf(req);
  InferenceRequest request;
  readMessage([&] {
    rapidjson::Document document;
    inferenceRequestFromJson(request, json::parseObjectInPlace(document, requestText(req)));
  });
  if (request.repetitions_count > kMaxRepetitions) {
    throw Refusal(400, "repetitions_count " + std::to_string(request.repetitions_count) + " is above the limit of " +
                           std::to_string(kMaxRepetitions));
  }
  InferenceResponse reply;
  double milliseconds = 0.0;
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    if (!session->engine) throw Refusal(409, "no network loaded");
    try {
      milliseconds = session->engine->runTimed(request.input_tensors, request.repetitions_count, reply.output_tensors);
    } catch (const std::invalid_argument& e) {
      throw Refusal(400, e.what());
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      const bool prefixed = std::strncmp(e.what(), kInferenceFailed, sizeof kInferenceFailed - 1) == 0;
      throw Refusal(500, prefixed ? std::string(e.what()) : kInferenceFailed + std::string(e.what()));
    }
  }
  // With 0 repetitions the network ran once for the outputs, untimed: duration 0 over a count of 0.
  reply.inference_stats.hasInfo = true;
  reply.inference_stats.duration = static_cast<float>(milliseconds);
  reply.inference_stats.repetitionsCount = request.repetitions_count;
  return inferenceResponseToJson(reply);
}

InferenceServer::InferenceServer(InferenceServerOptions options) {
  if (options.port < 0 || options.port > 65535) {
    throw std::invalid_argument("port " + std::to_string(options.port) + " is outside 0..65535");
  }
  if (options.maxSessions == 0) throw std::invalid_argument("the session limit must be at least 1");
  if (options.maxBodyBytes == 0) throw std::invalid_argument("the request body limit must be at least 1 byte");
  impl_ = std::make_unique<Impl>(std::move(options));
  impl_->installHandlers();
}

InferenceServer::~InferenceServer() { stop(); }

int InferenceServer::start() {
  Impl& impl = *impl_;
  if (impl.started) throw std::runtime_error("the server was started before");
  impl.started = true;
  if (!impl.options.cacheDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(impl.options.cacheDir, ec);
    if (ec) throw std::runtime_error("cannot create cache folder " + impl.options.cacheDir + ": " + ec.message());
  }
  const std::string& host = impl.options.host;
  int port = impl.options.port;
  if (port == 0) {
    port = impl.http.bind_to_any_port(host);
  } else if (!impl.http.bind_to_port(host, port)) {
    port = -1;
  }
  if (port <= 0) {
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(impl.options.port));
  }
  impl.boundPort = port;
  impl.serving = std::thread([&impl] {
    impl.http.listen_after_bind();
    impl.servingEnded = true;
  });
  return port;
}

void InferenceServer::stop() {
  Impl& impl = *impl_;
  if (!impl.serving.joinable()) return;
  // stop() before the accept loop has begun would be lost, and the loop would never end.
  while (!impl.http.is_running() && !impl.servingEnded) std::this_thread::yield();
  impl.http.stop();
  impl.serving.join();
}

int InferenceServer::port() const { return impl_->boundPort; }

SessionStore& InferenceServer::sessions() { return impl_->sessions; }

}  // namespace server
}  // namespace ks
