#include "ks_onnx_mutator.h"

#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ks {
namespace fuzz {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using onnx::TensorProto;

// A constant this mutator makes holds at most this many elements: the engine's budgets are tested by
// shapes computed in the graph, not by models that take long to write.
constexpr uint64_t kMaxMadeElements = 1 << 16;

// Every operator ONNX's registry knows, in its latest version, for nodes added or swapped in.
struct Operator {
  std::string domain;
  std::string name;
};
const std::vector<Operator>& registeredOperators() {
  static const std::vector<Operator>* operators = [] {
    auto* all = new std::vector<Operator>();
    for (const onnx::OpSchema& schema : onnx::OpSchemaRegistry::get_all_schemas()) {
      if (!schema.Deprecated()) all->push_back({schema.domain(), schema.Name()});
    }
    return all;
  }();
  return *operators;
}

std::string normalDomain(const std::string& domain) { return domain == "ai.onnx" ? std::string() : domain; }

// The version of `domain` the model imports; the latest the registry knows when it imports none.
int importedVersion(const onnx::ModelProto& model, const std::string& domain) {
  for (const onnx::OperatorSetIdProto& imported : model.opset_import()) {
    if (normalDomain(imported.domain()) == normalDomain(domain)) return static_cast<int>(imported.version());
  }
  return INT_MAX;
}

const onnx::OpSchema* schemaOf(const onnx::ModelProto& model, const onnx::NodeProto& node) {
  const std::string domain = normalDomain(node.domain());
  return onnx::OpSchemaRegistry::Schema(node.op_type(), importedVersion(model, domain), domain);
}

// Bits of one value of element type `type` (4 for the packed types); 0 for strings and unknown types.
unsigned elementBits(int32_t type) {
  switch (type) {
    case TensorProto::FLOAT:
    case TensorProto::INT32:
    case TensorProto::UINT32: return 32;
    case TensorProto::DOUBLE:
    case TensorProto::INT64:
    case TensorProto::UINT64:
    case TensorProto::COMPLEX64: return 64;
    case TensorProto::COMPLEX128: return 128;
    case TensorProto::INT16:
    case TensorProto::UINT16:
    case TensorProto::FLOAT16:
    case TensorProto::BFLOAT16: return 16;
    case TensorProto::INT8:
    case TensorProto::UINT8:
    case TensorProto::BOOL:
    case 17:
    case 18:
    case 19:
    case 20: return 8;
    case 21:
    case 22:
    case 23: return 4;
    default: return 0;
  }
}

class Mutation {
 public:
  Mutation(onnx::ModelProto& model, std::mt19937& random) : model_(model), random_(random) { collect(); }

  bool apply(ModelMutation which) {
    switch (which) {
      case ModelMutation::kField: return field();
      case ModelMutation::kAttribute: return attribute();
      case ModelMutation::kDimension: return dimension();
      case ModelMutation::kElementType: return elementType();
      case ModelMutation::kInitializerSize: return initializerSize();
      case ModelMutation::kAddNode: return addNode();
      case ModelMutation::kDropNode: return dropNode();
      case ModelMutation::kSwapOpType: return swapOpType();
      case ModelMutation::kOpset: return opset();
      case ModelMutation::kFeed: return feed();
    }
    return false;
  }

 private:
  size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  bool oneIn(size_t n) { return below(n) == 0; }
  template <typename T>
  T& pick(std::vector<T>& items) {
    return items[below(items.size())];
  }

  // Values that sit on the edges kernels get wrong, and small changes of what was there.
  int64_t interestingInt(int64_t was) {
    static const int64_t kValues[] = {0,  1,  -1,  2,       3,         4,         7,         8,         16,
                                      64, -2, 255, 1 << 16, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, 1 << 30};
    // A step past either end wraps to the other, as it would in the engine's own arithmetic.
    switch (below(4)) {
      case 0: return static_cast<int64_t>(static_cast<uint64_t>(was) + 1);
      case 1: return static_cast<int64_t>(static_cast<uint64_t>(was) - 1);
      default: return kValues[below(std::size(kValues))];
    }
  }
  float interestingFloat(float was) {
    static const float kValues[] = {0.0f,
                                    -0.0f,
                                    1.0f,
                                    -1.0f,
                                    0.5f,
                                    1e-30f,
                                    1e30f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN()};
    return oneIn(3) ? was * 2.0f : kValues[below(std::size(kValues))];
  }
  int64_t smallDimension() {
    static const int64_t kValues[] = {0, 1, 1, 2, 2, 3, 4, 5, 8, 16, 64, 1000};
    return kValues[below(std::size(kValues))];
  }
  int32_t anyElementType() {
    // Mostly the types the engine has kernels for, now and then any ONNX knows, or none.
    static const int32_t kCommon[] = {TensorProto::FLOAT, TensorProto::INT64,   TensorProto::INT32, TensorProto::UINT8,
                                      TensorProto::INT8,  TensorProto::FLOAT16, TensorProto::BOOL,  TensorProto::INT16};
    return oneIn(4) ? static_cast<int32_t>(below(25)) : kCommon[below(std::size(kCommon))];
  }

  // Every graph (the main one and the subgraphs of attributes, at any depth), every node list (theirs and
  // the model's functions') and every constant tensor.
  void collect() {
    if (model_.has_graph()) collectGraph(*model_.mutable_graph());
    for (onnx::FunctionProto& function : *model_.mutable_functions()) collectNodes(*function.mutable_node());
  }
  void collectGraph(onnx::GraphProto& graph) {
    graphs_.push_back(&graph);
    for (TensorProto& tensor : *graph.mutable_initializer()) tensors_.push_back(&tensor);
    for (auto* values : {graph.mutable_input(), graph.mutable_output(), graph.mutable_value_info()}) {
      for (onnx::ValueInfoProto& value : *values) {
        if (value.type().has_tensor_type()) values_.push_back(&value);
      }
    }
    collectNodes(*graph.mutable_node());
  }
  void collectNodes(google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes) {
    if (!nodes.empty()) nodeLists_.push_back(&nodes);
    for (onnx::NodeProto& node : nodes) {
      nodes_.push_back(&node);
      for (onnx::AttributeProto& attribute : *node.mutable_attribute()) {
        if (attribute.has_t()) tensors_.push_back(attribute.mutable_t());
        if (attribute.has_g()) collectGraph(*attribute.mutable_g());
        for (onnx::GraphProto& graph : *attribute.mutable_graphs()) collectGraph(graph);
      }
    }
  }

  // Gives `tensor` data of the size its type and dimensions say, keeping what bytes it had where it can.
  void resizeData(TensorProto& tensor) {
    uint64_t count = 1;
    for (int64_t dim : tensor.dims()) count *= static_cast<uint64_t>(std::max<int64_t>(dim, 0));
    if (count > kMaxMadeElements) {
      tensor.clear_dims();
      tensor.add_dims(static_cast<int64_t>(below(16)));
      count = static_cast<uint64_t>(tensor.dims(0));
    }
    std::string old = tensor.raw_data();
    tensor.clear_float_data();
    tensor.clear_int32_data();
    tensor.clear_int64_data();
    tensor.clear_double_data();
    tensor.clear_uint64_data();
    tensor.clear_string_data();
    tensor.clear_raw_data();
    if (tensor.data_type() == TensorProto::STRING) {
      for (uint64_t i = 0; i < count; ++i) tensor.add_string_data(i % 2 ? "" : "x");
      return;
    }
    const unsigned bits = elementBits(tensor.data_type());
    if (bits == 0) return;
    const uint64_t bytes = bits == 4 ? (count + 1) / 2 : count * bits / 8;
    std::string data(bytes, '\0');
    for (uint64_t i = 0; i < bytes; ++i) {
      data[i] = old.empty() ? static_cast<char>(below(3) == 0 ? below(256) : 0) : old[i % old.size()];
    }
    tensor.set_raw_data(data);
  }

  bool field() {
    // Every message in the model with the fields it has set.
    std::vector<std::pair<Message*, const FieldDescriptor*>> fields;
    std::vector<Message*> pending{&model_};
    while (!pending.empty()) {
      Message* message = pending.back();
      pending.pop_back();
      const Reflection* reflection = message->GetReflection();
      std::vector<const FieldDescriptor*> set;
      reflection->ListFields(*message, &set);
      for (const FieldDescriptor* descriptor : set) {
        fields.emplace_back(message, descriptor);
        if (descriptor->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
        if (descriptor->is_repeated()) {
          for (int i = 0; i < reflection->FieldSize(*message, descriptor); ++i) {
            pending.push_back(reflection->MutableRepeatedMessage(message, descriptor, i));
          }
        } else {
          pending.push_back(reflection->MutableMessage(message, descriptor));
        }
      }
    }
    if (fields.empty()) return false;
    auto [message, descriptor] = pick(fields);
    const Reflection* reflection = message->GetReflection();
    if (descriptor->is_repeated()) {
      const int size = reflection->FieldSize(*message, descriptor);
      if (size == 0) return false;
      const int index = static_cast<int>(below(static_cast<size_t>(size)));
      if (oneIn(3)) {
        // One element fewer: swapped to the end, then removed.
        reflection->SwapElements(message, descriptor, index, size - 1);
        reflection->RemoveLast(message, descriptor);
        return true;
      }
      return repeatedElement(message, reflection, descriptor, index);
    }
    switch (descriptor->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT32:
        reflection->SetInt32(message, descriptor,
                             static_cast<int32_t>(interestingInt(reflection->GetInt32(*message, descriptor))));
        return true;
      case FieldDescriptor::CPPTYPE_INT64:
        reflection->SetInt64(message, descriptor, interestingInt(reflection->GetInt64(*message, descriptor)));
        return true;
      case FieldDescriptor::CPPTYPE_UINT32:
        reflection->SetUInt32(message, descriptor, static_cast<uint32_t>(interestingInt(0)));
        return true;
      case FieldDescriptor::CPPTYPE_UINT64:
        reflection->SetUInt64(message, descriptor, static_cast<uint64_t>(interestingInt(0)));
        return true;
      case FieldDescriptor::CPPTYPE_FLOAT:
        reflection->SetFloat(message, descriptor, interestingFloat(reflection->GetFloat(*message, descriptor)));
        return true;
      case FieldDescriptor::CPPTYPE_DOUBLE:
        reflection->SetDouble(message, descriptor, interestingFloat(0.0f));
        return true;
      case FieldDescriptor::CPPTYPE_BOOL:
        reflection->SetBool(message, descriptor, !reflection->GetBool(*message, descriptor));
        return true;
      case FieldDescriptor::CPPTYPE_ENUM: {
        const auto* type = descriptor->enum_type();
        reflection->SetEnum(message, descriptor, type->value(static_cast<int>(below(type->value_count()))));
        return true;
      }
      case FieldDescriptor::CPPTYPE_STRING:
        reflection->SetString(message, descriptor, mutatedString(reflection->GetString(*message, descriptor)));
        return true;
      case FieldDescriptor::CPPTYPE_MESSAGE: reflection->ClearField(message, descriptor); return true;
    }
    return false;
  }

  bool repeatedElement(Message* message, const Reflection* reflection, const FieldDescriptor* descriptor, int index) {
    switch (descriptor->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT32:
        reflection->SetRepeatedInt32(
            message, descriptor, index,
            static_cast<int32_t>(interestingInt(reflection->GetRepeatedInt32(*message, descriptor, index))));
        return true;
      case FieldDescriptor::CPPTYPE_INT64:
        reflection->SetRepeatedInt64(message, descriptor, index,
                                     interestingInt(reflection->GetRepeatedInt64(*message, descriptor, index)));
        return true;
      case FieldDescriptor::CPPTYPE_FLOAT:
        reflection->SetRepeatedFloat(message, descriptor, index,
                                     interestingFloat(reflection->GetRepeatedFloat(*message, descriptor, index)));
        return true;
      case FieldDescriptor::CPPTYPE_STRING:
        reflection->SetRepeatedString(message, descriptor, index,
                                      mutatedString(reflection->GetRepeatedString(*message, descriptor, index)));
        return true;
      case FieldDescriptor::CPPTYPE_MESSAGE:
        // A copy of the element: another node, dimension or initializer of the same kind.
        reflection->AddMessage(message, descriptor)
            ->CopyFrom(reflection->GetRepeatedMessage(*message, descriptor, index));
        return true;
      default: return false;
    }
  }

  // A string changed: mostly another name the model uses (which rewires the graph), else bytes changed.
  std::string mutatedString(std::string was) {
    if (!oneIn(3)) {
      const std::vector<std::string> names = valueNames(nullptr, 0);
      if (!names.empty()) return names[below(names.size())];
    }
    if (was.empty() || oneIn(4)) return was + static_cast<char>(below(256));
    was[below(was.size())] = static_cast<char>(below(256));
    if (oneIn(4)) was.resize(below(was.size()));
    return was;
  }

  // The names of the values defined in `graph` before node `before` (every graph's, when null).
  std::vector<std::string> valueNames(const onnx::GraphProto* graph, int before) {
    std::vector<std::string> names;
    for (const onnx::GraphProto* each : graphs_) {
      if (graph != nullptr && each != graph) continue;
      for (const onnx::ValueInfoProto& input : each->input()) names.push_back(input.name());
      for (const TensorProto& tensor : each->initializer()) names.push_back(tensor.name());
      const int end = graph != nullptr ? before : each->node_size();
      for (int i = 0; i < end && i < each->node_size(); ++i) {
        for (const std::string& output : each->node(i).output()) names.push_back(output);
      }
    }
    return names;
  }

  void setAttributeValue(onnx::AttributeProto& attribute) {
    switch (attribute.type()) {
      case onnx::AttributeProto::INT: attribute.set_i(interestingInt(attribute.i())); break;
      case onnx::AttributeProto::FLOAT: attribute.set_f(interestingFloat(attribute.f())); break;
      case onnx::AttributeProto::STRING: {
        static const char* const kModes[] = {"",        "NOTSET", "SAME_UPPER", "SAME_LOWER", "VALID",        "linear",
                                             "nearest", "cubic",  "constant",   "reflect",    "edge",         "DCR",
                                             "CRD",     "max",    "avg",        "forward",    "bidirectional"};
        attribute.set_s(kModes[below(std::size(kModes))]);
        break;
      }
      case onnx::AttributeProto::INTS:
        if (attribute.ints_size() == 0 || oneIn(4)) {
          attribute.add_ints(interestingInt(1));
        } else if (oneIn(4)) {
          attribute.mutable_ints()->RemoveLast();
        } else {
          const int i = static_cast<int>(below(attribute.ints_size()));
          attribute.set_ints(i, interestingInt(attribute.ints(i)));
        }
        break;
      case onnx::AttributeProto::FLOATS:
        if (attribute.floats_size() == 0 || oneIn(4)) {
          attribute.add_floats(interestingFloat(1.0f));
        } else {
          const int i = static_cast<int>(below(attribute.floats_size()));
          attribute.set_floats(i, interestingFloat(attribute.floats(i)));
        }
        break;
      case onnx::AttributeProto::TENSOR: {
        TensorProto& tensor = *attribute.mutable_t();
        if (tensor.dims_size() == 0 || oneIn(3)) {
          tensor.add_dims(smallDimension());
        } else {
          tensor.set_dims(static_cast<int>(below(tensor.dims_size())), smallDimension());
        }
        if (!tensor.has_data_type()) tensor.set_data_type(TensorProto::FLOAT);
        resizeData(tensor);
        break;
      }
      default: attribute.set_i(interestingInt(0)); break;
    }
  }

  // An attribute of `schema` (its type and name), set to some value.
  void addAttribute(onnx::NodeProto& node, const onnx::OpSchema::Attribute& known) {
    for (onnx::AttributeProto& attribute : *node.mutable_attribute()) {
      if (attribute.name() == known.name) return setAttributeValue(attribute);
    }
    onnx::AttributeProto* attribute = node.add_attribute();
    attribute->set_name(known.name);
    attribute->set_type(known.type);
    if (known.type == onnx::AttributeProto::GRAPH || known.type == onnx::AttributeProto::GRAPHS) {
      attribute->mutable_g()->set_name("fuzz_graph");
      return;
    }
    setAttributeValue(*attribute);
  }

  bool attribute() {
    if (nodes_.empty()) return false;
    onnx::NodeProto& node = *pick(nodes_);
    const onnx::OpSchema* schema = schemaOf(model_, node);
    if (schema != nullptr && !schema->attributes().empty() && (node.attribute_size() == 0 || oneIn(3))) {
      auto known = schema->attributes().begin();
      std::advance(known, static_cast<long>(below(schema->attributes().size())));
      addAttribute(node, known->second);
      return true;
    }
    if (node.attribute_size() == 0) return false;
    const int index = static_cast<int>(below(static_cast<size_t>(node.attribute_size())));
    if (oneIn(8)) {
      node.mutable_attribute()->SwapElements(index, node.attribute_size() - 1);
      node.mutable_attribute()->RemoveLast();
      return true;
    }
    setAttributeValue(*node.mutable_attribute(index));
    return true;
  }

  bool dimension() {
    if (values_.empty()) return false;
    onnx::TypeProto::Tensor& tensor = *pick(values_)->mutable_type()->mutable_tensor_type();
    onnx::TensorShapeProto& shape = *tensor.mutable_shape();
    const size_t choice = below(shape.dim_size() == 0 ? 1 : 5);
    if (choice == 0 && shape.dim_size() < 6) {
      shape.add_dim()->set_dim_value(smallDimension());
    } else if (choice == 1) {
      shape.mutable_dim()->RemoveLast();
    } else if (choice == 2) {
      shape.mutable_dim(static_cast<int>(below(shape.dim_size())))->set_dim_param("N");
    } else if (shape.dim_size() > 0) {
      shape.mutable_dim(static_cast<int>(below(shape.dim_size())))->set_dim_value(oneIn(8) ? -1 : smallDimension());
    } else {
      tensor.clear_shape();
    }
    return true;
  }

  bool elementType() {
    std::vector<onnx::AttributeProto*> casts;
    for (onnx::NodeProto* node : nodes_) {
      if (node->op_type() != "Cast") continue;
      for (onnx::AttributeProto& attribute : *node->mutable_attribute()) {
        if (attribute.name() == "to") casts.push_back(&attribute);
      }
    }
    const size_t choice = below(3);
    if (choice == 0 && !casts.empty()) {
      pick(casts)->set_i(anyElementType());
    } else if (choice == 1 && !tensors_.empty()) {
      TensorProto& tensor = *pick(tensors_);
      tensor.set_data_type(anyElementType());
      resizeData(tensor);
    } else if (!values_.empty()) {
      pick(values_)->mutable_type()->mutable_tensor_type()->set_elem_type(anyElementType());
    } else {
      return false;
    }
    return true;
  }

  bool initializerSize() {
    if (tensors_.empty()) return false;
    TensorProto& tensor = *pick(tensors_);
    const size_t choice = below(tensor.dims_size() == 0 ? 1 : 4);
    if (choice == 0 && tensor.dims_size() < 6) {
      tensor.add_dims(smallDimension());
    } else if (choice == 1) {
      tensor.mutable_dims()->RemoveLast();
    } else if (tensor.dims_size() > 0) {
      tensor.set_dims(static_cast<int>(below(tensor.dims_size())), smallDimension());
    }
    resizeData(tensor);
    return true;
  }

  bool addNode() {
    if (graphs_.empty()) return false;
    // The main graph mostly: what its nodes compute is what the run returns.
    onnx::GraphProto& graph = oneIn(4) ? *pick(graphs_) : *graphs_.front();
    const Operator& op = registeredOperators()[below(registeredOperators().size())];
    const onnx::OpSchema* schema =
        onnx::OpSchemaRegistry::Schema(op.name, importedVersion(model_, op.domain), normalDomain(op.domain));
    const int position = static_cast<int>(below(static_cast<size_t>(graph.node_size()) + 1));
    const std::vector<std::string> available = valueNames(&graph, position);
    onnx::NodeProto node;
    node.set_op_type(op.name);
    node.set_domain(op.domain);
    node.set_name("fuzz_" + std::to_string(below(1 << 20)));
    const int minInputs = schema != nullptr ? schema->min_input() : 1;
    const int maxInputs = schema != nullptr ? std::min(schema->max_input(), minInputs + 3) : 2;
    const int inputs = minInputs + static_cast<int>(below(static_cast<size_t>(std::max(maxInputs - minInputs, 0)) + 1));
    for (int i = 0; i < inputs; ++i)
      node.add_input(available.empty() || oneIn(16) ? "" : available[below(available.size())]);
    const int outputs = std::max(1, schema != nullptr ? schema->min_output() : 1);
    for (int i = 0; i < outputs; ++i) node.add_output(node.name() + "_out" + std::to_string(i));
    if (schema != nullptr) {
      for (const auto& [name, known] : schema->attributes()) {
        if (known.required) addAttribute(node, known);
      }
    }
    if (std::none_of(model_.opset_import().begin(), model_.opset_import().end(),
                     [&](const onnx::OperatorSetIdProto& imported) {
                       return normalDomain(imported.domain()) == normalDomain(op.domain);
                     })) {
      onnx::OperatorSetIdProto* imported = model_.add_opset_import();
      imported->set_domain(op.domain);
      imported->set_version(schema != nullptr ? schema->since_version() : 1);
    }
    // Shifted into place from the end.
    *graph.add_node() = std::move(node);
    for (int i = graph.node_size() - 1; i > position; --i) graph.mutable_node()->SwapElements(i, i - 1);
    if (oneIn(2)) {
      // What it computes is returned, so the engine cannot drop it as unused.
      onnx::ValueInfoProto* output = graph.add_output();
      output->set_name(graph.node(position).output(0));
    }
    return true;
  }

  bool dropNode() {
    if (nodeLists_.empty()) return false;
    auto& nodes = *pick(nodeLists_);
    const int index = static_cast<int>(below(static_cast<size_t>(nodes.size())));
    // The graph the node is in, found before the node goes: with it go the subgraphs it holds.
    onnx::GraphProto* owner = nullptr;
    for (onnx::GraphProto* graph : graphs_) {
      if (graph->mutable_node() == &nodes) owner = graph;
    }
    const onnx::NodeProto dropped = nodes.Get(index);
    nodes.DeleteSubrange(index, 1);
    graphs_.clear();
    nodes_.clear();
    tensors_.clear();
    values_.clear();
    nodeLists_.clear();
    // Its consumers (and outputs of the graph it computed) take its first input instead.
    const std::string replacement = dropped.input_size() > 0 ? dropped.input(0) : "";
    const std::set<std::string> gone(dropped.output().begin(), dropped.output().end());
    for (onnx::NodeProto& node : nodes) {
      for (std::string& input : *node.mutable_input()) {
        if (gone.count(input) != 0) input = replacement;
      }
    }
    if (owner != nullptr) {
      for (onnx::ValueInfoProto& output : *owner->mutable_output()) {
        if (gone.count(output.name()) != 0 && !replacement.empty()) output.set_name(replacement);
      }
    }
    return true;
  }

  bool swapOpType() {
    if (nodes_.empty()) return false;
    onnx::NodeProto& node = *pick(nodes_);
    // An operator of the node's own domain when there are any: its opset is imported.
    std::vector<const Operator*> candidates;
    for (const Operator& op : registeredOperators()) {
      if (normalDomain(op.domain) == normalDomain(node.domain())) candidates.push_back(&op);
    }
    if (candidates.empty()) return false;
    node.set_op_type(pick(candidates)->name);
    const onnx::OpSchema* schema = schemaOf(model_, node);
    if (schema == nullptr) return true;
    // Attributes the new operator does not know are dropped: the engine refuses them before anything else.
    google::protobuf::RepeatedPtrField<onnx::AttributeProto> kept;
    for (onnx::AttributeProto& attribute : *node.mutable_attribute()) {
      if (schema->attributes().count(attribute.name()) != 0) *kept.Add() = std::move(attribute);
    }
    node.mutable_attribute()->Swap(&kept);
    for (const auto& [name, known] : schema->attributes()) {
      if (known.required) addAttribute(node, known);
    }
    return true;
  }

  bool opset() {
    for (onnx::OperatorSetIdProto& imported : *model_.mutable_opset_import()) {
      if (!normalDomain(imported.domain()).empty()) continue;
      // Mostly the versions the engine runs without an upgrade, sometimes an older one it upgrades.
      imported.set_version(oneIn(4) ? static_cast<int64_t>(1 + below(6)) : static_cast<int64_t>(7 + below(15)));
      return true;
    }
    return false;
  }

  bool feed() {
    std::string bytes;
    const size_t length = 1 + below(64);
    switch (below(4)) {
      case 0:
        // The smallest 32-bit integers and -1: integer division's edge.
        for (size_t i = 0; i < length; ++i) bytes += oneIn(2) ? std::string("\x00\x00\x00\x80", 4) : "\xff\xff\xff\xff";
        break;
      case 1: bytes.assign(length, oneIn(2) ? '\0' : '\xff'); break;
      case 2:
        for (size_t i = 0; i < length; ++i) {
          const float value = interestingFloat(1.0f);
          bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
        }
        break;
      default:
        for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(below(256));
    }
    for (onnx::StringStringEntryProto& entry : *model_.mutable_metadata_props()) {
      if (entry.key() == kFeedKey) {
        entry.set_value(bytes);
        return true;
      }
    }
    onnx::StringStringEntryProto* entry = model_.add_metadata_props();
    entry->set_key(kFeedKey);
    entry->set_value(bytes);
    return true;
  }

  onnx::ModelProto& model_;
  std::mt19937& random_;
  std::vector<onnx::GraphProto*> graphs_;
  std::vector<google::protobuf::RepeatedPtrField<onnx::NodeProto>*> nodeLists_;
  std::vector<onnx::NodeProto*> nodes_;
  std::vector<TensorProto*> tensors_;
  std::vector<onnx::ValueInfoProto*> values_;
};

}  // namespace

bool OnnxMutator::apply(ModelMutation mutation, onnx::ModelProto& model) {
  // Applied to a copy, so that a mutation that finds nothing to change leaves the model as it was.
  onnx::ModelProto copy = model;
  if (!Mutation(copy, random_).apply(mutation)) return false;
  model.Swap(&copy);
  return true;
}

ModelMutation OnnxMutator::mutate(onnx::ModelProto& model) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const auto mutation =
        static_cast<ModelMutation>(std::uniform_int_distribution<int>(0, kModelMutationCount - 1)(random_));
    if (Mutation(model, random_).apply(mutation)) return mutation;
  }
  Mutation(model, random_).apply(ModelMutation::kFeed);
  return ModelMutation::kFeed;
}

size_t mutateSerializedModel(uint8_t* data, size_t size, size_t maxSize, unsigned seed,
                             size_t (*mutateBytes)(uint8_t* data, size_t size, size_t maxSize)) {
  onnx::ModelProto model;
  // One mutation in sixteen is of the bytes: the check's refusals of broken models are the engine's too.
  if (seed % 16 == 0 || size > static_cast<size_t>(INT_MAX) || !model.ParseFromArray(data, static_cast<int>(size)) ||
      !model.has_graph()) {
    return mutateBytes(data, size, maxSize);
  }
  OnnxMutator(seed).mutate(model);
  std::string bytes;
  if (!model.SerializeToString(&bytes) || bytes.size() > maxSize) return mutateBytes(data, size, maxSize);
  std::copy(bytes.begin(), bytes.end(), data);
  return bytes.size();
}

}  // namespace fuzz
}  // namespace ks
