#include "ks_onnx_preparation.h"

#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>
#include <onnx/version_converter/convert.h>

#include <exception>
#include <set>
#include <stdexcept>
#include <vector>

namespace ks {
namespace server {
namespace {

bool isDefaultDomain(const std::string& domain) { return domain.empty() || domain == "ai.onnx"; }

// The declared or inferred type of value `name`: its tensor type's element type and rank (-1 unknown);
// nothing when the graph does not say.
struct ValueType {
  int32_t elementType = 0;
  int rank = -1;
};
std::optional<ValueType> typeOf(const onnx::GraphProto& graph, const std::string& name) {
  for (const auto* values : {&graph.input(), &graph.value_info(), &graph.output()}) {
    for (const onnx::ValueInfoProto& value : *values) {
      if (value.name() != name || !value.type().has_tensor_type()) continue;
      const onnx::TypeProto::Tensor& tensor = value.type().tensor_type();
      return ValueType{tensor.elem_type(), tensor.has_shape() ? tensor.shape().dim_size() : -1};
    }
  }
  for (const onnx::TensorProto& tensor : graph.initializer()) {
    if (tensor.name() == name) return ValueType{tensor.data_type(), tensor.dims_size()};
  }
  return std::nullopt;
}

// Names for the values a rewrite adds, none of them used in the graph.
class FreshNames {
 public:
  explicit FreshNames(const onnx::GraphProto& graph) {
    for (const auto* values : {&graph.input(), &graph.value_info(), &graph.output()}) {
      for (const onnx::ValueInfoProto& value : *values) used_.insert(value.name());
    }
    for (const onnx::TensorProto& tensor : graph.initializer()) used_.insert(tensor.name());
    for (const onnx::NodeProto& node : graph.node()) used_.insert(node.output().begin(), node.output().end());
  }
  std::string make(const std::string& base) {
    for (;;) {
      std::string name = "ks_rewrite/" + base + "/" + std::to_string(next_++);
      if (used_.insert(name).second) return name;
    }
  }

 private:
  std::set<std::string> used_;
  unsigned next_ = 0;
};

onnx::NodeProto castNode(const std::string& input, const std::string& output, int32_t to) {
  onnx::NodeProto node;
  node.set_op_type("Cast");
  node.add_input(input);
  node.add_output(output);
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name("to");
  attribute->set_type(onnx::AttributeProto::INT);
  attribute->set_i(to);
  return node;
}

onnx::NodeProto transposeNode(const std::string& input, const std::string& output, const std::vector<int64_t>& perm) {
  onnx::NodeProto node;
  node.set_op_type("Transpose");
  node.add_input(input);
  node.add_output(output);
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name("perm");
  attribute->set_type(onnx::AttributeProto::INTS);
  for (const int64_t axis : perm) attribute->add_ints(axis);
  return node;
}

// Before opset 7 a PRelu's slope of one dimension runs along the channels (axis 1); from 7 on it
// broadcasts as numpy does, along the last axis, and the converter changes nothing. So that the network
// computes what it did, a slope of C > 1 values before an input of rank r > 2 becomes [C, 1, ...] (r - 1
// dimensions). Throws std::invalid_argument when the slope is not a constant or the rank is unknown.
void keepPReluChannels(onnx::GraphProto& graph) {
  for (const onnx::NodeProto& node : graph.node()) {
    if (node.op_type() != "PRelu" || !isDefaultDomain(node.domain()) || node.input_size() < 2) continue;
    onnx::TensorProto* slope = nullptr;
    for (onnx::TensorProto& tensor : *graph.mutable_initializer()) {
      if (tensor.name() == node.input(1)) slope = &tensor;
    }
    if (slope != nullptr && (slope->dims_size() != 1 || slope->dims(0) == 1)) continue;
    const std::optional<ValueType> input = typeOf(graph, node.input(0));
    const int rank = input ? input->rank : -1;
    if (slope == nullptr || rank < 0) {
      throw std::invalid_argument("a PRelu whose slope is not a constant of known layout, before an input of " +
                                  std::string(rank >= 0 ? "rank " + std::to_string(rank) : "unknown rank") +
                                  ", cannot keep its per-channel slope");
    }
    for (int extra = 2; extra < rank; ++extra) slope->add_dims(1);
    // An initializer may also be declared as a graph input, with its old shape.
    for (auto* values : {graph.mutable_input(), graph.mutable_value_info()}) {
      for (onnx::ValueInfoProto& value : *values) {
        if (value.name() != slope->name() || !value.type().has_tensor_type()) continue;
        onnx::TensorShapeProto* shape = value.mutable_type()->mutable_tensor_type()->mutable_shape();
        for (int extra = 2; extra < rank; ++extra) shape->add_dim()->set_dim_value(1);
      }
    }
  }
}

// The model upgraded to kOldestEngineOpset. Throws std::invalid_argument.
onnx::ModelProto upgraded(onnx::ModelProto model, int64_t opset) {
  // Some adapters need the shapes of the values they rewrite (Gemm's and the broadcasting operators'):
  // ONNX's shape inference records them in the graph first. A model it cannot infer is converted as it is.
  try {
    onnx::shape_inference::InferShapes(model);
  } catch (const std::exception&) {
  }
  try {
    keepPReluChannels(*model.mutable_graph());
    return onnx::version_conversion::ConvertVersion(model, static_cast<int>(kOldestEngineOpset));
  } catch (const std::exception& e) {
    throw std::invalid_argument("The network imports operator set " + std::to_string(opset) +
                                ", older than the engine runs (" + std::to_string(kOldestEngineOpset) +
                                "), and cannot be upgraded: " + e.what());
  }
}

// Replaces the graph's nodes by what `rewrite(node, out)` appends to `out` for each; returns how many it
// rewrote (those for which it returns true).
template <typename Rewrite>
int rewriteNodes(onnx::GraphProto& graph, Rewrite&& rewrite) {
  google::protobuf::RepeatedPtrField<onnx::NodeProto> nodes;
  int rewritten = 0;
  for (onnx::NodeProto& node : *graph.mutable_node()) {
    if (rewrite(node, nodes)) {
      ++rewritten;
    } else {
      *nodes.Add() = std::move(node);
    }
  }
  // Every node has moved to `nodes`, rewritten or not.
  graph.mutable_node()->Swap(&nodes);
  return rewritten;
}

std::string counted(int count, const char* what) { return std::to_string(count) + " " + what; }

}  // namespace

int rewriteInt16MinMax(onnx::GraphProto& graph, const onnx::GraphProto& typed) {
  FreshNames names(graph);
  return rewriteNodes(graph, [&](onnx::NodeProto& node, google::protobuf::RepeatedPtrField<onnx::NodeProto>& out) {
    if ((node.op_type() != "Max" && node.op_type() != "Min") || !isDefaultDomain(node.domain()) ||
        node.input_size() == 0 || node.output_size() != 1) {
      return false;
    }
    const std::optional<ValueType> type = typeOf(typed, node.input(0));
    if (!type || type->elementType != onnx::TensorProto::INT16) return false;
    // Every int16 value is an int32 value, and the larger or smaller of two of them is one of them.
    onnx::NodeProto wide = node;
    for (int i = 0; i < node.input_size(); ++i) {
      const std::string cast = names.make(node.op_type());
      *out.Add() = castNode(node.input(i), cast, onnx::TensorProto::INT32);
      wide.set_input(i, cast);
    }
    const std::string result = names.make(node.op_type());
    wide.set_output(0, result);
    *out.Add() = std::move(wide);
    *out.Add() = castNode(result, node.output(0), onnx::TensorProto::INT16);
    return true;
  });
}

int rewriteBatchwiseRecurrent(onnx::GraphProto& graph) {
  FreshNames names(graph);
  return rewriteNodes(graph, [&](onnx::NodeProto& node, google::protobuf::RepeatedPtrField<onnx::NodeProto>& out) {
    const std::string& op = node.op_type();
    if ((op != "RNN" && op != "GRU" && op != "LSTM") || !isDefaultDomain(node.domain())) return false;
    onnx::AttributeProto* layout = nullptr;
    for (onnx::AttributeProto& attribute : *node.mutable_attribute()) {
      if (attribute.name() == "layout") layout = &attribute;
    }
    if (layout == nullptr || layout->i() != 1) return false;
    // Batch first: X [batch, seq, input], initial_h and initial_c [batch, directions, hidden]; Y [batch,
    // seq, directions, hidden], Y_h and Y_c as the initial states. Layout 0 puts the sequence, then the
    // directions first.
    const bool lstm = op == "LSTM";
    for (const int index : {0, 5, 6}) {
      if (index == 6 && !lstm) continue;
      if (index >= node.input_size() || node.input(index).empty()) continue;
      const std::string moved = names.make(op);
      *out.Add() = transposeNode(node.input(index), moved, {1, 0, 2});
      node.set_input(index, moved);
    }
    std::vector<onnx::NodeProto> after;
    for (const int index : {0, 1, 2}) {
      if (index == 2 && !lstm) continue;
      if (index >= node.output_size() || node.output(index).empty()) continue;
      const std::string produced = names.make(op);
      after.push_back(transposeNode(produced, node.output(index),
                                    index == 0 ? std::vector<int64_t>{2, 0, 1, 3} : std::vector<int64_t>{1, 0, 2}));
      node.set_output(index, produced);
    }
    layout->set_i(0);
    *out.Add() = std::move(node);
    for (onnx::NodeProto& transpose : after) *out.Add() = std::move(transpose);
    return true;
  });
}

std::optional<PreparedModel> prepareForEngine(std::string_view modelBytes, const OnnxModelSummary& summary) {
  const bool old = summary.defaultOpset != 0 && summary.defaultOpset < kOldestEngineOpset;
  const bool minMax = summary.operators.count("Max") != 0 || summary.operators.count("Min") != 0;
  const bool recurrent = summary.operators.count("RNN") != 0 || summary.operators.count("GRU") != 0 ||
                         summary.operators.count("LSTM") != 0;
  if (!old && !minMax && !recurrent) return std::nullopt;

  onnx::ModelProto model;
  if (!model.ParseFromArray(modelBytes.data(), static_cast<int>(modelBytes.size()))) {
    throw std::invalid_argument("The network is not an ONNX model.");
  }
  std::vector<std::string> changes;
  if (old) {
    model = upgraded(std::move(model), summary.defaultOpset);
    changes.push_back("opset " + std::to_string(summary.defaultOpset) + " upgraded to " +
                      std::to_string(kOldestEngineOpset));
  }
  if (minMax) {
    // The types come from a copy shape inference annotates: what the engine loads keeps the model's own
    // value_info, which the engine checks against its newer inference.
    onnx::ModelProto typed = model;
    try {
      onnx::shape_inference::InferShapes(typed);
    } catch (const std::exception&) {
    }
    if (const int count = rewriteInt16MinMax(*model.mutable_graph(), typed.graph())) {
      changes.push_back(counted(count, "Max or Min on int16 through int32"));
    }
  }
  if (recurrent) {
    if (const int count = rewriteBatchwiseRecurrent(*model.mutable_graph())) {
      changes.push_back(counted(count, "batch-first recurrent layer through transposes"));
    }
  }
  if (changes.empty()) return std::nullopt;
  PreparedModel prepared;
  if (!model.SerializeToString(&prepared.bytes))
    throw std::invalid_argument("The prepared network does not serialize.");
  for (const std::string& change : changes) prepared.changes += (prepared.changes.empty() ? "" : "; ") + change;
  return prepared;
}

}  // namespace server
}  // namespace ks
