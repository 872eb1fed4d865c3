#include "ks_inference_engine.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "ks_core/ks_exception.h"
#include "ks_engine_error.h"

namespace ks {
namespace server {
namespace {

constexpr size_t kMaxDimensions = 4;

[[noreturn]] void badRequest(const std::string& text) { throw EngineError(EngineError::Kind::kBadRequest, text); }

// "float32 [1,3,?,?]": the declared type and dimensions, '?' where any extent is taken.
std::string describe(const ValueDescription& value) {
  std::string text = value.typeName + " [";
  for (size_t i = 0; i < value.dims.size(); ++i) {
    if (i != 0) text += ",";
    text += value.dims[i] < 0 ? std::string("?") : std::to_string(value.dims[i]);
  }
  return text + "]";
}

// "'a', 'b'", or "none" for an empty list.
std::string quotedNames(const std::vector<ValueDescription>& values) {
  if (values.empty()) return "none";
  std::string text;
  for (const ValueDescription& value : values) text += (text.empty() ? "'" : ", '") + value.name + "'";
  return text;
}

// The positions in `available` of the values `requested` names in that order, or all of them when
// `requested` is empty. `kind` is "input" or "output"; used only in messages.
std::vector<uint32_t> select(const std::vector<ValueDescription>& available, const std::vector<std::string>& requested,
                             const char* kind) {
  std::vector<uint32_t> chosen;
  if (requested.empty()) {
    for (size_t i = 0; i < available.size(); ++i) chosen.push_back(static_cast<uint32_t>(i));
    return chosen;
  }
  std::unordered_set<std::string> seen;
  for (const std::string& name : requested) {
    auto found = std::find_if(available.begin(), available.end(),
                              [&](const ValueDescription& value) { return value.name == name; });
    if (found == available.end()) {
      badRequest(std::string("The network has no ") + kind + " named '" + name + "'; its " + kind + "s are " +
                 quotedNames(available) + ".");
    }
    if (!seen.insert(name).second) {
      badRequest(std::string("The ") + kind + " '" + name + "' is requested twice; the network's " + kind + "s are " +
                 quotedNames(available) + ".");
    }
    chosen.push_back(static_cast<uint32_t>(found - available.begin()));
  }
  return chosen;
}

TensorLayout layoutOf(int32_t type, const std::vector<int64_t>& dims) {
  TensorSize size;
  for (int64_t dim : dims) size.pushBack(dim < 0 ? 1 : static_cast<int32_t>(std::min<int64_t>(dim, INT32_MAX)));
  if (size.empty()) size.pushBack(1);
  const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
  return TensorLayout(static_cast<TensorDataType>(type), format, size, TensorSize(), TensorChannelOrder::kNone);
}

// Checks that `value` can travel in a message; `kind` as for select().
void checkCarriable(const ValueDescription& value, const char* kind) {
  if (value.dataType < 0) {
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

}  // namespace

InferenceEngine::InferenceEngine(std::shared_ptr<const HostedNetwork> network,
                                 const std::vector<std::string>& inputNames,
                                 const std::vector<std::string>& outputNames)
    : network_(std::move(network)) {
  const std::vector<ValueDescription>& inputs = network_->inputs();
  const std::vector<ValueDescription>& outputs = network_->outputs();
  inputIndices_ = select(inputs, inputNames, "input");
  outputIndices_ = select(outputs, outputNames, "output");
  // The engine computes every output from all the inputs it needs; an input left out could not be fed.
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (std::find(inputIndices_.begin(), inputIndices_.end(), i) == inputIndices_.end()) {
      badRequest("The network's input '" + inputs[i].name +
                 "' is not requested; every input must be fed. The network's "
                 "inputs are " +
                 quotedNames(inputs) + ".");
    }
  }
  if (outputIndices_.empty()) badRequest("The network has no outputs.");
  for (uint32_t index : inputIndices_) {
    checkCarriable(inputs[index], "input");
    inputNames_.push_back(inputs[index].name);
    inputLayouts_.push_back(layoutOf(inputs[index].dataType, inputs[index].dims));
  }
  for (uint32_t index : outputIndices_) {
    checkCarriable(outputs[index], "output");
    outputNames_.push_back(outputs[index].name);
    outputLayouts_.push_back(layoutOf(outputs[index].dataType, outputs[index].dims));
  }
}

InferenceEngine::Run InferenceEngine::begin() const { return Run(*this, network_->lease()); }

InferenceEngine::Run InferenceEngine::begin(HostedNetwork::Lease lease) const { return Run(*this, std::move(lease)); }

unsigned char* InferenceEngine::Run::place(const TensorLayout& layout) {
  const uint64_t bytes = layout.byteSize();
  const uint64_t offset = alignedOffset(end_);
  const size_t limit = engine_->network_->maxRegionBytes();
  if (offset + bytes > limit) {
    badRequest("The inputs need more than the " + std::to_string(limit >> 20) + " MiB one inference may hold.");
  }
  if (waitForRoom_) {
    lease_.reserve(offset + bytes);
  } else {
    lease_.reserve(offset + bytes, std::chrono::milliseconds(0));
  }
  SharedMemory& region = lease_.region();
  placedLayouts_.push_back(layout);
  placedOffsets_.push_back(offset);
  end_ = offset + bytes;
  return region.data() + offset;
}

void InferenceEngine::checkInputs(const std::vector<TensorLayout>& layouts) const {
  const std::vector<ValueDescription>& declaredInputs = network_->inputs();
  if (layouts.size() != inputIndices_.size()) {
    std::string names;
    for (const std::string& name : inputNames_) names += (names.empty() ? "'" : ", '") + name + "'";
    badRequest("The network takes " + std::to_string(inputIndices_.size()) + " input tensor(s) (" + names + "), got " +
               std::to_string(layouts.size()) + ".");
  }
  for (size_t i = 0; i < layouts.size(); ++i) {
    const ValueDescription& declared = declaredInputs[inputIndices_[i]];
    const TensorLayout& got = layouts[i];
    bool matches = static_cast<int32_t>(got.dataType()) == declared.dataType;
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
  }
}

RunMessage InferenceEngine::Run::prepare(unsigned repetitions, const RunLimits& limits) const {
  const InferenceEngine& engine = *engine_;
  engine.checkInputs(placedLayouts_);
  if (limits.control != nullptr && limits.control->interrupted()) {
    throw EngineError(EngineError::Kind::kInterrupted, limits.control->reason());
  }
  const std::vector<ValueDescription>& declaredInputs = engine.network_->inputs();
  RunMessage request;
  request.repetitions = repetitions;
  request.memoryLimit = limits.memoryBytes;
  for (size_t i = 0; i < placedLayouts_.size(); ++i) {
    const ValueDescription& declared = declaredInputs[engine.inputIndices_[i]];
    const TensorLayout& got = placedLayouts_[i];
    PlacedTensor placed;
    placed.index = engine.inputIndices_[i];
    placed.dataType = static_cast<int32_t>(got.dataType());
    // A scalar travels as one dimension of 1 and goes to the engine as a scalar.
    if (!declared.dims.empty()) placed.dims.assign(got.size().begin(), got.size().end());
    placed.offset = placedOffsets_[i];
    placed.bytes = got.byteSize();
    request.inputs.push_back(std::move(placed));
  }
  request.outputs = engine.outputIndices_;
  return request;
}

double InferenceEngine::Run::accept(const RanMessage& ran) {
  SharedMemory& region = lease_.region();
  outputs_.clear();
  for (const PlacedTensor& output : ran.outputs) {
    TensorSize size;
    for (int64_t dim : output.dims) size.pushBack(static_cast<int32_t>(dim));
    const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
    outputs_.push_back(TensorView{TensorLayout(static_cast<TensorDataType>(output.dataType), format, size, TensorSize(),
                                               TensorChannelOrder::kNone),
                                  region.data() + output.offset});
  }
  return ran.milliseconds;
}

double InferenceEngine::Run::execute(unsigned repetitions, const RunLimits& limits) {
  RunMessage request = prepare(repetitions, limits);
  const RanMessage ran = lease_.run(request, limits.control, limits.owner);
  return accept(ran);
}

double InferenceEngine::runTimed(const std::vector<Tensor>& inputs, unsigned repetitions, std::vector<Tensor>& outputs,
                                 const RunLimits& limits) const {
  std::vector<TensorLayout> layouts;
  layouts.reserve(inputs.size());
  for (const Tensor& input : inputs) layouts.push_back(input.layout());
  checkInputs(layouts);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const size_t held = inputs[i].buffer() ? inputs[i].buffer()->size() : 0;
    if (held < layouts[i].byteSize()) {
      badRequest("Input '" + inputNames_[i] + "' holds " + std::to_string(held) + " bytes; its layout needs " +
                 std::to_string(layouts[i].byteSize()) + ".");
    }
  }
  if (limits.control != nullptr && limits.control->interrupted()) {
    throw EngineError(EngineError::Kind::kInterrupted, limits.control->reason());
  }
  Run run = begin();
  for (size_t i = 0; i < inputs.size(); ++i) {
    unsigned char* room = run.place(layouts[i]);
    if (layouts[i].byteSize() != 0) std::memcpy(room, inputs[i].data(), layouts[i].byteSize());
  }
  const double milliseconds = run.execute(repetitions, limits);
  std::vector<Tensor> results;
  for (const TensorView& view : run.outputs()) {
    Tensor tensor(view.layout);
    if (view.layout.byteSize() != 0) std::memcpy(tensor.data(), view.data, view.layout.byteSize());
    results.push_back(std::move(tensor));
  }
  outputs = std::move(results);
  return milliseconds;
}

}  // namespace server
}  // namespace ks
