// ONNX models written by tests, a node at a time, with ONNX's own protobuf classes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <onnx/onnx_pb.h>

namespace ks {
namespace server {
namespace testing {

// A dimension as a test writes it: an extent or a symbolic name.
struct Dim {
  Dim(int64_t extent) : value(extent) {}      // NOLINT: implicit on purpose, so shapes read like {1, 3}
  Dim(int extent) : value(extent) {}          // NOLINT
  Dim(const char* symbol) : param(symbol) {}  // NOLINT
  std::optional<int64_t> value;
  std::string param;
};

class OnnxModelBuilder {
 public:
  explicit OnnxModelBuilder(int64_t opset = 13) {
    model_.set_ir_version(8);
    model_.add_opset_import()->set_version(opset);
    model_.mutable_graph()->set_name("test");
  }

  OnnxModelBuilder& input(const std::string& name, int32_t type, const std::vector<Dim>& dims) {
    declare(model_.mutable_graph()->add_input(), name, type, dims);
    return *this;
  }
  OnnxModelBuilder& output(const std::string& name, int32_t type, const std::vector<Dim>& dims) {
    declare(model_.mutable_graph()->add_output(), name, type, dims);
    return *this;
  }
  // An output whose rank the graph leaves open.
  OnnxModelBuilder& outputOfAnyShape(const std::string& name, int32_t type) {
    onnx::ValueInfoProto* value = model_.mutable_graph()->add_output();
    value->set_name(name);
    value->mutable_type()->mutable_tensor_type()->set_elem_type(type);
    return *this;
  }
  onnx::NodeProto& node(const std::string& op, const std::vector<std::string>& inputs,
                        const std::vector<std::string>& outputs) {
    onnx::NodeProto* node = model_.mutable_graph()->add_node();
    node->set_op_type(op);
    for (const std::string& name : inputs) node->add_input(name);
    for (const std::string& name : outputs) node->add_output(name);
    return *node;
  }
  // An initializer holding `raw` as its bytes, whatever its dimensions say.
  onnx::TensorProto& initializer(const std::string& name, int32_t type, const std::vector<int64_t>& dims,
                                 const std::string& raw) {
    onnx::TensorProto* tensor = model_.mutable_graph()->add_initializer();
    fillTensor(tensor, name, type, dims, raw);
    return *tensor;
  }
  template <typename T>
  onnx::TensorProto& initializer(const std::string& name, int32_t type, const std::vector<int64_t>& dims,
                                 const std::vector<T>& values) {
    return initializer(name, type, dims,
                       std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)));
  }

  onnx::ModelProto& model() { return model_; }
  std::string bytes() const { return model_.SerializeAsString(); }

  static void fillTensor(onnx::TensorProto* tensor, const std::string& name, int32_t type,
                         const std::vector<int64_t>& dims, const std::string& raw) {
    tensor->set_name(name);
    tensor->set_data_type(type);
    for (int64_t dim : dims) tensor->add_dims(dim);
    tensor->set_raw_data(raw);
  }

 private:
  static void declare(onnx::ValueInfoProto* value, const std::string& name, int32_t type,
                      const std::vector<Dim>& dims) {
    value->set_name(name);
    onnx::TypeProto::Tensor* tensor = value->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(type);
    onnx::TensorShapeProto* shape = tensor->mutable_shape();
    for (const Dim& dim : dims) {
      onnx::TensorShapeProto::Dimension* d = shape->add_dim();
      if (dim.value) d->set_dim_value(*dim.value);
      if (!dim.param.empty()) d->set_dim_param(dim.param);
    }
  }

  onnx::ModelProto model_;
};

}  // namespace testing
}  // namespace server
}  // namespace ks
