// Walks an ONNX model with ONNX's own protobuf classes.
#include "ks_onnx_model_check.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include <onnx/onnx_pb.h>

namespace ks {
namespace server {
namespace {

using onnx::TensorProto;

[[noreturn]] void refuse(const std::string& where, const std::string& why) {
  throw std::invalid_argument("The network's tensor " + where + " " + why + ".");
}

// How the values of a tensor of element type `type` are stored: the bits of one value (4 for the packed
// 4-bit types; 0 for strings, which have no fixed size) and the repeated field that may hold them instead
// of raw_data. False for a type this check does not know.
enum class Field { kFloat, kInt32, kInt64, kDouble, kUint64, kString };
struct Storage {
  unsigned bits;
  Field field;
  unsigned valuesPerElement;  // 2 for the complex types, which store real and imaginary parts
};

bool storageOf(int32_t type, Storage* storage) {
  switch (type) {
    case TensorProto::FLOAT: *storage = {32, Field::kFloat, 1}; return true;
    case TensorProto::COMPLEX64: *storage = {64, Field::kFloat, 2}; return true;
    case TensorProto::DOUBLE: *storage = {64, Field::kDouble, 1}; return true;
    case TensorProto::COMPLEX128: *storage = {128, Field::kDouble, 2}; return true;
    case TensorProto::INT64: *storage = {64, Field::kInt64, 1}; return true;
    case TensorProto::UINT32: *storage = {32, Field::kUint64, 1}; return true;
    case TensorProto::UINT64: *storage = {64, Field::kUint64, 1}; return true;
    case TensorProto::INT32: *storage = {32, Field::kInt32, 1}; return true;
    case TensorProto::INT16:
    case TensorProto::UINT16:
    case TensorProto::FLOAT16:
    case TensorProto::BFLOAT16: *storage = {16, Field::kInt32, 1}; return true;
    case TensorProto::INT8:
    case TensorProto::UINT8:
    case TensorProto::BOOL:
    case 17:  // the four 8-bit float types, newer than the ONNX release whose definitions we compile
    case 18:
    case 19:
    case 20: *storage = {8, Field::kInt32, 1}; return true;
    case 21:  // UINT4, INT4 and FLOAT4E2M1: two values to a byte, also two to an int32_data entry
    case 22:
    case 23: *storage = {4, Field::kInt32, 1}; return true;
    case TensorProto::STRING: *storage = {0, Field::kString, 1}; return true;
    default: return false;
  }
}

int fieldSize(const TensorProto& tensor, Field field) {
  switch (field) {
    case Field::kFloat: return tensor.float_data_size();
    case Field::kInt32: return tensor.int32_data_size();
    case Field::kInt64: return tensor.int64_data_size();
    case Field::kDouble: return tensor.double_data_size();
    case Field::kUint64: return tensor.uint64_data_size();
    case Field::kString: return tensor.string_data_size();
  }
  return 0;
}

// The number of elements `dims` describe; `where` names the tensor in messages.
uint64_t elementCount(const google::protobuf::RepeatedField<int64_t>& dims, const std::string& where) {
  uint64_t count = 1;
  for (int64_t dim : dims) {
    if (dim < 0) refuse(where, "has the negative dimension " + std::to_string(dim));
    if (dim != 0 && count > static_cast<uint64_t>(INT64_MAX) / static_cast<uint64_t>(dim)) {
      refuse(where, "has more than 2^63 elements");
    }
    count *= static_cast<uint64_t>(dim);
  }
  return count;
}

// Checks `tensor` and returns its element count.
uint64_t checkTensor(const TensorProto& tensor, const std::string& where) {
  if (tensor.data_location() == TensorProto::EXTERNAL || tensor.external_data_size() != 0) {
    refuse(where, "refers to external data; this server takes a network as one file and opens no other");
  }
  if (tensor.has_segment()) refuse(where, "is segmented, which is not supported");
  Storage storage;
  if (!storageOf(tensor.data_type(), &storage)) {
    refuse(where, "has the unknown element type " + std::to_string(tensor.data_type()));
  }
  const uint64_t count = elementCount(tensor.dims(), where);
  // Beyond this no message of protobuf's 2 GiB can hold the values, and the sizes below cannot overflow.
  if (count > (uint64_t{1} << 40)) refuse(where, "has " + std::to_string(count) + " elements, more than it can hold");
  if (tensor.has_raw_data()) {
    if (storage.bits == 0) refuse(where, "holds strings as raw data, which ONNX does not allow");
    const uint64_t expected = storage.bits == 4 ? (count + 1) / 2 : count * (storage.bits / 8);
    if (tensor.raw_data().size() != expected) {
      refuse(where, "holds " + std::to_string(tensor.raw_data().size()) + " bytes of data where its dimensions say " +
                        std::to_string(expected));
    }
    return count;
  }
  const uint64_t values = static_cast<uint64_t>(fieldSize(tensor, storage.field));
  // Packed 4-bit values sit two to an int32_data entry.
  const uint64_t expected = storage.bits == 4 ? (count + 1) / 2 : count * storage.valuesPerElement;
  if (values != expected) {
    refuse(where, "holds " + std::to_string(values) + " values where its dimensions say " + std::to_string(expected));
  }
  return count;
}

// The index at `i` of an int64 indices tensor that checkTensor() accepted.
int64_t indexAt(const TensorProto& indices, uint64_t i) {
  if (!indices.has_raw_data()) return indices.int64_data(static_cast<int>(i));
  int64_t value;
  std::memcpy(&value, indices.raw_data().data() + i * 8, 8);  // ONNX stores raw data little-endian
  return value;
}

void checkSparseTensor(const onnx::SparseTensorProto& sparse, const std::string& where) {
  const std::string name = "'" + sparse.values().name() + "' (" + where + ")";
  const uint64_t dense = elementCount(sparse.dims(), name);
  const uint64_t valueCount = checkTensor(sparse.values(), name + " values");
  if (sparse.values().dims_size() != 1) refuse(name, "has values that are not one-dimensional");
  const TensorProto& indices = sparse.indices();
  const uint64_t indexCount = checkTensor(indices, name + " indices");
  if (indices.data_type() != TensorProto::INT64) refuse(name, "has indices that are not int64");

  // Either one linear index per value, or one row of coordinates per value.
  const bool linear = indices.dims_size() == 1;
  const uint64_t rank = static_cast<uint64_t>(sparse.dims_size());
  if (!(linear && indexCount == valueCount) &&
      !(indices.dims_size() == 2 && static_cast<uint64_t>(indices.dims(0)) == valueCount &&
        static_cast<uint64_t>(indices.dims(1)) == rank)) {
    refuse(name, "has indices whose shape does not match its values and dimensions");
  }
  for (uint64_t i = 0; i < indexCount; ++i) {
    const int64_t index = indexAt(indices, i);
    const uint64_t bound = linear ? dense : static_cast<uint64_t>(sparse.dims(static_cast<int>(i % rank)));
    if (index < 0 || static_cast<uint64_t>(index) >= bound) {
      refuse(name, "has the index " + std::to_string(index) + " outside its dense shape");
    }
  }
}

void checkGraph(const onnx::GraphProto& graph, int depth);

void checkNodes(const google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes, int depth) {
  for (const onnx::NodeProto& node : nodes) {
    // A loop whose body computes nothing runs for as long as its trip count says, and the engine checks
    // its time limit between nodes only: there are none to check between.
    const bool defaultDomain = node.domain().empty() || node.domain() == "ai.onnx";
    if (defaultDomain && node.op_type() == "Loop") {
      for (const onnx::AttributeProto& attribute : node.attribute()) {
        if (attribute.name() == "body" && attribute.has_g() && attribute.g().node_size() == 0) {
          throw std::invalid_argument("The Loop node '" + node.name() +
                                      "' has a body without a node; it would compute nothing for as long as its "
                                      "trip count says.");
        }
      }
    }
    for (const onnx::AttributeProto& attribute : node.attribute()) {
      const std::string where =
          "in attribute '" + attribute.name() + "' of node '" + node.name() + "' (" + node.op_type() + ")";
      if (attribute.has_t()) checkTensor(attribute.t(), "'" + attribute.t().name() + "' " + where);
      for (const TensorProto& tensor : attribute.tensors()) checkTensor(tensor, "'" + tensor.name() + "' " + where);
      if (attribute.has_sparse_tensor()) checkSparseTensor(attribute.sparse_tensor(), where);
      for (const onnx::SparseTensorProto& sparse : attribute.sparse_tensors()) checkSparseTensor(sparse, where);
      if (attribute.has_g()) checkGraph(attribute.g(), depth + 1);
      for (const onnx::GraphProto& graph : attribute.graphs()) checkGraph(graph, depth + 1);
    }
  }
}

void checkGraph(const onnx::GraphProto& graph, int depth) {
  // protobuf stops parsing at 100 nested messages; this only keeps the walk's own stack small and bounded.
  if (depth > 64) throw std::invalid_argument("The network nests subgraphs more than 64 deep.");
  for (const TensorProto& tensor : graph.initializer()) checkTensor(tensor, "'" + tensor.name() + "'");
  for (const onnx::SparseTensorProto& sparse : graph.sparse_initializer()) checkSparseTensor(sparse, "initializer");
  checkNodes(graph.node(), depth);
}

// The engine inlines the model's own functions into one another recursively while loading: a chain of
// thousands of them ends the process for want of stack, and one that calls itself never ends.
void checkFunctionDepth(const onnx::ModelProto& model) {
  constexpr int kMaxDepth = 64;
  std::map<std::pair<std::string, std::string>, const onnx::FunctionProto*> functions;
  for (const onnx::FunctionProto& function : model.functions()) {
    functions[{function.domain(), function.name()}] = &function;
  }
  if (functions.empty()) return;
  // Depth of calls below each function, computed once each; -1 while it is being computed. `level` bounds
  // the walk's own recursion as it goes down.
  std::map<const onnx::FunctionProto*, int> depthOf;
  const std::function<int(const onnx::FunctionProto&, int)> depth = [&](const onnx::FunctionProto& function,
                                                                        int level) {
    if (level > kMaxDepth) {
      throw std::invalid_argument("The network's functions call one another more than " + std::to_string(kMaxDepth) +
                                  " deep.");
    }
    const auto known = depthOf.find(&function);
    if (known != depthOf.end()) {
      if (known->second < 0)
        throw std::invalid_argument("The network's function '" + function.name() + "' calls itself.");
      if (level + known->second > kMaxDepth) depth(function, kMaxDepth + 1);
      return known->second;
    }
    depthOf[&function] = -1;
    int deepest = 0;
    for (const onnx::NodeProto& node : function.node()) {
      const auto called = functions.find({node.domain(), node.op_type()});
      if (called != functions.end()) deepest = std::max(deepest, depth(*called->second, level + 1) + 1);
    }
    depthOf[&function] = deepest;
    return deepest;
  };
  for (const auto& entry : functions) depth(*entry.second, 0);
}

}  // namespace

OnnxModelSummary checkOnnxModel(std::string_view modelBytes) {
  if (modelBytes.empty()) throw std::invalid_argument("Not an ONNX model: the data is empty.");
  if (modelBytes.size() > static_cast<size_t>(INT_MAX)) {
    throw std::invalid_argument("Not an ONNX model: protobuf messages are limited to 2 GiB.");
  }
  onnx::ModelProto model;
  if (!model.ParseFromArray(modelBytes.data(), static_cast<int>(modelBytes.size()))) {
    throw std::invalid_argument("Not an ONNX model: the data is not a valid ONNX protobuf message.");
  }
  // Arbitrary bytes occasionally parse as a message of unknown fields; every real model states its IR
  // version.
  if (!model.has_ir_version()) throw std::invalid_argument("Not an ONNX model: it states no IR version.");
  if (!model.has_graph()) throw std::invalid_argument("The ONNX model has no graph.");
  checkGraph(model.graph(), 0);
  // The engine checks what it is fed against the rank an input declares, and some of its kernels end the
  // process when they meet a rank they do not expect: an input without a declared rank could be fed one.
  std::set<std::string> initializers;
  for (const TensorProto& tensor : model.graph().initializer()) initializers.insert(tensor.name());
  for (const onnx::ValueInfoProto& input : model.graph().input()) {
    if (initializers.count(input.name()) != 0) continue;
    if (input.type().has_tensor_type() && !input.type().tensor_type().has_shape()) {
      throw std::invalid_argument("The network's input '" + input.name() +
                                  "' does not declare its rank; this server runs networks whose inputs do.");
    }
  }
  for (const onnx::FunctionProto& function : model.functions()) checkNodes(function.node(), 1);
  checkFunctionDepth(model);
  OnnxModelSummary summary;
  for (const onnx::OperatorSetIdProto& imported : model.opset_import()) {
    if (imported.domain().empty() || imported.domain() == "ai.onnx") summary.defaultOpset = imported.version();
  }
  for (const onnx::NodeProto& node : model.graph().node()) {
    const bool standard = node.domain().empty() || node.domain() == "ai.onnx";
    summary.operators.insert(standard ? node.op_type() : node.domain() + ":" + node.op_type());
  }
  return summary;
}

}  // namespace server
}  // namespace ks
