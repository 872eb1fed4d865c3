// One network loaded into ONNX Runtime, in a worker process. ONNX Runtime runs one network from several
// threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "ks_core/ks_tensor_layout.h"
#include "ks_memory_budget.h"

namespace ks {
namespace server {

// An input or output of a network as the engine declares it.
struct OnnxValueInfo {
  std::string name;
  // Our data type; empty when the value is not a tensor or its element type has no counterpart here.
  std::optional<TensorDataType> dataType;
  std::string typeName;       // "float32", "bool", "sequence", ... for messages
  std::vector<int64_t> dims;  // -1 for a dimension the graph leaves open; empty for a scalar
};

// Thread-safe: nothing changes after construction, and run() may be called concurrently.
class OnnxNetwork {
 public:
  // Checks `modelBytes` (checkOnnxModel), prepares them for the engine (prepareForEngine: old operator sets
  // upgraded, operators without a kernel rewritten) and loads them; the network's size and what the engine allocates
  // for it are charged to `budget`, which it keeps a reference to. With `sequentialCopy`, a second copy is
  // loaded that runs on its caller's thread alone: while other runs are going on, the threads of the shared
  // pool would only contend with them (see run()). Throws EngineError: kBadNetwork with the check's, the converter's or
  // the engine's own text, kOverBudget when loading needs more than the budget allows.
  OnnxNetwork(std::string_view modelBytes, MemoryBudgetRef budget, bool sequentialCopy = false);

  ~OnnxNetwork();
  OnnxNetwork(const OnnxNetwork&) = delete;
  OnnxNetwork& operator=(const OnnxNetwork&) = delete;

  // Every input to feed and every output, in graph order.
  const std::vector<OnnxValueInfo>& inputs() const { return inputs_; }
  const std::vector<OnnxValueInfo>& outputs() const { return outputs_; }

  // What was done to the network before loading it (see prepareForEngine); empty when it was loaded as it
  // came.
  const std::string& changes() const { return changes_; }

  // Bytes charged for this network: its weights at their size in the model, and what the engine allocated
  // for it through our allocator.
  size_t heldBytes() const { return budget_->used(); }

  // One run: the engine's Run, on the shared intra-op pool when `parallel` (or when there is no sequential
  // copy), else on the calling thread alone. Throws Ort::Exception as the engine does; the caller charges
  // memory and interprets failures.
  std::vector<Ort::Value> run(const Ort::RunOptions& options, bool parallel, const std::vector<const char*>& inputNames,
                              const std::vector<Ort::Value>& inputs, const std::vector<const char*>& outputNames) const;

 private:
  MemoryBudgetRef budget_;
  size_t weightBytes_ = 0;
  std::string changes_;
  Ort::Session session_{nullptr};
  Ort::Session sequential_{nullptr};
  std::vector<OnnxValueInfo> inputs_;
  std::vector<OnnxValueInfo> outputs_;
};

// Our data type as the engine's element type, and back; the name of an engine element type for messages.
ONNXTensorElementDataType toOnnxElementType(TensorDataType type);
std::optional<TensorDataType> fromOnnxElementType(ONNXTensorElementDataType type);
std::string onnxElementTypeName(ONNXTensorElementDataType type);

}  // namespace server
}  // namespace ks
