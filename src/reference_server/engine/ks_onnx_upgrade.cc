#include "ks_onnx_upgrade.h"

#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>
#include <onnx/version_converter/convert.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace ks {
namespace server {
namespace {

// The rank of value `name` as the graph declares or shape inference found it; nothing when unknown.
std::optional<int> rankOf(const onnx::GraphProto& graph, const std::string& name) {
  for (const auto* values : {&graph.input(), &graph.value_info(), &graph.output()}) {
    for (const onnx::ValueInfoProto& value : *values) {
      if (value.name() == name && value.type().has_tensor_type() && value.type().tensor_type().has_shape()) {
        return value.type().tensor_type().shape().dim_size();
      }
    }
  }
  return std::nullopt;
}

// Before opset 7 a PRelu's slope of one dimension runs along the channels (axis 1); from 7 on it
// broadcasts as numpy does, along the last axis, and the converter changes nothing. So that the network
// computes what it did, a slope of C > 1 values before an input of rank r > 2 becomes [C, 1, ...] (r - 1
// dimensions). Throws std::invalid_argument when the slope is not a constant or the rank is unknown.
void keepPReluChannels(onnx::GraphProto& graph) {
  for (const onnx::NodeProto& node : graph.node()) {
    if (node.op_type() != "PRelu" || !(node.domain().empty() || node.domain() == "ai.onnx") || node.input_size() < 2) {
      continue;
    }
    onnx::TensorProto* slope = nullptr;
    for (onnx::TensorProto& tensor : *graph.mutable_initializer()) {
      if (tensor.name() == node.input(1)) slope = &tensor;
    }
    if (slope != nullptr && (slope->dims_size() != 1 || slope->dims(0) == 1)) continue;
    const std::optional<int> rank = rankOf(graph, node.input(0));
    if (slope == nullptr || !rank) {
      throw std::invalid_argument("a PRelu whose slope is not a constant of known layout, before an input of " +
                                  std::string(rank ? "rank " + std::to_string(*rank) : "unknown rank") +
                                  ", cannot keep its per-channel slope");
    }
    for (int extra = 2; extra < *rank; ++extra) slope->add_dims(1);
    // An initializer may also be declared as a graph input, with its old shape.
    for (auto* values : {graph.mutable_input(), graph.mutable_value_info()}) {
      for (onnx::ValueInfoProto& value : *values) {
        if (value.name() != slope->name() || !value.type().has_tensor_type()) continue;
        onnx::TensorShapeProto* shape = value.mutable_type()->mutable_tensor_type()->mutable_shape();
        for (int extra = 2; extra < *rank; ++extra) shape->add_dim()->set_dim_value(1);
      }
    }
  }
}

}  // namespace

std::optional<UpgradedModel> upgradeOldOpset(std::string_view modelBytes, int64_t opset) {
  if (opset == 0 || opset >= kOldestEngineOpset) return std::nullopt;
  onnx::ModelProto model;
  if (!model.ParseFromArray(modelBytes.data(), static_cast<int>(modelBytes.size()))) {
    throw std::invalid_argument("The network is not an ONNX model.");
  }
  UpgradedModel upgraded;
  upgraded.fromOpset = opset;
  upgraded.toOpset = kOldestEngineOpset;
  // Some adapters need the shapes of the values they rewrite (Gemm's and the broadcasting operators'):
  // ONNX's shape inference records them in the graph first. A model it cannot infer is converted as it is.
  try {
    onnx::shape_inference::InferShapes(model);
  } catch (const std::exception&) {
  }
  try {
    keepPReluChannels(*model.mutable_graph());
    const onnx::ModelProto converted =
        onnx::version_conversion::ConvertVersion(model, static_cast<int>(kOldestEngineOpset));
    if (!converted.SerializeToString(&upgraded.bytes))
      throw std::runtime_error("the upgraded model does not serialize");
  } catch (const std::exception& e) {
    throw std::invalid_argument("The network imports operator set " + std::to_string(opset) +
                                ", older than the engine runs (" + std::to_string(kOldestEngineOpset) +
                                "), and cannot be upgraded: " + e.what());
  }
  return upgraded;
}

}  // namespace server
}  // namespace ks
