#include "ks_inference_engine.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>

#include "ks_core/ks_exception.h"
#include "ks_engine_error.h"
#include "ks_memory_budget.h"

namespace ks {
namespace server {
namespace {

constexpr size_t kMaxDimensions = 4;

[[noreturn]] void badRequest(const std::string& text) { throw EngineError(EngineError::Kind::kBadRequest, text); }

// "float32 [1,3,?,?]": the declared type and dimensions, '?' where any extent is taken.
std::string describe(const OnnxValueInfo& value) {
  std::string text = value.typeName + " [";
  for (size_t i = 0; i < value.dims.size(); ++i) {
    if (i != 0) text += ",";
    text += value.dims[i] < 0 ? std::string("?") : std::to_string(value.dims[i]);
  }
  return text + "]";
}

// "'a', 'b'", or "none" for an empty list.
std::string quotedNames(const std::vector<OnnxValueInfo>& values) {
  if (values.empty()) return "none";
  std::string text;
  for (const OnnxValueInfo& value : values) text += (text.empty() ? "'" : ", '") + value.name + "'";
  return text;
}

// The values of `available` named by `requested` in that order, or all of them when `requested` is empty.
// `kind` is "input" or "output"; used only in messages.
std::vector<const OnnxValueInfo*> select(const std::vector<OnnxValueInfo>& available,
                                         const std::vector<std::string>& requested, const char* kind) {
  std::vector<const OnnxValueInfo*> chosen;
  if (requested.empty()) {
    for (const OnnxValueInfo& value : available) chosen.push_back(&value);
    return chosen;
  }
  std::unordered_set<std::string> seen;
  for (const std::string& name : requested) {
    auto found = std::find_if(available.begin(), available.end(),
                              [&](const OnnxValueInfo& value) { return value.name == name; });
    if (found == available.end()) {
      badRequest(std::string("The network has no ") + kind + " named '" + name + "'; its " + kind + "s are " +
                 quotedNames(available) + ".");
    }
    if (!seen.insert(name).second) {
      badRequest(std::string("The ") + kind + " '" + name + "' is requested twice; the network's " + kind + "s are " +
                 quotedNames(available) + ".");
    }
    chosen.push_back(&*found);
  }
  return chosen;
}

TensorLayout layoutOf(TensorDataType type, const std::vector<int64_t>& dims) {
  TensorSize size;
  for (int64_t dim : dims) size.pushBack(dim < 0 ? 1 : static_cast<int32_t>(std::min<int64_t>(dim, INT32_MAX)));
  if (size.empty()) size.pushBack(1);
  const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
  return TensorLayout(type, format, size, TensorSize(), TensorChannelOrder::kNone);
}

// Checks that `value` can travel in a message; `kind` as for select().
void checkCarriable(const OnnxValueInfo& value, const char* kind) {
  if (!value.dataType) {
    badRequest(std::string("The ") + kind + " '" + value.name + "' is a " + value.typeName +
               "; only tensors of float32, float16, int32, int16, int8, uint8 and int64 can be sent.");
  }
  if (value.dims.size() > kMaxDimensions) {
    badRequest(std::string("The ") + kind + " '" + value.name + "' has " + std::to_string(value.dims.size()) +
               " dimensions; at most 4 can be sent.");
  }
  for (int64_t dim : value.dims) {
    if (dim > INT32_MAX) {
      badRequest(std::string("The ") + kind + " '" + value.name + "' has a dimension of " + std::to_string(dim) +
                 ", beyond what a layout holds.");
    }
  }
}

// The engine's result as a tensor of ours; `name` is the output's, for messages.
Tensor toTensor(const Ort::Value& value, const std::string& name) {
  if (!value.IsTensor()) {
    badRequest("The output '" + name + "' is not a tensor and cannot be sent.");
  }
  const auto info = value.GetTensorTypeAndShapeInfo();
  const std::optional<TensorDataType> type = fromOnnxElementType(info.GetElementType());
  if (!type) {
    badRequest("The output '" + name + "' is " + onnxElementTypeName(info.GetElementType()) +
               ", which cannot be sent.");
  }
  const std::vector<int64_t> dims = info.GetShape();
  if (dims.size() > kMaxDimensions) {
    badRequest("The output '" + name + "' came out with " + std::to_string(dims.size()) +
               " dimensions; at most 4 can be sent.");
  }
  TensorSize size;
  for (int64_t dim : dims) {
    if (dim < 0 || dim > INT32_MAX) {
      badRequest("The output '" + name + "' came out with a dimension of " + std::to_string(dim) +
                 ", beyond what a layout holds.");
    }
    size.pushBack(static_cast<int32_t>(dim));
  }
  if (size.empty()) size.pushBack(1);
  const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
  const TensorLayout layout(*type, format, size, TensorSize(), TensorChannelOrder::kNone);
  Tensor tensor;
  try {
    tensor.reuse(layout, DeviceContext());
  } catch (const Exception& e) {
    badRequest("The output '" + name + "' cannot be held: " + e.message());
  }
  if (layout.byteSize() != 0) std::memcpy(tensor.data(), value.GetTensorRawData(), layout.byteSize());
  return tensor;
}

}  // namespace

InferenceEngine::InferenceEngine(std::shared_ptr<const OnnxNetwork> network, const std::vector<std::string>& inputNames,
                                 const std::vector<std::string>& outputNames)
    : network_(std::move(network)) {
  inputs_ = select(network_->inputs(), inputNames, "input");
  outputs_ = select(network_->outputs(), outputNames, "output");
  // The engine computes every output from all the inputs it needs; an input left out could not be fed.
  for (const OnnxValueInfo& value : network_->inputs()) {
    if (std::find(inputs_.begin(), inputs_.end(), &value) == inputs_.end()) {
      badRequest("The network's input '" + value.name +
                 "' is not requested; every input must be fed. The network's "
                 "inputs are " +
                 quotedNames(network_->inputs()) + ".");
    }
  }
  if (outputs_.empty()) badRequest("The network has no outputs.");
  for (const OnnxValueInfo* value : inputs_) {
    checkCarriable(*value, "input");
    inputNames_.push_back(value->name);
    inputLayouts_.push_back(layoutOf(*value->dataType, value->dims));
  }
  for (const OnnxValueInfo* value : outputs_) {
    checkCarriable(*value, "output");
    outputNames_.push_back(value->name);
    outputLayouts_.push_back(layoutOf(*value->dataType, value->dims));
  }
  for (const std::string& name : inputNames_) inputNamePointers_.push_back(name.c_str());
  for (const std::string& name : outputNames_) outputNamePointers_.push_back(name.c_str());
}

std::vector<Tensor> InferenceEngine::runOnce(const std::vector<Tensor>& inputs, const RunLimits& limits,
                                             const RunControl& control) const {
  static const Ort::MemoryInfo kCallerMemory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> fed;
  fed.reserve(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const TensorLayout& layout = inputs[i].layout();
    std::vector<int64_t> shape(layout.size().begin(), layout.size().end());
    if (inputs_[i]->dims.empty()) shape.clear();  // a scalar travels as one dimension of 1
    // A view of the caller's bytes: the engine reads inputs and never writes them. An empty tensor still
    // needs an address.
    static unsigned char noBytes[8];
    void* data = layout.byteSize() != 0 ? const_cast<unsigned char*>(inputs[i].data()) : noBytes;
    fed.push_back(Ort::Value::CreateTensor(kCallerMemory, data, layout.byteSize(), shape.data(), shape.size(),
                                           toOnnxElementType(layout.dataType())));
  }

  MemoryBudgetRef budget(MemoryBudget::create("inference", limits.memoryBytes));
  std::vector<Ort::Value> results;
  try {
    MemoryBudgetScope charged(budget.get());
    results = network_->run(control.runOptions(), inputNamePointers_, fed, outputNamePointers_);
  } catch (const Ort::Exception& e) {
    if (control.interrupted()) throw EngineError(EngineError::Kind::kInterrupted, control.reason());
    if (budget->exceeded()) {
      throw EngineError(EngineError::Kind::kOverBudget, "the inference needs more than the " +
                                                            std::to_string(limits.memoryBytes >> 20) +
                                                            " MiB of memory one inference may use");
    }
    throw EngineError(EngineError::Kind::kRunFailed, e.what());
  } catch (const std::bad_alloc&) {
    throw EngineError(EngineError::Kind::kOverBudget, "the inference needs more memory than the server has");
  }
  std::vector<Tensor> outputs;
  outputs.reserve(results.size());
  for (size_t i = 0; i < results.size(); ++i) outputs.push_back(toTensor(results[i], outputNames_[i]));
  return outputs;
}

double InferenceEngine::runTimed(const std::vector<Tensor>& inputs, unsigned repetitions, std::vector<Tensor>& outputs,
                                 const RunLimits& limits) const {
  if (inputs.size() != inputs_.size()) {
    std::string names;
    for (const std::string& name : inputNames_) names += (names.empty() ? "'" : ", '") + name + "'";
    badRequest("The network takes " + std::to_string(inputs_.size()) + " input tensor(s) (" + names + "), got " +
               std::to_string(inputs.size()) + ".");
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    const OnnxValueInfo& declared = *inputs_[i];
    const TensorLayout& got = inputs[i].layout();
    bool matches = got.dataType() == *declared.dataType;
    if (declared.dims.empty()) {
      matches = matches && got.size().size() == 1 && got.size()[0] == 1;
    } else {
      matches = matches && got.size().size() == declared.dims.size();
      for (size_t d = 0; matches && d < declared.dims.size(); ++d) {
        matches = declared.dims[d] < 0 || declared.dims[d] == got.size()[static_cast<uint32_t>(d)];
      }
    }
    if (!matches) {
      badRequest("Input '" + inputNames_[i] + "' should be " + describe(declared) + ", got " + layoutText(got) + ".");
    }
    if (!got.isValid()) badRequest("Input '" + inputNames_[i] + "' has no usable byte size.");
    const size_t held = inputs[i].buffer() ? inputs[i].buffer()->size() : 0;
    if (held < got.byteSize()) {
      badRequest("Input '" + inputNames_[i] + "' holds " + std::to_string(held) + " bytes; its layout needs " +
                 std::to_string(got.byteSize()) + ".");
    }
  }

  RunControl ownControl;
  const RunControl& control = limits.control != nullptr ? *limits.control : ownControl;
  if (control.interrupted()) throw EngineError(EngineError::Kind::kInterrupted, control.reason());
  if (repetitions == 0) {
    outputs = runOnce(inputs, limits, control);
    return 0.0;
  }
  std::vector<Tensor> last;
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < repetitions; ++i) last = runOnce(inputs, limits, control);
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  outputs = std::move(last);
  return elapsed.count() / repetitions;
}

}  // namespace server
}  // namespace ks
