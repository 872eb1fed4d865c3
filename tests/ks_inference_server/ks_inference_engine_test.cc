#include "ks_inference_engine.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/onnx.pb.h"
#include "support/expect_throw.h"

// KS_TEST_MODELS_DIR holds the networks of models/make_models.py, the inputs of `reference.py --make-inputs`
// and numpy's outputs for them, as <model>.<value>.raw files of little-endian float32.

namespace ks {
namespace server {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::string modelBytes(const std::string& name) {
  return readFile(std::string(KS_TEST_MODELS_DIR) + "/" + name + ".onnx");
}

std::vector<float> referenceValues(const std::string& model, const std::string& value) {
  const std::string bytes = readFile(std::string(KS_TEST_MODELS_DIR) + "/" + model + "." + value + ".raw");
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

TensorLayout floatLayout(const TensorSize& size) {
  return TensorLayout(TensorDataType::kFloat32, size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain, size,
                      TensorSize(), TensorChannelOrder::kNone);
}

Tensor floatTensor(const TensorSize& size, const std::vector<float>& values) {
  Tensor tensor(floatLayout(size));
  EXPECT_EQ(tensor.layout().byteSize(), values.size() * sizeof(float));
  std::memcpy(tensor.data(), values.data(), tensor.layout().byteSize());
  return tensor;
}

Tensor referenceInput(const std::string& model, const std::string& input, const TensorSize& size) {
  return floatTensor(size, referenceValues(model, input));
}

std::vector<float> valuesOf(const Tensor& tensor) {
  std::vector<float> values(tensor.layout().byteSize() / sizeof(float));
  std::memcpy(values.data(), tensor.data(), tensor.layout().byteSize());
  return values;
}

// Equal within a relative 1e-4, with an absolute floor of 1e-5 for values near zero.
void expectClose(const std::vector<float>& got, const std::vector<float>& expected, const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], expected[i], 1e-4 * std::fabs(expected[i]) + 1e-5) << what << " element " << i;
  }
}

std::string constructionError(const std::string& bytes, const std::vector<std::string>& inputs = {},
                              const std::vector<std::string>& outputs = {}) {
  return ks::testing::thrownMessage<std::invalid_argument>([&] { InferenceEngine(bytes, inputs, outputs); });
}

// A one-node model "x" -> op -> "y" with the given element types and shape [1,4].
std::string oneNodeModel(const std::string& op, int32_t inType, int32_t outType) {
  onnx::ModelProto model;
  model.set_ir_version(7);
  model.add_opset_import()->set_version(11);
  onnx::GraphProto* graph = model.mutable_graph();
  graph->set_name("one_node");
  onnx::NodeProto* node = graph->add_node();
  node->set_op_type(op);
  node->add_input("x");
  node->add_output("y");
  auto declare = [](onnx::ValueInfoProto* value, const char* name, int32_t type) {
    value->set_name(name);
    onnx::TypeProto::Tensor* tensor = value->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(type);
    tensor->mutable_shape()->add_dim()->set_dim_value(1);
    tensor->mutable_shape()->add_dim()->set_dim_value(4);
  };
  declare(graph->add_input(), "x", inType);
  declare(graph->add_output(), "y", outType);
  return model.SerializeAsString();
}

TEST(InferenceEngine, DeclaresTheLayoutsOfEachTestNetwork) {
  InferenceEngine mlp(modelBytes("mlp"), {}, {});
  EXPECT_EQ(mlp.inputNames(), std::vector<std::string>{"input"});
  EXPECT_EQ(mlp.outputNames(), std::vector<std::string>{"logits"});
  EXPECT_EQ(mlp.inputLayouts(), std::vector<TensorLayout>{floatLayout({1, 16})});
  EXPECT_EQ(mlp.outputLayouts(), std::vector<TensorLayout>{floatLayout({1, 4})});

  InferenceEngine cnn(modelBytes("cnn"), {}, {});
  EXPECT_EQ(cnn.inputNames(), std::vector<std::string>{"image"});
  EXPECT_EQ(cnn.outputNames(), (std::vector<std::string>{"features", "pooled"}));
  EXPECT_EQ(cnn.inputLayouts(), std::vector<TensorLayout>{floatLayout({1, 3, 8, 8})});
  EXPECT_EQ(cnn.outputLayouts(), (std::vector<TensorLayout>{floatLayout({1, 4, 8, 8}), floatLayout({1, 4, 1, 1})}));

  InferenceEngine identity(modelBytes("identity"), {"input"}, {"output"});
  EXPECT_EQ(identity.inputLayouts(), std::vector<TensorLayout>{floatLayout({1, 1024})});
  EXPECT_EQ(identity.outputLayouts(), std::vector<TensorLayout>{floatLayout({1, 1024})});
}

TEST(InferenceEngine, MlpAgreesWithNumpy) {
  InferenceEngine mlp(modelBytes("mlp"), {}, {});
  const std::vector<Tensor> outputs = mlp.run({referenceInput("mlp", "input", {1, 16})});
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].layout(), floatLayout({1, 4}));
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, CnnAgreesWithNumpyOnBothOutputs) {
  InferenceEngine cnn(modelBytes("cnn"), {}, {});
  const std::vector<Tensor> outputs = cnn.run({referenceInput("cnn", "image", {1, 3, 8, 8})});
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].layout(), floatLayout({1, 4, 8, 8}));
  EXPECT_EQ(outputs[1].layout(), floatLayout({1, 4, 1, 1}));
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "features"), "features");
  expectClose(valuesOf(outputs[1]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, IdentityReturnsTheInputBitForBit) {
  InferenceEngine identity(modelBytes("identity"), {}, {});
  const Tensor input = referenceInput("identity", "input", {1, 1024});
  const std::vector<Tensor> outputs = identity.run({input});
  ASSERT_EQ(outputs.size(), 1u);
  ASSERT_EQ(outputs[0].layout(), input.layout());
  EXPECT_EQ(std::memcmp(outputs[0].data(), input.data(), input.layout().byteSize()), 0);
  EXPECT_EQ(valuesOf(outputs[0]), referenceValues("identity", "output"));
}

TEST(InferenceEngine, ReturnsOutputsInTheRequestedOrderAndOnlyThoseRequested) {
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});

  InferenceEngine reversed(modelBytes("cnn"), {"image"}, {"pooled", "features"});
  EXPECT_EQ(reversed.outputNames(), (std::vector<std::string>{"pooled", "features"}));
  EXPECT_EQ(reversed.outputLayouts(),
            (std::vector<TensorLayout>{floatLayout({1, 4, 1, 1}), floatLayout({1, 4, 8, 8})}));
  std::vector<Tensor> outputs = reversed.run({image});
  ASSERT_EQ(outputs.size(), 2u);
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "pooled"), "pooled");
  expectClose(valuesOf(outputs[1]), referenceValues("cnn", "features"), "features");

  InferenceEngine pooledOnly(modelBytes("cnn"), {}, {"pooled"});
  outputs = pooledOnly.run({image});
  ASSERT_EQ(outputs.size(), 1u);
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, ResultsOfOneRunSurviveTheNext) {
  InferenceEngine identity(modelBytes("identity"), {}, {});
  const std::vector<Tensor> first = identity.run({floatTensor({1, 1024}, std::vector<float>(1024, 1.0f))});
  const std::vector<Tensor> second = identity.run({floatTensor({1, 1024}, std::vector<float>(1024, 2.0f))});
  EXPECT_EQ(valuesOf(first[0]), std::vector<float>(1024, 1.0f));
  EXPECT_EQ(valuesOf(second[0]), std::vector<float>(1024, 2.0f));
}

TEST(InferenceEngine, RefusesNamesTheNetworkDoesNotHaveListingItsOwn) {
  const std::string cnn = modelBytes("cnn");
  EXPECT_EQ(constructionError(cnn, {"images"}), "The network has no input named 'images'; its inputs are 'image'.");
  EXPECT_EQ(constructionError(cnn, {}, {"features", "logits"}),
            "The network has no output named 'logits'; its outputs are 'features', 'pooled'.");
  EXPECT_EQ(constructionError(cnn, {}, {"pooled", "pooled"}),
            "The output 'pooled' is requested twice; the network's outputs are 'features', 'pooled'.");
  EXPECT_EQ(constructionError(cnn, {"image", "image"}),
            "The input 'image' is requested twice; the network's inputs are 'image'.");
}

TEST(InferenceEngine, RefusesToLeaveANetworkInputUnfed) {
  onnx::ModelProto model;
  ASSERT_TRUE(model.ParseFromString(oneNodeModel("Add", onnx::TensorProto::FLOAT, onnx::TensorProto::FLOAT)));
  onnx::ValueInfoProto* second = model.mutable_graph()->add_input();
  *second = model.graph().input(0);
  second->set_name("bias");
  model.mutable_graph()->mutable_node(0)->add_input("bias");
  EXPECT_EQ(constructionError(model.SerializeAsString(), {"bias"}),
            "The network's input 'x' is not requested; every input must be fed. The network's inputs are 'x', "
            "'bias'.");
}

TEST(InferenceEngine, RefusesBytesThatAreNotAModel) {
  const std::string mlp = modelBytes("mlp");
  EXPECT_EQ(constructionError(""), "Not an ONNX model: the data is empty.");
  EXPECT_EQ(constructionError(mlp.substr(0, mlp.size() / 2)),
            "Not an ONNX model: the data is not a valid ONNX protobuf message.");
  std::string garbage(4096, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
  EXPECT_EQ(constructionError(garbage), "Not an ONNX model: the data is not a valid ONNX protobuf message.");
}

TEST(InferenceEngine, RefusesElementTypesOpenCvCannotRun) {
  EXPECT_EQ(constructionError(oneNodeModel("Cast", onnx::TensorProto::INT64, onnx::TensorProto::FLOAT)),
            "The input 'x' has element type int64; only float32 inputs and outputs can be run.");
  EXPECT_EQ(constructionError(oneNodeModel("Cast", onnx::TensorProto::FLOAT, onnx::TensorProto::UINT8)),
            "The output 'y' has element type uint8; only float32 inputs and outputs can be run.");
}

TEST(InferenceEngine, ReportsAnOperatorOpenCvDoesNotKnowAsALoadFailure) {
  const std::string message =
      constructionError(oneNodeModel("NoSuchOperator", onnx::TensorProto::FLOAT, onnx::TensorProto::FLOAT));
  EXPECT_EQ(message.rfind("cannot load network: ", 0), 0u) << message;
  EXPECT_NE(message.find("NoSuchOperator"), std::string::npos) << message;
}

TEST(InferenceEngine, RefusesInputsThatDoNotMatchTheDeclaredLayouts) {
  InferenceEngine cnn(modelBytes("cnn"), {}, {});
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});
  EXPECT_THROW_MSG(cnn.run({}), std::invalid_argument, "The network takes 1 input tensor(s) ('image'), got 0.");
  EXPECT_THROW_MSG(cnn.run({image, image}), std::invalid_argument,
                   "The network takes 1 input tensor(s) ('image'), got 2.");
  EXPECT_THROW_MSG(cnn.run({Tensor(floatLayout({1, 3, 8, 9}))}), std::invalid_argument,
                   "Input 'image' should be float32 [1,3,8,8], got float32 [1,3,8,9].");
  EXPECT_THROW_MSG(cnn.run({Tensor(floatLayout({3, 8, 8}))}), std::invalid_argument,
                   "Input 'image' should be float32 [1,3,8,8], got float32 [3,8,8].");
  const TensorLayout int32Image(TensorDataType::kInt32, TensorFormat::kNchw, {1, 3, 8, 8}, TensorSize(),
                                TensorChannelOrder::kNone);
  EXPECT_THROW_MSG(cnn.run({Tensor(int32Image)}), std::invalid_argument,
                   "Input 'image' should be float32 [1,3,8,8], got int32 [1,3,8,8].");

  Tensor shrunk = image;
  shrunk.buffer()->shrink(100);
  EXPECT_THROW_MSG(cnn.run({shrunk}), std::invalid_argument, "Input 'image' holds 100 bytes; its layout needs 768.");
}

TEST(InferenceEngine, AcceptsAnInputInAnotherFormatWithTheSameTypeAndDimensions) {
  InferenceEngine cnn(modelBytes("cnn"), {}, {});
  Tensor plain(TensorLayout(TensorDataType::kFloat32, TensorFormat::kPlain, {1, 3, 8, 8}, TensorSize(),
                            TensorChannelOrder::kNone));
  std::memcpy(plain.data(), referenceValues("cnn", "image").data(), plain.layout().byteSize());
  expectClose(valuesOf(cnn.run({plain})[1]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, RunTimedRepeatsAndKeepsTheLastResults) {
  InferenceEngine mlp(modelBytes("mlp"), {}, {});
  const Tensor input = referenceInput("mlp", "input", {1, 16});
  std::vector<Tensor> outputs;
  const double milliseconds = mlp.runTimed({input}, 5, outputs);
  EXPECT_GT(milliseconds, 0.0);
  ASSERT_EQ(outputs.size(), 1u);
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, RunTimedWithoutRepetitionsStillProducesOutputsButNoDuration) {
  InferenceEngine mlp(modelBytes("mlp"), {}, {});
  std::vector<Tensor> outputs;
  EXPECT_EQ(mlp.runTimed({referenceInput("mlp", "input", {1, 16})}, 0, outputs), 0.0);
  ASSERT_EQ(outputs.size(), 1u);
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, RunTimedLeavesOutputsAloneWhenItRefuses) {
  InferenceEngine mlp(modelBytes("mlp"), {}, {});
  std::vector<Tensor> outputs(3);
  EXPECT_THROW(mlp.runTimed({}, 2, outputs), std::invalid_argument);
  EXPECT_EQ(outputs.size(), 3u);
}

TEST(InferenceEngine, SeparateEnginesRunConcurrently) {
  const std::string bytes = modelBytes("cnn");
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});
  const std::vector<float> pooled = referenceValues("cnn", "pooled");
  std::vector<std::vector<float>> last(2);
  auto work = [&](size_t index) {
    InferenceEngine engine(bytes, {}, {"pooled"});
    for (int i = 0; i < 50; ++i) last[index] = valuesOf(engine.run({image})[0]);
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  expectClose(last[0], pooled, "thread 0");
  expectClose(last[1], pooled, "thread 1");
}

}  // namespace
}  // namespace server
}  // namespace ks
