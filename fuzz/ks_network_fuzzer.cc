// Hostile networks at the worker boundary: loads the input as an ONNX model the way the server does (into
// a worker process, which checks it and hands it to the engine within the server's memory budgets) and,
// when it loads, runs it once on inputs filled from the input's own bytes. Refusals and ended workers are
// the expected outcomes; a crash of this process (the server's side), a sanitizer report in it, or an
// exception that is not the engine's typed refusal is a finding. Inputs are mutated as ONNX models, as the
// engine fuzzer's are; this target is the one that runs the sandbox and the server's side of a worker that
// refuses, crashes or hangs, which the engine fuzzer, running the engine in its own process, never sees.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ks_engine_error.h"
#include "ks_inference_engine.h"
#include "ks_network_registry.h"
#include "ks_onnx_mutator.h"
#include "ks_run_watchdog.h"

namespace {

constexpr size_t kBudget = size_t{256} << 20;

// A network may legitimately run for as long as its inputs say (a loop's trip count): the server's time
// limit ends it, so the fuzzer's does too, well before libFuzzer's timeout.
ks::server::RunWatchdog& watchdog() {
  static ks::server::RunWatchdog* runs = new ks::server::RunWatchdog(std::chrono::seconds(5));
  return *runs;
}

ks::server::NetworkRegistry& registry() {
  static ks::server::NetworkRegistry* networks = [] {
    ks::server::EngineOptions options;
    options.workerProgram = KS_WORKER_PROGRAM;
    options.threads = 1;
    options.runsAtOnce = 1;
    options.networkMemoryBytes = kBudget;
    options.totalNetworkMemoryBytes = kBudget;
    options.inferenceMemoryBytes = kBudget;
    options.loadTimeout = std::chrono::seconds(5);
    // Every input is a network of its own: none is ever quarantined.
    options.quarantineFor = std::chrono::seconds(0);
    return new ks::server::NetworkRegistry(options);
  }();
  return *networks;
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  return ks::fuzz::mutateSerializedModel(data, size, maxSize, seed, LLVMFuzzerMutate);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    const ks::server::InferenceEngine engine(registry().load(bytes), {}, {});
    std::vector<ks::Tensor> inputs;
    size_t offset = 0;
    for (const ks::TensorLayout& layout : engine.inputLayouts()) {
      if (!layout.isValid() || layout.byteSize() > (size_t{16} << 20)) return 0;
      ks::Tensor tensor(layout);
      for (size_t i = 0; i < layout.byteSize(); ++i) tensor.data()[i] = size ? data[(offset + i) % size] : 0;
      offset += layout.byteSize();
      inputs.push_back(std::move(tensor));
    }
    std::vector<ks::Tensor> outputs;
    ks::server::RunControl control;
    const ks::server::RunWatchdog::Watch watch(watchdog(), control);
    engine.runTimed(inputs, 0, outputs, ks::server::RunLimits{kBudget, &control});
  } catch (const ks::server::EngineError&) {
  }
  return 0;
}
