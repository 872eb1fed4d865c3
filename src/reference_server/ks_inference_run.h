// One inference request on its way through the run scheduler: its body waits with it, its tensors are
// read into the worker's memory when it gets a channel, and its reply goes out through the HTTP layer
// when the run ends, whichever way.
#pragma once

#include <chrono>
#include <exception>
#include <string>

#include "ks_http_server.h"
#include "ks_inference_service.h"
#include "ks_run_scheduler.h"
#include "ks_server_metrics.h"

namespace ks {
namespace server {

class InferenceRun : public RunJob {
 public:
  InferenceRun(InferenceService& service, ServerMetrics& metrics, HttpRequest& request, HttpReply reply)
      : service_(service),
        metrics_(metrics),
        sessionId_(*request.param("session_id")),
        clientAddress_(request.clientAddress),
        body_(std::move(request.body)),
        reply_(std::move(reply)) {}

  size_t placeBytes() const override { return body_.size(); }
  uint32_t place(InferenceEngine::Run& run) override;
  void succeeded(InferenceEngine::Run& run, double milliseconds, uint32_t repetitions) override;
  void failed(std::exception_ptr error) override;

 private:
  void recordEngineTime();

  InferenceService& service_;
  ServerMetrics& metrics_;
  const std::string sessionId_;
  const std::string clientAddress_;
  std::string body_;  // parsed in place
  HttpReply reply_;
  std::chrono::steady_clock::time_point placed_{};
};

// The reply of a request that failed with `error` (a Refusal, std::bad_alloc or another exception).
HttpResponse refusalResponse(std::exception_ptr error);

}  // namespace server
}  // namespace ks
