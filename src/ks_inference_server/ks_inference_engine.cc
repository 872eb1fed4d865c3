// Runs an ONNX network with OpenCV's DNN module on the CPU.
#include "ks_inference_engine.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "ks_core/ks_exception.h"
#include "ks_onnx_graph.h"

namespace ks {
namespace server {
namespace {

std::string dataTypeName(TensorDataType type) {
  switch (type) {
    case TensorDataType::kFloat32: return "float32";
    case TensorDataType::kFloat16: return "float16";
    case TensorDataType::kInt32: return "int32";
    case TensorDataType::kInt16: return "int16";
    case TensorDataType::kInt8: return "int8";
    case TensorDataType::kUInt8: return "uint8";
    case TensorDataType::kInt64: return "int64";
  }
  return "type " + std::to_string(static_cast<int32_t>(type));
}

// "float32 [1,3,8,8]"
std::string describeLayout(const TensorLayout& layout) {
  std::string text = dataTypeName(layout.dataType()) + " [";
  for (uint32_t i = 0; i < layout.size().size(); ++i) {
    if (i != 0) text += ",";
    text += std::to_string(layout.size()[i]);
  }
  return text + "]";
}

// "'a', 'b'", or "none" for an empty list.
std::string quotedList(const std::vector<OnnxValue>& values) {
  if (values.empty()) return "none";
  std::string text;
  for (const OnnxValue& value : values) {
    if (!text.empty()) text += ", ";
    text += "'" + value.name + "'";
  }
  return text;
}

// OpenCV's description of `e` on one line. err is its own text (what() adds version, file and line); the
// ONNX importer nests messages as "> ..." lines.
std::string openCvMessage(const cv::Exception& e) {
  const std::string raw = e.err.empty() ? std::string(e.what()) : e.err;
  std::string text;
  for (size_t start = 0; start < raw.size();) {
    size_t end = raw.find('\n', start);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(start, end - start);
    start = end + 1;
    if (line.rfind("> ", 0) == 0) line.erase(0, 2);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty()) continue;
    if (!text.empty()) text += ' ';
    text += line;
  }
  return text.empty() ? "OpenCV gave no reason" : text;
}

// The values of `available` named by `requested` in that order, or all of them when `requested` is empty.
// `kind` is "input" or "output"; used only in messages. Throws std::invalid_argument for an unknown or
// repeated name.
std::vector<OnnxValue> select(const std::vector<OnnxValue>& available, const std::vector<std::string>& requested,
                              const char* kind) {
  if (requested.empty()) return available;
  std::vector<OnnxValue> chosen;
  std::unordered_set<std::string> seen;
  for (const std::string& name : requested) {
    auto found = std::find_if(available.begin(), available.end(),
                              [&](const OnnxValue& value) { return value.name == name; });
    if (found == available.end()) {
      throw std::invalid_argument(std::string("The network has no ") + kind + " named '" + name + "'; its " +
                                  kind + "s are " + quotedList(available) + ".");
    }
    if (!seen.insert(name).second) {
      throw std::invalid_argument(std::string("The ") + kind + " '" + name + "' is requested twice; the network's " +
                                  kind + "s are " + quotedList(available) + ".");
    }
    chosen.push_back(*found);
  }
  return chosen;
}

// Copies OpenCV's result into a tensor of `declared`'s data type. The dimensions are OpenCV's, except that
// when OpenCV changed the rank (it has no 1-D or 0-D blobs) but kept the element count, the declared ones
// describe the same bytes better.
Tensor toTensor(const cv::Mat& result, const TensorLayout& declared, const std::string& name) {
  if (result.depth() != CV_32F || result.channels() != 1) {
    throw std::runtime_error("inference failed: output '" + name + "' is not a float32 tensor.");
  }
  int64_t declaredCount = 1;
  for (int32_t extent : declared.size()) declaredCount *= extent;

  TensorSize size;
  if (result.dims != static_cast<int>(declared.size().size()) &&
      static_cast<int64_t>(result.total()) == declaredCount) {
    size = declared.size();
  } else if (result.dims > 4) {
    throw std::runtime_error("inference failed: output '" + name + "' has " + std::to_string(result.dims) +
                             " dimensions, more than 4.");
  } else {
    for (int i = 0; i < result.dims; ++i) size.pushBack(result.size[i]);
  }
  const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
  const TensorLayout layout(declared.dataType(), format, size, TensorSize(), TensorChannelOrder::kNone);

  Tensor tensor;
  try {
    tensor.reuse(layout, DeviceContext());
  } catch (const Exception& e) {
    throw std::runtime_error("inference failed: output '" + name + "' cannot be held: " + e.message());
  }
  if (layout.byteSize() != 0) {
    const cv::Mat continuous = result.isContinuous() ? result : result.clone();
    std::memcpy(tensor.data(), continuous.data, layout.byteSize());
  }
  return tensor;
}

}  // namespace

struct InferenceEngine::Impl {
  cv::dnn::Net net;
  std::vector<std::string> inputNames;
  std::vector<std::string> outputNames;
  std::vector<TensorLayout> inputLayouts;
  std::vector<TensorLayout> outputLayouts;

  // Throws std::invalid_argument unless `inputs` match the declared inputs.
  void checkInputs(const std::vector<Tensor>& inputs) const {
    if (inputs.size() != inputLayouts.size()) {
      std::string names;
      for (const std::string& name : inputNames) names += (names.empty() ? "'" : ", '") + name + "'";
      throw std::invalid_argument("The network takes " + std::to_string(inputLayouts.size()) + " input tensor(s) (" +
                                  names + "), got " + std::to_string(inputs.size()) + ".");
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
      const TensorLayout& expected = inputLayouts[i];
      const TensorLayout& got = inputs[i].layout();
      if (got.dataType() != expected.dataType() || got.size() != expected.size()) {
        throw std::invalid_argument("Input '" + inputNames[i] + "' should be " + describeLayout(expected) +
                                    ", got " + describeLayout(got) + ".");
      }
      const size_t held = inputs[i].buffer() ? inputs[i].buffer()->size() : 0;
      if (held < expected.byteSize()) {
        throw std::invalid_argument("Input '" + inputNames[i] + "' holds " + std::to_string(held) +
                                    " bytes; its layout needs " + std::to_string(expected.byteSize()) + ".");
      }
    }
  }

  // One run on inputs that passed checkInputs().
  std::vector<Tensor> runChecked(const std::vector<Tensor>& inputs) {
    std::vector<cv::Mat> results;
    try {
      for (size_t i = 0; i < inputs.size(); ++i) {
        const TensorSize& size = inputLayouts[i].size();
        // A header over the caller's bytes: setInput copies them into the network, nothing writes to them.
        const cv::Mat blob(static_cast<int>(size.size()), size.begin(), CV_32F,
                           const_cast<unsigned char*>(inputs[i].data()));
        net.setInput(blob, inputNames[i]);
      }
      net.forward(results, std::vector<cv::String>(outputNames.begin(), outputNames.end()));
    } catch (const cv::Exception& e) {
      throw std::runtime_error("inference failed: " + openCvMessage(e));
    }
    if (results.size() != outputNames.size()) {
      throw std::runtime_error("inference failed: OpenCV returned " + std::to_string(results.size()) +
                               " outputs for " + std::to_string(outputNames.size()) + " requested.");
    }
    std::vector<Tensor> outputs;
    outputs.reserve(results.size());
    for (size_t i = 0; i < results.size(); ++i) {
      outputs.push_back(toTensor(results[i], outputLayouts[i], outputNames[i]));
    }
    return outputs;
  }
};

InferenceEngine::InferenceEngine(const std::string& onnxModel, const std::vector<std::string>& inputNames,
                                 const std::vector<std::string>& outputNames)
    : impl_(std::make_unique<Impl>()) {
  const OnnxGraph graph = parse_onnx_graph(onnxModel);
  const std::vector<OnnxValue> inputs = select(graph.inputs, inputNames, "input");
  const std::vector<OnnxValue> outputs = select(graph.outputs, outputNames, "output");

  // OpenCV runs the whole graph, so an input left out would be read uninitialised.
  for (const OnnxValue& value : graph.inputs) {
    auto same = [&](const OnnxValue& chosen) { return chosen.name == value.name; };
    if (std::find_if(inputs.begin(), inputs.end(), same) == inputs.end()) {
      throw std::invalid_argument("The network's input '" + value.name +
                                  "' is not requested; every input must be fed. The network's inputs are " +
                                  quotedList(graph.inputs) + ".");
    }
  }
  for (const auto* list : {&inputs, &outputs}) {
    const char* kind = list == &inputs ? "input" : "output";
    for (const OnnxValue& value : *list) {
      if (value.layout.dataType() != TensorDataType::kFloat32) {
        throw std::invalid_argument(std::string("The ") + kind + " '" + value.name + "' has element type " +
                                    dataTypeName(value.layout.dataType()) +
                                    "; only float32 inputs and outputs can be run.");
      }
    }
  }

  try {
    impl_->net = cv::dnn::readNetFromONNX(onnxModel.data(), onnxModel.size());
    if (impl_->net.empty()) throw std::invalid_argument("cannot load network: it has no layers.");
    impl_->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    impl_->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    for (const OnnxValue& value : outputs) {
      if (impl_->net.getLayerId(value.name) < 0) {
        throw std::invalid_argument("cannot load network: OpenCV has no layer producing output '" + value.name +
                                    "'.");
      }
    }
  } catch (const cv::Exception& e) {
    throw std::invalid_argument("cannot load network: " + openCvMessage(e));
  }

  for (const OnnxValue& value : inputs) {
    impl_->inputNames.push_back(value.name);
    impl_->inputLayouts.push_back(value.layout);
  }
  for (const OnnxValue& value : outputs) {
    impl_->outputNames.push_back(value.name);
    impl_->outputLayouts.push_back(value.layout);
  }
}

InferenceEngine::~InferenceEngine() = default;
InferenceEngine::InferenceEngine(InferenceEngine&&) noexcept = default;
InferenceEngine& InferenceEngine::operator=(InferenceEngine&&) noexcept = default;

const std::vector<std::string>& InferenceEngine::inputNames() const { return impl_->inputNames; }
const std::vector<std::string>& InferenceEngine::outputNames() const { return impl_->outputNames; }
const std::vector<TensorLayout>& InferenceEngine::inputLayouts() const { return impl_->inputLayouts; }
const std::vector<TensorLayout>& InferenceEngine::outputLayouts() const { return impl_->outputLayouts; }

std::vector<Tensor> InferenceEngine::run(const std::vector<Tensor>& inputs) {
  impl_->checkInputs(inputs);
  return impl_->runChecked(inputs);
}

double InferenceEngine::runTimed(const std::vector<Tensor>& inputs, unsigned repetitions,
                                 std::vector<Tensor>& outputs) {
  impl_->checkInputs(inputs);
  if (repetitions == 0) {
    outputs = impl_->runChecked(inputs);
    return 0.0;
  }
  std::vector<Tensor> last;
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < repetitions; ++i) last = impl_->runChecked(inputs);
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  outputs = std::move(last);
  return elapsed.count() / repetitions;
}

}  // namespace server
}  // namespace ks
