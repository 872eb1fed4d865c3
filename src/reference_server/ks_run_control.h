// A handle on the inferences of one request, so another thread can stop them: the server's watchdog when
// a request runs past its time, or the server when it stops.
#pragma once

#include <mutex>
#include <string>

#include <onnxruntime_cxx_api.h>

namespace ks {
namespace server {

class RunControl {
 public:
  RunControl() = default;
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Stops the run in progress and every later run under this control; they fail with EngineError
  // kInterrupted and `reason` as text. Thread-safe; the first reason stays.
  void interrupt(const std::string& reason);
  bool interrupted() const;
  std::string reason() const;

  // For the engine: the options its runs go with.
  const Ort::RunOptions& runOptions() const { return options_; }

 private:
  mutable std::mutex mutex_;
  std::string reason_;
  bool interrupted_ = false;
  Ort::RunOptions options_;
};

}  // namespace server
}  // namespace ks
