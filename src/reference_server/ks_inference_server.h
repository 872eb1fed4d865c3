// The reference inference server: the HTTP peer of ks::RemoteNetBackend. Clients open sessions, load an
// ONNX network into each and run it on the CPU.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

#include "ks_inference_service.h"

namespace ks {
namespace server {

struct InferenceServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port, chosen by the system
  size_t maxBodyBytes = size_t{256} << 20;  // larger requests are refused with 413
  InferenceServiceOptions service;
  // One line per request (method, path, action, HTTP status, milliseconds) when not null. The stream must
  // outlive the server; the server serialises its writes.
  std::ostream* log = nullptr;
};

// Every request gets a JSON reply: the operation's own message, or a status message with status false and
// a sentence saying why, under a 4xx/5xx HTTP status. No request makes the server stop.
class InferenceServer {
 public:
  // Sends nothing and binds nothing yet. Throws std::invalid_argument for a port outside 0..65535 or a
  // zero session cap or body limit.
  explicit InferenceServer(InferenceServerOptions options);
  // Stops the server when it is running.
  ~InferenceServer();

  InferenceServer(const InferenceServer&) = delete;
  InferenceServer& operator=(const InferenceServer&) = delete;

  // Creates the cache folder when one is set, binds and starts serving on a thread of its own; returns the
  // bound port. Connections are accepted as soon as this returns. Throws std::runtime_error when the folder
  // cannot be created, the address cannot be bound, or the server was started before.
  int start();

  // Stops accepting, finishes the requests being served and joins the serving thread. Does nothing when
  // the server is not running. The server cannot be started again.
  void stop();

  // The bound port; 0 before start().
  int port() const;

  InferenceService& service();

 private:
  struct Impl;  // keeps cpp-httplib, whose class layout depends on its build flags, out of this header
  std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace ks
