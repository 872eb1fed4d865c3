#include "ks_placed_run.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ks_core/ks_tensor_layout.h"
#include "ks_engine_error.h"
#include "ks_memory_budget.h"

namespace ks {
namespace server {
namespace {

constexpr size_t kMaxDimensions = 4;
[[noreturn]] void badRequest(const std::string& text) { throw EngineError(EngineError::Kind::kBadRequest, text); }

// The engine's views of the inputs where they lie in `region`.
std::vector<Ort::Value> inputValues(const OnnxNetwork& network, const RunMessage& request, SharedMemory& region,
                                    std::vector<const char*>& names) {
  static const Ort::MemoryInfo kCallerMemory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
  // An empty tensor still needs an address.
  static unsigned char noBytes[kPlacementAlignment];
  std::vector<Ort::Value> values;
  values.reserve(request.inputs.size());
  for (const PlacedTensor& input : request.inputs) {
    if (input.index >= network.inputs().size()) badRequest("The run names an input the network does not have.");
    const OnnxValueInfo& declared = network.inputs()[input.index];
    if (!declared.dataType || static_cast<int32_t>(*declared.dataType) != input.dataType ||
        !liesWithin(input, region.size())) {
      badRequest("The input '" + declared.name + "' does not lie where the run says.");
    }
    names.push_back(declared.name.c_str());
    void* data = input.bytes != 0 ? region.data() + input.offset : noBytes;
    values.push_back(Ort::Value::CreateTensor(kCallerMemory, data, input.bytes, input.dims.data(), input.dims.size(),
                                              toOnnxElementType(static_cast<TensorDataType>(input.dataType))));
  }
  return values;
}

// Where `value`, the output `name`, goes: its type and dimensions as the protocol carries them.
PlacedTensor describeOutput(const Ort::Value& value, const std::string& name) {
  if (!value.IsTensor()) badRequest("The output '" + name + "' is not a tensor and cannot be sent.");
  const auto info = value.GetTensorTypeAndShapeInfo();
  const std::optional<TensorDataType> type = fromOnnxElementType(info.GetElementType());
  if (!type) {
    badRequest("The output '" + name + "' is " + onnxElementTypeName(info.GetElementType()) +
               ", which cannot be sent.");
  }
  PlacedTensor placed;
  placed.dataType = static_cast<int32_t>(*type);
  placed.dims = info.GetShape();
  if (placed.dims.size() > kMaxDimensions) {
    badRequest("The output '" + name + "' came out with " + std::to_string(placed.dims.size()) +
               " dimensions; at most 4 can be sent.");
  }
  for (int64_t dim : placed.dims) {
    if (dim < 0 || dim > INT32_MAX) {
      badRequest("The output '" + name + "' came out with a dimension of " + std::to_string(dim) +
                 ", beyond what a layout holds.");
    }
  }
  // A scalar travels as one dimension of 1.
  if (placed.dims.empty()) placed.dims.push_back(1);
  if (!placedByteCount(placed.dataType, placed.dims, placed.bytes) || placed.bytes > UINT32_MAX) {
    badRequest("The output '" + name + "' is larger than a layout holds.");
  }
  return placed;
}

std::vector<Ort::Value> runOnce(const OnnxNetwork& network, const RunMessage& request,
                                const std::vector<const char*>& inputNames, const std::vector<Ort::Value>& inputs,
                                const std::vector<const char*>& outputNames, const Ort::RunOptions& options,
                                const std::atomic<bool>& terminated) {
  MemoryBudgetRef budget(MemoryBudget::create("inference", request.memoryLimit));
  try {
    MemoryBudgetScope charged(budget.get());
    return network.run(options, request.parallel, inputNames, inputs, outputNames);
  } catch (const Ort::Exception& e) {
    if (terminated.load()) throw EngineError(EngineError::Kind::kInterrupted, "the run was stopped");
    if (budget->exceeded()) {
      throw EngineError(EngineError::Kind::kOverBudget, "the inference needs more than the " +
                                                            std::to_string(request.memoryLimit >> 20) +
                                                            " MiB of memory one inference may use");
    }
    throw EngineError(EngineError::Kind::kRunFailed, e.what());
  } catch (const std::bad_alloc&) {
    throw EngineError(EngineError::Kind::kOverBudget, "the inference needs more memory than the server has");
  }
}

}  // namespace

RanMessage runPlaced(const OnnxNetwork& network, const RunMessage& request, SharedMemory& region, size_t maxRegionBytes,
                     const Ort::RunOptions& options, const std::atomic<bool>& terminated) {
  if (request.inputs.size() != network.inputs().size()) badRequest("The run does not feed every input.");
  std::vector<const char*> inputNames;
  const std::vector<Ort::Value> inputs = inputValues(network, request, region, inputNames);
  std::vector<const char*> outputNames;
  for (uint32_t index : request.outputs) {
    if (index >= network.outputs().size()) badRequest("The run names an output the network does not have.");
    outputNames.push_back(network.outputs()[index].name.c_str());
  }
  if (outputNames.empty()) badRequest("The run asks for no output.");

  if (terminated.load()) throw EngineError(EngineError::Kind::kInterrupted, "the run was stopped");
  std::vector<Ort::Value> results;
  RanMessage reply;
  reply.sequence = request.sequence;
  if (request.repetitions == 0) {
    results = runOnce(network, request, inputNames, inputs, outputNames, options, terminated);
  } else {
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < request.repetitions; ++i) {
      if (terminated.load()) throw EngineError(EngineError::Kind::kInterrupted, "the run was stopped");
      results = runOnce(network, request, inputNames, inputs, outputNames, options, terminated);
    }
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    reply.milliseconds = elapsed.count() / request.repetitions;
  }

  // The outputs go after the inputs, each aligned, growing the region if they need more room.
  uint64_t end = 0;
  for (const PlacedTensor& input : request.inputs) end = std::max(end, input.offset + input.bytes);
  for (size_t i = 0; i < results.size(); ++i) {
    PlacedTensor placed = describeOutput(results[i], outputNames[i]);
    placed.index = static_cast<uint32_t>(i);
    placed.offset = alignedOffset(end);
    end = placed.offset + placed.bytes;
    reply.outputs.push_back(std::move(placed));
  }
  if (end > maxRegionBytes) {
    throw EngineError(
        EngineError::Kind::kOverBudget,
        "the outputs need more than the " + std::to_string(maxRegionBytes >> 20) + " MiB a reply may hold");
  }
  // An output may be an input itself, where it lies in the region (ONNX Runtime hands a graph input that is
  // also an output back as it came): growing the region maps it anew, which leaves such an output pointing
  // at the old mapping. Those outputs are copied out before the region grows.
  std::vector<std::string> held(results.size());
  const unsigned char* const mapped = region.data();
  for (size_t i = 0; i < results.size(); ++i) {
    const auto* data = static_cast<const unsigned char*>(results[i].GetTensorRawData());
    const uint64_t bytes = reply.outputs[i].bytes;
    if (bytes != 0 && mapped != nullptr && data < mapped + region.size() && mapped < data + bytes) {
      held[i].assign(reinterpret_cast<const char*>(data), bytes);
    }
  }
  if (end > region.size()) region.reserve(end);
  for (size_t i = 0; i < results.size(); ++i) {
    const PlacedTensor& placed = reply.outputs[i];
    if (placed.bytes == 0) continue;
    const void* data = held[i].empty() ? results[i].GetTensorRawData() : held[i].data();
    std::memcpy(region.data() + placed.offset, data, placed.bytes);
  }
  return reply;
}

}  // namespace server
}  // namespace ks
