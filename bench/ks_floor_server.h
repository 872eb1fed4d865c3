// The floor of the load benchmark: a bare cpp-httplib server that answers every inference with one fixed
// reply and does no other work, so that what it costs per request is the HTTP library's and the kernel's.
#pragma once

#include <memory>
#include <string>

namespace ks {
namespace bench {

class FloorServer {
 public:
  // The settings, in words, for the report: cpp-httplib's defaults except TCP_NODELAY.
  static const char kSettings[];

  // Starts serving on 127.0.0.1, on a port of the system's choosing, on threads of its own: POST /inference
  // answers `inferenceReply` (status 200, application/json), GET /session a fixed session id, POST /net a
  // successful status. Throws std::runtime_error when no port can be bound.
  explicit FloorServer(std::string inferenceReply);
  // Stops accepting, finishes the requests in flight and joins the threads.
  ~FloorServer();
  FloorServer(const FloorServer&) = delete;
  FloorServer& operator=(const FloorServer&) = delete;

  int port() const;

 private:
  struct Impl;  // keeps cpp-httplib, whose class layout depends on its build flags, out of this header
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench
}  // namespace ks
