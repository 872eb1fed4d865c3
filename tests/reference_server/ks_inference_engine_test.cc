#include "ks_inference_engine.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ks_engine_error.h"
#include "ks_network_registry.h"
#include "onnx_model_builder.h"
#include "support/test_models.h"

namespace ks {
namespace server {
namespace {

using onnx::TensorProto;
using testing::OnnxModelBuilder;

using namespace ks::testing;  // the test networks' helpers

// This tree's worker program, with a network memory limit of `networkBytes` (0: none).
EngineOptions engineOptions(size_t networkBytes) {
  EngineOptions options;
  options.workerProgram = KS_WORKER_PROGRAM;
  options.networkMemoryBytes = networkBytes;
  return options;
}

NetworkRegistry& registry() {
  static NetworkRegistry* shared = new NetworkRegistry(engineOptions(size_t{256} << 20));
  return *shared;
}

InferenceEngine load(const std::string& bytes, const std::vector<std::string>& inputs = {},
                     const std::vector<std::string>& outputs = {}) {
  return InferenceEngine(registry().load(bytes), inputs, outputs);
}

std::vector<Tensor> run(const InferenceEngine& engine, const std::vector<Tensor>& inputs,
                        const RunLimits& limits = {}) {
  std::vector<Tensor> outputs;
  engine.runTimed(inputs, 0, outputs, limits);
  return outputs;
}

// "<kind>: <text>" of the EngineError `work` throws.
template <typename Work>
std::string engineError(Work&& work) {
  try {
    work();
  } catch (const EngineError& e) {
    static const char* const kKinds[] = {"bad network", "bad request", "over budget", "run failed",
                                         "interrupted", "worker lost", "quarantined", "no room"};
    return std::string(kKinds[static_cast<int>(e.kind())]) + ": " + e.what();
  }
  return "<nothing thrown>";
}

std::string loadError(const std::string& bytes, const std::vector<std::string>& inputs = {},
                      const std::vector<std::string>& outputs = {}) {
  return engineError([&] { load(bytes, inputs, outputs); });
}

TEST(InferenceEngine, DeclaresTheLayoutsOfEachTestNetwork) {
  const InferenceEngine mlp = load(modelBytes("mlp"));
  EXPECT_EQ(std::vector<std::string>{"input"}, mlp.inputNames());
  EXPECT_EQ(std::vector<std::string>{"logits"}, mlp.outputNames());
  EXPECT_EQ(std::vector<TensorLayout>{floatLayout({1, 16})}, mlp.inputLayouts());
  EXPECT_EQ(std::vector<TensorLayout>{floatLayout({1, 4})}, mlp.outputLayouts());

  const InferenceEngine cnn = load(modelBytes("cnn"));
  EXPECT_EQ(std::vector<std::string>{"image"}, cnn.inputNames());
  EXPECT_EQ((std::vector<std::string>{"features", "pooled"}), cnn.outputNames());
  EXPECT_EQ(std::vector<TensorLayout>{floatLayout({1, 3, 8, 8})}, cnn.inputLayouts());
  EXPECT_EQ((std::vector<TensorLayout>{floatLayout({1, 4, 8, 8}), floatLayout({1, 4, 1, 1})}), cnn.outputLayouts());

  const InferenceEngine identity = load(modelBytes("identity"), {"input"}, {"output"});
  EXPECT_EQ(std::vector<TensorLayout>{floatLayout({1, 1024})}, identity.inputLayouts());
  EXPECT_EQ(std::vector<TensorLayout>{floatLayout({1, 1024})}, identity.outputLayouts());
}

TEST(InferenceEngine, MlpAgreesWithNumpy) {
  const InferenceEngine mlp = load(modelBytes("mlp"));
  const std::vector<Tensor> outputs = run(mlp, {referenceInput("mlp", "input", {1, 16})});
  ASSERT_EQ(1u, outputs.size());
  EXPECT_EQ(floatLayout({1, 4}), outputs[0].layout());
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, CnnAgreesWithNumpyOnBothOutputs) {
  const InferenceEngine cnn = load(modelBytes("cnn"));
  const std::vector<Tensor> outputs = run(cnn, {referenceInput("cnn", "image", {1, 3, 8, 8})});
  ASSERT_EQ(2u, outputs.size());
  EXPECT_EQ(floatLayout({1, 4, 8, 8}), outputs[0].layout());
  EXPECT_EQ(floatLayout({1, 4, 1, 1}), outputs[1].layout());
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "features"), "features");
  expectClose(valuesOf(outputs[1]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, IdentityReturnsTheInputBitForBit) {
  const InferenceEngine identity = load(modelBytes("identity"));
  const Tensor input = referenceInput("identity", "input", {1, 1024});
  const std::vector<Tensor> outputs = run(identity, {input});
  ASSERT_EQ(1u, outputs.size());
  ASSERT_EQ(input.layout(), outputs[0].layout());
  EXPECT_EQ(0, std::memcmp(outputs[0].data(), input.data(), input.layout().byteSize()));
  EXPECT_EQ(referenceValues("identity", "output"), valuesOf(outputs[0]));
}

TEST(InferenceEngine, ReturnsOutputsInTheRequestedOrderAndOnlyThoseRequested) {
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});

  const InferenceEngine reversed = load(modelBytes("cnn"), {"image"}, {"pooled", "features"});
  EXPECT_EQ((std::vector<std::string>{"pooled", "features"}), reversed.outputNames());
  EXPECT_EQ((std::vector<TensorLayout>{floatLayout({1, 4, 1, 1}), floatLayout({1, 4, 8, 8})}),
            reversed.outputLayouts());
  std::vector<Tensor> outputs = run(reversed, {image});
  ASSERT_EQ(2u, outputs.size());
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "pooled"), "pooled");
  expectClose(valuesOf(outputs[1]), referenceValues("cnn", "features"), "features");

  const InferenceEngine pooledOnly = load(modelBytes("cnn"), {}, {"pooled"});
  outputs = run(pooledOnly, {image});
  ASSERT_EQ(1u, outputs.size());
  expectClose(valuesOf(outputs[0]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, ResultsOfOneRunSurviveTheNext) {
  const InferenceEngine identity = load(modelBytes("identity"));
  const std::vector<Tensor> first = run(identity, {floatTensor({1, 1024}, std::vector<float>(1024, 1.0f))});
  const std::vector<Tensor> second = run(identity, {floatTensor({1, 1024}, std::vector<float>(1024, 2.0f))});
  EXPECT_EQ(std::vector<float>(1024, 1.0f), valuesOf(first[0]));
  EXPECT_EQ(std::vector<float>(1024, 2.0f), valuesOf(second[0]));
}

TEST(InferenceEngine, RefusesNamesTheNetworkDoesNotHaveListingItsOwn) {
  const std::string cnn = modelBytes("cnn");
  EXPECT_EQ("bad request: The network has no input named 'images'; its inputs are 'image'.",
            loadError(cnn, {"images"}));
  EXPECT_EQ("bad request: The network has no output named 'logits'; its outputs are 'features', 'pooled'.",
            loadError(cnn, {}, {"features", "logits"}));
  EXPECT_EQ("bad request: The output 'pooled' is requested twice; the network's outputs are 'features', 'pooled'.",
            loadError(cnn, {}, {"pooled", "pooled"}));
}

TEST(InferenceEngine, RefusesToLeaveANetworkInputUnfed) {
  OnnxModelBuilder add;
  add.input("x", TensorProto::FLOAT, {1, 4}).input("bias", TensorProto::FLOAT, {1, 4});
  add.output("y", TensorProto::FLOAT, {1, 4}).node("Add", {"x", "bias"}, {"y"});
  EXPECT_EQ(
      "bad request: The network's input 'x' is not requested; every input must be fed. The network's inputs "
      "are 'x', 'bias'.",
      loadError(add.bytes(), {"bias"}));
}

TEST(InferenceEngine, RefusesBytesThatAreNotAModelWithTheCheckersOrTheEnginesText) {
  const std::string mlp = modelBytes("mlp");
  EXPECT_EQ("bad network: Not an ONNX model: the data is empty.", loadError(""));
  EXPECT_EQ("bad network: Not an ONNX model: the data is not a valid ONNX protobuf message.",
            loadError(mlp.substr(0, mlp.size() / 2)));
  OnnxModelBuilder unknown;
  unknown.input("x", TensorProto::FLOAT, {1}).output("y", TensorProto::FLOAT, {1}).node("NoSuchOperator", {"x"}, {"y"});
  const std::string message = loadError(unknown.bytes());
  EXPECT_EQ(0u, message.rfind("bad network: ", 0)) << message;
  EXPECT_NE(message.find("NoSuchOperator"), std::string::npos) << message;
}

TEST(InferenceEngine, RunsEverySevenDataTypeInAndOutBitForBit) {
  const std::vector<std::pair<int32_t, TensorDataType>> types = {
      {TensorProto::FLOAT, TensorDataType::kFloat32}, {TensorProto::FLOAT16, TensorDataType::kFloat16},
      {TensorProto::INT32, TensorDataType::kInt32},   {TensorProto::INT16, TensorDataType::kInt16},
      {TensorProto::INT8, TensorDataType::kInt8},     {TensorProto::UINT8, TensorDataType::kUInt8},
      {TensorProto::INT64, TensorDataType::kInt64}};
  for (const auto& [onnxType, type] : types) {
    OnnxModelBuilder identity;
    identity.input("x", onnxType, {2, 3}).output("y", onnxType, {2, 3}).node("Identity", {"x"}, {"y"});
    const InferenceEngine engine = load(identity.bytes());
    EXPECT_EQ(layoutOf(type, {2, 3}), engine.inputLayouts()[0]);
    Tensor input(layoutOf(type, {2, 3}));
    for (size_t i = 0; i < input.layout().byteSize(); ++i) input.data()[i] = static_cast<unsigned char>(i * 37 + 1);
    const std::vector<Tensor> outputs = run(engine, {input});
    ASSERT_EQ(1u, outputs.size());
    ASSERT_EQ(input.layout(), outputs[0].layout()) << onnxType;
    EXPECT_EQ(0, std::memcmp(outputs[0].data(), input.data(), input.layout().byteSize())) << onnxType;
  }
}

TEST(InferenceEngine, RefusesAtLoadAValueItCannotSend) {
  OnnxModelBuilder toBool;
  toBool.input("x", TensorProto::FLOAT, {4}).output("y", TensorProto::BOOL, {4});
  toBool.node("Cast", {"x"}, {"y"}).add_attribute()->set_name("to");
  toBool.model().mutable_graph()->mutable_node(0)->mutable_attribute(0)->set_i(TensorProto::BOOL);
  toBool.model().mutable_graph()->mutable_node(0)->mutable_attribute(0)->set_type(onnx::AttributeProto::INT);
  EXPECT_EQ(
      "bad request: The output 'y' is a bool; only tensors of float32, float16, int32, int16, int8, uint8 and "
      "int64 can be sent.",
      loadError(toBool.bytes()));

  OnnxModelBuilder fiveDims;
  fiveDims.input("x", TensorProto::FLOAT, {1, 1, 1, 1, 2}).output("y", TensorProto::FLOAT, {1, 1, 1, 1, 2});
  fiveDims.node("Identity", {"x"}, {"y"});
  EXPECT_EQ("bad request: The input 'x' has 5 dimensions; at most 4 can be sent.", loadError(fiveDims.bytes()));
}

TEST(InferenceEngine, TakesAnyExtentOfAnOpenDimensionAndReturnsTheShapeProduced) {
  OnnxModelBuilder transpose;
  transpose.input("x", TensorProto::FLOAT, {"batch", 3, "width"})
      .output("y", TensorProto::FLOAT, {"width", 3, "batch"});
  transpose.node("Transpose", {"x"}, {"y"});
  const InferenceEngine engine = load(transpose.bytes());
  EXPECT_EQ(floatLayout({1, 3, 1}), engine.inputLayouts()[0]);  // the layouts reply counts an open dimension as 1

  std::vector<float> values(size_t{2} * 3 * 5);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
  const std::vector<Tensor> outputs = run(engine, {floatTensor({2, 3, 5}, values)});
  ASSERT_EQ(1u, outputs.size());
  EXPECT_EQ(floatLayout({5, 3, 2}), outputs[0].layout());
  EXPECT_EQ(values[15], valuesOf(outputs[0])[1]);  // y[0][0][1] = x[1][0][0]

  EXPECT_EQ("bad request: Input 'x' should be float32 [?,3,?], got float32 [2,4,5].", engineError([&] {
              run(engine, {floatTensor({2, 4, 5}, std::vector<float>(40))});
            }));
}

TEST(InferenceEngine, CarriesAScalarAsOneDimensionOfOne) {
  OnnxModelBuilder negate;
  negate.input("x", TensorProto::INT64, {}).output("y", TensorProto::INT64, {}).node("Neg", {"x"}, {"y"});
  const InferenceEngine engine = load(negate.bytes());
  EXPECT_EQ(layoutOf(TensorDataType::kInt64, {1}), engine.inputLayouts()[0]);
  Tensor input(layoutOf(TensorDataType::kInt64, {1}));
  const int64_t seven = 7;
  std::memcpy(input.data(), &seven, 8);
  const std::vector<Tensor> outputs = run(engine, {input});
  ASSERT_EQ(1u, outputs.size());
  ASSERT_EQ(layoutOf(TensorDataType::kInt64, {1}), outputs[0].layout());
  int64_t result = 0;
  std::memcpy(&result, outputs[0].data(), 8);
  EXPECT_EQ(-7, result);
}

TEST(InferenceEngine, RefusesInputsThatDoNotMatchTheDeclaredLayouts) {
  const InferenceEngine cnn = load(modelBytes("cnn"));
  auto runError = [&](const std::vector<Tensor>& inputs) { return engineError([&] { run(cnn, inputs); }); };
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});
  EXPECT_EQ("bad request: The network takes 1 input tensor(s) ('image'), got 0.", runError({}));
  EXPECT_EQ("bad request: The network takes 1 input tensor(s) ('image'), got 2.", runError({image, image}));
  EXPECT_EQ("bad request: Input 'image' should be float32 [1,3,8,8], got float32 [1,3,8,9].",
            runError({Tensor(floatLayout({1, 3, 8, 9}))}));
  EXPECT_EQ("bad request: Input 'image' should be float32 [1,3,8,8], got float32 [3,8,8].",
            runError({Tensor(floatLayout({3, 8, 8}))}));
  const TensorLayout int32Image(TensorDataType::kInt32, TensorFormat::kNchw, {1, 3, 8, 8}, TensorSize(),
                                TensorChannelOrder::kNone);
  EXPECT_EQ("bad request: Input 'image' should be float32 [1,3,8,8], got int32 [1,3,8,8].",
            runError({Tensor(int32Image)}));

  Tensor shrunk = image;  // NOLINT(performance-unnecessary-copy-initialization): its buffer is shrunk
  shrunk.buffer()->shrink(100);
  EXPECT_EQ("bad request: Input 'image' holds 100 bytes; its layout needs 768.", runError({shrunk}));
}

TEST(InferenceEngine, AcceptsAnInputInAnotherFormatWithTheSameTypeAndDimensions) {
  const InferenceEngine cnn = load(modelBytes("cnn"));
  Tensor plain(TensorLayout(TensorDataType::kFloat32, TensorFormat::kPlain, {1, 3, 8, 8}, TensorSize(),
                            TensorChannelOrder::kNone));
  std::memcpy(plain.data(), referenceValues("cnn", "image").data(), plain.layout().byteSize());
  expectClose(valuesOf(run(cnn, {plain})[1]), referenceValues("cnn", "pooled"), "pooled");
}

TEST(InferenceEngine, RunTimedRepeatsAndKeepsTheLastResults) {
  const InferenceEngine mlp = load(modelBytes("mlp"));
  const Tensor input = referenceInput("mlp", "input", {1, 16});
  std::vector<Tensor> outputs;
  const double milliseconds = mlp.runTimed({input}, 5, outputs);
  EXPECT_GT(milliseconds, 0.0);
  ASSERT_EQ(1u, outputs.size());
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, RunTimedWithoutRepetitionsStillProducesOutputsButNoDuration) {
  const InferenceEngine mlp = load(modelBytes("mlp"));
  std::vector<Tensor> outputs;
  EXPECT_EQ(0.0, mlp.runTimed({referenceInput("mlp", "input", {1, 16})}, 0, outputs));
  ASSERT_EQ(1u, outputs.size());
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "logits");
}

TEST(InferenceEngine, RunTimedLeavesOutputsAloneWhenItRefuses) {
  const InferenceEngine mlp = load(modelBytes("mlp"));
  std::vector<Tensor> outputs(3);
  EXPECT_THROW(mlp.runTimed({}, 2, outputs), EngineError);
  EXPECT_EQ(3u, outputs.size());
}

TEST(InferenceEngine, OneNetworkRunsOnSeveralThreadsAtOnce) {
  const InferenceEngine cnn = load(modelBytes("cnn"), {}, {"pooled"});
  const Tensor image = referenceInput("cnn", "image", {1, 3, 8, 8});
  const std::vector<float> pooled = referenceValues("cnn", "pooled");
  std::vector<std::vector<float>> last(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < last.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) last[t] = valuesOf(run(cnn, {image})[0]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < last.size(); ++t) expectClose(last[t], pooled, "thread " + std::to_string(t));
}

// A 148-byte network that asks for a 1 x 1 x 40000 x 40000 float output (6.4 GB) from a 2 x 2 input.
std::string hugeResize() {
  OnnxModelBuilder resize;
  resize.input("x", TensorProto::FLOAT, {1, 1, 2, 2}).outputOfAnyShape("y", TensorProto::FLOAT);
  resize.initializer("roi", TensorProto::FLOAT, {0}, std::vector<float>{});
  resize.initializer("scales", TensorProto::FLOAT, {4}, std::vector<float>{1, 1, 20000, 20000});
  resize.node("Resize", {"x", "roi", "scales"}, {"y"});
  return resize.bytes();
}

TEST(InferenceEngine, RefusesARunOverItsMemoryBudgetAndRunsTheNextOne) {
  const InferenceEngine engine = load(hugeResize());
  const Tensor input = floatTensor({1, 1, 2, 2}, {1, 2, 3, 4});
  EXPECT_EQ("over budget: the inference needs more than the 64 MiB of memory one inference may use", engineError([&] {
              run(engine, {input}, RunLimits{size_t{64} << 20, nullptr, ""});
            }));
  EXPECT_EQ("<nothing thrown>", engineError([&] {
              run(load(modelBytes("identity")), {referenceInput("identity", "input", {1, 1024})},
                  RunLimits{size_t{64} << 20, nullptr, ""});
            }));
}

TEST(InferenceEngine, RefusesANetworkOverItsMemoryBudgetAtLoad) {
  NetworkRegistry small(engineOptions(size_t{1} << 20));
  OnnxModelBuilder big;
  big.input("x", TensorProto::FLOAT, {1 << 19}).output("y", TensorProto::FLOAT, {1 << 19});
  big.initializer("w", TensorProto::FLOAT, {1 << 19}, std::vector<float>(1 << 19, 1.0f));
  big.node("Add", {"x", "w"}, {"y"});
  EXPECT_EQ("over budget: loading the network needs more than the 1 MiB of memory one network may hold",
            engineError([&] { small.load(big.bytes()); }));
  EXPECT_EQ(0u, small.count());
}

TEST(InferenceEngine, StopsARunWhenItsControlIsInterrupted) {
  // Large enough to run for seconds: a 2048 x 2048 matrix multiplied by itself, 64 times over.
  OnnxModelBuilder slow;
  slow.input("x", TensorProto::FLOAT, {2048, 2048}).output("y", TensorProto::FLOAT, {2048, 2048});
  std::string previous = "x";
  for (int i = 0; i < 64; ++i) {
    const std::string next = i == 63 ? "y" : "m" + std::to_string(i);
    slow.node("MatMul", {previous, "x"}, {next});
    previous = next;
  }
  const InferenceEngine engine = load(slow.bytes());
  RunControl control;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    control.interrupt("the server is stopping");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("interrupted: the server is stopping", engineError([&] {
              run(engine, {Tensor(floatLayout({2048, 2048}))}, RunLimits{0, &control, ""});
            }));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(NetworkRegistry, SharesByteIdenticalNetworksAndFreesTheLastUsersOne) {
  NetworkRegistry networks(engineOptions(0));
  const std::string cnn = modelBytes("cnn");
  std::shared_ptr<const HostedNetwork> first = networks.load(cnn);
  std::shared_ptr<const HostedNetwork> second = networks.load(std::string(cnn));
  EXPECT_EQ(second.get(), first.get());
  EXPECT_NE(networks.load(modelBytes("mlp")).get(), first.get());  // released at once
  EXPECT_EQ(1u, networks.count());
  EXPECT_GT(networks.heldBytes(), 0u);
  first.reset();
  second.reset();
  EXPECT_EQ(0u, networks.count());
  EXPECT_EQ(0u, networks.heldBytes());
}

TEST(NetworkRegistry, LoadsOnceForManyConcurrentCallers) {
  NetworkRegistry networks(engineOptions(0));
  const std::string cnn = modelBytes("cnn");
  std::vector<std::shared_ptr<const HostedNetwork>> loaded(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < loaded.size(); ++i) threads.emplace_back([&, i] { loaded[i] = networks.load(cnn); });
  for (std::thread& thread : threads) thread.join();
  for (const auto& network : loaded) EXPECT_EQ(loaded[0].get(), network.get());
}

}  // namespace
}  // namespace server
}  // namespace ks
