#include "ks_inference_run.h"

#include <new>
#include <utility>

#include "ks_status_message.h"

namespace ks {
namespace server {

HttpResponse refusalResponse(std::exception_ptr error) {
  HttpResponse response;
  try {
    std::rethrow_exception(std::move(error));
  } catch (const Refusal& e) {
    response.status = e.httpStatus();
    response.body = statusToJson(StatusMessage{false, e.what()});
    response.closeConnection = e.unframed();
  } catch (const std::bad_alloc&) {
    response.status = 503;
    response.body = statusToJson(StatusMessage{false, "out of memory"});
  } catch (const std::exception& e) {
    response.status = 500;
    response.body = statusToJson(StatusMessage{false, std::string("internal error: ") + e.what()});
  }
  return response;
}

uint32_t InferenceRun::place(InferenceEngine::Run& run) {
  placed_ = std::chrono::steady_clock::now();
  return service_.place(&body_[0], run);
}

void InferenceRun::recordEngineTime() {
  if (placed_ == std::chrono::steady_clock::time_point{}) return;  // it never reached the engine
  metrics_.recordEngineTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - placed_).count());
}

void InferenceRun::succeeded(InferenceEngine::Run& run, double milliseconds, uint32_t repetitions) {
  recordEngineTime();
  std::string().swap(body_);
  HttpResponse response;
  try {
    response.body = InferenceService::answer(run, milliseconds, repetitions);
  } catch (...) {
    response = refusalResponse(std::current_exception());
  }
  reply_.send(std::move(response));
}

void InferenceRun::failed(std::exception_ptr error) {
  recordEngineTime();
  std::string().swap(body_);
  std::string note;
  HttpResponse response;
  try {
    response = refusalResponse(std::make_exception_ptr(service_.refusal(error, sessionId_, clientAddress_, &note)));
  } catch (...) {
    response = refusalResponse(std::current_exception());
  }
  response.logNote = std::move(note);
  reply_.send(std::move(response));
}

}  // namespace server
}  // namespace ks
