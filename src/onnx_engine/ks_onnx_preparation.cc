#include "ks_onnx_preparation.h"

#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>
#include <onnx/version_converter/convert.h>

#include <exception>
#include <initializer_list>
#include <set>
#include <stdexcept>
#include <utility>
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

// ONNX's version converter builds its graph by looking each value up as it goes, and writes through a null
// pointer (ending the process) when a node uses a value, or the graph returns one, that nothing defined
// before: such a graph is refused here instead. A subgraph may use every value defined above it.
void checkDefinedBeforeUse(const onnx::GraphProto& graph, std::set<std::string> defined) {
  for (const onnx::ValueInfoProto& input : graph.input()) defined.insert(input.name());
  for (const onnx::TensorProto& tensor : graph.initializer()) defined.insert(tensor.name());
  const auto use = [&](const std::string& name) {
    if (!name.empty() && defined.count(name) == 0) {
      throw std::invalid_argument("the value '" + name + "' is used before anything defines it");
    }
  };
  for (const onnx::NodeProto& node : graph.node()) {
    for (const std::string& input : node.input()) use(input);
    for (const onnx::AttributeProto& attribute : node.attribute()) {
      if (attribute.has_g()) checkDefinedBeforeUse(attribute.g(), defined);
      for (const onnx::GraphProto& subgraph : attribute.graphs()) checkDefinedBeforeUse(subgraph, defined);
    }
    defined.insert(node.output().begin(), node.output().end());
  }
  for (const onnx::ValueInfoProto& output : graph.output()) use(output.name());
}

// The converter's adapters read the inputs their operator takes without counting them first, and read an
// attribute as the type its operator gives it without looking at the type it has; either ends the process
// on a node that is not what its operator says. A node of the default domain whose inputs or outputs are
// more or fewer than its operator, in the version the model imports, takes, or with an attribute of
// another type than the operator gives it, is refused here.
void checkAgainstSchemas(const onnx::GraphProto& graph, int opset) {
  for (const onnx::NodeProto& node : graph.node()) {
    for (const onnx::AttributeProto& attribute : node.attribute()) {
      if (attribute.has_g()) checkAgainstSchemas(attribute.g(), opset);
      for (const onnx::GraphProto& subgraph : attribute.graphs()) checkAgainstSchemas(subgraph, opset);
    }
    if (!isDefaultDomain(node.domain())) continue;
    const onnx::OpSchema* schema = onnx::OpSchemaRegistry::Schema(node.op_type(), opset, "");
    if (schema == nullptr) continue;  // the converter refuses an operator it does not know
    if (node.input_size() < schema->min_input() || node.input_size() > schema->max_input() ||
        node.output_size() < schema->min_output() || node.output_size() > schema->max_output()) {
      throw std::invalid_argument("the node '" + node.name() + "' (" + node.op_type() + ") has " +
                                  std::to_string(node.input_size()) + " inputs and " +
                                  std::to_string(node.output_size()) + " outputs, which its operator does not take");
    }
    for (const onnx::AttributeProto& attribute : node.attribute()) {
      const auto known = schema->attributes().find(attribute.name());
      if (known != schema->attributes().end() && attribute.type() != known->second.type) {
        throw std::invalid_argument("the attribute '" + attribute.name() + "' of node '" + node.name() + "' (" +
                                    node.op_type() + ") is not of the type its operator gives it");
      }
    }
  }
}

// ONNX's version converter builds its table of adapters, a copy of every version of every operator's
// schema, each time one is made: made once, it upgrades a small network in a tenth of the time.
const onnx::version_conversion::DefaultVersionConverter& versionConverter() {
  static const auto* converter = new onnx::version_conversion::DefaultVersionConverter();
  return *converter;
}

// The model upgraded to kOldestEngineOpset. Throws std::invalid_argument.
onnx::ModelProto upgraded(onnx::ModelProto model, int64_t opset) {
  const auto refusal = [opset](const std::exception& e) {
    return std::invalid_argument("The network imports operator set " + std::to_string(opset) +
                                 ", older than the engine runs (" + std::to_string(kOldestEngineOpset) +
                                 "), and cannot be upgraded: " + e.what());
  };
  // What would end the process in ONNX's shape inference or converter is refused before either runs.
  try {
    checkDefinedBeforeUse(model.graph(), {});
    checkAgainstSchemas(model.graph(), static_cast<int>(opset));
  } catch (const std::exception& e) {
    throw refusal(e);
  }
  // Some adapters need the shapes of the values they rewrite (Gemm's and the broadcasting operators'):
  // ONNX's shape inference records them in the graph first. A model it cannot infer is converted as it is.
  try {
    onnx::shape_inference::InferShapes(model);
  } catch (const std::exception&) {
  }
  try {
    keepPReluChannels(*model.mutable_graph());
    // The version it starts from is the first of the default domain's, as ONNX's ConvertVersion takes it.
    int64_t initial = 0;
    for (const onnx::OperatorSetIdProto& imported : model.opset_import()) {
      if (isDefaultDomain(imported.domain())) {
        initial = imported.version();
        break;
      }
    }
    return versionConverter().convert_version(model, onnx::OpSetID(initial),
                                              onnx::OpSetID(static_cast<int64_t>(kOldestEngineOpset)));
  } catch (const std::exception& e) {
    throw refusal(e);
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

// Appends nodes for one rewrite: each call adds a node and returns the name of its output.
class Emitter {
 public:
  Emitter(google::protobuf::RepeatedPtrField<onnx::NodeProto>& out, FreshNames& names, std::string base)
      : out_(out), names_(names), base_(std::move(base)) {}

  // A node of `op` on `inputs`, writing to `output` (a fresh name when empty).
  std::string op(const char* type, std::initializer_list<std::string> inputs, std::string output = {}) {
    if (output.empty()) output = names_.make(base_);
    onnx::NodeProto* node = out_.Add();
    node->set_op_type(type);
    for (const std::string& input : inputs) node->add_input(input);
    node->add_output(output);
    return output;
  }
  // A float32 scalar.
  std::string constant(float value) {
    std::string output = names_.make(base_);
    onnx::NodeProto* node = out_.Add();
    node->set_op_type("Constant");
    node->add_output(output);
    onnx::AttributeProto* attribute = node->add_attribute();
    attribute->set_name("value");
    attribute->set_type(onnx::AttributeProto::TENSOR);
    onnx::TensorProto* tensor = attribute->mutable_t();
    tensor->set_data_type(onnx::TensorProto::FLOAT);
    tensor->add_float_data(value);
    return output;
  }
  std::string toFloat(const std::string& input) {
    std::string output = names_.make(base_);
    *out_.Add() = castNode(input, output, onnx::TensorProto::FLOAT);
    return output;
  }

 private:
  google::protobuf::RepeatedPtrField<onnx::NodeProto>& out_;
  FreshNames& names_;
  std::string base_;
};

float floatAttribute(const onnx::NodeProto& node, const char* name, float otherwise) {
  for (const onnx::AttributeProto& attribute : node.attribute()) {
    if (attribute.name() == name) return attribute.f();
  }
  return otherwise;
}

std::string stringAttribute(const onnx::NodeProto& node, const char* name) {
  for (const onnx::AttributeProto& attribute : node.attribute()) {
    if (attribute.name() == name) return attribute.s();
  }
  return {};
}

// Input k, or output k, of a node with that many; empty when absent.
std::string inputOf(const onnx::NodeProto& node, int k) { return k < node.input_size() ? node.input(k) : ""; }
std::string outputOf(const onnx::NodeProto& node, int k) { return k < node.output_size() ? node.output(k) : ""; }

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

int rewriteOptimizers(onnx::GraphProto& graph, const onnx::GraphProto& typed) {
  FreshNames names(graph);
  return rewriteNodes(graph, [&](onnx::NodeProto& node, google::protobuf::RepeatedPtrField<onnx::NodeProto>& out) {
    const std::string& op = node.op_type();
    if (node.domain() != "ai.onnx.preview.training" || (op != "Adagrad" && op != "Momentum" && op != "Adam")) {
      return false;
    }
    // Inputs R, T, then n tensors of each kind: X, G and the states (H; V; V and H); outputs the new X
    // and the new states, in that order.
    const int states = op == "Adam" ? 2 : 1;
    const int n = (node.input_size() - 2) / (2 + states);
    if (n < 1 || node.input_size() != 2 + n * (2 + states) || node.output_size() > n * (1 + states)) return false;
    for (int i = 2; i < node.input_size(); ++i) {
      const std::optional<ValueType> type = typeOf(typed, node.input(i));
      if (!type || type->elementType != onnx::TensorProto::FLOAT) return false;
    }
    const std::optional<ValueType> rate = typeOf(typed, node.input(0));
    if (!rate || rate->elementType != onnx::TensorProto::FLOAT) return false;
    const std::string mode = stringAttribute(node, "mode");
    if (op == "Momentum" && mode != "standard" && mode != "nesterov") return false;

    Emitter e(out, names, op);
    const std::string& r = node.input(0);
    const std::string t = e.toFloat(node.input(1));
    const std::string one = e.constant(1.0f);
    const std::string norm = e.constant(floatAttribute(node, "norm_coefficient", 0.0f));
    const std::string tPositive = e.op("Greater", {t, e.constant(0.0f)});
    std::string rate2 = r;  // the learning rate as each optimizer adjusts it
    if (op == "Adagrad") {
      // r / (1 + t * decay_factor)
      const std::string decay = e.constant(floatAttribute(node, "decay_factor", 0.0f));
      rate2 = e.op("Div", {r, e.op("Add", {one, e.op("Mul", {t, decay})})});
    } else if (op == "Adam") {
      // With t > 0: r * sqrt(1 - beta^t) / (1 - alpha^t); else r.
      const std::string alpha = e.constant(floatAttribute(node, "alpha", 0.9f));
      const std::string beta = e.constant(floatAttribute(node, "beta", 0.999f));
      const std::string corrected =
          e.op("Div", {e.op("Mul", {r, e.op("Sqrt", {e.op("Sub", {one, e.op("Pow", {beta, t})})})}),
                       e.op("Sub", {one, e.op("Pow", {alpha, t})})});
      rate2 = e.op("Where", {tPositive, corrected, r});
    }
    for (int i = 0; i < n; ++i) {
      const std::string& x = node.input(2 + i);
      const std::string& g = node.input(2 + n + i);
      const std::string xNew = outputOf(node, i);
      // The gradient of the regularization term added: norm_coefficient * x + g.
      const std::string gr = e.op("Add", {e.op("Mul", {norm, x}), g});
      if (op == "Adagrad") {
        const std::string& h = node.input(2 + 2 * n + i);
        const std::string hNew = e.op("Add", {h, e.op("Mul", {gr, gr})}, outputOf(node, n + i));
        const std::string root = e.op("Add", {e.op("Sqrt", {hNew}), e.constant(floatAttribute(node, "epsilon", 0.0f))});
        e.op("Sub", {x, e.op("Div", {e.op("Mul", {rate2, gr}), root})}, xNew);
      } else if (op == "Momentum") {
        const std::string& v = node.input(2 + 2 * n + i);
        const std::string alpha = e.constant(floatAttribute(node, "alpha", 0.0f));
        // The gradient's coefficient is 1 at the first iteration (t = 0), beta after.
        const std::string beta = e.op("Where", {tPositive, e.constant(floatAttribute(node, "beta", 0.0f)), one});
        const std::string vNew = e.op("Add", {e.op("Mul", {alpha, v}), e.op("Mul", {beta, gr})}, outputOf(node, n + i));
        const std::string step = mode == "standard" ? vNew : e.op("Add", {gr, e.op("Mul", {alpha, vNew})});
        e.op("Sub", {x, e.op("Mul", {r, step})}, xNew);
      } else {
        const std::string& v = node.input(2 + 2 * n + i);
        const std::string& h = node.input(2 + 3 * n + i);
        const float alphaValue = floatAttribute(node, "alpha", 0.9f);
        const float betaValue = floatAttribute(node, "beta", 0.999f);
        const std::string vNew =
            e.op("Add", {e.op("Mul", {e.constant(alphaValue), v}), e.op("Mul", {e.constant(1.0f - alphaValue), gr})},
                 outputOf(node, n + i));
        const std::string hNew = e.op("Add",
                                      {e.op("Mul", {e.constant(betaValue), h}),
                                       e.op("Mul", {e.constant(1.0f - betaValue), e.op("Mul", {gr, gr})})},
                                      outputOf(node, 2 * n + i));
        const std::string root = e.op("Add", {e.op("Sqrt", {hNew}), e.constant(floatAttribute(node, "epsilon", 0.0f))});
        const std::string moved = e.op("Sub", {x, e.op("Mul", {rate2, e.op("Div", {vNew, root})})});
        e.op("Mul", {e.constant(1.0f - floatAttribute(node, "norm_coefficient_post", 0.0f)), moved}, xNew);
      }
    }
    return true;
  });
}

std::optional<PreparedModel> prepareForEngine(std::string_view modelBytes, const OnnxModelSummary& summary) {
  const bool old = summary.defaultOpset != 0 && summary.defaultOpset < kOldestEngineOpset;
  const bool minMax = summary.operators.count("Max") != 0 || summary.operators.count("Min") != 0;
  const bool recurrent = summary.operators.count("RNN") != 0 || summary.operators.count("GRU") != 0 ||
                         summary.operators.count("LSTM") != 0;
  const bool optimizers = summary.operators.count("ai.onnx.preview.training:Adagrad") != 0 ||
                          summary.operators.count("ai.onnx.preview.training:Momentum") != 0 ||
                          summary.operators.count("ai.onnx.preview.training:Adam") != 0;
  if (!old && !minMax && !recurrent && !optimizers) return std::nullopt;

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
  if (minMax || optimizers) {
    // The types come from a copy shape inference annotates: what the engine loads keeps the model's own
    // value_info, which the engine checks against its newer inference.
    onnx::ModelProto typed = model;
    try {
      onnx::shape_inference::InferShapes(typed);
    } catch (const std::exception&) {
    }
    if (const int count = minMax ? rewriteInt16MinMax(*model.mutable_graph(), typed.graph()) : 0) {
      changes.push_back(counted(count, "Max or Min on int16 through int32"));
    }
    if (const int count = optimizers ? rewriteOptimizers(*model.mutable_graph(), typed.graph()) : 0) {
      changes.push_back(counted(count, "training optimizer as its arithmetic"));
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
