// Hostile networks: loads the input as an ONNX model the way the server does (checked, then into the
// engine, within the server's memory budgets) and, when it loads, runs it once on inputs filled from the
// input's own bytes. Refusals are the expected outcome; a crash, a sanitizer report, or an exception that is
// not the engine's typed refusal is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ks_engine_error.h"
#include "ks_inference_engine.h"
#include "ks_network_registry.h"

namespace {

constexpr size_t kBudget = size_t{256} << 20;

ks::server::NetworkRegistry& registry() {
  static ks::server::NetworkRegistry* networks = new ks::server::NetworkRegistry(kBudget, kBudget);
  return *networks;
}

}  // namespace

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
    engine.runTimed(inputs, 0, outputs, ks::server::RunLimits{kBudget, nullptr});
  } catch (const ks::server::EngineError&) {
  }
  return 0;
}
