#include "ks_onnx_network.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "ks_engine_error.h"
#include "ks_onnx_model_check.h"
#include "ks_onnx_preparation.h"
#include "ks_onnx_runtime.h"

namespace ks {
namespace server {
namespace {

OnnxValueInfo describe(std::string name, const Ort::TypeInfo& type) {
  OnnxValueInfo info;
  info.name = std::move(name);
  switch (type.GetONNXType()) {
    case ONNX_TYPE_TENSOR: break;
    case ONNX_TYPE_SEQUENCE: info.typeName = "sequence"; return info;
    case ONNX_TYPE_MAP: info.typeName = "map"; return info;
    case ONNX_TYPE_OPTIONAL: info.typeName = "optional"; return info;
    case ONNX_TYPE_SPARSETENSOR: info.typeName = "sparse tensor"; return info;
    default: info.typeName = "non-tensor value"; return info;
  }
  const auto tensor = type.GetTensorTypeAndShapeInfo();
  info.dataType = fromOnnxElementType(tensor.GetElementType());
  info.typeName = onnxElementTypeName(tensor.GetElementType());
  info.dims = tensor.GetShape();
  for (int64_t& dim : info.dims) {
    if (dim < 0) dim = -1;
  }
  return info;
}

}  // namespace

OnnxNetwork::OnnxNetwork(std::string_view modelBytes, MemoryBudgetRef budget, bool sequentialCopy)
    : budget_(std::move(budget)) {
  std::optional<PreparedModel> prepared;
  try {
    prepared = prepareForEngine(modelBytes, checkOnnxModel(modelBytes));
  } catch (const std::invalid_argument& e) {
    throw EngineError(EngineError::Kind::kBadNetwork, e.what());
  } catch (const std::bad_alloc&) {
    throw EngineError(EngineError::Kind::kOverBudget, "preparing the network needs more memory than the server has");
  }
  if (prepared) {
    modelBytes = prepared->bytes;
    changes_ = std::move(prepared->changes);
  }
  // The engine keeps the weights in memory of its own, which no allocator of ours sees: they are charged
  // at the size they have in the model, what the allocator sees during the load comes on top.
  const std::string overBudget = "loading the network needs more than the " + std::to_string(budget_->limit() >> 20) +
                                 " MiB of memory one network may hold";
  if (!budget_->charge(modelBytes.size())) throw EngineError(EngineError::Kind::kOverBudget, overBudget);
  weightBytes_ = modelBytes.size();
  OnnxRuntime& runtime = OnnxRuntime::instance();
  try {
    Ort::SessionOptions options = runtime.sessionOptions();
    // Constant folding may compute tensors of any size while loading; larger ones are left to the runs.
    const size_t foldLimit = budget_->limit() == 0 ? size_t{1} << 30 : std::min(budget_->limit(), size_t{1} << 30);
    options.AddConfigEntry("optimization.constant_folding_max_output_size_in_bytes", std::to_string(foldLimit).c_str());
    MemoryBudgetScope charged(budget_.get());
    session_ = Ort::Session(runtime.env(), modelBytes.data(), modelBytes.size(), options);
    if (sequentialCopy) {
      Ort::SessionOptions alone = runtime.sequentialSessionOptions();
      alone.AddConfigEntry("optimization.constant_folding_max_output_size_in_bytes", std::to_string(foldLimit).c_str());
      sequential_ = Ort::Session(runtime.env(), modelBytes.data(), modelBytes.size(), alone);
    }
    Ort::AllocatorWithDefaultOptions names;
    for (size_t i = 0; i < session_.GetInputCount(); ++i) {
      inputs_.push_back(describe(session_.GetInputNameAllocated(i, names).get(), session_.GetInputTypeInfo(i)));
    }
    for (size_t i = 0; i < session_.GetOutputCount(); ++i) {
      outputs_.push_back(describe(session_.GetOutputNameAllocated(i, names).get(), session_.GetOutputTypeInfo(i)));
    }
  } catch (const Ort::Exception& e) {
    budget_->refund(weightBytes_);
    if (budget_->exceeded()) throw EngineError(EngineError::Kind::kOverBudget, overBudget);
    throw EngineError(EngineError::Kind::kBadNetwork, e.what());
  } catch (const std::bad_alloc&) {
    budget_->refund(weightBytes_);
    throw EngineError(EngineError::Kind::kOverBudget, "loading the network needs more memory than the server has");
  }
}

OnnxNetwork::~OnnxNetwork() {
  sequential_ = Ort::Session(nullptr);
  session_ = Ort::Session(nullptr);  // frees what the engine allocated before the weights are refunded
  budget_->refund(weightBytes_);
}

std::vector<Ort::Value> OnnxNetwork::run(const Ort::RunOptions& options, bool parallel,
                                         const std::vector<const char*>& inputNames,
                                         const std::vector<Ort::Value>& inputs,
                                         const std::vector<const char*>& outputNames) const {
  // Run is const in ONNX Runtime's sense (thread-safe), though its C++ wrapper is not marked so.
  auto& session = const_cast<Ort::Session&>(parallel || !sequential_ ? session_ : sequential_);
  return session.Run(options, inputNames.data(), inputs.data(), inputs.size(), outputNames.data(), outputNames.size());
}

ONNXTensorElementDataType toOnnxElementType(TensorDataType type) {
  switch (type) {
    case TensorDataType::kFloat32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    case TensorDataType::kFloat16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    case TensorDataType::kInt32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32;
    case TensorDataType::kInt16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16;
    case TensorDataType::kInt8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8;
    case TensorDataType::kUInt8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
    case TensorDataType::kInt64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64;
  }
  return ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
}

std::optional<TensorDataType> fromOnnxElementType(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return TensorDataType::kFloat32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return TensorDataType::kFloat16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return TensorDataType::kInt32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return TensorDataType::kInt16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return TensorDataType::kInt8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return TensorDataType::kUInt8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return TensorDataType::kInt64;
    default: return std::nullopt;
  }
}

std::string onnxElementTypeName(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return "uint16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return "int16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: return "string";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "bool";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "double";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return "uint32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return "uint64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return "complex64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return "complex128";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return "bfloat16";
    default: return "element type " + std::to_string(static_cast<int>(type));
  }
}

}  // namespace server
}  // namespace ks
