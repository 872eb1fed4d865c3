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

#include "ks_status_message.h"

namespace ks {
namespace server {

namespace {

const char kJson[] = "application/json";

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

// The session_id parameter, null when absent.
struct SessionParam {
  explicit SessionParam(const httplib::Request& req)
      : present(req.has_param("session_id")), value(req.get_param_value("session_id")) {}
  const std::string* get() const { return present ? &value : nullptr; }
  bool present;
  std::string value;
};

// When the request is served; set before the body is read, taken by the log line.
thread_local std::chrono::steady_clock::time_point requestStart;
thread_local bool requestStarted = false;

}  // namespace

struct InferenceServer::Impl {
  explicit Impl(InferenceServerOptions opts) : options(std::move(opts)), service(options.service) {}

  void fillErrorReply(const httplib::Request& req, httplib::Response& res) const;
  void logRequest(const httplib::Request& req, const httplib::Response& res);
  void installHandlers();

  const InferenceServerOptions options;
  InferenceService service;
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
      if (action == "new") {
        requireMethod(req, "GET", "action 'new'");
        return service.openSession();
      }
      if (action == "delete") {
        requireMethod(req, "GET", "action 'delete'");
        return service.closeSession(SessionParam(req).get());
      }
      throw unknownAction(req);
    });
  };
  const auto net = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
      const std::string action = req.get_param_value("action");
      if (action == "get_layouts") {
        requireMethod(req, "GET", "action 'get_layouts'");
        return service.layouts(SessionParam(req).get());
      }
      if (action == "load") {
        requireMethod(req, "POST", "action 'load'");
        return service.load(SessionParam(req).get(), requestText(req));
      }
      throw unknownAction(req);
    });
  };
  const auto inference = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
      requireMethod(req, "POST", "/inference");
      return service.infer(SessionParam(req).get(), requestText(req), nullptr);
    });
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

InferenceServer::InferenceServer(InferenceServerOptions options) {
  if (options.port < 0 || options.port > 65535) {
    throw std::invalid_argument("port " + std::to_string(options.port) + " is outside 0..65535");
  }
  if (options.service.maxSessions == 0) throw std::invalid_argument("the session limit must be at least 1");
  if (options.maxBodyBytes == 0) throw std::invalid_argument("the request body limit must be at least 1 byte");
  impl_ = std::make_unique<Impl>(std::move(options));
  impl_->installHandlers();
}

InferenceServer::~InferenceServer() { stop(); }

int InferenceServer::start() {
  Impl& impl = *impl_;
  if (impl.started) throw std::runtime_error("the server was started before");
  impl.started = true;
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

InferenceService& InferenceServer::service() { return impl_->service; }

}  // namespace server
}  // namespace ks
