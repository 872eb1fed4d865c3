// Reads the interface of an ONNX model with ONNX's own protobuf classes.
#include "ks_onnx_graph.h"

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <unordered_set>

#include "onnx/onnx.pb.h"

namespace ks {
namespace server {
namespace {

constexpr int kMaxDimensions = 4;

std::string onnxTypeName(int32_t elemType) {
  if (onnx::TensorProto_DataType_IsValid(elemType)) {
    return onnx::TensorProto_DataType_Name(static_cast<onnx::TensorProto_DataType>(elemType));
  }
  return "code " + std::to_string(elemType);
}

// Our data type for ONNX's element type `elemType`; false for one we have no counterpart for.
bool toDataType(int32_t elemType, TensorDataType* type) {
  switch (elemType) {
    case onnx::TensorProto::FLOAT: *type = TensorDataType::kFloat32; return true;
    case onnx::TensorProto::FLOAT16: *type = TensorDataType::kFloat16; return true;
    case onnx::TensorProto::INT32: *type = TensorDataType::kInt32; return true;
    case onnx::TensorProto::INT16: *type = TensorDataType::kInt16; return true;
    case onnx::TensorProto::INT8: *type = TensorDataType::kInt8; return true;
    case onnx::TensorProto::UINT8: *type = TensorDataType::kUInt8; return true;
    case onnx::TensorProto::INT64: *type = TensorDataType::kInt64; return true;
    default: return false;
  }
}

// `kind` is "input" or "output"; used only in messages.
OnnxValue describe(const onnx::ValueInfoProto& value, const char* kind) {
  const std::string where = std::string("ONNX graph ") + kind + " '" + value.name() + "'";
  if (!value.type().has_tensor_type()) {
    throw std::invalid_argument(where + " is not a tensor.");
  }
  const onnx::TypeProto::Tensor& tensor = value.type().tensor_type();

  TensorDataType dataType;
  if (!toDataType(tensor.elem_type(), &dataType)) {
    throw std::invalid_argument(where + " has element type " + onnxTypeName(tensor.elem_type()) +
                                ", which is not supported.");
  }
  if (!tensor.has_shape()) {
    throw std::invalid_argument(where + " has no shape.");
  }
  const onnx::TensorShapeProto& shape = tensor.shape();
  if (shape.dim_size() > kMaxDimensions) {
    throw std::invalid_argument(where + " has " + std::to_string(shape.dim_size()) +
                                " dimensions; at most 4 are supported.");
  }

  TensorSize size;
  for (const onnx::TensorShapeProto::Dimension& dim : shape.dim()) {
    // A symbolic or missing extent is almost always the batch: the server runs one sample at a time.
    int64_t extent = dim.has_dim_value() ? dim.dim_value() : 1;
    if (extent < 0 || extent > INT32_MAX) {
      throw std::invalid_argument(where + " has dimension " + std::to_string(extent) +
                                  ", outside 0.." + std::to_string(INT32_MAX) + ".");
    }
    size.pushBack(static_cast<int32_t>(extent));
  }
  if (size.empty()) size.pushBack(1);

  const TensorFormat format = size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain;
  return OnnxValue{value.name(), TensorLayout(dataType, format, size, TensorSize(), TensorChannelOrder::kNone)};
}

void checkUniqueNames(const std::vector<OnnxValue>& values, const char* kind) {
  std::unordered_set<std::string> seen;
  for (const OnnxValue& value : values) {
    if (value.name.empty()) {
      throw std::invalid_argument(std::string("The ONNX graph has an ") + kind + " without a name.");
    }
    if (!seen.insert(value.name).second) {
      throw std::invalid_argument(std::string("The ONNX graph has two ") + kind + "s named '" + value.name + "'.");
    }
  }
}

}  // namespace

OnnxGraph parse_onnx_graph(const std::string& modelBytes) {
  if (modelBytes.empty()) {
    throw std::invalid_argument("Not an ONNX model: the data is empty.");
  }
  if (modelBytes.size() > static_cast<size_t>(INT_MAX)) {
    throw std::invalid_argument("Not an ONNX model: protobuf messages are limited to 2 GiB.");
  }
  onnx::ModelProto model;
  if (!model.ParseFromArray(modelBytes.data(), static_cast<int>(modelBytes.size()))) {
    throw std::invalid_argument("Not an ONNX model: the data is not a valid ONNX protobuf message.");
  }
  // Arbitrary bytes occasionally parse as a message of unknown fields; every real model states its IR
  // version.
  if (!model.has_ir_version()) {
    throw std::invalid_argument("Not an ONNX model: it states no IR version.");
  }
  if (!model.has_graph()) {
    throw std::invalid_argument("The ONNX model has no graph.");
  }
  const onnx::GraphProto& graph = model.graph();

  std::unordered_set<std::string> initializers;
  for (const onnx::TensorProto& tensor : graph.initializer()) initializers.insert(tensor.name());
  for (const onnx::SparseTensorProto& tensor : graph.sparse_initializer()) {
    initializers.insert(tensor.values().name());
  }

  OnnxGraph result;
  for (const onnx::ValueInfoProto& value : graph.input()) {
    // Older exporters list the weights among the inputs too; they are constants, not things to feed.
    if (initializers.count(value.name()) != 0) continue;
    result.inputs.push_back(describe(value, "input"));
  }
  for (const onnx::ValueInfoProto& value : graph.output()) {
    result.outputs.push_back(describe(value, "output"));
  }
  if (result.outputs.empty()) {
    throw std::invalid_argument("The ONNX graph has no outputs.");
  }
  checkUniqueNames(result.inputs, "input");
  checkUniqueNames(result.outputs, "output");
  return result;
}

}  // namespace server
}  // namespace ks
