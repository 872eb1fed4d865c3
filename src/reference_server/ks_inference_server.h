// The reference inference server: the HTTP peer of ks::RemoteNetBackend. Clients open sessions, load an
// ONNX network into each and run it; operators get /healthz, /metrics and one log line per request.
#pragma once

#include <chrono>
#include <memory>
#include <ostream>

#include "ks_http_server.h"
#include "ks_inference_service.h"

namespace ks {
namespace server {

struct InferenceServerOptions {
  HttpServerOptions http;  // address, workers, request limits and deadlines
  InferenceServiceOptions service;
  // An inference running longer is stopped and answered with a status message; 0: no limit.
  std::chrono::seconds inferenceTimeout{300};
  // Inferences one network holds waiting for its worker, and of them one session's; past either the
  // request is refused with 503.
  size_t networkQueue = 1024;
  size_t sessionQueue = 64;
  // Proxies whose X-Forwarded-For names the client (IP addresses, separated by commas); see ClientAddresses.
  std::string trustedProxies;
  // One line per request (UTC time, client, endpoint, short session id, status, bytes, duration) when not
  // null. The stream must outlive the server; the server serialises its writes.
  std::ostream* log = nullptr;
};

// Every request gets a reply: the operation's JSON message, or a status message with status false and a
// sentence saying why, under a 4xx/5xx HTTP status. A reply that takes longer than the client's read
// timeout is started early and kept alive with whitespace, so its HTTP status is then 200 and the status
// message alone tells the outcome. No request makes the server stop.
class InferenceServer {
 public:
  // Binds nothing yet. Throws std::invalid_argument for unusable options, std::runtime_error when the
  // cache folder cannot be made or read.
  explicit InferenceServer(InferenceServerOptions options);
  // Stops the server when it is running.
  ~InferenceServer();

  InferenceServer(const InferenceServer&) = delete;
  InferenceServer& operator=(const InferenceServer&) = delete;

  // Binds and starts serving; returns the bound port. Throws std::runtime_error when the address cannot be
  // bound or the server was started before.
  int start();

  // Stops accepting, lets requests being handled finish within the stop grace, then interrupts the
  // inferences still running, and returns. The server cannot be started again.
  void stop();

  int port() const;
  InferenceService& service();
  // The text GET /metrics answers.
  std::string metricsText() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace ks
