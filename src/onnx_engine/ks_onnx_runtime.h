// The worker process's one ONNX Runtime environment: one pool of intra-op threads, created with it (so
// before the sandbox forbids new threads), and an allocator that charges memory budgets.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace ks {
namespace server {

class OnnxRuntime {
 public:
  // Sets the number of threads one inference may use (intra-op; the calling thread is one of them), shared
  // by all networks. Must be called before the first instance(); 0 keeps the default, the number of
  // processors. Throws std::logic_error once the environment exists with another count.
  static void configure(unsigned intraOpThreads);

  // Creates the environment on first use. Throws Ort::Exception when ONNX Runtime cannot start.
  static OnnxRuntime& instance();

  Ort::Env& env() { return env_; }
  unsigned intraOpThreads() const { return threads_; }

  // Session options every network is loaded with: the shared threads, the budgeted allocator, quiet logs.
  Ort::SessionOptions sessionOptions() const;
  // The same for a copy that runs on its caller's thread alone: a per-session pool of one thread, which
  // ONNX Runtime makes without starting a thread.
  Ort::SessionOptions sequentialSessionOptions() const;

 private:
  explicit OnnxRuntime(unsigned threads);

  unsigned threads_;
  Ort::Env env_;
};

}  // namespace server
}  // namespace ks
