#include "ks_onnx_graph.h"

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/onnx.pb.h"
#include "support/expect_throw.h"

namespace ks {
namespace server {
namespace {

// A dimension as a test writes it: an extent, a symbolic name, or left unset.
struct Dim {
  Dim(int64_t extent) : value(extent) {}  // NOLINT: implicit on purpose, so shapes read like {1, 3}
  Dim(const char* symbol) : param(symbol) {}  // NOLINT
  static Dim unset() { return Dim(""); }
  std::optional<int64_t> value;
  std::string param;
};

void setTensorType(onnx::ValueInfoProto* value, const std::string& name, int32_t elemType,
                   const std::vector<Dim>& dims) {
  value->set_name(name);
  onnx::TypeProto::Tensor* tensor = value->mutable_type()->mutable_tensor_type();
  tensor->set_elem_type(elemType);
  onnx::TensorShapeProto* shape = tensor->mutable_shape();
  for (const Dim& dim : dims) {
    onnx::TensorShapeProto::Dimension* d = shape->add_dim();
    if (dim.value) d->set_dim_value(*dim.value);
    if (!dim.param.empty()) d->set_dim_param(dim.param);
  }
}

// A model whose graph has input "x" and output "y" of the given types and shapes; no nodes, since only
// the interface is read.
onnx::ModelProto model(int32_t inType, const std::vector<Dim>& inDims, int32_t outType = onnx::TensorProto::FLOAT,
                       const std::vector<Dim>& outDims = {1}) {
  onnx::ModelProto m;
  m.set_ir_version(7);
  setTensorType(m.mutable_graph()->add_input(), "x", inType, inDims);
  setTensorType(m.mutable_graph()->add_output(), "y", outType, outDims);
  return m;
}

OnnxGraph parse(const onnx::ModelProto& m) { return parse_onnx_graph(m.SerializeAsString()); }

std::string parseError(const onnx::ModelProto& m) {
  return ks::testing::thrownMessage<std::invalid_argument>([&] { parse(m); });
}

TensorLayout layout(TensorDataType type, TensorFormat format, const TensorSize& size) {
  return TensorLayout(type, format, size, TensorSize(), TensorChannelOrder::kNone);
}

TEST(OnnxGraph, MapsEachSupportedElementTypeOnInputsAndOutputs) {
  const std::vector<std::pair<int32_t, TensorDataType>> types = {
      {onnx::TensorProto::FLOAT, TensorDataType::kFloat32}, {onnx::TensorProto::FLOAT16, TensorDataType::kFloat16},
      {onnx::TensorProto::INT32, TensorDataType::kInt32},   {onnx::TensorProto::INT16, TensorDataType::kInt16},
      {onnx::TensorProto::INT8, TensorDataType::kInt8},     {onnx::TensorProto::UINT8, TensorDataType::kUInt8},
      {onnx::TensorProto::INT64, TensorDataType::kInt64},
  };
  for (const auto& [onnxType, ksType] : types) {
    const OnnxGraph graph = parse(model(onnxType, {2, 3}, onnxType, {6}));
    ASSERT_EQ(graph.inputs.size(), 1u);
    ASSERT_EQ(graph.outputs.size(), 1u);
    EXPECT_EQ(graph.inputs[0].layout, layout(ksType, TensorFormat::kPlain, {2, 3})) << onnxType;
    EXPECT_EQ(graph.outputs[0].layout, layout(ksType, TensorFormat::kPlain, {6})) << onnxType;
  }
}

TEST(OnnxGraph, RefusesElementTypesWithoutCounterpartNamingTheValue) {
  EXPECT_EQ(parseError(model(onnx::TensorProto::DOUBLE, {1})),
            "ONNX graph input 'x' has element type DOUBLE, which is not supported.");
  EXPECT_EQ(parseError(model(onnx::TensorProto::STRING, {1})),
            "ONNX graph input 'x' has element type STRING, which is not supported.");
  EXPECT_EQ(parseError(model(onnx::TensorProto::FLOAT, {1}, onnx::TensorProto::BOOL)),
            "ONNX graph output 'y' has element type BOOL, which is not supported.");
  EXPECT_EQ(parseError(model(onnx::TensorProto::UNDEFINED, {1})),
            "ONNX graph input 'x' has element type UNDEFINED, which is not supported.");
  EXPECT_EQ(parseError(model(999, {1})), "ONNX graph input 'x' has element type code 999, which is not supported.");
}

TEST(OnnxGraph, FourDimensionsAreNchwAndFewerArePlain) {
  EXPECT_EQ(parse(model(onnx::TensorProto::FLOAT, {1, 3, 8, 8})).inputs[0].layout,
            layout(TensorDataType::kFloat32, TensorFormat::kNchw, {1, 3, 8, 8}));
  EXPECT_EQ(parse(model(onnx::TensorProto::FLOAT, {1, 3, 8})).inputs[0].layout,
            layout(TensorDataType::kFloat32, TensorFormat::kPlain, {1, 3, 8}));
  EXPECT_EQ(parse(model(onnx::TensorProto::FLOAT, {7})).inputs[0].layout,
            layout(TensorDataType::kFloat32, TensorFormat::kPlain, {7}));
}

TEST(OnnxGraph, SymbolicAndUnsetDimensionsCountAsOne) {
  EXPECT_EQ(parse(model(onnx::TensorProto::FLOAT, {"batch", 3, Dim::unset(), 5})).inputs[0].layout,
            layout(TensorDataType::kFloat32, TensorFormat::kNchw, {1, 3, 1, 5}));
}

TEST(OnnxGraph, ScalarBecomesOneDimensionOfOne) {
  EXPECT_EQ(parse(model(onnx::TensorProto::INT64, {})).inputs[0].layout,
            layout(TensorDataType::kInt64, TensorFormat::kPlain, {1}));
}

TEST(OnnxGraph, KeepsZeroExtentsAndRefusesExtentsOutside32Bits) {
  EXPECT_EQ(parse(model(onnx::TensorProto::FLOAT, {1, int64_t{0}})).inputs[0].layout,
            layout(TensorDataType::kFloat32, TensorFormat::kPlain, {1, 0}));
  EXPECT_EQ(parseError(model(onnx::TensorProto::FLOAT, {1, int64_t{1} << 31})),
            "ONNX graph input 'x' has dimension 2147483648, outside 0..2147483647.");
  EXPECT_EQ(parseError(model(onnx::TensorProto::FLOAT, {1}, onnx::TensorProto::FLOAT, {1, -3})),
            "ONNX graph output 'y' has dimension -3, outside 0..2147483647.");
}

TEST(OnnxGraph, RefusesMoreThanFourDimensions) {
  EXPECT_EQ(parseError(model(onnx::TensorProto::FLOAT, {1, 1, 1, 1, 1})),
            "ONNX graph input 'x' has 5 dimensions; at most 4 are supported.");
}

TEST(OnnxGraph, RefusesValuesWithoutTensorTypeOrShape) {
  onnx::ModelProto sequence = model(onnx::TensorProto::FLOAT, {1});
  sequence.mutable_graph()->mutable_input(0)->mutable_type()->mutable_sequence_type();
  EXPECT_EQ(parseError(sequence), "ONNX graph input 'x' is not a tensor.");

  onnx::ModelProto unknownRank = model(onnx::TensorProto::FLOAT, {1});
  unknownRank.mutable_graph()->mutable_output(0)->mutable_type()->mutable_tensor_type()->clear_shape();
  EXPECT_EQ(parseError(unknownRank), "ONNX graph output 'y' has no shape.");
}

TEST(OnnxGraph, LeavesOutInputsThatAreInitializersAndKeepsGraphOrder) {
  onnx::ModelProto m = model(onnx::TensorProto::FLOAT, {1, 4});
  onnx::GraphProto* graph = m.mutable_graph();
  setTensorType(graph->add_input(), "weight", onnx::TensorProto::FLOAT, {4, 4});
  graph->add_initializer()->set_name("weight");
  setTensorType(graph->add_input(), "mask", onnx::TensorProto::UINT8, {1, 4});
  setTensorType(graph->add_input(), "sparse", onnx::TensorProto::FLOAT, {4});
  graph->add_sparse_initializer()->mutable_values()->set_name("sparse");
  setTensorType(graph->add_output(), "z", onnx::TensorProto::INT32, {2});

  const OnnxGraph parsed = parse(m);
  ASSERT_EQ(parsed.inputs.size(), 2u);
  EXPECT_EQ(parsed.inputs[0].name, "x");
  EXPECT_EQ(parsed.inputs[1].name, "mask");
  EXPECT_EQ(parsed.inputs[1].layout, layout(TensorDataType::kUInt8, TensorFormat::kPlain, {1, 4}));
  ASSERT_EQ(parsed.outputs.size(), 2u);
  EXPECT_EQ(parsed.outputs[0].name, "y");
  EXPECT_EQ(parsed.outputs[1].name, "z");
}

TEST(OnnxGraph, RefusesGraphsWithoutOutputsOrWithMissingOrRepeatedNames) {
  onnx::ModelProto noOutputs = model(onnx::TensorProto::FLOAT, {1});
  noOutputs.mutable_graph()->clear_output();
  EXPECT_EQ(parseError(noOutputs), "The ONNX graph has no outputs.");

  onnx::ModelProto unnamed = model(onnx::TensorProto::FLOAT, {1});
  unnamed.mutable_graph()->mutable_input(0)->clear_name();
  EXPECT_EQ(parseError(unnamed), "The ONNX graph has an input without a name.");

  onnx::ModelProto repeated = model(onnx::TensorProto::FLOAT, {1});
  setTensorType(repeated.mutable_graph()->add_output(), "y", onnx::TensorProto::FLOAT, {1});
  EXPECT_EQ(parseError(repeated), "The ONNX graph has two outputs named 'y'.");
}

TEST(OnnxGraph, RefusesBytesThatAreNotAModel) {
  EXPECT_THROW_MSG(parse_onnx_graph(""), std::invalid_argument, "Not an ONNX model: the data is empty.");
  EXPECT_THROW_MSG(parse_onnx_graph("hello, this is plain text\n"), std::invalid_argument,
                   "Not an ONNX model: the data is not a valid ONNX protobuf message.");

  onnx::ModelProto noVersion = model(onnx::TensorProto::FLOAT, {1});
  noVersion.clear_ir_version();
  EXPECT_EQ(parseError(noVersion), "Not an ONNX model: it states no IR version.");

  onnx::ModelProto noGraph;
  noGraph.set_ir_version(7);
  EXPECT_EQ(parseError(noGraph), "The ONNX model has no graph.");
}

TEST(OnnxGraph, RefusesEveryTruncationOfAValidModel) {
  const std::string bytes = model(onnx::TensorProto::FLOAT, {1, 3, 8, 8}).SerializeAsString();
  // Cutting inside the graph leaves a length prefix that runs past the end; cutting before it leaves no graph.
  for (size_t length = 1; length < bytes.size(); ++length) {
    EXPECT_THROW(parse_onnx_graph(bytes.substr(0, length)), std::invalid_argument) << length;
  }
}

TEST(OnnxGraph, RandomBytesNeverCrashAndAreRefused) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 2000; ++trial) {
    std::string bytes(1 + random() % 256, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    EXPECT_THROW(parse_onnx_graph(bytes), std::invalid_argument) << trial;
  }
}

}  // namespace
}  // namespace server
}  // namespace ks
