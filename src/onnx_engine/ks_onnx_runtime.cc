#include "ks_onnx_runtime.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "ks_memory_budget.h"

namespace ks {
namespace server {
namespace {

std::mutex configureMutex;
unsigned configuredThreads = 0;
bool created = false;

// ONNX Runtime's view of budgetedAllocate: every tensor the engine allocates goes through it, so the
// memory budget of the loading or running thread is charged. Exceptions from Alloc travel through ONNX
// Runtime's C++ code like its own and come back to us as an error status.
struct BudgetedAllocator : OrtAllocator {
  Ort::MemoryInfo memoryInfo = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);

  BudgetedAllocator() : OrtAllocator{} {
    version = ORT_API_VERSION;
    OrtAllocator::Alloc = [](OrtAllocator*, size_t size) -> void* { return budgetedAllocate(size); };
    OrtAllocator::Free = [](OrtAllocator*, void* p) { budgetedFree(p); };
    OrtAllocator::Info = [](const OrtAllocator* self) -> const OrtMemoryInfo* {
      return static_cast<const BudgetedAllocator*>(self)->memoryInfo;
    };
    OrtAllocator::Reserve = [](OrtAllocator*, size_t size) -> void* { return budgetedAllocate(size); };
  }
};

Ort::Env makeEnv(unsigned threads) {
  Ort::ThreadingOptions threading;
  threading.SetGlobalIntraOpNumThreads(static_cast<int>(threads));
  threading.SetGlobalInterOpNumThreads(1);
  // Pool threads spin a moment for more work before they sleep, as ONNX Runtime does by default: waking
  // a sleeping thread at every parallel section costs a third of a small network's time. Runs that go on
  // while others do take the sequential copy instead (OnnxNetwork::run), so spinning does not take the
  // cores from them.
  threading.SetGlobalSpinControl(1);
  // Errors reach clients as status messages; the server's log has one line per request, not the engine's.
  return Ort::Env(threading, ORT_LOGGING_LEVEL_FATAL, "ks_inference_server");
}

}  // namespace

void OnnxRuntime::configure(unsigned intraOpThreads) {
  std::lock_guard<std::mutex> lock(configureMutex);
  if (created && intraOpThreads != 0 && intraOpThreads != configuredThreads) {
    throw std::logic_error("ONNX Runtime already runs with " + std::to_string(configuredThreads) + " threads");
  }
  if (!created && intraOpThreads != 0) configuredThreads = intraOpThreads;
}

OnnxRuntime& OnnxRuntime::instance() {
  static OnnxRuntime* runtime = [] {
    std::lock_guard<std::mutex> lock(configureMutex);
    if (configuredThreads == 0) configuredThreads = std::max(1u, std::thread::hardware_concurrency());
    created = true;
    // Never destroyed: networks may outlive main's objects, and ONNX Runtime's threads end with the process.
    return new OnnxRuntime(configuredThreads);
  }();
  return *runtime;
}

OnnxRuntime::OnnxRuntime(unsigned threads) : threads_(threads), env_(makeEnv(threads)) {
  // Microsoft's builds record usage events and store them in files of their own from a thread of
  // theirs; a sandboxed worker would be killed for it, and a server has no business sending them.
  env_.DisableTelemetryEvents();
  static BudgetedAllocator* allocator = new BudgetedAllocator();
  env_.RegisterAllocator(allocator);
}

Ort::SessionOptions OnnxRuntime::sessionOptions() const {
  Ort::SessionOptions options;
  options.DisablePerSessionThreads();
  options.SetExecutionMode(ORT_SEQUENTIAL);
  options.AddConfigEntry("session.use_env_allocators", "1");
  options.SetLogSeverityLevel(ORT_LOGGING_LEVEL_FATAL);
  return options;
}

Ort::SessionOptions OnnxRuntime::sequentialSessionOptions() const {
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(1);
  options.SetInterOpNumThreads(1);
  options.SetExecutionMode(ORT_SEQUENTIAL);
  options.AddConfigEntry("session.use_env_allocators", "1");
  options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options.SetLogSeverityLevel(ORT_LOGGING_LEVEL_FATAL);
  return options;
}

}  // namespace server
}  // namespace ks
